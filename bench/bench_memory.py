"""Resident memory of one process over a long run of tiles and plans.

In one process: a warm-up (2 000 tile requests, 6 plans), then 100 000 tile
requests through the ASGI interface (no HTTP client in the way) and 200
plans, deed and site alternating over different parcels. VmRSS (from
/proc/self/status, after a garbage collection) is printed after the warm-up,
every 20 000 tiles and every 50 plans, then the growth since the warm-up.

The tile requests mix all six layers at zooms 10 to 18 over the data's extent,
tiles outside it (204), bounding boxes, refused input (400, 404) and one
client, sending one request in four, above the rate limit (429); one request
in ten finds its tile evicted from the cache first and has it generated. The
other clients are 2 000 addresses in turn, each far below the limit.

    set -a; . .services/env; set +a
    python bench/bench_memory.py [--tiles 100000] [--plans 200]

It uses the tests' database (DATABASE_URL) and a Redis database of its own
(TERRAVA_BENCH_REDIS_DB, default 9).
"""

import argparse
import asyncio
import collections
import gc
import logging
import os
import sys
import time
import warnings

from bench_tiles import ROOT, Driver, cleanup_keys, data_extent, make_app, tiles_in, tp  # noqa: F401

warnings.simplefilter("ignore", DeprecationWarning)
logging.getLogger("weasyprint").setLevel(logging.ERROR)
logging.getLogger("terrava.tileport").setLevel(logging.ERROR)
logging.getLogger("registry").setLevel(logging.WARNING)

import services.plansmith as plansmith  # noqa: E402  (the host copy, beside templates/)
from database import dispose_engine, get_db  # noqa: E402

CLIENTS = [f"198.51.{i // 256}.{i % 256}" for i in range(2000)]
HOT_CLIENT = "192.0.2.99"


def rss_kib():
    gc.collect()
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def tile_paths(extent):
    """(path, cache key or None) of the requests, in the order they cycle."""
    west, south, east, north = extent
    paths = []
    for name, layer in tp.LAYER_CONFIG.items():
        for z in range(max(10, layer["min_zoom"]), 19):
            for tz, x, y in tiles_in(extent, z, 12):
                paths.append((f"/gis/{name}/{tz}/{x}/{y}.pbf", f"{name}:{tz}:{x}:{y}"))
        paths.append((f"/gis/{name}/16/0/0.pbf", None))  # far from the data: 204
    width, height = (east - west) / 8, (north - south) / 8
    for i in range(8):
        box = (west + i * width, south + i * height, west + (i + 1) * width, south + (i + 1) * height)
        paths.append(("/gis/plots/bbox/?minx={}&miny={}&maxx={}&maxy={}&srid=4326".format(*box), None))
    paths += [("/gis/nowhere/12/1/1.pbf", None), ("/gis/plots/3/1/1.pbf", None),
              ("/gis/plots/bbox/?minx=5&miny=5&maxx=1&maxy=1", None), ("/gis/plots/zoom-info/", None)]
    return paths


async def run_tiles(driver, paths, count, start, checkpoint, concurrency=8):
    statuses = collections.Counter()
    counter = iter(range(start, start + count))

    async def worker():
        for n in counter:
            path, key = paths[n % len(paths)]
            if key is not None and n % 10 == 0:
                await tp.cache.delete(key)
            client = HOT_CLIENT if n % 4 == 0 else CLIENTS[n % len(CLIENTS)]
            status, _ = await driver.get(path, client)
            statuses[status] += 1
            done = n - start + 1
            if checkpoint and done % checkpoint == 0:
                print(f"  after {done:6d} tiles: VmRSS {rss_kib() / 1024:7.1f} MiB", flush=True)

    await asyncio.gather(*(worker() for _ in range(concurrency)))
    return statuses


async def parcel_ids(count):
    from sqlalchemy import text

    sessions = get_db()
    db = await sessions.__anext__()
    try:
        rows = await db.execute(text('SELECT "ID" FROM "GIS"."PLOT" ORDER BY "ID" LIMIT :n'), {"n": count})
        return [row[0] for row in rows]
    finally:
        await sessions.aclose()


async def run_plans(ids, count, start, checkpoint):
    for n in range(start, start + count):
        sessions = get_db()  # a session per plan, as a request has
        db = await sessions.__anext__()
        try:
            generator = plansmith.PlanImageGenerator(db)
            pid = ids[(n // 2) % len(ids)]
            if n % 2:
                answer = await generator.generate_siteplan_html(pid)  # a Response
                pdf = answer.body if answer is not None else b""
            else:
                answer = await generator.generate_deedplan_html(pid, "Kessaru", f"MISC {n}", "Ada Obi", "AB03")
                pdf = answer.getvalue() if answer is not None else b""
            if not pdf.startswith(b"%PDF"):
                raise RuntimeError(f"no plan for parcel {pid}")
        finally:
            await sessions.aclose()
        done = n - start + 1
        if checkpoint and done % checkpoint == 0:
            print(f"  after {done:6d} plans: VmRSS {rss_kib() / 1024:7.1f} MiB", flush=True)


async def main(args):
    parcels, extent = await data_extent()
    driver = Driver(make_app())
    paths = tile_paths(extent)
    ids = await parcel_ids(100)
    print(f"data set: {parcels} parcels; {len(paths)} distinct tile requests; Python {sys.version.split()[0]}")
    started = time.perf_counter()
    try:
        await run_tiles(driver, paths, 2000, 0, 0)
        await run_plans(ids, 6, 0, 0)
        base = rss_kib()
        print(f"after warm-up: VmRSS {base / 1024:7.1f} MiB", flush=True)
        statuses = await run_tiles(driver, paths, args.tiles, 2000, args.tiles // 5)
        after_tiles = rss_kib()
        await run_plans(ids, args.plans, 6, max(1, args.plans // 4))
        end = rss_kib()
    finally:
        await cleanup_keys(["rate_limit:gis:198.51.*", f"rate_limit:gis:{HOT_CLIENT}", "rate_limit:gis:bbox:*"])
        await dispose_engine()
    print("tile answers: " + ", ".join(f"{status}: {n}" for status, n in sorted(statuses.items())))
    print(f"growth after warm-up: tiles {(after_tiles - base) / 1024:+.1f} MiB, "
          f"plans {(end - after_tiles) / 1024:+.1f} MiB, total {(end - base) / 1024:+.1f} MiB "
          f"({time.perf_counter() - started:.0f} s)")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tiles", type=int, default=100000)
    parser.add_argument("--plans", type=int, default=200)
    asyncio.run(main(parser.parse_args()))
