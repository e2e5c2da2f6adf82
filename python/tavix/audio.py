"""Audio files, through the ``soundfile`` package (a dependency of tavix,
imported only when used): any format libsndfile reads."""

from __future__ import annotations

import os
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Unpack

import numpy as np
import numpy.typing as npt

from tavix._output_rules import output_format
from tavix._soundfile import load_soundfile, writable_format
from tavix._staged_output import StagedOutput
from tavix.session import Session, StreamOptions
from tavix.stream import Stream, as_frames
from tavix.transcripts import Transcript, TranscriptQueue

__all__ = ["FileSummary", "RawFormat", "process_file", "read_audio", "writable_format", "write_audio"]

#: Frames read from a file per block while processing it: one second at 48 kHz.
#: Progress, transcripts and an interrupt are taken up after each block.
READ_BLOCK = 48000
#: Blocks per soundfile read and per write. soundfile asks libsndfile for the
#: file's position around every read and write, and each of those calls
#: gives the interpreter lock up and takes it back: about 20 round trips a
#: block. With two files on two threads (``--jobs 2``) each one may hand the
#: lock to the other file's thread and wait to get it back: four blocks a
#: call took 1.4 % off each file's CPU time there (one thread alone loses
#: nothing to the round trips, and gains nothing). Progress and interrupts
#: still come block by block.
IO_BLOCKS = 4


def read_audio(path: str | os.PathLike[str]) -> tuple[npt.NDArray[np.float32], int]:
    """The samples of an audio file as float32 ``(frames, channels)`` (mono
    files too), and its sample rate."""
    data, rate = load_soundfile().read(os.fsencode(path), dtype="float32", always_2d=True)
    return np.ascontiguousarray(data, np.float32), int(rate)


def write_audio(path: str | os.PathLike[str], audio: npt.ArrayLike, rate: int, *,
                subtype: str | None = None) -> None:
    """Writes float audio (1-D mono or 2-D ``(frames, channels)``) to `path`
    in the format its extension names. `subtype` is soundfile's (for
    example ``"PCM_16"``, ``"FLOAT"``); by default that format's usual one."""
    frames, _ = as_frames(audio, None)
    load_soundfile().write(os.fsencode(path), frames, rate, subtype=subtype)


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
    Before anything is read, a `dst` that may not be written raises: a
    ``ValueError`` when it is `src` itself or its extension names no format
    to write, ``FileExistsError`` when it exists and ``overwrite=False``,
    and an ``OSError`` when the file system will not take it there (no such
    folder, no permission, a folder in its place, a name too long).
    Before the rename the file is flushed to disk and its frames counted; a
    failed write, or fewer frames in the file than were written, raises an
    ``OSError`` naming `dst` (``errno.ENOSPC``, "no space left on device",
    when the disk is full).

    `on_progress(frames)` is called after each block with the input frames it
    held, and `on_transcript(transcript)` with each transcript as it arrives;
    both on the calling thread. An exception they raise ends the call."""
    source = Path(src)
    destination = None if dst is None else Path(dst)
    out_format = None if destination is None else output_format(destination, overwrite=overwrite,
                                                                  source=source)
    transcripts = _Transcripts(on_transcript)
    active = Session() if session is None else session
    try:
        with open_input(load_soundfile(), source, raw) as infile:
            rate, channels = int(infile.samplerate), int(infile.channels)
            output = _Output(infile, destination, out_format)
            try:
                stream = active.stream(model, rate=rate, channels=channels, **stream_options)
                frames, elapsed = _stream_file(infile, stream, output, transcripts, on_progress)
                output.commit(overwrite=overwrite)
            finally:
                output.discard()  # nothing left to remove once committed
    finally:
        if session is None:
            active.close()
    duration = frames / rate
    return FileSummary(source, destination, rate, channels, frames, duration, elapsed,
                       elapsed / duration if duration else 0.0, tuple(transcripts.collected))


def _stream_file(infile: Any, stream: Stream, output: _Output, transcripts: _Transcripts,
                 on_progress: Callable[[int], object] | None) -> tuple[int, float]:
    """Streams `infile` block by block through `stream`, which it closes,
    into `output`: the input frames and the seconds it took."""
    with stream:
        if stream.block is None:
            stream._push_longer()  # pyright: ignore[reportPrivateUsage]
        write = output.open()
        started = time.perf_counter()
        frames = 0
        for block in _blocks(infile):
            frames += len(block)
            write(stream.process(block))
            transcripts.take(stream.transcripts, wait=False)
            if on_progress is not None:
                on_progress(len(block))
        write(stream.flush())
        elapsed = time.perf_counter() - started
    transcripts.take(stream.transcripts, wait=True)
    return frames, elapsed


class _Output:
    """Where a run's processed blocks go: a `StagedOutput`, opened once the
    stream runs (a refused model leaves no file behind) and put in place
    by `commit` after the last transcript; or nowhere (``dst=None``)."""

    def __init__(self, infile: Any, destination: Path | None, out_format: str | None) -> None:
        self._infile = infile
        self._destination = destination
        self._format = out_format
        self._staged: StagedOutput | None = None
        self._batched: _BatchedWrites | None = None

    def open(self) -> Callable[[npt.NDArray[np.float32]], None]:
        """The writer of the processed blocks."""
        if self._destination is None or self._format is None:
            return _discard
        sf, infile = load_soundfile(), self._infile
        # The input's subtype where the output's format can write it.
        subtype = infile.subtype if sf.check_format(self._format, infile.subtype) else None
        self._staged = StagedOutput(sf, self._destination, int(infile.samplerate),
                                    int(infile.channels), self._format, subtype)
        self._batched = _BatchedWrites(self._staged.write, int(infile.channels))
        return self._batched

    def commit(self, *, overwrite: bool) -> None:
        if self._staged is not None:
            if self._batched is not None:
                self._batched.flush()
            self._staged.commit(overwrite=overwrite)

    def discard(self) -> None:
        if self._staged is not None:
            self._staged.discard()


class _BatchedWrites:
    """Processed blocks gathered in one array and written `IO_BLOCKS`
    blocks' worth at a time; `flush` writes what is left."""

    def __init__(self, write: Callable[[npt.NDArray[np.float32]], None], channels: int) -> None:
        self._write = write
        self._pending = np.empty((READ_BLOCK * IO_BLOCKS, channels), np.float32)
        self._size = 0

    def __call__(self, block: npt.NDArray[np.float32]) -> None:
        count = len(block)
        if self._size + count > len(self._pending):
            self.flush()
            if count > len(self._pending):
                self._write(block)
                return
        self._pending[self._size:self._size + count] = block
        self._size += count

    def flush(self) -> None:
        if self._size:
            size, self._size = self._size, 0
            self._write(self._pending[:size])  # written before the array is filled again


class _Transcripts:
    """The transcripts of a run, collected and handed to `on_transcript`
    on the calling thread as they are taken."""

    def __init__(self, on_transcript: Callable[[Transcript], object] | None) -> None:
        self.collected: list[Transcript] = []
        self._on_transcript = on_transcript

    def take(self, transcripts: TranscriptQueue, *, wait: bool) -> None:
        """Without waiting: only those already delivered; waiting: every
        one left, which ends once the (closed) stream's queue is empty."""
        for transcript in transcripts if wait else _ready(transcripts):
            self.collected.append(transcript)
            if self._on_transcript is not None:
                self._on_transcript(transcript)


def _discard(block: npt.NDArray[np.float32]) -> None:
    pass


def _blocks(infile: Any) -> Iterator[npt.NDArray[np.float32]]:
    """The file's frames, `READ_BLOCK` at a time, `IO_BLOCKS` blocks a
    read. Reads until the end rather than up to a known length: some
    encodings (GSM 6.10, G.721 in WAV) cannot seek, so libsndfile does not
    know their length up front."""
    block = READ_BLOCK
    while True:
        frames = infile.read(block * IO_BLOCKS, dtype="float32", always_2d=True)
        if not len(frames):
            return
        for begin in range(0, len(frames), block):
            yield frames[begin:begin + block]


def _ready(transcripts: TranscriptQueue) -> Iterator[Transcript]:
    """The transcripts delivered so far, without waiting for more."""
    while True:
        try:
            yield transcripts.get(timeout=0)
        except (TimeoutError, EOFError):
            return
