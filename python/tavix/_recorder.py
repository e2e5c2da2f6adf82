"""Writing live audio to a file without holding up the audio callback.

The callback only copies its block into a :class:`Ring`; a thread of the
recorder's own takes the frames from there and writes them, through a
:class:`StagedOutput`: an existing file is replaced only by a complete
recording, and a failed one leaves nothing behind."""

from __future__ import annotations

import os
import threading
from pathlib import Path
from typing import Final

import numpy as np

from tavix._output_rules import output_format
from tavix._ring import Frames, Ring
from tavix._soundfile import load_soundfile
from tavix._staged_output import StagedOutput

#: How much audio the ring holds while the writer is busy (a slow disk).
RING_SECONDS: Final = 4.0


class Recorder:
    def __init__(self, path: str | os.PathLike[str], rate: int, channels: int, *,
                 overwrite: bool) -> None:
        self.path: Final = Path(path)
        out_format = output_format(self.path, overwrite=overwrite)
        self._overwrite = overwrite
        self._ring = Ring(int(rate * RING_SECONDS), channels)
        self._chunk: Frames = np.zeros((rate // 10, channels), np.float32)
        self._interval = len(self._chunk) / rate / 2
        self._output = StagedOutput(load_soundfile(), self.path, rate, channels, out_format, None)
        #: Frames the callback could not hand over because the ring was full.
        self.dropped = 0
        self._error: BaseException | None = None
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
            self._error = error

    def _drain(self) -> None:
        while count := self._ring.read_into(self._chunk):
            self._output.write(self._chunk[:count])

    def _join(self) -> None:
        self._stop.set()
        self._thread.join()

    def finish(self) -> None:
        """Writes the rest and puts the file in place; raises ``OSError`` when
        it could not be written (and removes what was)."""
        self._join()
        if self._error is not None:
            self._output.discard()
            if isinstance(self._error, OSError):
                raise self._error
            raise OSError(f"cannot record to {self.path}: {self._error}") from self._error
        self._output.commit(overwrite=self._overwrite)

    def discard(self) -> None:
        """Stops and removes the recording."""
        self._join()
        self._output.discard()
