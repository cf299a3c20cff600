"""The benchmarks' floors, built at start with the system's C compiler: a no-op
C function of is_windows_builtin's calling convention, and an empty program."""

from __future__ import annotations

import atexit
import importlib.machinery
import importlib.util
import os
import shutil
import subprocess
import sysconfig
import tempfile
from collections.abc import Callable
from dataclasses import dataclass

from contenders import ON_WINDOWS


# --- The floors, built here -------------------------------------------------

NOOP_SOURCE = r"""
#define PY_SSIZE_T_CLEAN
#define Py_LIMITED_API 0x030A0000
#include <Python.h>

/* Reads the one argument's UTF-8 and answers False: the work of a call with
   this convention minus everything a real body does. */
static PyObject* noop(PyObject* self, PyObject* args, PyObject* kwargs) {
  Py_ssize_t size;
  (void)self;
  (void)kwargs;
  if (PyUnicode_AsUTF8AndSize(PyTuple_GetItem(args, 0), &size) == NULL) return NULL;
  Py_IncRef(Py_False);
  return Py_False;
}

static PyMethodDef noop_def = {"noop", (PyCFunction)(void (*)(void))noop,
                               METH_VARARGS | METH_KEYWORDS | METH_STATIC, NULL};

static struct PyModuleDef floor_module = {PyModuleDef_HEAD_INIT, "_kelvar_floor", NULL, -1, NULL};

PyMODINIT_FUNC PyInit__kelvar_floor(void) {
  PyObject* module = PyModule_Create(&floor_module);
  if (module == NULL) return NULL;
  /* As the module under test does: a module's method table refuses
     METH_STATIC, so the function object is made directly. */
  PyObject* function = PyCFunction_NewEx(&noop_def, module, NULL);
  if (function == NULL || PyModule_AddObject(module, "noop", function) < 0) {
    Py_XDECREF(function);
    Py_DECREF(module);
    return NULL;
  }
  return module;
}
"""

EMPTY_SOURCE = "int main(void) { return 0; }\n"


@dataclass
class Floors:
    noop: Callable[..., object] | None = None
    noop_note: str = ""
    empty_program: str | None = None
    empty_note: str = ""


def c_compiler() -> list[str] | None:
    if os.environ.get("CC"):
        return os.environ["CC"].split()
    for name in ("cc", "gcc", "clang"):
        if path := shutil.which(name):
            return [path]
    return None


def compile_c(compiler: list[str], arguments: list[str]) -> str | None:
    """Runs the compiler; gives its complaint, or None when it succeeded. A
    compiler that cannot be started (CC names no program) is a complaint too."""
    try:
        run = subprocess.run(compiler + arguments, capture_output=True, text=True)
    except OSError as error:
        return f"{compiler[0]}: {error.strerror or error}"
    if run.returncode == 0:
        return None
    lines = (run.stderr or run.stdout).strip().splitlines()
    return lines[-1] if lines else f"exit status {run.returncode}"


def build_floors() -> Floors:
    floors = Floors()
    if ON_WINDOWS:
        floors.empty_program = os.environ.get("KELVAR_BENCH_EMPTY_EXE") or None
        floors.empty_note = "KELVAR_BENCH_EMPTY_EXE names no empty program"
        floors.noop_note = "not built on Windows"
        return floors
    compiler = c_compiler()
    if compiler is None:
        floors.noop_note = floors.empty_note = "no C compiler"
        return floors
    work = tempfile.mkdtemp(prefix="kelvar-bench-")
    atexit.register(shutil.rmtree, work, True)

    source = os.path.join(work, "noop.c")
    with open(source, "w", encoding="utf-8") as file:
        file.write(NOOP_SOURCE)
    # The abi3 suffix where the interpreter knows one, like the module's own.
    suffix = next((s for s in importlib.machinery.EXTENSION_SUFFIXES if "abi3" in s),
                  importlib.machinery.EXTENSION_SUFFIXES[0])
    library = os.path.join(work, "_kelvar_floor" + suffix)
    flags = ["-O2", "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"]]
    if error := compile_c(compiler, [*flags, "-o", library, source]):
        floors.noop_note = f"no-op not built: {error}"
    else:
        spec = importlib.util.spec_from_file_location("_kelvar_floor", library)
        assert spec is not None and spec.loader is not None
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        floors.noop = module.noop

    source = os.path.join(work, "empty.c")
    with open(source, "w", encoding="utf-8") as file:
        file.write(EMPTY_SOURCE)
    program = os.path.join(work, "empty")
    if error := compile_c(compiler, ["-O2", "-static", "-o", program, source]):
        floors.empty_note = f"static empty program not built: {error}"
    else:
        floors.empty_program = program
    return floors
