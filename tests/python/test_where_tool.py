"""The POSIX stand-in for `where`, run as a child with a PATH of its own."""

import os
import shutil
import stat
import subprocess
import sys
import sysconfig

import pytest

if sys.platform == "win32":
    pytest.skip("Windows has its own where", allow_module_level=True)

WHERE = os.environ.get("KELVAR_WHERE") or shutil.which("where", path=sysconfig.get_path("scripts"))
if not WHERE:
    pytest.skip("where is neither installed nor named by KELVAR_WHERE", allow_module_level=True)
WHERE = os.path.abspath(WHERE)

SCRIPT = b"#!/bin/sh\nexit 0\n"


def run(args, path, cwd, stdout="pipe"):
    """Runs where with PATH set to `path` (None: unset); bytes in, bytes out.
    Standard output is a pipe, the full device, or closed."""
    env = {k: v for k, v in os.environb.items() if k != b"PATH"}
    if path is not None:
        env[b"PATH"] = os.fsencode(path)
    options = dict(env=env, cwd=cwd, stderr=subprocess.PIPE, check=False)
    if stdout == "closed":
        return subprocess.run([WHERE, *args], preexec_fn=lambda: os.close(1), **options)
    if stdout == "full":
        with open("/dev/full", "wb") as full:
            return subprocess.run([WHERE, *args], stdout=full, **options)
    return subprocess.run([WHERE, *args], stdout=subprocess.PIPE, **options)


def make_file(directory, name, mode=0o755):
    path = os.path.join(os.fsencode(directory), os.fsencode(name))
    with open(path, "wb") as f:
        f.write(SCRIPT)
    os.chmod(path, mode)
    return path


def lines(*paths):
    return b"".join(os.fsencode(p) + b"\n" for p in paths)


@pytest.mark.parametrize(
    "names, pattern, expected",
    [
        (["ls", "lsblk", "Ls"], "ls", ["ls"]),
        (["ls", "Ls", "LS"], "LS", ["LS"]),
        (["ls", "Ls"], "lS", []),
        (["ls", "la", "l", "lsx", "Ls"], "l?", ["la", "ls"]),
        (["l", "ls", "lsblk", "al"], "l*", ["l", "ls", "lsblk"]),
        (["ls", "Ls", "LS", "lsx"], "*s", ["Ls", "ls"]),
        (["ab", "aab", "ba", "abab", "acb"], "*a*b", ["aab", "ab", "abab", "acb"]),
        (["abc", "abd", "ab"], "a?c", ["abc"]),
        (["x.y", "xy", "x.y.z"], "*.*", ["x.y", "x.y.z"]),
        (["tool", ".tool"], "*tool", [".tool", "tool"]),
        # Byte order, not the locale's collation: capitals, then punctuation,
        # then small letters, then every non-ASCII byte.
        (["b", "B", "a", "_", "Z", "~", "é"], "?", ["B", "Z", "_", "a", "b", "~", "é"]),
        # '?' is one character: a whole UTF-8 sequence, or one stray byte.
        (["café", b"caf\xe9", "cafe", "caf"], "caf?", ["cafe", "café", b"caf\xe9"]),
        (["café", b"caf\xe9"], "caf??", []),
        (["€", "€€", "e"], "?", ["e", "€"]),
        (["x€y", "x€€y"], "x?y", ["x€y"]),
        # '*' must not stop inside a character and leave '?' its pieces.
        (["€"], "*??", []),
        (["€a€", "€€a"], "*??a*", ["€€a"]),
        ([b"tool\xff", "tool"], b"tool\xff", [b"tool\xff"]),
        (["a b", "a\nb"], "a?b", ["a\nb", "a b"]),
        (["a\nb"], "a\nb", ["a\nb"]),
    ],
)
def test_pattern_matches_in_byte_order(tmp_path, names, pattern, expected):
    for name in names:
        make_file(tmp_path, name)
    result = run([os.fsencode(pattern)], str(tmp_path), tmp_path)
    want = b"".join(os.fsencode(tmp_path) + b"/" + os.fsencode(n) + b"\n" for n in expected)
    assert result.stdout == want
    assert result.returncode == (0 if expected else 1)
    assert result.stderr == b""


def _kinds(d):
    """Makes one file system object per kind under `d`; returns whether each counts."""
    uid0 = os.geteuid() == 0
    counts = {}
    make_file(d, "exe")
    counts["exe"] = True
    make_file(d, "owner_x", 0o744)
    counts["owner_x"] = True
    make_file(d, "plain", 0o644)
    counts["plain"] = False
    # The owner's bits decide for the owner; root needs just some x bit.
    make_file(d, "group_x", 0o610)
    counts["group_x"] = uid0
    make_file(d, "other_x", 0o601)
    counts["other_x"] = uid0
    os.symlink("exe", d / "link_exe")
    counts["link_exe"] = True
    os.symlink("link_exe", d / "link_link")
    counts["link_link"] = True
    os.symlink("plain", d / "link_plain")
    counts["link_plain"] = False
    os.mkdir(d / "dir_x", 0o755)
    counts["dir_x"] = False
    os.symlink("dir_x", d / "link_dir")
    counts["link_dir"] = False
    os.symlink("missing", d / "link_dangling")
    counts["link_dangling"] = False
    os.mkfifo(d / "fifo_x")
    os.chmod(d / "fifo_x", 0o755)
    counts["fifo_x"] = False
    return counts


@pytest.mark.parametrize("wildcard", [False, True], ids=["plain", "wildcard"])
def test_only_executable_regular_files_count(tmp_path, wildcard):
    counts = _kinds(tmp_path)
    for name, counted in counts.items():
        # The last letter as '?' sends the name down the directory scan.
        pattern = name[:-1] + "?" if wildcard else name
        result = run([pattern], str(tmp_path), tmp_path)
        want = lines(tmp_path / name) if counted else b""
        assert (result.stdout, result.returncode) == (want, 0 if counted else 1), name
    if wildcard:
        everything = run(["*"], str(tmp_path), tmp_path)
        counted = sorted(n for n, c in counts.items() if c)
        assert everything.stdout == lines(*(tmp_path / n for n in counted))


def test_path_entries_are_searched_in_order(tmp_path):
    dirs = [tmp_path / n for n in ("one", "two", "three")]
    for d in dirs:
        d.mkdir()
        make_file(d, "tool")
        make_file(d, "tool2")
    # A missing entry is skipped; a repeated one is searched again.
    entries = (dirs[1], tmp_path / "missing", dirs[0], dirs[2], dirs[1])
    path = os.pathsep.join(map(str, entries))
    result = run(["tool*"], path, tmp_path)
    order = (dirs[1], dirs[0], dirs[2], dirs[1])
    assert result.stdout == lines(*(p for d in order for p in (d / "tool", d / "tool2")))
    assert run(["tool"], path, tmp_path).stdout == lines(*(d / "tool" for d in order))


@pytest.mark.parametrize(
    "path, expected",
    [
        (":{d}", ["./tool", "{d}/tool"]),
        ("{d}:", ["{d}/tool", "./tool"]),
        ("{d}::{e}", ["{d}/tool", "./tool", "{e}/tool"]),
        ("", ["./tool"]),
        ("::", ["./tool", "./tool", "./tool"]),
        ("{d}/", ["{d}/tool"]),
        ("{d}//:{e}", ["{d}//tool", "{e}/tool"]),
    ],
)
@pytest.mark.parametrize("pattern", ["tool", "t?ol"])
def test_path_entries_are_joined_as_written(tmp_path, path, expected, pattern):
    d, e, cwd = tmp_path / "d", tmp_path / "e", tmp_path / "cwd"
    for directory in (d, e, cwd):
        directory.mkdir()
        make_file(directory, "tool")
    result = run([pattern], path.format(d=d, e=e), cwd)
    assert result.stdout == lines(*(x.format(d=d, e=e) for x in expected))


def test_non_utf8_directory_is_printed_as_its_bytes(tmp_path):
    d = os.path.join(os.fsencode(tmp_path), b"dir\xfe\x80")
    os.mkdir(d)
    make_file(d, b"t\xc3")
    for pattern in (b"t\xc3", b"t?", b"*"):
        assert run([pattern], d, tmp_path).stdout == d + b"/t\xc3\n"


def test_unset_path_means_the_system_default(tmp_path):
    try:
        default = os.confstr("CS_PATH") or "/usr/bin:/bin"
    except (ValueError, OSError):
        default = "/usr/bin:/bin"
    hits = [
        os.path.join(d, "sh")
        for d in default.split(":")
        if os.path.isfile(os.path.join(d, "sh")) and os.access(os.path.join(d, "sh"), os.X_OK)
    ]
    assert hits, "no sh on the default path"
    result = run(["sh"], None, tmp_path)
    assert result.stdout == lines(*hits)


@pytest.mark.parametrize(
    "args, stdout",
    [
        ([], "pipe"),
        ([""], "pipe"),
        (["a/b"], "pipe"),
        (["/"], "pipe"),
        (["tool", "x/"], "pipe"),
        (["tool", ""], "pipe"),
        (["--help", ""], "pipe"),
        (["a\n/b"], "pipe"),
        # Results that cannot be written: a cut list must not pass for a whole one.
        (["tool"], "full"),
        (["t?ol", "nosuch"], "full"),
        (["tool"], "closed"),
    ],
)
def test_errors(tmp_path, args, stdout):
    make_file(tmp_path, "tool")
    result = run(args, str(tmp_path), tmp_path, stdout)
    assert result.returncode == 2
    assert result.stdout in (b"", None)
    assert result.stderr.startswith(b"where: ")
    assert result.stderr.count(b"\n") == 1 and result.stderr.endswith(b"\n")


@pytest.mark.parametrize(
    "args, expected",
    [
        (["-x"], ["-x"]),
        (["--"], ["--"]),
        (["-"], ["-"]),
        (["-h"], ["-h"]),
        (["--version"], []),
        (["tool", "--help"], ["tool", "--help"]),
        (["--help", "--help"], ["--help", "--help"]),
        (["--help", "tool"], ["--help", "tool"]),
        (["--", "-x"], ["--", "-x"]),
    ],
)
def test_arguments_that_look_like_options_are_patterns(tmp_path, args, expected):
    # The lookup passes a command name as the only argument: "-x" must be
    # searched for, never read as an option.
    for name in ("-x", "--", "-", "-h", "--help", "tool"):
        make_file(tmp_path, name)
    result = run(args, str(tmp_path), tmp_path)
    assert result.stdout == lines(*(tmp_path / n for n in expected))
    assert result.returncode == (0 if expected else 1)
    assert result.stderr == b""


@pytest.mark.parametrize("present", [True, False])
def test_help_goes_to_standard_error(tmp_path, present):
    # Standard output only ever holds paths, so nobody takes the help for one,
    # and a program named --help is still found.
    if present:
        make_file(tmp_path, "--help")
    result = run(["--help"], str(tmp_path), tmp_path)
    assert result.returncode == (0 if present else 1)
    assert result.stdout == (lines(tmp_path / "--help") if present else b"")
    assert result.stderr.startswith(b"Usage: where")
    assert b"Order:" in result.stderr and b"Exit status:" in result.stderr


@pytest.mark.parametrize(
    "patterns, expected, code",
    [
        (["b*", "a"], ["{0}/b", "{0}/bb", "{1}/b", "{0}/a", "{1}/a"], 0),
        (["nosuch", "a"], ["{0}/a", "{1}/a"], 0),
        (["a", "nosuch"], ["{0}/a", "{1}/a"], 0),
        (["a", "?"], ["{0}/a", "{1}/a", "{0}/a", "{0}/b", "{1}/a", "{1}/b"], 0),
        (["nosuch", "no*such"], [], 1),
    ],
)
def test_several_patterns_in_turn(tmp_path, patterns, expected, code):
    dirs = [tmp_path / "one", tmp_path / "two"]
    for d, names in zip(dirs, (["a", "b", "bb"], ["b", "a"])):
        d.mkdir()
        for name in names:
            make_file(d, name)
    result = run(patterns, os.pathsep.join(map(str, dirs)), tmp_path)
    assert result.stdout == lines(*(x.format(*dirs) for x in expected))
    assert result.returncode == code
    assert result.stderr == b""


SYSTEM_PATH = [e for e in os.environ.get("PATH", os.defpath).split(os.pathsep) if e]


# (PATH, with {d} for a folder holding `tool`; the names to look up)
WHICH_CASES = {
    "the system's PATH": (os.pathsep.join(SYSTEM_PATH), None),
    "the system's PATH, each entry ending in /": (
        os.pathsep.join(e.rstrip("/") + "/" for e in SYSTEM_PATH), None),
    "an entry ending in /": ("{d}/", ["tool"]),
    "an entry ending in //": ("{d}//", ["tool"]),
    "an entry ending in /.//": ("{d}/.//", ["tool"]),
}


@pytest.mark.parametrize("path, names", WHICH_CASES.values(), ids=WHICH_CASES.keys())
def test_first_line_agrees_with_shutil_which(tmp_path, path, names):
    make_file(tmp_path, "tool")
    names = names or ["sh", "ls", "cat", "env", "python3", os.path.basename(sys.executable)]
    path = path.format(d=tmp_path)
    compared = 0
    for name in names:
        expected = shutil.which(name, path=path)
        result = run([name], path, tmp_path)
        if expected is None:
            assert result.returncode == 1, name
            continue
        compared += 1
        assert result.stdout.split(b"\n")[0] == os.fsencode(expected), name
    assert compared, "none of the commands is on PATH"
