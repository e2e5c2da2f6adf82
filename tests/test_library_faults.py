"""The library under faults: a close from a signal handler, a stream released
unclosed, a fork with streams open, a reader that falls behind, infinite
timeouts, an opening interrupted, an event loop closed under a waiting
reader.

What can hang or abort runs in a child interpreter; the timeouts only
detect a hang, they are not a measure of speed."""

import asyncio
import gc
import math
import textwrap
import threading
import weakref

import numpy as np
import pytest

import tavix
from helpers import DEMO_KEY, run_python, text_frame, unless_fork_safe_allocator
from tavix import signals
from tavix.transcripts import BACKLOG

RATE = 16000
TRANSCRIPTION = tavix.TranscriptType.TRANSCRIPTION

CHILD = f"""
import math, os, signal, sys, tempfile, threading
import numpy as np
import tavix
session = tavix.Session({DEMO_KEY!r}, storage_dir=tempfile.mkdtemp())
"""


def run_child(body):
    result = run_python(CHILD + textwrap.dedent(body))
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout.splitlines()


@pytest.mark.parametrize("call, error", [
    ("stream.process(audio)", "the stream is closed"),                  # 1-D mono, as it is
    ("stream.process(audio.reshape(-1, 1))", "the stream is closed"),   # 2-D
    ("stream.process(audio[:100])", "the stream is closed"),            # staged
    ("session.process(audio, rate=16000, cloud=False)", "the session is closed"),
], ids=["1-D", "2-D", "short", "Session.process"])
def test_close_from_a_signal_handler_inside_process(call, error):
    # The timer fires again and again while the main thread is nearly always
    # inside process(), holding the stream's lock: the handler's close must
    # neither deadlock nor pull the processor from under the call.
    assert run_child(f"""
        stream = session.stream("denoise", rate=16000, cloud=False)
        signal.signal(signal.SIGALRM, lambda *_: session.close())
        audio = np.random.default_rng(1).uniform(-0.5, 0.5, 16000).astype(np.float32)
        signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
        try:
            while True:
                {call}
        except RuntimeError as error:
            signal.setitimer(signal.ITIMER_REAL, 0)
            print(error)
        print(stream.closed, session.closed)
    """) == [error, "True True"]


def test_a_signal_handler_pushing_inside_process_is_refused():
    # The stream's lock is re-entrant (for a close inside close), so a push
    # from a handler that interrupts a push on the same thread is refused
    # rather than let into the pump midway.
    assert run_child("""
        stream = session.stream("denoise", rate=16000, cloud=False)
        audio = np.random.default_rng(1).uniform(-0.5, 0.5, 16000).astype(np.float32)
        signal.signal(signal.SIGALRM, lambda *_: stream.process(audio[:320]))
        signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
        try:
            while True:
                stream.process(audio)
        except RuntimeError as error:
            signal.setitimer(signal.ITIMER_REAL, 0)
            print(str(error).split(" (")[0])
    """) == ["the stream is in use on this thread"]


class HeldProcessor:
    """A passthrough processor whose pushes wait for `go`, and which notes
    whether it was closed while a push was under way."""

    def __init__(self):
        self.pushing, self.go = threading.Event(), threading.Event()
        self.closed = self.closed_mid_push = False

    def process_frame(self, frame):
        self.pushing.set()
        self.go.wait(60)
        out = tavix.AudioFrame(np.frombuffer(frame.samples, np.float32).copy())
        self.pushing.clear()
        return out

    def close(self):
        self.closed_mid_push = self.pushing.is_set()
        self.closed = True


@pytest.mark.parametrize("pushes", [1, 3], ids=["first push", "running stream"])
def test_a_close_from_another_thread_waits_for_the_push_under_way(pushes):
    """The busy mark only refuses or defers calls of the thread that holds
    the stream's lock; another thread's close waits for the lock, then
    closes at once (not deferred), and the push returns its audio whole."""
    processor = HeldProcessor()
    stream = tavix.Stream(processor, tavix.stream._Events(), rate=RATE, channels=1, model="passthrough",
                          cloud=False, block=None)
    block = np.linspace(-0.5, 0.5, RATE // 50, dtype=np.float32)
    processor.go.set()
    for _ in range(pushes - 1):
        stream.process(block)
    processor.go.clear()
    results, closer_saw = [], []
    pusher = threading.Thread(target=lambda: results.append(stream.process(block)))
    pusher.start()
    assert processor.pushing.wait(60)
    closer = threading.Thread(target=lambda: (stream.close(), closer_saw.append(processor.closed)))
    closer.start()
    processor.go.set()
    pusher.join(60)
    closer.join(60)
    assert closer_saw == [True] and not processor.closed_mid_push
    assert stream.closed and np.array_equal(results[0], block)


def keys_stream(session):
    return session.stream(rate=RATE, translate=("en-US", "es-ES"), cloud=False)


def test_a_released_stream_ends_its_transcript_iteration(session):
    got = []

    def hand_over():
        stream = keys_stream(session)
        keys = signals.dtmf_sequence(RATE, "12")[0]
        stream.process(keys)  # a running key sequence: its final comes at release
        transcripts = stream.transcripts
        reader = threading.Thread(target=lambda: got.extend(transcripts), daemon=True)
        reader.start()
        return reader  # the stream is released here, unclosed

    reader = hand_over()
    reader.join(30)
    assert not reader.is_alive()
    assert [t.text for t in got if t.final and t.kind == TRANSCRIPTION] == ["12"]


FORK = """
    from tavix import signals
    stream = session.stream(rate=16000, translate=("en-US", "es-ES"), cloud=False)
    keys = signals.dtmf_sequence(16000, "1")[0]
    stream.process(keys)
    pid = os.fork()
    if pid == 0:
        if {close!r}:
            stream.close()
            session.close()
            try:
                session.stream("passthrough", rate=16000, cloud=False)
            except RuntimeError as error:
                print(error, flush=True)
        with tavix.Session({key!r}, storage_dir=tempfile.mkdtemp()) as own:
            out = own.process(keys, rate=16000, model="passthrough", cloud=False)
            print("child processed", np.array_equal(out, keys), flush=True)
        sys.exit(0)
    _, status = os.waitpid(pid, 0)
    print("child status", status)
    stream.process(keys)
    stream.close()
    print("parent finals", sum(t.final for t in stream.transcripts))
"""


@unless_fork_safe_allocator
@pytest.mark.parametrize("close", [False, True], ids=["exit", "close"])
def test_fork_with_a_stream_open(close):
    lines = run_child(FORK.format(close=close, key=DEMO_KEY))
    refused = ["the session belongs to the process that forked this one: open a new Session here"]
    assert lines == (refused if close else []) + [
        "child processed True", "child status 0", "parent finals 2"]


@unless_fork_safe_allocator
def test_fork_pool_workers_open_their_own_streams():
    assert run_child(f"""
        import multiprocessing
        from tavix import signals

        def work(seed):
            audio = np.random.default_rng(seed).uniform(-0.5, 0.5, 8000).astype(np.float32)
            with tavix.Session({DEMO_KEY!r}, storage_dir=tempfile.mkdtemp()) as own:
                return np.array_equal(own.process(audio, rate=16000, model="passthrough",
                                                  cloud=False), audio)

        open_meanwhile = session.stream("denoise", rate=16000, cloud=False)
        with multiprocessing.get_context("fork").Pool(2) as pool:
            print(pool.map(work, range(4)))
        open_meanwhile.close()
    """) == ["[True, True, True, True]"]


def partial(utterance, text):
    return text_frame(TRANSCRIPTION, "en-US", utterance, partial=[("0", "1", text, 0.5)])


def complete(utterance, text):
    return text_frame(TRANSCRIPTION, "en-US", utterance, complete=[("0", "1", text, 1.0)])


def drain(queue):
    queue.close()
    return [(t.utterance, t.text) for t in queue]


def test_a_reader_that_keeps_up_sees_every_partial():
    queue = tavix.TranscriptQueue()
    for text in ("1", "12", "123"):
        queue.put(partial(0, text))
    queue.put(complete(0, "123#"))
    assert (drain(queue), queue.dropped) == ([(0, "1"), (0, "12"), (0, "123"), (0, "123#")], 0)


def test_a_reader_behind_loses_superseded_partials_first():
    queue = tavix.TranscriptQueue()
    for utterance in range(BACKLOG):  # the backlog: one final each
        queue.put(complete(utterance, str(utterance)))
    for text in ("a", "ab", "abc"):
        queue.put(partial(BACKLOG, text))
    queue.put(partial(BACKLOG + 1, "x"))
    queue.put(complete(BACKLOG, "abcd"))
    assert drain(queue)[BACKLOG:] == [(BACKLOG + 1, "x"), (BACKLOG, "abcd")]
    assert queue.dropped == 3


def test_complete_transcripts_are_kept_up_to_the_limit():
    queue = tavix.TranscriptQueue(limit=5)
    for utterance in range(8):
        queue.put(complete(utterance, str(utterance)))
    assert (drain(queue), queue.dropped) == ([(u, str(u)) for u in range(3, 8)], 3)


def test_a_stream_nobody_reads_keeps_its_last_transcripts_within_the_limit(session):
    keys = signals.dtmf_sequence(RATE, "0123456789" * 2, tail_s=1.0)[0]
    with session.stream(rate=RATE, translate=("en-US", "es-ES"), cloud=False,
                        transcript_limit=4) as stream:
        stream.process(keys)
        stream.flush()
    kept = list(stream.transcripts)
    assert len(kept) == 4 and stream.transcripts.dropped > 20
    assert sorted(t.kind.name for t in kept if t.final) == ["TRANSCRIPTION", "TRANSLATION"]


@pytest.mark.parametrize("limit", [0, -1, 2.5, True])
def test_a_transcript_limit_must_be_a_positive_count(session, limit):
    with pytest.raises(ValueError, match="transcript limit"):
        session.stream(rate=RATE, translate=("en-US", "es-ES"), cloud=False, transcript_limit=limit)


@pytest.mark.parametrize("timeout", [math.inf, 1e300])
def test_infinite_timeouts(session, timeout):
    with session.stream("passthrough", rate=RATE, cloud=True, start_timeout=timeout) as stream:
        assert stream.state == tavix.PipelineState.RUNNING
    queue = tavix.TranscriptQueue()
    threading.Timer(0.05, queue.put, [complete(0, "1")]).start()
    assert queue.get(timeout=timeout).text == "1"
    threading.Timer(0.05, queue.close).start()
    with pytest.raises(EOFError):
        queue.get(timeout=timeout)
    with pytest.raises(ValueError, match="NaN"):
        queue.get(timeout=math.nan)


def test_an_interrupted_opening_leaves_no_processor_behind():
    # Ctrl-C while the cloud pipeline connects: the processor (and its
    # output thread) goes with the exception.
    assert run_child("""
        def threads():
            return len(os.listdir("/proc/self/task"))

        before = threads()
        def interrupt(*_):
            raise KeyboardInterrupt
        signal.signal(signal.SIGALRM, interrupt)
        signal.setitimer(signal.ITIMER_REAL, 0.02)
        try:
            session.stream("passthrough", rate=16000, cloud=True, start_timeout=math.inf)
        except KeyboardInterrupt:
            print("interrupted")
        print(threads() == before)
    """) == ["interrupted", "True"]


def test_a_closed_loop_leaves_no_waiter_behind():
    queue = tavix.TranscriptQueue()

    async def read():
        async for _ in queue:
            pass

    loop = asyncio.new_event_loop()
    task = loop.create_task(read())
    loop.run_until_complete(asyncio.sleep(0.01))  # the reader now waits
    loop.close()  # with the reader still waiting
    gone = weakref.ref(loop), weakref.ref(task)
    del loop, task
    gc.collect()
    assert [ref() for ref in gone] == [None, None]
    queue.put(complete(0, "1"))  # nothing left to wake
    assert drain(queue) == [(0, "1")]


@unless_fork_safe_allocator
def test_a_raw_processor_is_closed_in_a_forked_child():
    result = run_python(CHILD + textwrap.dedent(f"""
        import _tavix_module as m
        from helpers import frame_of, processor_attrs
        sdk = m.create_sdk(m.InitParams(tempfile.mkdtemp()))
        assert sdk.activate_api_key({DEMO_KEY!r}).success
        processor = sdk.create_audio_processor(processor_attrs(local=True))
        pid = os.fork()
        if pid == 0:
            try:
                processor.process_frame(frame_of(0.02))
            except RuntimeError as error:
                print(error, flush=True)
            processor.close()
            sys.exit(0)
        print("child status", os.waitpid(pid, 0)[1])
        processor.process_frame(frame_of(0.02))
        print("the parent's still processes")
    """))
    assert result.returncode == 0, result.stderr
    assert "leaked" not in result.stderr
    assert result.stdout.splitlines() == [
        "process_frame called on a closed AudioProcessor", "child status 0",
        "the parent's still processes"]
