"""Prometheus metrics that add up across uvicorn workers.

prometheus_client picks its multi-process value store when it is first imported, from
``PROMETHEUS_MULTIPROC_DIR``. ``python -m velkora.service`` creates a fresh directory
and sets the variable before any worker starts, so every worker writes there and
``/metrics`` sums them. A process started some other way without the variable gets a
private directory of its own (right for one worker; a warning says so). Labels are the
verdict, the reason code and the error code: never an address.
"""

from __future__ import annotations

import logging
import os
import tempfile
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from prometheus_client import Counter, Histogram

log = logging.getLogger("velkora.service")

ENV = "PROMETHEUS_MULTIPROC_DIR"

# Counters of the shared state layer's stats() exported as velkora_store_<name>_total.
STATE_COUNTERS = {
    "store_errors": "Store calls that failed",
    "fallbacks": "Answers given without the store",
    "store_resets": "Losses of the store's data seen (epoch markers that changed)",
    "stale_tokens_refused": "Tokens refused because they were issued before the store lost its data",
    "writeback_conflicts": "Tokens consumed here while the store was unreachable that another worker consumed too",
    "loop_errors": "Calls from a wrong event loop",
}


def ensure_multiprocess_dir() -> str:
    """The directory the worker processes share, created and exported when unset.
    Call before prometheus_client is imported."""
    path = os.environ.get(ENV)
    if not path:
        path = tempfile.mkdtemp(prefix="velkora-metrics-")
        os.environ[ENV] = path
        log.info("metrics: %s=%s", ENV, path)
    os.makedirs(path, exist_ok=True)
    return path


class Metrics:
    def __init__(self) -> None:
        if not os.environ.get(ENV):
            log.warning(
                "metrics: %s was not set before start-up; this process counts alone "
                "(start the service with python -m velkora.service to add up every worker)",
                ENV,
            )
        self.path = ensure_multiprocess_dir()
        from prometheus_client import Counter, Histogram

        self.verdicts: Counter = Counter("velkora_verdicts", "Verdicts given by /v1/assess", ["verdict"], registry=None)
        self.reasons: Counter = Counter("velkora_reasons", "Reasons behind the verdicts", ["reason"], registry=None)
        self.refusals: Counter = Counter("velkora_refusals", "Refused requests by error code", ["code"], registry=None)
        self.challenges: Counter = Counter("velkora_challenges", "Tokens issued", registry=None)
        # The distribution of scores shows drift: a shift in traffic or a model that no longer fits it.
        self.scores: Histogram = Histogram(
            "velkora_score", "Scores of the verdicts given (the model's probability of bot)", registry=None,
            buckets=(0.01, 0.05, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 0.95, 0.99, 1.0),
        )
        # The shared state's own counters of this worker, copied in as they grow.
        self.state_counters: dict[str, Counter] = {
            name: Counter(f"velkora_store_{name}", help_, registry=None)
            for name, help_ in STATE_COUNTERS.items()
        }
        self.latency: Histogram = Histogram(
            "velkora_assess_seconds", "Time to answer /v1/assess", registry=None,
            buckets=(0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 1.0),
        )

    def render(self) -> tuple[bytes, str]:
        from prometheus_client import CONTENT_TYPE_LATEST, CollectorRegistry, generate_latest
        from prometheus_client.multiprocess import MultiProcessCollector

        registry = CollectorRegistry()
        MultiProcessCollector(registry, path=self.path)  # type: ignore[no-untyped-call]
        return generate_latest(registry), CONTENT_TYPE_LATEST

    def close(self) -> None:
        from prometheus_client import multiprocess

        multiprocess.mark_process_dead(os.getpid(), self.path)  # type: ignore[no-untyped-call]
