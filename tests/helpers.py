"""Shared test helpers: the substitute SDK's demo key and small builders.

Child interpreters import this module too, so nothing here needs a fixture."""

import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import _tavix_module as m
from api_keys import DEMO_KEY  # noqa: F401


# Set by scripts/check-aarch64-wheel, which runs the suite under qemu-user:
# its emulated address space is smaller than the machine's.
EMULATED = bool(os.environ.get("TAVIX_EMULATED"))


def unless_emulated(reason):
    """Skips a test (or a parameter) under emulation, for `reason`."""
    return pytest.mark.skipif(EMULATED, reason=f"under qemu-user: {reason}")


# The checked run (scripts/check-sanitizers) preloads GCC's AddressSanitizer
# runtime, whose allocator is not fork-safe: a child forked while another
# thread holds one of its locks deadlocks in its first free() (seen here, in
# about one fork in twenty on a busy machine). The fork tests run in the
# uninstrumented suites.
unless_fork_safe_allocator = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer's allocator can deadlock a forked child of a threaded process")


def frame_of(seconds, rate=16000, channels=1, value=0.25):
    """A frame of `seconds` of constant (non-silent) audio."""
    return m.AudioFrame(np.full(int(seconds * rate) * channels, value, np.float32))


def processor_attrs(model="passthrough", rate=16000, channels=1, notify=None, local=False):
    """ProcessorAttributes for one model; `local` builds them on the local path
    (AudioAttributes reads TAVIX_LOCAL_INFERENCING when it is built, so the
    variable is set for the construction only)."""
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("TAVIX_LOCAL_INFERENCING", "1" if local else "0")
        audio = m.AudioAttributes(rate, channels, model, audio_pipeline_state_notify=notify)
    return m.ProcessorAttributes(audio)


def text_frame(kind, language, utterance, complete=(), partial=()):
    """A TextFrame as the SDK delivers one; segments as (start, end, text, p)."""
    def segment(start, end, text, probability):
        made = m.TranscriptSegment()
        made.start, made.end, made.text, made.probability = start, end, text, probability
        return made

    data = m.TranscriptData()
    data.utterance_idx, data.language_code_ = utterance, language
    data.complete = [segment(*spec) for spec in complete]
    data.partial = [segment(*spec) for spec in partial]
    frame = m.TextFrame()
    frame.type_, frame.transcript_data_ = kind, data
    return frame


class StateRecorder:
    """A pipeline-state callback that keeps every state it is given in `seen`
    and sets `running` and `stopped` when RUNNING and NOT_RUNNING arrive, so
    that a test can wait for them on its own thread."""

    def __init__(self):
        self.seen = []
        self.running = threading.Event()
        self.stopped = threading.Event()

    def __call__(self, state):
        self.seen.append(state)
        if state == m.PipelineState.RUNNING:
            self.running.set()
        if state == m.PipelineState.NOT_RUNNING:
            self.stopped.set()


def run_python(code, timeout=120):
    """Runs `code` in a fresh interpreter that imports what this one does.
    The timeout only detects a hang; it is not a measure of speed."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=timeout
    )
