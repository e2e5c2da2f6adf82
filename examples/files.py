"""Audio files in and out (through soundfile, which tavix installs)."""

import sys
import tempfile
from pathlib import Path

import tavix
from tavix import signals

folder = Path(sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp())
_, noisy = signals.noisy_tone(44100, 2.0, snr_db=0.0)
tavix.write_audio(folder / "noisy.flac", noisy, 44100)

summary = tavix.process_file(folder / "noisy.flac", folder / "denoised.flac", model="denoise")
print(f"{summary.duration:.1f} s at {summary.rate} Hz, real-time factor {summary.real_time_factor:.3f}")

audio, rate = tavix.read_audio(folder / "denoised.flac")  # float32, (frames, channels)
print(audio.shape, audio.dtype, rate)
