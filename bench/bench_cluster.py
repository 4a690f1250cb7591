"""The tile service beyond one machine, measured side by side in one run
against the servers of scripts/cluster.sh:

    python3 bench/bench_cluster.py [--workers 1 2 4] [--seconds 8] [--keys 100000]
                                   [--only hits invalidation lag]

1. hits: cache hits through N uvicorn workers sharing one Redis server
   (the services' Redis) against the same N workers sharing the Redis Cluster
   (REDIS_CLUSTER_NODES), under the same wrk load of many client addresses,
   their runs alternating (--rounds): the median requests a second and the
   ratio cluster / one server, for each N.
2. invalidation: --keys tile keys of one layer (beside a fifth as many of
   another layer, which must stay) deleted by the module's layer task, against
   a plain SCAN with one DEL per key over every primary (the same work without
   the module) and against SCAN with each page's DELs pipelined (one round trip
   a page, the limit); on the cluster and on one server. Each target runs in a
   process of its own, since the module reads its Redis settings at import.
3. lag: how long a row committed on the primary takes to be visible on the
   streaming replica (a probe every 50 ms), idle and under a write load of
   batched inserts, with the replica's own replay delay
   (now() - pg_last_xact_replay_timestamp()) sampled with it.

Nothing here asserts timings; the figures go to out/bench_cluster.json too.
"""

import argparse
import asyncio
import json
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import load_bench as lb  # noqa: E402

CLUSTER_ENV = os.path.join(lb.ROOT, ".services", "cluster.env")
NAMESPACE = "mvt_v8"


def cluster_settings():
    status = subprocess.run([os.path.join(lb.ROOT, "scripts", "cluster.sh"), "status"], capture_output=True,
                            text=True)
    if status.returncode != 0 or not os.path.exists(CLUSTER_ENV):
        sys.exit("the cluster servers are not running: scripts/cluster.sh start\n" + status.stdout)
    from dotenv import dotenv_values

    return dotenv_values(CLUSTER_ENV)


def cluster_admin(nodes):
    from redis.asyncio.cluster import ClusterNode, RedisCluster

    return RedisCluster(startup_nodes=[ClusterNode(*n.split(":")) for n in nodes.split(",")])


async def clear_namespace(client):
    keys = [k async for k in client.scan_iter(match=f"{NAMESPACE}:*", count=1000)]
    for key in keys:
        await client.delete(key)


# ---------------------------------------------------------------- hits

async def hits(args, settings, url, db, log_dir, results):
    import redis.asyncio as aioredis

    single = aioredis.Redis(host=os.environ.get("REDIS_HOST", "localhost"),
                            port=int(os.environ.get("REDIS_PORT", "6379")), db=int(lb.BENCH_REDIS_DB))
    cluster = cluster_admin(settings["REDIS_CLUSTER_NODES"])
    targets = {
        "one server": (single, {}),
        "cluster": (cluster, {"REDIS_CLUSTER_NODES": settings["REDIS_CLUSTER_NODES"], "REDIS_DB": "0"}),
    }
    trace = lb.make_trace(await db.extent(), 40, 60)
    rows = []
    try:
        for workers in args.workers:
            servers, files = {}, {}
            try:
                # Both servers run at once, warmed alike; their runs alternate,
                # so that both sides meet the same moments of a shared machine.
                for name, (client, env) in targets.items():
                    await clear_namespace(client)
                    server = lb.Server(url, workers, log_dir, f"hits-{name.replace(' ', '-')}-{workers}", env=env)
                    servers[name] = server
                    await server.wait_ready()
                    tiles = await lb.cached_tiles(server, trace, args.tiles)
                    files[name] = os.path.join(log_dir, f"hits-{name.replace(' ', '-')}-{workers}.txt")
                    lb.write_trace(lb.hits_trace(tiles, args.clients, 50 * args.clients), files[name])

                async def run(name, server):
                    await lb.run_wrk(server.port, files[name], args.warmup, args.connections, cycle=True)
                    return await lb.run_wrk(server.port, files[name], args.seconds, args.connections, cycle=True)

                runs = await lb.rounds(servers, args.rounds, run)
            finally:
                for server in servers.values():
                    server.stop()
            row = {"workers": workers}
            for name, results_of in runs.items():
                row[name] = lb.median_of(results_of)
            row["ratio"] = row["cluster"]["rps"] / row["one server"]["rps"]
            rows.append(row)
            one, clu = row["one server"], row["cluster"]
            print(f"  {workers} worker(s): one server {one['rps']:7.0f} req/s, cluster {clu['rps']:7.0f} req/s "
                  f"(medians), cluster / one server {row['ratio']:.2f}; rounds {one['rps_rounds']} / "
                  f"{clu['rps_rounds']}, p99 {one['p99_ms']:.1f} / {clu['p99_ms']:.1f} ms, answers not 200 "
                  f"{one['not_200']} / {clu['not_200']}, errors {one['errors']} / {clu['errors']}")
    finally:
        await clear_namespace(single)
        await clear_namespace(cluster)
        await single.aclose()
        await cluster.aclose()
    results["hits"] = rows


# ---------------------------------------------------------------- invalidation

async def plant(client, count):
    """`count` plots keys and count / 5 roads keys under the namespace."""
    keys = [f"{NAMESPACE}:plots:16:{i // 1000}:{i % 1000}" for i in range(count)]
    others = [f"{NAMESPACE}:roads:14:{i // 1000}:{i % 1000}" for i in range(count // 5)]
    batch = 2000
    for start in range(0, len(keys) + len(others), batch):
        pipe = client.pipeline(transaction=False)
        for key in (keys + others)[start:start + batch]:
            pipe.set(key, b"\x1a\x02tile", ex=900)
        await pipe.execute()
    return len(keys), len(others)


async def primaries(client):
    """Plain clients on every primary (a list of one for one server)."""
    import redis.asyncio as aioredis

    if not hasattr(client, "get_primaries"):
        return [client], False
    await client.initialize()
    return [aioredis.Redis(host=n.host, port=n.port) for n in client.get_primaries()], True


async def scan_and_delete(nodes, pattern, pipelined):
    deleted = 0
    for node in nodes:
        cursor = None
        while cursor != 0:
            cursor, page = await node.scan(cursor=cursor or 0, match=pattern, count=100)
            if pipelined and page:
                pipe = node.pipeline(transaction=False)
                for key in page:
                    pipe.delete(key)
                await pipe.execute()
            else:
                for key in page:
                    await node.delete(key)
            deleted += len(page)
    return deleted


async def invalidation_child(target, count):
    """In a process whose environment picks the module's Redis: times each way
    of deleting the plots keys, replanting between them."""
    sys.path.insert(0, lb.HOST)
    from routers import tileport

    client = tileport.redis_client
    nodes, sharded = await primaries(client)
    figures = {"target": target, "primaries": len(nodes)}

    async def module_task():
        return await tileport._invalidate_layer_cache_task("plots")

    async def plain():
        return await scan_and_delete(nodes, f"{NAMESPACE}:plots:*", False)

    async def pipelined():
        return await scan_and_delete(nodes, f"{NAMESPACE}:plots:*", True)

    for name, way in (("module layer task", module_task), ("SCAN + DEL per key", plain),
                      ("SCAN + pipelined DELs per page", pipelined)):
        await clear_namespace(client)
        planted, others = await plant(client, count)
        started = time.perf_counter()
        deleted = await way()
        seconds = time.perf_counter() - started
        left = [k async for k in client.scan_iter(match=f"{NAMESPACE}:*", count=1000)]
        figures[name] = {"seconds": seconds, "deleted": deleted, "keys_per_s": deleted / seconds,
                         "correct": deleted == planted and len(left) == others}
    await clear_namespace(client)
    for node in nodes if sharded else []:
        await node.aclose()
    print("FIGURES " + json.dumps(figures))


async def invalidation(args, settings, results):
    env = {k: v for k, v in os.environ.items() if not k.startswith("REDIS_SENTINEL")}
    targets = {"cluster": dict(env, REDIS_CLUSTER_NODES=settings["REDIS_CLUSTER_NODES"], REDIS_DB="0"),
               "one server": dict(env, REDIS_DB=lb.BENCH_REDIS_DB)}
    rows = {}
    for name, target_env in targets.items():
        done = subprocess.run([sys.executable, os.path.abspath(__file__), "--invalidation-child", name,
                               "--keys", str(args.keys)], env=target_env, capture_output=True, text=True)
        line = [x for x in done.stdout.splitlines() if x.startswith("FIGURES ")]
        if done.returncode or not line:
            sys.exit(f"invalidation on {name} failed:\n{done.stdout[-2000:]}{done.stderr[-3000:]}")
        rows[name] = json.loads(line[0][len("FIGURES "):])
        base = rows[name]["SCAN + DEL per key"]["seconds"]
        for way in ("module layer task", "SCAN + DEL per key", "SCAN + pipelined DELs per page"):
            f = rows[name][way]
            print(f"  {name} ({rows[name]['primaries']} primar{'ies' if rows[name]['primaries'] > 1 else 'y'}), "
                  f"{way}: {f['deleted']} keys in {f['seconds']:.2f} s ({f['keys_per_s']:.0f}/s), "
                  f"{f['seconds'] / base:.2f} x the plain SCAN + DEL{'' if f['correct'] else '  WRONG KEYS'}")
    results["invalidation"] = rows


# ---------------------------------------------------------------- replica lag

async def lag(args, settings, url, results):
    import asyncpg

    primary_url = lb.plain_url(os.environ["DATABASE_URL"])
    replica_url = lb.plain_url(settings["REPLICA_DATABASE_URL"])
    primary = await asyncpg.connect(primary_url)
    replica = await asyncpg.connect(replica_url)
    writers = [await asyncpg.connect(primary_url) for _ in range(args.writers)]
    await primary.execute("CREATE TABLE IF NOT EXISTS bench_replica_marks (id bigserial PRIMARY KEY, "
                          "at timestamptz NOT NULL DEFAULT clock_timestamp())")
    await primary.execute("CREATE TABLE IF NOT EXISTS bench_replica_load (id bigserial PRIMARY KEY, "
                          "payload text NOT NULL)")
    # The development cluster commits asynchronously; the probe commits as a
    # production primary would, so that its lag is the replica's alone.
    await primary.execute("SET synchronous_commit = on")
    for _ in range(200):
        if await replica.fetchval("SELECT to_regclass('bench_replica_load') IS NOT NULL"):
            break
        await primary.execute("SELECT txid_current()")
        await asyncio.sleep(0.05)
    rows = {}
    try:
        for phase in ("idle", "write load"):
            stop = asyncio.Event()
            written = [0]

            async def write(connection):
                while not stop.is_set():
                    await connection.execute("INSERT INTO bench_replica_load (payload) "
                                             "SELECT repeat(md5(g::text), 8) FROM generate_series(1, 1000) g")
                    written[0] += 1000

            tasks = [asyncio.create_task(write(w)) for w in writers] if phase == "write load" else []
            visible, replay = [], []
            deadline = time.monotonic() + args.lag_seconds
            while time.monotonic() < deadline:
                mark = await primary.fetchval("INSERT INTO bench_replica_marks DEFAULT VALUES RETURNING id")
                sent = time.perf_counter()
                while not await replica.fetchval("SELECT EXISTS (SELECT 1 FROM bench_replica_marks WHERE id = $1)",
                                                 mark):
                    await asyncio.sleep(0.002)
                visible.append((time.perf_counter() - sent) * 1000)
                replay.append(await replica.fetchval(
                    "SELECT extract(epoch FROM now() - pg_last_xact_replay_timestamp()) * 1000"))
                await asyncio.sleep(0.05)
            stop.set()
            await asyncio.gather(*tasks)
            rows[phase] = {"probes": len(visible), "visible_ms_p50": lb.quantile(visible, 0.5),
                           "visible_ms_p99": lb.quantile(visible, 0.99), "visible_ms_max": max(visible),
                           "replay_delay_ms_p50": lb.quantile(replay, 0.5),
                           "rows_written_per_s": written[0] / args.lag_seconds}
            r = rows[phase]
            print(f"  {phase}: a committed row visible on the replica after {r['visible_ms_p50']:.1f} ms "
                  f"(p50), {r['visible_ms_p99']:.1f} ms (p99), {r['visible_ms_max']:.1f} ms (max), "
                  f"{r['probes']} probes; {r['rows_written_per_s']:.0f} rows of 256 bytes written a second")
    finally:
        await primary.execute("DROP TABLE IF EXISTS bench_replica_marks, bench_replica_load")
        for c in [primary, replica, *writers]:
            await c.close()
    results["lag"] = rows


async def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only", nargs="+", choices=("hits", "invalidation", "lag"),
                        default=["hits", "invalidation", "lag"])
    parser.add_argument("--workers", nargs="+", type=int, default=[1, 2, 4])
    parser.add_argument("--seconds", type=int, default=8)
    parser.add_argument("--warmup", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--connections", type=int, default=32)
    parser.add_argument("--clients", type=int, default=2000)
    parser.add_argument("--tiles", type=int, default=200)
    parser.add_argument("--keys", type=int, default=100_000)
    parser.add_argument("--writers", type=int, default=2)
    parser.add_argument("--lag-seconds", type=float, default=8)
    parser.add_argument("--invalidation-child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.invalidation_child:
        await invalidation_child(args.invalidation_child, args.keys)
        return
    lb.load_env()
    settings = cluster_settings()
    url = os.environ["DATABASE_URL"]
    results = {"load_average": os.getloadavg()}
    log_dir = tempfile.mkdtemp(prefix="bench-cluster-")
    print(f"load average {results['load_average'][0]:.1f}; logs in {log_dir}")
    if "hits" in args.only:
        print(f"hits, uvicorn workers sharing one Redis server or the cluster (wrk -c {args.connections}, "
              f"{args.seconds} s after {args.warmup} s of warm-up, {args.clients} client addresses, "
              f"{args.rounds} rounds):")
        db = await lb.Database(url).connect()
        try:
            await hits(args, settings, url, db, log_dir, results)
        finally:
            await db.stats.close()
            await db.data.close()
    if "invalidation" in args.only:
        print(f"invalidation of {args.keys} keys of one layer:")
        await invalidation(args, settings, results)
    if "lag" in args.only:
        print(f"replica lag ({args.writers} writers under load, {args.lag_seconds:.0f} s a phase):")
        await lag(args, settings, url, results)
    print("figures in " + lb.write_figures("bench_cluster", results))


if __name__ == "__main__":
    asyncio.run(main())
