"""Tiles from a streaming replica of PostgreSQL, chosen by the worker's
DATABASE_URL alone: the same answers as from the primary, and a statement
that the replica cancels for a conflict with recovery answers 500."""

import json
import os
import shutil
import subprocess
import tempfile
import threading

import httpx
import mapbox_vector_tile
import pytest
import redis

from cluster_support import ROOT
from process_support import eventually, free_port
from helpers.utils import latlon_to_xyz
from pg_support import Database, sql

PRIMARY_REDIS_DB, REPLICA_REDIS_DB = 11, 12
SERVE = ROOT / "scripts" / "serve.sh"


@pytest.fixture
def redis_dbs(services):
    clients = [redis.Redis(host=os.environ["REDIS_HOST"], port=int(os.environ["REDIS_PORT"]), db=db)
               for db in (PRIMARY_REDIS_DB, REPLICA_REDIS_DB)]
    for c in clients:
        c.flushdb()
    yield clients
    for c in clients:
        c.flushdb()
        c.close()


@pytest.fixture(scope="module")
def paths(db_url):
    row = sql(db_url, 'SELECT ST_X(w) lon, ST_Y(w) lat, ST_X(c) x, ST_Y(c) y FROM "GIS"."PLOT" p, '
                      'ST_PointOnSurface(p."GEOMETRY") c, ST_Transform(c, 4326) w ORDER BY p."ID" LIMIT 1')[0]
    out = []
    for layer, z in [("plots", 16), ("plots", 14), ("beacons", 17), ("roads", 14), ("cadzones", 12),
                     ("districts", 10), ("lgas", 9)]:
        t = latlon_to_xyz(row["lat"], row["lon"], z)
        out.append(f"/gis/{layer}/{z}/{t['x']}/{t['y']}.pbf")
    out.append(f"/gis/plots/bbox/?minx={row['x'] - 150}&miny={row['y'] - 150}&maxx={row['x'] + 150}"
               f"&maxy={row['y'] + 150}&srid=3857")
    out += ["/gis/plots/", "/gis/districts/"]
    return out


def content(answer):
    if answer.headers.get("content-type", "").startswith("application/json"):
        return answer.json()
    if not answer.content:
        return None
    layers = mapbox_vector_tile.decode(answer.content)
    return {name: sorted(json.dumps(f, sort_keys=True) for f in layer["features"])
            for name, layer in layers.items()}


def test_replica_serves_what_the_primary_serves(worker, cluster, redis_dbs, paths):
    on_primary = worker(REDIS_DB=PRIMARY_REDIS_DB)
    on_replica = worker(REDIS_DB=REPLICA_REDIS_DB, DATABASE_URL=cluster["REPLICA_DATABASE_URL"])
    from_primary = [on_primary.get(p) for p in paths]
    from_replica = [on_replica.get(p) for p in paths]
    assert [a.status_code for a in from_replica] == [a.status_code for a in from_primary]
    assert 200 in {a.status_code for a in from_replica}
    assert [content(a) for a in from_replica] == [content(a) for a in from_primary]
    replica_sessions = sql(cluster["REPLICA_DATABASE_URL"],
                           "SELECT count(*) n FROM pg_stat_activity WHERE datname = current_database() "
                           "AND backend_type = 'client backend' AND pid <> pg_backend_pid()")[0]["n"]
    assert replica_sessions > 0


# The development cluster commits asynchronously and keeps what open
# transactions have written in its buffers: a synchronous commit sends it all
# to the replica.
FLUSH_TO_REPLICA = "SET synchronous_commit = on; BEGIN; SELECT txid_current(); COMMIT"


def test_recovery_conflict_answers_database_error(worker, cluster, db_url, redis_dbs, paths):
    """The replica replays an exclusive lock on the parcels while a tile
    statement reads them, waits max_standby_streaming_delay and cancels the
    statement. To have the statement still running then, the replica first
    holds (by an earlier replayed lock) the parcels' spatial index, which the
    statement needs after it has locked the table."""
    replica_url = cluster["REPLICA_DATABASE_URL"]
    index = sql(db_url, "SELECT quote_ident(schemaname) || '.' || quote_ident(indexname) i FROM pg_indexes "
                        "WHERE schemaname = 'GIS' AND tablename = 'PLOT' AND indexdef LIKE '%gist%'")[0]["i"]
    on_replica = worker(REDIS_DB=REPLICA_REDIS_DB, DATABASE_URL=replica_url)
    assert on_replica.get(paths[0]).status_code == 200
    redis_dbs[1].flushdb()

    primary = Database(db_url)
    holder, locker = primary.connect(), primary.connect()
    answer = {}
    try:
        primary.execute("BEGIN", connection=holder)
        primary.execute(f"ALTER INDEX {index} SET (buffering = on)", connection=holder)
        primary.execute(FLUSH_TO_REPLICA)
        eventually(lambda: sql(replica_url, "SELECT 1 FROM pg_locks WHERE relation = $1::regclass "
                                            "AND mode = 'AccessExclusiveLock' AND granted", index),
                   "the replica holds the index", 30)
        request = threading.Thread(target=lambda: answer.update(a=on_replica.get(paths[0])))
        request.start()
        eventually(lambda: sql(replica_url, "SELECT 1 FROM pg_stat_activity WHERE wait_event_type = 'Lock' "
                                            "AND query LIKE '%ST_AsMVT%'"), "the tile waits for the index", 30)
        primary.execute("BEGIN", connection=locker)
        primary.execute('LOCK TABLE "GIS"."PLOT" IN ACCESS EXCLUSIVE MODE', connection=locker)
        primary.execute(FLUSH_TO_REPLICA)
        request.join(60)
    finally:
        for connection in (locker, holder):
            primary.execute("ROLLBACK", connection=connection)
            primary.run(connection.close())
        primary.close()
    assert answer["a"].status_code == 500
    assert answer["a"].json() == {"detail": "Database error"}
    # The replica cancels it after max_standby_streaming_delay (500 ms), or,
    # on a slow machine, the statement's own deadlock check (deadlock_timeout,
    # 1 s after it began to wait) finds it waiting in a cycle with recovery.
    log = on_replica.log_text()
    assert "conflict with recovery" in log or "deadlock detected" in log, log[-2000:]
    # and the worker goes on serving from the replica
    assert on_replica.get(paths[0]).status_code == 200


def client_backends(url):
    return sql(url, "SELECT count(*) n FROM pg_stat_activity WHERE datname = current_database() "
                    "AND backend_type = 'client backend' AND pid <> pg_backend_pid()")[0]["n"]


def test_serving_stack_reads_tiles_from_the_replica_and_plans_from_the_primary(cluster, db_url, redis_dbs,
                                                                                paths):
    replica_url = cluster["REPLICA_DATABASE_URL"]
    directory = tempfile.mkdtemp(prefix="terrava-serve-")
    os.chmod(directory, 0o755)  # nginx's own user keeps its sockets in there
    port = free_port()
    env = {k: v for k, v in os.environ.items() if not k.startswith(("REDIS_SENTINEL", "REDIS_CLUSTER"))}
    env.update(TERRAVA_SERVE_DIR=directory, SERVE_PORT=str(port), DATABASE_URL=db_url,
               TERRAVA_TILE_DATABASE_URL=replica_url, REDIS_DB=str(REPLICA_REDIS_DB), TERRAVA_WORKERS="1",
               TERRAVA_PLAN_WORKERS="1", TERRAVA_EDGE_CACHE="0", LOG_LEVEL="WARNING")
    plot_id = sql(db_url, 'SELECT min("ID") i FROM "GIS"."PLOT"')[0]["i"]
    try:
        subprocess.run([str(SERVE), "start"], env=env, check=True, timeout=300)
        with httpx.Client(base_url=f"http://127.0.0.1:{port}", timeout=120) as http:
            on_replica, on_primary = client_backends(replica_url), client_backends(db_url)
            assert http.get(paths[0]).status_code == 200
            assert client_backends(replica_url) > on_replica
            on_replica = client_backends(replica_url)
            plan = http.get(f"/plans/deed/{plot_id}")
            assert plan.status_code == 200 and plan.content.startswith(b"%PDF")
            assert client_backends(db_url) > on_primary
            assert client_backends(replica_url) == on_replica
    finally:
        subprocess.run([str(SERVE), "stop"], env=env, timeout=120)
        shutil.rmtree(directory, ignore_errors=True)
