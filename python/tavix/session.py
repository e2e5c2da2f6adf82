"""An activated SDK: where streams come from."""

from __future__ import annotations

import os
import sys
import threading
import weakref
from pathlib import Path
from typing import Final, TypedDict, Unpack

import numpy as np
import numpy.typing as npt

from _tavix_module import InitParams, Sdk, SdkErrorType, SdkResult, create_sdk
from tavix._closing import Closing
from tavix._forked import abandon_in_forked_child
from tavix.stream import Stream, as_frames, open_stream
from tavix.transcripts import DEFAULT_LIMIT

__all__ = ["ActivationError", "Session", "StreamOptions", "default_storage_dir"]

#: Where Session takes the API key from when none is given.
API_KEY_VARIABLE: Final = "TAVIX_API_KEY"


def default_storage_dir() -> Path:
    """The per-user cache directory that sessions use for the SDK's storage
    (data and ``logs/``) unless told otherwise: ``$XDG_CACHE_HOME/tavix``
    (``~/.cache/tavix``) on Linux, ``~/Library/Caches/tavix`` on macOS,
    ``%LOCALAPPDATA%\\tavix\\Cache`` on Windows."""
    if sys.platform == "win32":
        local = os.environ.get("LOCALAPPDATA")
        return (Path(local) if local else Path.home() / "AppData" / "Local") / "tavix" / "Cache"
    if sys.platform == "darwin":
        return Path.home() / "Library" / "Caches" / "tavix"
    cache = os.environ.get("XDG_CACHE_HOME")
    # The XDG rules ignore a relative path.
    return (Path(cache) if cache and os.path.isabs(cache) else Path.home() / ".cache") / "tavix"


class ActivationError(RuntimeError):
    """The SDK refused the API key. ``result`` is the SDK's answer."""

    def __init__(self, result: SdkResult, hint: str = "") -> None:
        self.result: Final = result
        super().__init__(f"activation refused: {result.error_type.name}: {result.message}{hint}")

    @property
    def error_type(self) -> SdkErrorType:
        return self.result.error_type


class StreamOptions(TypedDict, total=False):
    """Options of :meth:`Session.stream` that :meth:`Session.process` and
    :func:`tavix.process_file` pass on."""

    translate: tuple[str, str] | None
    cloud: bool | None
    pcm16: bool
    start_timeout: float
    transcript_limit: int


class Session(Closing):
    """The SDK, created and activated with an API key.

    `api_key` defaults to the environment variable ``TAVIX_API_KEY``;
    `storage_dir` (the SDK's data and logs) to :func:`default_storage_dir`.
    A refused key raises :class:`ActivationError`. A session is a context
    manager; :meth:`close` closes its streams and releases the SDK.

    Attributes: ``version``, the SDK's version string; ``storage_dir``, the
    storage folder in use."""

    def __init__(self, api_key: str | None = None, *,
                 storage_dir: str | os.PathLike[str] | None = None) -> None:
        path = os.fspath(default_storage_dir() if storage_dir is None else storage_dir)
        key = os.environ.get(API_KEY_VARIABLE, "") if api_key is None else api_key
        sdk = create_sdk(InitParams(path))
        result = sdk.activate_api_key(key)
        if not result.success:
            hint = ""
            if not key and api_key is None:
                hint = f" (pass an API key or set {API_KEY_VARIABLE})"
            raise ActivationError(result, hint)
        self._sdk: Sdk | None = sdk
        self._closed_reason = "the session is closed"
        # Re-entrant: close() may come from a signal handler on a thread
        # that holds it.
        self._lock = threading.RLock()
        self._streams: weakref.WeakSet[Stream] = weakref.WeakSet()
        abandon_in_forked_child(self, Session._abandon_after_fork)
        self.storage_dir: Final = Path(path)
        self.version: Final = sdk.version
        """The SDK's version string."""

    @property
    def closed(self) -> bool:
        return self._sdk is None

    def stream(self, model: str = "", *, rate: int, channels: int = 1,
               translate: tuple[str, str] | None = None, cloud: bool | None = None,
               pcm16: bool = False, block: int | None = None,
               start_timeout: float = 5.0, transcript_limit: int = DEFAULT_LIMIT) -> Stream:
        """A stream through `model` at `rate` Hz with `channels`. The SDK's
        processors take 1 or 2; more are processed as pairs (and a last
        single channel), a processor each, and put back in line: memory and
        start-up grow with the pairs, and a model sees only its pair. The
        translation pipeline takes 1 or 2.

        ``translate=(language_in, language_out)`` selects the translation
        pipeline instead (leave `model` empty); its transcripts arrive in
        ``stream.transcripts``. `cloud` forces the cloud (True) or local
        (False) path; None follows ``TAVIX_LOCAL_INFERENCING`` as the SDK
        does. `pcm16` makes the cloud link 16-bit PCM instead of G.711.
        `block` selects real-time mode with that many frames per call.
        `transcript_limit` bounds the transcripts kept for a reader that
        falls behind (see :class:`TranscriptQueue`).

        On the cloud path this waits until the remote pipeline runs, so no
        audio passes unprocessed: ``TimeoutError`` after `start_timeout`
        seconds (``math.inf``: no limit), ``RuntimeError`` if it stopped
        first. A stream whose opening fails is closed."""
        with self._lock:
            sdk = self._sdk
            if sdk is None:
                raise RuntimeError(self._closed_reason)
        stream = open_stream(sdk, model, rate=rate, channels=channels, translate=translate,
                              cloud=cloud, pcm16=pcm16, block=block, start_timeout=start_timeout,
                              transcript_limit=transcript_limit)
        try:
            with self._lock:
                if self._sdk is None:  # closed meanwhile (another thread, a signal handler)
                    raise RuntimeError(self._closed_reason)
                self._streams.add(stream)
        except BaseException:
            stream.close()
            raise
        return stream

    def process(self, audio: npt.ArrayLike, *, rate: int, model: str = "denoise",
                channels: int | None = None,
                **stream_options: Unpack[StreamOptions]) -> npt.NDArray[np.float32]:
        """`audio` (1-D mono or 2-D ``(frames, channels)``) through `model`
        in one call: the processed signal, float32, in the same shape, in
        line with the input (the processing delay taken out). `channels`
        need not be given; given, it must match `audio` (``ValueError``)."""
        frames, flat = as_frames(audio, channels)
        with self.stream(model, rate=rate, channels=frames.shape[1], **stream_options) as stream:
            # The stream is this session's own, opened just above for this call.
            stream._push_longer()  # pyright: ignore[reportPrivateUsage]
            out = stream._process_whole(frames)  # pyright: ignore[reportPrivateUsage]
        return out.reshape(-1) if flat else out

    def close(self) -> None:
        """Closes the streams of this session and releases the SDK.
        Idempotent."""
        with self._lock:
            self._sdk = None
            streams = list(self._streams)
            self._streams.clear()
        for stream in streams:
            stream.close()

    def _abandon_after_fork(self) -> None:
        """In a forked child the session is the parent's (see
        :mod:`tavix._forked`): closed, its SDK let go without a call."""
        self._lock = threading.RLock()
        self._sdk = None
        self._streams = weakref.WeakSet()
        self._closed_reason = ("the session belongs to the process that forked this one: "
                               "open a new Session here")

    def __repr__(self) -> str:
        return f"<tavix.Session SDK {self.version}{' closed' if self.closed else ''}>"
