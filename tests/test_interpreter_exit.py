"""Interpreter exit while native threads fire and release callbacks.

Each scenario runs in its own interpreter; the subprocess timeout only
detects a hang, it is not a measure of speed.
"""

import os
import subprocess
import sys
import textwrap

import pytest

COMMON = """
import sys, threading, time
import _tavix_module as m

ready = threading.Event()

def work_then_return(v):
    ready.set()
    sum(range(2000))

def sleep_in_callback(v):
    ready.set()
    time.sleep(0.005)

def block_forever(v):
    ready.set()
    threading.Event().wait()

def raise_in_callback(v):
    ready.set()
    raise ValueError(v)

def fire_forever(callback):
    while True:
        m._gil_selftest(callback)

class Host:
    def __init__(self):
        self.attrs = m.ProcessorAttributes(
            m.AudioAttributes(audio_pipeline_state_notify=self.on_event),
            m.LanguageTranslationConfig("a", "b", callback=self.on_event))
        self.ref = self.attrs.lt_config
    def on_event(self, arg):
        pass
"""

SCENARIOS = {
    # Daemon threads keep firing from native threads while the main thread exits.
    "busy callbacks": """
        for _ in range(4):
            threading.Thread(target=fire_forever, args=(work_then_return,), daemon=True).start()
        ready.wait(10)
    """,
    # Callbacks that release the lock inside Python while exit proceeds.
    "sleeping callbacks": """
        for _ in range(4):
            threading.Thread(target=fire_forever, args=(sleep_in_callback,), daemon=True).start()
        ready.wait(10)
    """,
    # Failures reported while exiting.
    "failing callbacks": """
        sys.unraisablehook = lambda report: None
        for _ in range(3):
            threading.Thread(target=fire_forever, args=(raise_in_callback,), daemon=True).start()
        ready.wait(10)
    """,
    # A callback that never returns must not hang exit.
    "stuck callback": """
        threading.Thread(target=fire_forever, args=(block_forever,), daemon=True).start()
        ready.wait(10)
    """,
    # Records with callbacks (and cycles through them) left for finalisation.
    "records left at exit": """
        hosts = [Host() for _ in range(3)]
        loose = Host()
        del loose
        detached = m.ProcessorAttributes(m.AudioAttributes(), m.LanguageTranslationConfig("a", "b"))
        kept_ref = detached.lt_config
        detached.lt_config = None
        kept_ref.callback = hosts[0].on_event
    """,
    # sys.exit raised on the main thread while callbacks run.
    "sys.exit from main": """
        threading.Thread(target=fire_forever, args=(work_then_return,), daemon=True).start()
        ready.wait(10)
        sys.exit(0)
    """,
}


# Exit races are timing-dependent: the quick scenarios run a few times each.
RUNS = {name: 1 if name == "stuck callback" else 4 for name in SCENARIOS}


def run_python(code):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120
    )


@pytest.mark.parametrize("name", SCENARIOS)
def test_exit_is_clean(name):
    for _ in range(RUNS[name]):
        result = run_python(COMMON + textwrap.dedent(SCENARIOS[name]))
        assert result.returncode == 0, result.stderr
        assert "Fatal Python error" not in result.stderr
        assert "leaked" not in result.stderr


def test_callback_exit_request_does_not_end_the_interpreter():
    result = run_python(
        COMMON
        + textwrap.dedent(
            """
            sys.unraisablehook = lambda report: print(type(report.exc_value.__cause__).__name__)
            m._gil_selftest(lambda v: sys.exit(7))
            print("still running")
            """
        )
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["SystemExit", "still running"]
