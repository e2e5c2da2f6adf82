"""Writing live audio to a file without holding up the audio callback.

The callback only copies its block into a :class:`Ring`; a thread of the
recorder's own takes the frames from there and writes them. The file is
written under a temporary name beside the destination and renamed when the
recording ends, so an existing file is replaced only by a complete one, and
a failed recording leaves nothing behind."""

from __future__ import annotations

import contextlib
import os
import threading
from pathlib import Path
from typing import Any, Final

import numpy as np

from tavix._ring import Frames, Ring
from tavix.audio import _soundfile, _temporary_beside, writable_format  # pyright: ignore[reportPrivateUsage]

#: How much audio the ring holds while the writer is busy (a slow disk).
RING_SECONDS: Final = 4.0


class Recorder:
    def __init__(self, path: str | os.PathLike[str], rate: int, channels: int, *,
                 overwrite: bool) -> None:
        self.path: Final = Path(path)
        if writable_format(self.path) is None:
            raise ValueError(f"cannot record to {self.path}: no audio format for the extension "
                             f"{self.path.suffix!r} (for example .wav, .flac)")
        if self.path.exists() and not overwrite:
            raise FileExistsError(f"{self.path} exists (pass --overwrite to replace it)")
        self._ring = Ring(int(rate * RING_SECONDS), channels)
        self._chunk: Frames = np.zeros((rate // 10, channels), np.float32)
        self._interval = len(self._chunk) / rate / 2
        self._temporary = _temporary_beside(self.path)
        self._file: Any = _soundfile().SoundFile(os.fspath(self._temporary), "w", rate, channels,
                                                 format=writable_format(self.path))
        #: Frames the callback could not hand over because the ring was full.
        self.dropped = 0
        self.error: BaseException | None = None
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name=f"tavix record {self.path.name}",
                                        daemon=True)
        self._thread.start()

    def put(self, frames: Frames) -> None:
        """From the audio callback: copies `frames` for the writer; never waits."""
        if not self._ring.write(frames):
            self.dropped += len(frames)

    def _run(self) -> None:
        try:
            while not self._stop.wait(self._interval):
                self._drain()
            self._drain()
        except BaseException as error:  # reported by finish(); the callback goes on
            self.error = error

    def _drain(self) -> None:
        while count := self._ring.read_into(self._chunk):
            self._file.write(self._chunk[:count])

    def finish(self) -> None:
        """Writes the rest and puts the file in place; raises what went wrong
        (the file is then removed)."""
        self._stop.set()
        self._thread.join()
        try:
            self._file.close()
            if self.error is not None:
                raise OSError(f"cannot record to {self.path}: {self.error}") from self.error
            os.replace(self._temporary, self.path)
        finally:
            with contextlib.suppress(FileNotFoundError):
                self._temporary.unlink()
