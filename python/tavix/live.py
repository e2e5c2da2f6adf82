"""Live audio: a sound card's input through a model to its output, in real
time, on PortAudio through the optional ``sounddevice`` package
(``pip install 'tavix[live]'``).

The audio callback does a fixed, small amount of work per call: it copies
the input into a ring, runs every whole block through a real-time
:class:`~tavix.Stream` (``block=N``: N frames in, N out), copies the result
into a second ring and hands the sound card what it asks for from there.
It never waits: not for the SDK's start-up (the stream is opened on another
thread; silence, or the unprocessed input, goes out until it runs), not for
a lock that other code holds for long, not for the disk (recordings go
through rings to a writer thread). Its buffers are all made before the
sound card starts.

PortAudio is asked for the host's own buffer size rather than a fixed one:
PortAudio's adaptation to a fixed size now and then replays audio on the
ALSA-to-PulseAudio path without saying so, whereas the rings here adapt any
callback size to the stream's block at a fixed cost of one block of delay."""

from __future__ import annotations

import importlib
import math
import os
import threading
from dataclasses import dataclass
from typing import Any, Final

import numpy as np

from tavix._closing import Closing
from tavix._recorder import Recorder
from tavix._ring import Frames, Ring
from tavix.session import Session
from tavix.stream import Stream

__all__ = ["LiveStatus", "LiveUnavailableError", "LiveAudio", "list_devices"]

#: Milliseconds of audio per block unless told otherwise: the SDK's frame,
#: so the stream adds no buffering of its own.
DEFAULT_BLOCK_MS: Final = 20

#: Input the rings can hold beyond one block: what the largest callback
#: brings, with room to spare.
RING_SECONDS: Final = 1.0


class LiveUnavailableError(RuntimeError):
    """Live audio cannot run here: the ``sounddevice`` package or the
    PortAudio library is missing. The message says what to install."""


def sounddevice() -> Any:
    """The ``sounddevice`` module (typed as Any: it has no type information)."""
    try:
        return importlib.import_module("sounddevice")
    except ImportError as error:
        raise LiveUnavailableError("live audio needs the sounddevice package: "
                                   "pip install 'tavix[live]'") from error
    except OSError as error:  # sounddevice found no PortAudio library
        raise LiveUnavailableError(f"live audio needs the PortAudio library ({error}): "
                                   "install it (Debian: apt-get install libportaudio2)") from error


def list_devices() -> str:
    """PortAudio's devices, one a line, as ``python -m sounddevice`` lists
    them (``>`` marks the default input, ``<`` the default output)."""
    return str(sounddevice().query_devices())


def _device(name: str | int | None) -> str | int | None:
    # A number is PortAudio's index; anything else a part of a device's name.
    return int(name) if isinstance(name, str) and name.isdigit() else name


def _decibels(peak: float) -> float:
    return 20 * math.log10(peak) if peak > 0 else -math.inf


@dataclass(frozen=True, slots=True)
class LiveStatus:
    """The state of a :class:`LiveAudio` run."""

    #: Seconds of audio taken from the input so far.
    seconds: float
    #: ``"starting"`` (the model does not run yet), ``"running"`` or ``"failed"``.
    #: The latency is known from the first audio through the running model.
    state: str
    #: Peak levels in dBFS since the last status (``-inf`` for digital silence).
    input_level: float
    output_level: float
    #: Seconds from input to output: PortAudio's input plus output latency,
    #: and the processing (one block of hand-over plus the stream's latency)
    #: once the stream knows its latency (None before).
    device_latency: float
    processing_latency: float | None
    input_overflows: int
    output_underflows: int
    #: Frames a recording lost because its writer fell behind.
    recording_dropped: int

    @property
    def latency(self) -> float | None:
        if self.processing_latency is None:
            return None
        return self.device_latency + self.processing_latency


class LiveAudio(Closing):
    """A sound card's input through `model` to its output, in real time.

    Starts at once; the model's stream opens on a thread of its own, and
    until it runs the output is silence (the input, with
    ``bypass_while_starting=True``). `block` is the frames per processing
    call (default 20 ms); `input` and `output` are PortAudio devices, by
    index or a part of the name (default: the system's); `latency` is the
    buffering PortAudio is asked for, in seconds, or ``"high"`` or
    ``"low"`` (PortAudio's defaults for the devices); by default one
    block. `record` and `record_input` name files for the processed and
    the raw audio; an existing file is refused unless `overwrite`. :meth:`status` reports
    levels, latency and glitches; :attr:`error` is set when the stream
    failed. A context manager; :meth:`close` stops the sound card and puts
    the recordings in place."""

    def __init__(self, session: Session, model: str = "denoise", *, rate: int = 48000,
                 channels: int = 1, block: int | None = None, input: str | int | None = None,
                 output: str | int | None = None, latency: float | str | None = None,
                 cloud: bool | None = None,
                 bypass_while_starting: bool = False, record: str | os.PathLike[str] | None = None,
                 record_input: str | os.PathLike[str] | None = None, overwrite: bool = False,
                 start_timeout: float = 5.0) -> None:
        sd = sounddevice()
        if channels not in (1, 2):
            raise ValueError(f"channels must be 1 or 2, got {channels}")
        if rate < 1:
            raise ValueError(f"rate must be a positive number of Hz, got {rate}")
        self.block: Final = block if block is not None else rate * DEFAULT_BLOCK_MS // 1000
        if self.block < 1:
            raise ValueError(f"block must be a positive number of frames, got {block}")
        self.rate: Final = rate
        self.channels: Final = channels
        self.model: Final = model
        self._bypass = bypass_while_starting
        capacity = self.block + int(rate * RING_SECONDS)
        self._pending = Ring(capacity, channels)
        self._ready = Ring(capacity, channels)
        # One block of silence ahead: the output always has what a callback
        # takes, whatever sizes the callbacks come in.
        self._ready.write_silence(self.block)
        self._block_in: Frames = np.zeros((self.block, channels), np.float32)
        self._silence: Frames = np.zeros((self.block, channels), np.float32)
        self._stream: Stream | None = None
        #: The stream's latency once known; kept after it is closed.
        self._stream_latency: int | None = None
        self._closing = False
        self.error: BaseException | None = None
        self._frames = 0
        self._overflows = 0
        self._underflows = 0
        self._input_peak = 0.0
        self._output_peak = 0.0
        self._recorders: list[Recorder] = []
        self._record_input: Recorder | None = None
        self._record_output: Recorder | None = None
        try:
            if record_input is not None:
                self._record_input = Recorder(record_input, rate, channels, overwrite=overwrite)
                self._recorders.append(self._record_input)
            if record is not None:
                self._record_output = Recorder(record, rate, channels, overwrite=overwrite)
                self._recorders.append(self._record_output)
            try:
                self._audio: Any = sd.Stream(
                    samplerate=rate, blocksize=0, device=(_device(input), _device(output)),
                    channels=channels, dtype="float32",
                    latency=self.block / rate if latency is None else latency,
                    callback=self._callback)
                try:
                    self._audio.start()
                except BaseException:
                    self._audio.close()
                    raise
            except sd.PortAudioError as error:
                raise RuntimeError(f"cannot open the sound card: {error} ('tavix live "
                                   "--list-devices' lists the devices)") from error
        except BaseException:
            self._discard_recordings()
            raise
        in_latency, out_latency = self._audio.latency
        self._device_latency = float(in_latency) + float(out_latency)
        # Session.close closes the stream should this thread make it after
        # close() looked.
        self._opener = threading.Thread(
            target=self._open_stream, args=(session, model, cloud, start_timeout),
            name="tavix live start", daemon=True)
        self._opener.start()

    def _open_stream(self, session: Session, model: str, cloud: bool | None,
                     start_timeout: float) -> None:
        try:
            stream = session.stream(model, rate=self.rate, channels=self.channels, cloud=cloud,
                                    block=self.block, start_timeout=start_timeout)
        except BaseException as error:
            self.error = error
            return
        if self._closing:
            stream.close()
        else:
            self._stream = stream  # the callback's next block goes through it

    def _callback(self, indata: Frames, outdata: Frames, frames: int, time: Any,
                  status: Any) -> None:
        if status.input_overflow:
            self._overflows += 1
        if status.output_underflow:
            self._underflows += 1
        self._frames += frames
        self._input_peak = max(self._input_peak, float(indata.max()), -float(indata.min()))
        if self._record_input is not None:
            self._record_input.put(indata)
        if not self._pending.write(indata):
            self._overflows += 1  # a callback longer than the ring: cannot happen at sane sizes
        while len(self._pending) >= self.block:
            self._pending.read_into(self._block_in)
            self._ready.write(self._process(self._block_in))
        self._ready.read_into(outdata)
        self._output_peak = max(self._output_peak, float(outdata.max()), -float(outdata.min()))

    def _process(self, block: Frames) -> Frames:
        stream = self._stream
        if stream is None:
            processed = block if self._bypass else self._silence
        else:
            try:
                processed = stream.process(block)
            except Exception as error:  # the pipeline stopped: say so, never pass it unprocessed
                self.error = error
                self._stream = None
                processed = self._silence
        if self._record_output is not None:
            self._record_output.put(processed)
        return processed

    def status(self) -> LiveStatus:
        """The status now; the levels are the peaks since the last call."""
        stream = self._stream
        if stream is not None and self._stream_latency is None:
            self._stream_latency = stream.latency
        stream_latency = self._stream_latency
        in_peak, self._input_peak = self._input_peak, 0.0
        out_peak, self._output_peak = self._output_peak, 0.0
        state = "failed" if self.error is not None else (
            "running" if stream is not None or self._closing else "starting")
        return LiveStatus(
            seconds=self._frames / self.rate, state=state, input_level=_decibels(in_peak),
            output_level=_decibels(out_peak), device_latency=self._device_latency,
            processing_latency=None if stream_latency is None
            else (self.block + stream_latency) / self.rate,
            input_overflows=self._overflows, output_underflows=self._underflows,
            recording_dropped=sum(recorder.dropped for recorder in self._recorders))

    def close(self) -> None:
        """Stops the sound card, closes the stream and puts the recordings in
        place (raising ``OSError`` if one could not be written). Idempotent."""
        if self._closing:
            return
        self._closing = True
        self._audio.abort()  # at once: no waiting for queued output to play
        self._audio.close()
        self.status()  # keeps the stream's latency for the summary
        stream, self._stream = self._stream, None
        if stream is not None:
            stream.close()
        errors: list[BaseException] = []
        for recorder in self._recorders:
            try:
                recorder.finish()
            except OSError as error:
                errors.append(error)
        if errors:
            raise errors[0]

    def _discard_recordings(self) -> None:
        for recorder in self._recorders:
            recorder.discard()
