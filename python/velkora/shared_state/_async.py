"""AsyncSharedState: the asyncio front end, with a task that keeps the bans in sync.

The same decisions as SharedState (the Engine); only the I/O differs. is_ip_banned and
stats are plain methods: they are answered locally."""

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

from ..trace_memory import TraceConfig, TraceOutcome, script_args
from . import _live
from ._core import (
    PLAIN_NONCE_VALUE,
    REMEMBER_LIMIT,
    TAG_MARK,
    Clock,
    Engine,
    Policy,
    Traces,
    check_duration,
    check_issued,
    check_nonce,
    check_tag,
    check_ttl,
    decode_tag,
    eviction_policies,
    fresh_id,
    marker_batches,
    parse_change,
    script_source,
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
        self._ban_keys = self._keys.ban_keys
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
        self._claim_script = client.register_script(script_source("claim"))
        self._ban_script = client.register_script(script_source("ban"))
        self._unban_script = client.register_script(script_source("unban"))
        self._trace_script = client.register_script(script_source("trace"))
        self._load_script = sync_client.register_script(script_source("load"))
        self._merge_script = sync_client.register_script(script_source("merge"))
        self._check_script = sync_client.register_script(script_source("check"))
        self._markers_script = sync_client.register_script(script_source("markers"))
        self._sync_claim_script = sync_client.register_script(script_source("claim"))
        self._sync_ban_script = sync_client.register_script(script_source("ban"))
        self._sync_unban_script = sync_client.register_script(script_source("unban"))

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

    # ---- nonces ---------------------------------------------------------------------

    async def consume_nonce(self, nonce: str, ttl_sec: int = 120, *, issued_at: float | None = None) -> bool:
        """True exactly once per nonce across every process sharing the store and prefix
        (see SharedState.consume_nonce)."""
        self._enter()
        if type(nonce) is not str or type(ttl_sec) is not int or ttl_sec < 1:
            check_nonce(nonce)
            check_ttl(ttl_sec)
        issued = "" if issued_at is None else check_issued(issued_at)
        if not native.consume_nonce_rs(self._native_prefix + nonce):
            return False
        engine = self._engine
        key, group = self._keys.nonce_key(nonce)
        if engine.may_call():
            try:
                reply = await self._claim(key, group, PLAIN_NONCE_VALUE, ttl_sec, issued)
            except RedisError as error:
                engine.call_failed(error)
            else:
                engine.call_ok()
                return engine.claimed(key, group, PLAIN_NONCE_VALUE, ttl_sec, reply) is None
        return engine.nonce_fallback(key, PLAIN_NONCE_VALUE, ttl_sec, group)

    async def claim_nonce(self, nonce: str, tag: str, ttl_sec: int = 120, *,
                          issued_at: float | None = None) -> str | None:
        """consume_nonce that also stores TAG: None when this call consumed the nonce, else
        the tag of the call that did ("" when unknown)."""
        self._enter()
        engine = self._engine
        native_key = engine.native_nonce(nonce)
        value = TAG_MARK + check_tag(tag).encode("utf-8", "surrogatepass")
        check_ttl(ttl_sec)
        issued = "" if issued_at is None else check_issued(issued_at)
        key, group = self._keys.nonce_key(nonce)
        if not native.consume_nonce_rs(native_key):
            if engine.may_call():
                try:
                    stored = await self._client.get(key)
                except RedisError as error:
                    engine.call_failed(error)
                else:
                    engine.call_ok(write=False)
                    return decode_tag(stored)
            return engine.replay_tag_fallback(key)
        if engine.may_call():
            try:
                reply = await self._claim(key, group, value, ttl_sec, issued)
            except RedisError as error:
                engine.call_failed(error)
            else:
                engine.call_ok()
                previous = engine.claimed(key, group, value, ttl_sec, reply)
                return None if previous is None else decode_tag(previous)
        return engine.claim_fallback(key, value, ttl_sec, group)

    async def _claim(self, key: bytes, group: int, value: bytes, ttl: int, issued: str) -> Any:
        """The claim script, called as EVALSHA on the client directly (one call less than
        redis-py's Script on the hot path), loaded on NOSCRIPT."""
        engine = self._engine
        args = ("EVALSHA", self._claim_script.sha, 2, key, self._keys.markers[group], value, ttl,
                engine.expected_marker(group), *((issued,) if issued else ()))
        try:
            return await self._client.execute_command(*args)
        except NoScriptError:
            await self._client.script_load(self._claim_script.script)
            return await self._client.execute_command(*args)

    # ---- bans -----------------------------------------------------------------------

    def is_ip_banned(self, ip: str) -> bool:
        """Answered by the native engine: no round trip."""
        if self._pending:
            self._start_pending()
        key = self._ip_keys.get(ip)   # the engine's cache, read here to save a call
        return native.is_ip_banned_rs(key if key is not None else self._engine.native_ip(ip))

    async def ban_ip(self, ip: str, duration_sec: int) -> None:
        self._enter()
        engine = self._engine
        address = engine.native_ip(ip)[len(self._keys.native_prefix):]
        check_duration(duration_sec)
        if engine.may_call():
            try:
                version, remaining, epoch = await self._ban_script(keys=self._ban_keys,
                                                                   args=[address, duration_sec, self._keys.channel,
                                                                         fresh_id()])
            except RedisError as error:
                engine.call_failed(error)
            else:
                engine.call_ok()
                engine.apply_own_ban(address, int(version), float(remaining), epoch)
                return
        engine.ban_unreachable(address, duration_sec)

    async def unban_ip(self, ip: str) -> None:
        self._enter()
        engine = self._engine
        address = engine.native_ip(ip)[len(self._keys.native_prefix):]
        if engine.may_call():
            try:
                version, epoch = await self._unban_script(keys=self._ban_keys,
                                                          args=[address, self._keys.channel, fresh_id()])
            except RedisError as error:
                engine.call_failed(error)
            else:
                engine.call_ok()
                engine.apply_own_unban(address, int(version), epoch)
                return
        engine.unban_unreachable(address)

    # ---- trace sketches -------------------------------------------------------------

    async def remember_trace(self, session_id: str, client: str | None, sketch: Mapping[str, Any], *,
                             retry: bool = False, outcome_ttl_sec: int = 600) -> TraceOutcome:
        """The earlier sessions whose trace SKETCH (``trace_sketch``'s dict) this session
        repeats, looked up and this session recorded in one atomic script (one round trip).
        SESSION_ID names the session (the token id); CLIENT is its address, whose own
        oldest sessions go first when it holds too many. A RETRY of an answered session
        gets the outcome its first call had (kept OUTCOME_TTL_SEC seconds when it matched)
        and writes nothing. With the store unreachable: this process's own memory under
        "local", no match under "refuse", StoreUnavailable under "raise"."""
        self._enter()
        traces = self._traces
        call = traces.prepare(session_id, client, sketch, retry, outcome_ttl_sec)
        if call is None:
            return TraceOutcome(sessions=traces.sessions)
        engine = self._engine
        if engine.may_call():
            try:
                reply = await self._trace_script(keys=traces.keys.for_session(call.sid),
                                                 args=script_args(traces.config, call))
            except RedisError as error:
                engine.call_failed(error)
            else:
                engine.call_ok()
                return traces.answered(reply)
        return traces.unreachable(engine, call)

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
        engine = self._engine
        if not engine.eviction_warned:
            try:
                engine.check_eviction(eviction_policies(await self._sync_client.config_get("maxmemory-policy")))
            except RedisError:
                log.debug("CONFIG GET maxmemory-policy refused; eviction policy unknown")
        for _ in range(5):
            reply = await self._load_script(keys=self._ban_keys, args=[fresh_id()], client=self._sync_client)
            engine.call_ok(write=False)
            pairs = engine.resync(reply)
            if pairs is None:
                if not self._loaded.is_set():
                    # Before start() returns: the markers exist before any token is issued.
                    self._start_wait = await self._check_markers()
                self._loaded.set()
                return
            version, epoch = await self._merge_script(keys=self._ban_keys,
                                                      args=[self._keys.channel, reply[0], *pairs],
                                                      client=self._sync_client)
            engine.call_ok()
            if int(version) >= 0:
                engine.merged(epoch)
        raise RedisError("the ban epoch kept changing while loading")

    async def _on_message(self, message: dict[str, Any]) -> None:
        kind = message.get("type")
        if kind == "subscribe":
            await self._load()
        elif kind == "message":
            change = parse_change(message["data"])
            if change is not None and not self._engine.apply_change(change):
                await self._load()

    async def _check(self, pubsub: Any) -> None:
        engine = self._engine
        await self._check_markers()
        check_keys = [self._keys.version, self._keys.epoch, self._keys.probe]
        epoch, version = await self._check_script(keys=check_keys, client=self._sync_client)
        engine.call_ok()
        if engine.behind(epoch, int(version)):
            message = await pubsub.get_message(timeout=0.05)
            while message is not None:
                await self._on_message(message)
                message = await pubsub.get_message(timeout=0)
            epoch, version = await self._check_script(keys=check_keys, client=self._sync_client)
            if engine.behind(epoch, int(version)):
                await self._load()

    async def _check_markers(self) -> float:
        """Reads (and makes when missing) every nonce group's epoch marker; the answer is
        how long to wait before tokens are issued (see Engine.see_markers)."""
        wait = 0.0
        for groups in marker_batches(self._sync_client):
            reply = await self._markers_script(keys=[self._keys.markers[g] for g in groups], client=self._sync_client)
            wait = max(wait, self._engine.see_markers(groups, reply))
        return wait

    async def _flush_queue(self) -> None:
        engine = self._engine
        while not self._stop.is_set() and (item := engine.next_queued()) is not None:
            ip, end, remaining = item
            if end is None:
                await self._sync_unban_script(keys=self._ban_keys, args=[ip, self._keys.channel, fresh_id()])
            else:
                await self._sync_ban_script(keys=self._ban_keys,
                                            args=[ip, f"{remaining:.6f}", self._keys.channel, fresh_id()])
            engine.call_ok()
            engine.queued_done(ip, end)

    async def _write_back(self) -> None:
        engine = self._engine
        items = engine.writebacks()
        for i, item in enumerate(items):
            if item.ttl < 1:
                continue
            try:
                reply = await self._sync_claim_script(keys=[item.key, self._keys.markers[item.group]],
                                                      args=[item.value, item.ttl, engine.expected_marker(item.group)])
            except BaseException:
                engine.retry_writebacks(items[i:])
                raise
            engine.call_ok()
            engine.wrote_back(item, reply)


async def _close_quietly(pubsub: Any) -> None:
    if pubsub is not None:
        try:
            await pubsub.aclose()
        except Exception:  # noqa: BLE001 - closing a broken connection may fail again
            log.debug("closing the subscription failed", exc_info=True)
