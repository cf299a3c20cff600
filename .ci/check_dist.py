"""Checks the release artifacts as a package index and a user get them.

    python .ci/check_dist.py [--auditwheel SHOW.txt] SDIST LINUX_WHEEL WINDOWS_WHEEL

Each row of CHECKS is one promise; every failing row is listed, then the
exit status is 1.
"""

import argparse
import os
import re
import subprocess
import sys
import tarfile
import tempfile
import zipfile

MAX_WHEEL_BYTES = 300_000
# The stand-in's copy that the lookup looks for first, inside the package's
# own folder so that no other distribution's file can collide with it.
WHERE_IN_WHEEL = os.environ.get("KELVAR_WHERE_IN_WHEEL", "kelvar/bin/where")
# What a manylinux module may need from the system: glibc, and the unwinder
# that glibc itself uses to end threads; no C++ runtime.
ALLOWED_NEEDED = {"libc.so.6", "libm.so.6", "libdl.so.2", "libpthread.so.0",
                  "ld-linux-x86-64.so.2", "librt.so.1", "libgcc_s.so.1"}
OLDEST_TAG = re.compile(r"manylinux_2_(\d+)_x86_64")


def elf(tool, path, *args):
    return subprocess.run([tool, *args, path], check=True, capture_output=True,
                          text=True).stdout


def needed(path):
    return set(re.findall(r"\(NEEDED\).*\[(.+)\]", elf("readelf", path, "-d")))


def exports(path):
    return [line.split()[-1] for line in elf("nm", path, "-D", "--defined-only").splitlines()]


def glibc_versions(path):
    found = re.findall(r"GLIBC_2\.(\d+)", elf("readelf", path, "-V"))
    return max((int(v) for v in found), default=0)


def links_outside_index(readme):
    """Links and pictures that an index page cannot follow: relative ones, and
    anchors, since an index page gives the headings none."""
    targets = re.findall(r"!?\[[^\]]*\]\(([^)\s]+)", readme)
    targets += re.findall(r"(?:src|href)=\"([^\"]+)\"", readme)
    return [t for t in targets if not re.match(r"(https?://|mailto:)", t)]


def artifact_checks(args):
    """What each artifact must be, as (description, check) pairs."""
    work = tempfile.mkdtemp(prefix="kelvar-check-dist-")
    linux = zipfile.ZipFile(args.linux_wheel)
    linux.extractall(work)
    windows_names = zipfile.ZipFile(args.windows_wheel).namelist()
    linux_names = linux.namelist()
    module = os.path.join(work, "_kelvar.abi3.so")
    where = os.path.join(work, WHERE_IN_WHEEL)
    sdist_names = tarfile.open(args.sdist).getnames()
    top = sdist_names[0].split("/")[0]
    with tarfile.open(args.sdist) as tar:
        readme = tar.extractfile(f"{top}/README.md").read().decode()
    show = open(args.auditwheel).read() if args.auditwheel else ""
    tags = [int(v) for v in OLDEST_TAG.findall(show)]

    return [
        ("the Linux wheel at most 300 kB",
         lambda: os.path.getsize(args.linux_wheel) <= MAX_WHEEL_BYTES),
        ("the Windows wheel at most 300 kB",
         lambda: os.path.getsize(args.windows_wheel) <= MAX_WHEEL_BYTES),
        ("the Linux wheel is tagged manylinux",
         lambda: "-manylinux" in os.path.basename(args.linux_wheel)),
        ("auditwheel show names manylinux_2_28 or older",
         lambda: not args.auditwheel or (tags and min(tags) <= 28)),
        ("one extension in each wheel",
         lambda: [n for n in linux_names if n.endswith(".so")] == ["_kelvar.abi3.so"]
         and [n for n in windows_names if n.endswith(".pyd")] == ["_kelvar.pyd"]),
        ("the module exports only PyInit__kelvar",
         lambda: exports(module) == ["PyInit__kelvar"]),
        ("the module needs no C++ runtime, only glibc and libgcc_s",
         lambda: needed(module) <= ALLOWED_NEEDED),
        ("the module needs glibc 2.17 at most", lambda: glibc_versions(module) <= 17),
        (f"the stand-in lies at {WHERE_IN_WHEEL}", lambda: WHERE_IN_WHEEL in linux_names),
        ("no loose file at the top of site-packages but the module",
         lambda: [n for n in linux_names if "/" not in n] == ["_kelvar.abi3.so"]),
        ("the stand-in needs no shared library",
         lambda: os.path.exists(where) and needed(where) == set()),
        ("the stand-in is also a script",
         lambda: any(n.endswith(".data/scripts/where") for n in linux_names)),
        ("the typing stubs and py.typed in both wheels",
         lambda: all({"_kelvar-stubs/__init__.pyi", "kelvar/py.typed"} <= set(names)
                     for names in (linux_names, windows_names))),
        ("the license file in every artifact",
         lambda: any(n.endswith(".dist-info/licenses/LICENSE") for n in linux_names)
         and any(n.endswith(".dist-info/licenses/LICENSE") for n in windows_names)
         and f"{top}/LICENSE" in sdist_names),
        ("the sdist holds the sources and the tests",
         lambda: {f"{top}/pyproject.toml", f"{top}/src/module/module.cpp",
                  f"{top}/tests/python/conftest.py", f"{top}/tools/where/where.cpp",
                  f"{top}/CHANGELOG.md"} <= set(sdist_names)),
        ("the README's links hold on an index page", lambda: links_outside_index(readme) == []),
    ]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--auditwheel", help="the output of auditwheel show")
    parser.add_argument("sdist")
    parser.add_argument("linux_wheel")
    parser.add_argument("windows_wheel")
    args = parser.parse_args()

    failed = []
    for what, check in artifact_checks(args):
        try:
            ok = bool(check())
        except (OSError, KeyError, subprocess.CalledProcessError) as error:
            ok, what = False, f"{what} ({error})"
        print(f"{'ok  ' if ok else 'FAIL'} {what}")
        if not ok:
            failed.append(what)
    for wheel in (args.linux_wheel, args.windows_wheel):
        print(f"     {os.path.basename(wheel)}: {os.path.getsize(wheel)} bytes")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
