"""The tile seeding command, run as an operator runs it, against the real
database and Redis: seeded tiles are the endpoint's cache hits byte for byte,
a run skips what is cached, a stopped run carries on, and bad input or an
unreachable service ends it with one line."""

import asyncio
import json
import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest
from helpers.utils import latlon_to_xyz
from pg_support import sql

HOST = Path(__file__).resolve().parents[1] / "host"


def tileseed(*args, env=None):
    return subprocess.run([sys.executable, "-m", "tileseed", *map(str, args)], cwd=HOST,
                          env={**os.environ, **(env or {})}, capture_output=True, text=True, timeout=300)


def summary(run, status=0):
    assert run.returncode == status, run.stderr
    return json.loads(run.stdout.strip().splitlines()[-1])


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def key(layer, z, x, y):
    return f"mvt_v8:{layer}:{z}:{x}:{y}"


@pytest.fixture(scope="module")
def extent(db_url):
    """The parcels' extent in degrees: west, south, east, north."""
    (row,) = sql(db_url, 'SELECT ST_XMin(b), ST_YMin(b), ST_XMax(b), ST_YMax(b) FROM (SELECT ST_Transform('
                        'ST_SetSRID(ST_Extent("GEOMETRY")::geometry, 3857), 4326) AS b FROM "GIS"."PLOT") e')
    return tuple(row)


def tiles_over(box, zooms):
    west, south, east, north = box
    tiles = []
    for z in zooms:
        a, b = latlon_to_xyz(north, west, z), latlon_to_xyz(south, east, z)
        tiles += [(z, x, y) for x in range(a["x"], b["x"] + 1) for y in range(a["y"], b["y"] + 1)]
    return tiles


@pytest.fixture
def cache(redis_url, flush_redis):
    import redis

    client = redis.Redis.from_url(redis_url)
    yield client
    client.close()


@pytest.fixture
def endpoint(monkeypatch, services):
    """GET /gis/{layer}/{z}/{x}/{y}.pbf through the tile router (ASGI, the
    host's get_db), each request from an address of its own, so that the
    rate limit stays out of the way: {(z, x, y): (status, X-Cache, max-age,
    body)}. The module's Redis traffic goes through a client of this loop."""
    import httpx
    import redis.asyncio as aioredis
    import terrava.tileport as tp
    from database import dispose_engine
    from fastapi import FastAPI

    app = FastAPI()
    app.include_router(tp.tileport)

    def get(layer, tiles):
        async def go():
            client = aioredis.Redis(host=tp.redis_host, port=tp.redis_port, db=tp.redis_db,
                                    password=tp.redis_password, username=tp.redis_username)
            monkeypatch.setattr(tp, "redis_client", client)
            monkeypatch.setattr(tp, "cache", tp.BinaryRedisCache(client, namespace="mvt_v8"))
            answers = {}
            try:
                for i, (z, x, y) in enumerate(tiles):
                    transport = httpx.ASGITransport(app=app, client=(f"10.201.{i // 250}.{i % 250}", 50000))
                    async with httpx.AsyncClient(transport=transport, base_url="http://tiles") as http:
                        r = await http.get(f"/gis/{layer}/{z}/{x}/{y}.pbf")
                    max_age = r.headers.get("cache-control", "").rpartition("max-age=")[2]
                    answers[z, x, y] = (r.status_code, r.headers.get("x-cache"), max_age, r.content)
            finally:
                await client.aclose()
                await dispose_engine()
            return answers

        return asyncio.run(go())

    return get


def test_seeded_tiles_are_the_endpoints_hits_byte_for_byte(cache, endpoint, extent, flush_redis):
    zooms = range(10, 18)
    seeded = summary(tileseed("plots", "--zoom", "10-17", "--json"))
    tiles = tiles_over(extent, zooms)
    assert (seeded["tiles"], seeded["failed"], seeded["cached"]) == (len(tiles), 0, 0)
    stored = {t: cache.get(key("plots", *t)) for t in tiles}
    full = [t for t in tiles if stored[t] is not None]
    assert len(full) == seeded["generated"] > 0 and len(tiles) - len(full) == seeded["empty"] > 0
    assert cache.dbsize() == len(full)

    answers = endpoint("plots", tiles)
    for t in tiles:
        status, source, max_age, body = answers[t]
        if stored[t] is None:  # empty: not cached, and the endpoint finds it empty too
            assert status == 204 and cache.get(key("plots", *t)) is None
            continue
        assert (status, source, body) == (200, "HIT", stored[t])
        # The key lives as long as the endpoint says its tiles do (2 h up to zoom 10, then 30 min).
        assert int(max_age) - 60 < cache.ttl(key("plots", *t)) <= int(max_age) == (7200 if t[0] <= 10 else 1800)

    # The endpoint generating the same tiles itself gives the same bytes.
    flush_redis()
    generated = endpoint("plots", full)
    assert all(generated[t][:2] == (200, None) and generated[t][3] == stored[t] for t in full)


def test_a_second_run_skips_the_cached_tiles_and_refresh_generates_them_again(cache):
    args = ("plots", "beacons", "--zoom", "15-17", "--json")
    first = summary(tileseed(*args))
    assert first["generated"] > 0 and first["failed"] == 0
    second = summary(tileseed(*args))
    assert (second["generated"], second["cached"], second["failed"]) == (0, first["generated"], 0)
    assert second["empty"] == first["empty"]  # empty tiles are not cached: looked at again
    refreshed = summary(tileseed(*args, "--refresh"))
    assert (refreshed["generated"], refreshed["cached"]) == (first["generated"], 0)
    assert cache.dbsize() == first["generated"]


def test_a_stopped_run_cancels_its_statements_and_the_next_one_carries_on(cache, db_url, extent):
    """Parcels first, then beacons, whose table is locked: the run's
    statements wait for the lock when it is stopped."""
    import asyncpg

    args = ("plots", "beacons", "--zoom", "16-18", "--bbox", ",".join(map(str, extent)), "--json")
    waiting = ("SELECT count(*) FROM pg_stat_activity WHERE application_name = 'tileseed' "
               "AND datname = current_database() AND wait_event_type = 'Lock'")

    async def stopped_run():
        url = db_url.replace("postgresql+asyncpg://", "postgresql://", 1)
        locker, watcher = await asyncpg.connect(url), await asyncpg.connect(url)
        try:
            async with locker.transaction():
                await locker.execute('LOCK TABLE "GIS"."BEACON" IN ACCESS EXCLUSIVE MODE')
                process = await asyncio.create_subprocess_exec(
                    sys.executable, "-m", "tileseed", *args, cwd=HOST,
                    stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE)
                deadline = time.monotonic() + 120
                while await watcher.fetchval(waiting) < 2:  # both workers: the parcels are done
                    assert process.returncode is None and time.monotonic() < deadline
                    await asyncio.sleep(0.05)
                process.send_signal(signal.SIGINT)
                out, err = await asyncio.wait_for(process.communicate(), 60)
                # With the lock still held: a statement left behind would still be waiting.
                left = await watcher.fetchval(waiting)
            return process.returncode, out.decode(), err.decode(), left
        finally:
            await locker.close()
            await watcher.close()

    status, out, err, left = asyncio.run(stopped_run())
    first = summary(subprocess.CompletedProcess(args, status, out, err), status=130)
    plots = len(tiles_over(extent, range(16, 19)))
    assert first["stopped_by"] == "SIGINT" and left == 0
    assert first["generated"] + first["empty"] == plots and first["not_reached"] == first["tiles"] - plots
    assert cache.dbsize() == first["generated"]  # what it says it cached, no more, no less

    second = summary(tileseed(*args))
    assert second["cached"] == first["generated"] and second["failed"] == second["not_reached"] == 0
    assert second["generated"] + second["cached"] + second["empty"] == second["tiles"] == first["tiles"]
    assert cache.dbsize() == first["generated"] + second["generated"]


@pytest.fixture
def own_redis(services):
    """A Redis server of the test's own, nothing persisted: its writes can be
    paused without touching anyone else's."""
    import redis

    port = closed_port()
    server = subprocess.Popen(["redis-server", "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                               "--appendonly", "no"], stdout=subprocess.DEVNULL)
    client = redis.Redis(port=port, socket_timeout=5)
    deadline = time.monotonic() + 20
    while True:
        try:
            client.ping()
            break
        except redis.ConnectionError:
            assert server.poll() is None and time.monotonic() < deadline
            time.sleep(0.05)
    yield port, client
    client.close()
    server.terminate()
    server.wait(timeout=20)


def test_redis_refusing_writes_mid_run_stops_it_counting_only_what_was_written(own_redis):
    port, client = own_redis
    seeder = subprocess.Popen([sys.executable, "-m", "tileseed", "plots", "beacons", "--zoom", "17-20", "--json"],
                              cwd=HOST, env={**os.environ, "REDIS_HOST": "127.0.0.1", "REDIS_PORT": str(port),
                                             "REDIS_DB": "0"},
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        while client.dbsize() < 50:
            assert seeder.poll() is None
            time.sleep(0.01)
        client.execute_command("CLIENT", "PAUSE", "30000", "WRITE")  # reads still answered
        written = client.dbsize()
        out, err = seeder.communicate(timeout=60)
    finally:
        client.execute_command("CLIENT", "UNPAUSE")
        if seeder.poll() is None:
            seeder.kill()
    result = summary(subprocess.CompletedProcess(seeder.args, seeder.returncode, out, err), status=1)
    fault = f"lost Redis at 127.0.0.1:{port}/0: "
    assert result["fault"].startswith(fault) and f"tileseed: {fault}" in err
    assert result["generated"] == written and result["failed"] >= 1 and result["not_reached"] > 0


UNREACHABLE = {"DATABASE_URL": "postgresql+asyncpg://terrava:x@127.0.0.1:9/terrava", "REDIS_PORT": "9"}


@pytest.mark.parametrize("args, line", [
    (("parcels", "-z", "12"),
     "tileseed: unknown layer 'parcels' (layers: plots, beacons, cadzones, districts, lgas, roads)"),
    (("plots", "-z", "6-10"), "tileseed: plots is served from zoom 8; --zoom 6-10 starts below it"),
    (("beacons", "-z", "19-21"), "tileseed: zoom 21 is beyond the tile service's last zoom, 20"),
    (("plots", "-z", "14-12"), "tileseed: argument -z/--zoom: '14-12': the first zoom is above the last (see --help)"),
    (("plots", "-z", "14", "--bbox", "7.46,9.04,7.44,9.06"),
     "tileseed: argument --bbox: '7.46,9.04,7.44,9.06': west 7.46 is east of east 7.44 (see --help)"),
    (("plots", "-z", "14", "--bbox", "7.44,9.06,7.46,9.04"),
     "tileseed: argument --bbox: '7.44,9.06,7.46,9.04': south 9.06 is north of north 9.04 (see --help)"),
    (("plots", "-z", "14", "--bbox", "7.44,9.04,187,9.06"),
     "tileseed: argument --bbox: '7.44,9.04,187,9.06': east 187 is outside -180..180 (see --help)"),
    (("plots", "-z", "14", "--bbox", "7.44,9.04,7.46"),
     "tileseed: argument --bbox: '7.44,9.04,7.46': give west,south,east,north in degrees, "
     "e.g. 7.44,9.04,7.46,9.06 (see --help)"),
    (("plots", "-z", "14", "-c", "0"), "tileseed: argument -c/--concurrency: '0': give a number from 1 to 64 (see --help)"),
])
def test_bad_input_is_one_line_and_status_2_before_any_service_is_asked(args, line):
    # The database and Redis are out of reach: had either been asked, the answer would be another.
    run = tileseed(*args, env=UNREACHABLE)
    assert (run.returncode, run.stderr.splitlines(), run.stdout) == (2, [line], "")


@pytest.mark.parametrize("service", ["database", "Redis"])
def test_an_unreachable_service_is_one_line_and_status_1(cache, service):
    port = closed_port()
    if service == "database":
        env = {"DATABASE_URL": f"postgresql+asyncpg://terrava:x@127.0.0.1:{port}/terrava"}
        expected = f"tileseed: cannot reach the database at 127.0.0.1:{port}/terrava: "
    else:
        env = {"REDIS_PORT": str(port)}
        expected = f"tileseed: cannot reach Redis at {os.environ.get('REDIS_HOST', 'localhost')}:{port}/"
    run = tileseed("plots", "-z", "14-16", env=env)
    lines = run.stderr.splitlines()
    assert run.returncode == 1 and len(lines) == 1 and lines[0].startswith(expected), run.stderr
    assert run.stdout == "" and cache.dbsize() == 0


@pytest.mark.parametrize("z", [6, 7, 10, 11, 14, 15, 16, 17, 20])
def test_statement_bound_is_the_endpoints(cache, db_url, extent, monkeypatch, z):
    """The endpoint leaves its zoom's statement_timeout on the connection it
    used; the seeder bounds its statements with the same."""
    import redis.asyncio as aioredis
    import terrava.tileport as tp
    from sqlalchemy import text
    from sqlalchemy.ext.asyncio import AsyncSession, create_async_engine
    from types import SimpleNamespace

    from tileseed import statement_bound

    tile = latlon_to_xyz((extent[1] + extent[3]) / 2, (extent[0] + extent[2]) / 2, z)

    async def bound_left_by_the_endpoint():
        engine = create_async_engine(db_url, pool_size=1, max_overflow=0)
        client = aioredis.Redis(host=tp.redis_host, port=tp.redis_port, db=tp.redis_db,
                                password=tp.redis_password, username=tp.redis_username)
        monkeypatch.setattr(tp, "redis_client", client)
        monkeypatch.setattr(tp, "cache", tp.BinaryRedisCache(client, namespace="mvt_v8"))
        try:
            request = SimpleNamespace(client=SimpleNamespace(host=f"10.202.0.{z}"))
            await tp.get_tile_xyz("lgas", z, tile["x"], tile["y"], request, AsyncSession(engine))
            async with engine.connect() as connection:  # the pool's one connection
                return await connection.scalar(text("SELECT setting FROM pg_settings WHERE name = 'statement_timeout'"))
        finally:
            await client.aclose()
            await engine.dispose()

    assert int(asyncio.run(bound_left_by_the_endpoint())) == statement_bound(z) * 1000
