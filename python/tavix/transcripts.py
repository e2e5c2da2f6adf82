"""Transcripts as plain records, and the queue a stream delivers them in."""

from __future__ import annotations

import threading
import time
from collections import deque
from collections.abc import AsyncIterator, Callable, Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING

from _tavix_module import TextFrame, TranscriptSegment, TranscriptType

if TYPE_CHECKING:
    import asyncio


def _seconds(text: str) -> float:
    """A segment time: seconds as text ("0.102"), or [h:]m:s; NaN when it is
    neither, so one odd time never costs the transcript."""
    try:
        return float(text)
    except ValueError:
        pass
    try:
        seconds = 0.0
        for part in text.split(":"):
            seconds = seconds * 60 + float(part)
        return seconds
    except ValueError:
        return float("nan")


@dataclass(frozen=True, slots=True)
class Transcript:
    """One transcript segment: what was recognised (``TRANSCRIPTION``) or
    its translation (``TRANSLATION``).

    ``final`` is False while the utterance runs (a later transcript of the
    same ``utterance`` and ``kind`` replaces it) and True once it ended.
    ``start`` and ``end`` are seconds from the start of the stream."""

    kind: TranscriptType
    language: str
    text: str
    final: bool
    utterance: int
    start: float
    end: float
    confidence: float

    @classmethod
    def from_frame(cls, frame: TextFrame, offset: float = 0.0) -> list[Transcript]:
        """The segments of an SDK ``TextFrame``, complete ones first; `offset`
        seconds are added to the times."""
        data = frame.transcript_data_

        def one(segment: TranscriptSegment, final: bool) -> Transcript:
            return cls(frame.type_, data.language_code_, segment.text, final, data.utterance_idx,
                       _seconds(segment.start) + offset, _seconds(segment.end) + offset,
                       segment.probability)

        return [one(s, True) for s in data.complete] + [one(s, False) for s in data.partial]

    def __repr__(self) -> str:
        return (f"Transcript(kind={self.kind.name}, language={self.language!r}, text={self.text!r}, "
                f"final={self.final}, utterance={self.utterance}, start={self.start:.3f}, "
                f"end={self.end:.3f}, confidence={self.confidence:.2f})")


def _wake(future: asyncio.Future[None]) -> None:
    if not future.done():
        future.set_result(None)


def _wake_all(waiters: list[tuple[asyncio.AbstractEventLoop, asyncio.Future[None]]]) -> None:
    for loop, future in waiters:
        try:
            loop.call_soon_threadsafe(_wake, future)
        except RuntimeError:  # that loop is closed; its waiter is gone with it
            pass


class TranscriptQueue:
    """The transcripts of one stream, in the order the SDK delivered them.

    Iterating blocks for each next transcript and ends once the stream is
    closed and every transcript was taken; ``async for`` does the same
    without blocking the event loop. Several consumers may share a queue;
    each transcript goes to one of them."""

    def __init__(self, offset: Callable[[], float] = lambda: 0.0) -> None:
        self._offset = offset
        self._lock = threading.Lock()
        self._arrived = threading.Condition(self._lock)
        self._frames: deque[TextFrame] = deque()
        self._ready: deque[Transcript] = deque()
        self._closed = False
        self._async_waiters: list[tuple[asyncio.AbstractEventLoop, asyncio.Future[None]]] = []

    def put(self, frame: TextFrame) -> None:
        """Queues a frame; the SDK's transcript callback. Only enqueues and
        wakes waiters: it must never hold up the SDK's output thread."""
        with self._lock:
            if self._closed:
                return
            self._frames.append(frame)
            self._arrived.notify_all()
            waiters = list(self._async_waiters)
        _wake_all(waiters)

    def close(self) -> None:
        """Ends iteration once the queue is empty. Idempotent."""
        with self._lock:
            self._closed = True
            self._arrived.notify_all()
            waiters = list(self._async_waiters)
        _wake_all(waiters)

    @property
    def closed(self) -> bool:
        return self._closed

    def _pop(self) -> Transcript | None:
        """Under the lock: the next transcript, if any."""
        while not self._ready and self._frames:
            self._ready.extend(Transcript.from_frame(self._frames.popleft(), self._offset()))
        return self._ready.popleft() if self._ready else None

    def get(self, timeout: float | None = None) -> Transcript:
        """The next transcript, waiting for it up to `timeout` seconds
        (``None``: as long as it takes). Raises ``TimeoutError`` when none
        came in time, and ``EOFError`` when the stream is closed and every
        transcript was taken."""
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._lock:
            while True:
                transcript = self._pop()
                if transcript is not None:
                    return transcript
                if self._closed:
                    raise EOFError("the stream is closed and every transcript was taken")
                if deadline is None:
                    self._arrived.wait()
                else:
                    left = deadline - time.monotonic()
                    if left <= 0:
                        raise TimeoutError(f"no transcript within {timeout} s")
                    self._arrived.wait(left)

    def __iter__(self) -> Iterator[Transcript]:
        while True:
            try:
                yield self.get()
            except EOFError:
                return

    async def __aiter__(self) -> AsyncIterator[Transcript]:
        import asyncio

        loop = asyncio.get_running_loop()
        while True:
            waiter: tuple[asyncio.AbstractEventLoop, asyncio.Future[None]] | None = None
            with self._lock:
                transcript = self._pop()
                if transcript is None and not self._closed:
                    waiter = (loop, loop.create_future())
                    self._async_waiters.append(waiter)
            if transcript is not None:
                yield transcript
            elif waiter is None:
                return
            else:
                try:
                    await waiter[1]
                finally:
                    with self._lock:
                        self._async_waiters.remove(waiter)
