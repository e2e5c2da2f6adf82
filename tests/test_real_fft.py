"""The noise suppressor's real FFT (pocketfft) against a direct DFT, through
the native check built beside the SDK (sdk/checks/fft_check.cpp): bins,
round trip, the ignored imaginary parts of bin 0 and the last bin, and no
allocation while transforming."""

import subprocess
from pathlib import Path

import pytest

import _tavix_module as m

FFT_CHECK = Path(m.__file__).parent / "sdk" / "tavix_sdk_fft_check"


@pytest.mark.skipif(not FFT_CHECK.exists(), reason="needs the build tree's SDK check")
@pytest.mark.parametrize("sizes", [
    # The denoiser's windows (two 10 ms hops) at 8, 16, 32, 48, 96 and 192 kHz:
    # multiples of 8, transformed as four interleaved quarters.
    [160, 320, 640, 960, 1920, 3840],
    # The smallest quartered size, a quarter with pocketfft's generic odd
    # radix (808 = 8 * 101) and one it runs with Bluestein's algorithm
    # (3832 = 8 * 479).
    [64, 808, 3832],
    # Even, not multiples of 8, n / 2 with prime factors up to 11: one complex
    # transform of the sample pairs. 44.1 and 11.025 kHz (882, 220).
    [882, 220, 100, 22, 20, 6],
    # One real transform: 22.05 kHz (442 = 2 * 13 * 17), odd sizes, and a large
    # prime factor (3826 = 2 * 1913, Bluestein).
    [442, 26, 9, 1001, 3826],
    # Degenerate sizes.
    [1, 2, 3, 4, 8],
], ids=["denoiser-windows", "quartered", "halved", "whole", "tiny"])
def test_real_fft_matches_direct_dft(sizes):
    done = subprocess.run([str(FFT_CHECK), *map(str, sizes)], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout.strip()) == (0, "ok"), done.stdout + done.stderr
