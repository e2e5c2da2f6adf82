"""What may be written where: the one place that decides whether an audio
output may go to a path, for `process_file`, the command line's file runs
(`tavix process`, `tavix transcribe`, clusters) and live recordings.

Each rule has one message. A refusal is raised before anything is written:

- `ValueError`: the output is the input itself, or its extension names no
  format that can be written;
- `FileExistsError`: it exists and may not be replaced (``overwrite``);
- `OutputRefusedError` (an `OSError` with the reason's ``errno``): the file
  system will not take it there (no such folder, no permission, a folder in
  its place, a name too long).

A run over several files adds the rules between them (two outputs on one
path, an output that is another input, outputs of an earlier run, outputs
that exist); the command line words those for its options."""

from __future__ import annotations

import errno
import os
import stat
from collections.abc import Sequence
from pathlib import Path
from typing import Protocol, TypeVar

from tavix._soundfile import writable_format


class OutputError(OSError):
    """Writing an output failed; the message names the output, never a
    temporary file. `errno` is ``ENOSPC`` when the disk is full."""


class OutputRefusedError(OutputError):
    """The file system will not take the output at its path; raised before
    anything is written (a fault of the path, not of the disk or the run)."""


class Writes(Protocol):
    """One input and the output made from it (None: no audio written)."""

    @property
    def source(self) -> Path: ...

    @property
    def destination(self) -> Path | None: ...


W = TypeVar("W", bound=Writes)


def output_format(destination: Path, *, overwrite: bool, source: Path | None = None) -> str:
    """The soundfile format to write `destination` in (from its extension),
    once every rule lets it be written from `source`; otherwise the
    refusal of the first rule it breaks."""
    longest = name_max(destination.parent)
    if len(os.fsencode(destination.name)) > longest:
        raise _refused(destination, errno.ENAMETOOLONG,
                       f"its name is too long (the file system takes {longest} bytes at most)")
    if source is not None and same_file(source, destination):
        raise ValueError(f"the output {destination} is the input itself (the file being read)")
    if destination.is_dir():
        raise _refused(destination, errno.EISDIR, "it is a folder")
    if not overwrite and destination.exists():
        raise output_exists(destination)
    out_format = writable_format(destination)
    if out_format is None:
        raise ValueError(f"cannot write {destination}: no audio format for the extension "
                         f"{destination.suffix!r} (for example .wav, .flac, .ogg)")
    folder = destination.parent
    if not folder.is_dir():
        raise _refused(destination, errno.ENOENT, f"no folder {folder}")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise _refused(destination, errno.EACCES, "permission denied")
    return out_format


def output_exists(destination: Path) -> FileExistsError:
    """The refusal of an existing output without ``overwrite``; also when
    it appears while the output is being written."""
    refusal = FileExistsError(f"{destination} exists (pass --overwrite to replace it)")
    refusal.errno = errno.EEXIST
    return refusal


def _refused(destination: Path, code: int, reason: str) -> OutputRefusedError:
    refusal = OutputRefusedError(f"cannot write {destination}: {reason}")
    refusal.errno = code
    return refusal


def name_max(folder: Path) -> int:
    """The longest file name, in bytes, that `folder` takes."""
    try:
        return os.pathconf(folder, "PC_NAME_MAX")
    except (OSError, ValueError):
        return 255


def default_output(source: Path, label: str) -> Path:
    """Where the output of `source` goes when no name is given: beside it,
    `label` before the suffix. The input's format when it can be written,
    WAV otherwise (MP3 in: WAV out)."""
    suffix = source.suffix if writable_format(source) else ".wav"
    return source.with_name(f"{source.stem}.{label}{suffix}")


def names_folder(output: str, *, several: bool) -> bool:
    """Whether the output named `output` is a folder for the outputs (it is
    one, ends with a separator, or `several` outputs go there); raises
    `NotADirectoryError` when several go to what is or names a file."""
    mode = file_mode(Path(output))
    is_dir = mode is not None and stat.S_ISDIR(mode)
    says_folder = output.endswith(("/", os.sep))
    if not (several or is_dir or says_folder):
        return False
    names_a_file = mode is None and writable_format(output) is not None
    if (mode is not None and not is_dir) or (names_a_file and not says_folder):
        raise NotADirectoryError(f"-o {output}: not a folder (with several inputs, -o names a folder; "
                                 "end it with / to make a folder of that name)")
    return True


def written_twice(writes: Sequence[Writes]) -> str | None:
    """Why two of `writes` clash (one output path for two inputs, or one
    input given twice when nothing is written), or None."""
    writers: dict[Path, Path] = {}
    for write in writes:
        key = write.source if write.destination is None else write.destination
        target = Path(os.path.abspath(key))
        if target in writers:
            what = "given twice" if write.destination is None else f"would both be written to {key}"
            return f"{writers[target]} and {write.source}: {what}"
        writers[target] = write.source
    return None


def earlier_outputs(writes: Sequence[W], label: str) -> list[tuple[W, W]]:
    """The inputs that this model wrote from another input of the same run
    (its `label` on the name, and the very path that input's output gets),
    each with the write that makes it: running over a folder twice is a
    re-run, and never processes the first run's results again."""
    made = {Path(os.path.abspath(write.destination)): write
            for write in writes if write.destination is not None}
    found: list[tuple[W, W]] = []
    for write in writes:
        writer = made.get(Path(os.path.abspath(write.source)))
        if writer is not None and writer is not write and write.source.stem.endswith(f".{label}"):
            found.append((write, writer))
    return found


def existing_outputs(writes: Sequence[W]) -> list[W]:
    """The writes whose output exists already (an output that is its own
    input is refused by `output_format` when its turn comes)."""
    return [write for write in writes if write.destination is not None
            and file_mode(write.destination) is not None
            and not same_file(write.source, write.destination)]


def output_of_another_input(writes: Sequence[Writes]) -> str | None:
    """Why one output would replace another input, perhaps before it is
    read (with ``overwrite``), or None."""
    inputs: dict[object, Path] = {}
    for write in writes:
        inputs[Path(os.path.realpath(write.source))] = write.source
        identity = _identity(write.source)
        if identity is not None:
            inputs[identity] = write.source
    for write in writes:
        if write.destination is None:
            continue
        for key in (Path(os.path.realpath(write.destination)), _identity(write.destination)):
            other = inputs.get(key)
            if other is not None and not same_file(other, write.source):
                return f"{write.source}: its output {write.destination} is the input {other}"
    return None


def same_file(a: Path, b: Path) -> bool:
    identity = _identity(a)
    return a == b or (identity is not None and identity == _identity(b))


def file_mode(path: Path) -> int | None:
    """`path`'s st_mode, or None when there is nothing there to see (a name
    too long for the file system included)."""
    try:
        return path.stat().st_mode
    except OSError:
        return None


def _identity(path: Path) -> tuple[int, int] | None:
    try:
        status = path.stat()
    except OSError:
        return None
    return status.st_dev, status.st_ino
