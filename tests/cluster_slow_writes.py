"""Preloaded into the test cluster's workers (dask worker --preload): while a
worker writes an output whose name contains "slow", it leaves a file named
after its process id in $TAVIX_TEST_MARKERS and slows down, so that a test
can kill it in the middle of that file. Other files run as usual."""

import os
import pathlib
import time

import soundfile

import tavix.audio

# A write per block: the file is still being written when the test kills
# the worker, however short the file.
tavix.audio.IO_BLOCKS = 1

# Dask may run a preload twice in one process: keep the real write once.
if not hasattr(soundfile.SoundFile, "unslowed_write"):
    soundfile.SoundFile.unslowed_write = soundfile.SoundFile.write


def _slow_write(self, data):
    self.unslowed_write(data)
    if "slow" in os.path.basename(os.fsdecode(self.name)):
        pathlib.Path(os.environ["TAVIX_TEST_MARKERS"], f"writing-{os.getpid()}").touch()
        time.sleep(0.25)


soundfile.SoundFile.write = _slow_write
