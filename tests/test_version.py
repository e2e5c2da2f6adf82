"""One version, written only in pyproject.toml: the extension, the installed
package's metadata and the substitute SDK all report it."""

import importlib.metadata
import tomllib
from pathlib import Path

import _tavix_module as m

PYPROJECT = Path(__file__).resolve().parent.parent / "pyproject.toml"


def installed_distribution():
    """The installed `tavix` distribution that holds the imported extension,
    or None when it comes from a build tree (PYTHONPATH=build/...)."""
    try:
        dist = importlib.metadata.distribution("tavix")
    except importlib.metadata.PackageNotFoundError:
        return None
    module = Path(m.__file__).resolve()
    if any(Path(dist.locate_file(f)).resolve() == module for f in dist.files or ()):
        return dist
    return None


def package_version():
    dist = installed_distribution()
    if dist is not None:
        return dist.version
    # A build tree compiles in the source tree's version.
    return tomllib.loads(PYPROJECT.read_text())["tool"]["tavix"]["version"]


def test_module_version_is_the_package_version():
    # A wheel built against the vendor's SDK carries "+vendor" in both.
    assert m.__version__ == package_version()


def test_substitute_sdk_version_is_the_package_version(tmp_path):
    version = m.create_sdk(m.InitParams(str(tmp_path))).version
    assert version == package_version().split("+")[0] + "-substitute"
