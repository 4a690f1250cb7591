"""The tile service on a Sentinel-watched primary, chosen by REDIS_SENTINELS
alone, through a failover: the primary is shut down under a steady stream of
tile requests, the sentinels promote its replica, and the worker, never
restarted, goes on caching and limiting on the new primary."""

import subprocess
import threading
import time

import pytest
import redis
from redis.sentinel import Sentinel

from cluster_support import CLUSTER_SH
from process_support import eventually
from helpers.utils import latlon_to_xyz
from pg_support import sql

SERVICE_KEYS = "mvt_v8:*"


@pytest.fixture
def sentinel(cluster):
    hosts = [tuple(s.split(":")) for s in cluster["REDIS_SENTINELS"].split(",")]
    watcher = Sentinel([(h, int(p)) for h, p in hosts], socket_timeout=2)
    yield watcher, cluster["REDIS_SENTINEL_SERVICE"]
    # Bring the group back to a primary and a replica for whoever comes next.
    healed = subprocess.run([str(CLUSTER_SH), "start"], capture_output=True, text=True, timeout=300)
    assert healed.returncode == 0, healed.stderr[-2000:]


def primary_of(sentinel):
    watcher, service = sentinel
    try:
        return watcher.discover_master(service)
    except redis.RedisError:
        return None


def client_on(address):
    return redis.Redis(host=address[0], port=address[1], socket_timeout=2)


@pytest.fixture(scope="module")
def tiles(db_url):
    """Forty z16 tiles around the parcels, so most requests of the loop are
    tiles that no one has cached yet."""
    rows = sql(db_url, 'SELECT ST_Y(w) lat, ST_X(w) lon FROM "GIS"."PLOT" p, '
                       'ST_Transform(ST_PointOnSurface(p."GEOMETRY"), 4326) w ORDER BY p."ID"')
    paths = []
    for row in rows:
        t = latlon_to_xyz(row["lat"], row["lon"], 16)
        path = f"/gis/plots/16/{t['x']}/{t['y']}.pbf"
        if path not in paths:
            paths.append(path)
    return paths


def test_failover_under_load(worker, cluster, sentinel, tiles):
    before = primary_of(sentinel)
    assert before, "the sentinels know no primary"
    old = client_on(before)
    for key in old.scan_iter(match=SERVICE_KEYS):
        old.delete(key)
    w = worker(REDIS_SENTINELS=cluster["REDIS_SENTINELS"],
               REDIS_SENTINEL_SERVICE=cluster["REDIS_SENTINEL_SERVICE"], REDIS_HOST="192.0.2.1", REDIS_PORT="9")
    assert [w.get(tiles[0]).status_code, w.get(tiles[0]).headers.get("X-Cache")] == [200, "HIT"]
    assert old.exists(f"mvt_v8:plots:16:{tiles[0].split('/16/')[1][:-4].replace('/', ':')}")

    answers, stop = [], threading.Event()

    def load():
        i = 0
        while not stop.is_set():
            path = tiles[i % len(tiles)]
            a = w.get(path, client="203.0.113.5")
            answers.append((time.monotonic(), path, a.status_code, a.headers.get("X-Cache")))
            i += 1
            time.sleep(0.04)  # 25 a second, under the limit of 40

    thread = threading.Thread(target=load)
    thread.start()
    try:
        time.sleep(1)
        killed = time.monotonic()
        old.shutdown(nosave=True)
        after = eventually(lambda: (p := primary_of(sentinel)) and p != before and p, "a new primary", 60)
        promoted = time.monotonic()
        new = client_on(after)
        # Caching resumes: a tile generated after the failover is stored on
        # the new primary and then answered from it.
        eventually(lambda: any(t > promoted and c == "HIT" for t, _, _, c in answers[:]),
                   "a cache hit from the new primary", 60)
        resumed = min(t for t, _, _, c in answers if t > killed and c == "HIT")
    finally:
        stop.set()
        thread.join()

    statuses = {s for _, _, s, _ in answers}
    assert statuses <= {200, 204}, [a for a in answers if a[2] not in (200, 204)][:5]
    assert any(t > killed and t < promoted for t, *_ in answers), "no request during the failover"
    assert new.dbsize() > 0 and list(new.scan_iter(match=SERVICE_KEYS))
    # The shared limit is counted on the new primary again.
    new.set("rate_limit:gis:203.0.113.6", 40, ex=5)
    assert w.get(tiles[1], client="203.0.113.6").status_code == 429
    print(f"\nfailover: primary {before[1]} -> {after[1]}; the sentinels named it {promoted - killed:.1f} s after the "
          f"shutdown, first hit {resumed - killed:.1f} s after; {len(answers)} answers, "
          f"{sum(1 for t, *_ in answers if killed < t < promoted)} before that, all {sorted(statuses)}")
