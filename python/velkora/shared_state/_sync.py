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
        self._single_node = not is_cluster(client)
        self._owns_clients = False
        self._check_interval = check_interval
        self._start_timeout = start_timeout
        self._batches = marker_batches(self._sync_client)
        self._consume = self._engine.consume
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

    # ---- the operations: decided by the engine, run here ---------------------------

    def consume_nonce(self, nonce: str, ttl_sec: int = DEFAULT_NONCE_TTL_SEC, *,
                      issued_at: float | None = None) -> bool:
        """True exactly once per nonce across every process sharing the store and prefix.
        A nonce this process has already seen is refused without a round trip. TTL_SEC:
        how long the nonce is remembered, here and in the store (the token's own expiry
        plus leeway). ISSUED_AT (Unix seconds): the token's issue time, so that a token
        issued before the store lost its data raises IssuedBeforeStoreLoss."""
        if self._pending:
            self._start_pending()
        plan = self._consume(nonce, ttl_sec, issued_at)
        if plan is False:   # refused by the native engine: the replay path
            return False
        return self._execute(plan) if isinstance(plan, Plan) else plan

    def claim_nonce(self, nonce: str, tag: str, ttl_sec: int = DEFAULT_NONCE_TTL_SEC, *,
                    issued_at: float | None = None) -> str | None:
        """consume_nonce that also stores TAG with the nonce: None when this call consumed
        it, else the tag of the call that did ("" when unknown)."""
        if self._pending:
            self._start_pending()
        plan = self._engine.claim(nonce, tag, ttl_sec, issued_at)
        return self._execute(plan) if isinstance(plan, Plan) else plan

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
        plan = self._engine.ban(ip, duration_sec)
        if plan is not None:
            self._execute(plan)

    def unban_ip(self, ip: str) -> None:
        if self._pending:
            self._start_pending()
        plan = self._engine.unban(ip)
        if plan is not None:
            self._execute(plan)

    def remember_trace(self, session_id: str, client: str | None, sketch: Mapping[str, Any], *,
                       retry: bool = False, outcome_ttl_sec: int = DEFAULT_OUTCOME_TTL_SEC) -> TraceOutcome:
        """The earlier sessions whose trace SKETCH (``trace_sketch``'s dict) this session
        repeats, looked up and this session recorded in one atomic script (one round trip).
        SESSION_ID names the session (the token id); CLIENT is its address, whose own
        oldest sessions go first when it holds too many. A RETRY of an answered session
        gets the outcome its first call had (kept OUTCOME_TTL_SEC seconds when it matched)
        and writes nothing. With the store unreachable: this process's own memory under
        "local", no match under "refuse", StoreUnavailable under "raise"."""
        if self._pending:
            self._start_pending()
        plan = self._traces.remember(self._engine, session_id, client, sketch, retry, outcome_ttl_sec)
        return self._execute(plan) if isinstance(plan, Plan) else plan

    def claim_nonce_and_remember_trace(
        self, nonce: str, tag: str, ttl_sec: int = DEFAULT_NONCE_TTL_SEC, *, issued_at: float | None = None,
        session_id: str, client: str | None, sketch: Mapping[str, Any],
        outcome_ttl_sec: int = DEFAULT_OUTCOME_TTL_SEC,
    ) -> ClaimAndTrace:
        """claim_nonce, and remember_trace for the session when the claim lets it through,
        in one script and one round trip on a single store node (see
        AsyncSharedState.claim_nonce_and_remember_trace for the answer)."""
        if self._pending:
            self._start_pending()
        plan = self._traces.claim_and_remember(self._engine, nonce, tag, ttl_sec, issued_at, session_id, client,
                                               sketch, outcome_ttl_sec, single_node=self._single_node)
        return self._execute(plan) if isinstance(plan, Plan) else plan

    def _execute[T](self, plan: Plan[T]) -> T:
        """Runs a plan's store call on the request client; its reply or failure makes the
        answer. (execute_command called here: one call less on the hot path than _send.)"""
        client = self._client
        try:
            try:
                reply = client.execute_command(*plan.args)
            except NoScriptError as error:
                reply = _reload(client, plan, error)
        except RedisError as error:
            return plan.failed(error)
        return plan.answered(reply)

    def _drive[T](self, steps: Steps[T]) -> T:
        """Runs a duty of the sync on the sync client: each command the generator yields,
        its reply sent back and its failure thrown in."""
        client = self._sync_client
        try:
            command = next(steps)
            while True:
                try:
                    reply = _send(client, command)
                except BaseException as error:  # noqa: BLE001 - the duty decides, and re-raises
                    command = steps.throw(error)
                else:
                    command = steps.send(reply)
        except StopIteration as done:
            return done.value  # type: ignore[no-any-return]

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
        wait = self._drive(self._engine.load(not self._loaded.is_set(), self._batches))
        if not self._loaded.is_set():
            self._start_wait = wait
            self._loaded.set()

    def _on_message(self, message: dict[str, Any]) -> None:
        kind = message.get("type")
        if kind == "subscribe":  # the client subscribed again after a reconnection
            self._load()
        elif kind == "message":
            change = parse_change(message["data"])
            if change is not None and not self._engine.apply_change(change):
                self._load()

    def _check(self, pubsub: Any) -> None:
        """The epochs and the version (Engine.check); when behind, the changes in flight
        on the subscription are applied first, and a full load follows if still behind."""
        if self._drive(self._engine.check(self._batches)):
            message = pubsub.get_message(timeout=0.05)
            while message is not None:
                self._on_message(message)
                message = pubsub.get_message(timeout=0)
            if self._drive(self._engine.recheck()):
                self._load()

    def _flush_queue(self) -> None:
        self._drive(self._engine.flush_queue(self._stop.is_set))

    def _write_back(self) -> None:
        self._drive(self._engine.write_back())


def _send(client: Any, command: Command) -> Any:
    """One command on CLIENT; a script the store does not know is loaded, and called again."""
    try:
        return getattr(client, command.method)(*command.args)
    except NoScriptError as error:
        return _reload(client, command, error)


def _reload(client: Any, command: Command, error: NoScriptError) -> Any:
    if command.script is None:
        raise error
    client.script_load(command.script.source)
    return getattr(client, command.method)(*command.args)


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
