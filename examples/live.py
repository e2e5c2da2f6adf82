"""Live: the default microphone through denoise to the default speaker, with
the processed audio recorded (pip install 'tavix[live]')."""

import sys
import tempfile
import time
from pathlib import Path

import tavix
from tavix.live import LiveAudio

folder = Path(sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp())

with tavix.Session() as session:
    # Starts at once: silence goes out until the model runs.
    with LiveAudio(session, "denoise", rate=48000, record=folder / "live.wav") as live:
        for _ in range(4):
            time.sleep(1.0)
            status = live.status()  # levels are the peaks since the last call
            print(f"{status.state}: in {status.input_level:.1f} dBFS, out {status.output_level:.1f} dBFS")
        status = live.status()

latency = status.latency  # None until audio went through the model
assert latency is not None
print(f"latency {1000 * latency:.1f} ms, {status.output_underflows} underflows")
