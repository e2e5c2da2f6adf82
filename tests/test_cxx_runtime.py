"""The extension and the SDK share one C++ runtime: an exception the SDK
throws is caught by its base class (std::exception) in the extension. In the
published wheels that runtime is LLVM's libc++, bundled; it must stay theirs
even in a process that loaded GCC's libstdc++ first, for everyone to see
(another extension, a ctypes user), where unversioned names such as
__cxa_throw or typeinfo for std::exception would bind to libstdc++'s."""

import ctypes.util
import re
import textwrap

import pytest

from helpers import run_python

LIBSTDCXX = ctypes.util.find_library("stdc++")

LOADED_FIRST = {
    "nothing": "",
    "libstdc++, globally": f"ctypes.CDLL({LIBSTDCXX!r}, mode=ctypes.RTLD_GLOBAL)",
}


@pytest.mark.parametrize("loaded_first", LOADED_FIRST)
def test_sdk_exceptions_reach_python(loaded_first, tmp_path):
    if loaded_first != "nothing" and LIBSTDCXX is None:
        pytest.skip("no libstdc++ on this system")
    blocker = tmp_path / "file"
    blocker.write_text("not a directory")
    result = run_python(textwrap.dedent(f"""
        import ctypes
        {LOADED_FIRST[loaded_first]}
        import _tavix_module as m
        for storage in [{str(blocker / "storage")!r}, ""]:
            try:
                m.create_sdk(m.InitParams(storage))
            except (RuntimeError, ValueError) as error:
                print(type(error).__name__, error)
    """))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 2, result.stdout
    assert re.match(rf"RuntimeError .*{re.escape(str(blocker))}", lines[0])
    assert lines[1].startswith("ValueError") and "storage_dir" in lines[1]
