"""What the command line's input arguments name: files, folders of audio
files (walked with ``--recursive``), and ``-`` for standard input."""

from __future__ import annotations

import os
import shutil
import stat
import sys
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import BinaryIO

from tavix._soundfile import load_soundfile

#: The input and output argument that stands for standard input or output.
STANDARD_STREAM = "-"


@dataclass(frozen=True, slots=True)
class Found:
    path: Path
    #: Where the file sits under the folder argument it was found in (its
    #: place under ``-o DIR``); None for a file named on the command line.
    within: Path | None = None


@dataclass(frozen=True, slots=True)
class Inputs:
    files: list[Found]
    #: Files found in folders that soundfile does not read, for one note.
    not_audio: list[Path]


def expand(arguments: Sequence[str], *, recursive: bool, headerless: bool,
           leave_out: Path | None) -> Inputs:
    """Files stay as given (they are checked when their turn comes); a
    folder gives the audio files in it, and with `recursive` those of its
    subfolders, in name order. Hidden entries (names starting with a dot,
    among them a running run's temporary outputs) and the folder
    `leave_out` (an output folder inside an input folder) are passed over.
    With `headerless`, soundfile cannot tell audio from anything else: every
    file found is taken."""
    found: list[Found] = []
    not_audio: list[Path] = []
    excluded = None if leave_out is None else os.path.abspath(leave_out)
    for argument in arguments:
        path = Path(argument)
        if argument == STANDARD_STREAM or not path.is_dir():
            found.append(Found(path))
            continue
        for folder, subfolders, names in os.walk(path):
            subfolders[:] = sorted(name for name in subfolders if recursive and not name.startswith(".")
                                   and os.path.abspath(os.path.join(folder, name)) != excluded)
            for name in sorted(names):
                file = Path(folder, name)
                if name.startswith(".") or not _regular(file):
                    continue
                if headerless or _reads_as_audio(file):
                    found.append(Found(file, file.relative_to(path)))
                else:
                    not_audio.append(file)
    return Inputs(found, not_audio)


def _regular(path: Path) -> bool:
    # A FIFO or a device in a folder could block the walk forever.
    try:
        return stat.S_ISREG(path.stat().st_mode)
    except OSError:
        return False


def _reads_as_audio(path: Path) -> bool:
    sf = load_soundfile()
    try:
        sf.info(os.fsencode(path))
    except (sf.LibsndfileError, RuntimeError, OSError):
        return False
    return True


def spool_standard_input(folder: Path) -> Path:
    """Standard input copied to a file in `folder`: libsndfile reads most
    formats only from something it can seek in, and the command line checks
    an input before it reads its audio. Memory stays flat however long the
    input is."""
    path = folder / "standard-input"
    with path.open("wb") as spool:
        shutil.copyfileobj(sys.stdin.buffer, spool, 1 << 20)
    return path


def copy_to_standard_output(path: Path) -> None:
    """A finished output, to standard output as bytes. Written only once
    complete, so a reader never gets half a file from a run that failed."""
    target: BinaryIO = open(1, "wb", closefd=False)  # noqa: SIM115
    with path.open("rb") as finished, target:
        shutil.copyfileobj(finished, target, 1 << 20)
