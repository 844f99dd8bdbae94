"""The service's state backends, kept under their old names: the in-process backend and
its interface now live in ``velkora.shared_state`` (``_local``)."""

from velkora._state_common import MAX_BAN_SEC
from velkora.shared_state._local import CapacityExceeded, ClaimMap, LocalState, StateBackend

__all__ = ["MAX_BAN_SEC", "CapacityExceeded", "ClaimMap", "LocalState", "StateBackend"]
