"""Other noise suppressors, timed as their Python users call them, for
bench/run.py's peer rows: libspeexdsp's preprocessor (Debian's libspeexdsp1,
through ctypes) and WebRTC's noise suppressor (webrtc-noise-gain from PyPI;
16 kHz only), both in their native 10 ms frames of 16-bit PCM. The quality
comparison of the same peers is bench/denoise; bench/denoise/setup.sh
installs both."""

from __future__ import annotations

import ctypes
import ctypes.util
from collections.abc import Callable

import numpy as np

SPEEX_INSTALL = "apt-get install libspeexdsp1 (or run bench/denoise/setup.sh)"
WEBRTC_INSTALL = "pip install webrtc-noise-gain (or run bench/denoise/setup.sh)"
SPEEX_DENOISE, SPEEX_NOISE_SUPPRESS = 0, 18


def pcm16(samples: np.ndarray) -> np.ndarray:
    return np.clip(np.round(samples * 32767.0), -32768, 32767).astype(np.int16)


def speex(rate: int, samples: np.ndarray) -> tuple[Callable[[], None], Callable[[], None]] | str:
    """(run over `samples`, close), or why Speex is not there. Frames are
    processed in place; Speex's cost does not depend on the values."""
    name = ctypes.util.find_library("speexdsp") or "libspeexdsp.so.1"
    try:
        lib = ctypes.CDLL(name)
    except OSError:
        return f"no libspeexdsp: {SPEEX_INSTALL}"
    lib.speex_preprocess_state_init.restype = ctypes.c_void_p
    lib.speex_preprocess_state_init.argtypes = [ctypes.c_int, ctypes.c_int]
    lib.speex_preprocess_ctl.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p]
    lib.speex_preprocess_run.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
    lib.speex_preprocess_state_destroy.argtypes = [ctypes.c_void_p]
    frame = rate // 100
    state = lib.speex_preprocess_state_init(frame, rate)
    for request, value in ((SPEEX_DENOISE, 1), (SPEEX_NOISE_SUPPRESS, -15)):
        setting = ctypes.c_int(value)
        lib.speex_preprocess_ctl(state, request, ctypes.byref(setting))
    pcm = pcm16(samples[: samples.size - samples.size % frame])
    pointers = [pcm[begin:].ctypes.data for begin in range(0, pcm.size, frame)]
    process = lib.speex_preprocess_run

    # Speex writes into `pcm` through these bare addresses, so `run` holds
    # the array itself too: without it the frames would be freed memory.
    def run(pcm: np.ndarray = pcm) -> None:
        for pointer in pointers:
            process(state, pointer)

    return run, lambda: lib.speex_preprocess_state_destroy(state)


def webrtc(level: int, samples: np.ndarray) -> tuple[Callable[[], None], Callable[[], None]] | str:
    """(run over 16 kHz `samples`, close), or why WebRTC NS is not there."""
    try:
        import webrtc_noise_gain
    except ImportError:
        return f"no webrtc_noise_gain: {WEBRTC_INSTALL}"
    processor = webrtc_noise_gain.AudioProcessor(0, level)
    frame = 160
    pcm = pcm16(samples[: samples.size - samples.size % frame])
    chunks = [pcm[begin:begin + frame].tobytes() for begin in range(0, pcm.size, frame)]
    process = processor.Process10ms

    def run() -> None:
        for chunk in chunks:
            process(chunk)

    return run, lambda: None
