"""Checked by mypy --strict, never run: both backends of the service's state have the
interface it calls (StateBackend), the one without a store as the store's."""

from __future__ import annotations

from typing import Any

from velkora.shared_state import AsyncSharedState, LocalState, StateBackend


def backends(client: Any) -> list[StateBackend]:
    return [LocalState(prefix="typing:"), AsyncSharedState(client, prefix="typing:")]
