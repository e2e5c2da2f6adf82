"""The local `denoise` model run over a whole signal, as the denoise tests
score it."""

import numpy as np

import _tavix_module as m
from helpers import processor_attrs

CHUNK_S = 0.02


def denoised(sdk, samples, rate):
    """The local `denoise` model's output for mono `samples`, drained with
    silence so that it lines up with the input sample for sample."""
    step = int(rate * CHUNK_S)
    padded = np.concatenate([samples, np.full(-samples.size % step, 1e-6, np.float32)])
    silence = m.AudioFrame(np.zeros(step, np.float32))
    out = []
    with sdk.create_audio_processor(processor_attrs("denoise", rate, 1, local=True)) as p:
        for begin in range(0, padded.size, step):
            out.append(np.frombuffer(p.process_frame(m.AudioFrame(padded[begin : begin + step])).samples,
                                     np.float32).copy())
        while out[-1].size or len(out) * step <= padded.size:
            out.append(np.frombuffer(p.process_frame(silence).samples, np.float32).copy())
    return np.concatenate(out)[: samples.size]
