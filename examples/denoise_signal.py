"""Denoise a whole signal in one call."""

import tavix
from tavix import signals

clean, noisy = signals.noisy_tone(16000, 3.0, snr_db=0.0)  # 3 s of 440 Hz in white noise

with tavix.Session() as session:  # the API key comes from TAVIX_API_KEY
    denoised = session.process(noisy, rate=16000, model="denoise")

assert denoised.shape == noisy.shape  # same length, the processing delay taken out
settled = slice(16000 * 3 // 2, None)  # after 1.5 s the suppressor knows the noise
before = signals.snr_db(clean[settled], noisy[settled])
after = signals.snr_db(clean[settled], denoised[settled])
print(f"SNR {before:+.1f} dB -> {after:+.1f} dB")
