"""What a child of ``os.fork()`` does with the SDK objects of its parent:
gives them up.

The child has only the thread that forked; the SDK's threads behind the
parent's sessions and streams are not there, and a lock one of them held at
the fork stays locked for good. So right after a fork every object that
registered here is abandoned: it counts as closed in the child and never
calls into the SDK again (the extension lets its SDK objects go without
destroying them). What the child opens itself works as usual."""

from __future__ import annotations

import os
import weakref
from collections.abc import Callable
from typing import Any, TypeVar

T = TypeVar("T")

# Each object with the function that abandons it; weak, so that registering
# keeps nothing alive.
_held: weakref.WeakKeyDictionary[Any, Callable[[Any], None]] = weakref.WeakKeyDictionary()


def abandon_in_forked_child(obj: T, abandon: Callable[[T], None]) -> None:
    """Calls ``abandon(obj)`` in a child forked while `obj` is alive."""
    _held[obj] = abandon


def _after_fork_in_child() -> None:
    held = list(_held.items())
    _held.clear()
    for obj, abandon in held:
        abandon(obj)


os.register_at_fork(after_in_child=_after_fork_in_child)
