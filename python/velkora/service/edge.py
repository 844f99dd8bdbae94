"""The edge of the app, as ASGI middleware: what is refused or bounded before a request
reaches a route.

- A request that carries both ``Content-Length`` and ``Transfer-Encoding`` is refused
  (400, connection closed): behind a proxy that frames by the other header the two could
  disagree on where the request ends.
- At most ``max_in_flight`` requests are handled at once in this worker; past that the
  answer is 503 with ``Retry-After``. ``/healthz`` is exempt, so a saturated worker can
  still say how it is.
- The whole body must arrive within ``body_timeout_sec`` of the request reaching the
  app; a slower client gets 408 and the connection is closed.

The limits come from the app's settings as the lifespan loaded them (defaults before
that), so the middleware reads no environment of its own.

An app mounted inside another one (``Mount("/velkora", create_app())``) never sees its
lifespan run: the parent's server runs the parent's alone. The guard then enters the
app's own lifespan on the first request, once, and it stays open for the life of the
process (the parent may instead enter ``app.router.lifespan_context(app)`` in its own
lifespan, which also closes it at shutdown).
"""

from __future__ import annotations

import asyncio
import contextlib
import json
import logging
import time
import uuid
from typing import Any

from starlette.types import ASGIApp, Message, Receive, Scope, Send

from .settings import DEFAULT_BODY_TIMEOUT, DEFAULT_MAX_IN_FLIGHT

log = logging.getLogger("velkora.service")

EXEMPT_PATHS = frozenset({"/healthz"})


class BodyTimeout(Exception):
    """The client did not send its body within the deadline."""


def problem_message(status: int, code: str, detail: str, request_id: str | None = None) -> tuple[bytes, list[
        tuple[bytes, bytes]]]:
    """The body and headers of a problem document, for answers made below the routes."""
    body = json.dumps({"type": f"urn:velkora:error:{code}", "title": code, "status": status, "detail": detail,
                       "success": False, "error-codes": [code],
                       "request_id": request_id or str(uuid.uuid4())}).encode()
    headers = [(b"content-type", b"application/problem+json"), (b"content-length", str(len(body)).encode()),
               (b"cache-control", b"no-store")]
    return body, headers


async def send_problem(send: Send, status: int, code: str, detail: str,
                       extra: list[tuple[bytes, bytes]] | None = None) -> None:
    body, headers = problem_message(status, code, detail)
    await send({"type": "http.response.start", "status": status, "headers": headers + (extra or [])})
    await send({"type": "http.response.body", "body": body})


def _limits(scope: Scope) -> tuple[int, float]:
    runtime = getattr(getattr(scope.get("app"), "state", None), "runtime", None)
    settings = getattr(runtime, "settings", None)
    if settings is None:
        return DEFAULT_MAX_IN_FLIGHT, float(DEFAULT_BODY_TIMEOUT)
    return int(settings.max_in_flight), float(settings.body_timeout_sec)


class EdgeGuard:
    def __init__(self, app: ASGIApp) -> None:
        self.app = app
        self.in_flight = 0
        self._lock: asyncio.Lock | None = None
        self._started: contextlib.AsyncExitStack | None = None

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        owner = scope.get("app")
        if owner is not None and getattr(owner.state, "runtime", None) is None:
            await self._start(owner)
        close = [(b"connection", b"close")]
        names = {name for name, _ in scope["headers"]}
        if b"content-length" in names and b"transfer-encoding" in names:
            await send_problem(send, 400, "request-malformed",
                               "a request may not carry both Content-Length and Transfer-Encoding", close)
            return
        max_in_flight, body_timeout = _limits(scope)
        exempt = scope.get("path") in EXEMPT_PATHS
        if not exempt and self.in_flight >= max_in_flight:
            await send_problem(send, 503, "overloaded", "this worker is answering as many requests as it may",
                               [(b"retry-after", b"1")])
            return
        self.in_flight += 1
        try:
            await self.app(scope, _deadline_receive(receive, time.monotonic() + body_timeout), send)
        finally:
            self.in_flight -= 1


    async def _start(self, owner: Any) -> None:
        """Enters OWNER's lifespan, whose server did not (a mounted app)."""
        if self._lock is None:
            self._lock = asyncio.Lock()
        async with self._lock:
            # Once only: were the lifespan to keep its objects elsewhere, this must not
            # start it again on every request.
            if getattr(owner.state, "runtime", None) is not None or self._started is not None:
                return
            stack = contextlib.AsyncExitStack()
            await stack.enter_async_context(owner.router.lifespan_context(owner))
            self._started = stack
            log.info("the service's lifespan did not run (a mounted app?): started on the first request")


def _deadline_receive(receive: Receive, deadline: float) -> Receive:
    """RECEIVE, raising BodyTimeout when the body is still incomplete at DEADLINE (a
    disconnect or anything after the body is waited for without one)."""
    done = False

    async def bounded() -> Message:
        nonlocal done
        if done:
            return await receive()
        try:
            async with asyncio.timeout_at(asyncio.get_running_loop().time() + max(0.0, deadline - time.monotonic())):
                message = await receive()
        except TimeoutError:
            raise BodyTimeout() from None
        if message["type"] != "http.request" or not message.get("more_body", False):
            done = True
        return message

    return bounded
