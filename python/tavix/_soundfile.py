"""The ``soundfile`` package (a dependency of tavix, imported only when
used: everything but audio files works without it) and the formats it can
write."""

from __future__ import annotations

import importlib
import os
from pathlib import Path
from typing import Any


def load_soundfile() -> Any:
    """The soundfile module; typed as Any, as the package has no type
    information."""
    try:
        return importlib.import_module("soundfile")
    except ImportError as error:
        raise ModuleNotFoundError(
            "reading and writing audio files needs the soundfile package: "
            "pip install soundfile") from error


def writable_format(path: str | os.PathLike[str]) -> str | None:
    """The soundfile format that `path`'s extension names (``"FLAC"`` for
    ``x.flac``), or None when it names none that can be written."""
    name = Path(path).suffix.lstrip(".").upper()
    return name if name and name in load_soundfile().available_formats() else None
