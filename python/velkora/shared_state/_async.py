"""AsyncSharedState: the asyncio front end, with a task that keeps the bans in sync.

The same decisions as SharedState (the Engine); only the I/O differs. is_ip_banned and
stats are plain methods: they are answered locally."""

from __future__ import annotations

import asyncio
import contextlib
import logging
from collections.abc import Mapping
from types import TracebackType
from typing import Any, Self

import redis.asyncio
import velkora_core_rs as native
from redis.asyncio.retry import Retry
from redis.backoff import NoBackoff
from redis.exceptions import RedisError
from redis.exceptions import TimeoutError as RedisTimeoutError

from ..trace_memory import TraceConfig, TraceOutcome, script_args
from . import _live
from ._core import (
    Clock,
    Engine,
    Policy,
    Traces,
    check_duration,
    check_nonce,
    check_tag,
    check_ttl,
    decode_tag,
    eviction_policies,
    parse_change,
    script_source,
)
from ._sync import _LAYER_OPTIONS, DEFAULT_SYNC_TIMEOUT, DEFAULT_TIMEOUT, POLL_SEC

log = logging.getLogger("velkora.shared_state")


class AsyncSharedState:
    """SharedState for asyncio: CLIENT is a ``redis.asyncio.Redis`` or
    ``redis.asyncio.cluster.RedisCluster``. consume_nonce, claim_nonce, ban_ip, unban_ip,
    start and close are coroutines; the sync runs as a task of the loop that called
    start() (or the first coroutine)."""

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
    ) -> None:
        self._engine = Engine(prefix, on_store_error, clock, breaker_threshold=breaker_threshold,
                              breaker_delay=breaker_delay, queue_limit=queue_limit)
        self._traces = Traces(prefix, trace_config, self._engine.clock)
        self._keys = self._engine.keys
        self._native_prefix = self._keys.native_prefix
        self._ip_keys = self._engine.ip_keys
        self._client = client
        self._sync_client = sync_client if sync_client is not None else client
        self._owns_clients = False
        self._check_interval = check_interval
        self._start_timeout = start_timeout
        self._ban_script = client.register_script(script_source("ban"))
        self._unban_script = client.register_script(script_source("unban"))
        self._trace_script = client.register_script(script_source("trace"))
        self._load_script = self._sync_client.register_script(script_source("load"))
        self._sync_ban_script = self._sync_client.register_script(script_source("ban"))
        self._sync_unban_script = self._sync_client.register_script(script_source("unban"))
        self._task: asyncio.Task[None] | None = None
        self._stop = asyncio.Event()
        self._loaded = asyncio.Event()
        self._closed = False
        self._pending = True   # the first coroutine starts the sync (see SharedState)
        _live.track(self)

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

        if cluster:
            from redis.asyncio.cluster import RedisCluster

            client: Any = RedisCluster.from_url(url, **options_for(timeout))
            sync_client: Any = RedisCluster.from_url(url, **options_for(sync_timeout))
        else:
            client = redis.asyncio.Redis.from_url(url, **options_for(timeout))
            sync_client = redis.asyncio.Redis.from_url(url, **options_for(sync_timeout))
        state = cls(client, prefix=prefix, on_store_error=on_store_error, sync_client=sync_client, **own)
        state._owns_clients = True
        return state

    # ---- life cycle -----------------------------------------------------------------

    async def start(self) -> None:
        """Starts the sync task and returns after the first full load of the active bans
        (or, when the store cannot be reached in time, goes on locally or raises
        StoreUnavailable under "raise"). Calling it again is harmless."""
        self._pending = False
        self._ensure_task()
        try:
            await asyncio.wait_for(self._loaded.wait(), self._start_timeout)
        except TimeoutError:
            if self._engine.policy == "raise":
                raise self._engine.unavailable() from None
            log.warning("store %s: no full load of bans within %.1f s; going on with local state",
                        self._keys.prefix, self._start_timeout)

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

    def _stop_at_exit(self) -> None:
        """Nothing to do: a task ends with its event loop."""

    def _after_fork_in_child(self) -> None:
        self._engine.reset_lock()
        self._traces.local.reset_lock()
        self._task = None
        self._stop = asyncio.Event()
        self._loaded = asyncio.Event()
        self._pending = not self._closed

    def _start_pending(self) -> None:
        try:
            asyncio.get_running_loop()
        except RuntimeError:
            return  # no loop in this thread: the next coroutine starts the sync
        self._pending = False
        if not self._closed:
            self._ensure_task()

    # ---- nonces ---------------------------------------------------------------------

    async def consume_nonce(self, nonce: str, ttl_sec: int = 120) -> bool:
        """True exactly once per nonce across every process sharing the store and prefix."""
        if self._pending:
            self._start_pending()
        if type(nonce) is not str or type(ttl_sec) is not int or ttl_sec < 1:
            check_nonce(nonce)
            check_ttl(ttl_sec)
        if not native.consume_nonce_rs(self._native_prefix + nonce):
            return False
        engine = self._engine
        if engine.may_call():
            try:
                created = await self._client.set(self._keys.nonce(nonce), b"1", nx=True, ex=ttl_sec)
            except RedisError as error:
                engine.call_failed(error)
            else:
                engine.call_ok()
                return bool(created)
        return engine.nonce_fallback()

    async def claim_nonce(self, nonce: str, tag: str, ttl_sec: int = 120) -> str | None:
        """consume_nonce that also stores TAG: None when this call consumed the nonce, else
        the tag of the call that did ("" when unknown)."""
        if self._pending:
            self._start_pending()
        engine = self._engine
        native_key = engine.native_nonce(nonce)
        value = b"t:" + check_tag(tag).encode("utf-8", "surrogatepass")
        check_ttl(ttl_sec)
        key = self._keys.nonce(nonce)
        if not native.consume_nonce_rs(native_key):
            if engine.may_call():
                try:
                    stored = await self._client.get(key)
                except RedisError as error:
                    engine.call_failed(error)
                else:
                    engine.call_ok()
                    return decode_tag(stored)
            return engine.replay_tag_fallback()
        if engine.may_call():
            try:
                previous = await self._client.set(key, value, nx=True, get=True, ex=ttl_sec)
            except RedisError as error:
                engine.call_failed(error)
            else:
                engine.call_ok()
                return None if previous is None else decode_tag(previous)
        return engine.claim_fallback()

    # ---- bans -----------------------------------------------------------------------

    def is_ip_banned(self, ip: str) -> bool:
        """Answered by the native engine: no round trip."""
        if self._pending:
            self._start_pending()
        key = self._ip_keys.get(ip)   # the engine's cache, read here to save a call
        return native.is_ip_banned_rs(key if key is not None else self._engine.native_ip(ip))

    async def ban_ip(self, ip: str, duration_sec: int) -> None:
        if self._pending:
            self._start_pending()
        engine = self._engine
        address = engine.native_ip(ip)[len(self._keys.native_prefix):]
        check_duration(duration_sec)
        if engine.may_call():
            try:
                version, remaining = await self._ban_script(keys=[self._keys.bans, self._keys.version],
                                                            args=[address, duration_sec, self._keys.channel])
            except RedisError as error:
                engine.call_failed(error)
            else:
                engine.call_ok()
                engine.apply_own_ban(address, int(version), float(remaining))
                return
        engine.ban_unreachable(address, duration_sec)

    async def unban_ip(self, ip: str) -> None:
        if self._pending:
            self._start_pending()
        engine = self._engine
        address = engine.native_ip(ip)[len(self._keys.native_prefix):]
        if engine.may_call():
            try:
                version = await self._unban_script(keys=[self._keys.bans, self._keys.version],
                                                   args=[address, self._keys.channel])
            except RedisError as error:
                engine.call_failed(error)
            else:
                engine.call_ok()
                engine.apply_own_unban(address, int(version))
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
        if self._pending:
            self._start_pending()
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
        return self._engine.stats() | self._traces.stats()

    # ---- the sync task --------------------------------------------------------------

    async def _run(self) -> None:
        """As SharedState._run: subscribe, load, apply changes, check the version, flush the
        queue; any failure is logged and counted and the loop starts over."""
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
                    next_check = engine.clock.monotonic() + self._check_interval
                    backoff = 0.05
                message = await pubsub.get_message(timeout=POLL_SEC)
                while message is not None and not stop.is_set():
                    await self._on_message(message)
                    message = await pubsub.get_message(timeout=0)
                if len(engine.queue):
                    await self._flush_queue()
                if engine.clock.monotonic() >= next_check:
                    next_check = engine.clock.monotonic() + self._check_interval
                    await self._check_version(pubsub)
                    engine.prune()
            except asyncio.CancelledError:
                await _close_quietly(pubsub)
                raise
            except Exception as error:  # noqa: BLE001 - the sync must outlive any failure
                if isinstance(error, RedisError):
                    engine.call_failed(error)
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
        if not self._engine.eviction_warned:
            try:
                self._engine.check_eviction(eviction_policies(await self._sync_client.config_get("maxmemory-policy")))
            except RedisError:
                log.debug("CONFIG GET maxmemory-policy refused; eviction policy unknown")
        reply = await self._load_script(keys=[self._keys.bans, self._keys.version], client=self._sync_client)
        self._engine.call_ok()
        self._engine.resync(reply)
        self._loaded.set()

    async def _on_message(self, message: dict[str, Any]) -> None:
        kind = message.get("type")
        if kind == "subscribe":
            await self._load()
        elif kind == "message":
            change = parse_change(message["data"])
            if change is not None and not self._engine.apply_change(change):
                await self._load()

    async def _check_version(self, pubsub: Any) -> None:
        version = int(await self._sync_client.get(self._keys.version) or 0)
        self._engine.call_ok()
        if self._engine.behind(version):
            message = await pubsub.get_message(timeout=0.05)
            while message is not None:
                await self._on_message(message)
                message = await pubsub.get_message(timeout=0)
            if self._engine.behind(int(await self._sync_client.get(self._keys.version) or 0)):
                await self._load()

    async def _flush_queue(self) -> None:
        engine = self._engine
        while not self._stop.is_set() and (item := engine.next_queued()) is not None:
            ip, end, remaining = item
            keys = [self._keys.bans, self._keys.version]
            if end is None:
                await self._sync_unban_script(keys=keys, args=[ip, self._keys.channel])
            else:
                await self._sync_ban_script(keys=keys, args=[ip, f"{remaining:.6f}", self._keys.channel])
            engine.call_ok()
            engine.queued_done(ip, end)


async def _close_quietly(pubsub: Any) -> None:
    if pubsub is not None:
        try:
            await pubsub.aclose()
        except Exception:  # noqa: BLE001 - closing a broken connection may fail again
            log.debug("closing the subscription failed", exc_info=True)
