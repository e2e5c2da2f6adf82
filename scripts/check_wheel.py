"""Checks that a built wheel is what we ship: one stable-ABI wheel holding the
extension, its stubs, the substitute SDK beside it (found through a relative
run path) and the pure-Python package."""

import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path


def fail(message: str) -> None:
    sys.exit(f"wheel check failed: {message}")


def main(wheel_path: str) -> None:
    wheel = Path(wheel_path)
    if "-cp312-abi3-" not in wheel.name:
        fail(f"{wheel.name} is not tagged cp312-abi3")
    names = set(zipfile.ZipFile(wheel).namelist())
    required = {"_tavix_module.abi3.so", "_tavix_module.pyi", "libTavixSdk.so", "tavix/__init__.py"}
    missing = required - names
    if missing:
        fail(f"missing {sorted(missing)}; has {sorted(names)}")
    version_specific = [n for n in names if n.startswith("_tavix_module.cpython")]
    if version_specific:
        fail(f"version-specific extension {version_specific}: the stable ABI was not used")
    with tempfile.TemporaryDirectory() as tmp:
        extension = zipfile.ZipFile(wheel).extract("_tavix_module.abi3.so", tmp)
        dynamic = subprocess.run(["readelf", "-d", extension], capture_output=True, text=True).stdout
    if "$ORIGIN" not in dynamic:
        fail("the extension has no $ORIGIN run path, so it would not find libTavixSdk.so")
    print(f"wheel ok: {wheel.name}")


if __name__ == "__main__":
    main(sys.argv[1])
