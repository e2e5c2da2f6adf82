"""scripts/check_wheel.py's symbol-version check, on the extension under test:
a real ELF file, read the way the wheel check reads the wheels it ships."""

import platform
import shutil
import sys
from pathlib import Path

import pytest

import _tavix_module as m

pytest.importorskip("auditwheel", reason="the wheel check reads auditwheel's policies")
if shutil.which("readelf") is None:
    pytest.skip("the wheel check needs readelf (binutils)", allow_module_level=True)

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "scripts"))
import check_wheel  # noqa: E402

EXTENSION = Path(m.__file__)
ARCH = platform.machine()


def test_reads_the_glibc_versions_the_extension_needs():
    versions = check_wheel.needed_versions(EXTENSION)
    assert any(v.startswith("GLIBC_2.") for v in versions["libc.so.6"])


@pytest.mark.parametrize("tag, policy", [
    (f"manylinux2014_{ARCH}", "manylinux_2_17"),
    (f"manylinux_2_17_{ARCH}", "manylinux_2_17"),
    (f"manylinux_2_35_{ARCH}", "manylinux_2_35"),
])
def test_tags_and_their_aliases_find_auditwheels_policy(tag, policy):
    assert check_wheel.policy(tag)[0] == policy


def test_symbols_newer_than_the_tag_are_refused():
    # Every build of the extension needs more than glibc 2.5 and GCC 4.1's
    # libstdc++ (manylinux1).
    if ARCH != "x86_64":
        pytest.skip("manylinux1 exists for x86 only")
    with pytest.raises(check_wheel.WheelError, match=r"_tavix_module needs \S+ from lib\S+, "
                                                     r"(newer than|which) manylinux_2_5_x86_64"):
        check_wheel.check_symbol_versions("_tavix_module", EXTENSION, ["manylinux_2_5_x86_64"])


def test_an_architecture_the_policy_lacks_is_refused():
    with pytest.raises(check_wheel.WheelError, match="has no architecture aarch64"):
        check_wheel.policy("manylinux2010_aarch64")


SDK = "tavix/_lib/libTavixSdk.so"
LIBCXX = "libc++-1a2b3c4d.so.1"
GLIBC = ["libc.so.6", "libm.so.6"]


@pytest.mark.parametrize("extension_needs, sdk_needs", [
    (["libTavixSdk.so", "libstdc++.so.6", *GLIBC], ["libstdc++.so.6", *GLIBC]),
    (["libTavixSdk.so", LIBCXX, "libgcc_s.so.1", *GLIBC], [LIBCXX, "libgcc_s.so.1", *GLIBC]),
], ids=["the system's libstdc++", "a bundled libc++"])
def test_one_shared_cxx_runtime_passes(extension_needs, sdk_needs):
    check_wheel.check_shared_cxx_runtime({check_wheel.EXTENSION: extension_needs, SDK: sdk_needs,
                                          f"tavix.libs/{LIBCXX}": GLIBC})


@pytest.mark.parametrize("extension_needs, sdk_needs, message", [
    # What Zig does by default: libc++ linked statically, and hidden, into each.
    (["libTavixSdk.so", *GLIBC], GLIBC, r"abi3.so needs 0 shared C\+\+ runtimes"),
    (["libTavixSdk.so", LIBCXX, *GLIBC], GLIBC, r"libTavixSdk.so needs 0 shared C\+\+ runtimes"),
    (["libTavixSdk.so", LIBCXX, "libstdc++.so.6"], [LIBCXX], "needs 2 shared C"),
    (["libTavixSdk.so", "libstdc++.so.6"], [LIBCXX], "different C"),
    (["libstdc++.so.6", *GLIBC], ["libstdc++.so.6"], "needs no SDK library"),
], ids=["each its own static runtime", "the SDK's static", "two runtimes", "different runtimes", "no SDK"])
def test_runtimes_the_extension_and_the_sdk_do_not_share_are_refused(extension_needs, sdk_needs, message):
    with pytest.raises(check_wheel.WheelError, match=message):
        check_wheel.check_shared_cxx_runtime({check_wheel.EXTENSION: extension_needs, SDK: sdk_needs})


def test_the_extension_under_test_shares_its_runtime_with_its_sdk():
    # Installed from a wheel, or in a build folder.
    sdk = next(p for p in (EXTENSION.parent / SDK, EXTENSION.parent / "sdk/libTavixSdk.so") if p.exists())
    check_wheel.check_shared_cxx_runtime({check_wheel.EXTENSION: check_wheel.dynamic_section(EXTENSION)[0],
                                          SDK: check_wheel.dynamic_section(sdk)[0]})
