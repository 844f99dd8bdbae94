"""Eight processes consuming overlapping nonces through one store: each nonce is accepted
exactly once in total, on a single server of each kind and on a 3-node Redis Cluster, where
bans travel too (blocking and asyncio clients)."""

import asyncio
import json
import pathlib
import subprocess
import sys
import time
import uuid

import pytest

pytest.importorskip("redis")

from redis.cluster import RedisCluster  # noqa: E402
from stores import start_cluster  # noqa: E402
from velkora.shared_state import AsyncSharedState, SharedState  # noqa: E402
from velkora.shared_state._core import Keys, script_source  # noqa: E402

WORKER = pathlib.Path(__file__).resolve().parent / "shared_workers.py"
PROCESSES, PER_PROCESS, POOL = 8, 20_000, 40_000   # each nonce offered by four processes


def exactly_once(url: str, cluster: bool) -> float:
    prefix = f"once{uuid.uuid4().hex[:8]}:"
    started = time.monotonic()
    workers = [subprocess.Popen([sys.executable, str(WORKER), "nonces", url, prefix, "1" if cluster else "0",
                                 str(POOL), str(i * POOL // PROCESSES), str(PER_PROCESS)],
                                stdout=subprocess.PIPE, text=True) for i in range(PROCESSES)]
    results = []
    for process in workers:
        out, _ = process.communicate(timeout=250)
        assert process.returncode == 0
        results.append(json.loads(out))
    accepted = [i for result in results for i in result["accepted"]]
    assert len(accepted) == len(set(accepted)) == POOL          # no nonce twice, none lost
    assert all(r["fallbacks"] == 0 and r["errors"] == 0 for r in results)
    assert all(0 < len(r["accepted"]) < PER_PROCESS for r in results)   # they really competed
    return time.monotonic() - started


@pytest.mark.slow
def test_eight_processes_accept_each_nonce_once(store):
    exactly_once(store.url, cluster=False)


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    with start_cluster(tmp_path_factory.mktemp("cluster")) as running:
        yield running


@pytest.mark.slow
@pytest.mark.cluster
def test_eight_processes_accept_each_nonce_once_on_a_cluster(cluster):
    exactly_once(cluster.url, cluster=True)


def wait_banned(state, ip: str, timeout: float = 10.0) -> bool:
    deadline = time.monotonic() + timeout
    while not state.is_ip_banned(ip) and time.monotonic() < deadline:
        time.sleep(0.005)
    return state.is_ip_banned(ip)


@pytest.mark.cluster
def test_bans_travel_through_a_cluster(cluster):
    prefix = f"cl{uuid.uuid4().hex[:8]}:"
    keys = Keys.for_prefix(prefix)
    raw = RedisCluster.from_url(cluster.url)
    ban = raw.register_script(script_source("ban"))
    try:
        raw.set(keys.nonce("seen elsewhere"), b"1")
        ban(keys=keys.ban_keys, args=["192.0.2.1", 60, keys.channel, "e"])
        with SharedState.from_url(cluster.url, prefix=prefix, cluster=True, check_interval=0.5) as state:
            assert state.is_ip_banned("192.0.2.1")                 # loaded on start
            assert state.consume_nonce("seen elsewhere") is False
            assert state.consume_nonce("new") is True
            assert state.claim_nonce("tagged", "t1") is None and state.claim_nonce("tagged", "t2") == "t1"
            ban(keys=keys.ban_keys, args=["192.0.2.2", 60, keys.channel, "e"])
            assert wait_banned(state, "192.0.2.2")                 # published
            state.ban_ip("192.0.2.3", 60)
            assert raw.zscore(keys.bans, "192.0.2.3") is not None
        prefix2 = prefix + "a:"
        keys2 = Keys.for_prefix(prefix2)

        async def scenario() -> None:
            async with AsyncSharedState.from_url(cluster.url, prefix=prefix2, cluster=True) as state:
                assert await state.consume_nonce("async") is True
                ban(keys=keys2.ban_keys, args=["192.0.2.4", 60, keys2.channel, "e"])
                for _ in range(1000):
                    if state.is_ip_banned("192.0.2.4"):
                        break
                    await asyncio.sleep(0.01)
                assert state.is_ip_banned("192.0.2.4") and state.stats()["store_errors"] == 0

        asyncio.run(scenario())
    finally:
        raw.close()


@pytest.mark.cluster
def test_a_shard_that_loses_its_data_is_seen_through_its_markers(cluster, tmp_path):
    """FLUSHALL on one primary: the nonce groups whose markers it held lose their keys,
    and only tokens of those groups issued before the loss are refused; when it held
    the ban set, the workers merge their bans back."""
    from store_faults import Worker, wait_for

    prefix = f"shard{uuid.uuid4().hex[:8]}:"
    keys = Keys.for_prefix(prefix)
    raw = RedisCluster.from_url(cluster.url)
    pool = [Worker(cluster.url, prefix, "local", 0.3, tmp_path / f"w{i}.log", cluster=True) for i in range(2)]
    try:
        assert wait_for(lambda: raw.exists(*keys.markers) == len(keys.markers))
        time.sleep(0.05)
        issued = time.time()
        tokens = [f"shard-token-{i}" for i in range(64)]
        assert all(pool[0].consume(t, 600, issued) is True for t in tokens)
        pool[0].ask("ban", "192.0.2.77", 600)
        bans_node = raw.get_node_from_key(keys.bans)
        bans_node_client = raw.get_redis_connection(bans_node)
        bans_node_client.flushall()
        lost = {t for t in tokens if raw.get_node_from_key(keys.nonce(t)).name == bans_node.name}
        assert 0 < len(lost) < len(tokens)
        answers = {t: pool[1].consume(t, 600, issued) for t in tokens}
        refused_stale = {t for t, a in answers.items() if a == {"error": "IssuedBeforeStoreLoss"}}
        assert refused_stale == lost and all(answers[t] is False for t in set(tokens) - lost)
        assert wait_for(lambda: raw.zscore(keys.bans, "192.0.2.77") is not None, timeout=10)
        assert pool[1].banned(["192.0.2.77"]) == [True]
        assert wait_for(lambda: all(raw.exists(keys.nonce(t)) for t in lost), timeout=10)   # written back
    finally:
        for worker in pool:
            worker.close()
        raw.close()
