"""Standard output for the command line, whose reader may go away (`| head`,
`| true`) or whose file may be full (`> /dev/full`): what it shows is not
the work the command does, so failing to show it ends neither the work nor
its exit status."""

from __future__ import annotations

import contextlib
import errno
import io
import os
import sys
from collections.abc import Generator
from typing import TextIO


class _Guarded(io.TextIOBase):
    def __init__(self, stream: TextIO) -> None:
        super().__init__()
        self._stream = stream
        self._lost = False

    def write(self, text: str) -> int:
        if not self._lost:
            try:
                self._stream.write(text)
            except OSError as error:
                self._lose(error)
        return len(text)

    def flush(self) -> None:
        if not self._lost:
            try:
                self._stream.flush()
            except OSError as error:
                self._lose(error)

    def isatty(self) -> bool:
        return self._stream.isatty()

    def fileno(self) -> int:
        return self._stream.fileno()

    @property
    def encoding(self) -> str:  # type: ignore[override]
        return self._stream.encoding

    def _lose(self, error: OSError) -> None:
        self._lost = True
        # What is still buffered goes nowhere, including at exit.
        with contextlib.suppress(OSError, ValueError):
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, self._stream.fileno())
            os.close(devnull)
        if error.errno != errno.EPIPE:  # a reader that left needs no word
            print(f"tavix: standard output: {error.strerror or error}; the rest of it is dropped",
                  file=sys.stderr, flush=True)


@contextlib.contextmanager
def guarded_stdout() -> Generator[None]:
    """Within: standard output never raises, and file names that are not
    UTF-8 print as their bytes, as the file system has them."""
    original = sys.stdout
    reconfigure = getattr(original, "reconfigure", None)  # not on a replaced stdout
    if reconfigure is not None:
        reconfigure(errors="surrogateescape")
    sys.stdout = _Guarded(original)
    try:
        yield
    finally:
        sys.stdout.flush()
        sys.stdout = original
