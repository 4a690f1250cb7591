"""Tile seeding benchmark: `python -m tileseed` on the benchmark data set.

    python bench/bench_seed.py [--parcels 200000] [--zoom 8-14] [--rounds 3] [--phase-seconds 10]
                               [--live-concurrency 2] [--only throughput,live]

Against the benchmark database (bench/bench_db.sh, "terrava_bench") and a
Redis database of its own (REDIS_DB 11, TERRAVA_SEED_REDIS_DB), on 127.0.0.1
only:

1. Throughput: the plots layer over the parcels' extent at the zoom range,
   with --refresh (every tile generated, none skipped), at concurrency 1, 2
   and 4, after one warm-up tile (zoom 8 reads the whole table). Reported
   from the seeder's own summary: tiles, seconds, tiles per second, and the
   database's share of the workers' time (time waiting for PostgreSQL over
   seconds x concurrency).
2. Live tiles beside seeding: host/app.py under uvicorn (uvloop, httptools,
   one worker), started by bench/load_bench.py's helpers; its cold pass of
   the panning trace (wrk -t 2 -c 64, at most --seconds) fills the cache,
   then its warm phase (exactly the cold pass's requests again) runs once
   unmeasured, so that what the cold pass left unanswered is cached too,
   and then alone and while a seeding run (--refresh, at the seeder's default
   concurrency, 2, or --live-concurrency) works beside it, in alternating rounds, each bounded by
   --phase-seconds (shorter than the seeding run, which then seeds for the
   whole phase). The seeder starts first, wrk once its first statement runs;
   a seeder still at work when wrk is done is stopped with SIGINT. Reported:
   the live tiles' requests per second, p50, p99 and max, and what the
   seeder did meanwhile.

Nothing asserts timings: it prints what it measured; the figures also go to
out/bench_seed.json.
"""

import argparse
import asyncio
import json
import os
import signal
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
# A Redis database of its own (not the load benchmark's 10), so that a load
# benchmark run beside it flushes nothing of this one.
os.environ.setdefault("TERRAVA_LOAD_REDIS_DB", os.environ.get("TERRAVA_SEED_REDIS_DB", "11"))

from load_bench import (BENCH_REDIS_DB, HOST, Server, flush_tiles, make_trace,  # noqa: E402
                        open_bench_data, rps, run_wrk, write_figures, write_trace)

SEEDER_ACTIVE = ("SELECT count(*) FROM pg_stat_activity WHERE application_name = 'tileseed' "
                 "AND datname = $1 AND state = 'active'")


def seeder_command(zoom, concurrency, *extra):
    return [sys.executable, "-m", "tileseed", "plots", "--zoom", zoom, "--refresh", "--json",
            "--no-progress", "--concurrency", str(concurrency), *extra]


def seeder_env(url):
    return dict(os.environ, DATABASE_URL=url, REDIS_DB=BENCH_REDIS_DB, LOG_LEVEL="WARNING")


async def seed(url, zoom, concurrency):
    process = await asyncio.create_subprocess_exec(
        *seeder_command(zoom, concurrency), cwd=HOST, env=seeder_env(url),
        stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE)
    out, err = await process.communicate()
    if process.returncode != 0:
        raise RuntimeError(f"tileseed exited with {process.returncode}:\n{err.decode()}")
    return json.loads(out.decode().strip().splitlines()[-1])


def share(summary):
    worker_time = summary["seconds"] * summary["concurrency"]
    return summary["db_seconds"] / worker_time if worker_time else 0.0


async def throughput(url, zoom, results):
    await seed(url, "8", 1)  # warm-up: the zoom 8 tile reads every parcel
    print(f"\nSeeding plots z{zoom} over the parcels' extent, --refresh (every tile generated):")
    print(f"  {'concurrency':>11} {'tiles':>6} {'generated':>9} {'empty':>6} {'failed':>6} {'seconds':>8} "
          f"{'tiles/s':>8} {'database share':>15}")
    for concurrency in (1, 2, 4):
        s = await seed(url, zoom, concurrency)
        row = {"concurrency": concurrency, "tiles": s["tiles"], "generated": s["generated"], "empty": s["empty"],
               "failed": s["failed"], "seconds": s["seconds"], "tiles_per_second": s["tiles_per_second"],
               "db_seconds": s["db_seconds"], "db_share": share(s)}
        results["throughput"].append(row)
        print(f"  {concurrency:>11} {s['tiles']:>6} {s['generated']:>9} {s['empty']:>6} {s['failed']:>6} "
              f"{s['seconds']:>8.1f} {s['tiles_per_second']:>8.1f} {100 * share(s):>14.0f} %")


async def warm_phase_beside_seeding(db, redis, url, zoom, seconds, phase_seconds, rounds, concurrency, results):
    extent = await db.extent()
    trace = make_trace(extent, 100, 60)
    work = tempfile.mkdtemp(prefix="terrava-seed-")
    trace_file = os.path.join(work, "trace.txt")
    write_trace(trace, trace_file)
    server = Server(url, 1, work, "seed")
    try:
        await server.wait_ready()
        await flush_tiles(redis)
        cold = await run_wrk(server.port, trace_file, seconds, 64)
        limit = -(-cold["sent"] // 2)  # per wrk thread: exactly the cold pass's requests
        # Once more, unmeasured: what the cold pass left unanswered or
        # answered with an error is cached now too.
        priming = await run_wrk(server.port, trace_file, 3 * seconds, 64, limit=limit)
        results["cold"] = {k: cold[k] for k in ("sent", "requests", "statuses", "hits", "duration_s")}
        results["priming"] = {k: priming[k] for k in ("requests", "statuses", "hits", "duration_s")}
        print(f"\nLive tiles (1 worker, wrk -t 2 -c 64) in the warm phase: the cold pass sent {cold['sent']} "
              f"requests in {cold['duration_s']:.0f} s (answers {cold['statuses']}), a priming pass of them "
              f"found {priming['hits']} of {priming['requests']} cached; then the phase alone and beside "
              f"seeding plots z{zoom} (concurrency {concurrency}); logs in {work}:")
        for round_number in range(rounds):
            for with_seeding in (False, True):
                seeder = None
                if with_seeding:
                    seeder = await asyncio.create_subprocess_exec(
                        *seeder_command(zoom, concurrency), cwd=HOST, env=seeder_env(url),
                        stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE)
                    while not await db.stats.fetchval(SEEDER_ACTIVE, db.name):
                        if seeder.returncode is not None:
                            raise RuntimeError("tileseed ended before it ran a statement")
                        await asyncio.sleep(0.02)
                started = time.monotonic()
                result = await run_wrk(server.port, trace_file, phase_seconds, 64, limit=limit)
                elapsed = time.monotonic() - started
                row = {"round": round_number + 1, "seeding": with_seeding, "rps": rps(result),
                       "p50_ms": result["p50_ms"], "p99_ms": result["p99_ms"], "max_ms": result["max_ms"],
                       "requests": result["requests"], "hits": result["hits"], "statuses": result["statuses"],
                       "phase_seconds": elapsed}
                seeding = ""
                if seeder is not None:
                    still_running = seeder.returncode is None
                    if still_running:
                        seeder.send_signal(signal.SIGINT)
                    out, _ = await seeder.communicate()
                    s = json.loads(out.decode().strip().splitlines()[-1])
                    done = s["generated"] + s["empty"] + s["failed"]
                    row["seeder"] = {"tiles_done": done, "tiles": s["tiles"], "seconds": s["seconds"],
                                     "stopped": still_running, "db_share": share(s)}
                    seeding = (f"; seeder: {done} of {s['tiles']} tiles in {s['seconds']:.1f} s"
                               f"{', stopped after the phase' if still_running else ', finished during the phase'}")
                results["live"].append(row)
                label = "beside seeding" if with_seeding else "alone         "
                print(f"  round {round_number + 1}, {label}: {row['rps']:6.0f} req/s, p50 {row['p50_ms']:6.1f} ms, "
                      f"p99 {row['p99_ms']:7.1f} ms, max {row['max_ms']:7.0f} ms, "
                      f"{row['hits']}/{row['requests']} hits, {elapsed:.1f} s{seeding}")
    finally:
        server.stop()
    for with_seeding in (False, True):
        rows = [r for r in results["live"] if r["seeding"] == with_seeding]
        p99 = statistics.median(r["p99_ms"] for r in rows)
        results.setdefault("live_median_p99_ms", {})["seeding" if with_seeding else "alone"] = p99
    medians = results["live_median_p99_ms"]
    print(f"  median p99 of the rounds: alone {medians['alone']:.1f} ms, beside seeding {medians['seeding']:.1f} ms "
          f"({medians['seeding'] / medians['alone']:.2f} x)")


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--parcels", type=int, default=200000)
    parser.add_argument("--zoom", default="8-14", help="zoom range seeded (default 8-14)")
    parser.add_argument("--seconds", type=int, default=20, help="bound of the cold pass")
    parser.add_argument("--phase-seconds", type=int, default=10,
                        help="bound of each measured warm phase (below the seeding run's length, so that it "
                             "seeds for the whole phase)")
    parser.add_argument("--rounds", type=int, default=3, help="rounds of the live phases")
    parser.add_argument("--live-concurrency", type=int, default=2,
                        help="the seeder's concurrency beside the live tiles (default 2, the seeder's own)")
    parser.add_argument("--only", default="throughput,live")
    args = parser.parse_args()
    url, redis, db, count = await open_bench_data(args.parcels)
    load = os.getloadavg()
    print(f"database {db.name}: {count} parcels; load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")
    results = {"parcels": count, "zoom": args.zoom, "live_concurrency": args.live_concurrency, "load_before": load, "throughput": [], "live": []}
    only = set(args.only.split(","))
    try:
        await flush_tiles(redis)
        if "throughput" in only:
            await throughput(url, args.zoom, results)
        if "live" in only:
            await warm_phase_beside_seeding(db, redis, url, args.zoom, args.seconds, args.phase_seconds,
                                            args.rounds, args.live_concurrency, results)
    finally:
        await flush_tiles(redis)
        await redis.aclose()
        results["load_after"] = os.getloadavg()
        write_figures("bench_seed", results)
    print(f"\nload average at the end {results['load_after'][0]:.2f}; figures in out/bench_seed.json")


if __name__ == "__main__":
    asyncio.run(main())
