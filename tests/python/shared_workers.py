"""Worker processes for the shared state tests, run as `python shared_workers.py MODE ...`.
Each prints one JSON line with what it saw; the tests compare the lines.

    nonces URL PREFIX CLUSTER POOL START COUNT  consume COUNT nonces of a pool of POOL,
                                                from START on (wrapping), shuffled, under
                                                "raise"; prints the accepted ones
    watch URL PREFIX IP                         prints "ready", then the wall time at
                                                which IP is banned here, then the time it
                                                is no longer banned
    banned URL PREFIX IP...                     starts, prints which IPs are banned
"""

import json
import random
import sys
import time

from velkora.shared_state import SharedState


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
    else:
        raise SystemExit(f"unknown mode {mode}")


if __name__ == "__main__":
    main(sys.argv[1:])
