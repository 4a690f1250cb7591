"""Servers side by side: cached tile hits under plain uvicorn, uvicorn on
uvloop and httptools, and granian, with one and two workers.

    python3 bench/bench_servers.py [--parcels 200000] [--seconds 10] [--rounds 3]

The same app (host/app.py), database ("terrava_bench", bench/bench_db.sh) and
Redis database (10) as bench/load_bench.py, whose server start, trace and wrk
driver this uses. The tiles are plots tiles of load_bench's panning trace
that hold parcels, generated and cached beforehand, so every measured answer
is a Redis hit: what is compared is the server and the event loop around the
module, not the database. wrk (bench/wrk_trace.lua) asks for them as fast as
the server answers, spread over many X-Forwarded-For addresses so that no
simulated client comes near its rate limit.

Each round runs every server and worker count once, in turn (a warm-up of a
few seconds first, not counted), the servers' order rotated from round to
round so that a disturbance of the shared cores does not always fall on the
same one; each run's line shows the load average at its end. The table gives the median of the rounds and
each server's throughput as a ratio to plain uvicorn's with as many workers.
Nothing here asserts timings. The figures go to out/bench_servers.json.
"""

import argparse
import asyncio
import os
import statistics
import sys
import tempfile
from importlib import metadata

from load_bench import (SERVERS, Server, cached_tiles, errors, flush_tiles, hits_trace,
                        make_trace, open_bench_data, rps, run_wrk, write_figures, write_trace)

LABELS = {"uvicorn-plain": "uvicorn (asyncio, h11)", "uvicorn": "uvicorn + uvloop + httptools",
          "granian": "granian (asgi, uvloop)"}


async def measure(url, kind, workers, trace_file, args, log_dir):
    server = Server(url, workers, log_dir, f"{workers}w", kind=kind)
    try:
        await server.wait_ready()
        await run_wrk(server.port, trace_file, args.warmup, args.connections, cycle=True)
        result = await run_wrk(server.port, trace_file, args.seconds, args.connections, cycle=True)
    finally:
        server.stop()
    return {"server": kind, "workers": workers, "rps": rps(result), "p50_ms": result["p50_ms"],
            "p99_ms": result["p99_ms"], "requests": result["requests"], "hits": result["hits"],
            "statuses": result["statuses"], "errors": errors(result)}


def versions():
    found = {}
    for name in ("uvicorn", "uvloop", "httptools", "granian"):
        try:
            found[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            found[name] = None
    return found


def median_row(rows):
    first = rows[0]
    return {"server": first["server"], "workers": first["workers"], "rounds": len(rows),
            "rps": statistics.median(r["rps"] for r in rows),
            "p50_ms": statistics.median(r["p50_ms"] for r in rows),
            "p99_ms": statistics.median(r["p99_ms"] for r in rows),
            "rps_rounds": [round(r["rps"]) for r in rows],
            "requests": sum(r["requests"] for r in rows), "hits": sum(r["hits"] for r in rows),
            "not_200": sum(n for r in rows for s, n in r["statuses"].items() if s != "200"),
            "errors": sum(r["errors"] for r in rows)}


def print_table(table):
    print(f"\n| server | workers | requests/s | p50 ms | p99 ms | ratio to plain uvicorn | "
          f"hits / requests | not 200 | errors |")
    print("|---|---|---|---|---|---|---|---|---|")
    for row in table:
        print(f"| {LABELS[row['server']]} | {row['workers']} | {row['rps']:.0f} | {row['p50_ms']:.1f} | "
              f"{row['p99_ms']:.1f} | {row['ratio']:.2f} | {row['hits']} / {row['requests']} | "
              f"{row['not_200']} | {row['errors']} |")


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--parcels", type=int, default=200000)
    parser.add_argument("--seconds", type=int, default=10, help="length of each measured wrk run")
    parser.add_argument("--warmup", type=int, default=3, help="unmeasured wrk seconds before each run")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--connections", type=int, default=64, help="wrk connections (2 threads)")
    parser.add_argument("--tiles", type=int, default=300, help="distinct cached tiles asked for")
    parser.add_argument("--clients", type=int, default=2000, help="X-Forwarded-For addresses")
    parser.add_argument("--workers", default="1,2")
    parser.add_argument("--servers", default=",".join(SERVERS))
    args = parser.parse_args()
    servers = args.servers.split(",")
    for kind in servers:
        if kind not in SERVERS:
            parser.error(f"unknown server {kind!r}; one of {', '.join(SERVERS)}")
    worker_counts = [int(w) for w in args.workers.split(",")]
    url, redis, db, count = await open_bench_data(args.parcels)
    trace = make_trace(await db.extent(), 100, 60)
    work = tempfile.mkdtemp(prefix="terrava-servers-")
    load_before = os.getloadavg()
    try:
        await flush_tiles(redis)
        warmer = Server(url, 1, work, "warm")
        try:
            await warmer.wait_ready()
            tiles = await cached_tiles(warmer, trace, args.tiles)
        finally:
            warmer.stop()
        if not tiles:
            sys.exit("no cached tile: is the bench database empty?")
        trace_file = os.path.join(work, "hits.txt")
        write_trace(hits_trace(tiles, args.clients, 100 * args.clients), trace_file)
        print(f"database {db.name}: {count} parcels; {len(tiles)} cached plots tiles over {args.clients} "
              f"client addresses; wrk -t 2 -c {args.connections}, {args.seconds} s a run after {args.warmup} s "
              f"of warm-up, {args.rounds} round(s); logs in {work}")
        print("versions: " + ", ".join(f"{k} {v}" for k, v in versions().items()))
        print(f"load average before: {' '.join(f'{x:.2f}' for x in load_before)}")
        runs = []
        for round_number in range(args.rounds):
            order = servers[round_number % len(servers):] + servers[:round_number % len(servers)]
            for workers in worker_counts:
                for kind in order:
                    row = await measure(url, kind, workers, trace_file, args, work)
                    row["round"] = round_number + 1
                    row["load_after"] = os.getloadavg()
                    runs.append(row)
                    print(f"  round {row['round']}: {LABELS[kind]:<29} {workers} worker(s): {row['rps']:6.0f} req/s  "
                          f"p50 {row['p50_ms']:6.1f} ms  p99 {row['p99_ms']:6.1f} ms  "
                          f"hits {row['hits']}/{row['requests']}  errors {row['errors']}  "
                          f"load {row['load_after'][0]:.2f}", flush=True)
    finally:
        await flush_tiles(redis)
        await redis.aclose()
    load_after = os.getloadavg()
    table = []
    for workers in worker_counts:
        rows = {kind: median_row([r for r in runs if r["server"] == kind and r["workers"] == workers])
                for kind in servers}
        base = rows.get("uvicorn-plain")
        for kind in servers:
            rows[kind]["ratio"] = rows[kind]["rps"] / base["rps"] if base and base["rps"] else float("nan")
            table.append(rows[kind])
    print_table(table)
    print(f"\nmedian of {args.rounds} round(s); load average before {' '.join(f'{x:.2f}' for x in load_before)}, "
          f"after {' '.join(f'{x:.2f}' for x in load_after)} (1, 5, 15 min)")
    shown = write_figures("bench_servers", {
        "parcels": count, "tiles": len(tiles), "clients": args.clients, "seconds": args.seconds,
        "connections": args.connections, "versions": versions(), "load_before": load_before,
        "load_after": load_after, "runs": runs, "table": table})
    print(f"figures in {shown}")


if __name__ == "__main__":
    asyncio.run(main())
