"""Transcripts as plain records, and the queue a stream delivers them in."""

from __future__ import annotations

import math
import threading
import time
import weakref
from collections import deque
from collections.abc import AsyncIterator, Callable, Generator, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import TYPE_CHECKING, Final, cast

from _tavix_module import TextFrame, TranscriptSegment, TranscriptType
from tavix._forked import abandon_in_forked_child

if TYPE_CHECKING:
    import asyncio

#: How many transcripts a queue keeps for a reader that falls behind, unless
#: told otherwise; beyond that the oldest are dropped (and counted).
DEFAULT_LIMIT: Final = 10_000

#: Waiting transcripts beyond which the reader counts as behind: a partial
#: transcript still waiting is then dropped as soon as a later one of its
#: utterance and kind arrives (as the SDK itself does), since the later one
#: replaces it anyway.
BACKLOG: Final = 64


def wait_time(seconds: float | None) -> float | None:
    """`seconds` as a lock or condition wait takes it: None (no limit) for
    infinity and for anything longer than the platform can wait at once."""
    if seconds is not None and math.isnan(seconds):
        raise ValueError("a timeout must be a number of seconds or None, not NaN")
    if seconds is None or seconds >= threading.TIMEOUT_MAX:
        return None
    return seconds


# Threads blocked in TranscriptQueue.get, with how many waits each: what
# interpreter exit waits for once it closed the streams. No lock: a thread
# only ever changes its own entry, and each dict operation is atomic.
_readers: dict[threading.Thread, int] = {}


def waiting_readers() -> list[threading.Thread]:
    """The threads waiting for a transcript now, of any queue."""
    return list(_readers)


@contextmanager
def _waiting_reader() -> Generator[None, None, None]:
    me = threading.current_thread()
    _readers[me] = _readers.get(me, 0) + 1
    try:
        yield
    finally:
        if _readers[me] == 1:
            del _readers[me]
        else:
            _readers[me] -= 1


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


#: A queued transcript, emptied when it is taken or dropped: the queue drops
#: a superseded partial in place, without searching for it.
_Slot = list[Transcript | None]


def _wake(future: asyncio.Future[None]) -> None:
    if not future.done():
        future.set_result(None)


class TranscriptQueue:
    """The transcripts of one stream, in the order the SDK delivered them.

    Iterating blocks for each next transcript and ends once the stream is
    closed (or released) and every transcript was taken; ``async for`` does
    the same without blocking the event loop. Several consumers may share a
    queue; each transcript goes to one of them.

    The queue is bounded for a reader that falls behind: once more than
    :data:`BACKLOG` transcripts wait, a waiting partial transcript is dropped
    when a later one of the same utterance and kind arrives, and at most
    `limit` transcripts are kept (the oldest go first). :attr:`dropped`
    counts both."""

    def __init__(self, offset: Callable[[], float] = lambda: 0.0, *,
                 limit: int = DEFAULT_LIMIT) -> None:
        given = cast(object, limit)  # checked as given: callers need not be typed
        if isinstance(given, bool) or not isinstance(given, int) or given < 1:
            raise ValueError(f"the transcript limit must be a positive number, got {limit!r}")
        self._offset = offset
        self.limit: Final = limit
        # Re-entrant: a signal handler or a finalizer may close the queue on
        # a thread that holds the lock.
        self._lock = threading.RLock()
        self._arrived = threading.Condition(self._lock)
        self._slots: deque[_Slot] = deque()
        self._waiting = 0  # transcripts in the slots
        self._partials: dict[tuple[TranscriptType, int], _Slot] = {}  # the latest, per utterance and kind
        self._dropped = 0
        self._closed = False
        # Weak: a loop closed while one of its tasks waited here must not be
        # kept alive by the queue.
        self._async_waiters: list[weakref.ref[asyncio.Future[None]]] = []
        abandon_in_forked_child(self, TranscriptQueue._abandon_after_fork)

    def put(self, frame: TextFrame) -> None:
        """Queues a frame; the SDK's transcript callback. Only enqueues and
        wakes waiters: it must never hold up the SDK's output thread."""
        transcripts = Transcript.from_frame(frame, self._offset())
        with self._lock:
            if self._closed:
                return
            for transcript in transcripts:
                self._add(transcript)
            self._arrived.notify_all()
        self._wake_async()

    def close(self) -> None:
        """Ends iteration once the queue is empty. Idempotent."""
        with self._lock:
            self._closed = True
            self._arrived.notify_all()
        self._wake_async()

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def dropped(self) -> int:
        """Transcripts dropped unread to keep the queue bounded."""
        return self._dropped

    def _abandon_after_fork(self) -> None:
        """In a forked child (see :mod:`tavix._forked`): the stream is the
        parent's, and a thread that held the lock at the fork is not
        there. Closed, with what it holds."""
        self._lock = threading.RLock()
        self._arrived = threading.Condition(self._lock)
        self._async_waiters.clear()
        self._closed = True

    def _add(self, transcript: Transcript) -> None:
        """Under the lock."""
        key = (transcript.kind, transcript.utterance)
        earlier = self._partials.get(key)
        if earlier is not None and self._waiting >= BACKLOG and self._take(earlier) is not None:
            self._dropped += 1
        slot: _Slot = [transcript]
        self._slots.append(slot)
        self._waiting += 1
        if transcript.final:
            self._partials.pop(key, None)
        else:
            self._partials[key] = slot
        while self._waiting > self.limit:
            if self._take(self._slots.popleft()) is not None:
                self._dropped += 1

    def _take(self, slot: _Slot) -> Transcript | None:
        """Under the lock: empties `slot`; what it held, if anything."""
        transcript, slot[0] = slot[0], None
        if transcript is not None:
            self._waiting -= 1
            key = (transcript.kind, transcript.utterance)
            if self._partials.get(key) is slot:
                del self._partials[key]
        return transcript

    def _pop(self) -> Transcript | None:
        """Under the lock: the next transcript, if any."""
        while self._slots:
            transcript = self._take(self._slots.popleft())
            if transcript is not None:
                return transcript
        return None

    def _wake_async(self) -> None:
        with self._lock:
            futures = [future for ref in self._async_waiters if (future := ref()) is not None]
        for future in futures:
            try:
                future.get_loop().call_soon_threadsafe(_wake, future)
            except RuntimeError:  # that loop is closed; its waiter is gone with it
                with self._lock:
                    self._async_waiters = [ref for ref in self._async_waiters if ref() is not future]

    def get(self, timeout: float | None = None) -> Transcript:
        """The next transcript, waiting for it up to `timeout` seconds
        (``None`` or ``math.inf``: as long as it takes). Raises
        ``TimeoutError`` when none came in time, and ``EOFError`` when the
        stream is closed and every transcript was taken."""
        limit = wait_time(timeout)
        deadline = None if limit is None else time.monotonic() + limit
        with self._lock:
            while True:
                transcript = self._pop()
                if transcript is not None:
                    return transcript
                if self._closed:
                    raise EOFError("the stream is closed and every transcript was taken")
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    raise TimeoutError(f"no transcript within {timeout} s")
                with _waiting_reader():
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
            future: asyncio.Future[None] | None = None
            with self._lock:
                transcript = self._pop()
                if transcript is None and not self._closed:
                    future = loop.create_future()
                    self._async_waiters = [ref for ref in self._async_waiters if ref() is not None]
                    self._async_waiters.append(weakref.ref(future))
            if transcript is not None:
                yield transcript
            elif future is None:
                return
            else:
                try:
                    await future
                finally:
                    with self._lock:
                        self._async_waiters = [ref for ref in self._async_waiters
                                               if ref() not in (None, future)]
