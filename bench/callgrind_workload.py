"""One workload for bench_callgrind.py: `callgrind_workload.py WORKLOAD N`, WORKLOAD one of
features, sketch (velkora._signals.trace_sketch on the features' session), signals
(velkora._signals.signals on it), nonce, curvature, keystrokes, banned.

Everything but the N calls is the same whatever N is (the session, the nonce
strings, one warm-up call), so the difference between the runs for N and 2N
is the cost of N calls alone.
"""

from __future__ import annotations

import sys

import bench_curvature
import bench_features
import bench_keystrokes
import bench_state
import velkora_core_rs as core

NONCE_POOL = 8_000  # made in every run, so string creation cancels out


def main() -> None:
    workload, n = sys.argv[1], int(sys.argv[2])
    if workload == "features":
        session = bench_features.synthetic_session(300, 60)
        core.extract_features_rs(session)
        for _ in range(n):
            core.extract_features_rs(session)
    elif workload == "sketch":
        from velkora import _signals

        session = bench_features.synthetic_session(300, 60)
        _signals.trace_sketch(session)
        for _ in range(n):
            _signals.trace_sketch(session)
    elif workload == "signals":
        from velkora import _signals

        session = bench_features.synthetic_session(300, 60)
        _signals.signals(session)
        for _ in range(n):
            _signals.signals(session)
    elif workload == "nonce":
        if 2 * n > NONCE_POOL:
            raise SystemExit(f"at most {NONCE_POOL // 2} nonce calls")
        nonces = [bench_state.nonce(i) for i in range(NONCE_POOL + 1)]
        core.clear_state_engine_rs()
        core.consume_nonce_rs(nonces[NONCE_POOL])
        for i in range(n):
            core.consume_nonce_rs(nonces[i])
    elif workload == "curvature":
        x, y, t = bench_curvature.path(300)
        core.evaluate_curvature_naturalness_rs(x, y, t)
        for _ in range(n):
            core.evaluate_curvature_naturalness_rs(x, y, t)
    elif workload == "keystrokes":
        events = bench_keystrokes.typing(150)
        core.evaluate_keystroke_dynamics_rs(events)
        for _ in range(n):
            core.evaluate_keystroke_dynamics_rs(events)
    elif workload == "banned":
        core.clear_state_engine_rs()
        core.ban_ip_rs("203.0.113.7", 3600)
        core.is_ip_banned_rs("203.0.113.7")
        for _ in range(n):
            core.is_ip_banned_rs("203.0.113.7")
    else:
        raise SystemExit(f"unknown workload {workload!r}")


if __name__ == "__main__":
    main()
