"""The context-manager protocol shared by objects that hold SDK resources."""

from __future__ import annotations

from types import TracebackType
from typing import Self


class Closing:
    """`with obj:` closes `obj` on the way out, and never swallows an exception."""

    def close(self) -> None:
        raise NotImplementedError

    def __enter__(self) -> Self:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()
