"""Speech-like signals and the noises the `denoise` model is measured on:
voiced syllables with a gliding pitch and three formants, separated by
pauses (what the suppressor is for, unlike a steady tone, which it keeps),
shaped Gaussian noise, mains hum with harmonics."""

import numpy as np

import _tavix_module as m
from helpers import processor_attrs

CHUNK_S = 0.02


def speech_like(rate, seconds, seed=0):
    """(signal, active): mono float32 at about -26 dBFS and, per sample,
    whether a syllable sounds there."""
    rng = np.random.default_rng(seed)
    n = int(rate * seconds)
    f0 = np.zeros(n)
    envelope = np.zeros(n)
    formants = np.zeros((n, 3))
    position = int(0.1 * rate)
    while position < n:
        length = int(rng.uniform(0.15, 0.35) * rate)
        end = min(n, position + length)
        span = np.arange(end - position) / length
        start_pitch = rng.uniform(100, 220)
        f0[position:end] = start_pitch * (1 + rng.uniform(-0.25, 0.25) * span)
        envelope[position:end] = np.sin(np.pi * span) ** 0.5
        for i, (low, high) in enumerate(((300, 800), (900, 2200), (2300, 3200))):
            a, b = rng.uniform(low, high, 2)
            formants[position:end, i] = a + (b - a) * span
        position = end + int(rng.choice([rng.uniform(0.05, 0.15), rng.uniform(0.3, 0.5)]) * rate)
    phase = 2 * np.pi * np.cumsum(f0) / rate
    out = np.zeros(n)
    for h in range(1, int(min(8000, rate / 2) / 100)):
        frequency = h * f0
        weight = sum(np.exp(-0.5 * ((frequency - formants[:, i]) / (80 + 40 * i)) ** 2) / (1 + i)
                     for i in range(3)) + 0.02
        out += np.where(frequency < rate / 2 - 200, weight * np.sin(h * phase), 0.0) / h**0.5
    out *= envelope
    active = envelope > 0
    out *= 10 ** (-26 / 20) / np.sqrt(np.mean(out[active] ** 2))
    return out.astype(np.float32), active


def shaped_noise(rate, seconds, exponent, seed=1):
    """Gaussian noise whose power falls as f**-exponent (2: brown), from 20 Hz."""
    n = int(rate * seconds)
    spectrum = np.fft.rfft(np.random.default_rng(seed).standard_normal(n))
    f = np.fft.rfftfreq(n, 1 / rate)
    spectrum *= np.maximum(f, 20.0) ** (-exponent / 2)
    spectrum[0] = 0
    noise = np.fft.irfft(spectrum, n)
    return noise / np.std(noise)


def hum(rate, seconds, mains, amplitudes):
    t = np.arange(int(rate * seconds)) / rate
    return sum(a * np.sin(2 * np.pi * mains * (h + 1) * t + h) for h, a in enumerate(amplitudes))


def at_snr(speech, active, noise, snr_db):
    """(noisy, noise): speech plus noise scaled to snr_db below the speech's
    active level, and that scaled noise."""
    level = np.mean(speech[active].astype(np.float64) ** 2)
    scale = np.sqrt(level / 10 ** (snr_db / 10) / np.mean(noise**2))
    return (speech + scale * noise).astype(np.float32), (scale * noise)


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
