"""The rule that keeps a thread's end from ending the process, checked
against the module's sources (src/module; see src/module/ref.h).

A daemon thread that gives up the interpreter lock in Python code and asks
for it back once the interpreter has begun to shut down is ended by a forced
unwind, which ends the whole process when it meets a noexcept frame, and
which would release references without the lock unless the call it came out
of marked the thread. So:

1. Python code runs only inside into_python(): every call of the C API
   outside it is one that cannot run Python code (nor start a collection,
   which runs finalisers) as the module makes it.
2. No noexcept function of the module (a destructor is one unless it says
   otherwise) runs Python code, directly or through a function of the
   module that does.
3. A release runs no Python code, so that any frame may make one, noexcept
   ones included (a standard owner's reset, destructor or assignment):
   `release_reference` is noexcept, and only ref.cpp releases.

4. Every thread-local (in all of src/) is of a trivially destructible type:
   mingw-w64's emulated thread-local storage can free a thread's block
   before the destructors of its thread-locals run, and one run there frees
   what the freed block then holds (a corrupt heap, then a hung exit).

The check reads C++ with regular expressions, which suffices for the
module's plain style; functions are told apart by name, and a name that any
function running Python code bears counts as running Python code.
"""

import re
from pathlib import Path

import pytest

MODULE = Path(__file__).resolve().parents[2] / "src" / "module"

pytestmark = pytest.mark.skipif(not MODULE.is_dir(), reason="the module's sources are not here")

# C API calls that run no Python code and make no container object (which
# may start a collection) as the module makes them: tests of types and
# flags, reads, borrowed items, a fresh tuple's slots, and the lock's release.
RUNS_NO_PYTHON = {
    "Py_TYPE", "Py_SIZE", "Py_IS_TYPE", "Py_REFCNT", "Py_IncRef",
    "PyTuple_Check", "PyTuple_CheckExact", "PyList_Check", "PyList_CheckExact", "PyUnicode_Check",
    "PyLong_Check", "PyType_Check", "PyExceptionClass_Check", "PySequence_Check",
    "PyTuple_Size", "PyTuple_GetItem", "PyList_Size", "PyList_GetItem", "PyDict_Next",
    "PyTuple_SetItem",  # only on tuples just made, whose slots are empty
    "PyType_GetSlot", "PyUnicode_CompareWithASCIIString",
    "PyLong_AsLongAndOverflow",  # only on ints, which it reads without raising
    "PyBytes_AsStringAndSize",  # only on bytes
    "PyErr_Occurred", "PyErr_Fetch", "PyErr_GivenExceptionMatches",
    "PyException_GetTraceback", "PyException_GetCause",
    "PyBool_FromLong", "PyEval_SaveThread", "PyModuleDef_Init",
}
# Where a reference may be released in place, and why that runs no code:
# release_reference only lowers a count above one, and release_waiting runs
# only inside into_python().
RELEASES = {("ref.cpp", "release_reference"), ("ref.cpp", "release_waiting")}
RELEASING_CALLS = {"Py_DecRef", "Py_DECREF", "Py_XDECREF", "Py_CLEAR", "Py_SETREF", "Py_XSETREF"}

KEYWORDS = {
    "if", "for", "while", "switch", "catch", "return", "sizeof", "decltype", "alignof",
    "static_assert", "noexcept", "defined", "throw", "alignas", "requires", "co_return",
}

_LEXEMES = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)


def blank_comments_and_literals(text):
    """The text with comments and literals replaced by blanks of their length."""
    return _LEXEMES.sub(lambda m: re.sub(r"[^\n]", " ", m.group(0)), text)


def matching(text, start, opening, closing):
    """The index just past the bracket that closes the one at `start`."""
    depth = 0
    for i in range(start, len(text)):
        if text[i] == opening:
            depth += 1
        elif text[i] == closing:
            depth -= 1
            if depth == 0:
                return i + 1
    raise ValueError(f"unbalanced {opening} at {start}")


class Function:
    def __init__(self, file, name, noexcept, body_start, body_end):
        self.file, self.name, self.noexcept = file, name, noexcept
        self.body = (body_start, body_end)

    def __repr__(self):
        return f"{self.file}:{self.name}"


_HEADER = re.compile(r"(?P<name>operator\s*[^\s\w(]+|~?[A-Za-z_]\w*)\s*\(")
_AFTER_PARAMETERS = re.compile(
    r"\s*(?P<quals>(?:const\b|override\b|final\b|noexcept\b(?:\s*\(\s*false\s*\))?|&&|&|\s"
    r"|->\s*[\w:<>*&,\s]+?(?=\s*\{))*)\s*(?P<init>:[^;{]*?)?\{"
)


def functions_of(file, text):
    """Every function (and noexcept lambda) defined in `text`, by its name."""
    found = []
    for match in _HEADER.finditer(text):
        name = match.group("name")
        if name in KEYWORDS:
            continue
        open_paren = match.end() - 1
        try:
            close_paren = matching(text, open_paren, "(", ")")
        except ValueError:
            continue
        after = _AFTER_PARAMETERS.match(text, close_paren)
        if not after:
            continue
        quals = after.group("quals")
        body_start = after.end() - 1
        body_end = matching(text, body_start, "{", "}")
        declared = re.search(r"noexcept\b(?!\s*\(\s*false)", quals) is not None
        # A destructor is noexcept unless it says otherwise.
        noexcept = declared or (name.startswith("~") and "noexcept" not in quals)
        found.append(Function(file, name, noexcept, body_start, body_end))
    for match in re.finditer(r"\]\s*(?:\([^()]*\))?\s*noexcept\b(?!\s*\()[^{;]*\{", text):
        body_start = match.end() - 1
        found.append(Function(file, "<lambda>", True, body_start,
                              matching(text, body_start, "{", "}")))
    return found


def into_python_spans(text):
    spans = []
    for match in re.finditer(r"\binto_python\s*\(", text):
        spans.append((match.start(), matching(text, match.end() - 1, "(", ")")))
    return spans


def calls_in(text, start, end):
    for match in re.finditer(r"(?<![\w.>])((?:[A-Za-z_]\w*::)*)([A-Za-z_~]\w*)\s*\(",
                             text[start:end]):
        name = match.group(2)
        if name not in KEYWORDS:
            yield start + match.start(2), name


def read_sources(directory):
    return {path.name: blank_comments_and_literals(path.read_text(encoding="utf-8"))
            for path in sorted(directory.glob("*.[ch]*")) if path.suffix in (".h", ".cpp")}


def innermost(functions, position):
    holding = [f for f in functions if f.body[0] < position < f.body[1]]
    return min(holding, key=lambda f: f.body[1] - f.body[0]) if holding else None


def violations(directory=MODULE):
    """What breaks the rules in the sources of `directory`, as readable lines."""
    sources = read_sources(directory)
    functions = {file: functions_of(file, text) for file, text in sources.items()}
    found = []

    # 1. Python code only inside into_python().
    for file, text in sources.items():
        spans = into_python_spans(text)
        for position, name in calls_in(text, 0, len(text)):
            if not name.startswith(("Py", "_Py")) or name.startswith("PyInit_"):
                continue
            if any(a < position < b for a, b in spans):
                continue
            function = innermost(functions[file], position)
            where = (file, function.name if function else None)
            if name in RUNS_NO_PYTHON or (name in RELEASING_CALLS and where in RELEASES):
                continue
            found.append(f"{file}: {name} called outside into_python() in {where[1]}")

    # 3. Releases only where they run no code.
    for file, text in sources.items():
        for position, name in calls_in(text, 0, len(text)):
            function = innermost(functions[file], position)
            if name in RELEASING_CALLS and (file, function and function.name) not in RELEASES:
                found.append(f"{file}: {name} releases a reference in {function}")
    declared = [f for fs in functions.values() for f in fs if f.name == "release_reference"]
    if not declared or not all(f.noexcept for f in declared):
        found.append("release_reference is not noexcept: a release may run Python code")

    # 2. No noexcept function runs Python code: a fixpoint over the calls
    # between the module's functions, by name.
    all_functions = [f for fs in functions.values() for f in fs]
    runs_python = set()
    direct = {}
    for f in all_functions:
        text = sources[f.file]
        calls = list(calls_in(text, *f.body))
        names = {name for _, name in calls}
        direct[f] = names
        if "into_python" in names or any(
                n.startswith(("Py", "_Py")) and n not in RUNS_NO_PYTHON
                and not (n in RELEASING_CALLS and (f.file, f.name) in RELEASES)
                for n in names):
            runs_python.add(f.name)
    changed = True
    while changed:
        changed = False
        for f in all_functions:
            if f.name not in runs_python and direct[f] & runs_python:
                runs_python.add(f.name)
                changed = True
    for f in all_functions:
        if f.noexcept:
            bad = sorted(direct[f] & (runs_python | {"into_python"}) |
                         {n for n in direct[f] if n.startswith(("Py", "_Py"))
                          and n not in RUNS_NO_PYTHON
                          and not (n in RELEASING_CALLS and (f.file, f.name) in RELEASES)})
            if bad:
                found.append(f"{f}: noexcept, yet runs Python code through {', '.join(bad)}")
    return found


def test_no_noexcept_frame_stands_between_python_code_and_the_entry():
    # A place of release that names no function of the sources would let the
    # check pass without checking it.
    functions = {(f.file, f.name) for file, text in read_sources(MODULE).items()
                 for f in functions_of(file, text)}
    assert RELEASES <= functions
    assert violations() == []


# The checker itself, on the shapes of the slips it exists for: (the file the
# source is in, the source, what the check says).
SLIPS = {
    "a call left outside the unwind guard": ("ref.cpp",
        "Ref f(PyObject* o) { return Ref::steal(PyCFunction_NewEx(nullptr, o, nullptr)); }",
        "PyCFunction_NewEx called outside into_python()"),
    "a noexcept element conversion": ("ref.cpp",
        "long g(PyObject* o) noexcept { return into_python([=] { return PyLong_AsLong(o); }); }",
        "ref.cpp:g: noexcept, yet runs Python code"),
    "a noexcept function calling one that runs Python code": ("ref.cpp",
        "void h(PyObject* o) { into_python([=] { PyErr_Clear(); }); }\n"
        "struct S { ~S() { h(nullptr); } };",
        "~S: noexcept, yet runs Python code through h"),
    "a release that may run Python code": ("ref.cpp",
        "void release_reference(PyObject* o) { into_python([=] { Py_DecRef(o); }); }",
        "release_reference is not noexcept"),
    "a release elsewhere": ("ref.cpp",
        "void release_reference(PyObject* o) noexcept {}\nvoid k(PyObject* o) { Py_DecRef(o); }",
        "Py_DecRef releases a reference in ref.cpp:k"),
    "a release by the right name in another file": ("convert.cpp",
        "void release_reference(PyObject* o) noexcept { Py_DecRef(o); }",
        "Py_DecRef releases a reference in convert.cpp:release_reference"),
}


@pytest.mark.parametrize("file, source, expected", SLIPS.values(), ids=SLIPS.keys())
def test_the_check_finds_each_kind_of_slip(tmp_path, file, source, expected):
    (tmp_path / file).write_text(source)
    found = violations(tmp_path)
    assert any(expected in line for line in found), found


# A thread-local's type: a number, a flag or a pointer.
THREAD_LOCAL = re.compile(r"\bthread_local\s+([^=;{(]+?)\s+\w+\s*[=;{]")
TRIVIAL_TYPE = re.compile(r"^(?:int|bool|unsigned|std::size_t|[\w:<>]+\s*\*)$")


def thread_locals_with_destructors(root):
    return [f"{path.name}: thread_local {match.group(1).strip()}"
            for path in sorted(root.rglob("*.[ch]*")) if path.is_file()
            for match in THREAD_LOCAL.finditer(path.read_text(encoding="utf-8"))
            if not TRIVIAL_TYPE.match(match.group(1).strip())]


@pytest.mark.parametrize("source, flagged", [
    ("thread_local std::vector<PyObject*> waiting;", True),
    ('thread_local std::string name = "";', True),
    ("thread_local ReleaseList* waiting = nullptr;", False),
    ("thread_local int count = 0;", False),
    ("thread_local bool any = false;", False),
])
def test_every_thread_local_is_trivially_destructible(tmp_path, source, flagged):
    assert thread_locals_with_destructors(MODULE.parent) == []
    (tmp_path / "slip.h").write_text(source)
    assert bool(thread_locals_with_destructors(tmp_path)) == flagged
