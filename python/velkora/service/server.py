"""What the launcher gives uvicorn besides the app: logging for every worker, a deadline
on request headers, and the descriptor limit.

- ``log_config(level)``: uvicorn applies it again in each worker process, so the
  package's loggers (``velkora``) keep their level, name and handler however many
  workers run; connection errors (``asyncio``, ``uvicorn.error`` warnings) go through a
  filter that lets one record per kind through every ``period`` seconds and says how many
  it held back.
- ``protocol(timeout, http)``: uvicorn's h11 or httptools protocol with a deadline on the
  headers of each request (uvicorn has none: a client that connects and sends nothing, or
  a byte a second, holds its socket for ever; a connection still without complete headers
  at the deadline is closed), and the parser's own refusals of invalid HTTP answered as
  problem documents rather than plain text.
- ``raise_descriptor_limit()``: the soft limit on open files raised to the hard limit, so
  that stalled clients exhaust the deadlines before they exhaust the descriptors.
"""

from __future__ import annotations

import asyncio
import functools
import importlib.util
import logging
import resource
import time
from typing import Any

import h11
from uvicorn.protocols.http.h11_impl import H11Protocol

from .edge import problem_message

FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"
# Loggers whose records can come once per connection.
NOISY_LOGGERS = ("asyncio", "uvicorn.error")


class RateLimitFilter(logging.Filter):
    """At most one record per (logger, message template) every PERIOD seconds at levels
    from WARNING to MAX_LEVEL (a flood of failed accepts or broken requests is one line,
    not a log full of tracebacks); other levels pass. The next record let through says
    how many were held back."""

    def __init__(self, period: float = 10.0, clock: Any = time.monotonic, max_level: int = logging.CRITICAL) -> None:
        super().__init__()
        self.period = period
        self.clock = clock
        self.max_level = max_level
        self._last: dict[tuple[str, str], float] = {}
        self._held: dict[tuple[str, str], int] = {}

    def filter(self, record: logging.LogRecord) -> bool:
        if not logging.WARNING <= record.levelno <= self.max_level:
            return True
        key = (record.name, str(record.msg)[:200])
        now = self.clock()
        last = self._last.get(key)
        if last is not None and now - last < self.period:
            self._held[key] = self._held.get(key, 0) + 1
            return False
        if len(self._last) > 1000:
            self._last.clear()
        self._last[key] = now
        held = self._held.pop(key, 0)
        if held:
            record.msg = f"{record.msg} ({held} more like this in the last {self.period:g} s were not logged)"
        return True


def log_config(level: str) -> dict[str, Any]:
    """The logging of the launcher and of each worker (uvicorn's ``log_config``)."""
    level = level.upper()
    return {
        "version": 1,
        "disable_existing_loggers": False,
        # asyncio's failed accepts are errors; uvicorn's errors are the app's faults, each
        # logged, and only its warnings (a broken request) are limited.
        "filters": {"rate": {"()": RateLimitFilter},
                    "rate_warnings": {"()": RateLimitFilter, "max_level": logging.WARNING}},
        "formatters": {"default": {"format": FORMAT}, "access": {"format": FORMAT}},
        "handlers": {
            "default": {"class": "logging.StreamHandler", "stream": "ext://sys.stderr", "formatter": "default"},
            "limited": {"class": "logging.StreamHandler", "stream": "ext://sys.stderr", "formatter": "default",
                        "filters": ["rate"]},
            "limited_warnings": {"class": "logging.StreamHandler", "stream": "ext://sys.stderr",
                                 "formatter": "default", "filters": ["rate_warnings"]},
            "access": {"class": "logging.StreamHandler", "stream": "ext://sys.stdout", "formatter": "access"},
        },
        "loggers": {
            "velkora": {"handlers": ["default"], "level": level, "propagate": False},
            "uvicorn": {"handlers": ["default"], "level": level, "propagate": False},
            "uvicorn.error": {"handlers": ["limited_warnings"], "level": level, "propagate": False},
            "uvicorn.access": {"handlers": ["access"], "level": level, "propagate": False},
            "asyncio": {"handlers": ["limited"], "level": "WARNING", "propagate": False},
        },
    }


def package_log_config(level: str | int) -> dict[str, Any]:
    """Only the package's loggers and asyncio's (as in ``log_config``), for a server that
    sets up its own loggers (gunicorn)."""
    name = logging.getLevelName(level) if isinstance(level, int) else level.upper()
    full = log_config("info")
    return {"version": 1, "disable_existing_loggers": False, "filters": {"rate": full["filters"]["rate"]},
            "formatters": {"default": full["formatters"]["default"]},
            "handlers": {"default": full["handlers"]["default"], "limited": full["handlers"]["limited"]},
            "loggers": {"velkora": {**full["loggers"]["velkora"], "level": name},
                        "asyncio": full["loggers"]["asyncio"]}}


def raise_descriptor_limit() -> tuple[int, int]:
    """Raises the soft limit on open files to the hard one; returns (before, after)."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard == resource.RLIM_INFINITY or soft < hard:
        target = hard if hard != resource.RLIM_INFINITY else max(soft, 1 << 20)
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))
        except (ValueError, OSError):
            return soft, soft
        return soft, target
    return soft, soft


def send_malformed(transport: asyncio.Transport) -> None:
    """What the parser's refusal of a request that is not valid HTTP (a bad header, both
    length headers to httptools) sends instead of uvicorn's plain text: the problem
    document every other error is, and the connection closed."""
    body, headers = problem_message(400, "request-malformed", "the request is not valid HTTP")
    head = b"HTTP/1.1 400 Bad Request\r\n" + b"".join(name + b": " + value + b"\r\n" for name, value in headers)
    transport.write(head + b"connection: close\r\n\r\n" + body)
    transport.close()


class _HeaderDeadline:
    """The deadline on request headers both parser protocols share: a timer armed when a
    connection opens or a later request begins, cancelled once the headers are in, closing
    the connection if it fires while the protocol still waits for them. Mixed in ahead of
    uvicorn's protocol class, whose loop, transport and cycle it uses."""

    header_timeout_sec: float = 10.0
    loop: asyncio.AbstractEventLoop
    transport: asyncio.Transport

    def __init__(self, *args: Any, header_timeout_sec: float | None = None, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        if header_timeout_sec is not None:
            self.header_timeout_sec = header_timeout_sec
        self._header_timer: asyncio.TimerHandle | None = None

    def connection_made(self, transport: Any) -> None:
        super().connection_made(transport)  # type: ignore[misc]
        self._arm()

    def connection_lost(self, exc: Exception | None) -> None:
        self._disarm()
        super().connection_lost(exc)  # type: ignore[misc]

    def _waiting_for_headers(self) -> bool:
        cycle = getattr(self, "cycle", None)
        return cycle is None or bool(cycle.response_complete)

    def _arm(self) -> None:
        self._header_timer = self.loop.call_later(self.header_timeout_sec, self._headers_late)

    def _disarm(self) -> None:
        if self._header_timer is not None:
            self._header_timer.cancel()
            self._header_timer = None

    def _headers_late(self) -> None:
        self._header_timer = None
        if self._waiting_for_headers() and not self.transport.is_closing():
            self.transport.close()

    def send_400_response(self, msg: str) -> None:
        send_malformed(self.transport)


class HeaderDeadlineH11Protocol(_HeaderDeadline, H11Protocol):
    """uvicorn's h11 protocol, closing a connection whose request headers are not complete
    HEADER_TIMEOUT_SEC seconds after it opened or after the first byte of a later request
    on it (an idle keep-alive connection is uvicorn's own keep-alive timeout's)."""

    def data_received(self, data: bytes) -> None:
        super().data_received(data)
        if self._waiting_for_headers():
            if self._header_timer is None:
                self._arm()
        else:
            self._disarm()

    def _waiting_for_headers(self) -> bool:
        return self.conn.their_state is h11.IDLE and super()._waiting_for_headers()


@functools.cache
def _httptools_protocol() -> type[asyncio.Protocol]:
    """uvicorn's httptools protocol with the same deadline on request headers (httptools
    is optional: imported only when asked for)."""
    from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol

    class HeaderDeadlineHttpToolsProtocol(_HeaderDeadline, HttpToolsProtocol):
        def on_message_begin(self) -> None:
            super().on_message_begin()
            if self._header_timer is None:
                self._arm()

        def on_headers_complete(self) -> None:
            self._disarm()
            super().on_headers_complete()

    return HeaderDeadlineHttpToolsProtocol


def default_http() -> str:
    """httptools where installed (the service extra brings it; faster than h11 in make
    bench), else h11."""
    return "httptools" if importlib.util.find_spec("httptools") else "h11"


def protocol(header_timeout_sec: float, http: str = "h11") -> Any:
    """The protocol class for uvicorn's ``http`` setting, h11 or httptools, with this
    deadline (a partial, which pickles into spawned workers)."""
    if http == "httptools":
        return functools.partial(_HttpTools(), header_timeout_sec=header_timeout_sec)
    return functools.partial(HeaderDeadlineH11Protocol, header_timeout_sec=header_timeout_sec)


class _HttpTools:
    """Makes the httptools protocol on call: a picklable stand-in for a class that can only
    be defined once httptools is known to be there."""

    def __call__(self, *args: Any, **kwargs: Any) -> asyncio.Protocol:
        return _httptools_protocol()(*args, **kwargs)
