"""SDK threads keep one Python thread state for their whole life: callbacks
reuse it, and it is given back when the thread ends, never into a finalising
interpreter.

Child processes run what could crash or hang; the timeouts only detect a hang.
"""

import gc
import textwrap
import threading
import weakref

import pytest

import _tavix_module as m
from helpers import DEMO_KEY, processor_attrs, run_python

PRELUDE = f"""
import os, sys, tempfile, threading, time
import numpy as np
import _tavix_module as m
from helpers import processor_attrs

sdk = m.create_sdk(m.InitParams(tempfile.mkdtemp()))
assert sdk.activate_api_key({DEMO_KEY!r}).success
"""


def run_in_child(body):
    result = run_python(PRELUDE + textwrap.dedent(body))
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Fatal Python error" not in result.stderr
    return result.stdout


def test_callbacks_from_many_sdk_threads_at_once(activated):
    seen, lock = {}, threading.Lock()

    def record(state):
        with lock:
            key = threading.get_native_id()
            seen.setdefault(key, []).append(state)

    processors = [activated.create_audio_processor(processor_attrs(notify=record)) for _ in range(8)]
    for processor in processors:
        processor.close()
    assert len(seen) == 8  # one output thread each
    for states in seen.values():
        assert states[0] == m.PipelineState.TRYING
        assert states[-1] == m.PipelineState.NOT_RUNNING


def test_a_processor_closed_on_its_own_callback_thread(activated):
    done = threading.Event()
    stored = threading.Event()
    holder = []

    def close_myself(state):
        # TRYING may come before create_audio_processor has returned.
        if state == m.PipelineState.TRYING and stored.wait(10):
            holder.pop().close()
            done.set()

    holder.append(activated.create_audio_processor(processor_attrs(notify=close_myself)))
    stored.set()
    assert done.wait(10)


class ThreadStateProbe:
    """Marks the Python thread state a callback runs in: a thread-local value
    lives exactly as long as its thread state."""

    def __init__(self):
        self.local = threading.local()
        self.alive = weakref.WeakSet()
        self.reused = 0
        self.calls = 0

    def __call__(self, state):
        self.calls += 1
        if hasattr(self.local, "marker"):
            self.reused += 1
        else:
            self.local.marker = Marker()
            self.alive.add(self.local.marker)


class Marker:
    pass


def test_one_thread_state_per_sdk_thread_given_back_when_it_ends(activated):
    probe = ThreadStateProbe()
    for _ in range(1000):
        activated.create_audio_processor(processor_attrs(notify=probe)).close()
    gc.collect()
    assert probe.calls == 2000  # TRYING and NOT_RUNNING, on one output thread each
    assert probe.reused == 1000  # the second callback found the first one's state
    assert len(probe.alive) == 0  # every thread state went with its thread


EXIT_SCENARIOS = {
    # Output threads end (and give their thread states back) while the
    # interpreter runs, then more are alive at exit.
    "threads ending while running, others at exit": """
        for _ in range(20):
            sdk.create_audio_processor(processor_attrs(notify=lambda s: None)).close()
        kept = [sdk.create_audio_processor(processor_attrs(notify=lambda s: sum(range(100))))
                for _ in range(4)]
    """,
    # Threads busy in callbacks when exit starts.
    "threads busy in callbacks at exit": """
        attrs = processor_attrs("translation", local=True)
        from tavix import signals
        keys = signals.dtmf_sequence(16000, "0123456789" * 2)[0]
        kept = []
        for _ in range(3):
            a = processor_attrs("translation", local=True)
            a.lt_config = m.LanguageTranslationConfig("en-US", "es-ES",
                                                      callback=lambda f: time.sleep(0.001))
            p = sdk.create_audio_processor(a)
            for begin in range(0, keys.size - 320, 320):
                p.process_frame(m.AudioFrame(keys[begin:begin + 320]))
            kept.append(p)
    """,
}


@pytest.mark.parametrize("body", EXIT_SCENARIOS.values(), ids=EXIT_SCENARIOS)
def test_thread_states_at_interpreter_exit(body):
    for _ in range(4):
        run_in_child(body)
