"""Audio files, through the optional ``soundfile`` package
(``pip install 'tavix[audio]'``): any format libsndfile reads."""

from __future__ import annotations

import importlib
import os
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Unpack

import numpy as np
import numpy.typing as npt

from tavix.session import Session, StreamOptions
from tavix.stream import as_frames
from tavix.transcripts import Transcript

__all__ = ["FileSummary", "process_file", "read_audio", "write_audio"]

#: Frames read from a file per block while processing it: one second at 48 kHz.
READ_BLOCK = 48000


def _soundfile() -> Any:
    # Imported on first use, so tavix works without it for everything else;
    # typed as Any, as the package has no type information.
    try:
        return importlib.import_module("soundfile")
    except ImportError as error:
        raise ModuleNotFoundError(
            "reading and writing audio files needs the soundfile package: "
            "pip install 'tavix[audio]'") from error


def read_audio(path: str | os.PathLike[str]) -> tuple[npt.NDArray[np.float32], int]:
    """The samples of an audio file as float32 ``(frames, channels)`` (mono
    files too), and its sample rate."""
    data, rate = _soundfile().read(os.fspath(path), dtype="float32", always_2d=True)
    return np.ascontiguousarray(data, np.float32), int(rate)


def write_audio(path: str | os.PathLike[str], audio: npt.ArrayLike, rate: int, *,
                subtype: str | None = None) -> None:
    """Writes float audio (1-D mono or 2-D ``(frames, channels)``) to `path`
    in the format its extension names. `subtype` is soundfile's (for
    example ``"PCM_16"``, ``"FLOAT"``); by default that format's usual one."""
    frames, _ = as_frames(audio, None)
    _soundfile().write(os.fspath(path), frames, rate, subtype=subtype)


@dataclass(frozen=True, slots=True)
class FileSummary:
    """What :func:`process_file` did."""

    source: Path
    destination: Path
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


def process_file(src: str | os.PathLike[str], dst: str | os.PathLike[str], *,
                 model: str = "denoise", session: Session | None = None,
                 **stream_options: Unpack[StreamOptions]) -> FileSummary:
    """Processes the audio file `src` through `model` into `dst` (its format
    from its extension; the same subtype as `src` when the format is the
    same), reading and writing block by block. Without `session` a
    :class:`Session` is made for the call (key from ``TAVIX_API_KEY``).
    With ``translate=...`` the summary holds the transcripts."""
    sf = _soundfile()
    source, destination = Path(src), Path(dst)
    if destination.exists() and source.exists() and os.path.samefile(source, destination):
        raise ValueError(f"{destination} is the file being read: write somewhere else")
    own_session = session is None
    active = Session() if session is None else session
    created = False
    try:
        with sf.SoundFile(os.fspath(source)) as infile:
            rate, channels = int(infile.samplerate), int(infile.channels)
            out_format = destination.suffix.lstrip(".").upper()
            subtype = infile.subtype if out_format == infile.format else None
            with active.stream(model, rate=rate, channels=channels, **stream_options) as stream:
                started = time.perf_counter()
                with sf.SoundFile(os.fspath(destination), "w", rate, channels, subtype=subtype) as outfile:
                    created = True
                    total = 0
                    for block in infile.blocks(blocksize=READ_BLOCK, dtype="float32", always_2d=True):
                        total += len(block)
                        outfile.write(stream.process(block))
                    outfile.write(stream.flush())
                elapsed = time.perf_counter() - started
            transcripts = tuple(stream.transcripts)
    except BaseException:
        if created:
            destination.unlink(missing_ok=True)
        raise
    finally:
        if own_session:
            active.close()
    duration = total / rate
    return FileSummary(source, destination, rate, channels, total, duration, elapsed,
                       elapsed / duration if duration else 0.0, transcripts)
