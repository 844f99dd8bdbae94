"""Protecting an integrator's own routes in-process: a FastAPI dependency and a Starlette
middleware that take the token and telemetry from the integrator's own request, assess
them with the service's pipeline, and either hand the assessment to the route or answer
the problem document.

    guard = Guard(Settings(signing_keys=..., ...))          # or Guard() for the environment

    @app.post("/login")                                     # FastAPI
    async def login(assessment: Assessment = Depends(guard)) -> ...: ...
    guard.install(app)                                      # answers refusals as problems

    app.add_middleware(GuardMiddleware, guard=guard, paths={"/login"})   # Starlette
    ...  request.state.velkora                              # the Assessment in the route

The envelope (``{"nonce": ..., "telemetry": ...}``, what the collector's ``attach`` puts
in its hidden field) is read from the request's field FIELD (default ``velkora``): a form
field (``application/x-www-form-urlencoded``) holding the envelope's JSON text, or a key of
a JSON body holding the envelope or its text. A request without it is refused
(422 ``envelope-missing``). Any verdict, ``bot`` included, goes to the route, which decides
what to do with it; refusals (a bad, used or expired token, a banned address, a body the
envelope rules refuse) are answered before the route runs.

The guard owns a private instance of the service app for its keys, state, policy and
metrics; it starts on first use, or when entered (``async with guard``, or
``FastAPI(lifespan=guard.lifespan)``), which also closes it at shutdown. The settings'
trusted proxies decide the client's address, as in the service.
"""

from __future__ import annotations

import asyncio
import contextlib
import json
import time
import urllib.parse
import uuid
from collections.abc import AsyncIterator, Callable, Collection
from typing import Any, Self

from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import Response
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from .app import Runtime, _problem, assess_body, client_ip, create_app
from .assess import Assessment, Refusal
from .settings import Settings


class Refused(Exception):
    """A request the guard refused; ``response`` is the problem document to answer."""

    def __init__(self, response: Response) -> None:
        super().__init__(response.status_code)
        self.response = response


class Guard:
    def __init__(self, settings: Settings | None = None, *, field: str = "velkora",
                 clock: Callable[[], float] = time.time) -> None:
        self.field = field
        self._app = create_app(settings, clock=clock)
        self._lock: asyncio.Lock | None = None
        self._stack: contextlib.AsyncExitStack | None = None

    @property
    def app(self) -> Starlette:
        """The guard's instance of the service app, to mount for the collector and the
        token endpoint (``app.mount("/velkora", guard.app)``): it shares the guard's keys
        and state."""
        return self._app

    async def start(self) -> Runtime:
        """The runtime, set up by the service app's lifespan on first call."""
        if self._lock is None:
            self._lock = asyncio.Lock()
        async with self._lock:
            if self._stack is None:
                stack = contextlib.AsyncExitStack()
                await stack.enter_async_context(self._app.router.lifespan_context(self._app))
                self._stack = stack
        runtime: Runtime = self._app.state.runtime
        return runtime

    async def close(self) -> None:
        if self._stack is not None:
            stack, self._stack = self._stack, None
            await stack.aclose()

    async def __aenter__(self) -> Self:
        await self.start()
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()

    @contextlib.asynccontextmanager
    async def lifespan(self, app: object) -> AsyncIterator[None]:
        """For ``FastAPI(lifespan=guard.lifespan)`` or ``Starlette(lifespan=...)``."""
        async with self:
            yield

    def envelope(self, content_type: str, body: bytes) -> bytes:
        """The envelope's JSON text in BODY, or Refusal."""
        kind = content_type.partition(";")[0].strip().lower()
        value: object = None
        if kind == "application/x-www-form-urlencoded":
            try:
                fields = urllib.parse.parse_qs(body.decode("utf-8"), keep_blank_values=True, max_num_fields=1000)
            except (UnicodeDecodeError, ValueError):
                raise Refusal(400, "json-malformed", "the form is not valid UTF-8 form data") from None
            value = fields.get(self.field, [None])[-1]
        elif kind == "application/json" or kind.endswith("+json"):
            try:
                data = json.loads(body)
            except (ValueError, RecursionError):
                raise Refusal(400, "json-malformed", "the body is not valid JSON") from None
            value = data.get(self.field) if isinstance(data, dict) else None
            if isinstance(value, dict):
                return json.dumps(value).encode()
        if not isinstance(value, str) or not value:
            raise Refusal(422, "envelope-missing", f"the request carries no {self.field} field", self.field)
        return value.encode("utf-8")

    async def check(self, request: Request, body: bytes) -> Assessment:
        """The assessment of the envelope in REQUEST's BODY, or Refused."""
        runtime = await self.start()
        try:
            if len(body) > runtime.settings.max_body:
                raise Refusal(413, "payload-too-large", "the body is too large")
            envelope = self.envelope(request.headers.get("content-type", ""), body)
        except Refusal as refusal:
            raise Refused(_problem(refusal, str(uuid.uuid4()))) from None
        return await self.check_envelope(request, envelope)

    async def check_envelope(self, request: Request, envelope: bytes) -> Assessment:
        """The assessment of ENVELOPE (its JSON text) sent with REQUEST, or Refused."""
        runtime = await self.start()
        try:
            return await assess_body(runtime, envelope, client_ip=client_ip(request, runtime),
                                     authenticated=False, idempotency_key=None)
        except Refusal as refusal:
            raise Refused(_problem(refusal, str(uuid.uuid4()))) from None

    async def read_body(self, request: Request) -> bytes:
        """REQUEST's body, or Refused when it is longer than the settings allow (on the
        Content-Length header alone when there is one). The route can still read it."""
        limit = (await self.start()).settings.max_body
        too_large = Refusal(413, "payload-too-large", "the body is too large")
        length = request.headers.get("content-length")
        if length is not None:
            if length.isascii() and length.isdigit() and int(length) > limit:
                raise Refused(_problem(too_large, str(uuid.uuid4()), {"Connection": "close"}))
            return await request.body()
        chunks: list[bytes] = []
        size = 0
        async for chunk in request.stream():
            size += len(chunk)
            if size > limit:
                raise Refused(_problem(too_large, str(uuid.uuid4()), {"Connection": "close"}))
            chunks.append(chunk)
        body = b"".join(chunks)
        # Where Request.body() keeps what it read, so that the route's own reading of the
        # body (FastAPI's parameters) finds it.
        request._body = body
        return body

    async def __call__(self, request: Request) -> Assessment:
        """The FastAPI dependency: the assessment, or Refused (see ``install``)."""
        if getattr(request, "_form", None) is not None:
            # FastAPI read the body as a form for the route's Form parameters first: the
            # field comes from the form it keeps.
            value = (await request.form()).get(self.field)
            if not isinstance(value, str) or not value:
                refusal = Refusal(422, "envelope-missing", f"the request carries no {self.field} field", self.field)
                raise Refused(_problem(refusal, str(uuid.uuid4())))
            return await self.check_envelope(request, value.encode("utf-8"))
        return await self.check(request, await self.read_body(request))

    def install(self, app: Any) -> None:
        """Registers the handler that answers Refused with its problem document."""
        async def refused(request: Request, exc: Exception) -> Response:
            assert isinstance(exc, Refused)
            return exc.response

        app.add_exception_handler(Refused, refused)


class GuardMiddleware:
    """Starlette middleware: requests to PATHS with one of METHODS are assessed before the
    app sees them; the assessment is ``request.state.velkora``, and the body is passed on
    unchanged."""

    def __init__(self, app: ASGIApp, *, guard: Guard, paths: Collection[str],
                 methods: Collection[str] = ("POST",)) -> None:
        self.app = app
        self.guard = guard
        self.paths = frozenset(paths)
        self.methods = frozenset(m.upper() for m in methods)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http" or scope["path"] not in self.paths or scope["method"] not in self.methods:
            await self.app(scope, receive, send)
            return
        request = Request(scope, receive)
        try:
            body = await self.guard.read_body(request)
            assessment = await self.guard.check(request, body)
        except Refused as refused:
            await refused.response(scope, receive, send)
            return
        scope.setdefault("state", {})["velkora"] = assessment
        replayed = False

        async def replay() -> Message:
            nonlocal replayed
            if not replayed:
                replayed = True
                return {"type": "http.request", "body": body, "more_body": False}
            return await receive()

        await self.app(scope, replay, send)
