"""The tile service on a Redis Cluster of three primaries, chosen by
REDIS_CLUSTER_NODES alone: cached answers, the limits and every kind of
invalidation, with keys spread over every shard."""

import fnmatch
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
from redis.cluster import ClusterNode, RedisCluster

from helpers.utils import latlon_to_xyz
from pg_support import sql
from cluster_support import OPERATOR_TOKEN

HERE = Path(__file__).resolve().parent
NAMESPACE = "mvt_v8"


@pytest.fixture(scope="module")
def nodes(cluster):
    return cluster["REDIS_CLUSTER_NODES"]


@pytest.fixture
def admin(nodes):
    """A cluster client of the tests' own; empties the namespace and the test
    clients' counters before and after."""
    client = RedisCluster(startup_nodes=[ClusterNode(*n.split(":")) for n in nodes.split(",")],
                          socket_timeout=5)

    def clear():
        for pattern in (f"{NAMESPACE}:*", "rate_limit:gis:*", f"other:{NAMESPACE}:*"):
            for key in list(client.scan_iter(match=pattern, count=1000)):
                client.delete(key)

    clear()
    yield client
    clear()
    client.close()


def primaries_holding(admin, keys):
    return {admin.get_node_from_key(k).name for k in keys}


@pytest.fixture(scope="module")
def place(db_url):
    row = sql(db_url, 'SELECT ST_X(w) lon, ST_Y(w) lat, ST_X(c) x, ST_Y(c) y FROM "GIS"."PLOT" p, '
                      'ST_PointOnSurface(p."GEOMETRY") c, ST_Transform(c, 4326) w ORDER BY p."ID" LIMIT 1')[0]
    tile = {z: latlon_to_xyz(row["lat"], row["lon"], z) for z in (14, 16)}
    box = (f"minx={row['x'] - 100}&miny={row['y'] - 100}&maxx={row['x'] + 100}&maxy={row['y'] + 100}"
           "&srid=3857")
    return {
        "tile": f"/gis/plots/16/{tile[16]['x']}/{tile[16]['y']}.pbf",
        "road": f"/gis/roads/14/{tile[14]['x']}/{tile[14]['y']}.pbf",
        "bbox": f"/gis/plots/bbox/?{box}",
        "centroid": "/gis/plots/",
    }


@pytest.fixture(scope="module")
def on_cluster(cluster, nodes):
    return {"REDIS_CLUSTER_NODES": nodes, "REDIS_HOST": "192.0.2.1", "REDIS_PORT": "9"}


def test_answers_are_cached_on_the_cluster(worker, on_cluster, admin, place):
    """REDIS_HOST names nothing that answers: only the cluster can serve."""
    w = worker(**on_cluster)
    first = {name: w.get(path) for name, path in place.items()}
    again = {name: w.get(path) for name, path in place.items()}
    assert {n: a.status_code for n, a in first.items()} == dict.fromkeys(place, 200)
    assert {n: a.content for n, a in again.items()} == {n: a.content for n, a in first.items()}
    assert [again["tile"].headers["X-Cache"], again["bbox"].headers["X-Cache"]] == ["HIT", "HIT"]
    keys = sorted(k.decode() for k in admin.scan_iter(match=f"{NAMESPACE}:*"))
    assert len(keys) == 4 and [k for k in keys if ":centroid:" in k or k.startswith(f"{NAMESPACE}:bbox:")]
    health = w.get("/gis/health/").json()
    assert (health["status"], health["cache_status"]) == ("healthy", "healthy")


@pytest.mark.parametrize("kind, limit, prefix", [("tile", 40, "rate_limit:gis:"),
                                                 ("bbox", 20, "rate_limit:gis:bbox:")])
@pytest.mark.parametrize("scripts_flushed", [False, True])
def test_limits_count_on_the_keys_node(worker, on_cluster, admin, place, kind, limit, prefix,
                                       scripts_flushed):
    w = worker(**on_cluster)
    client = "198.51.100.7"
    key = prefix + client
    assert w.get(place[kind], client).status_code == 200  # loads the script
    if scripts_flushed:
        admin.script_flush()  # on every primary
    admin.delete(key)
    assert w.get(place[kind], client).status_code == 200
    assert admin.get(key) == b"1" and 0 < admin.pttl(key) <= 1000
    admin.set(key, limit, ex=5)
    refused = w.get(place[kind], client)
    assert refused.status_code == 429
    assert admin.get(key) == str(limit + 1).encode()
    assert w.get(place[kind], "198.51.100.8").status_code == 200  # another client's own count


def plant(admin):
    """Keys under the namespace and beside it, spread over every primary."""
    keys = [f"{NAMESPACE}:{layer}:{z}:{x}:{y}" for layer in ("plots", "roads", "beacons")
            for z in (12, 14, 15, 16) for x in range(5) for y in range(5)]
    keys += [f"{NAMESPACE}:bbox:plots:{i}" for i in range(20)]
    keys += [f"{NAMESPACE}:centroid:{layer}" for layer in ("plots", "roads")]
    outside = [f"other:{NAMESPACE}:plots:1:0:0", f"{NAMESPACE}x:plots:1:0:0", "rate_limit:gis:192.0.2.9"]
    for key in keys + outside:
        admin.set(key, b"\x1a\x00tile", ex=120)
    assert len(primaries_holding(admin, keys)) == 3
    return keys, outside


@pytest.mark.parametrize("kind, argument, glob", [
    ("endpoint", "plots", "mvt_v8:plots:*"),
    ("endpoint", "all", "mvt_v8:*"),
    ("pattern", "p*s:1[45]:*", "mvt_v8:p*s:1[45]:*"),
    ("pattern", "bbox:*", "mvt_v8:bbox:*"),
    ("layer", "roads", "mvt_v8:roads:*"),
])
def test_invalidation_deletes_on_every_primary(worker, on_cluster, admin, kind, argument, glob):
    keys, outside = plant(admin)
    gone = [k for k in keys if fnmatch.fnmatchcase(k, glob)]
    assert len(primaries_holding(admin, gone)) == 3
    if kind == "endpoint":
        w = worker(**on_cluster)
        answer = w.post(f"/gis/cache/invalidate/{argument}", **{"X-Operator-Token": OPERATOR_TOKEN})
        assert answer.status_code == 200
        count = answer.json()["data"]["deleted_count"]
    else:
        env = {k: v for k, v in os.environ.items() if not k.startswith("REDIS_SENTINEL")}
        done = subprocess.run([sys.executable, str(HERE / "module_task.py"), kind, argument],
                              env={**env, **on_cluster}, capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        count = int(done.stdout.strip().splitlines()[-1])
    assert count == len(gone)
    left = sorted(k.decode() for k in admin.scan_iter(match=f"{NAMESPACE}:*"))
    assert left == sorted(set(keys) - set(gone))
    assert all(admin.exists(k) for k in outside)


def test_cluster_and_sentinels_together_are_refused(cluster, nodes):
    env = {**os.environ, "REDIS_CLUSTER_NODES": nodes, "REDIS_SENTINELS": cluster["REDIS_SENTINELS"]}
    done = subprocess.run([sys.executable, str(HERE / "module_task.py"), "all"], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode != 0
    assert "REDIS_CLUSTER_NODES and REDIS_SENTINELS are both set; set one" in done.stderr


def test_seeding_writes_across_slots(on_cluster, admin):
    env = {k: v for k, v in os.environ.items() if not k.startswith("REDIS_SENTINEL")}
    seed = [sys.executable, str(HERE.parents[1] / "host" / "tileseed.py"), "plots", "--zoom", "12-16", "--json",
            "--no-progress"]
    done = subprocess.run(seed, env={**env, **on_cluster}, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    summary = json.loads(done.stdout)
    keys = [k.decode() for k in admin.scan_iter(match=f"{NAMESPACE}:plots:*")]
    assert summary["generated"] == len(keys) > 10 and summary["failed"] == 0
    assert len(primaries_holding(admin, keys)) == 3
    again = subprocess.run(seed, env={**env, **on_cluster}, capture_output=True, text=True, timeout=300)
    assert json.loads(again.stdout)["cached"] == len(keys)
