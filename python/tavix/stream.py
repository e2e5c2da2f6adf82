"""A processor as a stream: audio blocks of any length in, processed audio
out, transcripts in a queue."""

from __future__ import annotations

import atexit
import os
import sys
import threading
import time
import weakref
from collections.abc import Callable
from contextlib import ExitStack
from typing import Final, TypeVar, cast

import numpy as np
import numpy.typing as npt

from _tavix_module import (
    AudioAttributes,
    AudioProcessor,
    LanguageTranslationConfig,
    PipelineState,
    ProcessorAttributes,
    Sdk,
)
from tavix._channels import MAX_PROCESSOR_CHANNELS, open_split
from tavix._closing import Closing
from tavix._forked import abandon_in_forked_child
from tavix._module_messages import is_no_processor
from tavix._pump import Frames, Pump
from tavix.transcripts import DEFAULT_LIMIT, TranscriptQueue, wait_time, waiting_readers

__all__ = ["ModelRefusedError", "Stream", "open_stream", "process_signal"]

#: The module reads this when AudioAttributes is built: exactly "1" selects
#: the local path, anything else (or unset) the cloud path.
LOCAL_INFERENCING_VARIABLE: Final = "TAVIX_LOCAL_INFERENCING"

#: The SDK drops shorter frames.
MIN_FRAME_MS: Final = 20

#: Input no caller waits on frame by frame (a file, a whole signal) goes to
#: the SDK this many times its 20 ms minimum per call: with 20 ms, a tenth of
#: a file's time went to the Python work and interpreter-lock round trip
#: around each call, which also kept two files on two threads (``--jobs 2``)
#: from running side by side. Frames of digital silence still go alone, so
#: the output is what 20 ms pushes give.
LONG_PUSH_FACTOR: Final = 10

# The environment variable is the only switch between the paths, so threads
# that build attributes at the same time must not see each other's setting.
_path_lock = threading.Lock()


def _audio_attributes(rate: int, channels: int, model: str, cloud: bool | None,
                      on_state: Callable[[PipelineState], object]) -> tuple[AudioAttributes, bool]:
    """The attributes and whether they select the cloud path."""
    with _path_lock:
        previous = os.environ.get(LOCAL_INFERENCING_VARIABLE)
        if cloud is not None:
            os.environ[LOCAL_INFERENCING_VARIABLE] = "0" if cloud else "1"
        try:
            on_cloud = os.environ.get(LOCAL_INFERENCING_VARIABLE) != "1"
            attrs = AudioAttributes(rate, channels, model, audio_pipeline_state_notify=on_state)
        finally:
            if cloud is not None:
                if previous is None:
                    del os.environ[LOCAL_INFERENCING_VARIABLE]
                else:
                    os.environ[LOCAL_INFERENCING_VARIABLE] = previous
    return attrs, on_cloud


def min_frames(rate: int) -> int:
    """The fewest frames per channel the SDK accepts in one push: 20 ms."""
    return -(-rate * MIN_FRAME_MS // 1000)


_FLOAT32: Final = np.dtype(np.float32)


def as_frames(audio: npt.ArrayLike, channels: int | None) -> tuple[Frames, bool]:
    """`audio` as C-contiguous (frames, channels) float32, and whether it
    was 1-D. Refuses what is not float audio of that layout."""
    if (type(audio) is np.ndarray and audio.dtype is _FLOAT32 and audio.ndim == 1
            and channels in (None, 1) and audio.flags.c_contiguous):
        # What a stream is given block after block: no check below applies.
        return audio.reshape(-1, 1), True
    array = np.asarray(audio)
    if array.dtype.kind in "iub":
        raise TypeError(f"audio must be floating point, got {array.dtype} samples: scale integer PCM "
                        "to floats in [-1, 1] first (for int16, audio / 32768)")
    if array.dtype.kind != "f":
        raise TypeError(f"audio must be an array of floats in [-1, 1], got {array.dtype}")
    if array.ndim == 1:
        if channels not in (None, 1):
            raise ValueError(f"a 1-D array is mono, but the stream has {channels} channels: pass "
                             f"(frames, {channels}) audio, or reshape interleaved samples with "
                             f"audio.reshape(-1, {channels})")
        array = array.reshape(-1, 1)
        flat = True
    elif array.ndim == 2:
        if channels is not None and array.shape[1] != channels:
            raise ValueError(f"audio of shape {array.shape} has {array.shape[1]} channels, "
                             f"the stream has {channels}: pass (frames, {channels}) audio")
        flat = False
    else:
        raise ValueError(f"audio must be 1-D (mono) or 2-D (frames, channels), got shape {array.shape}")
    return np.ascontiguousarray(array, np.float32), flat


#: What Stream._while_open pushes: audio, or for a flush the pump itself.
_Given = TypeVar("_Given")


def _flush(pump: Pump) -> Frames:
    return pump.flush()


class ModelRefusedError(RuntimeError):
    """The SDK made no processor for the model: it is not installed, or the
    activated key is not entitled to it. ``model`` is the name asked for
    (``"translation"`` for the translation pipeline)."""

    def __init__(self, model: str, reason: str) -> None:
        self.model: Final = model
        super().__init__(f"model {model!r} refused: {reason}")


class _Events:
    """What the SDK's threads call into. Holds no reference to the stream or
    the processor, so a dropped stream is not kept alive by its callbacks."""

    def __init__(self, transcript_limit: int = DEFAULT_LIMIT) -> None:
        #: Seconds of input before the first frame the SDK was given: its
        #: transcript times count from that frame.
        self.offset = 0.0
        self.transcripts = TranscriptQueue(lambda: self.offset, limit=transcript_limit)
        self.changed = threading.Condition()
        self.state = PipelineState.UNKNOWN
        #: Set when the stream starts to close, before it joins the SDK's
        #: thread: a callback that waits on that thread must let go by then
        #: (the tests hold TRYING this way to keep a pipeline from running).
        self.closing = threading.Event()
        abandon_in_forked_child(self, _Events._abandon_after_fork)

    def on_state(self, state: PipelineState) -> None:
        with self.changed:
            self.state = state
            self.changed.notify_all()

    def wait_for_start(self, timeout: float) -> PipelineState:
        """Waits until the pipeline runs or stopped, or `timeout` passed
        (``math.inf``: as long as it takes); returns the state then."""
        with self.changed:
            self.changed.wait_for(
                lambda: self.state in (PipelineState.RUNNING, PipelineState.NOT_RUNNING),
                wait_time(timeout))
            return self.state

    def _abandon_after_fork(self) -> None:
        """In a forked child: a thread that held the lock is not there."""
        self.changed = threading.Condition()


def _release(processor: AudioProcessor, events: _Events, cloud: bool) -> None:
    """Closes a stream's processor, then its transcripts; what
    :meth:`Stream.close` does, and what happens to a stream released
    without it."""
    events.closing.set()
    # Delivers the SDK's last callbacks (a running utterance's final
    # transcript, NOT_RUNNING) before it returns.
    processor.close()
    if not cloud:
        events.on_state(PipelineState.NOT_RUNNING)
    events.transcripts.close()


# Streams not yet released, for the exit hook.
_open_streams: weakref.WeakSet[Stream] = weakref.WeakSet()

#: How long interpreter exit waits for the threads that were waiting for
#: transcripts to end, once their streams were closed.
EXIT_READERS_LIMIT: Final = 2.0


def _close_streams_at_exit() -> None:
    """Registered after the extension's own exit hook, so it runs first:
    closes every open stream while callbacks still run, so that threads
    waiting for transcripts see the end of them and finish rather than hold
    their objects through finalisation. A thread that does not finish in
    time is named, in one line, and abandoned."""
    readers = waiting_readers()
    for stream in list(_open_streams):
        stream.close()
    deadline = time.monotonic() + EXIT_READERS_LIMIT
    for thread in readers:
        thread.join(max(0.0, deadline - time.monotonic()))
    running = [repr(thread.name) for thread in readers if thread.is_alive()]
    if running:
        sys.stderr.write(f"tavix: at exit, thread {', '.join(running)} was still running after the "
                         "transcripts it waited for ended, and was abandoned\n")


atexit.register(_close_streams_at_exit)


class Stream(Closing):
    """Audio through one processor of the SDK; made by :meth:`Session.stream`.

    :meth:`process` takes blocks of any length and returns the output that
    is ready; :meth:`flush` returns the rest. Over a whole stream they give
    exactly one output frame per input frame, in order. With ``block=N`` the
    stream runs in real-time mode instead: every call takes and returns
    exactly ``N`` frames, the output :attr:`latency` frames behind the input.

    Transcripts of the translation pipeline arrive in :attr:`transcripts`.
    A stream is a context manager; :meth:`close` releases the processor."""

    def __init__(self, processor: AudioProcessor, events: _Events, *, rate: int, channels: int,
                 model: str, cloud: bool, block: int | None) -> None:
        self._processor = processor
        self._events = events
        self._pump = Pump(processor.process_frame, channels, min_frames(rate), block=block,
                          on_start=lambda start: setattr(events, "offset", start / rate))
        # Re-entrant: a close() from a signal handler may land inside
        # close() itself, on the thread that holds the lock.
        self._lock = threading.RLock()
        # Closes a stream released unclosed, so that a transcript reader's
        # iteration ends then too (the queue never refers back to the
        # stream). Alive while the stream is open; close() detaches it
        # rather than call it, as finalizers do nothing once weakref's own
        # exit hook ran.
        self._finalizer = weakref.finalize(self, _release, processor, events, cloud)
        self._finalizer.atexit = False  # _close_streams_at_exit closes what is open
        # Set while a call is inside the pump, under the lock. The lock lets
        # only its own thread in again, so a call that finds it set comes
        # from a signal handler on that thread; and a close asked for there.
        self._busy = False
        self._close_when_done = False
        abandon_in_forked_child(self, Stream._abandon_after_fork)
        self._flat = self._mono = channels == 1
        self._push_mono = self._pump.push_mono  # bound once: taken on every mono block
        self._open = True  # until close(); read on every block, where a property costs more
        self.rate: Final = rate
        self.channels: Final = channels
        self.model: Final = model
        self.cloud: Final = cloud
        self.block: Final = block

    @property
    def transcripts(self) -> TranscriptQueue:
        """Transcripts as the SDK delivers them (translation pipeline only)."""
        return self._events.transcripts

    @property
    def state(self) -> PipelineState:
        """The pipeline's last reported state. The local path has no remote
        pipeline: it reads ``RUNNING`` while the stream is open."""
        return self._events.state

    @property
    def latency(self) -> int | None:
        """Frames by which the output trails the input, once the first output
        came (``None`` before). In real-time mode it includes the frames
        buffered until the SDK's 20 ms minimum is there."""
        return self._pump.latency

    @property
    def closed(self) -> bool:
        return not self._open

    def process(self, audio: npt.ArrayLike) -> npt.NDArray[np.float32]:
        """Pushes `audio` and returns the output that is ready, float32, in
        the layout of `audio`: 1-D for mono, 2-D ``(frames, channels)``.

        Any block length goes; what is short of a 20 ms frame waits for the
        next call. In real-time mode (``block=N``) `audio` must be exactly
        ``N`` frames and so is the result. Integer and boolean samples are
        refused (scale them to [-1, 1]); other floats are converted."""
        if type(audio) is np.ndarray and audio.ndim == 1 and audio.dtype is _FLOAT32 and self._mono:
            # Block after block of a mono stream: no check of as_frames
            # applies, and the pump takes the samples as they are.
            out = self._while_open(self._push_mono, audio)
            self._flat = True
            return out
        frames, flat = as_frames(audio, self.channels)
        out = self._while_open(self._pump.push, frames)
        self._flat = flat
        return out.reshape(-1) if flat else out

    def flush(self) -> npt.NDArray[np.float32]:
        """Pushes silence until the processor has drained and returns the
        rest of the output; the stream takes no more audio afterwards, and a
        second flush returns nothing.

        The layout is that of the last block given to :meth:`process` (1-D
        for a mono stream that was given none). In real-time mode the result
        is the last :attr:`latency` frames."""
        out = self._while_open(_flush, self._pump)
        return out.reshape(-1) if self._flat else out

    def _process_whole(self, frames: Frames) -> Frames:
        """All of `frames` (the stream's first and only audio) and the
        flush in one: the output written into one preallocated array, for
        :meth:`Session.process`."""
        return self._while_open(self._pump.process_whole, frames)

    def _push_longer(self) -> None:
        """Pushes :data:`LONG_PUSH_FACTOR` times the SDK's 20 ms minimum per
        call, for input no caller waits on frame by frame; before any audio
        and outside real-time mode (see :meth:`Pump.lengthen_chunk`)."""
        with self._lock:
            self._pump.lengthen_chunk(LONG_PUSH_FACTOR)

    def close(self) -> None:
        """Releases the processor; the transcripts still queued stay
        readable, and iteration over them ends after the last. Output not
        yet flushed is lost. Idempotent.

        Called on a thread that is inside :meth:`process` or :meth:`flush`
        of this stream (from a signal handler), it returns at once and the
        stream closes as soon as that call returns."""
        with self._lock:
            if self._busy:
                # Only this thread can be inside while it holds the lock:
                # closing now would pull the processor from under its call.
                self._close_when_done = True
                return
            self._open = False
            if self._finalizer.detach() is not None:
                _release(self._processor, self._events, self.cloud)

    def _while_open(self, push: Callable[[_Given], Frames], given: _Given) -> Frames:
        """``push(given)`` on the open stream, under its lock, marked busy;
        closes the stream afterwards if a close came in meanwhile. (Not a
        context manager: this is on every block's path, where a generator or
        a call through ``*args`` costs more than the rest of the bookkeeping.
        The lock is taken by a ``with`` statement although ``acquire()`` and
        ``try`` by hand cost less: a signal handler can raise right after
        ``acquire()`` returns, before the ``try``, and the lock would stay
        taken. The mark is a flag set under the lock, not the thread's ident
        in a set: no ``get_ident()``, no set to add to and discard from.)"""
        with self._lock:
            if self._busy:
                # A signal handler's call inside this thread's own call: the
                # re-entrant lock would let it into the pump midway.
                raise RuntimeError("the stream is in use on this thread (called from a signal handler "
                                   "during process() or flush()?): call it after that returns")
            if not self._open or self.cloud:
                self._check_open()
            self._busy = True
            try:
                return push(given)
            finally:
                self._busy = False
                if self._close_when_done:
                    self.close()

    def _abandon_after_fork(self) -> None:
        """In a forked child the stream is the parent's (see
        :mod:`tavix._forked`): closed, without a call into the SDK."""
        self._finalizer.detach()
        self._open = False
        self._lock = threading.RLock()
        self._busy = False

    def __repr__(self) -> str:
        layout = {1: "mono", 2: "stereo"}.get(self.channels, f"{self.channels} channels")
        mode = f" block={self.block}" if self.block is not None else ""
        status = "closed" if self.closed else self.state.name
        return (f"<tavix.Stream {self.model or 'translation'} {self.rate} Hz {layout} "
                f"{'cloud' if self.cloud else 'local'}{mode} {status}>")

    def _check_open(self) -> None:
        if not self._open:
            raise RuntimeError("the stream is closed")
        if self.cloud and self._events.state == PipelineState.NOT_RUNNING:
            raise RuntimeError("the remote pipeline stopped (NOT_RUNNING): audio would pass "
                               "unprocessed; open a new stream")


def open_stream(sdk: Sdk, model: str, *, rate: int, channels: int,
                translate: tuple[str, str] | None, cloud: bool | None, pcm16: bool,
                block: int | None, start_timeout: float,
                transcript_limit: int = DEFAULT_LIMIT) -> Stream:
    """A stream of `sdk`, running; what :meth:`Session.stream` returns.
    Whatever ends the opening early (KeyboardInterrupt included) closes the
    processor before it leaves."""
    size = cast(object, block)  # checked as given: callers need not be typed
    if size is not None and (isinstance(size, bool) or not isinstance(size, int) or size < 1):
        raise ValueError(f"block must be a positive number of frames, got {block!r}")
    if not model and translate is None:
        raise ValueError("name a model (for example 'denoise') or pass "
                         "translate=(language_in, language_out)")
    if channels > MAX_PROCESSOR_CHANNELS:
        return _open_split_stream(sdk, model, rate=rate, channels=channels, translate=translate,
                                  cloud=cloud, pcm16=pcm16, block=block, start_timeout=start_timeout)
    events = _Events(transcript_limit)
    transcripts = events.transcripts
    audio, on_cloud = _audio_attributes(rate, channels, model, cloud, events.on_state)
    audio.cloud_inferencing_params.use_pcm16 = pcm16
    lt = None
    if translate is not None:
        language_in, language_out = translate
        lt = LanguageTranslationConfig(language_in, language_out, callback=transcripts.put)
    with ExitStack() as undo:
        try:
            processor = sdk.create_audio_processor(ProcessorAttributes(audio, lt))
        except RuntimeError as error:
            # Only the module's answer to an empty processor is about the
            # model; another RuntimeError (the interpreter exiting) is not.
            if not is_no_processor(error):
                raise
            raise ModelRefusedError(model or "translation", str(error)) from error
        undo.callback(processor.close)
        stream = Stream(processor, events, rate=rate, channels=channels, model=model,
                        cloud=on_cloud, block=block)
        undo.callback(stream.close)
        if not on_cloud:
            # No remote pipeline: the local path processes from the first frame.
            events.on_state(PipelineState.RUNNING)
        else:
            state = events.wait_for_start(start_timeout)
            if state == PipelineState.NOT_RUNNING:
                raise RuntimeError(f"the remote {model or 'translation'} pipeline stopped "
                                   "(NOT_RUNNING) before it ran")
            if state != PipelineState.RUNNING:
                raise TimeoutError(f"the remote {model or 'translation'} pipeline did not reach "
                                   f"RUNNING within {start_timeout} s (state: {state.name})")
        undo.pop_all()
    _open_streams.add(stream)
    return stream


def _open_split_stream(sdk: Sdk, model: str, *, rate: int, channels: int,
                       translate: tuple[str, str] | None, cloud: bool | None, pcm16: bool,
                       block: int | None, start_timeout: float) -> Stream:
    """A stream with more channels than a processor takes (see `_channels`)."""
    if translate is not None:
        raise ValueError(f"the translation pipeline takes mono or stereo audio, not {channels} "
                         "channels: pass the channels to transcribe (for example audio[:, :2])")

    part_block = block or min_frames(rate)  # how the stream on top pushes: whole multiples of it

    def open_part(width: int) -> Stream:
        return open_stream(sdk, model, rate=rate, channels=width, translate=None, cloud=cloud,
                           pcm16=pcm16, block=part_block, start_timeout=start_timeout)

    split = open_split(open_part, channels, part_block)
    events = _Events()
    events.on_state(PipelineState.RUNNING)  # each group's stream waited for its own pipeline
    # A stream uses only process_frame and close of its processor.
    return Stream(cast(AudioProcessor, split), events, rate=rate, channels=channels, model=model,
                  cloud=split.cloud, block=block)


def process_signal(processor: AudioProcessor, samples: npt.ArrayLike, frame_len: int,
                   max_drain_frames: int = 1000) -> npt.NDArray[np.float32]:
    """Processes a whole signal through `processor`, whose pipeline (if any)
    already runs, in pushes of `frame_len` frames per channel (at least
    20 ms), then drains it. `samples` is 1-D mono or 2-D (frames, channels);
    the result is the processed signal in the same layout and length.

    Raises ``RuntimeError`` if the processor returns nothing after
    `max_drain_frames` pushes of silence (frames below its minimum are
    dropped, so a too short `frame_len` ends here)."""
    frames, flat = as_frames(samples, None)
    pump = Pump(processor.process_frame, frames.shape[1], frame_len,
                drain_limit_chunks=max_drain_frames)
    out = pump.process_whole(frames)
    return out.reshape(-1) if flat else out
