"""What the SDK wrote in its log about a refusal: its answers to the
binding say only that something was refused, its log says why. The log is
``STORAGE/logs/tavix.log``, one line per operation, values that come from
the caller in double quotes with backslash escapes."""

from __future__ import annotations

import os
import re
from pathlib import Path

#: Enough of the end of the log for the lines of the run that just failed.
_TAIL_BYTES = 1 << 18

_QUOTED = r'"((?:[^"\\]|\\.)*)"'
_MODEL_FILE_REFUSED = re.compile(rf"WARN model_refused file={_QUOTED} reason={_QUOTED}")
_PROCESSOR_REFUSED = re.compile(rf"WARN create_audio_processor model={_QUOTED} result=none reason={_QUOTED}")


def log_path(storage: Path) -> Path:
    return storage / "logs" / "tavix.log"


def _unquote(text: str) -> str:
    return re.sub(r"\\(.)", r"\1", text)


def _tail(path: Path) -> list[str]:
    try:
        with path.open("rb") as log:
            log.seek(max(0, log.seek(0, os.SEEK_END) - _TAIL_BYTES))
            return log.read().decode("utf-8", "replace").splitlines()
    except OSError:
        return []


def model_refusal(storage: Path, model: str) -> str | None:
    """Why the SDK last refused `model`, as the log has it, naming the log;
    None when the log is not there or does not say."""
    path = log_path(storage)
    lines = _tail(path)
    for line in reversed(lines):
        file = _MODEL_FILE_REFUSED.search(line)
        if file and Path(_unquote(file[1])).stem == model:
            return f"the SDK did not load {_unquote(file[1])}: {_unquote(file[2])} (the SDK's log: {path})"
    for line in reversed(lines):
        processor = _PROCESSOR_REFUSED.search(line)
        if processor and _unquote(processor[1]) == model:
            return f"{_unquote(processor[2])} ('tavix info' lists the key's models; the SDK's log: {path})"
    return None
