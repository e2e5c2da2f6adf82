"""Real-time mode: a fixed block in, a block of the same size out."""

import numpy as np
import numpy.typing as npt

import tavix
from tavix import signals

BLOCK = 256  # frames per sound-card callback: 5.3 ms at 48 kHz
_, noisy = signals.noisy_tone(48000, 2.0, snr_db=5.0)

with tavix.Session() as session:
    with session.stream("denoise", rate=48000, block=BLOCK) as stream:

        def callback(indata: npt.NDArray[np.float32], outdata: npt.NDArray[np.float32]) -> None:
            outdata[:] = stream.process(indata)  # zeros until the first output

        out = np.zeros((BLOCK, 1), np.float32)
        for start in range(0, len(noisy) - BLOCK + 1, BLOCK):
            callback(noisy[start:start + BLOCK, np.newaxis], out)

        delay = stream.latency  # None until the first output came
        assert delay is not None
        print(f"output {delay} frames ({1000 * delay / 48000:.1f} ms) behind the input")
