"""python -m velkora.service: the reference service under uvicorn.

Runs the service with proxy headers off (the service alone decides which peers are
trusted proxies, VELKORA_TRUSTED_PROXIES), a fresh metrics directory shared by its
workers, the package's logging in every worker, a deadline on request headers, and the
open-files limit raised to its hard limit.

Several workers share replays and bans only through a store (VELKORA_REDIS_URL);
without one each worker keeps its own, which is said loudly at start-up.
"""

from __future__ import annotations

import argparse
import logging
import logging.config
import os
import shutil
import signal
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

# Settings read from the environment, for --help.
ENVIRONMENT = """\
settings (environment variables, read once at start-up):
  VELKORA_MODE                development (default) or production; production needs
                              signing keys and API keys and turns the demo off
  VELKORA_SIGNING_KEYS        kid:secret,... (secrets of 32 bytes or more); the first
                              signs new tokens, all verify
  VELKORA_API_KEYS            key,... callers of /v1/assess (16 characters or more)
  VELKORA_ADMIN_TOKEN         bearer token of /v1/bans (16 characters or more)
  VELKORA_REDIS_URL           redis://... a store shared by every worker and host
  VELKORA_STORE_PREFIX        key prefix in the store (velkora:)
  VELKORA_STORE_ERROR_POLICY  local, refuse or raise when the store fails (local)
  VELKORA_TRUSTED_PROXIES     addresses or networks whose X-Forwarded-For is believed
  VELKORA_ALLOWED_ORIGINS     origins allowed to fetch /v1/challenge from a page
  VELKORA_MAX_BODY            largest request body in bytes (1048576)
  VELKORA_POLICY              a policy file in place of the example policy
  VELKORA_TOKEN_LIFETIME      seconds a token lives (300)
  VELKORA_CLOCK_LEEWAY        seconds of clock skew allowed (5)
  VELKORA_HEADER_TIMEOUT      seconds a request's headers may take (10)
  VELKORA_BODY_TIMEOUT        seconds a request's body may take (15)
  VELKORA_MAX_IN_FLIGHT       requests one worker handles at once, then 503 (64)
  VELKORA_CHALLENGE_RATE      tokens per minute per address and worker, 0 for no
                              limit (120)
  VELKORA_TRACE_TTL, VELKORA_TRACE_PER_CLIENT, VELKORA_TRACE_MAX,
  VELKORA_TRACE_THRESHOLD, VELKORA_TRACE_MIN_SHINGLES, VELKORA_TRACE_BANDS
                              the memory of trace sketches (VELKORA_TRACE_MAX=0: off)
  VELKORA_MODEL               a model file of velkora train; without one the example
                              rules decide
  VELKORA_REPORT_ONLY         true: verdicts are answered with "enforced": false
  VELKORA_RECORD_DIR          record assessed sessions here (off by default)
  VELKORA_RECORD_MAX_BYTES, VELKORA_RECORD_RETENTION_DAYS
                              size of one recording file (64 MiB) and days kept (30)
"""

LOG_LEVELS = ("critical", "error", "warning", "info", "debug")



def _exit_on_signal(signum: int, _frame: object) -> None:
    raise SystemExit(128 + signum)


def _parser() -> argparse.ArgumentParser:
    summary, _, rest = (__doc__ or "").partition("\n\n")
    parser = argparse.ArgumentParser(
        prog="python -m velkora.service", description=rest.strip(), epilog=ENVIRONMENT,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default: %(default)s)")
    parser.add_argument("--port", type=int, default=8000, help="port to listen on (default: %(default)s)")
    parser.add_argument("--workers", type=int, default=None,
                        help="worker processes (default: 1, or 2 with VELKORA_REDIS_URL)")
    parser.add_argument("--log-level", default="info", choices=LOG_LEVELS, type=str.lower,
                        help="least level logged, by the service and by uvicorn (default: %(default)s)")
    from .server import default_http

    parser.add_argument("--http", default=default_http(), choices=("h11", "httptools"),
                        help="uvicorn's HTTP parser (default: %(default)s: httptools where installed); "
                             "the event loop is uvloop where installed")
    return parser


def _fail(message: str) -> int:
    print(f"velkora.service: {message}", file=sys.stderr, flush=True)
    return 2


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        import prometheus_client  # noqa: F401
        import uvicorn

        from .server import log_config, protocol, raise_descriptor_limit
    except ModuleNotFoundError as error:
        return _fail(f"{error.name} is missing: install the service extra, pip install 'velkora_core_rs[service]'")
    from .policy import Policy, PolicyError
    from .settings import SettingsError, from_env

    # Checked once here, so that a bad setting is one line and exit status 2 rather
    # than a traceback from every worker.
    try:
        settings = from_env(os.environ)
        Policy.load(settings.policy_path)
    except SettingsError as error:
        return _fail(str(error))
    except (PolicyError, ValueError, OSError) as error:
        return _fail(f"VELKORA_POLICY: {error}")
    if settings.redis_url is not None:
        try:
            import redis  # noqa: F401
        except ModuleNotFoundError:
            return _fail("VELKORA_REDIS_URL needs redis-py: install the redis extra, "
                         "pip install 'velkora_core_rs[redis]'")
    if args.http == "httptools":
        try:
            import httptools  # noqa: F401
        except ModuleNotFoundError:
            return _fail("--http httptools needs the httptools package: pip install httptools uvloop")
    config = log_config(args.log_level)
    logging.config.dictConfig(config)
    shared = settings.redis_url is not None
    workers = args.workers if args.workers is not None else (2 if shared else 1)
    if workers < 1:
        _parser().error("--workers must be at least 1")
    if workers > 1 and not shared and not settings.signing_keys:
        # Each worker would generate a signing key of its own and refuse the others' tokens.
        print(ONE_WORKER, file=sys.stderr, flush=True)
        workers = 1
    if workers > 1 and not shared:
        print(WARNING.format(n=workers), file=sys.stderr, flush=True)
    before, after = raise_descriptor_limit()
    if after != before:
        log.info("open files: soft limit raised from %d to %d", before, after)
    metrics_dir = tempfile.mkdtemp(prefix="velkora-metrics-")
    os.environ["PROMETHEUS_MULTIPROC_DIR"] = metrics_dir
    # uvicorn shuts down on SIGTERM and then raises the signal again with the handler that
    # was there before it: the default one would end the process before the finally below
    # removes the metrics directory. Ending with SystemExit instead runs it.
    signal.signal(signal.SIGTERM, _exit_on_signal)
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
            log_config=config,
            http=protocol(settings.header_timeout_sec, args.http),
            loop="auto",
        )
    finally:
        shutil.rmtree(metrics_dir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
