"""Where the time of a generated (uncached) tile goes, at one zoom.

Side by side, tile by tile, on the benchmark data set (bench/bench_db.sh):
  asyncpg   the tile statement on a plain asyncpg connection
  session   the same statement through an SQLAlchemy AsyncSession as the host
            hands it out: execute, commit, close
  redis     the three Redis round trips of a miss (count, cache read, store)
  endpoint  get_tile_xyz itself, awaited directly (no HTTP), cache cleared
Prints medians and each as a ratio of the endpoint's time.

    python bench/bench_tile_breakdown.py [--zoom 16] [--rounds 3]
"""

import argparse
import asyncio
import os
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "host"))
os.environ["REDIS_DB"] = os.environ.get("TERRAVA_BENCH_REDIS_DB", "9")


def bench_url(parcels):
    out = subprocess.run(["bash", os.path.join(ROOT, "bench", "bench_db.sh"), str(parcels)],
                         check=True, stdout=subprocess.PIPE, text=True).stdout
    return out.strip().splitlines()[-1]


class Client:
    def __init__(self, host):
        self.host = host


class Request:
    def __init__(self, host):
        self.client = Client(host)


async def main(args):
    import asyncpg
    from sqlalchemy import text
    from sqlalchemy.ext.asyncio import AsyncSession, create_async_engine

    import terrava.tileport as tp
    from helpers.utils import latlon_to_xyz, xyz_to_bbox_web_mercator

    url = bench_url(args.parcels)
    engine = create_async_engine(url)
    pg = await asyncpg.connect(url.replace("+asyncpg", ""))
    lon, lat = await pg.fetchrow(
        'SELECT ST_X(c), ST_Y(c) FROM (SELECT ST_Transform(ST_SetSRID(ST_Centroid('
        'ST_Extent("GEOMETRY")), 3857), 4326) c FROM "GIS"."PLOT") s')
    centre = latlon_to_xyz(lat, lon, args.zoom)
    tiles = [(args.zoom, centre["x"] + dx, centre["y"] + dy)
             for dx in range(-3, 3) for dy in range(-3, 3)]
    sql, _ = tp.generate_mvt_sql("plots", args.zoom)
    positional = sql
    for n, name in enumerate(("min_x", "min_y", "max_x", "max_y"), 1):
        positional = positional.replace(":" + name, f"${n}")

    times = {"asyncpg": [], "session": [], "redis": [], "endpoint": []}
    for round_ in range(args.rounds):
        for i, (z, x, y) in enumerate(tiles):
            box = xyz_to_bbox_web_mercator(z, x, y)
            bounds = [box["minx"], box["miny"], box["maxx"], box["maxy"]]
            start = time.perf_counter()
            await pg.fetchval(positional, *bounds)
            times["asyncpg"].append(time.perf_counter() - start)

            start = time.perf_counter()
            db = AsyncSession(engine)
            result = await db.execute(text(sql), dict(zip(("min_x", "min_y", "max_x", "max_y"),
                                                          bounds)))
            result.scalar_one_or_none()
            await db.commit()
            await db.close()
            times["session"].append(time.perf_counter() - start)

            start = time.perf_counter()
            await tp.redis_client.incr("bench:breakdown")
            await tp.redis_client.get("bench:breakdown:none")
            await tp.redis_client.set("bench:breakdown:value", b"x", ex=5)
            times["redis"].append(time.perf_counter() - start)

            await tp.redis_client.delete(f"mvt_v8:plots:{z}:{x}:{y}")
            start = time.perf_counter()
            await tp.get_tile_xyz("plots", z, x, y, Request(f"10.9.{round_}.{i}"),
                                  AsyncSession(engine))
            times["endpoint"].append(time.perf_counter() - start)
    await pg.close()
    await engine.dispose()

    endpoint = statistics.median(times["endpoint"])
    print(f"zoom {args.zoom}, {len(tiles)} tiles x {args.rounds} rounds (medians)")
    for name, values in times.items():
        median = statistics.median(values)
        print(f"  {name:9} {median * 1000:7.2f} ms   {median / endpoint:5.2f} of the endpoint")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--parcels", type=int, default=200000)
    parser.add_argument("--zoom", type=int, default=16)
    parser.add_argument("--rounds", type=int, default=3)
    import logging

    logging.disable(logging.INFO)
    asyncio.run(main(parser.parse_args()))
