"""An audio file written under a temporary name beside its destination and
renamed onto it only once every frame is known to be on disk, so that the
destination is never half-written and an existing file is never replaced by
a worse one."""

from __future__ import annotations

import errno
import hashlib
import os
import re
import secrets
import threading
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from tavix._output_rules import OutputError, name_max, output_exists

#: Below this much free space a system error while writing is taken to be a
#: full disk: the write that failed wanted more than was left.
_NEARLY_FULL = 1 << 20


_live: set[Path] = set()
_live_lock = threading.Lock()


def remove_unfinished() -> None:
    """Removes the temporary files of every output still being written, for
    a process that is about to end without waiting for its writers."""
    with _live_lock:
        for path in _live:
            _unlink(path)
        _live.clear()


def _unlink(path: Path) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def _temporary_prefix(destination: Path) -> str:
    # Hidden; the destination's own name when it fits, otherwise a short
    # hash of it, so that the temporary name fits whenever the output's does.
    prefix = f".{destination.name}"
    if len(os.fsencode(prefix)) + len(".4294967295-00000000.part") > name_max(destination.parent):
        prefix = "." + hashlib.sha256(os.fsencode(destination.name)).hexdigest()[:16]
    return prefix


def _process_exists(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:  # someone else's process
        return True
    return True


def _temporaries(folder: Path, prefix: str) -> list[tuple[Path, int]]:
    """The temporary files of the output that `prefix` names, with the id
    of the process that made each."""
    pattern = re.compile(re.escape(prefix) + r"\.(\d+)-[0-9a-f]{8}\.part")
    try:
        entries = list(os.scandir(folder))
    except OSError:
        return []
    return [(Path(entry.path), int(match[1])) for entry in entries
            if (match := pattern.fullmatch(entry.name))]


def _remove_stale(folder: Path, prefix: str) -> None:
    """Removes what a killed run (SIGKILL, power loss) left while writing the
    same output: temporary files of ours whose process is gone."""
    for path, pid in _temporaries(folder, prefix):
        if pid != os.getpid() and not _process_exists(pid):
            _unlink(path)


def remove_leftovers(destination: Path) -> None:
    """Removes every temporary file of `destination`, whichever process (on
    whichever host of a shared file system) made it: for a caller that knows
    none of their writers is left."""
    for path, _ in _temporaries(destination.parent, _temporary_prefix(destination)):
        _unlink(path)


def _free_bytes(folder: Path) -> int:
    try:
        stats = os.statvfs(folder)
    except OSError:
        return _NEARLY_FULL
    return stats.f_bavail * stats.f_frsize


class StagedOutput:
    """`destination` written through a temporary file: `write` blocks, then
    `commit` (checked and renamed) or `discard`. Opening and every step
    raise `OutputError` naming `destination`."""

    def __init__(self, sf: Any, destination: Path, rate: int, channels: int, out_format: str,
                 subtype: str | None) -> None:
        self.destination = destination
        self._sf = sf
        self._folder = destination.parent
        prefix = _temporary_prefix(destination)
        _remove_stale(self._folder, prefix)
        self.temporary = destination.with_name(f"{prefix}.{os.getpid()}-{secrets.token_hex(4)}.part")
        self.frames = 0
        self._committed = False
        with _live_lock:
            _live.add(self.temporary)
        try:
            self._file = self._open(rate, channels, out_format, subtype)
        except BaseException:
            self.discard()
            raise

    def _open(self, rate: int, channels: int, out_format: str, subtype: str | None) -> Any:
        path = os.fsencode(self.temporary)
        try:
            return self._sf.SoundFile(path, "w", rate, channels, subtype=subtype, format=out_format)
        except self._sf.LibsndfileError as error:
            if subtype is None:
                raise self._failure(error) from None
        # libsndfile accepts some pairings it cannot write (MP3 samples in a
        # WAV file): the format's own default then.
        try:
            return self._sf.SoundFile(path, "w", rate, channels, subtype=None, format=out_format)
        except self._sf.LibsndfileError as error:
            raise self._failure(error) from None

    def write(self, block: npt.NDArray[np.float32]) -> None:
        try:
            self._file.write(block)
        except self._sf.LibsndfileError as error:
            raise self._failure(error) from None
        self.frames += len(block)

    def commit(self, *, overwrite: bool) -> None:
        """Closes the file, checks that every frame written is in it and on
        disk, and renames it onto the destination."""
        try:
            try:
                self._file.close()
            except self._sf.LibsndfileError as error:
                raise self._failure(error) from None
            self._sync()
            self._check_length()
            if not overwrite and self.destination.exists():  # made while this one ran
                raise output_exists(self.destination)
            try:
                os.replace(self.temporary, self.destination)
            except OSError as error:
                raise self._failure(error) from None
        except BaseException:
            self.discard()
            raise
        self._committed = True
        with _live_lock:
            _live.discard(self.temporary)

    def discard(self) -> None:
        """Removes the temporary file, unless it became the destination."""
        if self._committed:
            return
        try:
            if getattr(self, "_file", None) is not None:
                self._file.close()
        except Exception:  # noqa: S110  (the file goes anyway)
            pass
        _unlink(self.temporary)
        with _live_lock:
            _live.discard(self.temporary)

    def _sync(self) -> None:
        # A file system may report a full disk only when the data reaches it.
        try:
            descriptor = os.open(self.temporary, os.O_RDONLY)
            try:
                os.fsync(descriptor)
            finally:
                os.close(descriptor)
        except OSError as error:
            raise self._failure(error) from None

    def _check_length(self) -> None:
        # Some encoders (Ogg Vorbis) lose a failed write without a word;
        # counting the frames in the file catches it. Block codecs pad the
        # last block, so more is fine.
        try:
            stored = int(self._sf.info(os.fsencode(self.temporary)).frames)
        except self._sf.LibsndfileError as error:
            raise self._failure(error) from None
        if stored < self.frames:
            raise self._failure(None, f"only {stored} of {self.frames} frames reached the file")

    def _failure(self, error: Exception | None, what: str = "") -> OutputError:
        if isinstance(error, OSError) and error.errno is not None:
            code: int | None = error.errno
            reason = error.strerror or what
        else:
            # libsndfile keeps the errno to itself ("System error.", or a
            # codec's own complaint): a failure with the disk all but full
            # is the full disk.
            code = errno.ENOSPC if _free_bytes(self._folder) < _NEARLY_FULL else None
            reason = what or (getattr(error, "error_string", "") or str(error)).rstrip(".")
        if code == errno.ENOSPC:
            reason = "no space left on device"
        failure = OutputError(f"cannot write {self.destination}: {reason}")
        failure.errno = code
        return failure
