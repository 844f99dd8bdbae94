"""``python -m velkora.service [--host H] [--port P] [--workers N]``: runs the service
under uvicorn with proxy headers off (the service alone decides which peers are trusted
proxies) and a fresh metrics directory shared by its workers.

Several workers share replays and bans only through a store (VELKORA_REDIS_URL); without
one each worker keeps its own, which is said loudly at start-up.
"""

from __future__ import annotations

import argparse
import logging
import os
import shutil
import sys
import tempfile

log = logging.getLogger("velkora.service")

WARNING = (
    "WARNING: {n} workers without VELKORA_REDIS_URL: every worker keeps its own replay "
    "cache and bans, so a token can be used once per worker and a ban holds in one worker "
    "only. Set VELKORA_REDIS_URL, or run one worker."
)

ONE_WORKER = (
    "WARNING: no VELKORA_REDIS_URL and no VELKORA_SIGNING_KEYS: workers could not share a "
    "generated signing key, so one worker is started."
)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m velkora.service", description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8000)
    parser.add_argument("--workers", type=int, default=None, help="default: 1, or 2 with VELKORA_REDIS_URL")
    parser.add_argument("--log-level", default="info")
    args = parser.parse_args(argv)
    logging.basicConfig(level=args.log_level.upper(), format="%(levelname)s %(name)s: %(message)s")
    shared = bool(os.environ.get("VELKORA_REDIS_URL", "").strip())
    workers = args.workers if args.workers is not None else (2 if shared else 1)
    if workers < 1:
        parser.error("--workers must be at least 1")
    if workers > 1 and not shared and not os.environ.get("VELKORA_SIGNING_KEYS", "").strip():
        # Each worker would generate a signing key of its own and refuse the others' tokens.
        print(ONE_WORKER, file=sys.stderr, flush=True)
        workers = 1
    if workers > 1 and not shared:
        print(WARNING.format(n=workers), file=sys.stderr, flush=True)
    metrics_dir = tempfile.mkdtemp(prefix="velkora-metrics-")
    os.environ["PROMETHEUS_MULTIPROC_DIR"] = metrics_dir
    import uvicorn

    try:
        uvicorn.run(
            "velkora.service:create_app",
            factory=True,
            host=args.host,
            port=args.port,
            workers=workers,
            proxy_headers=False,
            server_header=False,
            log_level=args.log_level,
        )
    finally:
        shutil.rmtree(metrics_dir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
