"""A fixed-size ring of audio frames for one writer and one reader.

The audio callback must not allocate or wait, so everything it hands on
goes through rings made before the stream starts. Each side only ever
advances its own counter (`written` by the writer, `read` by the reader)
and reads the other's, so the two need no lock: under the interpreter lock
an int attribute is replaced whole, and the samples are copied in before
`written` moves past them."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

#: Audio as (frames, channels) float32.
Frames = npt.NDArray[np.float32]


class Ring:
    def __init__(self, capacity: int, channels: int) -> None:
        self._buffer: Frames = np.zeros((capacity, channels), np.float32)
        self.capacity = capacity
        self.written = 0  # frames ever written; advanced by the writer only
        self.read = 0  # frames ever read; advanced by the reader only

    def __len__(self) -> int:
        return self.written - self.read

    def free(self) -> int:
        return self.capacity - (self.written - self.read)

    def write(self, frames: Frames) -> bool:
        """Copies all of `frames` in, or nothing (False) when they do not fit."""
        count = len(frames)
        if count > self.free():
            return False
        start = self.written % self.capacity
        first = min(count, self.capacity - start)
        self._buffer[start:start + first] = frames[:first]
        if first < count:
            self._buffer[:count - first] = frames[first:]
        self.written += count
        return True

    def write_silence(self, count: int) -> None:
        start = self.written % self.capacity
        first = min(count, self.capacity - start)
        self._buffer[start:start + first] = 0
        if first < count:
            self._buffer[:count - first] = 0
        self.written += count

    def read_into(self, out: Frames) -> int:
        """Fills `out` from the oldest frames, as many as there are; returns
        how many were copied."""
        count = min(len(out), len(self))
        start = self.read % self.capacity
        first = min(count, self.capacity - start)
        out[:first] = self._buffer[start:start + first]
        if first < count:
            out[first:count] = self._buffer[:count - first]
        self.read += count
        return count
