"""Tile endpoint benchmark, measured side by side in one run.

1. Cache hits: requests per second of GET /gis/{layer}/{z}/{x}/{y}.pbf against a
   bare endpoint in the same app that sends the same Redis commands (INCR of
   the client's counter, GET of the tile key) and returns the same bytes.
2. Generated tiles (cache off): time per tile through the endpoint against the
   same statement executed directly with asyncpg, at zooms 8, 12 and 16.

3. Bounding-box tiles (layer plots, boxes of 400 m in EPSG:3857): cache hits
   through GET /gis/plots/bbox/ against the same Redis commands sent
   directly (the counting script and the GET), and generated boxes against
   the tile statement executed directly with asyncpg.
4. Invalidation of 100 000 cached tiles through the layer task: keys per
   second against a bare SCAN + DEL loop on the same Redis.
5. Health: time per GET /gis/health/ against a bare endpoint that sends one
   PING and answers the same JSON, and against the bare PING itself.

All are driven in-process through the ASGI interface (no HTTP client in the
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
from fastapi.responses import JSONResponse  # noqa: E402
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

    @app.get("/bare/health/")
    async def bare_health():
        try:
            await tp.redis_client.ping()
            state = "healthy"
        except Exception:
            state = "unhealthy"
        return JSONResponse({"status": "healthy", "cache_status": state,
                             "available_layers": list(tp.LAYER_CONFIG),
                             "zoom_support": "1-20 with layer-specific minimums"})

    return app


class Driver:
    """Sends GET requests straight into an ASGI app."""

    def __init__(self, app):
        self.app = app

    async def get(self, path, client):
        path, _, query = path.partition("?")
        scope = {
            "type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1",
            "method": "GET", "scheme": "http", "path": path, "raw_path": path.encode(),
            "query_string": query.encode(), "root_path": "", "headers": [(b"host", b"bench")],
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


async def bench_bbox(driver, extent, count, rounds):
    """Seconds per bbox request, hit and generated, each against the same
    work done directly, alternating request by request."""
    import asyncpg

    boxes = boxes_in(extent, count)
    layer = tp.LAYER_CONFIG["plots"]
    conn = await asyncpg.connect(os.environ["DATABASE_URL"].replace("+asyncpg", ""))
    sql = None
    try:
        # The statement the endpoint runs for an unsimplified 3857 box.
        props = ", ".join(layer["properties"])
        env = "ST_MakeEnvelope($1, $2, $3, $4, 3857)"
        g = layer["geom_col"]
        sql = (f"SELECT ST_AsMVT(mvt_data, 'plots', 4096, 'mvt_geom') AS mvt FROM (SELECT {props}, "
               f"{layer['id_col']} AS feature_id, ST_AsMVTGeom({g}, {env}, 4096, 32, true) AS "
               f"mvt_geom FROM {layer['table']} WHERE {g} && {env} AND ST_Intersects({g}, {env}) "
               f"ORDER BY ST_Area({g}) DESC LIMIT $5) AS mvt_data WHERE mvt_data.mvt_geom IS NOT NULL")
        stmt = await conn.prepare(sql)
        gen = {"endpoint": [], "direct": []}
        hit = {"endpoint": [], "direct": []}
        redis = tp.redis_client
        n = 0
        for r in range(rounds):
            for box in boxes:
                client = BBOX_CLIENTS[n % len(BBOX_CLIENTS)]
                n += 1
                key = "mvt_v8:bbox:plots:{:.0f}:{:.0f}:{:.0f}:{:.0f}:5000:True".format(*box)
                await redis.delete(key)
                t0 = time.perf_counter()
                status, body = await driver.get(bbox_path(box), client)
                t1 = time.perf_counter()
                direct = await stmt.fetchval(*box, 5000)
                t2 = time.perf_counter()
                if status == 204 and not feature_count(direct):
                    continue  # a box between the blocks: nothing to draw either way
                if status != 200 or (r == 0 and feature_count(body) != feature_count(direct)):
                    raise RuntimeError(f"bbox {box}: status {status} or features differ")
                gen["endpoint"].append(t1 - t0)
                gen["direct"].append(t2 - t1)
                t0 = time.perf_counter()
                status, cached = await driver.get(bbox_path(box), client)
                t1 = time.perf_counter()
                await redis.evalsha(BARE_SCRIPT_SHA, 1, "bench:bare:" + client, 1)
                direct = await redis.get(key)
                t2 = time.perf_counter()
                if status != 200 or cached != direct:
                    raise RuntimeError(f"bbox {box}: the hit differs from the cached tile")
                hit["endpoint"].append(t1 - t0)
                hit["direct"].append(t2 - t1)
        return len(boxes), gen, hit
    finally:
        await conn.close()


BARE_SCRIPT = ("local count = redis.call('INCR', KEYS[1])\n"
               "if redis.call('PTTL', KEYS[1]) == -1 then\n"
               "  redis.call('EXPIRE', KEYS[1], ARGV[1])\nend\nreturn count\n")
BARE_SCRIPT_SHA = None


async def bench_invalidation(keys, rounds):
    """Keys per second deleted by the layer task and by a bare SCAN + DEL
    loop, each over `keys` fresh tile keys, alternating."""
    redis = tp.redis_client
    task, bare = [], []

    async def fill():
        for start in range(0, keys, 10000):
            pipe = redis.pipeline(transaction=False)
            for i in range(start, min(keys, start + 10000)):
                pipe.set(f"mvt_v8:plots:18:{i}:{i % 977}", b"\x1a\x00", ex=600)
            await pipe.execute()

    for _ in range(rounds):
        await fill()
        t0 = time.perf_counter()
        count = await tp._invalidate_layer_cache_task("plots")
        task.append(count / (time.perf_counter() - t0))
        if count != keys:
            raise RuntimeError(f"task deleted {count} of {keys}")
        await fill()
        t0 = time.perf_counter()
        count = 0
        async for key in redis.scan_iter(match="mvt_v8:plots:*", count=100):
            await redis.delete(key)
            count += 1
        bare.append(count / (time.perf_counter() - t0))
    return task, bare


async def bench_health(driver, calls, rounds):
    task, bare, ping = [], [], []
    for _ in range(rounds):
        t0 = time.perf_counter()
        for _ in range(calls):
            status, _ = await driver.get("/gis/health/", "192.0.2.7")
        t1 = time.perf_counter()
        for _ in range(calls):
            await driver.get("/bare/health/", "192.0.2.7")
        t2 = time.perf_counter()
        for _ in range(calls):
            await tp.redis_client.ping()
        t3 = time.perf_counter()
        if status != 200:
            raise RuntimeError("health answered {status}")
        task.append((t1 - t0) / calls)
        bare.append((t2 - t1) / calls)
        ping.append((t3 - t2) / calls)
    return task, bare, ping


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
        if args.only in (None, "bbox"):
            global BARE_SCRIPT_SHA
            BARE_SCRIPT_SHA = await tp.redis_client.script_load(BARE_SCRIPT)
            boxes, gen, hit = await bench_bbox(driver, extent, args.boxes, args.gen_rounds)
            print(f"\nbounding-box tiles, layer plots, {boxes} boxes of 400 m (EPSG:3857), "
                  f"{args.gen_rounds} rounds, alternating per box")
            for name, r, other in (("generated", gen, "asyncpg statement"),
                                   ("cache hit", hit, "script + GET")):
                print(f"  {name}: endpoint {statistics.median(r['endpoint']) * 1000:7.3f} ms, "
                      f"{other} {statistics.median(r['direct']) * 1000:7.3f} ms (medians); "
                      f"throughput ratio {sum(r['direct']) / sum(r['endpoint']):.3f}")
        if args.only in (None, "invalidation"):
            task, bare = await bench_invalidation(args.keys, args.inv_rounds)
            print(f"\ninvalidation of {args.keys} cached tiles, {args.inv_rounds} rounds")
            print(f"  layer task {statistics.median(task):8.0f} keys/s, bare SCAN + DEL "
                  f"{statistics.median(bare):8.0f} keys/s; ratio "
                  f"{statistics.median(task) / statistics.median(bare):.3f}")
        if args.only in (None, "health"):
            task, bare, ping = await bench_health(driver, 2000, args.rounds)
            print(f"\nhealth, {args.rounds} rounds of 2000 calls")
            print(f"  endpoint {statistics.median(task) * 1e6:7.1f} us, bare endpoint "
                  f"{statistics.median(bare) * 1e6:7.1f} us, bare PING "
                  f"{statistics.median(ping) * 1e6:7.1f} us per call; ratio bare/endpoint "
                  f"{statistics.median(bare) / statistics.median(task):.3f}, PING/endpoint "
                  f"{statistics.median(ping) / statistics.median(task):.3f}")
    finally:
        await cleanup_keys(["mvt_v8:bbox:*", "mvt_v8:plots:18:*", "rate_limit:gis:bbox:198.18.*",
                            "rate_limit:gis:198.51.*", "rate_limit:gis:192.0.2.*",
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
    parser.add_argument("--boxes", type=int, default=25)
    parser.add_argument("--keys", type=int, default=100000)
    parser.add_argument("--inv-rounds", type=int, default=2)
    parser.add_argument("--only", choices=["hits", "generated", "bbox", "invalidation", "health"])
    parser.add_argument("--jit", choices=["default", "off"], default="default")
    args = parser.parse_args()
    os.environ["DATABASE_URL"] = bench_database_url(args.parcels)
    asyncio.run(main(args))
