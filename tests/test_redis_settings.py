"""Which Redis client the tile module makes, chosen by the environment at
import: one server (REDIS_HOST/REDIS_PORT, the default), a Sentinel-watched
primary (REDIS_SENTINELS) or a Redis Cluster (REDIS_CLUSTER_NODES). Each case
imports the module in a process of its own; making a client opens no
connection, so nothing needs to listen on the addresses."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

HOST = Path(__file__).resolve().parents[1] / "host"

DESCRIBE = """
import json
from routers import tileport as t
c = t.redis_client
pool = getattr(c, "connection_pool", None)
kw = getattr(pool, "connection_kwargs", {})
nodes = getattr(c, "nodes_manager", None)
print(json.dumps({
    "type": f"{type(c).__module__}.{type(c).__name__}",
    "pool": type(pool).__name__ if pool else None,
    "service": getattr(pool, "service_name", None),
    "sentinels": [list(s.connection_pool.connection_kwargs[k] for k in ("host", "port"))
                  for s in pool.sentinel_manager.sentinels] if hasattr(pool, "sentinel_manager") else None,
    "startup_nodes": sorted(nodes.startup_nodes) if nodes else None,
    "kwargs": {k: kw.get(k) for k in ("host", "port", "db", "password", "username", "decode_responses",
                                      "socket_timeout", "socket_connect_timeout")},
    "retries": (kw.get("retry") or getattr(c, "retry", None)).get_retries(),
}))
"""


def describe(**env):
    base = {k: v for k, v in os.environ.items() if not k.startswith("REDIS_")}
    done = subprocess.run([sys.executable, "-c", DESCRIBE], cwd=HOST, env={**base, **env},
                          capture_output=True, text=True, timeout=120)
    if done.returncode:
        return done.stderr.strip().splitlines()[-1]
    return json.loads(done.stdout.strip().splitlines()[-1])


def test_default_is_one_server_as_configured():
    got = describe(REDIS_HOST="192.0.2.5", REDIS_PORT="6380", REDIS_DB="3", REDIS_PASSWORD="pw")
    assert got["type"] == "redis.asyncio.client.Redis" and got["pool"] == "ConnectionPool"
    assert got["kwargs"] == {"host": "192.0.2.5", "port": 6380, "db": 3, "password": "pw", "username": None,
                             "decode_responses": False, "socket_timeout": 5, "socket_connect_timeout": 5}
    assert got["retries"] == 0


def test_sentinels_name_the_primary():
    got = describe(REDIS_SENTINELS=" 192.0.2.7:26379, [::1]:26380,", REDIS_SENTINEL_SERVICE="registry",
                   REDIS_DB="2", REDIS_PASSWORD="pw")
    assert (got["type"], got["pool"], got["service"]) == (
        "redis.asyncio.client.Redis", "SentinelConnectionPool", "registry")
    assert got["sentinels"] == [["192.0.2.7", 26379], ["::1", 26380]]
    assert {k: got["kwargs"][k] for k in ("db", "password", "decode_responses", "socket_timeout")} == {
        "db": 2, "password": "pw", "decode_responses": False, "socket_timeout": 5}
    assert got["retries"] == 0
    assert describe(REDIS_SENTINELS="192.0.2.7:26379")["service"] == "mymaster"


def test_cluster_starts_from_the_named_nodes():
    got = describe(REDIS_CLUSTER_NODES="192.0.2.8:7001,192.0.2.9:7002", REDIS_SENTINELS="")
    assert got["type"] == "redis.asyncio.cluster.RedisCluster"
    assert got["startup_nodes"] == ["192.0.2.8:7001", "192.0.2.9:7002"]
    assert got["retries"] == 0


@pytest.mark.parametrize("env, error", [
    ({"REDIS_SENTINELS": "sentinel-1"}, "ValueError: REDIS_SENTINELS: 'sentinel-1' is not host:port"),
    ({"REDIS_SENTINELS": "a:26379,b:port"}, "ValueError: REDIS_SENTINELS: 'b:port' is not host:port"),
    ({"REDIS_CLUSTER_NODES": "::1:7000"}, "ValueError: REDIS_CLUSTER_NODES: '::1:7000' is not host:port"),
    ({"REDIS_CLUSTER_NODES": "a:0"}, "ValueError: REDIS_CLUSTER_NODES: 'a:0' is not host:port"),
    ({"REDIS_CLUSTER_NODES": "a:65536"}, "ValueError: REDIS_CLUSTER_NODES: 'a:65536' is not host:port"),
    ({"REDIS_CLUSTER_NODES": " , "}, "ValueError: REDIS_CLUSTER_NODES names no host:port"),
    ({"REDIS_CLUSTER_NODES": "a:7000", "REDIS_DB": "1"},
     "ValueError: REDIS_DB must be 0 with REDIS_CLUSTER_NODES: a Redis Cluster has database 0 only"),
    ({"REDIS_CLUSTER_NODES": "a:7000", "REDIS_SENTINELS": "b:26379"},
     "ValueError: REDIS_CLUSTER_NODES and REDIS_SENTINELS are both set; set one"),
])
def test_bad_settings_fail_the_import(env, error):
    assert describe(**env) == error
