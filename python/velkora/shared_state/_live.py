"""The live instances of this process, told about a fork and about interpreter exit.

A forked child has none of its parent's threads or tasks, and a lock a parent thread
held stays held forever in the child: each live instance is told after a fork, in the
child, and drops what belonged to the parent; its next call starts the sync again.

At exit, the sync threads (daemon threads) are stopped and joined before the
interpreter tears down, so none of them is left inside a call into the native module.
"""

from __future__ import annotations

import atexit
import os
import weakref
from typing import Protocol


class Live(Protocol):
    def _after_fork_in_child(self) -> None: ...

    def _stop_at_exit(self) -> None: ...


_live: weakref.WeakSet[Live] = weakref.WeakSet()


def track(instance: Live) -> None:
    _live.add(instance)


def _after_fork() -> None:
    for instance in list(_live):
        instance._after_fork_in_child()


def _at_exit() -> None:
    for instance in list(_live):
        instance._stop_at_exit()


os.register_at_fork(after_in_child=_after_fork)
atexit.register(_at_exit)
