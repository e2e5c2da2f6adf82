"""tavix.Stream against the substitute SDK: buffering any block length,
one output frame per input frame in order (digital silence included, which
the SDK holds back and shortens), real-time mode, the cloud path's start,
and refusals."""

import os
import re
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import tavix
from api_keys import DEMO_KEY
from tavix import signals
from tavix._pump import Pump
from tavix.stream import process_signal

RATE = 16000


def audio_with_silence(seconds, channels, seed=0):
    """Noise with runs of exact zeros where the SDK treats audio as silence:
    leading, a short one, one far longer than its latency, and trailing."""
    frames = int(seconds * RATE)
    audio = (0.1 * np.random.default_rng(seed).standard_normal((frames, channels))).astype(np.float32)
    for start, end in [(0, 0.13), (0.3, 0.31), (0.4, 0.65), (seconds - 0.07, seconds)]:
        audio[int(start * RATE):int(end * RATE)] = 0.0
    return audio


def as_layout(audio, layout):
    """Mono `audio` (frames, 1) in the layout a caller may pass: 2-D, 1-D,
    or 1-D every other float32 of a larger array (not contiguous)."""
    if layout == "2-D":
        return audio
    if layout == "1-D":
        return audio[:, 0]
    return np.repeat(audio[:, 0], 2)[::2]


MONO_LAYOUTS = [(1, "2-D"), (1, "1-D"), (1, "1-D strided"), (2, "2-D")]


@pytest.mark.parametrize("channels, layout", MONO_LAYOUTS)
@pytest.mark.parametrize("sizes", [(1,), (7, 333, 1000), (319, 321), (100, 320), (320,), (400,), (2 * RATE,)],
                         ids=["1", "7-333-1000", "319-321", "100-20ms", "20ms", "20ms-and-a-rest", "2s"])
def test_passthrough_gives_the_input_back_bit_for_bit(session, channels, layout, sizes):
    seconds = 0.8 if sizes == (1,) else 2.0
    audio = as_layout(audio_with_silence(seconds, channels), layout)
    bounds = np.cumsum([0] + [sizes[i % len(sizes)] for i in range(len(audio))])
    bounds = bounds[bounds < len(audio)].tolist() + [len(audio)]
    with session.stream("passthrough", rate=RATE, channels=channels, cloud=False) as stream:
        out = np.concatenate([stream.process(audio[a:b]) for a, b in zip(bounds, bounds[1:])]
                             + [stream.flush()])
    assert out.dtype == np.float32 and out.shape == audio.shape
    assert np.array_equal(out, audio)


@pytest.mark.parametrize("channels, layout", MONO_LAYOUTS)
@pytest.mark.parametrize("block", [1, 100, 320, 500, 2 * RATE])
@pytest.mark.parametrize("mid_push", [False, True], ids=["flushed after a push", "flushed between pushes"])
def test_real_time_mode_delays_by_its_latency_exactly(session, channels, layout, block, mid_push):
    """Also when the flush comes while the last push's output is still
    going out block by block (blocks shorter than 20 ms: several per push),
    with audio, not the trailing silence, in the frames still to go."""
    audio = audio_with_silence(0.8 if block == 1 else 4.0, channels)
    blocks = len(audio) // block
    if mid_push:
        audio = audio[:-int(0.07 * RATE)]
        blocks, per_push = len(audio) // block, -(-(RATE // 50) // block)
        blocks -= per_push > 1 and blocks % per_push == 0
    audio = as_layout(audio[:blocks * block], layout)
    with session.stream("passthrough", rate=RATE, channels=channels, cloud=False, block=block) as stream:
        pieces = [stream.process(audio[i:i + block]) for i in range(0, len(audio), block)]
        assert {piece.shape for piece in pieces} == {(block, *audio.shape[1:])}
        tail = stream.flush()
        latency = stream.latency
    out = np.concatenate(pieces + [tail])
    assert out.dtype == np.float32 and tail.ndim == audio.ndim
    assert len(tail) == latency
    assert not out[:latency].any()
    assert np.array_equal(out[latency:], audio)


@pytest.mark.parametrize("block", [100, 320])
def test_real_time_blocks_in_both_layouts_in_turn(session, block):
    """Mono blocks 1-D and 2-D mixed: each 2-D block goes through the
    queue, the 1-D ones around it may not (short blocks slice the output
    of the last push), and the output stays the input delayed."""
    audio = audio_with_silence(2.0, 1)
    audio = audio[:len(audio) // block * block]
    with session.stream("passthrough", rate=RATE, cloud=False, block=block) as stream:
        pieces = [stream.process(audio[i:i + block] if i // block % 3 == 2 else audio[i:i + block, 0])
                  for i in range(0, len(audio), block)]
        pieces.append(stream.flush())
        latency = stream.latency
    out = np.concatenate([piece.reshape(-1) for piece in pieces])
    assert not out[:latency].any() and np.array_equal(out[latency:], audio[:, 0])


@pytest.mark.parametrize("frames", [1, 100, 700])
def test_input_shorter_than_the_latency_still_comes_out(session, frames):
    audio = np.linspace(0.1, 0.5, frames, dtype=np.float32)
    with session.stream("passthrough", rate=RATE, cloud=False) as stream:
        out = np.concatenate([stream.process(audio), stream.flush()])
    assert np.array_equal(out, audio)


def test_denoise_output_is_the_same_in_both_modes(session):
    """A model with a delay of its own: real-time mode, whose pushes are
    chunked differently, gives the same samples shifted by its latency."""
    _, noisy = signals.noisy_tone(RATE, 2.0, snr_db=3.0)
    whole = session.process(noisy, rate=RATE, cloud=False)
    block = 256
    noisy = noisy[:len(noisy) // block * block]
    with session.stream("denoise", rate=RATE, cloud=False, block=block) as stream:
        out = np.concatenate([stream.process(noisy[i:i + block]) for i in range(0, len(noisy), block)]
                             + [stream.flush()])
        latency = stream.latency
    assert np.array_equal(out[latency:], whole[:len(noisy)])


def test_the_cloud_path_never_returns_unprocessed_audio(session):
    """Frames pushed before the pipeline runs would come back as they went
    in; the cloud result must instead match the local one (up to the
    link's 16-bit coding) from the first sample."""
    _, noisy = signals.noisy_tone(RATE, 1.5, snr_db=0.0)
    local = session.process(noisy, rate=RATE, cloud=False)
    cloud = session.process(noisy, rate=RATE, cloud=True, pcm16=True)
    first = slice(0, int(0.3 * RATE))
    assert np.abs(noisy[first] - local[first]).max() > 0.3  # what unprocessed audio would show
    assert np.abs(cloud - local).max() < 0.05


def test_a_late_output_keeps_the_rest_in_line():
    """A processor timed like the SDK (output due = frames in - latency)
    whose fifth push returns nothing and sixth returns both pushes' frames:
    zeros stand in for the missing ones, the late ones are dropped, and
    everything else stays in place."""
    line = {"in": np.zeros(0, np.float32), "out": 0, "calls": 0}

    def process_frame(frame):
        line["in"] = np.concatenate([line["in"], np.frombuffer(frame.samples, np.float32)])
        line["calls"] += 1
        due = line["out"] if line["calls"] == 5 else max(0, len(line["in"]) - 64)
        out, line["out"] = line["in"][line["out"]:due], due
        return tavix.AudioFrame(np.ascontiguousarray(out))

    pump = Pump(process_frame, 1, 32)
    audio = np.arange(1, 641, dtype=np.float32).reshape(-1, 1)
    out = np.concatenate([pump.push(audio), pump.flush()])
    assert pump.latency == 64 and len(out) == len(audio)
    assert not out[64:96].any()
    assert np.array_equal(out[:64], audio[:64]) and np.array_equal(out[96:], audio[96:])


def refusing_once(refused_call):
    """A passthrough process_frame that raises on its `refused_call`-th call."""
    calls = 0

    def process_frame(frame):
        nonlocal calls
        calls += 1
        if calls == refused_call:
            raise RuntimeError("refused")
        return tavix.AudioFrame(np.frombuffer(frame.samples, np.float32).copy())

    return process_frame


@pytest.mark.parametrize("sizes", [(32,), (20,), (50,), (200,), (140, 10)],
                         ids=["one chunk", "shorter", "longer", "many chunks", "staging outgrown"])
@pytest.mark.parametrize("refused_call", [1, 3])
@pytest.mark.parametrize("mono", [False, True], ids=["2-D", "1-D"])
def test_a_refused_push_keeps_its_audio_for_the_next_call(sizes, refused_call, mono):
    """Whatever was not pushed when the processor raised, whether the
    block was a chunk pushed as given, completed staged frames or spanned
    several chunks, goes in with the next call: nothing lost, nothing twice
    (also after the refused rest outgrew the staging, for 1-D pushes that
    stage it without a 2-D view)."""
    pump = Pump(refusing_once(refused_call), 1, 32)
    audio = np.arange(1, 20 * sum(sizes) + 1, dtype=np.float32).reshape(-1, 1)
    bounds = np.cumsum([0] + list(sizes) * 20).tolist()
    push = (lambda frames: pump.push_mono(frames[:, 0])) if mono else pump.push
    out, refusals = [], 0
    for begin, end in zip(bounds, bounds[1:]):
        try:
            out.append(push(audio[begin:end]).reshape(-1, 1))
        except RuntimeError:
            refusals += 1
    out.append(pump.flush())
    assert refusals == 1
    assert np.array_equal(np.concatenate(out), audio)


@pytest.mark.parametrize("block, pushed", [(None, 100), (64, 0)], ids=["after input", "real-time mode"])
def test_the_chunk_is_lengthened_only_before_input_and_outside_real_time_mode(block, pushed):
    pump = Pump(refusing_once(0), 1, 32, block=block)
    pump.push(np.ones((pushed, 1), np.float32)) if pushed else None
    with pytest.raises(RuntimeError, match="before the first input"):
        pump.lengthen_chunk(10)
    assert pump.chunk == (32 if block is None else 64)


@pytest.mark.parametrize("block", [None, 256])
@pytest.mark.parametrize("size", [256, 320])
def test_each_result_is_a_writable_array_of_its_own(session, block, size):
    """Results are the caller's: writing into one changes neither the
    stream's later output nor the results already returned."""
    if block is not None:
        size = block
    audio = (0.1 * np.random.default_rng(3).standard_normal(RATE)).astype(np.float32)
    with session.stream("passthrough", rate=RATE, cloud=False, block=block) as stream:
        results = []
        for begin in range(0, len(audio) - size + 1, size):
            results.append(stream.process(audio[begin:begin + size]))
        kept = [result.copy() for result in results]
        for result in results[::2]:
            assert result.flags.writeable
            result[:] = 7.0
            result.flags.writeable = False  # the caller's to change, an empty one too
        last = stream.process(audio[:size])
        if block is None:
            assert stream.process(audio[:1]).flags.writeable
    assert not (last == 7.0).any()
    assert all(np.array_equal(result, kept_one) for result, kept_one in zip(results[1::2], kept[1::2]))


@pytest.mark.parametrize("audio, error, words", [
    (np.zeros(320, np.int16), TypeError, "[-1, 1]"),
    (np.zeros(320, np.int64), TypeError, "[-1, 1]"),
    (np.zeros(320, bool), TypeError, "[-1, 1]"),
    (np.zeros(320, np.complex64), TypeError, "floats"),
    (np.zeros(640, np.float32), ValueError, "reshape(-1, 2)"),
    (np.zeros((320, 3), np.float32), ValueError, "has 3 channels"),
    (np.zeros((2, 320, 2), np.float32), ValueError, "1-D (mono) or 2-D"),
])
def test_refused_audio(session, audio, error, words):
    with session.stream("passthrough", rate=RATE, channels=2, cloud=False) as stream:
        with pytest.raises(error, match=re.escape(words)):
            stream.process(audio)
        # A refusal leaves the stream usable.
        good = np.full((400, 2), 0.25, np.float32)
        assert np.array_equal(np.concatenate([stream.process(good), stream.flush()]), good)


def test_refusals_of_the_stream_itself(session):
    stream = session.stream("passthrough", rate=RATE, cloud=False, block=160)
    with pytest.raises(ValueError, match="exactly 160 frames"):
        stream.process(np.zeros(161, np.float32))
    stream.flush()
    with pytest.raises(RuntimeError, match="flushed"):
        stream.process(np.zeros(160, np.float32))
    stream.close()
    stream.close()
    for call in (lambda: stream.process(np.zeros(160, np.float32)), stream.flush):
        with pytest.raises(RuntimeError, match="closed"):
            call()
    with pytest.raises(ValueError, match="block"):
        session.stream("passthrough", rate=RATE, block=0)
    with pytest.raises(ValueError, match="translate="):
        session.stream(rate=RATE)


@pytest.mark.parametrize("cloud", [True, False])
def test_state_follows_the_pipeline(session, cloud):
    stream = session.stream("passthrough", rate=RATE, cloud=cloud)
    assert stream.cloud is cloud and stream.state == tavix.PipelineState.RUNNING
    if cloud:  # a pipeline that stops later: audio would pass unprocessed
        stream._events.on_state(tavix.PipelineState.NOT_RUNNING)  # as the SDK's thread would
        with pytest.raises(RuntimeError, match="NOT_RUNNING"):
            stream.process(np.full(320, 0.5, np.float32))
    stream.close()
    assert stream.state == tavix.PipelineState.NOT_RUNNING


def test_not_running_before_running_is_an_error(session, monkeypatch):
    original = tavix.stream._Events.on_state

    def stops_at_once(self, state):
        original(self, state)
        if state == tavix.PipelineState.TRYING:
            original(self, tavix.PipelineState.NOT_RUNNING)

    monkeypatch.setattr(tavix.stream._Events, "on_state", stops_at_once)
    with pytest.raises(RuntimeError, match="NOT_RUNNING"):
        session.stream("denoise", rate=RATE, cloud=True)


NEVER_RUNNING = """
import tavix, tavix.stream, threading
from tavix.stream import _Events

# The SDK reports RUNNING only after the TRYING callback has returned, so a
# TRYING callback that waits until the stream gives up keeps the pipeline
# from ever running, on the SDK's own thread, without touching its timing.
original = _Events.on_state
seen = []
def held(self, state):
    seen.append(state)
    original(self, state)
    if state == tavix.PipelineState.TRYING:
        self.closing.wait()
_Events.on_state = held

with tavix.Session({key!r}, storage_dir={storage!r}) as session:
    try:
        session.stream("denoise", rate=16000, cloud=True, start_timeout=0.3)
    except TimeoutError as error:
        print("timeout:", error)
print("states:", [s.name for s in seen])
"""


def test_timeout_when_the_pipeline_never_runs(tmp_path):
    code = NEVER_RUNNING.format(key=DEMO_KEY, storage=str(tmp_path))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                           timeout=120)
    assert child.returncode == 0, child.stderr
    assert "timeout: the remote denoise pipeline did not reach RUNNING within 0.3 s (state: TRYING)" in child.stdout
    assert child.stdout.strip().endswith("'NOT_RUNNING']")


def test_the_path_switch_is_per_stream_and_thread_safe(session, monkeypatch):
    """Passthrough is bit for bit only on the local path (the cloud link
    codes the audio), which tells the path each stream really got."""
    monkeypatch.setenv("TAVIX_LOCAL_INFERENCING", "keep")
    build = tavix.stream.AudioAttributes

    def slow_build(*args, **kwargs):
        time.sleep(0.005)  # widens the window in which another thread could switch the path
        return build(*args, **kwargs)

    monkeypatch.setattr(tavix.stream, "AudioAttributes", slow_build)
    audio = np.random.default_rng(3).uniform(-0.5, 0.5, 4000).astype(np.float32)
    results = {}

    def run(index):
        cloud = index % 2 == 0
        with session.stream("passthrough", rate=RATE, cloud=cloud) as stream:
            out = np.concatenate([stream.process(audio), stream.flush()])
        results[index] = (cloud, stream.cloud, np.array_equal(out, audio))

    threads = [threading.Thread(target=run, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(asked is got and exact is not asked for asked, got, exact in results.values())
    assert os.environ["TAVIX_LOCAL_INFERENCING"] == "keep"


def test_process_signal_counts_frames_per_channel(tmp_path, monkeypatch):
    stereo = audio_with_silence(1.0, 2)
    sdk = tavix.create_sdk(tavix.InitParams(str(tmp_path)))
    assert sdk.activate_api_key(DEMO_KEY).success
    monkeypatch.setenv("TAVIX_LOCAL_INFERENCING", "1")
    attrs = tavix.ProcessorAttributes(tavix.AudioAttributes(RATE, 2, "passthrough"))
    with sdk.create_audio_processor(attrs) as processor:
        assert np.array_equal(process_signal(processor, stereo, RATE // 50), stereo)
        # 10 ms frames are dropped by the SDK: an error, not an empty result.
        with pytest.raises(RuntimeError, match="minimum"):
            process_signal(processor, stereo, RATE // 100, max_drain_frames=20)
