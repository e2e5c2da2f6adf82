"""scripts/zig_toolchain.py refuses what it cannot build with a message that
says what to do, and leaves nothing in its cache that looks finished."""

import sys
from pathlib import Path

import pytest

pytest.importorskip("ziglang", reason="the wheels' toolchain comes from PyPI's ziglang (scripts/build-wheels)")
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "scripts"))
import zig_toolchain  # noqa: E402


@pytest.mark.parametrize("target, unwinders, message", [
    ("riscv64-linux-gnu.2.27", None,
     "unsupported target riscv64-linux-gnu.2.27: aarch64-linux-gnu.2.17 or x86_64-linux-gnu.2.17"),
    ("aarch64-linux-gnu.2.17", {"aarch64": ["/nonexistent/libgcc_s.so.1"]},
     "no libgcc_s.so.1 for aarch64 on this machine: apt-get install libgcc-s1-arm64-cross"),
], ids=["unknown target", "no unwinder for the target"])
def test_refused_with_what_to_do_and_nothing_left(target, unwinders, message, tmp_path, monkeypatch):
    if unwinders:
        monkeypatch.setitem(zig_toolchain.UNWINDERS, "aarch64", unwinders["aarch64"])
    with pytest.raises(zig_toolchain.ToolchainError, match=message):
        zig_toolchain.toolchain(target, tmp_path)
    assert list(tmp_path.iterdir()) == []
