"""Checks the release artifacts as a package index and a user get them.

    python .ci/check_dist.py SDIST WINDOWS_WHEEL LINUX_WHEEL...

Each row of the checks is one promise; every failing row is listed, then the
exit status is 1. Runs `auditwheel show` of the interpreter's environment.
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
ALLOWED_NEEDED = {"libc.so.6", "libm.so.6", "libdl.so.2", "libpthread.so.0", "librt.so.1",
                  "libgcc_s.so.1", "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}
# readelf's name of each processor that a wheel is built for.
MACHINES = {"x86_64": "Advanced Micro Devices X86-64", "aarch64": "AArch64"}


def readelf(path, *args):
    return subprocess.run(["readelf", "-W", *args, path], check=True, capture_output=True,
                          text=True).stdout


def needed(path):
    return set(re.findall(r"\(NEEDED\).*\[(.+)\]", readelf(path, "-d")))


def exports(path):
    rows = [line.split() for line in readelf(path, "--dyn-syms").splitlines()]
    return [r[7] for r in rows if len(r) >= 8 and r[6] != "UND" and r[4] in ("GLOBAL", "WEAK")]


def header(path, field):
    return re.search(rf"^\s*{field}:\s*(.+)$", readelf(path, "-h"), re.M).group(1).strip()


def glibc_versions(path):
    found = re.findall(r"GLIBC_2\.(\d+)", readelf(path, "-V"))
    return max((int(v) for v in found), default=0)


def static_pie(path):
    """Position independent (ET_DYN), with no loader and no library asked for."""
    segments = readelf(path, "-l")
    return (header(path, "Type").startswith("DYN") and "INTERP" not in segments
            and needed(path) == set())


def links_outside_index(readme):
    """Links and pictures that an index page cannot follow: relative ones, and
    anchors, since an index page gives the headings none."""
    targets = re.findall(r"!?\[[^\]]*\]\(([^)\s]+)", readme)
    targets += re.findall(r"(?:src|href)=\"([^\"]+)\"", readme)
    return [t for t in targets if not re.match(r"(https?://|mailto:)", t)]


def auditwheel_tags(wheel):
    show = subprocess.run([sys.executable, "-m", "auditwheel", "show", wheel], capture_output=True,
                          text=True).stdout
    return re.findall(r"manylinux_2_(\d+)_(\w+)", " ".join(show.split()))


def linux_checks(path):
    """What a manylinux wheel must be; its processor is the one its name gives."""
    arch = re.search(r"manylinux_2_17_(x86_64|aarch64)\.whl$", path)
    arch = arch.group(1) if arch else "unknown"
    work = tempfile.mkdtemp(prefix="kelvar-check-dist-")
    wheel = zipfile.ZipFile(path)
    wheel.extractall(work)
    names = wheel.namelist()
    module = os.path.join(work, "_kelvar.abi3.so")
    wheres = [os.path.join(work, n) for n in names
              if n == WHERE_IN_WHEEL or n.endswith(".data/scripts/where")]
    name = f"the {arch} wheel"
    return [
        (f"{name} is tagged manylinux_2_17 for x86_64 or aarch64", lambda: arch in MACHINES),
        (f"{name} at most 300 kB", lambda: os.path.getsize(path) <= MAX_WHEEL_BYTES),
        (f"auditwheel show finds {name} consistent with manylinux_2_17_{arch}",
         lambda: ("17", arch) in auditwheel_tags(path)),
        (f"{name}'s module is built for {arch}",
         lambda: header(module, "Machine") == MACHINES.get(arch)),
        (f"one extension in {name}", lambda: [n for n in names if n.endswith(".so")] == ["_kelvar.abi3.so"]),
        (f"{name}'s module exports only PyInit__kelvar", lambda: exports(module) == ["PyInit__kelvar"]),
        (f"{name}'s module needs no C++ runtime, only glibc and libgcc_s",
         lambda: needed(module) <= ALLOWED_NEEDED),
        (f"{name}'s module needs glibc 2.17 at most", lambda: glibc_versions(module) <= 17),
        (f"{name}'s stand-in lies at {WHERE_IN_WHEEL} and is also a script",
         lambda: len(wheres) == 2 and WHERE_IN_WHEEL in names),
        (f"{name}'s stand-in is static-pie, for {arch}, both copies",
         lambda: all(static_pie(w) and header(w, "Machine") == MACHINES.get(arch) for w in wheres)),
        (f"no loose file at the top of site-packages in {name} but the module",
         lambda: [n for n in names if "/" not in n] == ["_kelvar.abi3.so"]),
        (f"the typing stubs, py.typed and the license in {name}",
         lambda: {"_kelvar-stubs/__init__.pyi", "kelvar/py.typed"} <= set(names)
         and any(n.endswith(".dist-info/licenses/LICENSE") for n in names)),
    ]


def other_checks(args):
    windows_names = zipfile.ZipFile(args.windows_wheel).namelist()
    sdist_names = tarfile.open(args.sdist).getnames()
    top = sdist_names[0].split("/")[0]
    with tarfile.open(args.sdist) as tar:
        readme = tar.extractfile(f"{top}/README.md").read().decode()
    return [
        ("a wheel for each of x86_64 and aarch64 Linux",
         lambda: sorted(m.group(1) for w in args.linux_wheels
                        if (m := re.search(r"manylinux_2_\d+_(x86_64|aarch64)\.whl$", w)))
         == ["aarch64", "x86_64"]),
        ("the Windows wheel at most 300 kB",
         lambda: os.path.getsize(args.windows_wheel) <= MAX_WHEEL_BYTES),
        ("one extension in the Windows wheel",
         lambda: [n for n in windows_names if n.endswith(".pyd")] == ["_kelvar.pyd"]),
        ("the typing stubs, py.typed and the license in the Windows wheel",
         lambda: {"_kelvar-stubs/__init__.pyi", "kelvar/py.typed"} <= set(windows_names)
         and any(n.endswith(".dist-info/licenses/LICENSE") for n in windows_names)),
        ("the sdist at most 300 kB", lambda: os.path.getsize(args.sdist) <= MAX_WHEEL_BYTES),
        ("the sdist holds the sources, the tests and the license",
         lambda: {f"{top}/pyproject.toml", f"{top}/src/module/module.cpp",
                  f"{top}/tests/python/conftest.py", f"{top}/tools/where/where.cpp",
                  f"{top}/CHANGELOG.md", f"{top}/LICENSE"} <= set(sdist_names)),
        ("the README's links hold on an index page", lambda: links_outside_index(readme) == []),
    ]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("sdist")
    parser.add_argument("windows_wheel")
    parser.add_argument("linux_wheels", nargs="+")
    args = parser.parse_args()

    checks = other_checks(args)
    for wheel in args.linux_wheels:
        checks += linux_checks(wheel)
    failed = []
    for what, check in checks:
        try:
            ok = bool(check())
        except (OSError, KeyError, AttributeError, subprocess.CalledProcessError) as error:
            ok, what = False, f"{what} ({error})"
        print(f"{'ok  ' if ok else 'FAIL'} {what}")
        if not ok:
            failed.append(what)
    for artifact in (args.sdist, args.windows_wheel, *args.linux_wheels):
        print(f"     {os.path.basename(artifact)}: {os.path.getsize(artifact)} bytes")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
