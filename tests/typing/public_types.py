"""The types users of tavix see. Checked by scripts/check-types with mypy
--strict and pyright, never run: each assert_type fails the check when an
annotation regresses (to Any, to a wider type, or to nothing)."""

from pathlib import Path
from typing import assert_type

import numpy as np
import numpy.typing as npt

import _tavix_module
import tavix

Audio = npt.NDArray[np.float32]


def stream_types(session: tavix.Session, mono: npt.NDArray[np.float64]) -> None:
    with session.stream("denoise", rate=16000, block=320) as stream:
        assert_type(stream, tavix.Stream)
        assert_type(stream.process(mono), Audio)
        assert_type(stream.process([0.0, 0.5]), Audio)
        assert_type(stream.flush(), Audio)
        assert_type(stream.latency, int | None)
        assert_type(stream.state, tavix.PipelineState)
        assert_type(stream.transcripts, tavix.TranscriptQueue)
        assert_type(stream.transcripts.get(timeout=0.5), tavix.Transcript)
        for transcript in stream.transcripts:
            assert_type(transcript.kind, tavix.TranscriptType)
            assert_type(transcript.start, float)
            assert_type(transcript.final, bool)
    assert_type(session.process(mono, rate=16000, cloud=False, pcm16=True), Audio)
    session.process(mono, rate=16000, block=320)  # type: ignore[call-arg]


async def async_types(stream: tavix.Stream) -> None:
    async for transcript in stream.transcripts:
        assert_type(transcript, tavix.Transcript)


def session_types() -> None:
    with tavix.Session(storage_dir=tavix.default_storage_dir()) as session:
        assert_type(session, tavix.Session)
        assert_type(session.version, str)
    try:
        tavix.Session("")
    except tavix.ActivationError as error:
        assert_type(error.result, tavix.SdkResult)
        assert_type(error.error_type, tavix.SdkErrorType)
    assert_type(tavix.__version__, str)


def file_types() -> None:
    audio, rate = tavix.read_audio("in.wav")
    assert_type(audio, Audio)
    assert_type(rate, int)
    summary = tavix.process_file("in.wav", "out.flac", translate=("en", "es"))
    assert_type(summary.transcripts, tuple[tavix.Transcript, ...])
    assert_type(summary.real_time_factor, float)
    assert_type(summary.destination, Path | None)
    tavix.process_file("in.wav", None, on_progress=lambda frames: frames + 1,
                       on_transcript=lambda transcript: print(transcript.text), overwrite=False)
    tavix.process_file("in.wav", None, on_progress=lambda frames: frames.upper())  # type: ignore[attr-defined]
    try:
        tavix.process_file("in.wav", "out.wav", model="karaoke")
    except tavix.ModelRefusedError as error:
        assert_type(error.model, str)


def extension_types(frame: tavix.TextFrame) -> None:
    # The re-exports are the extension's own classes, typed by its stubs.
    assert_type(tavix.AudioFrame, type[_tavix_module.AudioFrame])
    assert_type(tavix.Transcript.from_frame(frame), list[tavix.Transcript])
