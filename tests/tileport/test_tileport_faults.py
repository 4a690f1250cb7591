"""The tile endpoint when Redis or the database misbehave: tiles still come
from the database when Redis is down, stalls or refuses; a slow statement is
cut off with 408 and leaves no transaction open; a failing one answers 500."""

import asyncio
import os
import uuid

import mapbox_vector_tile
import pytest
from helpers.utils import latlon_to_xyz

TEST_SCHEMA = "tileport_test"


@pytest.fixture(scope="session")
def parcel_tile(run, pg):
    row = run(pg.fetchrow(
        'SELECT ST_X(s) AS lon, ST_Y(s) AS lat FROM "GIS"."PLOT" p, '
        'ST_Transform(ST_PointOnSurface(p."GEOMETRY"), 4326) s ORDER BY p."ID" LIMIT 1'))
    t = latlon_to_xyz(row["lat"], row["lon"], 16)
    return t["z"], t["x"], t["y"]


def like_module_client(port):
    """A client with the module's own settings (reconnection attempts included)."""
    import redis.asyncio as aioredis

    return aioredis.Redis(host="127.0.0.1", port=port, decode_responses=False,
                          socket_connect_timeout=5, socket_timeout=5)


def assert_plain_tile(answer):
    assert answer.status_code == 200
    assert "x-cache" not in answer.headers and "cache-control" not in answer.headers
    tile = mapbox_vector_tile.decode(answer.content)
    assert list(tile) == ["plots"] and tile["plots"]["features"]


def test_redis_down_tiles_come_from_the_database(get, run, module_redis, parcel_tile, tile_log):
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    client = like_module_client(port)
    module_redis(client)
    z, x, y = parcel_tile
    try:
        assert_plain_tile(get(f"/gis/plots/{z}/{x}/{y}.pbf"))
    finally:
        run(client.aclose())
    rate, read, write = tile_log("WARNING")
    assert rate.startswith("Rate limit check failed: Error 111 connecting to 127.0.0.1:")
    assert read.startswith(f"Cache get failed for plots:{z}:{x}:{y}: ")
    assert write.startswith(f"Cache set failed for plots:{z}:{x}:{y}: Error 111 connecting")


def test_stalling_redis_costs_the_cache_read_one_second(get, run, module_redis, stalling_redis,
                                                        parcel_tile, tile_log):
    module_redis(stalling_redis)
    z, x, y = parcel_tile
    assert_plain_tile(get(f"/gis/plots/{z}/{x}/{y}.pbf"))
    rate, read, write = tile_log("WARNING")
    assert rate.startswith("Rate limit check failed: Timeout")
    assert read == f"Cache get failed for plots:{z}:{x}:{y}: "  # the 1 s deadline: no text
    assert write.startswith(f"Cache set failed for plots:{z}:{x}:{y}: Timeout")


def test_redis_error_replies_are_absorbed(get, module_redis, redis_user, parcel_tile, tile_log):
    module_redis(redis_user("-@all"))
    z, x, y = parcel_tile
    assert_plain_tile(get(f"/gis/plots/{z}/{x}/{y}.pbf"))
    rate, read, write = tile_log("WARNING")
    assert rate.startswith("Rate limit check failed: ") and "no permissions" in rate
    assert "no permissions" in read and "no permissions" in write


def test_refused_expire_never_locks_the_client_out(get, run, module_redis, redis_user,
                                                   redis_admin, client_ip, tile_log):
    # A Redis that counts but answers EXPIRE with an error: the rate check fails
    # (logged) and requests go on; the client is never refused for good.
    module_redis(redis_user("+@all", "-expire"))
    key = f"rate_limit:gis:{client_ip}"
    try:
        statuses = {get("/gis/plots/7/0/0.pbf").status_code for _ in range(45)}
    finally:
        run(redis_admin.delete(key))
    assert statuses == {204}
    warnings = tile_log("WARNING")
    assert len(warnings) == 45
    assert all(w.startswith("Rate limit check failed: ") for w in warnings)


# --- database ---------------------------------------------------------------


@pytest.fixture
def test_layer(run, pg, tp, monkeypatch):
    """A layer over a table of this test only ("tileport_test".<name>), served
    from zoom 1, with one polygon covering the whole world."""
    name = "t" + uuid.uuid4().hex[:10]
    table = f'"{TEST_SCHEMA}"."{name}"'
    run(pg.execute(f'CREATE SCHEMA IF NOT EXISTS "{TEST_SCHEMA}"'))
    run(pg.execute(f'CREATE TABLE {table} (id integer PRIMARY KEY, label text, '
                   'geom geometry(Polygon, 3857))'))
    run(pg.execute(f"INSERT INTO {table} VALUES (1, 'all', ST_MakeEnvelope("
                   "-2e7, -2e7, 2e7, 2e7, 3857))"))
    monkeypatch.setitem(tp.LAYER_CONFIG, name, {
        "table": table, "id_col": '"id"', "geom_col": '"geom"',
        "properties": ['"id"', '"label"'], "min_zoom": 1})
    yield name, table
    run(pg.execute(f"DROP TABLE IF EXISTS {table}"))


def open_transactions(run, pg, table, besides=0):
    """Backends other than this test's own (and `besides`) that are in a
    transaction and whose last statement touched `table`."""
    return run(pg.fetch(
        "SELECT pid, state, query FROM pg_stat_activity WHERE datname = current_database() "
        "AND pid <> pg_backend_pid() AND pid <> $2 AND state IN ('active', "
        "'idle in transaction', 'idle in transaction (aborted)') AND position($1 in query) > 0",
        table, besides))


def test_test_layer_serves_tiles(get, test_layer):
    name, _ = test_layer
    answer = get(f"/gis/{name}/3/1/1.pbf")
    assert answer.status_code == 200
    (feature,) = mapbox_vector_tile.decode(answer.content)[name]["features"]
    assert feature["properties"] == {"id": 1, "label": "all", "feature_id": 1}


def test_statement_slower_than_its_timeout_gets_408_and_rolls_back(get, run, pg, test_layer,
                                                                   tile_log):
    import asyncpg

    name, table = test_layer
    # Another session holds the table: the tile statement waits for the lock
    # until the zoom's time-out (10 s at zoom 3) cuts it off.
    locker = run(asyncpg.connect(os.environ["DATABASE_URL"].replace("+asyncpg", "")))
    lock = locker.transaction()
    run(lock.start())
    run(locker.execute(f"LOCK TABLE {table} IN ACCESS EXCLUSIVE MODE"))
    try:
        answer = get(f"/gis/{name}/3/1/1.pbf")
        assert answer.status_code == 408
        assert answer.json() == {"detail": "Tile generation timeout at zoom 3"}
        assert tile_log("ERROR") == [f"Timeout generating tile {name}/3/1/1"]
        assert open_transactions(run, pg, table, besides=locker.get_server_pid()) == []
    finally:
        run(lock.rollback())
        run(locker.close())
    # The session was given back clean: the next request is served normally.
    assert get(f"/gis/{name}/3/1/1.pbf").status_code == 200


def test_database_error_answers_500_and_rolls_back(get, run, pg, test_layer, tile_log):
    name, table = test_layer
    run(pg.execute(f'ALTER TABLE {table} DROP COLUMN label'))
    answer = get(f"/gis/{name}/3/1/1.pbf")
    assert answer.status_code == 500
    assert answer.json() == {"detail": "Database error"}
    (line,) = tile_log("ERROR")
    assert line.startswith(f"Database error for tile {name}/3/1/1: ")
    assert 'column "label" does not exist' in line
    assert open_transactions(run, pg, table) == []


def test_unexpected_error_in_the_database_region_answers_500(get, tp, monkeypatch, parcel_tile,
                                                             tile_log):
    def broken_envelope(z, x, y):
        return {"minx": 0.0, "miny": 0.0, "maxx": "east", "maxy": 1.0}

    monkeypatch.setattr(tp, "xyz_to_bbox_web_mercator", broken_envelope)
    z, x, y = parcel_tile
    answer = get(f"/gis/plots/{z}/{x}/{y + 1000}.pbf")
    assert answer.status_code == 500
    (line,) = tile_log("ERROR")
    assert answer.json()["detail"] in ("Database error", "Internal server error")
    assert line.startswith(("Database error for tile plots/", "Unexpected error for tile plots/"))
