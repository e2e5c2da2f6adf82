"""Feeding an AudioProcessor from blocks of any length and putting what it
returns back in line with what went in.

The SDK takes frames of at least 20 ms, returns output ``latency`` frames
behind its input, and treats an all-zero frame as silence that it holds
back: the audio before it still comes out, the silence itself only when
audio resumes, and at most ``latency`` frames of it. A pump hides all of
that. It pushes fixed-size chunks and keeps its own count of how many
output frames are due after each push: ``frames pushed - latency``. When
the processor returns fewer, the missing frames are silence that it cut
(audio is always returned as soon as it is due, so only silence can be
short) and the pump puts zeros in their place; when it later returns more
than is due, those are late frames standing where zeros were already put,
and the pump drops as many. Either way every input frame yields exactly one
output frame, in order.

The latency is learnt from the first output rather than assumed, so the
vendor's timing works unchanged. That is only exact if the processor's
stream starts with audio (leading silence longer than the latency would be
cut before anything comes out, hiding the latency), so leading all-zero
chunks never reach the processor: they are their own output."""

from __future__ import annotations

from collections import deque
from collections.abc import Callable

import numpy as np
import numpy.typing as npt

from _tavix_module import AudioFrame

#: Audio as (frames, channels) float32; mono audio may also be 1-D.
Frames = npt.NDArray[np.float32]

#: Pushes one frame into a processor and returns what came out.
ProcessFrame = Callable[[AudioFrame], AudioFrame]

#: How much silence a drain may push, in chunks, before giving up on a
#: processor that never returns anything (20 ms chunks: 10 s).
DRAIN_LIMIT_CHUNKS = 500


#: What a mono push that only waits returns views of: a new empty array
#: each (its flags are the caller's), cheaper made than by slicing.
_NO_FRAMES: Frames = np.zeros(0, np.float32)


def silence(frames: int, channels: int) -> Frames:
    return np.zeros((frames, channels), np.float32)


class FrameQueue:
    """Output frames in input order; takes hand the caller new arrays.

    With :meth:`write_into`, every frame appended from then on is written
    into one array the caller made, in order, and takes return views of it:
    no piece is kept and nothing is joined, so a whole signal needs no memory
    beyond its output."""

    def __init__(self, channels: int) -> None:
        self._channels = channels
        self._chunks: deque[Frames] = deque()
        self._into: Frames | None = None
        self.size = 0  # frames in the queue; what len() gives, without the call
        self.appended = 0  # frames ever appended: the head's index is appended - size

    def __len__(self) -> int:
        return self.size

    def write_into(self, into: Frames) -> None:
        if self.appended:
            raise RuntimeError("write_into must come before the first frame")
        self._into = into

    def append(self, frames: Frames) -> None:
        if len(frames):
            if self._into is None:
                self._chunks.append(frames)
            else:
                self._into[self.appended:self.appended + len(frames)] = frames
            self.size += len(frames)
            self.appended += len(frames)

    def take(self, count: int) -> Frames:
        """The first min(count, len(self)) frames, removed, as a new array
        (a view of the array written into, with :meth:`write_into`)."""
        count = min(count, self.size)
        if not count:
            return silence(0, self._channels)
        if self._into is not None:
            head = self.appended - self.size
            self.size -= count
            return self._into[head:head + count]
        head_chunk = self._chunks[0] if self._chunks else None
        if head_chunk is not None and len(head_chunk) >= count:
            # The common case, one frame's output or less: a slice of it,
            # copied (the processor's output is a read-only view).
            self.size -= count
            if len(head_chunk) == count:
                return self._chunks.popleft().copy()
            self._chunks[0] = head_chunk[count:]
            return head_chunk[:count].copy()
        pieces: list[Frames] = []
        left = count
        while left:
            head_chunk = self._chunks[0]
            if len(head_chunk) <= left:
                pieces.append(self._chunks.popleft())
                left -= len(head_chunk)
            else:
                pieces.append(head_chunk[:left])
                self._chunks[0] = head_chunk[left:]
                left = 0
        self.size -= count
        if not pieces:
            return silence(0, self._channels)
        return np.concatenate(pieces)

    def discard(self, count: int) -> None:
        self.take(count)

    def restore(self, frames: Frames) -> None:
        """Puts back at the head `frames` that were counted as appended but
        held outside the queue, none of them handed out."""
        self._chunks.appendleft(frames)
        self.size += len(frames)


class Pump:
    """Buffers, pushes and realigns the audio of one processor.

    Without ``block`` each :meth:`push` returns every output frame that is
    ready, starting with the first input frame's. With ``block=N`` each push
    takes exactly N frames and returns exactly N: the output delayed by
    :attr:`latency` frames, zeros before that."""

    def __init__(self, process_frame: ProcessFrame, channels: int, min_frames: int, *,
                 block: int | None = None, drain_limit_chunks: int = DRAIN_LIMIT_CHUNKS,
                 on_start: Callable[[int], object] = lambda start: None) -> None:
        self._process_frame = process_frame
        self._on_start = on_start
        self.channels = channels
        self.block = block
        if block is None:
            self.chunk = min_frames
        else:
            # A whole number of blocks, so pushes happen on block boundaries
            # and the delay stays the same from one call to the next.
            self.chunk = block if block >= min_frames else -(-min_frames // block) * block
        # What goes alone when all zeros (the SDK's silence comes as whole
        # frames): the chunk itself, unless lengthened.
        self._unit = self.chunk
        self._drain_limit = drain_limit_chunks * self.chunk
        # Input short of a chunk waits here for the next push: the first
        # `_staged` frames. Room for a chunk and a block beside it, so a
        # block completing a chunk is copied once, not joined to a new array.
        self._allocate_staging(2 * self.chunk)
        self._staged = 0
        self._ready = FrameQueue(channels)
        self.frames_in = 0
        self._fed = 0  # input frames pushed or passed over as leading silence
        #: Input index of the first frame the processor was given.
        self.start: int | None = None
        self._pushed = 0  # frames the processor was given
        #: Frames by which the processor's output trails its input.
        self.processor_latency: int | None = None
        self._delay: int | None = None  # latency, once known: read on every block
        self._produced = 0  # output positions filled, in processor time
        self._owed = 0  # zeros put in place of frames that may still come late
        self._end: int | None = None  # processor-time position where the input ends
        self._returned = 0
        self.finished = False
        self._whole = False  # process_whole: every output frame goes into its array
        # Whether a chunk's output may skip the queue: the stream runs (its
        # start and latency known), neither process_whole nor flush is
        # under way. Set where the latency is learnt rather than tested item
        # by item on every block.
        self._steady = False
        # Real-time mode's last output, a new array, when it came in step
        # with the queue empty: its blocks go out as slices of it, the
        # first `_held_at` frames already out. While it is set the queue is
        # empty; whatever leaves this path puts the rest back first.
        self._held: Frames | None = None
        self._held_at = 0

    def lengthen_chunk(self, factor: int) -> None:
        """Pushes `factor` chunks' frames per call from now on: fewer calls,
        each with its own interpreter-lock round trip and bookkeeping, for
        input no caller waits on chunk by chunk (a file). Only before the
        first input and outside real-time mode, whose timing it would change."""
        if self.frames_in or self.block is not None:
            raise RuntimeError("the chunk is set before the first input, outside real-time mode")
        self.chunk *= factor
        self._allocate_staging(2 * self.chunk)

    def _allocate_staging(self, frames: int) -> None:
        self._staging = silence(frames, self.channels)
        self._staging_mono = self._staging.reshape(-1)  # the same memory, for push_mono
        # What push_mono sends when the staging completes a chunk: made once,
        # as AudioFrame reads the array it is given without a copy.
        self._staging_chunk = self._staging_mono[:self.chunk]
        # Its rest after a push moves to the front through a memoryview:
        # half what NumPy's slice assignment costs, for memory known to be
        # contiguous float32 on both sides.
        self._staging_memory = memoryview(self._staging_mono)

    @property
    def latency(self) -> int | None:
        """Frames between an input frame and its output frame, once known:
        the processor's latency, plus in block mode the frames buffered
        until a whole chunk is there."""
        if self.processor_latency is None:
            return None
        if self.block is None:
            return self.processor_latency
        return self.processor_latency + self.chunk - self.block

    def push(self, frames: Frames) -> Frames:
        if self.finished:
            raise RuntimeError("the stream was flushed: it takes no more audio")
        if self._held is not None:
            self._restore_held()
        count = len(frames)
        if self.block is not None and count != self.block:
            raise ValueError(f"real-time mode takes exactly {self.block} frames per call, got {count}")
        self.frames_in += count
        staged = self._staged
        if staged + count < self.chunk:
            # Still short of a chunk (most calls with short blocks): kept.
            self._staging[staged:staged + count] = frames
            self._staged = staged + count
            if self.block is None:
                return self._staging[:0]  # nothing is ready: each push took all there was
        elif staged + count < 2 * self.chunk:
            # Exactly one chunk to push (every block that completes one:
            # 20 ms blocks, or short blocks with the staged frames), the
            # staging's room allowing; refused, all of it waits for the next
            # call like any rest.
            chunk = self.chunk
            if staged:
                self._staging[staged:staged + count] = frames
                buffer = self._staging
            else:
                buffer = frames
            try:
                # A 20 ms block as it is: no slice of it made, none staged.
                alone = self._push_alone(frames if count == chunk and not staged else buffer[:chunk])
            except BaseException:
                if staged:
                    self._staged = staged + count
                else:
                    self._stage(frames)
                raise
            if staged + count > chunk:
                self._stage(buffer[chunk:staged + count])
            else:
                self._staged = 0
            if alone is not None:
                return alone
        else:
            self._push_chunks(frames, staged)
        if self.block is None:
            return self._ready.take(self._ready.size)
        return self._next_block(self.block)

    def push_mono(self, samples: Frames) -> Frames:
        """:meth:`push` for a mono pump of 1-D float32 `samples` in any
        strides, returning 1-D output. A stream given mono blocks calls this
        for every block: a block that waits in the staging, and once the
        stream runs a block that completes one chunk, go without the 2-D
        views and reshapes of push()."""
        count, staged, chunk, block = len(samples), self._staged, self.chunk, self.block
        total = staged + count
        if total < chunk and not self.finished and (block is None or count == block):
            # Still short of a chunk (most calls with short blocks): kept.
            self._staging_mono[staged:total] = samples
            self._staged = total
            self.frames_in += count
            if block is None:
                return _NO_FRAMES.view()  # nothing is ready; a new array (a caller may reshape it)
            held, at = self._held, self._held_at
            if held is not None and at + count <= len(held):
                # Real time, in step: the next slice of the last push's
                # output (a new array's own part, handed out once).
                self._held_at = at + count
                self._returned += count
                return held[at:at + count]
            if held is not None:
                self._restore_held()
            return self._next_block(count).reshape(-1)
        if self._steady and total < 2 * chunk and chunk == self._unit and (block is None or count == block):
            return self._push_mono_chunk(samples, staged, total)
        # Several chunks, a stream not yet running, or a refusal (push's own errors).
        return self.push(np.ascontiguousarray(samples).reshape(-1, 1)).reshape(-1)

    def _push_mono_chunk(self, samples: Frames, staged: int, total: int) -> Frames:
        """Pushes the staged frames and `samples`, exactly one chunk and a
        rest, for a steady mono pump. Output in step with an empty queue
        goes to the caller as it came (every such call once a stream runs);
        anything else is put in line through the queue as usual."""
        chunk, count = self.chunk, total - staged
        if staged:
            given = self._staging_mono
            given[staged:total] = samples
            pushed = self._staging_chunk
        else:
            # A block of exactly one chunk goes as it is: no slice of it.
            given, pushed = samples, samples if count == chunk else samples[:chunk]
        self.frames_in += count
        try:
            out = self._process_frame(AudioFrame(pushed))
        except BaseException:
            # All of it waits for the next call, as after any refused push.
            if staged:
                self._staged = total
            else:
                self._stage(samples.reshape(-1, 1))
            raise
        self._pushed += chunk
        self._fed += chunk
        if total > chunk:
            if staged:
                self._staging_memory[:total - chunk] = self._staging_memory[chunk:total]
            else:
                self._staging_mono[:total - chunk] = given[chunk:total]
        self._staged = total - chunk
        got = np.array(out.samples)  # the caller's own copy of the processor's read-only view
        if self._held is not None:
            self._restore_held()
        ready, produced = self._ready, self._produced + len(got)
        latency, delay = self.processor_latency, self._delay
        assert latency is not None and delay is not None  # known once steady (not typing.cast: a call)
        if not ready.size and produced == self._pushed - latency:
            block = self.block
            if block is None:
                self._produced = produced
                ready.appended += len(got)
                return got
            if self._returned - delay == ready.appended and len(got) >= block:
                # Real time: this block is the output's first, the next
                # ones its next slices (see push_mono).
                self._produced = produced
                ready.appended += len(got)
                self._held, self._held_at = got, block
                self._returned += block
                return got[:block]
        self._receive(got.reshape(-1, 1))
        if self.block is None:
            return ready.take(ready.size).reshape(-1)
        return self._next_block(count).reshape(-1)

    def _restore_held(self) -> None:
        """Puts the held output's frames not handed out back in the queue,
        before anything else goes through it."""
        held = self._held
        self._held = None
        # A push comes when all of it went out: then there is nothing to slice.
        if held is not None and self._held_at < len(held):
            self._ready.restore(held[self._held_at:].reshape(-1, 1))

    def _push_chunks(self, frames: Frames, staged: int) -> None:
        """Pushes the staged frames and `frames` in chunks and stages what
        is left over."""
        chunk = self.chunk
        if not staged:
            buffer = frames
        elif staged + len(frames) <= len(self._staging):
            self._staging[staged:staged + len(frames)] = frames
            buffer = self._staging[:staged + len(frames)]
        else:
            buffer = np.concatenate((self._staging[:staged], frames))
        full = len(buffer) - len(buffer) % chunk
        done = 0
        try:
            while done < full:
                self._push_chunk(buffer[done:done + chunk])
                done += chunk
        finally:
            # Whatever was not pushed (all of it if the processor refused a
            # chunk) waits for the next call; copied, as it may be the
            # caller's array.
            self._stage(buffer[done:])

    def _stage(self, rest: Frames) -> None:
        if not len(rest):
            self._staged = 0
            return
        if len(rest) > len(self._staging):
            self._allocate_staging(len(rest))
        # May overlap the staging itself, which numpy's assignment allows for.
        self._staging[:len(rest)] = rest
        self._staged = len(rest)

    def flush(self) -> Frames:
        """Drains the processor and returns the rest of the output; after
        this the pump takes no more input."""
        if self.finished:
            return silence(0, self.channels)
        self.finished = True
        self._steady = False
        if self._held is not None:
            self._restore_held()
        pending = self._staging[:self._staged].copy()
        self._staged = 0
        if self.start is None and not pending.any():
            self._ready.append(pending)  # the input was silence throughout
        else:
            start = self._fed if self.start is None else self.start
            if self.start is None:
                self._set_start(start)
            end = self._end = self.frames_in - start
            if pending.any():
                chunk = silence(self.chunk, self.channels)
                chunk[:len(pending)] = pending
                self._push_held(chunk)
            # Pending silence needs no push of its own: the drain is silence.
            drain = silence(self.chunk, self.channels)
            drained = 0
            while self._produced < end:
                if drained >= self._drain_limit:
                    raise RuntimeError(
                        f"the processor returned no audio for {drained} frames of silence after "
                        f"the input; were its frames ({self.chunk} per channel) below its minimum?")
                self._push_held(drain)
                drained += self.chunk
        if self.block is None:
            return self._ready.take(self._ready.size)
        latency = self.latency
        if latency is None:
            return silence(0, self.channels)
        return self._next_block(self.frames_in + latency - self._returned)

    def process_whole(self, frames: Frames) -> Frames:
        """All of `frames` pushed and the processor drained: the output, as
        long as the input, written into one array as it comes out."""
        out = np.empty((len(frames), self.channels), np.float32)
        self._ready.write_into(out)
        self._whole = True
        self.push(frames)
        self.flush()
        if self._ready.appended != len(frames):  # never left with frames unwritten
            raise RuntimeError(f"the processor's output came to {self._ready.appended} frames "
                               f"for {len(frames)} of input")
        return out

    def _push_alone(self, chunk: Frames) -> Frames | None:
        """Pushes `chunk`, the call's only one. Its output, when that is
        exactly the frames due and nothing is queued before it (every such
        call once a stream runs), is returned to go to the caller as it is;
        anything else is queued as usual."""
        if (not self._steady or self.block is not None or self._ready.size
                or (len(chunk) > self._unit and self._has_silent_frame(chunk))):
            self._push_chunk(chunk)
            return None
        got = self._submit(chunk)
        self._fed += len(chunk)
        if not self._in_step(len(got)):
            self._receive(got)
            return None
        return got.copy()  # the processor's output is a read-only view

    def _in_step(self, got: int) -> bool:
        """Whether the last push's `got` output frames are exactly the
        frames due; if so they are counted as produced and handed out."""
        latency = self.processor_latency
        if latency is None or self._produced + got != self._pushed - latency:
            return False
        self._produced += got
        self._ready.appended += got
        return True

    def _has_silent_frame(self, chunk: Frames) -> bool:
        """Whether a lengthened chunk holds an all-zero frame of the SDK's
        minimum. The SDK holds such a frame back as silence only when it
        comes alone, and the leading ones never reach it: so those chunks go
        frame by frame, and the output stays what 20 ms pushes give."""
        unit = self._unit
        return len(chunk) > unit and not chunk.reshape(-1, unit * self.channels).any(axis=1).all()

    def _push_held(self, chunk: Frames) -> None:
        """Pushes `chunk` after the input's end (the rest and the drain)."""
        if self._has_silent_frame(chunk):
            for begin in range(0, len(chunk), self._unit):
                self._receive(self._submit(chunk[begin:begin + self._unit]))
        else:
            self._receive(self._submit(chunk))

    def _push_chunk(self, chunk: Frames) -> None:
        if len(chunk) > self._unit and self._has_silent_frame(chunk):  # the call only when lengthened
            for begin in range(0, len(chunk), self._unit):
                self._push_chunk(chunk[begin:begin + self._unit])
            return
        if self.start is None:
            if not chunk.any():
                self._ready.append(chunk.copy())
                self._fed += len(chunk)
                return
            self._set_start(self._fed)
        self._receive(self._submit(chunk))
        self._fed += len(chunk)

    def _set_start(self, start: int) -> None:
        self.start = start
        self._on_start(start)

    def _submit(self, chunk: Frames) -> Frames:
        """Pushes `chunk`; returns what came out, not yet put in line."""
        out = self._process_frame(AudioFrame(chunk.reshape(-1)))
        self._pushed += len(chunk)
        got: Frames = np.frombuffer(out.samples, np.float32).reshape(-1, self.channels)
        return got

    def _receive(self, got: Frames) -> None:
        if self.processor_latency is None:
            if not len(got):
                return
            self.processor_latency = self._pushed - len(got)
            self._delay = self.latency
            self._steady = not (self._whole or self.finished)
        due = self._pushed - self.processor_latency
        if self._produced + len(got) == due and self._end is None:
            # In step with the input: no frame late, none cut, none past the end.
            self._ready.append(got)
            self._produced = due
            return
        excess = self._produced + len(got) - due
        if excess > 0 and self._owed:
            late = min(excess, self._owed)
            got = got[late:]
            self._owed -= late
        self._produce(got)
        if self._produced < due:
            gap = due - self._produced
            self._produce(silence(gap, self.channels))
            self._owed += gap

    def _produce(self, frames: Frames) -> None:
        if self._end is not None:
            # Past the end of the input is the flush's own padding.
            frames = frames[:max(0, self._end - self._produced)]
        self._ready.append(frames)
        self._produced += len(frames)

    def _next_block(self, count: int) -> Frames:
        """Output frames [returned, returned + count) of the delayed stream."""
        delay, ready = self._delay, self._ready
        if (delay is not None and self._returned - delay == ready.appended - ready.size
                and ready.size >= count):
            # In step (every block once the output started): the queue's head.
            self._returned += count
            return ready.take(count)
        latency = self.latency
        if latency is None:  # nothing came out yet
            self._returned += count
            return silence(count, self.channels)
        first = self._returned - latency
        self._returned += count
        lead = min(count, max(0, -first))  # before the first output: zeros
        position = first + lead
        head = self._ready.appended - len(self._ready)
        if position > head:
            # Frames that were due while the latency was unknown were zeros
            # of the leading silence and went out as such.
            self._ready.discard(position - head)
            head = self._ready.appended - len(self._ready)
        if head != position:
            return silence(count, self.channels)
        taken = self._ready.take(count - lead)
        if len(taken) == count:
            return taken  # a new array already (no write_into in real-time mode)
        out = silence(count, self.channels)
        out[lead:lead + len(taken)] = taken
        return out
