"""The suppressors under comparison, each as `process(noisy) -> output` on
16 kHz float32 mono, streaming where the method streams. Outputs are not
aligned here: each method's latency is measured and removed by the scorer."""

from __future__ import annotations

import ctypes
import os
import tempfile
from collections.abc import Callable

import numpy as np
from scipy import signal as sps

RATE = 16000
DEMO_KEY = "tvx1-demo-all-never-13c5b659"

Method = Callable[[np.ndarray], np.ndarray]


def _to_pcm16(x: np.ndarray) -> np.ndarray:
    return np.clip(np.round(x * 32767.0), -32768, 32767).astype(np.int16)


class Ours:
    """The SDK's `denoise` model through `process_frame` on the local path,
    in 20 ms frames, drained with silence; at `rate` (resampled to and from
    16 kHz when it differs)."""

    _sdk = None

    def __init__(self, rate: int = RATE):
        self.rate = rate

    @classmethod
    def sdk(cls):
        if cls._sdk is None:
            os.environ["TAVIX_LOCAL_INFERENCING"] = "1"
            import _tavix_module as m
            cls._storage = tempfile.TemporaryDirectory()
            cls._sdk = m.create_sdk(m.InitParams(cls._storage.name))
            if not cls._sdk.activate_api_key(DEMO_KEY).success:
                raise RuntimeError("the demo key did not activate the SDK")
        return cls._sdk

    def __call__(self, noisy: np.ndarray) -> np.ndarray:
        import _tavix_module as m
        x = noisy if self.rate == RATE else sps.resample_poly(noisy, self.rate, RATE)
        x = np.ascontiguousarray(x, np.float32)
        step = self.rate // 50
        sdk = self.sdk()  # first: it selects the local path, which attributes read when built
        attrs = m.ProcessorAttributes(m.AudioAttributes(self.rate, 1, "denoise"))
        out = []
        with sdk.create_audio_processor(attrs) as processor:
            for begin in range(0, x.size, step):
                chunk = x[begin:begin + step]
                if chunk.size < step:  # a short frame is dropped: pad the last one
                    chunk = np.concatenate([chunk, np.full(step - chunk.size, 1e-6, np.float32)])
                out.append(np.frombuffer(processor.process_frame(m.AudioFrame(chunk)).samples,
                                         np.float32).copy())
            zeros = m.AudioFrame(np.zeros(step, np.float32))
            while True:
                tail = np.frombuffer(processor.process_frame(zeros).samples, np.float32).copy()
                if tail.size == 0:
                    break
                out.append(tail)
        y = np.concatenate(out)[: x.size]
        return y if self.rate == RATE else sps.resample_poly(y, RATE, self.rate)[: noisy.size]


class Speex:
    """libspeexdsp's preprocessor (Debian's libspeexdsp), noise suppression
    only, at its default -15 dB, 10 ms frames of 16-bit PCM."""

    _lib = None

    def __init__(self, suppress_db: int = -15):
        self.suppress_db = suppress_db
        if Speex._lib is None:
            lib = ctypes.CDLL("libspeexdsp.so.1")
            lib.speex_preprocess_state_init.restype = ctypes.c_void_p
            lib.speex_preprocess_state_init.argtypes = [ctypes.c_int, ctypes.c_int]
            lib.speex_preprocess_ctl.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p]
            lib.speex_preprocess_run.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
            lib.speex_preprocess_state_destroy.argtypes = [ctypes.c_void_p]
            Speex._lib = lib

    def __call__(self, noisy: np.ndarray) -> np.ndarray:
        lib, frame = self._lib, RATE // 100
        state = lib.speex_preprocess_state_init(frame, RATE)
        try:
            # DENOISE on and its depth; AGC, VAD and dereverberation are off
            # by default (setting the VAD only prints a warning).
            for request, value in ((0, 1), (18, self.suppress_db)):
                v = ctypes.c_int(value)
                lib.speex_preprocess_ctl(state, request, ctypes.byref(v))
            pcm = _to_pcm16(np.concatenate([noisy, np.zeros(-noisy.size % frame, np.float32)]))
            for begin in range(0, pcm.size, frame):
                block = pcm[begin:begin + frame]  # a view: processed in place
                lib.speex_preprocess_run(state, block.ctypes.data)
        finally:
            lib.speex_preprocess_state_destroy(state)
        return pcm[: noisy.size].astype(np.float32) / 32767.0


class WebRtc:
    """WebRTC's noise suppressor (webrtc-noise-gain) at `level` 1..4, gain
    control off; 10 ms frames of 16-bit PCM."""

    def __init__(self, level: int):
        self.level = level

    def __call__(self, noisy: np.ndarray) -> np.ndarray:
        import webrtc_noise_gain
        processor = webrtc_noise_gain.AudioProcessor(0, self.level)
        frame = RATE // 100
        pcm = _to_pcm16(np.concatenate([noisy, np.zeros(-noisy.size % frame, np.float32)]))
        out = [np.frombuffer(processor.Process10ms(pcm[b:b + frame].tobytes()).audio, np.int16)
               for b in range(0, pcm.size, frame)]
        return np.concatenate(out)[: noisy.size].astype(np.float32) / 32767.0


class RnNoise:
    """RNNoise (pyrnnoise's library) at its native 48 kHz in 10 ms frames,
    resampled from and to 16 kHz."""

    def __call__(self, noisy: np.ndarray) -> np.ndarray:
        from pyrnnoise import rnnoise
        x = sps.resample_poly(noisy.astype(np.float64), 3, 1) * 32767.0
        frame = rnnoise.FRAME_SIZE
        x = np.concatenate([x, np.zeros(-x.size % frame)]).astype(np.float32)
        state = rnnoise.create()
        try:
            for begin in range(0, x.size, frame):
                block = x[begin:begin + frame]
                rnnoise.lib.rnnoise_process_frame(
                    state, block.ctypes.data_as(ctypes.POINTER(ctypes.c_float)),
                    block.ctypes.data_as(ctypes.POINTER(ctypes.c_float)))
        finally:
            rnnoise.destroy(state)
        return (sps.resample_poly(x / 32767.0, 1, 3)[: noisy.size]).astype(np.float32)


class NoiseReduce:
    """noisereduce's non-stationary spectral gating, offline over the clip."""

    def __call__(self, noisy: np.ndarray) -> np.ndarray:
        import noisereduce
        return noisereduce.reduce_noise(y=noisy, sr=RATE, stationary=False, n_jobs=1).astype(np.float32)


def all_methods() -> dict[str, Method]:
    """Name -> method, in table order. `noisy input` is the identity."""
    return {
        "noisy input": lambda x: x.copy(),
        "ours": Ours(16000),
        "ours 48 kHz": Ours(48000),
        "Speex preprocessor": Speex(),
        "WebRTC NS, level 2": WebRtc(2),
        "WebRTC NS, level 4": WebRtc(4),
        "RNNoise": RnNoise(),
        "noisereduce (offline)": NoiseReduce(),
    }
