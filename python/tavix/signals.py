"""Test signals for the Tavix processors, and the measures to judge them by.

Pure numpy. Every generator returns float32 samples ready for ``AudioFrame``;
stereo signals are interleaved (left, right, left, ...)."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

#: float32 samples.
Samples = npt.NDArray[np.float32]

#: Keys of the DTMF keypad and their (low, high) tone frequencies in Hz.
DTMF_FREQUENCIES = {
    key: (low, high)
    for low, row in zip((697.0, 770.0, 852.0, 941.0), ("123A", "456B", "789C", "*0#D"))
    for high, key in zip((1209.0, 1336.0, 1477.0, 1633.0), row)
}


def tone(rate: int, seconds: float, frequency: float = 440.0, amplitude: float = 0.3,
         phase: float = 0.0) -> Samples:
    """A sine tone, mono."""
    t = np.arange(int(round(rate * seconds))) / rate
    return (amplitude * np.sin(2 * np.pi * frequency * t + phase)).astype(np.float32)


def with_noise(signal: npt.ArrayLike, snr_db: float, seed: int = 0) -> Samples:
    """`signal` plus white Gaussian noise at `snr_db` below the signal's power."""
    signal = np.asarray(signal, np.float32)
    power = float(np.mean(signal.astype(np.float64) ** 2))
    rms = np.sqrt(power / 10 ** (snr_db / 10))
    noise = np.random.default_rng(seed).normal(0.0, rms, signal.shape)
    return (signal + noise).astype(np.float32)


def noisy_tone(rate: int, seconds: float, frequency: float = 440.0, snr_db: float = 0.0,
               amplitude: float = 0.3, seed: int = 0) -> tuple[Samples, Samples]:
    """(clean, noisy): a tone and the same tone in white noise at `snr_db`."""
    clean = tone(rate, seconds, frequency, amplitude)
    return clean, with_noise(clean, snr_db, seed)


def interleave(*channels: npt.ArrayLike) -> Samples:
    """One interleaved float32 array of equally long mono channels."""
    return np.stack(channels, axis=1).reshape(-1).astype(np.float32)


def deinterleave(samples: npt.ArrayLike, channels: int) -> list[Samples]:
    """The mono channels of an interleaved array, as a list."""
    frames = np.asarray(samples, np.float32).reshape(-1, channels)
    return [frames[:, c] for c in range(channels)]


def dtmf_sequence(rate: int, keys: str, tone_s: float = 0.08, pause_s: float = 0.08,
                  amplitude: float = 0.2, lead_s: float = 0.1,
                  tail_s: float = 0.0) -> tuple[Samples, list[tuple[float, float]]]:
    """Key tones for each key of `keys`, `tone_s` long with `pause_s` of
    silence after each, after `lead_s` and followed by `tail_s` of silence.

    Returns (samples, spans): mono float32 and each key's (start_s, end_s)."""
    pieces = [np.zeros(int(round(rate * lead_s)), np.float32)]
    spans: list[tuple[float, float]] = []
    position = len(pieces[0])
    for key in keys:
        low, high = DTMF_FREQUENCIES[key]
        key_tone = tone(rate, tone_s, low, amplitude) + tone(rate, tone_s, high, amplitude)
        pause = np.zeros(int(round(rate * pause_s)), np.float32)
        spans.append((position / rate, (position + len(key_tone)) / rate))
        pieces += [key_tone, pause]
        position += len(key_tone) + len(pause)
    pieces.append(np.zeros(int(round(rate * tail_s)), np.float32))
    return np.concatenate(pieces).astype(np.float32), spans


def tone_snr_db(samples: npt.ArrayLike, rate: int, frequency: float) -> float:
    """SNR in dB of a steady tone at `frequency` in `samples` (mono): the
    least-squares sinusoid at that frequency against everything else. Needs no
    alignment with the clean tone, so it reads processed audio of unknown
    delay directly."""
    x = np.asarray(samples, np.float64)
    if x.size == 0:
        raise ValueError("no samples to measure")
    t = np.arange(x.size) / rate
    basis = np.stack([np.sin(2 * np.pi * frequency * t), np.cos(2 * np.pi * frequency * t)], 1)
    weights, *_ = np.linalg.lstsq(basis, x, rcond=None)
    fitted = basis @ weights
    residual = x - fitted
    return float(10 * np.log10(np.sum(fitted**2) / max(np.sum(residual**2), 1e-30)))


def snr_db(clean: npt.ArrayLike, processed: npt.ArrayLike, delay: int = 0) -> float:
    """SNR in dB of `processed` against `clean` delayed by `delay` samples,
    after scaling `clean` to fit best (so a uniform gain is not noise)."""
    reference = np.asarray(clean, np.float64)
    output = np.asarray(processed, np.float64)[delay:]
    n = min(reference.size, output.size)
    if n == 0:
        raise ValueError("no overlap between clean and processed samples")
    reference, output = reference[:n], output[:n]
    scale = float(np.dot(reference, output)) / max(float(np.dot(reference, reference)), 1e-30)
    residual = output - scale * reference
    return float(10 * np.log10(np.sum((scale * reference) ** 2) / max(float(np.sum(residual**2)), 1e-30)))


def speech_like(rate: int, seconds: float, seed: int = 0) -> tuple[Samples, npt.NDArray[np.bool_]]:
    """(signal, active): speech-like mono float32 at about -26 dBFS and, per
    sample, whether a syllable sounds there. Voiced syllables with a gliding
    pitch and three formants, separated by pauses: what a noise suppressor
    is for, unlike a steady tone."""
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


def shaped_noise(rate: int, seconds: float, exponent: float, seed: int = 1) -> npt.NDArray[np.float64]:
    """Gaussian noise whose power falls as f**-exponent (2: brown), from 20 Hz."""
    n = int(rate * seconds)
    spectrum = np.fft.rfft(np.random.default_rng(seed).standard_normal(n))
    f = np.fft.rfftfreq(n, 1 / rate)
    spectrum *= np.maximum(f, 20.0) ** (-exponent / 2)
    spectrum[0] = 0
    noise = np.fft.irfft(spectrum, n)
    return np.asarray(noise / np.std(noise), np.float64)


def hum(rate: int, seconds: float, mains: float, amplitudes: list[float]) -> npt.NDArray[np.float64]:
    """Mains hum: the harmonics of `mains` Hz at `amplitudes`, the first first."""
    t = np.arange(int(rate * seconds)) / rate
    out = np.zeros(t.size)
    for h, a in enumerate(amplitudes):
        out = out + a * np.sin(2 * np.pi * mains * (h + 1) * t + h)
    return out


def at_snr(speech: Samples, active: npt.NDArray[np.bool_], noise: npt.NDArray[np.float64],
           snr_db: float) -> tuple[Samples, npt.NDArray[np.float64]]:
    """(noisy, noise): speech plus noise scaled to snr_db below the speech's
    active level, and that scaled noise."""
    level = np.mean(speech[active].astype(np.float64) ** 2)
    scale = np.sqrt(level / 10 ** (snr_db / 10) / np.mean(noise**2))
    return (speech + scale * noise).astype(np.float32), np.asarray(scale * noise, np.float64)
