"""Audio files, through the ``soundfile`` package (a dependency of tavix,
imported only when used): any format libsndfile reads."""

from __future__ import annotations

import errno
import importlib
import os
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Unpack

import numpy as np
import numpy.typing as npt

from tavix._staged_output import StagedOutput
from tavix.session import Session, StreamOptions
from tavix.stream import as_frames
from tavix.transcripts import Transcript, TranscriptQueue

__all__ = ["FileSummary", "RawFormat", "process_file", "read_audio", "writable_format", "write_audio"]

#: Frames read from a file per block while processing it: one second at 48 kHz.
READ_BLOCK = 48000
#: A file's audio goes to the SDK this many times its 20 ms minimum per
#: call: with 20 ms, a tenth of each file's time went to the Python work
#: and interpreter-lock round trip around each call, which is what kept two
#: files on two threads (``--jobs 2``) from running side by side.
FILE_PUSH_FACTOR = 10


def _soundfile() -> Any:
    # Imported on first use, so tavix works without it for everything else;
    # typed as Any, as the package has no type information.
    try:
        return importlib.import_module("soundfile")
    except ImportError as error:
        raise ModuleNotFoundError(
            "reading and writing audio files needs the soundfile package: "
            "pip install soundfile") from error


def read_audio(path: str | os.PathLike[str]) -> tuple[npt.NDArray[np.float32], int]:
    """The samples of an audio file as float32 ``(frames, channels)`` (mono
    files too), and its sample rate."""
    data, rate = _soundfile().read(os.fsencode(path), dtype="float32", always_2d=True)
    return np.ascontiguousarray(data, np.float32), int(rate)


def write_audio(path: str | os.PathLike[str], audio: npt.ArrayLike, rate: int, *,
                subtype: str | None = None) -> None:
    """Writes float audio (1-D mono or 2-D ``(frames, channels)``) to `path`
    in the format its extension names. `subtype` is soundfile's (for
    example ``"PCM_16"``, ``"FLOAT"``); by default that format's usual one."""
    frames, _ = as_frames(audio, None)
    _soundfile().write(os.fsencode(path), frames, rate, subtype=subtype)


@dataclass(frozen=True, slots=True)
class FileSummary:
    """What :func:`process_file` did."""

    source: Path
    #: None when no audio was written (``dst=None``).
    destination: Path | None
    rate: int
    channels: int
    frames: int
    #: Seconds of audio.
    duration: float
    #: Seconds the processing took, reading and writing included (not the
    #: wait for the remote pipeline).
    elapsed: float
    #: `elapsed` per second of audio: below 1 is faster than real time.
    real_time_factor: float
    transcripts: tuple[Transcript, ...]


@dataclass(frozen=True, slots=True)
class RawFormat:
    """The layout of headerless samples, which a file cannot tell itself."""

    rate: int
    channels: int
    #: soundfile's subtype, for example ``"PCM_16"`` or ``"FLOAT"``.
    subtype: str


def open_input(sf: Any, path: Path, raw: RawFormat | None) -> Any:
    """`path` opened for reading with soundfile, as headerless samples of
    the layout `raw` when given."""
    if raw is None:
        return sf.SoundFile(os.fsencode(path))
    return sf.SoundFile(os.fsencode(path), samplerate=raw.rate, channels=raw.channels,
                        subtype=raw.subtype, format="RAW")


def writable_format(path: str | os.PathLike[str]) -> str | None:
    """The soundfile format that `path`'s extension names (``"FLAC"`` for
    ``x.flac``), or None when it names none that can be written."""
    name = Path(path).suffix.lstrip(".").upper()
    return name if name and name in _soundfile().available_formats() else None


def process_file(src: str | os.PathLike[str], dst: str | os.PathLike[str] | None, *,
                 model: str = "denoise", session: Session | None = None, overwrite: bool = True,
                 on_progress: Callable[[int], object] | None = None,
                 on_transcript: Callable[[Transcript], object] | None = None,
                 raw: RawFormat | None = None,
                 **stream_options: Unpack[StreamOptions]) -> FileSummary:
    """Processes the audio file `src` through `model` into `dst`, reading and
    writing block by block. Without `session` a :class:`Session` is made for
    the call (key from ``TAVIX_API_KEY``). With ``translate=...`` the summary
    holds the transcripts; ``dst=None`` then writes no audio at all. With
    `raw`, `src` holds headerless samples of that layout.

    `dst` gets `src`'s rate and channels (any count: see
    :meth:`Session.stream` for more than two); its format comes from its
    extension, with `src`'s subtype where that format can write it, else
    the format's default. The audio goes
    to a temporary file beside `dst` that is renamed to `dst` once complete,
    so `dst` is never half-written: when anything fails (or is interrupted)
    the temporary file is removed and an existing `dst` is left as it was.
    With ``overwrite=False`` an existing `dst` raises ``FileExistsError``.
    Before the rename the file is flushed to disk and its frames counted; a
    failed write, or fewer frames in the file than were written, raises an
    ``OSError`` naming `dst` (``errno.ENOSPC``, "no space left on device",
    when the disk is full).

    `on_progress(frames)` is called after each block with the input frames it
    held, and `on_transcript(transcript)` with each transcript as it arrives;
    both on the calling thread. An exception they raise ends the call."""
    sf = _soundfile()
    source = Path(src)
    destination = None if dst is None else Path(dst)
    out_format = None
    if destination is not None:
        if destination.exists() and source.exists() and os.path.samefile(source, destination):
            raise ValueError(f"{destination} is the file being read: write somewhere else")
        if not overwrite and destination.exists():
            raise FileExistsError(errno.EEXIST, "the output exists", os.fspath(destination))
        out_format = writable_format(destination)
        if out_format is None:
            raise ValueError(f"{destination}: no audio format to write for the extension "
                             f"{destination.suffix!r} (for example .wav, .flac, .ogg)")
    collected: list[Transcript] = []

    def take(transcripts: TranscriptQueue, wait: bool) -> None:
        # Without waiting: only those already delivered; waiting: every one
        # left, which ends once the (closed) stream's queue is empty.
        for transcript in transcripts if wait else _ready(transcripts):
            collected.append(transcript)
            if on_transcript is not None:
                on_transcript(transcript)

    own_session = session is None
    active = Session() if session is None else session
    staged: StagedOutput | None = None
    try:
        with open_input(sf, source, raw) as infile:
            rate, channels = int(infile.samplerate), int(infile.channels)
            with active.stream(model, rate=rate, channels=channels, **stream_options) as stream:
                if stream.block is None:
                    stream._push_longer(FILE_PUSH_FACTOR)  # pyright: ignore[reportPrivateUsage]
                if destination is not None and out_format is not None:
                    subtype = infile.subtype if sf.check_format(out_format, infile.subtype) else None
                    staged = StagedOutput(sf, destination, rate, channels, out_format, subtype)
                write = staged.write if staged is not None else _discard
                started = time.perf_counter()
                total = 0
                for block in _blocks(infile):
                    total += len(block)
                    write(stream.process(block))
                    take(stream.transcripts, wait=False)
                    if on_progress is not None:
                        on_progress(len(block))
                write(stream.flush())
                elapsed = time.perf_counter() - started
            take(stream.transcripts, wait=True)
        if staged is not None:
            staged.commit(overwrite=overwrite)
    finally:
        if staged is not None:
            staged.discard()  # nothing left to remove once committed
        if own_session:
            active.close()
    duration = total / rate
    return FileSummary(source, destination, rate, channels, total, duration, elapsed,
                       elapsed / duration if duration else 0.0, tuple(collected))


def _discard(block: npt.NDArray[np.float32]) -> None:
    pass


def _blocks(infile: Any) -> Iterator[npt.NDArray[np.float32]]:
    """The file's frames, `READ_BLOCK` at a time. Reads until the end
    rather than up to a known length: some encodings (GSM 6.10, G.721 in
    WAV) cannot seek, so libsndfile does not know their length up front."""
    while True:
        block = infile.read(READ_BLOCK, dtype="float32", always_2d=True)
        if not len(block):
            return
        yield block


def _ready(transcripts: TranscriptQueue) -> Iterator[Transcript]:
    """The transcripts delivered so far, without waiting for more."""
    while True:
        try:
            yield transcripts.get(timeout=0)
        except (TimeoutError, EOFError):
            return
