"""The package tavix around the stream: its names, Session and its refusals,
session.process, Transcript records and the transcript queue (blocking,
with a timeout, from asyncio), and audio files."""

import asyncio
import dataclasses
import math
import sys
import threading
import tracemalloc

import numpy as np
import pytest

import _tavix_module
import tavix
from api_keys import DEMO_KEY, make_api_key
from helpers import text_frame
from tavix import signals

RATE = 16000
E = tavix.SdkErrorType


def test_public_names():
    assert sorted(tavix.__all__) == sorted(set(tavix.__all__))
    for name in tavix.__all__:
        assert getattr(tavix, name) is not None, name
    for name in dir(_tavix_module):
        if not name.startswith("_"):
            assert getattr(tavix, name) is getattr(_tavix_module, name), name
            assert name in tavix.__all__
    assert tavix.__version__ == _tavix_module.__version__


@pytest.mark.parametrize("key, environment, error", [
    ("", None, E.NO_CREDENTIALS),
    ("not-a-key", None, E.BAD_REQUEST),
    (DEMO_KEY[:-1] + ("0" if DEMO_KEY[-1] != "0" else "1"), None, E.UNAUTHORIZED),
    (make_api_key("ghost_1"), None, E.USER_NOT_FOUND),
    (make_api_key("disabled_1"), None, E.USER_DISABLED),
    (make_api_key("alice", expiry="20200101"), None, E.TOKEN_EXPIRED),
    (make_api_key("alice", grant="karaoke"), None, E.INVALID_GRANT),
    (DEMO_KEY, "staging", E.SERVER_UNREACHABLE),
])
def test_refused_keys_raise_activation_error(tmp_path, monkeypatch, key, environment, error):
    if environment:
        monkeypatch.setenv("TAVIX_ENVIRONMENT", environment)
    with pytest.raises(tavix.ActivationError) as raised:
        tavix.Session(key, storage_dir=tmp_path)
    assert isinstance(raised.value, RuntimeError)
    assert raised.value.result.error_type == error == raised.value.error_type
    assert error.name in str(raised.value) and raised.value.result.message in str(raised.value)


def test_key_and_storage_defaults(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    monkeypatch.delenv("TAVIX_API_KEY", raising=False)
    with pytest.raises(tavix.ActivationError, match="NO_CREDENTIALS.*set TAVIX_API_KEY"):
        tavix.Session()
    monkeypatch.setenv("TAVIX_API_KEY", DEMO_KEY)
    with tavix.Session() as session:
        assert session.storage_dir == tmp_path / "cache" / "tavix" == tavix.default_storage_dir()
        assert (session.storage_dir / "logs" / "tavix.log").is_file()
        assert session.version == tavix.create_sdk(tavix.InitParams(str(tmp_path))).version


def test_closing_the_session_closes_its_streams(tmp_path):
    session = tavix.Session(DEMO_KEY, storage_dir=str(tmp_path))
    streams = [session.stream("passthrough", rate=RATE, cloud=False) for _ in range(2)]
    session.close()
    session.close()
    assert session.closed and all(stream.closed for stream in streams)
    with pytest.raises(RuntimeError, match="session is closed"):
        session.stream("passthrough", rate=RATE)


@pytest.mark.parametrize("shape", [(RATE,), (RATE, 1), (RATE, 2)])
@pytest.mark.parametrize("given", [False, True])
def test_process_keeps_shape_and_alignment(session, shape, given):
    audio = np.random.default_rng(1).uniform(-0.5, 0.5, shape)  # float64 is converted
    channels = {"channels": 1 if len(shape) == 1 else shape[1]} if given else {}
    out = session.process(audio, rate=RATE, model="passthrough", cloud=False, **channels)
    assert out.dtype == np.float32 and out.shape == audio.shape
    assert np.array_equal(out, audio.astype(np.float32))


@pytest.mark.parametrize("channels", [1, 2])
def test_process_keeps_one_output_in_memory(session, channels):
    # The output is written into one array as it comes out: the Python
    # memory it takes beyond its input is that array and a frame or two,
    # not the pieces and a joined copy of them.
    audio = np.random.default_rng(2).uniform(-0.5, 0.5, (10 * RATE, channels)).astype(np.float32)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        out = session.process(audio, rate=RATE, model="denoise", cloud=False)
        peak = tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()
    assert out.shape == audio.shape
    assert peak <= out.nbytes + 256 * 1024


@pytest.mark.parametrize("shape, channels", [((RATE,), 2), ((RATE, 2), 1), ((RATE, 1), 2)])
def test_process_refuses_channels_that_do_not_match_the_audio(session, shape, channels):
    with pytest.raises(ValueError, match="channels"):
        session.process(np.zeros(shape), rate=RATE, model="passthrough", channels=channels)


def test_transcripts_from_a_text_frame():
    frame = text_frame(tavix.TranscriptType.TRANSLATION, "es-ES", 3,
                       complete=[("1.250", "2.000", "uno dos", 0.75)],
                       partial=[("0:02.5", "soon", "tres", 0.5)])
    done, running = tavix.Transcript.from_frame(frame, offset=0.5)
    assert (done.kind, done.language, done.text, done.final, done.utterance) == (
        tavix.TranscriptType.TRANSLATION, "es-ES", "uno dos", True, 3)
    assert (done.start, done.end, done.confidence) == (1.75, 2.5, 0.75)
    assert (running.final, running.start) == (False, 3.0) and math.isnan(running.end)
    assert repr(done) == ("Transcript(kind=TRANSLATION, language='es-ES', text='uno dos', final=True, "
                          "utterance=3, start=1.750, end=2.500, confidence=0.75)")
    with pytest.raises(dataclasses.FrozenInstanceError):
        done.text = "changed"  # type: ignore[misc]


def keyed_stream(session, keys="12#"):
    """A translation stream given DTMF keys, then a pause that ends them."""
    audio, spans = signals.dtmf_sequence(RATE, keys, tail_s=1.0)
    stream = session.stream(rate=RATE, translate=("en-US", "es-ES"), cloud=False)
    return stream, audio, spans


def test_blocking_iteration_and_get(session):
    stream, audio, spans = keyed_stream(session)
    with pytest.raises(TimeoutError):
        stream.transcripts.get(timeout=0.05)
    seen = []
    reader = threading.Thread(target=lambda: seen.extend(stream.transcripts))
    reader.start()
    for start in range(0, len(audio), 777):
        stream.process(audio[start:start + 777])
    stream.flush()
    stream.close()
    reader.join(timeout=60)
    assert not reader.is_alive()  # the iteration ended with the stream
    final = {t.kind: t for t in seen if t.final}
    assert final[tavix.TranscriptType.TRANSCRIPTION].text == "12#"
    assert final[tavix.TranscriptType.TRANSLATION].text == "uno dos almohadilla"
    # Times count from the stream's first frame, leading silence included.
    assert final[tavix.TranscriptType.TRANSCRIPTION].start == pytest.approx(spans[0][0], abs=0.03)
    assert [t.text for t in seen if t.kind == tavix.TranscriptType.TRANSCRIPTION] == ["1", "12", "12#", "12#"]
    with pytest.raises(EOFError):
        stream.transcripts.get()


def test_async_iteration_does_not_block_the_loop(session):
    stream, audio, _ = keyed_stream(session, "7")
    loop_ran = threading.Event()
    fed_after_loop_ran = []

    def feed():
        # Bounded, so an iteration that blocks the loop fails instead of hanging.
        fed_after_loop_ran.append(loop_ran.wait(timeout=30))
        stream.process(audio)
        stream.flush()
        stream.close()

    async def main():
        async def tick():
            loop_ran.set()

        # Runs only once the iteration, waiting for the first transcript,
        # gives the loop back.
        ticker = asyncio.create_task(tick())
        got = [t async for t in stream.transcripts]
        await ticker
        return got

    finished, stuck = threading.Event(), []

    def guard():  # ends an iteration that the stream's close did not end
        if not finished.wait(30):
            stuck.append(True)
            stream.transcripts.close()

    threads = [threading.Thread(target=feed), threading.Thread(target=guard)]
    for thread in threads:
        thread.start()
    got = asyncio.run(main())
    finished.set()
    for thread in threads:
        thread.join()
    assert fed_after_loop_ran == [True] and not stuck
    assert [t.text for t in got if t.final] == ["7", "siete"]


def test_a_cancelled_async_wait_loses_nothing():
    queue = tavix.TranscriptQueue()
    frame = text_frame(tavix.TranscriptType.TRANSCRIPTION, "en-US", 0, complete=[("0", "1", "9", 1.0)])
    finished = threading.Event()
    # Closes the queue if the test is stuck, so a wait that blocks the loop
    # fails instead of hanging.
    guard = threading.Thread(target=lambda: finished.wait(30) or queue.close(), daemon=True)
    guard.start()

    async def main():
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(anext(aiter(queue)), 0.05)
        threading.Thread(target=queue.put, args=(frame,)).start()
        first = await asyncio.wait_for(anext(aiter(queue)), 30)
        queue.close()
        return first, [t async for t in queue]

    try:
        first, rest = asyncio.run(main())
    finally:
        finished.set()
    assert first.text == "9" and rest == []


try:
    import soundfile
except ImportError:
    soundfile = None
needs_soundfile = pytest.mark.skipif(soundfile is None, reason="tavix[audio] is not installed")


@needs_soundfile
@pytest.mark.parametrize("name, subtype, exact", [("a.wav", "FLOAT", True), ("a.flac", None, False)])
def test_audio_files_round_trip(tmp_path, name, subtype, exact):
    audio = np.random.default_rng(2).uniform(-0.5, 0.5, (4410, 2)).astype(np.float32)
    tavix.write_audio(tmp_path / name, audio, 44100, subtype=subtype)
    back, rate = tavix.read_audio(tmp_path / name)
    assert rate == 44100 and back.dtype == np.float32 and back.shape == audio.shape
    assert np.array_equal(back, audio) if exact else np.abs(back - audio).max() < 1e-4
    tavix.write_audio(tmp_path / "mono.wav", audio[:, 0], 44100)
    assert tavix.read_audio(tmp_path / "mono.wav")[0].shape == (4410, 1)
    with pytest.raises(TypeError, match=r"\[-1, 1\]"):
        tavix.write_audio(tmp_path / "int.wav", np.zeros(10, np.int16), 44100)


@needs_soundfile
def test_process_file(session, tmp_path):
    audio = np.random.default_rng(4).uniform(-0.5, 0.5, (3 * 22050 + 11, 2)).astype(np.float32)
    source = tmp_path / "in.wav"
    soundfile.write(source, audio, 22050, subtype="FLOAT")
    summary = tavix.process_file(source, tmp_path / "out.wav", model="passthrough", session=session,
                                 cloud=False)
    assert (summary.rate, summary.channels, summary.frames) == (22050, 2, len(audio))
    assert summary.duration == pytest.approx(len(audio) / 22050)
    assert summary.real_time_factor == pytest.approx(summary.elapsed / summary.duration)
    out, rate = tavix.read_audio(tmp_path / "out.wav")  # same format, so the same FLOAT subtype
    assert np.array_equal(out, audio)
    with pytest.raises(ValueError, match="being read"):
        tavix.process_file(source, source, session=session)

    keys, _ = signals.dtmf_sequence(RATE, "3", tail_s=1.0)
    tavix.write_audio(tmp_path / "keys.flac", keys, RATE)
    summary = tavix.process_file(tmp_path / "keys.flac", tmp_path / "keys-out.flac", model="",
                                 session=session, translate=("en-US", "fr-FR"), cloud=False)
    assert [t.text for t in summary.transcripts if t.final] == ["3", "trois"]


def with_digital_silence(frames, channels, seed=0):
    """Noise with exact zeros where the SDK treats audio as silence (a frame
    of them alone): leading, short, long, and a run that starts mid-frame."""
    audio = (0.1 * np.random.default_rng(seed).standard_normal((frames, channels))).astype(np.float32)
    for start, end in [(0, 0.13), (0.3, 0.31), (0.4, 0.65), (1.005, 1.3), (frames / RATE - 0.07, None)]:
        audio[int(start * RATE):None if end is None else int(end * RATE)] = 0.0
    return audio


def in_20_ms_pushes(session, audio, model="denoise", cloud=False):
    """`audio` through a stream given one 20 ms block per call."""
    step = RATE // 50
    with session.stream(model, rate=RATE, channels=audio.shape[1], cloud=cloud) as stream:
        pieces = [stream.process(audio[start:start + step]) for start in range(0, len(audio), step)]
        return np.concatenate([*pieces, stream.flush()])


def through_process_file(session, audio, tmp_path, **options):
    soundfile.write(tmp_path / "in.wav", audio, RATE, subtype="FLOAT")
    tavix.process_file(tmp_path / "in.wav", tmp_path / "out.wav", session=session, **options)
    return tavix.read_audio(tmp_path / "out.wav")[0].reshape(audio.shape)


@pytest.mark.parametrize("model, channels, cloud", [
    ("passthrough", 1, False), ("denoise", 1, False), ("denoise", 2, False), ("denoise", 3, False),
    ("denoise", 1, True),
])
@pytest.mark.parametrize("whole", [
    pytest.param(through_process_file, marks=needs_soundfile, id="process_file"),
    pytest.param(lambda session, audio, tmp_path, **options: session.process(audio, rate=RATE, **options),
                 id="Session.process"),
])
def test_whole_inputs_give_what_20_ms_pushes_give(session, tmp_path, whole, model, channels, cloud):
    """A file or a whole signal goes to the SDK in longer frames than a
    stream's 20 ms; frames of digital silence still go alone, so the output
    is the same, bit for bit, as that of 20 ms pushes."""
    audio = with_digital_silence(3 * RATE + 123, channels)
    out = whole(session, audio, tmp_path, model=model, cloud=cloud)
    assert np.array_equal(out, in_20_ms_pushes(session, audio, model, cloud))


@needs_soundfile
@pytest.mark.parametrize("read_block, io_blocks, channels", [
    (1000, 1, 1),
    (1000, 3, 2),
    (700, 4, 1),  # blocks of a part frame: the pump carries the rest over
    (100_000, 4, 1),  # the whole file in one block
])
def test_blocks_read_and_written_several_at_a_time(session, tmp_path, monkeypatch, read_block, io_blocks,
                                                   channels):
    """A read takes several blocks and the output is written several blocks'
    worth at a time; progress still comes block by block, and the output is
    the same bit for bit (a tail of the gathered writes lost or written
    twice would show)."""
    import tavix.audio
    audio = with_digital_silence(2 * RATE + 345, channels, seed=5)
    soundfile.write(tmp_path / "in.wav", audio, RATE, subtype="FLOAT")
    monkeypatch.setattr(tavix.audio, "READ_BLOCK", read_block)
    monkeypatch.setattr(tavix.audio, "IO_BLOCKS", io_blocks)
    writes = []
    write = soundfile.SoundFile.write
    monkeypatch.setattr(soundfile.SoundFile, "write", lambda self, data: (writes.append(len(data)), write(self, data)))
    blocks = []
    tavix.process_file(tmp_path / "in.wav", tmp_path / "out.wav", session=session, cloud=False,
                       on_progress=blocks.append)
    frames = len(audio)
    assert blocks == [read_block] * (frames // read_block) + ([frames % read_block] if frames % read_block else [])
    assert sum(writes) == frames and len(writes) <= -(-frames // (read_block * io_blocks)) + 1
    out, _ = tavix.read_audio(tmp_path / "out.wav")
    assert np.array_equal(out.reshape(audio.shape), in_20_ms_pushes(session, audio))


def test_files_need_soundfile(tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "soundfile", None)
    with pytest.raises(ModuleNotFoundError, match=r"needs the soundfile package: pip install soundfile"):
        tavix.read_audio(tmp_path / "a.wav")
