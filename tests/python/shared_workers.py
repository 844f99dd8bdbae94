"""Worker processes for the shared state tests, run as `python shared_workers.py MODE ...`.
Each prints one JSON line with what it saw; the tests compare the lines.

    nonces URL PREFIX CLUSTER POOL START COUNT  consume COUNT nonces of a pool of POOL,
                                                from START on (wrapping), shuffled, under
                                                "raise"; prints the accepted ones
    watch URL PREFIX IP                         prints "ready", then the wall time at
                                                which IP is banned here, then the time it
                                                is no longer banned
    banned URL PREFIX IP...                     starts, prints which IPs are banned
    serve URL PREFIX POLICY CHECK_INTERVAL [cluster]  a worker driven through stdin: one JSON
                                                command a line, one JSON answer a line
                                                (see serve() below)
    load URL PREFIX POLICY STOPFILE INDEX       the chaos suite's worker (see load() below)
"""

import json
import os
import random
import sys
import time

import velkora_core_rs as native
from velkora.shared_state import IssuedBeforeStoreLoss, SharedState, StoreUnavailable


def serve(url: str, prefix: str, policy: str, check_interval: float, cluster: bool = False) -> None:
    """Commands: ["consume", nonce, ttl, issued_at|null] -> true/false;
    ["claim", nonce, tag, ttl, issued_at|null] -> null or the stored tag; ["ban", ip, sec];
    ["unban", ip]; ["banned", [ip, ...]] -> [bool, ...]; ["stats"]; ["forget"] (the
    native engine forgets its nonces, as its 60-120 s buckets do); ["quit"]. A refusal
    answers {"error": "IssuedBeforeStoreLoss"} or {"error": "StoreUnavailable"}."""
    state = SharedState.from_url(url, prefix=prefix, on_store_error=policy, check_interval=check_interval,
                                 timeout=0.5, breaker_delay=(0.05, 0.2), start_timeout=2.0, cluster=cluster)
    state.start()
    print(json.dumps("ready"), flush=True)
    for line in sys.stdin:
        op, *args = json.loads(line)
        answer: object = None
        try:
            if op == "consume":
                answer = state.consume_nonce(args[0], args[1], issued_at=args[2])
            elif op == "claim":
                answer = state.claim_nonce(args[0], args[1], args[2], issued_at=args[3])
            elif op == "ban":
                state.ban_ip(args[0], args[1])
            elif op == "unban":
                state.unban_ip(args[0])
            elif op == "banned":
                answer = [state.is_ip_banned(ip) for ip in args[0]]
            elif op == "stats":
                answer = {k: v for k, v in state.stats().items() if k != "native"}
            elif op == "forget":
                native.clear_state_engine_rs()
            elif op == "quit":
                break
        except (IssuedBeforeStoreLoss, StoreUnavailable) as error:
            answer = {"error": type(error).__name__}
        print(json.dumps(answer), flush=True)
    state.close()


def load(url: str, prefix: str, policy: str, stop_file: str, index: int) -> None:
    """Until STOP_FILE exists: every 100 ms slot, offers the slot's 4 nonces (every worker offers
    the same ones, issued at the slot's start) and every 5th slot bans an address of its
    own for 600 s; samples whether its breaker is open. Then prints one JSON line of
    what it saw, and takes commands as serve() does, plus ["offer", [nonce, ...]] ->
    the nonces accepted among them (each offered again, with no issue time)."""
    from velkora.shared_state import IssuedBeforeStoreLoss, StoreUnavailable

    state = SharedState.from_url(url, prefix=prefix, on_store_error=policy, check_interval=0.3, timeout=0.2,
                                 sync_timeout=2.0, breaker_delay=(0.05, 0.5), start_timeout=5.0)
    state.start()
    print(json.dumps("ready"), flush=True)
    accepted: list[list[object]] = []
    counts = {"offered": 0, "replay": 0, "stale": 0, "unavailable": 0, "ban_failed": 0}
    bans: list[str] = []
    samples: list[list[object]] = []
    slot = 0
    while not os.path.exists(stop_file):
        now = time.time()
        current = int(now * 10)
        if current == slot:
            time.sleep(0.01)
            continue
        slot = current
        for j in range(4):
            nonce = f"{slot}-{j}"
            counts["offered"] += 1
            try:
                if state.consume_nonce(nonce, 600, issued_at=slot / 10):
                    accepted.append([nonce, time.time()])
                else:
                    counts["replay"] += 1
            except IssuedBeforeStoreLoss:
                counts["stale"] += 1
            except StoreUnavailable:
                counts["unavailable"] += 1
        if slot % 5 == index % 5:
            ip = f"10.{index}.{len(bans) // 250}.{len(bans) % 250 + 1}"
            try:
                state.ban_ip(ip, 600)
            except StoreUnavailable:
                counts["ban_failed"] += 1
            else:
                bans.append(ip)
        samples.append([time.time(), state.stats()["breaker_open"]])
    print(json.dumps({"accepted": accepted, "counts": counts, "bans": bans, "samples": samples}), flush=True)
    for line in sys.stdin:
        op, *args = json.loads(line)
        answer: object = None
        if op == "offer":
            answer = [n for n in args[0] if _consume_or_false(state, n)]
        elif op == "banned":
            answer = [ip for ip in args[0] if not state.is_ip_banned(ip)]
        elif op == "stats":
            answer = {k: v for k, v in state.stats().items() if k != "native"}
        elif op == "quit":
            break
        print(json.dumps(answer), flush=True)
    state.close()


def _consume_or_false(state: SharedState, nonce: str) -> bool:
    from velkora.shared_state import StoreUnavailable

    try:
        return state.consume_nonce(nonce, 600)
    except StoreUnavailable:
        return False


def main(argv: list[str]) -> None:
    mode, url, prefix = argv[0], argv[1], argv[2]
    if mode == "nonces":
        cluster, pool, start, count = argv[3] == "1", int(argv[4]), int(argv[5]), int(argv[6])
        indices = [(start + i) % pool for i in range(count)]
        random.Random(start).shuffle(indices)
        with SharedState.from_url(url, prefix=prefix, on_store_error="raise", cluster=cluster,
                                  timeout=2.0, sync_timeout=10.0, start_timeout=30.0) as state:
            accepted = [i for i in indices if state.consume_nonce(f"nonce-{i:08d}-{'x' * 24}")]
            stats = state.stats()
        print(json.dumps({"accepted": accepted, "fallbacks": stats["fallbacks"], "errors": stats["store_errors"]}))
    elif mode == "watch":
        ip = argv[3]
        with SharedState.from_url(url, prefix=prefix, check_interval=0.5) as state:
            print("ready", flush=True)
            deadline = time.monotonic() + 30
            while not state.is_ip_banned(ip) and time.monotonic() < deadline:
                time.sleep(0.0005)
            print(json.dumps(time.time()), flush=True)
            while state.is_ip_banned(ip) and time.monotonic() < deadline:
                time.sleep(0.0005)
            print(json.dumps(time.time()), flush=True)
    elif mode == "banned":
        with SharedState.from_url(url, prefix=prefix) as state:
            print(json.dumps([ip for ip in argv[3:] if state.is_ip_banned(ip)]))
    elif mode == "serve":
        serve(url, prefix, argv[3], float(argv[4]), argv[5:] == ["cluster"])
    elif mode == "load":
        load(url, prefix, argv[3], argv[4], int(argv[5]))
    else:
        raise SystemExit(f"unknown mode {mode}")


if __name__ == "__main__":
    main(sys.argv[1:])
