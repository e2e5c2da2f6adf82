"""The `denoise` model end to end: a tone in white noise comes out with a
clearly better SNR, a clean tone comes out intact, stereo channels stay apart."""

import numpy as np
import pytest

import _tavix_module as m
from helpers import processor_attrs
from tavix import signals

SECONDS = 4.0
SETTLE_S = 1.5  # priming, the suppressor's latency and its noise-floor learning
CHUNK_S = 0.02
# Measured gains are about 14-15 dB at 16 kHz and 16 dB at 48 kHz; a broken
# suppressor or a plain pass-through stays near 0 dB.
MIN_GAIN_DB = 8.0


def run_denoise(sdk, samples, rate, channels):
    """All the output of the local `denoise` model for interleaved `samples`."""
    out = []
    with sdk.create_audio_processor(processor_attrs("denoise", rate, channels, local=True)) as p:
        step = int(rate * CHUNK_S) * channels
        for begin in range(0, samples.size, step):
            frame = p.process_frame(m.AudioFrame(samples[begin : begin + step]))
            out.append(np.frombuffer(frame.samples, np.float32).copy())
    return np.concatenate(out)


def settled(channel, rate):
    return channel[int(SETTLE_S * rate) :]


@pytest.mark.parametrize("rate", [16000, 48000])
@pytest.mark.parametrize("snr_in", [0.0, 5.0])
def test_raises_snr_of_noisy_tone(activated, rate, snr_in):
    _, noisy = signals.noisy_tone(rate, SECONDS, 440.0, snr_in)
    out = run_denoise(activated, noisy, rate, 1)
    assert out.size > (SETTLE_S + 1.0) * rate
    before = signals.tone_snr_db(settled(noisy, rate), rate, 440.0)
    after = signals.tone_snr_db(settled(out, rate), rate, 440.0)
    assert before == pytest.approx(snr_in, abs=0.5)
    assert after - before >= MIN_GAIN_DB


@pytest.mark.parametrize("rate", [16000, 48000])
def test_keeps_clean_tone(activated, rate):
    clean = signals.tone(rate, SECONDS, 440.0, 0.3)
    out = settled(run_denoise(activated, clean, rate, 1), rate)
    assert signals.tone_snr_db(out, rate, 440.0) >= 30.0
    level_db = 20 * np.log10(np.sqrt(np.mean(out**2)) / (0.3 / np.sqrt(2)))
    assert abs(level_db) < 1.0


def test_stereo_channels_denoised_separately(activated):
    rate = 48000
    left = signals.noisy_tone(rate, SECONDS, 440.0, 0.0, seed=1)[1]
    right = signals.noisy_tone(rate, SECONDS, 1000.0, 0.0, seed=2)[1]
    out = run_denoise(activated, signals.interleave(left, right), rate, 2)
    assert out.size % 2 == 0
    out_left, out_right = (settled(c, rate) for c in signals.deinterleave(out, 2))
    for noisy, processed, frequency in ((left, out_left, 440.0), (right, out_right, 1000.0)):
        before = signals.tone_snr_db(settled(noisy, rate), rate, frequency)
        after = signals.tone_snr_db(processed, rate, frequency)
        assert after - before >= MIN_GAIN_DB
    # Each output channel carries its own tone, not its neighbour's.
    assert signals.tone_snr_db(out_left, rate, 1000.0) < -10.0
    assert signals.tone_snr_db(out_right, rate, 440.0) < -10.0
