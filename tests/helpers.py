"""Shared test helpers: the substitute SDK's demo key and small builders."""

import os
import subprocess
import sys

import numpy as np

import _tavix_module as m
from api_keys import DEMO_KEY  # noqa: F401


def frame_of(seconds, rate=16000, channels=1, value=0.25):
    """A frame of `seconds` of constant (non-silent) audio."""
    return m.AudioFrame(np.full(int(seconds * rate) * channels, value, np.float32))


def processor_attrs(model="passthrough", rate=16000, channels=1, notify=None, local=False):
    """ProcessorAttributes for one model; `local` builds them on the local path."""
    previous = os.environ.get("TAVIX_LOCAL_INFERENCING")
    os.environ["TAVIX_LOCAL_INFERENCING"] = "1" if local else "0"
    try:
        audio = m.AudioAttributes(rate, channels, model, audio_pipeline_state_notify=notify)
    finally:
        if previous is None:
            del os.environ["TAVIX_LOCAL_INFERENCING"]
        else:
            os.environ["TAVIX_LOCAL_INFERENCING"] = previous
    return m.ProcessorAttributes(audio)


def run_python(code, timeout=120):
    """Runs `code` in a fresh interpreter that imports what this one does.
    The timeout only detects a hang; it is not a measure of speed."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=timeout
    )
