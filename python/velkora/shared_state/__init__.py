"""State shared across worker processes and hosts through a Redis-protocol store (Redis 7
or Valkey 7.2 and later), with the native engine of ``velkora_core_rs`` as the local first
line: a nonce is consumed exactly once across every process sharing the store and prefix,
and a ban reaches every process.

    from velkora.shared_state import SharedState
    with SharedState.from_url("redis://127.0.0.1:6379/0") as state:
        state.consume_nonce(nonce)

Needs redis-py (``pip install velkora_core_rs[redis]``).
"""

from ..trace_memory import TraceConfig, TraceOutcome
from ._async import AsyncSharedState, WrongEventLoop
from ._core import MAX_BAN_SEC, IssuedBeforeStoreLoss, Policy, StoreUnavailable
from ._sync import SharedState

__all__ = ["AsyncSharedState", "IssuedBeforeStoreLoss", "MAX_BAN_SEC", "Policy", "SharedState", "StoreUnavailable",
           "TraceConfig", "TraceOutcome", "WrongEventLoop"]
