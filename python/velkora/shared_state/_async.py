"""AsyncSharedState: the asyncio front end, with a task that keeps the bans in sync.

The same decisions and store commands as SharedState (the Engine's plans and steps);
only running them differs: here they are awaited. is_ip_banned and stats are plain
methods: they are answered locally."""

from __future__ import annotations

import asyncio
import contextlib
import logging
from collections.abc import Callable, Mapping
from types import TracebackType
from typing import Any, Self

import redis.asyncio
import velkora_core_rs as native
from redis.asyncio.retry import Retry
from redis.backoff import NoBackoff
from redis.exceptions import NoScriptError, RedisError
from redis.exceptions import TimeoutError as RedisTimeoutError

from .._state_common import DEFAULT_NONCE_TTL_SEC, DEFAULT_OUTCOME_TTL_SEC
from ..trace_memory import TraceConfig, TraceOutcome
from . import _live
from ._core import (
    REMEMBER_LIMIT,
    ClaimAndTrace,
    Clock,
    Command,
    Engine,
    Plan,
    Policy,
    Steps,
    Traces,
    is_cluster,
    marker_batches,
    parse_change,
)
from ._sync import _LAYER_OPTIONS, DEFAULT_SYNC_TIMEOUT, DEFAULT_TIMEOUT, POLL_SEC

log = logging.getLogger("velkora.shared_state")


class WrongEventLoop(RuntimeError):
    """An AsyncSharedState was called from an event loop other than the one its clients
    and sync task belong to, while that loop still runs. Its connections cannot be used
    from two loops: make one instance per loop."""


class AsyncSharedState:
    """SharedState for asyncio: CLIENT is a ``redis.asyncio.Redis`` or
    ``redis.asyncio.cluster.RedisCluster``. consume_nonce, claim_nonce, ban_ip, unban_ip,
    start and close are coroutines; the sync runs as a task of the loop that called
    start() (or the first coroutine).

    Event loops: the instance binds to the loop of its first coroutine. Called from
    another loop once that one has stopped (a second ``asyncio.run``), it moves: the
    clients ``from_url`` made are made again for the new loop and the sync task starts
    there. Clients passed in cannot be moved, and neither can an instance whose loop
    still runs: the call raises WrongEventLoop, counted in ``loop_errors`` and logged."""

    def __init__(
        self,
        client: Any,
        *,
        prefix: str = "velkora:",
        on_store_error: Policy = "local",
        sync_client: Any = None,
        check_interval: float = 5.0,
        breaker_threshold: int = 3,
        breaker_delay: tuple[float, float] = (0.1, 5.0),
        queue_limit: int = 10_000,
        start_timeout: float = DEFAULT_SYNC_TIMEOUT,
        clock: Clock | None = None,
        trace_config: TraceConfig | None = None,
        remember_limit: int = REMEMBER_LIMIT,
    ) -> None:
        self._engine = Engine(prefix, on_store_error, clock, breaker_threshold=breaker_threshold,
                              breaker_delay=breaker_delay, queue_limit=queue_limit, remember_limit=remember_limit)
        self._traces = Traces(prefix, trace_config, self._engine.clock)
        self._keys = self._engine.keys
        self._native_prefix = self._keys.native_prefix
        self._ip_keys = self._engine.ip_keys
        self._owns_clients = False
        # Makes the two clients again for another event loop (from_url sets it).
        self._client_factory: Callable[[], tuple[Any, Any]] | None = None
        self._check_interval = check_interval
        self._start_timeout = start_timeout
        self._consume = self._engine.consume
        self._use_clients(client, sync_client if sync_client is not None else client)
        self._task: asyncio.Task[None] | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._stop = asyncio.Event()
        self._loaded = asyncio.Event()
        self._start_wait = 0.0
        self._closed = False
        self._pending = True   # the first coroutine starts the sync (see SharedState)
        self.loop_errors = 0
        self.sync_deaths = 0
        self._loop_error_logged = False
        _live.track(self)

    def _use_clients(self, client: Any, sync_client: Any) -> None:
        self._client = client
        self._sync_client = sync_client
        self._batches = marker_batches(sync_client)
        # The claim and the trace memory's keys share a node only outside a Cluster.
        self._single_node = not is_cluster(client)

    @classmethod
    def from_url(
        cls,
        url: str,
        *,
        prefix: str = "velkora:",
        on_store_error: Policy = "local",
        cluster: bool = False,
        timeout: float = DEFAULT_TIMEOUT,
        sync_timeout: float = DEFAULT_SYNC_TIMEOUT,
        **client_options: Any,
    ) -> Self:
        """As SharedState.from_url, with asyncio clients (which connect on first use)."""
        own = {k: client_options.pop(k) for k in list(client_options) if k in _LAYER_OPTIONS}

        def options_for(seconds: float) -> dict[str, Any]:
            return {"socket_timeout": seconds, "socket_connect_timeout": seconds,
                    "retry": Retry(NoBackoff(), 0), **client_options}

        def make() -> tuple[Any, Any]:
            if cluster:
                from redis.asyncio.cluster import RedisCluster

                return (RedisCluster.from_url(url, **options_for(timeout)),
                        RedisCluster.from_url(url, **options_for(sync_timeout)))
            return (redis.asyncio.Redis.from_url(url, **options_for(timeout)),
                    redis.asyncio.Redis.from_url(url, **options_for(sync_timeout)))

        client, sync_client = make()
        state = cls(client, prefix=prefix, on_store_error=on_store_error, sync_client=sync_client, **own)
        state._owns_clients = True
        state._client_factory = make
        return state

    # ---- life cycle -----------------------------------------------------------------

    async def start(self) -> None:
        """Starts the sync task and returns after the first full load of the active bans
        (or, when the store cannot be reached in time, goes on locally or raises
        StoreUnavailable under "raise"). Calling it again is harmless."""
        self._pending = False
        self._bind()
        self._ensure_task()
        try:
            await asyncio.wait_for(self._loaded.wait(), self._start_timeout)
        except TimeoutError:
            if self._engine.policy == "raise":
                raise self._engine.unavailable() from None
            log.warning("store %s: no full load of bans within %.1f s; going on with local state",
                        self._keys.prefix, self._start_timeout)
            return
        wait, self._start_wait = self._start_wait, 0.0   # see SharedState.start
        await asyncio.sleep(wait)

    async def close(self) -> None:
        """Stops the sync task and releases the connections (those from_url made). Idempotent."""
        self._pending = False
        self._closed = True
        self._stop.set()
        task, self._task = self._task, None
        if task is not None and not task.done():
            task.cancel()   # it stops at its next await; the engine is never left half-changed
            await asyncio.wait([task], timeout=10)
        if self._owns_clients:
            self._owns_clients = False
            for client in {id(c): c for c in (self._client, self._sync_client)}.values():
                try:
                    await client.aclose()
                except Exception:  # noqa: BLE001 - closing is best effort
                    log.debug("closing a store client failed", exc_info=True)

    async def __aenter__(self) -> Self:
        await self.start()
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        tb: TracebackType | None) -> None:
        await self.close()

    def _ensure_task(self) -> None:
        if self._closed:
            raise RuntimeError("this AsyncSharedState is closed")
        if self._task is not None and not self._task.done():
            return
        self._stop.clear()
        self._task = asyncio.get_running_loop().create_task(self._run(), name=f"velkora-sync[{self._keys.prefix}]")
        self._task.add_done_callback(self._sync_ended)

    def _sync_ended(self, task: asyncio.Task[None]) -> None:
        """The sync task ends only by close(); any other end (its loop shut down, an
        error that escaped) is counted and logged, and the next call starts it again."""
        if self._closed or self._stop.is_set():
            return
        self.sync_deaths += 1
        self._pending = True
        if task.cancelled():
            log.warning("store %s: the sync task was cancelled (its event loop ended?); the next call restarts it",
                        self._keys.prefix)
        elif task.exception() is not None:
            log.error("store %s: the sync task ended with an error; the next call restarts it", self._keys.prefix,
                      exc_info=task.exception())

    def _bind(self) -> None:
        """Binds to the running loop, or moves here from a loop that has stopped; raises
        WrongEventLoop when that cannot be done."""
        loop = asyncio.get_running_loop()
        old = self._loop
        if old is loop:
            return
        if old is not None:
            if not (old.is_closed() or not old.is_running()) or self._client_factory is None:
                self.loop_errors += 1
                message = ("this AsyncSharedState belongs to another event loop" +
                           (" that is still running" if old.is_running() else
                            " and was made with clients passed in, which cannot be moved") +
                           "; make one instance per event loop (from_url instances move to a new loop "
                           "once their old one has stopped)")
                if not self._loop_error_logged:
                    self._loop_error_logged = True
                    log.error("store %s: %s", self._keys.prefix, message)
                raise WrongEventLoop(message)
            log.info("store %s: moving to a new event loop; its clients are made again", self._keys.prefix)
            # The old loop is gone, and with it the old task and connections: nothing of
            # theirs can be awaited or closed from here.
            self._use_clients(*self._client_factory())
            self._task = None
            self._stop = asyncio.Event()
            self._loaded = asyncio.Event()
            self._pending = True
        self._loop = loop

    def _stop_at_exit(self) -> None:
        """Nothing to do: a task ends with its event loop."""

    def _after_fork_in_child(self) -> None:
        self._engine.reset_lock()
        self._traces.local.reset_lock()
        self._task = None
        self._loop = None
        self._stop = asyncio.Event()
        self._loaded = asyncio.Event()
        self._pending = not self._closed

    def _start_pending(self) -> None:
        try:
            asyncio.get_running_loop()
        except RuntimeError:
            return  # no loop in this thread: the next coroutine starts the sync
        self._bind()
        self._pending = False
        if not self._closed:
            self._ensure_task()

    def _enter(self) -> None:
        """Every coroutine's first step: the right loop, and the sync running."""
        if self._pending or asyncio.get_running_loop() is not self._loop:
            self._bind()
            if self._pending:
                self._start_pending()

    # ---- the operations: decided by the engine, awaited here -----------------------

    async def consume_nonce(self, nonce: str, ttl_sec: int = DEFAULT_NONCE_TTL_SEC, *,
                            issued_at: float | None = None) -> bool:
        """True exactly once per nonce across every process sharing the store and prefix
        (see SharedState.consume_nonce)."""
        self._enter()
        plan = self._consume(nonce, ttl_sec, issued_at)
        if plan is False:   # refused by the native engine: the replay path
            return False
        return await self._execute(plan) if isinstance(plan, Plan) else plan

    async def claim_nonce(self, nonce: str, tag: str, ttl_sec: int = DEFAULT_NONCE_TTL_SEC, *,
                          issued_at: float | None = None) -> str | None:
        """consume_nonce that also stores TAG: None when this call consumed the nonce, else
        the tag of the call that did ("" when unknown)."""
        self._enter()
        plan = self._engine.claim(nonce, tag, ttl_sec, issued_at)
        return await self._execute(plan) if isinstance(plan, Plan) else plan

    def is_ip_banned(self, ip: str) -> bool:
        """Answered by the native engine: no round trip."""
        if self._pending:
            self._start_pending()
        key = self._ip_keys.get(ip)   # the engine's cache, read here to save a call
        return native.is_ip_banned_rs(key if key is not None else self._engine.native_ip(ip))

    async def ban_ip(self, ip: str, duration_sec: int) -> None:
        self._enter()
        plan = self._engine.ban(ip, duration_sec)
        if plan is not None:
            await self._execute(plan)

    async def unban_ip(self, ip: str) -> None:
        self._enter()
        plan = self._engine.unban(ip)
        if plan is not None:
            await self._execute(plan)

    async def remember_trace(self, session_id: str, client: str | None, sketch: Mapping[str, Any], *,
                             retry: bool = False, outcome_ttl_sec: int = DEFAULT_OUTCOME_TTL_SEC) -> TraceOutcome:
        """As SharedState.remember_trace."""
        self._enter()
        plan = self._traces.remember(self._engine, session_id, client, sketch, retry, outcome_ttl_sec)
        return await self._execute(plan) if isinstance(plan, Plan) else plan

    async def claim_nonce_and_remember_trace(
        self, nonce: str, tag: str, ttl_sec: int = DEFAULT_NONCE_TTL_SEC, *, issued_at: float | None = None,
        session_id: str, client: str | None, sketch: Mapping[str, Any],
        outcome_ttl_sec: int = DEFAULT_OUTCOME_TTL_SEC,
    ) -> ClaimAndTrace:
        """claim_nonce, and remember_trace for the session when the claim lets it through:
        when this call consumed the nonce, or repeats with the same non-empty TAG the call
        that did (then as its retry, which writes nothing). On a single store node both run
        in one script, one round trip; a refused claim stores no trace either way.

        Returns claim_nonce's answer and the trace's outcome, which is None when the trace
        was not looked at (a Cluster, whose keys for the two fall in different slots; the
        nonce already seen by this process; a sketch with nothing to remember or not a
        sketch; the store not answering): the caller then calls remember_trace itself if
        the claim let the request through."""
        self._enter()
        plan = self._traces.claim_and_remember(self._engine, nonce, tag, ttl_sec, issued_at, session_id, client,
                                               sketch, outcome_ttl_sec, single_node=self._single_node)
        return await self._execute(plan) if isinstance(plan, Plan) else plan

    async def _execute[T](self, plan: Plan[T]) -> T:
        """Awaits a plan's store call on the request client (see SharedState._execute)."""
        client = self._client
        try:
            try:
                reply = await client.execute_command(*plan.args)
            except NoScriptError as error:
                reply = await _reload(client, plan, error)
        except RedisError as error:
            return plan.failed(error)
        return plan.answered(reply)

    async def _drive[T](self, steps: Steps[T]) -> T:
        """Runs a duty of the sync on the sync client (see SharedState._drive)."""
        client = self._sync_client
        try:
            command = next(steps)
            while True:
                try:
                    reply = await _send(client, command)
                except BaseException as error:  # noqa: BLE001 - the duty decides, and re-raises
                    command = steps.throw(error)
                else:
                    command = steps.send(reply)
        except StopIteration as done:
            return done.value  # type: ignore[no-any-return]

    def stats(self) -> dict[str, Any]:
        return self._engine.stats() | self._traces.stats() | {"loop_errors": self.loop_errors,
                                                               "sync_restarts": self.sync_deaths}

    # ---- the sync task --------------------------------------------------------------

    async def _run(self) -> None:
        """As SharedState._run: subscribe, load, apply changes, check the epochs and the
        version, flush the queue, write back nonces; any failure is logged and counted
        and the loop starts over."""
        stop, engine = self._stop, self._engine
        pubsub: Any = None
        backoff = 0.05
        next_check = 0.0
        while not stop.is_set():
            try:
                if pubsub is None:
                    pubsub = await self._subscribe()
                    await self._flush_queue()
                    await self._load()
                    next_check = engine.clock.monotonic()
                    backoff = 0.05
                message = await pubsub.get_message(timeout=POLL_SEC)
                while message is not None and not stop.is_set():
                    await self._on_message(message)
                    message = await pubsub.get_message(timeout=0)
                if len(engine.queue):
                    await self._flush_queue()
                if engine.clock.monotonic() >= next_check:
                    next_check = engine.clock.monotonic() + self._check_interval
                    await self._check(pubsub)
                    engine.prune()
                if engine.resync_needed:
                    await self._load()
                await self._write_back()
            except asyncio.CancelledError:
                await _close_quietly(pubsub)
                raise
            except Exception as error:  # noqa: BLE001 - the sync must outlive any failure
                if isinstance(error, RedisError):
                    engine.call_failed(error, sync=True)
                else:
                    log.exception("shared state sync failed; starting over")
                await _close_quietly(pubsub)
                pubsub = None
                with contextlib.suppress(TimeoutError):
                    await asyncio.wait_for(stop.wait(), backoff)
                backoff = min(backoff * 2, 2.0)
        await _close_quietly(pubsub)

    async def _subscribe(self) -> Any:
        pubsub = self._sync_client.pubsub()
        try:
            await pubsub.subscribe(self._keys.channel)
            while True:
                message = await pubsub.get_message(timeout=self._start_timeout)
                if message is None:
                    raise RedisTimeoutError("no subscription confirmation")
                if message["type"] == "subscribe":
                    return pubsub
        except BaseException:
            await _close_quietly(pubsub)
            raise

    async def _load(self) -> None:
        wait = await self._drive(self._engine.load(not self._loaded.is_set(), self._batches))
        if not self._loaded.is_set():
            self._start_wait = wait
            self._loaded.set()

    async def _on_message(self, message: dict[str, Any]) -> None:
        kind = message.get("type")
        if kind == "subscribe":
            await self._load()
        elif kind == "message":
            change = parse_change(message["data"])
            if change is not None and not self._engine.apply_change(change):
                await self._load()

    async def _check(self, pubsub: Any) -> None:
        if await self._drive(self._engine.check(self._batches)):
            message = await pubsub.get_message(timeout=0.05)
            while message is not None:
                await self._on_message(message)
                message = await pubsub.get_message(timeout=0)
            if await self._drive(self._engine.recheck()):
                await self._load()

    async def _flush_queue(self) -> None:
        await self._drive(self._engine.flush_queue(self._stop.is_set))

    async def _write_back(self) -> None:
        await self._drive(self._engine.write_back())


async def _send(client: Any, command: Command) -> Any:
    """One command on CLIENT, awaited (see _sync._send)."""
    try:
        return await getattr(client, command.method)(*command.args)
    except NoScriptError as error:
        return await _reload(client, command, error)


async def _reload(client: Any, command: Command, error: NoScriptError) -> Any:
    if command.script is None:
        raise error
    await client.script_load(command.script.source)
    return await getattr(client, command.method)(*command.args)


async def _close_quietly(pubsub: Any) -> None:
    if pubsub is not None:
        try:
            await pubsub.aclose()
        except Exception:  # noqa: BLE001 - closing a broken connection may fail again
            log.debug("closing the subscription failed", exc_info=True)
