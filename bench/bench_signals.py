"""Time per call of velkora._signals.trace_sketch and velkora._signals.signals against
extract_features_rs on the same sessions, in the same run: on the benchmark's synthetic
session of 300 points and 60 keys the sketch is meant to cost at most 0.3 of the features
call, the behavioural signals at most 1.5 of it (each group's floor is the features call, so
the "x floor" column is that ratio).

The sessions are those of bench_features.py: the synthetic ones, and the real ones of
../shared/data/sessions-sample.jsonl when that file is present (never copied into the
repository). Both as Python literals and as parsed JSON, which the service hands over.
"""

from __future__ import annotations

import json
import shutil
import tempfile

import velkora_core_rs
from bench_callgrind import per_call
from bench_features import real_sessions, synthetic_session
from run_bench import Case
from velkora import _signals

GROUP = "trace_sketch vs extract_features_rs"
SIGNALS_GROUP = "signals vs extract_features_rs"


def _all(function, sessions):
    for s in sessions:
        function(s)


def cases():
    out = []
    features, sketch = velkora_core_rs.extract_features_rs, _signals.trace_sketch
    session = synthetic_session(300, 60)
    parsed = json.loads(json.dumps(session))
    out.append(Case(GROUP, "extract_features_rs, synthetic, 300 points, 60 keys", features, (session,),
                    floor=True))
    out.append(Case(GROUP, "trace_sketch, synthetic, 300 points, 60 keys", sketch, (session,)))
    json_group = f"{GROUP} (parsed JSON)"
    out.append(Case(json_group, "extract_features_rs, synthetic, 300 points, 60 keys", features, (parsed,),
                    floor=True))
    out.append(Case(json_group, "trace_sketch, synthetic, 300 points, 60 keys", sketch, (parsed,)))
    behaviour = _signals.signals
    out.append(Case(SIGNALS_GROUP, "extract_features_rs, synthetic, 300 points, 60 keys", features,
                    (session,), floor=True))
    out.append(Case(SIGNALS_GROUP, "signals, synthetic, 300 points, 60 keys", behaviour, (session,)))
    signals_json_group = f"{SIGNALS_GROUP} (parsed JSON)"
    out.append(Case(signals_json_group, "extract_features_rs, synthetic, 300 points, 60 keys", features,
                    (parsed,), floor=True))
    out.append(Case(signals_json_group, "signals, synthetic, 300 points, 60 keys", behaviour, (parsed,)))
    sessions = real_sessions()
    if sessions:
        real_group = f"{GROUP} (real sessions)"
        out.append(Case(real_group, f"extract_features_rs, all {len(sessions)} sessions", _all,
                        (features, sessions), floor=True))
        out.append(Case(real_group, f"trace_sketch, all {len(sessions)} sessions", _all, (sketch, sessions)))
        signals_real_group = f"{SIGNALS_GROUP} (real sessions)"
        out.append(Case(signals_real_group, f"extract_features_rs, all {len(sessions)} sessions", _all,
                        (features, sessions), floor=True))
        out.append(Case(signals_real_group, f"signals, all {len(sessions)} sessions", _all,
                        (behaviour, sessions)))
    return out


def reports():
    """Instructions per call of the three functions on the synthetic session (callgrind,
    runs of N and 2N calls): ratios that do not move with the machine's load."""
    if shutil.which("valgrind") is None:
        return ["trace_sketch, signals: valgrind not found; instruction counts left out"]
    with tempfile.TemporaryDirectory() as out_dir:
        features = per_call("features", 100, out_dir)
        sketch = per_call("sketch", 100, out_dir)
        behaviour = per_call("signals", 100, out_dir)
    return [f"instructions per call, synthetic 300 points, 60 keys: trace_sketch {sketch:,.0f}, "
            f"extract_features_rs {features:,.0f} ({sketch / features:.2f} x)",
            f"instructions per call, synthetic 300 points, 60 keys: signals {behaviour:,.0f} "
            f"({behaviour / features:.2f} x extract_features_rs; goal <= 1.5 x)"]
