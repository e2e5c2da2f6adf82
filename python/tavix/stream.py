"""Pushing a whole signal through an AudioProcessor, frame by frame."""

from __future__ import annotations

import numpy as np

import _tavix_module as _m


def process_signal(processor: _m.AudioProcessor, samples: np.ndarray, frame_len: int,
                   max_drain_frames: int = 1000) -> np.ndarray:
    """Processes interleaved float32 `samples` in frames of `frame_len` values
    (the last one zero-padded to full length), then drains the processor's
    tail by pushing silence until it returns an empty frame. Returns the
    concatenated output. Each output is copied at once, because its memory
    belongs to the processor only until the next call."""
    samples = np.ascontiguousarray(samples, np.float32)
    padded = np.zeros(-(-samples.size // frame_len) * frame_len, np.float32)
    padded[: samples.size] = samples
    pieces = []
    for start in range(0, padded.size, frame_len):
        out = processor.process_frame(_m.AudioFrame(padded[start:start + frame_len]))
        pieces.append(np.frombuffer(out.samples, np.float32).copy())
    silence = _m.AudioFrame(np.zeros(frame_len, np.float32))
    for _ in range(max_drain_frames):
        out = processor.process_frame(silence)
        if out.frame_count == 0:
            break
        pieces.append(np.frombuffer(out.samples, np.float32).copy())
    else:
        raise RuntimeError(f"the processor did not drain within {max_drain_frames} silent frames")
    return np.concatenate(pieces) if pieces else np.zeros(0, np.float32)
