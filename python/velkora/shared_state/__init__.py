"""State shared across worker processes and hosts through a Redis-protocol store (Redis 7
or Valkey 7.2 and later), with the native engine of ``velkora_core_rs`` as the local first
line: a nonce is consumed exactly once across every process sharing the store and prefix,
and a ban reaches every process.

    from velkora.shared_state import SharedState
    with SharedState.from_url("redis://127.0.0.1:6379/0") as state:
        state.consume_nonce(nonce)

The store-backed classes need redis-py (``pip install velkora_core_rs[redis]``); they are
imported on first use, so that ``LocalState``, the backend without a store, needs none.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from .._state_common import MAX_BAN_SEC, IssuedBeforeStoreLoss, normalise_ip
from ..trace_memory import TraceConfig, TraceOutcome
from ._local import CapacityExceeded, ClaimMap, LocalState, StateBackend

if TYPE_CHECKING:
    from ._async import AsyncSharedState, WrongEventLoop
    from ._core import Policy, StoreUnavailable
    from ._sync import SharedState

__all__ = ["AsyncSharedState", "CapacityExceeded", "ClaimMap", "IssuedBeforeStoreLoss", "LocalState", "MAX_BAN_SEC",
           "Policy", "SharedState", "StateBackend", "StoreUnavailable", "TraceConfig", "TraceOutcome", "WrongEventLoop",
           "normalise_ip"]

_LAZY = {"AsyncSharedState": "_async", "WrongEventLoop": "_async", "Policy": "_core", "StoreUnavailable": "_core",
         "SharedState": "_sync"}


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib import import_module

    value = getattr(import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value
