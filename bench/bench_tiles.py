"""Tile endpoint benchmark: the module against the same work done bare, side by side in one run.

    python bench/bench_tiles.py [--seconds 3] [--rounds 5] [--concurrency 8]
                                [--zooms 12 14 16] [--skip PHASE ...]

Phases, each alternating its two sides round by round so that drift hits both
alike, on the benchmark data set ("terrava_bench", bench/bench_db.sh) and a
Redis database of the benchmark's own (TERRAVA_BENCH_REDIS_DB, default 9):

server-hits   Cache hits of z16 plots tiles over HTTP: this file's app (the
              module's router and a bare endpoint) under uvicorn on uvloop and
              httptools, driven by wrk (-t 1, --concurrency connections, every
              request under an X-Forwarded-For of its own from 2 000 addresses,
              so that no client nears the limit of 40 a second). The bare
              endpoint sends what the module sends to Redis on a hit: the
              counting script by EVALSHA, then the GET of the tile.
profile       One more tile-only wrk run with `perf record` attached to the
              server: where its CPU time goes, by library (needs perf).
asgi-hits     The same two endpoints driven in-process through the ASGI
              interface (no server, no HTTP): the module's own cost, magnified.
generated     Tiles generated (cache key deleted before each request) at each
              of --zooms: the endpoint in-process against the same statement
              sent straight through an asyncpg pool, both as requests per
              second with --concurrency distinct tiles in flight, and beside
              them a plain Python endpoint doing the same work (count, cache
              read, statement, store): the framework's own limit; and the
              same Redis work and statement with no framework at all (the
              count, the bounded read, the statement through asyncpg, the
              store): what any endpoint that does that work can reach. Every
              side deletes the tile's key first, so the ratio is the
              endpoint's work.
stampede      --stampede-clients clients asking at once for one cold tile (the
              centre of the data at each of --stampede-zooms), in-process: the
              tile statements actually sent to the database (counted at the
              driver), the median and slowest wait, against the tile alone.
bbox          Bounding-box tiles (400 m boxes): hits against the script + GET,
              generated boxes against the statement through asyncpg.
invalidation  Deleting 100 000 cached tiles by the layer task against a bare
              SCAN + DEL loop.
health        GET /gis/health/ against a bare endpoint that sends one PING.

A table at the end gives every ratio with its goal. Nothing here asserts
timings: it prints what it measured.
"""

import argparse
import asyncio
import collections
import hashlib
import importlib.util
import logging
import math
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

from load_bench import (HOST, LOOPBACK, ROOT, Server, bench_database_url, errors, flush_tiles,
                        free_port, http_get, load_env, plain_url, rps, run_wrk, write_trace)

sys.path.insert(0, HOST)

# A Redis database of the benchmark's own (the module reads REDIS_DB at
# import), so that nobody else's FLUSHDB empties the cache under it.
os.environ["REDIS_DB"] = os.environ.get("TERRAVA_BENCH_REDIS_DB", "9")
load_env()

from fastapi import APIRouter, Depends, FastAPI, HTTPException, Request, Response  # noqa: E402
from fastapi.responses import JSONResponse  # noqa: E402
from sqlalchemy import text  # noqa: E402
from sqlalchemy.ext.asyncio import AsyncSession  # noqa: E402

import terrava.tileport as tp  # noqa: E402
from database import get_db  # noqa: E402
from helpers.utils import xyz_to_bbox_web_mercator  # noqa: E402

MEDIA = "application/vnd.mapbox-vector-tile"
PHASES = ("server-hits", "profile", "asgi-hits", "generated", "stampede", "bbox", "invalidation",
          "health")

# ---------------------------------------------------------------- the app

# The module's counting script, word for word; a client may send 40 a second.
COUNT_SCRIPT = ("local count = redis.call('INCR', KEYS[1])\n"
                "if redis.call('PTTL', KEYS[1]) == -1 then\n"
                "  redis.call('EXPIRE', KEYS[1], ARGV[1])\nend\nreturn count\n")
COUNT_SCRIPT_SHA = hashlib.sha1(COUNT_SCRIPT.encode()).hexdigest()
CLIENT_LIMIT = 40


async def count_client(key):
    """The client's count in this second, as the module's limiter takes it."""
    import redis.exceptions

    try:
        return await tp.redis_client.evalsha(COUNT_SCRIPT_SHA, 1, key, 1)
    except redis.exceptions.NoScriptError:
        await tp.redis_client.script_load(COUNT_SCRIPT)
        return await tp.redis_client.evalsha(COUNT_SCRIPT_SHA, 1, key, 1)


def make_app():
    """The module's router and the bare endpoints beside it (uvicorn calls
    this with --factory).

    Each side is an app of its own with one included router, and a request
    goes to one or the other by its path (/bare... or not), so that both
    pay the same dispatch. FastAPI tries the routes of an app in order, so
    each bare endpoint sits where its counterpart sits among the module's
    routes: the health check second and the cached tile third. (In one app
    the side whose router came second would also pay for every route of the
    other.) What is left of the difference is the module's."""
    reference = APIRouter()

    @reference.get("/bare-miss/{layer_name}/{z}/{x}/{y}.pbf", response_class=Response)
    async def bare_miss(layer_name: str, z: int, x: int, y: int, request: Request,
                        db: AsyncSession = Depends(get_db)):
        # What the module does for a miss, in plain Python: the count, the
        # bounded cache read, the statement in autocommit under its bound,
        # the store. No shared generation, no error mapping.
        if await count_client("bench:bare:" + request.client.host) > CLIENT_LIMIT:
            raise HTTPException(status_code=429, detail="Too many map requests.")
        key = f"mvt_v8:{layer_name}:{z}:{x}:{y}"
        async with asyncio.timeout(1.0):
            data = await tp.redis_client.get(key)
        ttl = tp.get_zoom_config(z, layer_name)["cache_ttl"]
        if not data:
            sql, _ = tp.generate_mvt_sql(layer_name, z)
            b = xyz_to_bbox_web_mercator(z, x, y)
            params = {"min_x": b["minx"], "min_y": b["miny"], "max_x": b["maxx"],
                      "max_y": b["maxy"]}
            async with asyncio.timeout(tp.statement_timeout(z) if hasattr(tp, "statement_timeout")
                                       else 20.0):
                await db.connection(execution_options={"isolation_level": "AUTOCOMMIT"})
                data = (await db.execute(text(sql), params)).scalar_one_or_none()
            await db.commit()
            await db.close()
            await tp.redis_client.set(key, data, ex=ttl)
        return Response(content=data, media_type=MEDIA,
                        headers={"Cache-Control": f"public, max-age={ttl}", "X-Cache": "MISS"})

    @reference.get("/bare/health/")
    async def bare_health():
        try:
            await tp.redis_client.ping()
            state = "healthy"
        except Exception:
            state = "unhealthy"
        return JSONResponse({"status": "healthy", "cache_status": state,
                             "available_layers": list(tp.LAYER_CONFIG),
                             "zoom_support": "1-20 with layer-specific minimums"})

    @reference.get("/bare/{layer_name}/{z}/{x}/{y}.pbf", response_class=Response)
    async def bare_tile(layer_name: str, z: int, x: int, y: int, request: Request,
                        db: AsyncSession = Depends(get_db)):
        if await count_client("bench:bare:" + request.client.host) > CLIENT_LIMIT:
            raise HTTPException(status_code=429, detail="Too many map requests.")
        data = await tp.redis_client.get(f"mvt_v8:{layer_name}:{z}:{x}:{y}")
        ttl = tp.get_zoom_config(z, layer_name)["cache_ttl"]
        return Response(content=data, media_type=MEDIA,
                        headers={"Cache-Control": f"public, max-age={ttl}", "X-Cache": "HIT"})

    module_app = FastAPI()
    module_app.include_router(tp.tileport)
    bare_app = FastAPI()
    bare_app.include_router(reference)

    async def app(scope, receive, send):
        side = bare_app if scope.get("path", "").startswith("/bare") else module_app
        await side(scope, receive, send)

    return app


class Driver:
    """Sends GET requests straight into an ASGI app."""

    def __init__(self, app):
        self.app = app

    async def request(self, path, client):
        """(status, headers with lower-case names, body)."""
        path, _, query = path.partition("?")
        scope = {
            "type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1",
            "method": "GET", "scheme": "http", "path": path, "raw_path": path.encode(),
            "query_string": query.encode(), "root_path": "", "headers": [(b"host", b"bench")],
            "client": (client, 40000), "server": ("bench", 80),
        }
        start = {}
        body = []

        async def receive():
            return {"type": "http.request", "body": b"", "more_body": False}

        async def send(message):
            if message["type"] == "http.response.start":
                start.update(message)
            elif message["type"] == "http.response.body":
                body.append(message.get("body", b""))

        await self.app(scope, receive, send)
        headers = {k.decode().lower(): v.decode() for k, v in start.get("headers", [])}
        return start.get("status"), headers, b"".join(body)

    async def get(self, path, client):
        status, _, body = await self.request(path, client)
        return status, body


async def at_concurrency(fetch, tiles, seconds, concurrency):
    """Requests per second of `fetch(tile, n)` over `seconds`, `concurrency`
    in flight, never two of one tile at once (concurrent misses of one tile
    may share their work)."""
    free = collections.deque(tiles)
    done = 0
    stop = time.perf_counter() + seconds

    async def worker():
        nonlocal done
        while time.perf_counter() < stop:
            tile = free.popleft()
            try:
                await fetch(tile, done)
            finally:
                free.append(tile)
            done += 1

    start = time.perf_counter()
    await asyncio.gather(*(worker() for _ in range(min(concurrency, len(tiles)))))
    return done / (time.perf_counter() - start)


# ---------------------------------------------------------------- tiles and data

def tile_of(lon, lat, z):
    n = 1 << z
    x = int((lon + 180.0) / 360.0 * n)
    y = int((1.0 - math.asinh(math.tan(math.radians(lat))) / math.pi) / 2.0 * n)
    return x, y


def tiles_in(extent, z, count):
    """Up to `count` tiles at zoom z spread evenly over the data extent."""
    west, south, east, north = extent
    x0, y0 = tile_of(west, north, z)
    x1, y1 = tile_of(east, south, z)
    tiles = [(z, x, y) for y in range(y0, y1 + 1) for x in range(x0, x1 + 1)]
    step = max(1, len(tiles) // count)
    return tiles[::step][:count]


def centre_tile(extent, z):
    west, south, east, north = extent
    return (z, *tile_of((west + east) / 2, (south + north) / 2, z))


def tile_path(tile, prefix="/gis"):
    return "{}/plots/{}/{}/{}.pbf".format(prefix, *tile)


def tile_key(tile):
    return "mvt_v8:plots:{}:{}:{}".format(*tile)


async def data_extent():
    """Parcel count and the parcels' extent in degrees (west, south, east, north)."""
    import asyncpg

    conn = await asyncpg.connect(plain_url(os.environ["DATABASE_URL"]))
    try:
        row = await conn.fetchrow(
            'SELECT ST_XMin(e) AS w, ST_YMin(e) AS s, ST_XMax(e) AS e, ST_YMax(e) AS n FROM '
            '(SELECT ST_Transform(ST_SetSRID(ST_Extent("GEOMETRY"), 3857), 4326) AS e '
            'FROM "GIS"."PLOT") t')
        count = await conn.fetchval('SELECT count(*) FROM "GIS"."PLOT"')
        return count, (row["w"], row["s"], row["e"], row["n"])
    finally:
        await conn.close()


def direct_statement(z):
    """The module's tile statement at zoom z, with asyncpg's placeholders."""
    sql, _ = tp.generate_mvt_sql("plots", z)
    for i, name in enumerate(("min_x", "min_y", "max_x", "max_y"), 1):
        sql = sql.replace(":" + name, f"${i}")
    return sql


def envelope(tile):
    b = xyz_to_bbox_web_mercator(*tile)
    return b["minx"], b["miny"], b["maxx"], b["maxy"]


async def tiles_with_parcels(pool, extent, z, count):
    """Up to `count` tiles at zoom z spread over those the statement finds
    parcels in, with the median size of their tiles in bytes."""
    sql = direct_statement(z)
    found = []
    for tile in tiles_in(extent, z, 10**6):
        data = await pool.fetchval(sql, *envelope(tile))
        if data:
            found.append((tile, len(data)))
    step = max(1, len(found) // count)
    chosen = found[::step][:count]
    return [t for t, _ in chosen], statistics.median(n for _, n in chosen)


def feature_count(tile):
    import mapbox_vector_tile

    if not tile:
        return 0
    return sum(len(layer["features"]) for layer in mapbox_vector_tile.decode(tile).values())


async def cleanup_keys(patterns):
    for pattern in patterns:
        keys = [k async for k in tp.redis_client.scan_iter(match=pattern, count=1000)]
        if keys:
            await tp.redis_client.delete(*keys)


# ---------------------------------------------------------------- the summary

class Summary:
    """Rows of the closing table: what was compared, the two sides, the
    ratio and its goal ("≥ 0.95", "≤ 2", "= 1")."""

    def __init__(self):
        self.rows = []

    def add(self, what, module, reference, ratio, goal=None):
        self.rows.append((what, module, reference, ratio, goal))

    @staticmethod
    def met(ratio, goal):
        if goal is None:
            return ""
        op, value = goal.split()
        value = float(value)
        ok = {"≥": ratio >= value, "≤": ratio <= value, "=": ratio == value}[op]
        return "yes" if ok else "NO"

    def print(self):
        print("\n| comparison | module | reference | ratio | goal | met |")
        print("|---|---|---|---|---|---|")
        for what, module, reference, ratio, goal in self.rows:
            shown = f"{ratio:g}" if float(ratio).is_integer() else f"{ratio:.3f}"
            print(f"| {what} | {module} | {reference} | {shown} | {goal or '—'} | "
                  f"{self.met(ratio, goal)} |")


def spread(values, unit="", digits=0):
    """"median (min .. max)" of a few values."""
    f = f"{{:.{digits}f}}"
    return (f"{f.format(statistics.median(values))}{unit} "
            f"({f.format(min(values))} .. {f.format(max(values))})")


# ---------------------------------------------------------------- server hits

def server_flavour():
    """(loop, http) uvicorn runs on: uvloop and httptools when installed."""
    if importlib.util.find_spec("uvloop") and importlib.util.find_spec("httptools"):
        return "uvloop", "httptools"
    return "asyncio", "h11"


class BenchServer(Server):
    """This file's app (make_app) under uvicorn on a free loopback port,
    trusting X-Forwarded-For from 127.0.0.1 only."""

    def __init__(self, database_url, log_dir):
        self.port = free_port()
        self.loop, self.http = server_flavour()
        self.kind = f"uvicorn ({self.loop}, {self.http})"
        env = dict(os.environ, DATABASE_URL=database_url, LOG_LEVEL="WARNING",
                   # the caller's PYTHONPATH stays behind ours, so that a build
                   # placed on it (an older one, to compare) serves here too
                   PYTHONPATH=os.pathsep.join(p for p in [HOST, os.path.join(ROOT, "bench"),
                                                          os.environ.get("PYTHONPATH", "")] if p))
        self.log = open(os.path.join(log_dir, "bench-tiles-server.log"), "w")
        self.process = subprocess.Popen(
            [sys.executable, "-m", "uvicorn", "bench_tiles:make_app", "--factory",
             "--host", LOOPBACK, "--port", str(self.port), "--loop", self.loop, "--http", self.http,
             "--proxy-headers", "--forwarded-allow-ips", LOOPBACK, "--no-access-log",
             "--log-level", "warning"],
            cwd=HOST, env=env, stdout=self.log, stderr=subprocess.STDOUT)


HTTP_CLIENTS = 2000


async def cache_tiles(get, tiles):
    """Has every tile generated and cached through `get(path, client)` (the
    server's or the in-process driver's); each then answers X-Cache: HIT."""
    for i, tile in enumerate(tiles):
        await get(tile_path(tile), f"10.78.{i // 250}.{i % 250 + 1}")
        status, headers, _ = await get(tile_path(tile), f"10.79.{i // 250}.{i % 250 + 1}")
        if status != 200 or headers.get("x-cache") != "HIT":
            raise RuntimeError(f"{tile_path(tile)} is no cache hit ({status})")


def write_hit_traces(tiles, work):
    """wrk traces of the tile and the bare endpoint: the same tiles in the
    same order, the same client numbers (bench/wrk_trace.lua turns client n
    into an X-Forwarded-For address of its own)."""
    files = {}
    for side, prefix in (("tile", "/gis"), ("bare", "/bare")):
        trace = [(i % HTTP_CLIENTS, tile_path(tiles[i % len(tiles)], prefix))
                 for i in range(4 * HTTP_CLIENTS)]
        files[side] = os.path.join(work, f"hits-{side}.txt")
        write_trace(trace, files[side])
    return files


async def wrk_rate(port, trace_file, seconds, connections):
    result = await run_wrk(port, trace_file, seconds, connections, threads=1, cycle=True)
    not_200 = sum(n for status, n in result["statuses"].items() if status != "200")
    if errors(result) or not_200 or result["hits"] != result["requests"]:
        raise RuntimeError(f"wrk saw failures or misses on {trace_file}: {result}")
    return rps(result), result["p50_ms"]


async def server_hits(server, traces, args, summary):
    for side in traces:  # warm-up, not counted
        await wrk_rate(server.port, traces[side], 2, args.concurrency)
    rates = {"tile": [], "bare": []}
    for r in range(args.rounds):
        order = ("tile", "bare") if r % 2 == 0 else ("bare", "tile")
        for side in order:
            rates[side].append(await wrk_rate(server.port, traces[side], args.seconds,
                                              args.concurrency))
        print(f"  round {r + 1}: tile {rates['tile'][-1][0]:6.0f} req/s, "
              f"bare {rates['bare'][-1][0]:6.0f} req/s", flush=True)
    tile = [rate for rate, _ in rates["tile"]]
    bare = [rate for rate, _ in rates["bare"]]
    ratios = [t / b for t, b in zip(tile, bare)]
    p50 = {side: statistics.median(p for _, p in rates[side]) for side in rates}
    print(f"  tile endpoint req/s {spread(tile)}, p50 {p50['tile']:.2f} ms")
    print(f"  bare endpoint req/s {spread(bare)}, p50 {p50['bare']:.2f} ms")
    print(f"  ratio tile/bare, median of rounds: {statistics.median(ratios):.3f} "
          f"({min(ratios):.3f} .. {max(ratios):.3f})")
    summary.add(f"z16 hits over HTTP ({server.loop}, {server.http})",
                f"{statistics.median(tile):.0f} req/s", f"{statistics.median(bare):.0f} req/s",
                statistics.median(ratios), "≥ 0.95")


async def profile_server(server, trace_file, seconds, connections, top=8):
    """Shares of the server's CPU samples by library during a tile-only wrk
    run under `perf record`. None without perf."""
    if shutil.which("perf") is None:
        return None
    data = os.path.join(tempfile.mkdtemp(prefix="tileport-perf-"), "perf.data")
    perf = subprocess.Popen(["perf", "record", "-F", "999", "-p", str(server.process.pid),
                             "-o", data], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    await asyncio.sleep(1.0)  # let perf attach
    rate, _ = await wrk_rate(server.port, trace_file, seconds, connections)
    perf.send_signal(signal.SIGINT)
    perf.wait(timeout=60)
    report = subprocess.run(["perf", "report", "-i", data, "--stdio", "--no-children",
                             "--sort", "dso", "-F", "period,dso"],
                            capture_output=True, text=True).stdout
    shutil.rmtree(os.path.dirname(data), ignore_errors=True)
    periods = collections.Counter()
    for line in report.splitlines():
        parts = line.split(None, 1)
        if len(parts) == 2 and parts[0].isdigit():
            periods[parts[1].strip()] += int(parts[0])
    total = sum(periods.values())
    if not total:
        return None
    return rate, [(dso, n / total) for dso, n in periods.most_common(top)]


async def phase_server(url, tiles, args, summary, work):
    if shutil.which("wrk") is None:
        print("\nserver hits: skipped, wrk is not installed (apt-get install wrk)")
        return
    traces = write_hit_traces(tiles, work)
    server = BenchServer(url, work)
    try:
        await server.wait_ready()
        note = "" if server.loop == "uvloop" else " (uvloop/httptools not installed: plain uvicorn)"
        print(f"\ncache hits over HTTP: {len(tiles)} plots tiles at zoom 16 under {server.kind}"
              f"{note}; wrk -t 1 -c {args.concurrency}, {args.seconds:g} s a side, {args.rounds} "
              f"alternating rounds, {HTTP_CLIENTS} client addresses; log in {server.log.name}",
              flush=True)
        await cache_tiles(lambda path, client: http_get(server.port, path, client), tiles)
        if "server-hits" not in args.skip:
            await server_hits(server, traces, args, summary)
        if "profile" not in args.skip:
            profile = await profile_server(server, traces["tile"], args.seconds, args.concurrency)
            if profile:
                rate, shares = profile
                print(f"  server CPU by library, tile hits under perf ({rate:.0f} req/s): " +
                      ", ".join(f"{os.path.basename(dso)} {share * 100:.1f} %"
                                for dso, share in shares))
    finally:
        server.stop()


# ---------------------------------------------------------------- in-process hits

CLIENTS = [f"198.51.{i // 256}.{i % 256}" for i in range(2000)]


async def asgi_hits(driver, tiles, args, summary):
    async def fetch(prefix, tile, n):
        status, body = await driver.get(tile_path(tile, prefix), CLIENTS[n % len(CLIENTS)])
        if status != 200 or not body:
            raise RuntimeError(f"bad answer {status} for {tile_path(tile, prefix)}")

    def side(prefix):
        return lambda tile, n: fetch(prefix, tile, n)

    tile_rates, bare_rates = [], []
    for _ in range(args.rounds):
        tile_rates.append(await at_concurrency(side("/gis"), tiles, args.seconds,
                                               args.concurrency))
        bare_rates.append(await at_concurrency(side("/bare"), tiles, args.seconds,
                                               args.concurrency))
    ratios = [t / b for t, b in zip(tile_rates, bare_rates)]
    print(f"\ncache hits in-process (ASGI, no server): {len(tiles)} tiles at zoom 16, "
          f"{args.concurrency} in flight, {args.rounds} alternating rounds of {args.seconds:g} s")
    print(f"  tile endpoint req/s {spread(tile_rates)}")
    print(f"  bare endpoint req/s {spread(bare_rates)}")
    print(f"  ratio tile/bare, median of rounds: {statistics.median(ratios):.3f}")
    summary.add("z16 hits in-process (ASGI)", f"{statistics.median(tile_rates):.0f} req/s",
                f"{statistics.median(bare_rates):.0f} req/s", statistics.median(ratios))


# ---------------------------------------------------------------- generated tiles

async def check_same_features(driver, pool, tiles):
    """The endpoint's tiles hold as many features as the statement's. (The
    bytes may differ: among parcels of equal area, which ones the LIMIT keeps
    depends on the plan.)"""
    for i, tile in enumerate(tiles):
        await tp.redis_client.delete(tile_key(tile))
        status, body = await driver.get(tile_path(tile), f"203.0.113.{i}")
        direct = await pool.fetchval(direct_statement(tile[0]), *envelope(tile))
        if status != 200 or feature_count(body) != feature_count(direct):
            raise RuntimeError(f"tile {tile}: endpoint ({status}) and statement differ")


def generated_sides(driver, pool, z):
    sql = direct_statement(z)
    redis = tp.redis_client

    def through(prefix):
        async def endpoint(tile, n):
            await redis.delete(tile_key(tile))
            status, headers, body = await driver.request(tile_path(tile, prefix),
                                                         CLIENTS[n % len(CLIENTS)])
            if status != 200 or not body or headers.get("x-cache") == "HIT":
                raise RuntimeError(f"tile {tile}: {status}, {headers.get('x-cache')}; "
                                   "not generated")
        return endpoint

    async def direct(tile, n):
        await redis.delete(tile_key(tile))
        if not await pool.fetchval(sql, *envelope(tile)):
            raise RuntimeError(f"tile {tile}: the statement found nothing")

    async def unframed(tile, n):
        key = tile_key(tile)
        await redis.delete(key)
        await count_client("bench:bare:" + CLIENTS[n % len(CLIENTS)])
        async with asyncio.timeout(1.0):
            await redis.get(key)
        data = await pool.fetchval(sql, *envelope(tile))
        if not data:
            raise RuntimeError(f"tile {tile}: the statement found nothing")
        await redis.set(key, data, ex=60)

    return {"endpoint": through("/gis"), "python": through("/bare-miss"), "unframed": unframed,
            "direct": direct}


GENERATED_GOALS = {12: "≥ 0.95", 14: "≥ 0.95", 16: "≥ 0.6"}


async def generated(driver, pool, extent, args, summary):
    print(f"\ngenerated tiles (cache key deleted first), layer plots, up to {args.tiles} tiles a "
          f"zoom with parcels, {args.concurrency} distinct tiles in flight, {args.rounds} "
          f"alternating rounds of {args.seconds:g} s; endpoint in-process against the statement "
          f"through an asyncpg pool of {args.concurrency}", flush=True)
    for z in args.zooms:
        tiles, size = await tiles_with_parcels(pool, extent, z, args.tiles)
        await check_same_features(driver, pool, tiles[:2])
        sides = generated_sides(driver, pool, z)
        in_flight = min(args.concurrency, len(tiles))
        rates = {side: [] for side in sides}
        for _ in range(args.rounds):
            for side, fetch in sides.items():
                rates[side].append(await at_concurrency(fetch, tiles, args.seconds, in_flight))
        ratios = [e / d for e, d in zip(rates["endpoint"], rates["direct"])]
        plain = [p / d for p, d in zip(rates["python"], rates["direct"])]
        bare = [u / d for u, d in zip(rates["unframed"], rates["direct"])]
        print(f"  zoom {z:2d}: {len(tiles):3d} tiles, median {size / 1024:6.1f} KiB, "
              f"{in_flight} in flight; endpoint {spread(rates['endpoint'], digits=1)} tiles/s, "
              f"the same work in plain Python {spread(rates['python'], digits=1)} tiles/s, "
              f"its Redis work and statement alone {spread(rates['unframed'], digits=1)} tiles/s, "
              f"asyncpg {spread(rates['direct'], digits=1)} tiles/s; ratio to asyncpg: endpoint "
              f"{statistics.median(ratios):.3f}, plain Python {statistics.median(plain):.3f}, "
              f"no framework {statistics.median(bare):.3f}", flush=True)
        summary.add(f"z{z} generated, {in_flight} in flight",
                    f"{statistics.median(rates['endpoint']):.1f} tiles/s",
                    f"{statistics.median(rates['direct']):.1f} tiles/s (asyncpg)",
                    statistics.median(ratios), GENERATED_GOALS.get(z))
        summary.add(f"z{z} generated, plain Python endpoint",
                    f"{statistics.median(rates['python']):.1f} tiles/s",
                    f"{statistics.median(rates['direct']):.1f} tiles/s (asyncpg)",
                    statistics.median(plain))
        summary.add(f"z{z} generated, Redis work and statement, no framework",
                    f"{statistics.median(rates['unframed']):.1f} tiles/s",
                    f"{statistics.median(rates['direct']):.1f} tiles/s (asyncpg)",
                    statistics.median(bare))


# ---------------------------------------------------------------- the stampede

class TileStatements:
    """Counts the tile statements (ST_AsMVT) handed to the database driver."""

    def __init__(self):
        self.count = 0

    def record(self, conn, cursor, statement, *args):
        if "ST_AsMVT" in statement:
            self.count += 1

    def __enter__(self):
        from sqlalchemy import event
        from sqlalchemy.engine import Engine

        event.listen(Engine, "before_cursor_execute", self.record)
        return self

    def __exit__(self, *exc):
        from sqlalchemy import event
        from sqlalchemy.engine import Engine

        event.remove(Engine, "before_cursor_execute", self.record)


async def burst(driver, tile, clients):
    """Every client asks for the tile at once: each one's wait, in seconds."""
    start = time.perf_counter()

    async def one(client):
        status, body = await driver.get(tile_path(tile), client)
        if status != 200 or not body:
            raise RuntimeError(f"stampede on {tile}: {status}")
        return time.perf_counter() - start

    return await asyncio.gather(*(one(c) for c in clients))


async def stampede_trials(driver, tile, clients, trials):
    """Per trial: the tile alone, cold; the stampede (its median and slowest
    wait, its tile statements); then the same clients at once on the tile
    now cached, which is what answering them costs without any generation."""
    alone, medians, slowest, statements, hits = [], [], [], [], []
    with TileStatements() as counted:
        await tp.redis_client.delete(tile_key(tile))
        await burst(driver, tile, clients)  # grows the pool; not counted
        for _ in range(trials):
            await tp.redis_client.delete(tile_key(tile))
            alone += await burst(driver, tile, clients[:1])
            await tp.redis_client.delete(tile_key(tile))
            before = counted.count
            waits = await burst(driver, tile, clients)
            statements.append(counted.count - before)
            medians.append(statistics.median(waits))
            slowest.append(max(waits))
            hits.append(statistics.median(await burst(driver, tile, clients)))
    return alone, medians, slowest, statements, hits


async def stampede(driver, extent, args, summary):
    clients = [f"192.0.2.{i + 1}" for i in range(args.stampede_clients)]
    print(f"\nstampede: {len(clients)} clients at once on one cold tile (the centre of the data), "
          f"in-process, {args.trials} trials after one not counted; the tile alone between them",
          flush=True)
    for z in args.stampede_zooms:
        tile = centre_tile(extent, z)
        alone, medians, slowest, statements, hits = await stampede_trials(driver, tile, clients,
                                                                          args.trials)
        base = statistics.median(alone)
        median, worst = statistics.median(medians), statistics.median(slowest)
        print(f"  {tile_path(tile)}: alone {base * 1000:.1f} ms; {len(clients)} at once: "
              f"statements {statements}, "
              f"median wait {median * 1000:.1f} ms, slowest {worst * 1000:.1f} ms; the same "
              f"clients on the cached tile: median wait {statistics.median(hits) * 1000:.1f} ms "
              f"(medians of the trials)", flush=True)
        most = max(statements)
        summary.add(f"z{z} stampede: tile statements run", str(most), "1", most, "= 1")
        summary.add(f"z{z} stampede: median wait / alone", f"{median * 1000:.1f} ms",
                    f"{base * 1000:.1f} ms", median / base, "≤ 1.5")
        summary.add(f"z{z} stampede: slowest wait / alone", f"{worst * 1000:.1f} ms",
                    f"{base * 1000:.1f} ms", worst / base, "≤ 2")


# ---------------------------------------------------------------- bounding boxes

BBOX_CLIENTS = [f"198.18.{i // 256}.{i % 256}" for i in range(512)]


def boxes_in(extent, count, size=400.0):
    """`count` Web Mercator boxes of `size` metres spread over the data extent."""
    from helpers.utils import lonlat_to_web_mercator

    west, south = lonlat_to_web_mercator(extent[0], extent[1])
    east, north = lonlat_to_web_mercator(extent[2], extent[3])
    side = max(1, int(count ** 0.5))
    boxes = []
    for i in range(side):
        for j in range(side):
            x = west + (east - west - size) * (i + 0.5) / side
            y = south + (north - south - size) * (j + 0.5) / side
            boxes.append((round(x), round(y), round(x) + size, round(y) + size))
    return boxes[:count]


def bbox_path(box):
    return "/gis/plots/bbox/?minx={}&miny={}&maxx={}&maxy={}&srid=3857".format(*box)


def bbox_statement():
    """The statement the endpoint runs for an unsimplified EPSG:3857 box."""
    layer = tp.LAYER_CONFIG["plots"]
    props = ", ".join(layer["properties"])
    env = "ST_MakeEnvelope($1, $2, $3, $4, 3857)"
    g = layer["geom_col"]
    return (f"SELECT ST_AsMVT(mvt_data, 'plots', 4096, 'mvt_geom') AS mvt FROM (SELECT {props}, "
            f"{layer['id_col']} AS feature_id, ST_AsMVTGeom({g}, {env}, 4096, 32, true) AS "
            f"mvt_geom FROM {layer['table']} WHERE {g} && {env} AND ST_Intersects({g}, {env}) "
            f"ORDER BY ST_Area({g}) DESC LIMIT $5) AS mvt_data WHERE mvt_data.mvt_geom IS NOT NULL")


async def timed(awaitable):
    start = time.perf_counter()
    result = await awaitable
    return result, time.perf_counter() - start


async def one_box(driver, pool, box, client, check, times):
    """A box generated, then hit, each against its bare counterpart. False
    for a box between the blocks (nothing to draw either way)."""
    key = "mvt_v8:bbox:plots:{:.0f}:{:.0f}:{:.0f}:{:.0f}:5000:True".format(*box)
    await tp.redis_client.delete(key)
    (status, body), t_endpoint = await timed(driver.get(bbox_path(box), client))
    direct, t_direct = await timed(pool.fetchval(bbox_statement(), *box, 5000))
    if status == 204 and not feature_count(direct):
        return False
    if status != 200 or (check and feature_count(body) != feature_count(direct)):
        raise RuntimeError(f"bbox {box}: status {status} or features differ")
    times["generated"].append((t_endpoint, t_direct))

    async def script_and_get():
        await count_client("bench:bare:" + client)
        return await tp.redis_client.get(key)

    (status, cached), t_endpoint = await timed(driver.get(bbox_path(box), client))
    direct, t_direct = await timed(script_and_get())
    if status != 200 or cached != direct:
        raise RuntimeError(f"bbox {box}: the hit differs from the cached tile")
    times["hit"].append((t_endpoint, t_direct))
    return True


async def bboxes(driver, pool, extent, args, summary):
    boxes = boxes_in(extent, args.boxes)
    times = {"generated": [], "hit": []}
    n = 0
    for r in range(args.rounds):
        for box in boxes:
            await one_box(driver, pool, box, BBOX_CLIENTS[n % len(BBOX_CLIENTS)], r == 0, times)
            n += 1
    print(f"\nbounding-box tiles, layer plots, {len(boxes)} boxes of 400 m (EPSG:3857), "
          f"{args.rounds} rounds, one request at a time, alternating per box")
    for name, other in (("generated", "asyncpg statement"), ("hit", "script + GET")):
        endpoint = [e for e, _ in times[name]]
        direct = [d for _, d in times[name]]
        ratio = sum(direct) / sum(endpoint)
        print(f"  {name}: endpoint {statistics.median(endpoint) * 1000:7.3f} ms, {other} "
              f"{statistics.median(direct) * 1000:7.3f} ms (medians); throughput ratio {ratio:.3f}")
        summary.add(f"bbox {name}, one at a time", f"{statistics.median(endpoint) * 1000:.3f} ms",
                    f"{statistics.median(direct) * 1000:.3f} ms ({other}, no endpoint)", ratio)


# ---------------------------------------------------------------- invalidation, health

async def fill_tile_keys(keys):
    await cleanup_keys(["mvt_v8:plots:*"])  # only these keys, for the count
    for start in range(0, keys, 10000):
        pipe = tp.redis_client.pipeline(transaction=False)
        for i in range(start, min(keys, start + 10000)):
            pipe.set(f"mvt_v8:plots:18:{i}:{i % 977}", b"\x1a\x00", ex=600)
        await pipe.execute()


async def bare_invalidation():
    count = 0
    async for key in tp.redis_client.scan_iter(match="mvt_v8:plots:*", count=100):
        await tp.redis_client.delete(key)
        count += 1
    return count


async def invalidation(args, summary, rounds=2):
    """Keys per second deleted by the layer task and by a bare SCAN + DEL
    loop, each over fresh tile keys, alternating."""
    task, bare = [], []
    for _ in range(rounds):
        for rates, delete in ((task, lambda: tp._invalidate_layer_cache_task("plots")),
                              (bare, bare_invalidation)):
            await fill_tile_keys(args.keys)
            count, seconds = await timed(delete())
            if count != args.keys:
                raise RuntimeError(f"deleted {count} of {args.keys}")
            rates.append(count / seconds)
    ratio = statistics.median(task) / statistics.median(bare)
    print(f"\ninvalidation of {args.keys} cached tiles, {rounds} rounds: layer task "
          f"{statistics.median(task):.0f} keys/s, bare SCAN + DEL {statistics.median(bare):.0f} "
          f"keys/s; ratio {ratio:.3f}")
    summary.add("invalidation of a layer", f"{statistics.median(task):.0f} keys/s",
                f"{statistics.median(bare):.0f} keys/s (SCAN + DEL)", ratio)


async def health(driver, args, summary, calls=2000):
    async def endpoint(path):
        for _ in range(calls):
            status, _ = await driver.get(path, "192.0.2.200")
            if status != 200:
                raise RuntimeError(f"{path} answered {status}")

    async def pings():
        for _ in range(calls):
            await tp.redis_client.ping()

    times = {"endpoint": [], "bare": [], "ping": []}
    for _ in range(args.rounds):
        for name, run in (("endpoint", lambda: endpoint("/gis/health/")),
                          ("bare", lambda: endpoint("/bare/health/")), ("ping", pings)):
            _, seconds = await timed(run())
            times[name].append(seconds / calls)
    us = {name: statistics.median(t) * 1e6 for name, t in times.items()}
    print(f"\nhealth, {args.rounds} rounds of {calls} calls: endpoint {us['endpoint']:.1f} us, "
          f"bare endpoint {us['bare']:.1f} us, bare PING {us['ping']:.1f} us per call")
    summary.add("health", f"{us['endpoint']:.1f} us", f"{us['bare']:.1f} us (bare endpoint)",
                us["bare"] / us["endpoint"])


# ---------------------------------------------------------------- main

async def describe(pool, parcels, extent):
    build = tp.__file__
    database = await pool.fetchval("SELECT current_database()")
    built = time.strftime("%Y-%m-%d %H:%M", time.localtime(os.path.getmtime(build)))
    loop, http = server_flavour()
    print(f"data set: {parcels} parcels over {extent[2] - extent[0]:.3f} x "
          f"{extent[3] - extent[1]:.3f} degrees ({database}, "
          f"JIT {await pool.fetchval('SHOW jit')}); Python {sys.version.split()[0]}; "
          f"server uvicorn on {loop} + {http}")
    print(f"module: {build} (built {built})")
    print(f"{os.cpu_count()} cores; load average before: "
          + " ".join(f"{x:.2f}" for x in os.getloadavg()), flush=True)


async def run_phases(pool, extent, args, summary, work):
    driver = Driver(make_app())
    hit_tiles, _ = await tiles_with_parcels(pool, extent, 16, args.tiles)
    if not {"server-hits", "profile"} <= set(args.skip):
        await phase_server(os.environ["DATABASE_URL"], hit_tiles, args, summary, work)
    if "asgi-hits" not in args.skip:
        await cache_tiles(driver.request, hit_tiles)
        await asgi_hits(driver, hit_tiles, args, summary)
    if "generated" not in args.skip:
        await generated(driver, pool, extent, args, summary)
    if "stampede" not in args.skip:
        await stampede(driver, extent, args, summary)
    if "bbox" not in args.skip:
        await bboxes(driver, pool, extent, args, summary)
    if "invalidation" not in args.skip:
        await invalidation(args, summary)
    if "health" not in args.skip:
        await health(driver, args, summary)


async def main(args):
    import asyncpg

    from database import dispose_engine

    logging.getLogger("terrava.tileport").setLevel(logging.WARNING)  # each invalidation logs
    parcels, extent = await data_extent()
    pool = await asyncpg.create_pool(plain_url(os.environ["DATABASE_URL"]),
                                     min_size=args.concurrency, max_size=args.concurrency)
    await describe(pool, parcels, extent)
    summary = Summary()
    work = tempfile.mkdtemp(prefix="terrava-bench-tiles-")
    started = time.perf_counter()
    await flush_tiles(tp.redis_client)  # no tile of another data set in this Redis database
    try:
        await run_phases(pool, extent, args, summary, work)
    finally:
        await flush_tiles(tp.redis_client)
        await cleanup_keys(["bench:bare:*"])
        await pool.close()
        await dispose_engine()
    summary.print()
    print(f"\n{time.perf_counter() - started:.0f} s; load average after: "
          + " ".join(f"{x:.2f}" for x in os.getloadavg()))


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog=__doc__.split("\n\n", 2)[2])
    parser.add_argument("--parcels", type=int, default=200000,
                        help="parcels of the benchmark database (bench/bench_db.sh)")
    parser.add_argument("--seconds", type=int, default=3,
                        help="length of each side of a round (hits and generated tiles)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--concurrency", type=int, default=8,
                        help="requests in flight (wrk connections, in-process workers)")
    parser.add_argument("--zooms", type=int, nargs="+", default=[12, 14, 16],
                        help="zooms of the generated tiles")
    parser.add_argument("--tiles", type=int, default=64,
                        help="distinct tiles at most, for the hits and per zoom generated")
    parser.add_argument("--stampede-zooms", type=int, nargs="+", default=[12, 14])
    parser.add_argument("--stampede-clients", type=int, default=50)
    parser.add_argument("--trials", type=int, default=3, help="stampedes per zoom")
    parser.add_argument("--boxes", type=int, default=25)
    parser.add_argument("--keys", type=int, default=100000, help="tile keys invalidated")
    parser.add_argument("--skip", nargs="+", default=[], choices=PHASES, metavar="PHASE",
                        help="phases left out: " + ", ".join(PHASES))
    return parser.parse_args()


if __name__ == "__main__":
    arguments = parse_args()
    os.environ["DATABASE_URL"] = bench_database_url(arguments.parcels)
    asyncio.run(main(arguments))
