"""Lifecycle of AudioProcessor: close, context manager, deallocation, threads,
and teardown started from inside the processor's own callbacks."""

import subprocess
import sys
import textwrap
import threading

import pytest

import _tavix_module as m
from helpers import DEMO_KEY, StateRecorder, frame_of, processor_attrs, run_python

CLOSED = "process_frame called on a closed AudioProcessor"


def test_close_is_idempotent_and_final(activated):
    processor = activated.create_audio_processor(processor_attrs())
    processor.process_frame(frame_of(0.02))
    assert processor.close() is None
    assert processor.close() is None
    with pytest.raises(RuntimeError, match=f"^{CLOSED}$"):
        processor.process_frame(frame_of(0.02))


def test_context_manager_returns_self_and_closes(activated):
    processor = activated.create_audio_processor(processor_attrs())
    with processor as entered:
        assert entered is processor
        entered.process_frame(frame_of(0.02))
    with pytest.raises(RuntimeError, match=CLOSED):
        processor.process_frame(frame_of(0.02))


def test_exception_in_with_block_propagates_and_closes(activated):
    processor = activated.create_audio_processor(processor_attrs())
    with pytest.raises(KeyError):
        with processor:
            raise KeyError("boom")
    with pytest.raises(RuntimeError, match=CLOSED):
        processor.process_frame(frame_of(0.02))


@pytest.mark.parametrize("args", [(), (None, None, None)])
def test_exit_closes_and_returns_false(activated, args):
    processor = activated.create_audio_processor(processor_attrs())
    assert processor.__exit__(*args) is False
    with pytest.raises(RuntimeError, match=CLOSED):
        processor.process_frame(frame_of(0.02))


def test_refusals(sdk, activated):
    with pytest.raises(TypeError):
        activated.create_audio_processor(None)
    processor = activated.create_audio_processor(processor_attrs())
    with pytest.raises(TypeError):
        processor.process_frame(None)
    processor.close()


def test_not_activated_gives_fixed_message(sdk):
    with pytest.raises(RuntimeError, match="^create_audio_processor failed: the SDK returned no processor"):
        sdk.create_audio_processor(processor_attrs())


def test_deallocation_tears_down_like_close(activated):
    states = StateRecorder()
    processor = activated.create_audio_processor(processor_attrs(notify=states))
    assert states.running.wait(10)
    del processor
    assert states.stopped.is_set()  # teardown delivered NOT_RUNNING before returning
    assert states.seen[-1] == m.PipelineState.NOT_RUNNING


def test_close_races_process_frame_from_threads(activated):
    processor = activated.create_audio_processor(processor_attrs(local=True))
    frame = frame_of(0.02)
    outcomes = []

    def pump():
        start.wait()
        try:
            for _ in range(200):
                processor.process_frame(frame)
            outcomes.append("done")
        except RuntimeError as error:
            outcomes.append(str(error))

    def closer():
        start.wait()
        processor.close()
        processor.close()

    threads = [threading.Thread(target=pump) for _ in range(3)] + [threading.Thread(target=closer)]
    threads.append(threading.Thread(target=closer))
    start = threading.Barrier(len(threads))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert set(outcomes) <= {"done", CLOSED} and len(outcomes) == 3


# The SDK aborts the process when a processor is destroyed on its own output
# thread (the vendor's would deadlock there), so only the binding's hand-off
# of that teardown to another thread keeps these alive: each runs in a child
# interpreter, where a regression aborts or hangs the child, not pytest.
TEARDOWN_INSIDE_OWN_CALLBACK = """
import gc, threading
import pytest
import _tavix_module as m
from helpers import DEMO_KEY, frame_of, processor_attrs

sdk = m.create_sdk(m.InitParams(STORAGE))
assert sdk.activate_api_key(DEMO_KEY).success
holder = {}
done = threading.Event()
stored = threading.Event()

def on_state(state):
    # RUNNING may come before the handle is stored, on a loaded machine.
    if state != m.PipelineState.RUNNING or not stored.wait(10):
        return
    if HOW == "close":
        holder["processor"].close()
    elif HOW == "exit":
        holder["processor"].__exit__(None, None, None)
    elif HOW == "last_reference":
        holder.pop("processor")
    else:
        holder.pop("processor")
        gc.collect()  # the cycle holding the processor is collected here
    done.set()

processor = sdk.create_audio_processor(processor_attrs(notify=on_state))
if HOW == "collected_cycle":
    cycle = [processor]
    cycle.append(cycle)
    holder["processor"] = cycle
    del cycle
else:
    holder["processor"] = processor
if HOW in ("last_reference", "collected_cycle"):
    del processor
stored.set()
assert done.wait(10)
if HOW in ("close", "exit"):
    with pytest.raises(RuntimeError, match=CLOSED):
        processor.process_frame(frame_of(0.02))
print("torn down")
"""


@pytest.mark.parametrize("how", ["close", "exit", "last_reference", "collected_cycle"])
def test_teardown_from_inside_own_callback(tmp_path, how):
    """The processor's own output thread delivers the callback; tearing the
    processor down from there must neither deadlock nor crash."""
    setup = f"HOW, STORAGE, CLOSED = {how!r}, {str(tmp_path / 'storage')!r}, {CLOSED!r}\n"
    result = run_python(setup + TEARDOWN_INSIDE_OWN_CALLBACK)
    assert (result.returncode, result.stdout) == (0, "torn down\n"), result.stderr


EXIT_SCENARIOS = {
    # A processor left open, its output thread still firing callbacks.
    "open_processor": "",
    # The SDK's copy of a module-level function ties the processor into a
    # cycle through the module's globals that the collector cannot see.
    "callback_cycle": """
def on_state(state):
    pass
attrs.audio_attributes.audio_pipeline_state_notify = on_state
cycled = sdk.create_audio_processor(attrs)
""",
    # The processor closed from inside its own callback just before exit:
    # its teardown, handed to another thread, is still under way.
    "closed_in_callback": """
import threading
closed = threading.Event()
def close_on_running(state):
    if state == m.PipelineState.RUNNING:
        processor.close()
        closed.set()
attrs.audio_attributes.audio_pipeline_state_notify = close_on_running
processor = sdk.create_audio_processor(attrs)
assert closed.wait(10)
""",
    # A daemon thread inside process_frame (lock released) when the
    # interpreter exits.
    "daemon_pumping": """
import threading
def pump():
    frame = m.AudioFrame(np.full(320, 0.1, np.float32))
    while True:
        processor.process_frame(frame)
threading.Thread(target=pump, daemon=True).start()
""",
}


@pytest.mark.parametrize("scenario", sorted(EXIT_SCENARIOS))
def test_interpreter_exit_with_live_processor(tmp_path, scenario):
    """The interpreter exits cleanly whatever the processor's threads are
    doing at that moment."""
    code = textwrap.dedent(f"""
        import _tavix_module as m, numpy as np
        sdk = m.create_sdk(m.InitParams({str(tmp_path / 'storage')!r}))
        assert sdk.activate_api_key({DEMO_KEY!r}).success
        seen = []
        attrs = m.ProcessorAttributes(m.AudioAttributes(16000, 1, "passthrough",
                                                        audio_pipeline_state_notify=seen.append))
        processor = sdk.create_audio_processor(attrs)
        processor.process_frame(m.AudioFrame(np.zeros(320, np.float32)))
    """) + EXIT_SCENARIOS[scenario]
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert "Fatal Python error" not in result.stderr and "terminate" not in result.stderr
    if scenario != "daemon_pumping":  # a parked daemon thread keeps its frame's objects
        assert "leaked" not in result.stderr
        log = (tmp_path / "storage" / "logs" / "tavix.log").read_text()
        assert log.count("create_audio_processor") == log.count("destroy_audio_processor")
