"""Scores of one processed clip against its clean speech."""

from __future__ import annotations

import numpy as np

RATE = 16000
FRAME = RATE // 50  # 20 ms
MAX_LAG = RATE // 10  # no method here delays by more than 100 ms


def delay_of(output: np.ndarray, reference: np.ndarray) -> int:
    """Lag in samples (0..MAX_LAG) at which `output` best matches `reference`."""
    n = 1 << int(np.ceil(np.log2(output.size + reference.size)))
    xc = np.fft.irfft(np.fft.rfft(output, n) * np.conj(np.fft.rfft(reference, n)), n)
    return int(np.argmax(xc[: MAX_LAG + 1]))


def advanced(output: np.ndarray, delay: int) -> np.ndarray:
    """`output` moved `delay` samples earlier, same length."""
    return np.concatenate([output[delay:], np.zeros(delay, output.dtype)])


def si_sdr(reference: np.ndarray, estimate: np.ndarray) -> float:
    reference = reference - reference.mean()
    estimate = estimate - estimate.mean()
    target = np.dot(estimate, reference) / np.dot(reference, reference) * reference
    return float(10 * np.log10(np.sum(target**2) / max(np.sum((estimate - target) ** 2), 1e-20)))


def _frames(x: np.ndarray) -> np.ndarray:
    return x[: x.size // FRAME * FRAME].reshape(-1, FRAME)


def speech_frames(clean: np.ndarray) -> np.ndarray:
    """20 ms frames where the talker is active (within 45 dB of the loudest)."""
    power = np.mean(_frames(clean.astype(np.float64)) ** 2, axis=1)
    return power > power.max() * 10 ** -4.5


def segmental_snr(clean: np.ndarray, estimate: np.ndarray) -> float:
    """Mean over speech frames of each frame's SNR, clipped to [-10, 35] dB."""
    c, e = _frames(clean.astype(np.float64)), _frames(estimate.astype(np.float64))
    snr = 10 * np.log10(np.sum(c**2, 1) / np.maximum(np.sum((e - c) ** 2, 1), 1e-20))
    return float(np.mean(np.clip(snr, -10, 35)[speech_frames(clean)]))


def removed_in_pauses(clean: np.ndarray, noisy: np.ndarray, output: np.ndarray) -> float:
    """How far below the input the output is where the talker is silent, dB."""
    pauses = ~speech_frames(clean)
    noise_in = np.sum(_frames(noisy.astype(np.float64))[pauses] ** 2)
    noise_out = np.sum(_frames(output.astype(np.float64))[pauses] ** 2)
    return float(10 * np.log10(noise_in / max(noise_out, 1e-20)))


def pesq_wb(clean: np.ndarray, estimate: np.ndarray) -> float:
    from pesq import pesq
    try:
        return float(pesq(RATE, clean.astype(np.float64), estimate.astype(np.float64), "wb"))
    except Exception:  # PESQ finds no utterance in an output that is all but silent
        return float("nan")


def stoi(clean: np.ndarray, estimate: np.ndarray) -> float:
    from pystoi import stoi as pystoi
    return float(pystoi(clean.astype(np.float64), estimate.astype(np.float64), RATE, extended=False))


def score(clean: np.ndarray, noisy: np.ndarray, output: np.ndarray) -> dict[str, float]:
    """Every metric of one aligned output over the scored stretch."""
    return {
        "pesq": pesq_wb(clean, output),
        "stoi": stoi(clean, output),
        "si_sdr": si_sdr(clean, output),
        "seg_snr": segmental_snr(clean, output),
        "pause_removed": removed_in_pauses(clean, noisy, output),
    }


def removal_after_step(noisy: np.ndarray, output: np.ndarray, step: int,
                       window_s: float = 0.05) -> tuple[np.ndarray, np.ndarray]:
    """(seconds after the step, dB removed) in windows of window_s."""
    w = int(window_s * RATE)
    count = (noisy.size - step) // w
    a = noisy[step:step + count * w].astype(np.float64).reshape(count, w)
    b = output[step:step + count * w].astype(np.float64).reshape(count, w)
    removed = 10 * np.log10(np.sum(a**2, 1) / np.maximum(np.sum(b**2, 1), 1e-20))
    return np.arange(count) * window_s, removed
