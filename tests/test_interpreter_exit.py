"""Interpreter exit while native threads fire and release callbacks.

Each scenario runs in its own interpreter; the subprocess timeout only
detects a hang, it is not a measure of speed.
"""

import textwrap

import pytest

from helpers import DEMO_KEY, run_python, unless_fork_safe_allocator

COMMON = f"""
import sys, tempfile, threading, time
import numpy as np
import _tavix_module as m
from helpers import DEMO_KEY, processor_attrs
from tavix import signals

sdk = None

def activated_sdk():
    global sdk
    if sdk is None:
        sdk = m.create_sdk(m.InitParams(tempfile.mkdtemp()))
        assert sdk.activate_api_key({DEMO_KEY!r}).success
    return sdk

def processor_calling(on_state):
    return activated_sdk().create_audio_processor(processor_attrs(notify=on_state))
"""

COMMON += """

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
    # Closing the processor at exit runs its NOT_RUNNING callback, which waits
    # for the main thread, for ever.
    "state callback waiting for the main thread": """
        main_done = threading.Event()
        def on_state(state):
            if state == m.PipelineState.NOT_RUNNING:
                main_done.wait()
        p = processor_calling(on_state)
    """,
    # Two of them: each is counted.
    "two state callbacks waiting for the main thread": """
        main_done = threading.Event()
        def on_state(state):
            if state == m.PipelineState.NOT_RUNNING:
                main_done.wait()
        processors = [processor_calling(on_state) for _ in range(2)]
    """,
    # The same callback still running Python when finalisation starts: CPython
    # unwinds its thread, which nothing may swallow.
    "state callback still running at finalisation": """
        def on_state(state):
            if state == m.PipelineState.NOT_RUNNING:
                while True:
                    time.sleep(0.01)
        p = processor_calling(on_state)
    """,
    # A callback that reopens its processor whenever it stops.
    "auto-reconnect": """
        open_processors = []
        def reconnect(state):
            if state == m.PipelineState.NOT_RUNNING:
                try:
                    open_processors.append(processor_calling(reconnect))
                except RuntimeError as e:
                    print(e, flush=True)
        open_processors.append(processor_calling(reconnect))
    """,
    # A transcript callback much slower than the frames that feed it.
    "slow transcript callback": """
        attrs = processor_attrs("translation", local=True)
        attrs.lt_config = m.LanguageTranslationConfig(
            "en-US", "es-ES", callback=lambda frame: time.sleep(0.05))
        p = activated_sdk().create_audio_processor(attrs)
        keys = signals.dtmf_sequence(16000, "0123456789*#" * 3)[0]
        for begin in range(0, keys.size - 320, 320):
            p.process_frame(m.AudioFrame(keys[begin:begin + 320]))
    """,
    # A daemon thread waits for the transcripts of a stream left open.
    "transcript reader": """
        import tavix
        session = tavix.Session(DEMO_KEY, storage_dir=tempfile.mkdtemp())
        stream = session.stream(rate=16000, translate=("en-US", "es-ES"), cloud=False)
        threading.Thread(target=lambda: list(stream.transcripts), daemon=True).start()
    """,
    # Daemon threads in SDK calls that exit leaves open: they come back
    # after the gate has closed, and must wait there, not enter a finalising
    # interpreter.
    "activation loops": """
        def activate_forever():
            while True:
                activated_sdk().activate_api_key(DEMO_KEY)
                ready.set()
        activated_sdk()
        for _ in range(2):
            threading.Thread(target=activate_forever, daemon=True).start()
        ready.wait(10)
    """,
    # The same in process_frame loops, whose processors the exit hook closes
    # under them.
    "process_frame loops": """
        def push_forever(p, frame):
            while True:
                try:
                    p.process_frame(frame)
                except RuntimeError:
                    pass
                ready.set()
        sdk_ = activated_sdk()
        for channels in (1, 2):
            p = sdk_.create_audio_processor(processor_attrs("denoise", 48000, channels, local=True))
            frame = m.AudioFrame(np.zeros(960 * channels, np.float32))
            threading.Thread(target=push_forever, args=(p, frame), daemon=True).start()
        ready.wait(10)
    """,
    # sys.exit raised on the main thread while callbacks run.
    "sys.exit from main": """
        threading.Thread(target=fire_forever, args=(work_then_return,), daemon=True).start()
        ready.wait(10)
        sys.exit(0)
    """,
}


# Exit races are timing-dependent: the quick scenarios run a few times each.
# A callback that never returns keeps whatever it refers to for good: exit
# abandons it, says so in one line, and nanobind's leak report stays quiet.
ABANDONED = ("_tavix_module: at exit, {} still running on SDK threads did not return in time and "
             "were abandoned with what they hold")
NEVER_RETURNS = {
    "state callback waiting for the main thread": "1 callback and processor teardowns",
    "two state callbacks waiting for the main thread": "2 callbacks and processor teardowns",
    "state callback still running at finalisation": "1 callback and processor teardowns",
    "stuck callback": "1 callback",
}
# Daemon threads still hold what they were using when the interpreter stops
# them, which nanobind's report then lists (CPython never frees it).
HELD_BY_DAEMON_THREADS = {"activation loops", "process_frame loops"}
SLOW = NEVER_RETURNS.keys() | {"slow transcript callback"}
RUNS = {name: 1 if name in SLOW else 4 for name in SCENARIOS}


@pytest.mark.parametrize("name", SCENARIOS)
def test_exit_is_clean(name):
    for _ in range(RUNS[name]):
        result = run_python(COMMON + textwrap.dedent(SCENARIOS[name]))
        assert result.returncode == 0, result.stderr
        assert "Fatal Python error" not in result.stderr
        assert ("leaked" not in result.stderr) or name in HELD_BY_DAEMON_THREADS
        if name in NEVER_RETURNS:
            assert result.stderr.splitlines()[-1:] == [ABANDONED.format(NEVER_RETURNS[name])]


def test_a_real_leak_is_still_reported():
    result = run_python(COMMON + textwrap.dedent("""
        import ctypes
        frame = m.AudioFrame(np.zeros(320, np.float32))
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(frame))  # never given back
    """))
    assert result.returncode == 0, result.stderr
    assert "nanobind: leaked 1 instances!" in result.stderr


def test_no_processor_opens_once_exit_has_closed_them():
    result = run_python(COMMON + textwrap.dedent(SCENARIOS["auto-reconnect"]))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "create_audio_processor refused: the interpreter is exiting and has closed every "
        "processor."
    ]


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


# An atexit handler registered before the import runs after the module's
# hook, one registered after it runs before: only the latter may still open
# a processor, which the hook then closes.
@pytest.mark.parametrize("registered, printed", [
    ("before", "create_audio_processor refused: the interpreter is exiting and has closed every "
               "processor."),
    ("after", "processed"),
])
def test_atexit_handlers_before_and_after_the_hook(tmp_path, registered, printed):
    storage = tmp_path / "storage"
    handler = textwrap.dedent(f"""
        import atexit
        def open_one_more():
            try:
                p = sdk.create_audio_processor(processor_attrs(local=True))
                p.process_frame(frame_of(0.02))
                print("processed", flush=True)
            except RuntimeError as error:
                print(error, flush=True)
        """)
    body = textwrap.dedent(f"""
        import _tavix_module as m
        from helpers import DEMO_KEY, frame_of, processor_attrs
        sdk = m.create_sdk(m.InitParams({str(storage)!r}))
        assert sdk.activate_api_key(DEMO_KEY).success
        """)
    register = "atexit.register(open_one_more)\n"
    code = handler + (register + body if registered == "before" else body + register)
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [printed]
    log = (storage / "logs" / "tavix.log").read_text()
    assert log.count("create_audio_processor") == log.count("destroy_audio_processor")


# A forked child has none of its parent's threads: its exit must not wait for
# the callback the parent had running at the fork, nor for the teardown that
# callback handed off; and what a parent had open is closed in each child,
# grandchildren included.
FORKS_WHILE_A_CALLBACK_RUNS = f"""
import os, sys, tempfile, threading
import _tavix_module as m
from helpers import frame_of, processor_attrs

def activated_sdk():
    sdk = m.create_sdk(m.InitParams(tempfile.mkdtemp()))
    assert sdk.activate_api_key({DEMO_KEY!r}).success
    return sdk

sdk = activated_sdk()
stored, closed, release = threading.Event(), threading.Event(), threading.Event()
holder = []

def close_myself_then_wait(state):
    if state == m.PipelineState.RUNNING and stored.wait(10):
        holder.pop().close()  # handed off: the teardown waits for this callback
        closed.set()
        release.wait(60)

holder.append(sdk.create_audio_processor(processor_attrs(notify=close_myself_then_wait)))
stored.set()
assert closed.wait(10)

def fork_and_check(kept, depth):
    pid = os.fork()
    if pid:
        return os.waitpid(pid, 0)[1]
    try:
        kept.process_frame(frame_of(0.02))
    except RuntimeError as error:
        print(depth, error, flush=True)
    own = activated_sdk().create_audio_processor(processor_attrs(local=True))
    own.process_frame(frame_of(0.02))
    if depth < DEPTH:
        print(depth, "child status", fork_and_check(own, depth + 1), flush=True)
    sys.exit(0)

status = fork_and_check(sdk.create_audio_processor(processor_attrs(local=True)), 1)
release.set()
print("child status", status)
"""


@unless_fork_safe_allocator
@pytest.mark.parametrize("depth", [1, 2], ids=["child", "grandchild"])
def test_a_forked_child_exits_without_its_parents_threads(depth):
    result = run_python(f"DEPTH = {depth}\n" + FORKS_WHILE_A_CALLBACK_RUNS)
    assert result.returncode == 0, result.stderr
    closed = "process_frame called on a closed AudioProcessor"
    expected = [f"{level} {closed}" for level in range(1, depth + 1)]
    expected += [f"{level} child status 0" for level in range(depth - 1, 0, -1)]
    assert result.stdout.splitlines() == expected + ["child status 0"]
    assert "abandoned" not in result.stderr and "leaked" not in result.stderr
