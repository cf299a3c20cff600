"""Packs the cross-built _kelvar.pyd into the Windows wheel.

    python cmake/windows/pack_wheel.py PYD OUT_DIR

No interpreter for Windows runs on the build machine, so the wheel is not
built by a build front end. The metadata comes from the project's own build
backend (scikit-build-core's metadata hook, the same one the Linux wheel's
metadata comes from, so the two match), the files are laid out as the Linux
wheel lays them out, and `wheel pack` writes the archive and its RECORD.
Prints the path of the wheel.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import scikit_build_core.build

ROOT = Path(__file__).resolve().parents[2]
TAG = "cp310-abi3-win_amd64"


def tomllib():
    try:
        import tomllib as module
    except ModuleNotFoundError:  # Python 3.10
        import tomli as module
    return module


def packages():
    """The package folders that the Linux wheel holds (tool.scikit-build)."""
    with open(ROOT / "pyproject.toml", "rb") as file:
        config = tomllib().load(file)
    return [ROOT / p for p in config["tool"]["scikit-build"]["wheel"]["packages"]]


def main(pyd, out_dir):
    pyd = Path(pyd)
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="kelvar-wheel-") as work:
        work = Path(work)
        metadata = work / "metadata"
        metadata.mkdir()
        # The hook reads pyproject.toml from the working directory.
        previous = Path.cwd()
        try:
            os.chdir(ROOT)
            dist_info_name = scikit_build_core.build.prepare_metadata_for_build_wheel(str(metadata))
        finally:
            os.chdir(previous)

        tree = work / "tree"
        tree.mkdir()
        dist_info = tree / dist_info_name
        shutil.copytree(metadata / dist_info_name, dist_info)
        wheel_file = dist_info / "WHEEL"
        text = wheel_file.read_text()
        text = re.sub(r"(?m)^Tag: .*\n", "", text).rstrip("\n") + f"\nTag: {TAG}\n"
        wheel_file.write_text(text)

        # License files that the metadata names travel with it, where the
        # metadata version expects them.
        meta_text = (dist_info / "METADATA").read_text()
        version = tuple(int(x) for x in re.search(r"(?m)^Metadata-Version: (\S+)", meta_text)
                        .group(1).split("."))
        for name in re.findall(r"(?m)^License-File: (.+)$", meta_text):
            target = dist_info / ("licenses" if version >= (2, 4) else "") / name
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(ROOT / name, target)

        for package in packages():
            shutil.copytree(package, tree / package.name,
                            ignore=shutil.ignore_patterns("__pycache__", "*.pyc"))
        shutil.copyfile(pyd, tree / "_kelvar.pyd")

        subprocess.run([sys.executable, "-m", "wheel", "pack", "-d", str(out_dir), str(tree)],
                       check=True, stdout=subprocess.DEVNULL)
    name = dist_info_name.removesuffix(".dist-info")
    wheel = out_dir / f"{name}-{TAG}.whl"
    if not wheel.is_file():
        sys.exit(f"wheel pack did not write {wheel}")
    print(wheel)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
