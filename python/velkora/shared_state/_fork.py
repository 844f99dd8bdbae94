"""Instances created before a fork start their own sync and connections in the child.

A forked child has none of its parent's threads or tasks, and a lock a parent thread
held stays held forever in the child. Each live instance is told after a fork, in the
child, and drops what belonged to the parent; its next call starts the sync again.
"""

from __future__ import annotations

import os
import weakref
from typing import Protocol


class ForkAware(Protocol):
    def _after_fork_in_child(self) -> None: ...


_live: weakref.WeakSet[ForkAware] = weakref.WeakSet()


def track(instance: ForkAware) -> None:
    _live.add(instance)


def _after_fork() -> None:
    for instance in list(_live):
        instance._after_fork_in_child()


os.register_at_fork(after_in_child=_after_fork)
