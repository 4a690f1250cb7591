"""Tile endpoint benchmark, measured side by side in one run.

1. Cache hits: requests per second of GET /gis/{layer}/{z}/{x}/{y}.pbf against a
   bare endpoint in the same app that sends the same Redis commands (INCR of
   the client's counter, GET of the tile key) and returns the same bytes.
2. Generated tiles (cache off): time per tile through the endpoint against the
   same statement executed directly with asyncpg, at zooms 8, 12 and 16.

Both are driven in-process through the ASGI interface (no HTTP client in the
way), alternating the two sides round by round so drift hits both alike.

    python bench/bench_tiles.py [--parcels 200000] [--rounds 20] [--seconds 1]

The data set lives in a database of its own (bench/bench_db.sh creates and
loads it), so the benchmark never replaces the tests' data. With `perf`
installed, a further tile-only phase runs under `perf record` attached to this
process, and the CPU time spent inside the module's own library (samples whose
code is in tileport*.so) is reported per request.
"""

import argparse
import asyncio
import os
import statistics
import subprocess
import sys
import time
import uuid

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "host"))


# A Redis database of the benchmark's own (the module reads REDIS_DB at
# import), so that nobody else's FLUSHDB empties the cache under it.
os.environ["REDIS_DB"] = os.environ.get("TERRAVA_BENCH_REDIS_DB", "9")


def load_env():
    path = os.path.join(ROOT, ".services", "env")
    if os.path.exists(path):
        for line in open(path):
            line = line.strip()
            if line and not line.startswith("#") and "=" in line:
                name, value = line.split("=", 1)
                os.environ.setdefault(name, value)


load_env()


def bench_database_url(parcels):
    url = os.environ.get("TERRAVA_BENCH_DATABASE_URL")
    if url:
        return url
    out = subprocess.run(["bash", os.path.join(ROOT, "bench", "bench_db.sh"), str(parcels)],
                         check=True, stdout=subprocess.PIPE, text=True).stdout
    return out.strip().splitlines()[-1]


from fastapi import Depends, FastAPI, Request, Response  # noqa: E402
from sqlalchemy.ext.asyncio import AsyncSession  # noqa: E402

import terrava.tileport as tp  # noqa: E402
from database import get_db  # noqa: E402
from helpers.utils import xyz_to_bbox_web_mercator  # noqa: E402

MEDIA = "application/vnd.mapbox-vector-tile"


def make_app():
    app = FastAPI()
    app.include_router(tp.tileport)

    @app.get("/bare/{layer_name}/{z}/{x}/{y}.pbf", response_class=Response)
    async def bare_tile(layer_name: str, z: int, x: int, y: int, request: Request,
                        db: AsyncSession = Depends(get_db)):
        redis = tp.redis_client
        await redis.incr("bench:bare:" + request.client.host)
        data = await redis.get(f"mvt_v8:{layer_name}:{z}:{x}:{y}")
        return Response(content=data, media_type=MEDIA)

    return app


class Driver:
    """Sends GET requests straight into an ASGI app."""

    def __init__(self, app):
        self.app = app

    async def get(self, path, client):
        scope = {
            "type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1",
            "method": "GET", "scheme": "http", "path": path, "raw_path": path.encode(),
            "query_string": b"", "root_path": "", "headers": [(b"host", b"bench")],
            "client": (client, 40000), "server": ("bench", 80),
        }
        status = None
        body = []

        async def receive():
            return {"type": "http.request", "body": b"", "more_body": False}

        async def send(message):
            nonlocal status
            if message["type"] == "http.response.start":
                status = message["status"]
            elif message["type"] == "http.response.body":
                body.append(message.get("body", b""))

        await self.app(scope, receive, send)
        return status, b"".join(body)


async def rate(driver, paths, seconds, concurrency, clients):
    """Requests per second over `seconds`, `concurrency` requests in flight."""
    done = 0
    stop = time.perf_counter() + seconds
    counter = iter(range(10**9))

    async def worker():
        nonlocal done
        while time.perf_counter() < stop:
            n = next(counter)
            status, body = await driver.get(paths[n % len(paths)], clients[n % len(clients)])
            if status != 200 or not body:
                raise RuntimeError(f"bad answer {status} for {paths[n % len(paths)]}")
            done += 1

    start = time.perf_counter()
    await asyncio.gather(*(worker() for _ in range(concurrency)))
    return done / (time.perf_counter() - start)


def tile_of(lon, lat, z):
    import math

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


async def data_extent():
    """Parcel count and the parcels' extent in degrees (west, south, east, north)."""
    import asyncpg

    conn = await asyncpg.connect(os.environ["DATABASE_URL"].replace("+asyncpg", ""))
    try:
        row = await conn.fetchrow(
            'SELECT ST_XMin(e) AS w, ST_YMin(e) AS s, ST_XMax(e) AS e, ST_YMax(e) AS n FROM '
            '(SELECT ST_Transform(ST_SetSRID(ST_Extent("GEOMETRY"), 3857), 4326) AS e '
            'FROM "GIS"."PLOT") t')
        count = await conn.fetchval('SELECT count(*) FROM "GIS"."PLOT"')
        return count, (row["w"], row["s"], row["e"], row["n"])
    finally:
        await conn.close()


async def bench_hits(driver, extent, seconds, rounds, concurrency):
    paths = []
    for z, x, y in tiles_in(extent, 16, 64):  # generated once, so both sides read the same bytes
        status, _ = await driver.get(f"/gis/plots/{z}/{x}/{y}.pbf", "192.0.2.1")
        await tp.redis_client.delete("rate_limit:gis:192.0.2.1")
        if status == 200:
            paths.append(f"/plots/{z}/{x}/{y}.pbf")
    if not paths:
        raise RuntimeError("no parcel tiles at zoom 16")
    tile_rates, bare_rates = [], []
    for _ in range(rounds):
        tile_rates.append(await rate(driver, ["/gis" + p for p in paths], seconds, concurrency,
                                     CLIENTS))
        bare_rates.append(await rate(driver, ["/bare" + p for p in paths], seconds, concurrency,
                                     CLIENTS))
    return paths, tile_rates, bare_rates


# 256 client addresses: each stays far below the limit of 40 requests a second.
CLIENTS = [f"198.51.{i // 256}.{i % 256}" for i in range(256)]


async def profile_module(driver, paths, seconds, concurrency):
    """CPU time per tile request inside tileport*.so, from `perf record`
    attached to this process during a tile-only phase. None without perf."""
    import shutil
    import signal
    import tempfile

    if shutil.which("perf") is None:
        return None
    data = os.path.join(tempfile.mkdtemp(prefix="tileport-perf-"), "perf.data")
    perf = subprocess.Popen(["perf", "record", "-F", "1999", "-p", str(os.getpid()), "-o", data],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    await asyncio.sleep(1.0)  # let perf attach
    cpu0 = time.process_time()
    count = 0
    stop = time.perf_counter() + seconds
    counter = iter(range(10**9))

    async def worker():
        nonlocal count
        while time.perf_counter() < stop:
            n = next(counter)
            await driver.get("/gis" + paths[n % len(paths)], CLIENTS[n % len(CLIENTS)])
            count += 1

    await asyncio.gather(*(worker() for _ in range(concurrency)))
    cpu = time.process_time() - cpu0
    perf.send_signal(signal.SIGINT)
    perf.wait(timeout=60)
    report = subprocess.run(["perf", "report", "-i", data, "--stdio", "--no-children",
                             "--sort", "dso", "-F", "period,dso"],
                            capture_output=True, text=True).stdout
    total = mine = 0
    for line in report.splitlines():
        parts = line.split()
        if len(parts) == 2 and parts[0].isdigit():
            total += int(parts[0])
            if "tileport" in parts[1]:
                mine += int(parts[0])
    if not total:
        return None
    share = mine / total
    return {"requests": count, "cpu_per_request": cpu / count, "module_share": share,
            "module_per_request": share * cpu / count}


async def cleanup_keys(patterns):
    for pattern in patterns:
        keys = [k async for k in tp.redis_client.scan_iter(match=pattern, count=1000)]
        if keys:
            await tp.redis_client.delete(*keys)


def feature_count(tile):
    import mapbox_vector_tile

    if not tile:
        return 0
    return sum(len(layer["features"]) for layer in mapbox_vector_tile.decode(tile).values())


async def bench_generated(driver, extent, zooms, per_zoom, rounds):
    """Per zoom: seconds per tile through the endpoint (with a cache namespace
    that never hits, so every request generates its tile) and for the same
    statement executed directly with asyncpg, alternating tile by tile."""
    import asyncpg

    namespace = "bench-" + uuid.uuid4().hex[:8]
    real_cache = tp.cache
    tp.cache = tp.BinaryRedisCache(tp.redis_client, namespace=namespace)
    conn = await asyncpg.connect(os.environ["DATABASE_URL"].replace("+asyncpg", ""))
    results = {}
    try:
        for z in zooms:
            tiles = tiles_in(extent, z, per_zoom)
            sql, _ = tp.generate_mvt_sql("plots", z)
            direct_sql = (sql.replace(":min_x", "$1").replace(":min_y", "$2")
                          .replace(":max_x", "$3").replace(":max_y", "$4"))
            stmt = await conn.prepare(direct_sql)
            endpoint_times, direct_times, sizes = [], [], []
            for r in range(rounds):
                for i, (z_, x, y) in enumerate(tiles):
                    client = f"203.0.113.{i % 200}"
                    await tp.cache.delete(f"plots:{z_}:{x}:{y}")
                    t0 = time.perf_counter()
                    status, body = await driver.get(f"/gis/plots/{z_}/{x}/{y}.pbf", client)
                    t1 = time.perf_counter()
                    b = xyz_to_bbox_web_mercator(z_, x, y)
                    direct = await stmt.fetchval(b["minx"], b["miny"], b["maxx"], b["maxy"])
                    t2 = time.perf_counter()
                    if status not in (200, 204):
                        raise RuntimeError(f"tile {z_}/{x}/{y}: status {status}")
                    if r == 0 and feature_count(body) != feature_count(direct):
                        # Bytes may differ: among parcels of equal area, which ones the
                        # LIMIT keeps depends on the plan. The counts may not.
                        raise RuntimeError(f"tile {z_}/{x}/{y}: endpoint and statement differ")
                    endpoint_times.append(t1 - t0)
                    direct_times.append(t2 - t1)
                    sizes.append(len(body))
            results[z] = {"tiles": len(tiles), "runs": len(endpoint_times),
                          "endpoint": sum(endpoint_times), "direct": sum(direct_times),
                          "endpoint_median": statistics.median(endpoint_times),
                          "direct_median": statistics.median(direct_times),
                          "bytes": statistics.median(sizes)}
    finally:
        await conn.close()
        tp.cache = real_cache
        await cleanup_keys([namespace + ":*"])
    return results


async def set_jit(setting):
    """PostgreSQL's JIT on the benchmark database: "default" (the cluster's) or
    "off". It compiles the large overview statements anew at every execution,
    which costs the session path (a custom plan per pooled connection) more
    than a statement prepared once on one connection."""
    import asyncpg

    conn = await asyncpg.connect(os.environ["DATABASE_URL"].replace("+asyncpg", ""))
    try:
        db = await conn.fetchval("SELECT current_database()")
        if setting == "off":
            await conn.execute(f'ALTER DATABASE "{db}" SET jit = off')
        else:
            await conn.execute(f'ALTER DATABASE "{db}" RESET jit')
    finally:
        await conn.close()


async def main(args):
    await set_jit(args.jit)
    parcels, extent = await data_extent()
    print(f"data set: {parcels} parcels over {extent[2] - extent[0]:.3f} x "
          f"{extent[3] - extent[1]:.3f} degrees; Python {sys.version.split()[0]}; "
          f"PostgreSQL JIT: {args.jit}")
    driver = Driver(make_app())
    try:
        if args.only in (None, "hits"):
            paths, tile_rates, bare_rates = await bench_hits(driver, extent, args.seconds,
                                                             args.rounds, args.concurrency)
            ratios = [t / b for t, b in zip(tile_rates, bare_rates)]
            print(f"\ncache hits: {len(paths)} tiles at zoom 16, {args.concurrency} requests in "
                  f"flight, {args.rounds} alternating rounds of {args.seconds:g} s per side")
            print(f"  tile endpoint  req/s: median {statistics.median(tile_rates):7.0f} "
                  f"(min {min(tile_rates):.0f}, max {max(tile_rates):.0f})")
            print(f"  bare endpoint  req/s: median {statistics.median(bare_rates):7.0f} "
                  f"(min {min(bare_rates):.0f}, max {max(bare_rates):.0f})")
            print(f"  ratio tile/bare: median of rounds {statistics.median(ratios):.3f} "
                  f"(quartiles {statistics.quantiles(ratios, n=4)[0]:.3f} .. "
                  f"{statistics.quantiles(ratios, n=4)[2]:.3f})")
            prof = await profile_module(driver, paths, args.seconds * 3, args.concurrency)
            if prof:
                print(f"  profile ({prof['requests']} tile hits under perf): process CPU "
                      f"{prof['cpu_per_request'] * 1e6:.1f} us/request, of which inside "
                      f"tileport*.so {prof['module_per_request'] * 1e6:.2f} us "
                      f"({prof['module_share'] * 100:.1f} %)")
        if args.only in (None, "generated"):
            results = await bench_generated(driver, extent, args.zooms, args.tiles,
                                            args.gen_rounds)
            print(f"\ngenerated tiles (cache off), layer plots, up to {args.tiles} tiles per zoom, "
                  f"{args.gen_rounds} rounds, endpoint and asyncpg alternating per tile")
            for z, r in results.items():
                print(f"  zoom {z:2d}: {r['tiles']:2d} tiles, median {r['bytes'] / 1024:7.1f} KiB; "
                      f"endpoint {r['endpoint_median'] * 1000:8.2f} ms, asyncpg "
                      f"{r['direct_median'] * 1000:8.2f} ms per tile (medians); throughput "
                      f"ratio {r['direct'] / r['endpoint']:.3f} "
                      f"({r['endpoint']:.2f} s vs {r['direct']:.2f} s over {r['runs']} tiles)")
    finally:
        await cleanup_keys(["rate_limit:gis:198.51.*", "rate_limit:gis:192.0.2.*",
                            "rate_limit:gis:203.0.113.*", "bench:bare:*"])


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--parcels", type=int, default=200000)
    parser.add_argument("--seconds", type=float, default=1.0)
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--concurrency", type=int, default=16)
    parser.add_argument("--zooms", type=int, nargs="+", default=[8, 12, 16])
    parser.add_argument("--tiles", type=int, default=12)
    parser.add_argument("--gen-rounds", type=int, default=3)
    parser.add_argument("--only", choices=["hits", "generated"])
    parser.add_argument("--jit", choices=["default", "off"], default="default")
    args = parser.parse_args()
    os.environ["DATABASE_URL"] = bench_database_url(args.parcels)
    asyncio.run(main(args))
