"""Stereo audio in blocks of any length through a stream."""

import numpy as np

import tavix

rng = np.random.default_rng(0)
audio = (0.1 * rng.standard_normal((2 * 48000, 2))).astype(np.float32)  # (frames, channels)

with tavix.Session() as session:
    with session.stream("passthrough", rate=48000, channels=2, cloud=False) as stream:
        pieces = [stream.process(audio[i:i + 1234]) for i in range(0, len(audio), 1234)]
        pieces.append(stream.flush())  # the rest: what was still in the processor
    out = np.concatenate(pieces)

assert np.array_equal(out, audio)  # one frame out per frame in, in order: bit for bit here
print(f"{len(out)} frames in and out; the SDK's latency is {stream.latency} frames")
