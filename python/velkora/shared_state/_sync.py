"""SharedState: the blocking front end, with a daemon thread that keeps the bans in sync."""

from __future__ import annotations

import logging
import threading
import time
from collections.abc import Mapping
from types import TracebackType
from typing import Any, Self

import redis
import velkora_core_rs as native
from redis.backoff import NoBackoff
from redis.exceptions import NoScriptError, RedisError
from redis.retry import Retry

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

log = logging.getLogger("velkora.shared_state")

DEFAULT_TIMEOUT = 0.05
DEFAULT_SYNC_TIMEOUT = 5.0
# How long the sync waits for a published change before it looks at its other duties
# (and at close()).
POLL_SEC = 0.1


class SharedState:
    """Nonces consumed once across every process that shares the store and prefix, and
    bans every process sees, with the native engine as the local first line.

    CLIENT is a ``redis.Redis`` or ``redis.cluster.RedisCluster``; its timeouts and
    retries are used as they are (``from_url`` sets short ones). SYNC_CLIENT, when
    given, carries the sync's subscription and full loads (which may take longer than a
    request should wait). Construction does no I/O; ``start()`` (or the first call)
    starts the sync."""

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
        self._client = client
        self._sync_client = sync_client if sync_client is not None else client
        self._owns_clients = False
        self._check_interval = check_interval
        self._start_timeout = start_timeout
        self._ban_keys = self._keys.ban_keys
        self._claim_script = client.register_script(script_source("claim"))
        self._ban_script = client.register_script(script_source("ban"))
        self._unban_script = client.register_script(script_source("unban"))
        self._trace_script = client.register_script(script_source("trace"))
        self._load_script = self._sync_client.register_script(script_source("load"))
        self._merge_script = self._sync_client.register_script(script_source("merge"))
        self._check_script = self._sync_client.register_script(script_source("check"))
        self._markers_script = self._sync_client.register_script(script_source("markers"))
        self._sync_claim_script = self._sync_client.register_script(script_source("claim"))
        self._sync_ban_script = self._sync_client.register_script(script_source("ban"))
        self._sync_unban_script = self._sync_client.register_script(script_source("unban"))
        self._start_lock = threading.Lock()
        self._stop = threading.Event()
        self._loaded = threading.Event()
        self._start_wait = 0.0
        self._thread: threading.Thread | None = None
        self._closed = False
        # The first call starts the sync when start() was not called (and, after a
        # fork, the child's own): a flag read on every call, cheap on the hot paths.
        self._pending = True
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
        """A client for URL with TIMEOUT (seconds) for connecting and for each reply on the
        request path and no retries, and a second one with SYNC_TIMEOUT for the sync.
        CLUSTER=True makes ``RedisCluster`` clients. CLIENT_OPTIONS go to both; the
        layer's own options (check_interval, breaker_threshold, …) are taken out first."""
        own = {k: client_options.pop(k) for k in list(client_options) if k in _LAYER_OPTIONS}
        client, sync_client = _make_clients(url, cluster, timeout, sync_timeout, client_options)
        state = cls(client, prefix=prefix, on_store_error=on_store_error, sync_client=sync_client, **own)
        state._owns_clients = True
        return state

    # ---- life cycle -----------------------------------------------------------------

    def start(self) -> None:
        """Starts the sync and returns after the first full load of the active bans. When
        the store cannot be reached in time, the sync keeps trying in the background and
        start() returns (policy "local"/"refuse") or raises StoreUnavailable ("raise").
        Calling it again is harmless."""
        self._pending = False
        self._ensure_thread()
        if not self._loaded.wait(self._start_timeout):
            if self._engine.policy == "raise":
                raise self._engine.unavailable()
            log.warning("store %s: no full load of bans within %.1f s; going on with local state",
                        self._keys.prefix, self._start_timeout)
            return
        # Epoch markers made just now: tokens this process issues from the next whole
        # second on are not taken for tokens issued before them.
        wait, self._start_wait = self._start_wait, 0.0
        time.sleep(wait)

    def close(self) -> None:
        """Stops the sync and releases the connections (those from_url made). Idempotent."""
        self._pending = False
        with self._start_lock:
            self._closed = True
            self._stop.set()
            thread, self._thread = self._thread, None
        if thread is not None and thread is not threading.current_thread():
            thread.join(timeout=10)
        if self._owns_clients:
            for client in {id(c): c for c in (self._client, self._sync_client)}.values():
                try:
                    client.close()
                except Exception:  # noqa: BLE001 - closing is best effort
                    log.debug("closing a store client failed", exc_info=True)

    def __enter__(self) -> Self:
        self.start()
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()

    def _ensure_thread(self, *, strict: bool = True) -> None:
        with self._start_lock:
            if self._closed:
                if not strict:
                    return   # a call racing close(): it goes on without the sync
                raise RuntimeError("this SharedState is closed")
            if self._thread is not None and self._thread.is_alive():
                return
            self._stop.clear()
            self._thread = threading.Thread(target=self._run, name=f"velkora-sync[{self._keys.prefix}]",
                                            daemon=True)
            self._thread.start()

    def _stop_at_exit(self) -> None:
        """Stops the sync thread (briefly joined) without closing the clients."""
        self._pending = False
        thread = self._thread
        self._stop.set()
        if thread is not None and thread is not threading.current_thread():
            thread.join(timeout=1.0)

    def _after_fork_in_child(self) -> None:
        self._engine.reset_lock()
        self._traces.local.reset_lock()
        self._start_lock = threading.Lock()
        self._stop = threading.Event()
        self._loaded = threading.Event()
        self._thread = None
        self._pending = not self._closed

    def _start_pending(self) -> None:
        self._pending = False
        self._ensure_thread(strict=False)

    # ---- nonces ---------------------------------------------------------------------

    def consume_nonce(self, nonce: str, ttl_sec: int = 120, *, issued_at: float | None = None) -> bool:
        """True exactly once per nonce across every process sharing the store and prefix.
        A nonce this process has already seen is refused without a round trip. TTL_SEC:
        how long the nonce is remembered, here and in the store (the token's own expiry
        plus leeway). ISSUED_AT (Unix seconds): the token's issue time, so that a token
        issued before the store lost its data raises IssuedBeforeStoreLoss."""
        if self._pending:
            self._start_pending()
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
                reply = self._claim(key, group, PLAIN_NONCE_VALUE, ttl_sec, issued)
            except RedisError as error:
                engine.call_failed(error)
            else:
                engine.call_ok()
                return engine.claimed(key, group, PLAIN_NONCE_VALUE, ttl_sec, reply) is None
        return engine.nonce_fallback(key, PLAIN_NONCE_VALUE, ttl_sec, group)

    def claim_nonce(self, nonce: str, tag: str, ttl_sec: int = 120, *, issued_at: float | None = None) -> str | None:
        """consume_nonce that also stores TAG with the nonce: None when this call consumed
        it, else the tag of the call that did ("" when unknown)."""
        if self._pending:
            self._start_pending()
        engine = self._engine
        native_key = engine.native_nonce(nonce)
        value = TAG_MARK + check_tag(tag).encode("utf-8", "surrogatepass")
        check_ttl(ttl_sec)
        issued = "" if issued_at is None else check_issued(issued_at)
        key, group = self._keys.nonce_key(nonce)
        if not native.consume_nonce_rs(native_key):
            if engine.may_call():
                try:
                    stored = self._client.get(key)
                except RedisError as error:
                    engine.call_failed(error)
                else:
                    engine.call_ok(write=False)
                    return decode_tag(stored)
            return engine.replay_tag_fallback(key)
        if engine.may_call():
            try:
                reply = self._claim(key, group, value, ttl_sec, issued)
            except RedisError as error:
                engine.call_failed(error)
            else:
                engine.call_ok()
                previous = engine.claimed(key, group, value, ttl_sec, reply)
                return None if previous is None else decode_tag(previous)
        return engine.claim_fallback(key, value, ttl_sec, group)

    def _claim(self, key: bytes, group: int, value: bytes, ttl: int, issued: str) -> Any:
        """The claim script, called as EVALSHA on the client directly (one call less than
        redis-py's Script on the hot path), loaded on NOSCRIPT."""
        engine = self._engine
        args = ("EVALSHA", self._claim_script.sha, 2, key, self._keys.markers[group], value, ttl,
                engine.expected_marker(group), *((issued,) if issued else ()))
        try:
            return self._client.execute_command(*args)
        except NoScriptError:
            self._client.script_load(self._claim_script.script)
            return self._client.execute_command(*args)

    # ---- bans -----------------------------------------------------------------------

    def is_ip_banned(self, ip: str) -> bool:
        """Answered by the native engine: no round trip."""
        if self._pending:
            self._start_pending()
        key = self._ip_keys.get(ip)   # the engine's cache, read here to save a call
        return native.is_ip_banned_rs(key if key is not None else self._engine.native_ip(ip))

    def ban_ip(self, ip: str, duration_sec: int) -> None:
        """Bans IP for DURATION_SEC (1 s to 10 years) in every process; a longer active
        ban of the address is kept."""
        if self._pending:
            self._start_pending()
        engine = self._engine
        address = engine.native_ip(ip)[len(self._keys.native_prefix):]
        check_duration(duration_sec)
        if engine.may_call():
            try:
                version, remaining, epoch = self._ban_script(keys=self._ban_keys,
                                                             args=[address, duration_sec, self._keys.channel,
                                                                   fresh_id()])
            except RedisError as error:
                engine.call_failed(error)
            else:
                engine.call_ok()
                engine.apply_own_ban(address, int(version), float(remaining), epoch)
                return
        engine.ban_unreachable(address, duration_sec)

    def unban_ip(self, ip: str) -> None:
        if self._pending:
            self._start_pending()
        engine = self._engine
        address = engine.native_ip(ip)[len(self._keys.native_prefix):]
        if engine.may_call():
            try:
                version, epoch = self._unban_script(keys=self._ban_keys,
                                                    args=[address, self._keys.channel, fresh_id()])
            except RedisError as error:
                engine.call_failed(error)
            else:
                engine.call_ok()
                engine.apply_own_unban(address, int(version), epoch)
                return
        engine.unban_unreachable(address)

    # ---- trace sketches -------------------------------------------------------------

    def remember_trace(self, session_id: str, client: str | None, sketch: Mapping[str, Any], *,
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
                reply = self._trace_script(keys=traces.keys.for_session(call.sid),
                                           args=script_args(traces.config, call))
            except RedisError as error:
                engine.call_failed(error)
            else:
                engine.call_ok()
                return traces.answered(reply)
        return traces.unreachable(engine, call)

    def stats(self) -> dict[str, Any]:
        return self._engine.stats() | self._traces.stats()

    # ---- the sync thread ------------------------------------------------------------

    def _run(self) -> None:
        """Subscribes, loads every active ban, then applies published changes; checks the
        epochs and the version every check_interval, flushes queued bans and writes back
        nonces. Any failure is logged and counted, and the loop starts over after a
        backoff: nothing ends it but close()."""
        stop, engine = self._stop, self._engine
        pubsub: Any = None
        backoff = 0.05
        next_check = 0.0
        while not stop.is_set():
            try:
                if pubsub is None:
                    pubsub = self._subscribe()
                    self._flush_queue()
                    self._load()
                    next_check = engine.clock.monotonic()
                    backoff = 0.05
                message = pubsub.get_message(timeout=POLL_SEC)
                while message is not None and not stop.is_set():
                    self._on_message(message)
                    message = pubsub.get_message(timeout=0)
                if len(engine.queue):
                    self._flush_queue()
                if engine.clock.monotonic() >= next_check:
                    next_check = engine.clock.monotonic() + self._check_interval
                    self._check(pubsub)
                    engine.prune()
                if engine.resync_needed:
                    self._load()
                self._write_back()
            except Exception as error:  # noqa: BLE001 - the sync must outlive any failure
                if isinstance(error, RedisError):
                    engine.call_failed(error, sync=True)
                else:
                    log.exception("shared state sync failed; starting over")
                _close_quietly(pubsub)
                pubsub = None
                stop.wait(backoff)
                backoff = min(backoff * 2, 2.0)
        _close_quietly(pubsub)

    def _subscribe(self) -> Any:
        pubsub = self._sync_client.pubsub()
        try:
            pubsub.subscribe(self._keys.channel)
            while True:  # the confirmation; changes published after it reach us
                message = pubsub.get_message(timeout=self._start_timeout)
                if message is None:
                    raise redis.TimeoutError("no subscription confirmation")
                if message["type"] == "subscribe":
                    return pubsub
        except BaseException:
            _close_quietly(pubsub)
            raise

    def _load(self) -> None:
        engine = self._engine
        if not engine.eviction_warned:
            try:
                engine.check_eviction(eviction_policies(self._sync_client.config_get("maxmemory-policy")))
            except RedisError:
                log.debug("CONFIG GET maxmemory-policy refused; eviction policy unknown")
        for _ in range(5):
            reply = self._load_script(keys=self._ban_keys, args=[fresh_id()], client=self._sync_client)
            engine.call_ok(write=False)
            pairs = engine.resync(reply)
            if pairs is None:
                if not self._loaded.is_set():
                    # Before start() returns: the markers exist before any token is issued.
                    self._start_wait = self._check_markers()
                self._loaded.set()
                return
            # The store lost the ban set: this process's bans go back in, then load again.
            version, epoch = self._merge_script(keys=self._ban_keys, args=[self._keys.channel, reply[0], *pairs],
                                                client=self._sync_client)
            engine.call_ok()
            if int(version) >= 0:
                engine.merged(epoch)
        raise redis.RedisError("the ban epoch kept changing while loading")

    def _on_message(self, message: dict[str, Any]) -> None:
        kind = message.get("type")
        if kind == "subscribe":  # the client subscribed again after a reconnection
            self._load()
        elif kind == "message":
            change = parse_change(message["data"])
            if change is not None and not self._engine.apply_change(change):
                self._load()

    def _check(self, pubsub: Any) -> None:
        """The ban epoch and version (after a write probe), and the nonce groups' epoch
        markers: a loss is seen here within check_interval even with no claims."""
        engine = self._engine
        self._check_markers()
        epoch, version = self._check_script(keys=[self._keys.version, self._keys.epoch, self._keys.probe],
                                            client=self._sync_client)
        engine.call_ok()
        if engine.behind(epoch, int(version)):
            # Changes may be in flight on the subscription: apply those first.
            message = pubsub.get_message(timeout=0.05)
            while message is not None:
                self._on_message(message)
                message = pubsub.get_message(timeout=0)
            epoch, version = self._check_script(keys=[self._keys.version, self._keys.epoch, self._keys.probe],
                                                client=self._sync_client)
            if engine.behind(epoch, int(version)):
                self._load()

    def _check_markers(self) -> float:
        """Reads (and makes when missing) every nonce group's epoch marker; the answer is
        how long to wait before tokens are issued (see Engine.see_markers)."""
        wait = 0.0
        for groups in marker_batches(self._sync_client):
            reply = self._markers_script(keys=[self._keys.markers[g] for g in groups], client=self._sync_client)
            wait = max(wait, self._engine.see_markers(groups, reply))
        return wait

    def _flush_queue(self) -> None:
        """Writes the bans queued while the store was unreachable, oldest first."""
        engine = self._engine
        while not self._stop.is_set() and (item := engine.next_queued()) is not None:
            ip, end, remaining = item
            if end is None:
                self._sync_unban_script(keys=self._ban_keys, args=[ip, self._keys.channel, fresh_id()])
            else:
                self._sync_ban_script(keys=self._ban_keys,
                                      args=[ip, f"{remaining:.6f}", self._keys.channel, fresh_id()])
            engine.call_ok()
            engine.queued_done(ip, end)

    def _write_back(self) -> None:
        """Puts into the store the nonces consumed while it was unreachable, and those a
        group that lost its keys had held."""
        engine = self._engine
        items = engine.writebacks()
        for i, item in enumerate(items):
            if item.ttl < 1:
                continue
            try:
                reply = self._sync_claim_script(keys=[item.key, self._keys.markers[item.group]],
                                                args=[item.value, item.ttl, engine.expected_marker(item.group)])
            except BaseException:
                engine.retry_writebacks(items[i:])
                raise
            engine.call_ok()
            engine.wrote_back(item, reply)


_LAYER_OPTIONS = frozenset({"check_interval", "breaker_threshold", "breaker_delay", "queue_limit",
                            "start_timeout", "clock", "trace_config", "remember_limit"})


def _make_clients(url: str, cluster: bool, timeout: float, sync_timeout: float,
                  options: dict[str, Any]) -> tuple[Any, Any]:
    def options_for(seconds: float) -> dict[str, Any]:
        return {"socket_timeout": seconds, "socket_connect_timeout": seconds,
                "retry": Retry(NoBackoff(), 0), **options}

    if cluster:
        from redis.cluster import RedisCluster

        # Cluster clients discover the nodes on construction; that first contact uses
        # the sync timeout so that it does not fail on a busy machine.
        return (RedisCluster.from_url(url, **options_for(timeout)),
                RedisCluster.from_url(url, **options_for(sync_timeout)))
    return redis.Redis.from_url(url, **options_for(timeout)), redis.Redis.from_url(url, **options_for(sync_timeout))


def _close_quietly(pubsub: Any) -> None:
    if pubsub is not None:
        try:
            pubsub.close()
        except Exception:  # noqa: BLE001 - closing a broken connection may fail again
            log.debug("closing the subscription failed", exc_info=True)
