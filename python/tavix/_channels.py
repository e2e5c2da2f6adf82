"""Audio with more channels than one processor of the SDK takes (it takes
mono or stereo): the channels are cut into pairs (and a last single one),
each pair goes through a stream of its own, and the outputs are put back
together sample-aligned.

What it costs: one processor per pair, so memory and start-up grow with the
channel count (on the cloud path, one remote pipeline per pair, each waited
for), and each block is copied twice more (split and merged). The pairs run
one after another on the calling thread. The output trails by the pairs'
largest latency, as it would with one processor. Channels of a pair are processed
together, as the SDK does with stereo; pairs know nothing of each other, so
a model that looks across channels sees only its pair."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Final, Protocol

import numpy as np

from _tavix_module import AudioFrame
from tavix._pump import Frames

#: The most channels one processor of the SDK takes.
MAX_PROCESSOR_CHANNELS: Final = 2


def channel_groups(channels: int) -> list[int]:
    """How many channels each processor gets: pairs, then a single one."""
    return [min(MAX_PROCESSOR_CHANNELS, channels - first)
            for first in range(0, channels, MAX_PROCESSOR_CHANNELS)]


class Part(Protocol):
    """What the split needs of the stream of a group of channels."""

    @property
    def cloud(self) -> bool: ...

    @property
    def latency(self) -> int | None: ...

    def process(self, audio: Frames) -> Frames: ...

    def close(self) -> None: ...


def open_split(open_part: Callable[[int], Part], channels: int, block: int) -> ChannelSplit:
    """A split over streams that `open_part(width)` opens in real-time mode
    with `block` frames, one per group of `channels`; those already open
    are closed if one fails to open."""
    groups = channel_groups(channels)
    parts: list[Part] = []
    try:
        for width in groups:
            parts.append(open_part(width))
    except BaseException:
        for part in parts:
            part.close()
        raise
    return ChannelSplit(parts, groups, block)


class ChannelSplit:
    """Takes the place of one processor for a stream with more channels than
    a processor takes. Each group's stream runs in real-time mode, so it
    returns as many frames as it is given, a fixed latency behind; once
    every group's latency is known, the zeros ahead of each group's output
    are cut and the groups leave together. To the stream on top this is a
    processor with one steady latency, the largest of the groups'.

    Frames come in whole multiples of `block` (the stream's own block, or
    the SDK's minimum), which the groups' streams take one at a time."""

    def __init__(self, parts: Sequence[Part], groups: Sequence[int], block: int) -> None:
        self._parts = list(parts)
        #: Whether the groups run on the cloud path (they all follow the same setting).
        self.cloud = parts[0].cloud
        self._block = block
        self._edges = np.cumsum([0, *groups])
        self._held: list[list[Frames]] = [[] for _ in parts]
        self._held_frames = [0] * len(parts)
        self._aligned = False

    def process_frame(self, frame: AudioFrame) -> AudioFrame:
        channels = int(self._edges[-1])
        samples = np.frombuffer(frame.samples, np.float32).reshape(-1, channels)
        for index, part in enumerate(self._parts):
            group = samples[:, self._edges[index]:self._edges[index + 1]]
            for start in range(0, len(group), self._block):
                block = np.ascontiguousarray(group[start:start + self._block])
                self._hold(index, part.process(block).reshape(len(block), -1))  # a mono part's is 1-D
        if not self._aligned:
            known = [part.latency for part in self._parts if part.latency is not None]
            if not known:
                return AudioFrame(np.empty(0, np.float32))
            # A group that has had only silence so far (a 5.1 file's unused
            # channel) has no latency of its own yet: its processor, of the
            # same model at the same rate, will have the others'.
            for index in range(len(self._parts)):
                self._take(index, max(known))
            self._aligned = True
        ready = min(self._held_frames)
        merged = np.empty((ready, channels), np.float32)
        for index in range(len(self._parts)):
            merged[:, self._edges[index]:self._edges[index + 1]] = self._take(index, ready)
        return AudioFrame(merged.reshape(-1))

    def _hold(self, index: int, frames: Frames) -> None:
        self._held[index].append(frames)
        self._held_frames[index] += len(frames)

    def _take(self, index: int, count: int) -> Frames:
        held = np.concatenate(self._held[index])
        self._held[index] = [held[count:]]
        self._held_frames[index] -= count
        return held[:count]

    def close(self) -> None:
        for part in self._parts:
            part.close()
