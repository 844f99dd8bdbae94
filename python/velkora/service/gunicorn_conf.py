"""The service under gunicorn, with uvicorn's worker:

    gunicorn -c python:velkora.service.gunicorn_conf --bind 0.0.0.0:8000 --workers 4 velkora.service:app

- The worker (``velkora.service.gunicorn_conf.Worker``) runs uvicorn with proxy headers off,
  and ``forwarded_allow_ips`` is empty besides: the service alone decides which peers are
  trusted proxies (``VELKORA_TRUSTED_PROXIES``). uvicorn's worker otherwise trusts
  ``X-Forwarded-For`` from 127.0.0.1, so that a local caller could name any address.
- Request headers have the service's deadline (``VELKORA_HEADER_TIMEOUT``).
- The package's loggers (``velkora``, with level and logger name on each line, and
  asyncio's, rate-limited) are set up in the arbiter and so in every worker it forks, at
  gunicorn's ``--log-level``; gunicorn keeps its own.
- A fresh metrics directory is made before the workers start and removed when gunicorn
  exits, so that ``/metrics`` adds up every worker.

Several workers share replays and bans only through a store (VELKORA_REDIS_URL), and
without VELKORA_SIGNING_KEYS each would sign with a key of its own: set both.
"""

from __future__ import annotations

import logging.config as _logging_config
import os as _os
import shutil as _shutil
import sys as _sys
import tempfile as _tempfile
from typing import Any

from uvicorn_worker import UvicornWorker

# Module names only: gunicorn takes every other name here for one of its settings.
from . import server as _server
from . import settings as _settings

worker_class = "velkora.service.gunicorn_conf.Worker"
forwarded_allow_ips = ""
loglevel = "info"

_METRICS = "PROMETHEUS_MULTIPROC_DIR"


def on_starting(server: Any) -> None:
    """Checks the settings once (a bad one is one line and status 2) and prepares what the
    workers share."""
    try:
        _settings.from_env(_os.environ)
    except _settings.SettingsError as error:
        print(f"velkora.service: {error}", file=_sys.stderr, flush=True)
        _sys.exit(2)
    _logging_config.dictConfig(_server.package_log_config(server.cfg.loglevel))
    _server.raise_descriptor_limit()
    if not _os.environ.get(_METRICS):
        _os.environ[_METRICS] = _tempfile.mkdtemp(prefix="velkora-metrics-")
        server.velkora_metrics_dir = _os.environ[_METRICS]


def on_exit(server: Any) -> None:
    path = getattr(server, "velkora_metrics_dir", None)
    if path:
        _shutil.rmtree(path, ignore_errors=True)


class Worker(UvicornWorker):  # type: ignore[misc]
    """uvicorn's gunicorn worker with the service's server settings."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        settings = _settings.from_env(_os.environ)  # checked in on_starting already
        self.CONFIG_KWARGS = {**UvicornWorker.CONFIG_KWARGS, "proxy_headers": False, "server_header": False,
                              "http": _server.protocol(settings.header_timeout_sec, _server.default_http())}
        super().__init__(*args, **kwargs)
