"""Load benchmark of the demo app (host/app.py) under uvicorn, over HTTP.

uvicorn runs as the demo runs it, on uvloop's event loop with the httptools
parser (--loop uvloop --http httptools).

    python bench/load_bench.py [--parcels 200000] [--seconds 20] [--clients 100]

One command does all of it, against the benchmark data set (bench/bench_db.sh,
database "terrava_bench") and the project's Redis (a database of its own,
REDIS_DB 10), on 127.0.0.1 only:

1. A seeded panning trace: each simulated map client walks over the parcels at
   zooms 12 to 17 (pans, zooms in and out, returns to views it saw), asking
   for the tiles of its view: plots always, roads on part of them, beacons
   from zoom 16. wrk (bench/wrk_trace.lua) replays it, each client under its
   own address (X-Forwarded-For, which uvicorn trusts from 127.0.0.1 only).
2. Trace phases, one and two workers sharing Redis: cold (the "mvt_v8:*"
   keys flushed first), warm (the requests the cold pass sent, again) and
   warm, repeated (those requests over and over). Each is bounded by the
   trace's length and by --seconds. Reported: requests per second, p50
   and p99 latency, answers by status, cache hits, and the database
   connections of the bench database (pg_stat_activity sampled every 0.2 s).
3. One client's limit with two workers: one address sending as fast as it
   can for a few seconds; the 200 answers per second against the limit.
4. The cache shared between processes: tiles warmed through one server
   process, then asked of another one.
5. Stampede: many clients asking for the same cold tile at once; the tile
   statements the database ran (index scans of "GIS"."PLOT") and latency.
6. Deed plans while tiles are served: the tile p99 at a fixed moderate rate
   with and without a loop of /plans/deed/{id}, and how long a plan holds the
   event loop (latency of a probe request sent every 50 ms).

7. Through the serving stack (scripts/serve.sh: nginx, the edge cache, tile
   and plan workers of their own), with --only stack (or stack-plans,
   stack-warm, stack-cold): the plans phase above through the stack, with the
   edge cache and without it (every tile then reaches the tile worker); warm
   tiles from the edge against the same tiles from the workers directly and
   against nginx serving static files of the same bytes (the machine's
   limit for an answer of that size); cold tiles through the stack against
   the workers directly. The stack's nginx believes the X-Forwarded-For of
   127.0.0.1 (TERRAVA_TRUSTED_PROXIES), as it would a load balancer's, so
   every simulated client keeps its own address and limit. A table of ratios
   closes the run.

The figures of one run go to out/load_bench.json as well. Nothing here asserts
timings: it prints what it measured. --only picks phases (trace, limit, cache,
stampede, plans, stack); the default leaves the stack out.
"""

import argparse
import asyncio
import json
import math
import os
import random
import secrets
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = os.path.join(ROOT, "host")
LUA = os.path.join(ROOT, "bench", "wrk_trace.lua")
SERVE = os.path.join(ROOT, "scripts", "serve.sh")
BENCH_REDIS_DB = os.environ.get("TERRAVA_LOAD_REDIS_DB", "10")
LOOPBACK = "127.0.0.1"
HALF_WORLD = 20037508.342789244


def load_env():
    path = os.path.join(ROOT, ".services", "env")
    if os.path.exists(path):
        for line in open(path):
            line = line.strip()
            if line and not line.startswith("#") and "=" in line:
                name, value = line.split("=", 1)
                os.environ.setdefault(name, value)


def bench_database_url(parcels):
    url = os.environ.get("TERRAVA_BENCH_DATABASE_URL")
    if url:
        return url
    out = subprocess.run(["bash", os.path.join(ROOT, "bench", "bench_db.sh"), str(parcels)],
                         check=True, stdout=subprocess.PIPE, text=True,
                         env=dict(os.environ, PYTHON=os.environ.get("PYTHON", sys.executable))).stdout
    return out.strip().splitlines()[-1]


def plain_url(url, database=None):
    """asyncpg's form of the SQLAlchemy URL, optionally on another database."""
    url = url.replace("postgresql+asyncpg://", "postgresql://", 1)
    if database:
        url = url.rsplit("/", 1)[0] + "/" + database
    return url


# ---------------------------------------------------------------- the trace

def tile_of(mx, my, z):
    n = 2 ** z
    x = int((mx + HALF_WORLD) / (2 * HALF_WORLD) * n)
    y = int((HALF_WORLD - my) / (2 * HALF_WORLD) * n)
    return min(max(x, 0), n - 1), min(max(y, 0), n - 1)


def view_tiles(cx, cy, z, cols=4, rows=3):
    """Tiles of a 1024 x 768 pixel view centred on tile (cx, cy)."""
    return [(z, cx + dx, cy + dy) for dy in range(-(rows // 2), rows - rows // 2)
            for dx in range(-(cols // 2), cols - cols // 2)]


def make_trace(extent, clients, steps, seed=20261208):
    """[(client, path)] in each client's order. A step pans by one or two tiles
    (only the tiles that came into view are asked for), zooms in or out by one
    (the whole view), or goes back to a view seen before (the whole view
    again: the browser's cache does not keep everything)."""
    rng = random.Random(seed)
    minx, miny, maxx, maxy = extent
    trace = []
    for client in range(clients):
        mx, my = rng.uniform(minx, maxx), rng.uniform(miny, maxy)
        z = rng.choice([12, 13, 14, 15, 15, 16, 16, 17])
        seen_views = []
        previous = set()
        for _ in range(steps):
            move = rng.random()
            full = False
            if move < 0.6:  # pan
                size = 40075016.686 / 2 ** z
                mx = min(max(mx + rng.choice([-2, -1, 1, 2]) * size * rng.random(), minx), maxx)
                my = min(max(my + rng.choice([-2, -1, 1, 2]) * size * rng.random(), miny), maxy)
            elif move < 0.85:  # zoom
                z = min(17, max(12, z + rng.choice([-1, 1])))
                full = True
            elif seen_views:  # back to an earlier view
                mx, my, z = rng.choice(seen_views)
                full = True
            seen_views.append((mx, my, z))
            cx, cy = tile_of(mx, my, z)
            tiles = view_tiles(cx, cy, z)
            wanted = tiles if full else [t for t in tiles if t not in previous]
            previous = set(tiles)
            for (tz, tx, ty) in wanted:
                trace.append((client, f"/gis/plots/{tz}/{tx}/{ty}.pbf"))
                if rng.random() < 0.3:
                    trace.append((client, f"/gis/roads/{tz}/{tx}/{ty}.pbf"))
                if tz >= 16 and rng.random() < 0.3:
                    trace.append((client, f"/gis/beacons/{tz}/{tx}/{ty}.pbf"))
    return trace


def centre_tile(extent, z, layer="plots"):
    """The tile at the middle of the data at zoom z."""
    x, y = tile_of((extent[0] + extent[2]) / 2, (extent[1] + extent[3]) / 2, z)
    return f"/gis/{layer}/{z}/{x}/{y}.pbf"


def write_trace(trace, path):
    with open(path, "w") as out:
        for client, tile_path in trace:
            out.write(f"{client}\t{tile_path}\n")


# ---------------------------------------------------------------- servers

def free_port():
    with socket.socket() as s:
        s.bind((LOOPBACK, 0))
        return s.getsockname()[1]


# How a server is started. "uvicorn" is the way the demo serves: uvicorn on
# uvloop's event loop with the httptools parser. "uvicorn-plain" is uvicorn
# on its pure-Python defaults (asyncio's loop, h11) and "granian" the Rust
# server over ASGI, both for bench/bench_servers.py. Every one trusts
# X-Forwarded-For from 127.0.0.1 only.
SERVERS = ("uvicorn-plain", "uvicorn", "granian")


def granian_app():
    """host/app.py for granian, which has no option of its own for the
    X-Forwarded-For of a trusted proxy: its ASGI wrapper does it, as
    uvicorn's --proxy-headers does (granian's --factory calls this in each
    worker)."""
    from granian.utils.proxies import wrap_asgi_with_proxy_headers

    import app

    return wrap_asgi_with_proxy_headers(app.app, trusted_hosts=[LOOPBACK])


def granian_loop():
    try:
        import uvloop  # noqa: F401
    except ImportError:
        return "auto"
    return "uvloop"


def server_command(kind, port, workers):
    if kind == "granian":
        return [sys.executable, "-m", "granian", "--interface", "asgi", "--host", LOOPBACK,
                "--port", str(port), "--workers", str(workers), "--loop", granian_loop(),
                "--no-ws", "--log-level", "warning", "--no-access-log",
                "--factory", "load_bench:granian_app"]
    if kind not in ("uvicorn", "uvicorn-plain"):
        raise ValueError(f"unknown server {kind!r}")
    loop, http = ("uvloop", "httptools") if kind == "uvicorn" else ("asyncio", "h11")
    return [sys.executable, "-m", "uvicorn", "app:app", "--host", LOOPBACK, "--port", str(port),
            "--workers", str(workers), "--loop", loop, "--http", http,
            "--proxy-headers", "--forwarded-allow-ips", LOOPBACK, "--no-access-log", "--log-level", "warning"]


class Server:
    """host/app.py served on a free loopback port (by uvicorn on uvloop and
    httptools unless `kind` names another of SERVERS); `env` adds to or
    replaces the workers' environment."""

    def __init__(self, database_url, workers, log_dir, name, kind="uvicorn", env=None):
        self.port = free_port()
        self.kind = kind
        env = {**os.environ, "DATABASE_URL": database_url, "REDIS_DB": BENCH_REDIS_DB, "LOG_LEVEL": "WARNING",
               **(env or {})}
        # granian imports granian_app from this file, and the app from host/.
        paths = [HOST, os.path.join(ROOT, "bench"), env.get("PYTHONPATH", "")]
        env["PYTHONPATH"] = os.pathsep.join(p for p in paths if p)
        self.log = open(os.path.join(log_dir, f"{kind}-{name}.log"), "w")
        self.process = subprocess.Popen(
            server_command(kind, self.port, workers), cwd=HOST, env=env, stdout=self.log,
            stderr=subprocess.STDOUT)

    async def wait_ready(self, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"{self.kind} exited with {self.process.returncode}; see {self.log.name}")
            try:
                status, _, _ = await http_get(self.port, "/gis/layers/")
                if status == 200:
                    return
            except OSError:
                pass
            await asyncio.sleep(0.2)
        raise RuntimeError(f"{self.kind} did not answer in time; see {self.log.name}")

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


class Stack:
    """The serving stack (scripts/serve.sh) on the benchmark's data: nginx on
    a free loopback port in front of `workers` tile workers and two plan
    workers, in a directory of its own under `log_dir`, the edge cache on or
    off, /static/ served from `static_dir`. nginx believes 127.0.0.1's
    X-Forwarded-For, as it would a load balancer's."""

    def __init__(self, database_url, workers, log_dir, name, edge_cache=True, static_dir=None):
        self.port = free_port()
        self.token = secrets.token_hex(8)
        self.directory = os.path.join(log_dir, f"stack-{name}")
        os.makedirs(self.directory, exist_ok=True)
        for path in (log_dir, self.directory):
            os.chmod(path, 0o755)  # nginx's workers keep sockets and cache in there
        self.env = dict(os.environ, TERRAVA_SERVE_DIR=self.directory, SERVE_PORT=str(self.port),
                        DATABASE_URL=database_url, REDIS_DB=BENCH_REDIS_DB, LOG_LEVEL="WARNING",
                        TERRAVA_WORKERS=str(workers), TERRAVA_PLAN_WORKERS="2",
                        TERRAVA_TRUSTED_PROXIES=LOOPBACK, TERRAVA_EDGE_CACHE="1" if edge_cache else "0",
                        TERRAVA_OPERATOR_TOKEN=self.token)
        if static_dir:
            self.env["TERRAVA_STATIC_DIR"] = static_dir
        self.log = os.path.join(self.directory, "serve.log")

    async def wait_ready(self):
        with open(self.log, "ab") as log:
            process = await asyncio.create_subprocess_exec(SERVE, "start", env=self.env, stdout=log, stderr=log)
            if await process.wait() != 0:
                raise RuntimeError(f"the stack did not start; see {self.log}")

    async def invalidate_all(self):
        connection = await Connection().open(self.port)
        try:
            status, _, body = await connection.get("/gis/cache/invalidate/all", method="POST",
                                                   headers={"X-Operator-Token": self.token})
        finally:
            connection.close()
        if status != 200:
            raise RuntimeError(f"invalidation answered {status}: {body[:200]!r}")

    def stop(self):
        with open(self.log, "ab") as log:
            subprocess.run([SERVE, "stop"], env=self.env, stdout=log, stderr=log, timeout=120)


# ---------------------------------------------------------------- HTTP

class Connection:
    """One keep-alive HTTP/1.1 connection, enough for this benchmark's GETs."""

    async def open(self, port):
        self.reader, self.writer = await asyncio.open_connection(LOOPBACK, port)
        self.port = port
        return self

    def send(self, path, client=None, method="GET", headers=None):
        lines = [f"{method} {path} HTTP/1.1", f"Host: {LOOPBACK}:{self.port}"]
        if client:
            lines.append(f"X-Forwarded-For: {client}")
        lines += [f"{name}: {value}" for name, value in (headers or {}).items()]
        if method != "GET":
            lines.append("Content-Length: 0")
        self.writer.write(("\r\n".join(lines) + "\r\n\r\n").encode())

    async def receive(self):
        head = await self.reader.readuntil(b"\r\n\r\n")
        status_line, *header_lines = head.decode("latin-1").split("\r\n")
        status = int(status_line.split()[1])
        headers = {}
        for line in header_lines:
            if ":" in line:
                name, value = line.split(":", 1)
                headers[name.strip().lower()] = value.strip()
        if "content-length" in headers:
            body = await self.reader.readexactly(int(headers["content-length"]))
        elif headers.get("transfer-encoding") == "chunked":
            body = b""
            while True:
                size = int((await self.reader.readuntil(b"\r\n")).strip(), 16)
                body += await self.reader.readexactly(size + 2)
                if size == 0:
                    break
        else:
            body = b""
        return status, headers, body

    async def get(self, path, client=None, method="GET", headers=None):
        self.send(path, client, method, headers)
        await self.writer.drain()
        return await self.receive()

    def close(self):
        self.writer.close()


async def http_get(port, path, client=None):
    connection = await Connection().open(port)
    try:
        return await connection.get(path, client)
    finally:
        connection.close()


def quantile(values, q):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, math.ceil(q * len(ordered)) - 1))]


# ---------------------------------------------------------------- database and Redis

class Database:
    def __init__(self, url):
        self.url = url
        self.name = url.rsplit("/", 1)[1]

    async def connect(self):
        import asyncpg
        # Statistics are read from another database, so that reading them
        # adds no transactions to the bench database's own counters.
        self.stats = await asyncpg.connect(plain_url(self.url, "postgres"))
        self.data = await asyncpg.connect(plain_url(self.url))
        return self

    async def counters(self, settle=1.5):
        """Transactions of the bench database and index scans of the parcel
        table so far. Backends report their statistics when idle, at most
        once a second: wait that long first."""
        await asyncio.sleep(settle)
        await self.data.execute("SELECT pg_stat_clear_snapshot()")
        scans = await self.data.fetchval(
            "SELECT coalesce(idx_scan, 0) + coalesce(seq_scan, 0) FROM pg_stat_user_tables "
            "WHERE schemaname = 'GIS' AND relname = 'PLOT'")
        xacts = await self.stats.fetchval(
            "SELECT xact_commit + xact_rollback FROM pg_stat_database WHERE datname = $1", self.name)
        return {"plot_scans": scans, "transactions": xacts}

    async def sample_connections(self, stop, every=0.2):
        """Largest numbers of the bench database's client connections seen:
        open, in use (not idle), idle in transaction (a transaction between
        two of its round trips, waiting for the event loop), and the longest
        such wait; then, once the load has stopped, those still in a
        transaction (a leak if not 0)."""
        query = (
            "SELECT count(*) AS open, count(*) FILTER (WHERE state <> 'idle') AS in_use, "
            "count(*) FILTER (WHERE state LIKE 'idle in transaction%') AS in_transaction, "
            "coalesce(max(extract(epoch FROM now() - state_change) * 1000) "
            "FILTER (WHERE state LIKE 'idle in transaction%'), 0) AS longest_ms "
            "FROM pg_stat_activity WHERE datname = $1 AND backend_type = 'client backend' AND pid <> $2")
        peak = {"open": 0, "in_use": 0, "in_transaction": 0, "longest_ms": 0.0}
        while not stop.is_set():
            row = await self.stats.fetchrow(query, self.name, self.data.get_server_pid())
            for name in peak:
                peak[name] = max(peak[name], float(row[name]) if name == "longest_ms" else row[name])
            try:
                await asyncio.wait_for(stop.wait(), every)
            except asyncio.TimeoutError:
                pass
        # Requests cut off by the end of the run are still being answered:
        # wait until the server has finished them (at most 40 s).
        started = time.monotonic()
        while True:
            row = await self.stats.fetchrow(query, self.name, self.data.get_server_pid())
            if row["in_use"] == 0 or time.monotonic() - started > 40:
                break
            await asyncio.sleep(0.2)
        peak["drain_s"] = time.monotonic() - started
        peak["in_use_at_rest"] = row["in_use"]
        peak["in_transaction_at_rest"] = row["in_transaction"]
        return peak

    async def extent(self):
        row = await self.data.fetchrow(
            'SELECT ST_XMin(e) AS minx, ST_YMin(e) AS miny, ST_XMax(e) AS maxx, ST_YMax(e) AS maxy '
            'FROM (SELECT ST_Extent("GEOMETRY") AS e FROM "GIS"."PLOT") AS s')
        return row["minx"], row["miny"], row["maxx"], row["maxy"]

    async def parcels(self, count, seed=7):
        ids = await self.data.fetch('SELECT "ID" FROM "GIS"."PLOT" ORDER BY "ID"')
        rng = random.Random(seed)
        return [r["ID"] for r in rng.sample(ids, count)]


async def flush_tiles(redis):
    """Deletes the tile cache ("mvt_v8:*") and the rate counters."""
    deleted = 0
    for pattern in ("mvt_v8:*", "rate_limit:*"):
        batch = []
        async for key in redis.scan_iter(match=pattern, count=1000):
            batch.append(key)
            if len(batch) >= 1000:
                deleted += await redis.delete(*batch)
                batch = []
        if batch:
            deleted += await redis.delete(*batch)
    return deleted


# ---------------------------------------------------------------- wrk

async def run_wrk(port, trace_file, seconds, connections, threads=2, delay_ms=0, limit=0, cycle=False,
                  gzip=False):
    env = dict(os.environ, TRACE_FILE=trace_file, TRACE_DELAY=str(delay_ms), TRACE_LIMIT=str(limit),
               TRACE_THREADS=str(threads), TRACE_CYCLE="1" if cycle else "0", TRACE_GZIP="1" if gzip else "0")
    process = await asyncio.create_subprocess_exec(
        "wrk", "-t", str(threads), "-c", str(connections), "-d", f"{seconds}s", "--timeout", "35s",
        "-s", LUA, f"http://{LOOPBACK}:{port}", env=env,
        stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.STDOUT)
    lines = []
    finished = 0
    while True:
        line = await process.stdout.readline()
        if not line:
            break
        lines.append(line.decode())
        if line.startswith(b"THREAD-DONE"):
            finished += 1
            if finished == threads:
                # wrk would wait out -d; SIGINT ends it now, with its report.
                process.send_signal(signal.SIGINT)
    await process.wait()
    text = "".join(lines)
    for line in text.splitlines():
        if line.startswith("RESULT "):
            return json.loads(line[len("RESULT "):])
    raise RuntimeError("wrk gave no result:\n" + text)


async def measured_wrk(db, *args, **kwargs):
    """wrk, with the bench database's connections sampled while it runs."""
    stop = asyncio.Event()
    sampler = asyncio.create_task(db.sample_connections(stop))
    try:
        result = await run_wrk(*args, **kwargs)
    finally:
        stop.set()
    result["db_connections"] = await sampler
    return result


def rps(result):
    return result["requests"] / result["duration_s"] if result["duration_s"] else 0.0


def errors(result):
    bad = sum(n for status, n in result["statuses"].items() if int(status) >= 500)
    return bad + sum(result["socket_errors"].values())


async def cached_tiles(server, trace, count):
    """Up to `count` plots tiles of the trace that hold parcels, generated
    and cached through `server`; each then answers X-Cache: HIT."""
    paths = list(dict.fromkeys(p for _, p in trace if p.startswith("/gis/plots/")))
    connection = await Connection().open(server.port)
    tiles = []
    try:
        for i, path in enumerate(paths):
            address = f"10.93.{i // 250 % 250}.{i % 250 + 1}"
            status, _, _ = await connection.get(path, address)
            if status != 200:
                continue  # empty (204), never cached
            _, headers, _ = await connection.get(path, address)
            if headers.get("x-cache") == "HIT":
                tiles.append(path)
            if len(tiles) == count:
                break
    finally:
        connection.close()
    return tiles


def hits_trace(tiles, clients, length, seed=11):
    """[(client, path)]: the cached tiles in a seeded order, the clients in
    turn, so that every address sends about the same share."""
    rng = random.Random(seed)
    order = [tiles[i % len(tiles)] for i in range(length)]
    rng.shuffle(order)
    return [(i % clients, path) for i, path in enumerate(order)]


# ---------------------------------------------------------------- phases

async def trace_phases(db, redis, url, workers, trace_file, args, log_dir, results):
    server = Server(url, workers, log_dir, f"trace-{workers}")
    try:
        await server.wait_ready()
        await flush_tiles(redis)
        limit = 0
        for phase in ("cold", "warm", "warm, repeated"):
            # The warm pass repeats exactly the requests the cold one sent;
            # the repeated one goes round them for the whole time.
            result = await measured_wrk(db, server.port, trace_file, args.seconds, args.connections,
                                        limit=limit, cycle=phase == "warm, repeated")
            if phase == "cold":
                limit = -(-result["sent"] // 2)
            result["name"] = f"{workers} worker{'s' if workers > 1 else ''}, {phase}"
            results["trace"].append(result)
            print_trace_row(result)
    finally:
        server.stop()


async def client_limit(db, redis, url, path, trace_dir, log_dir, results, seconds=6):
    """One address against one and two workers: 200 answers per second."""
    for workers in (1, 2):
        server = Server(url, workers, log_dir, f"limit-{workers}")
        try:
            await server.wait_ready()
            await flush_tiles(redis)
            status, _, _ = await http_get(server.port, path, "10.99.0.1")  # cache it
            await asyncio.sleep(1.1)  # the warming request's window closes
            trace_file = os.path.join(trace_dir, "one-client.txt")
            write_trace([(0, path)] * 200000, trace_file)
            result = await run_wrk(server.port, trace_file, seconds, 8, threads=1)
            ok = result["statuses"].get("200", 0)
            refused = result["statuses"].get("429", 0)
            row = {"workers": workers, "seconds": result["duration_s"], "ok": ok, "refused": refused,
                   "ok_per_second": ok / result["duration_s"], "rps": rps(result), "errors": errors(result)}
            results["client_limit"].append(row)
            print(f"  one client, {workers} worker(s): {ok} x 200 and {refused} x 429 in "
                  f"{result['duration_s']:.1f} s = {row['ok_per_second']:.1f} passed per second "
                  f"(limit 40), {row['rps']:.0f} requests/s, {row['errors']} errors")
        finally:
            server.stop()


async def shared_cache(db, redis, url, trace, log_dir, results, tiles=200):
    """Tiles cached through server A are hits on server B, a process of its own."""
    paths = []
    for _, path in trace:
        if path.startswith("/gis/plots/") and path not in paths:
            paths.append(path)
        if len(paths) == tiles:
            break
    await flush_tiles(redis)
    a = Server(url, 1, log_dir, "cache-a")
    b = Server(url, 1, log_dir, "cache-b")
    try:
        await a.wait_ready()
        await b.wait_ready()
        before = await db.counters()
        connection = await Connection().open(a.port)
        statuses_a = [
            (await connection.get(p, f"10.98.{i // 250}.{i % 250 + 1}"))[0] for i, p in enumerate(paths)]
        connection.close()
        middle = await db.counters()
        connection = await Connection().open(b.port)
        hits = 0
        statuses_b = []
        for i, p in enumerate(paths):
            status, headers, _ = await connection.get(p, f"10.97.{i // 250}.{i % 250 + 1}")
            statuses_b.append(status)
            hits += headers.get("x-cache") == "HIT"
        connection.close()
        after = await db.counters()
    finally:
        a.stop()
        b.stop()
    cached = statuses_a.count(200)
    row = {"tiles": len(paths), "generated_by_a": cached, "empty_204": statuses_a.count(204),
           "hits_on_b": hits, "plot_scans_a": middle["plot_scans"] - before["plot_scans"],
           "plot_scans_b": after["plot_scans"] - middle["plot_scans"]}
    results["shared_cache"] = row
    print(f"  {len(paths)} plot tiles through process A: {cached} generated and cached "
          f"({row['empty_204']} empty, 204, not cached), {row['plot_scans_a']} scans of PLOT;")
    print(f"  the same through process B: {hits} X-Cache HIT, {row['plot_scans_b']} scans of PLOT")


async def stampede(db, redis, url, tiles, log_dir, results, clients=50):
    """`clients` connections, opened beforehand, ask for one cold tile at once."""
    server = Server(url, 1, log_dir, "stampede")
    try:
        await server.wait_ready()
        # The first burst grows the connection pool (a new connection runs
        # statements of its own); the figures are of the bursts after it.
        for burst, path in enumerate([tiles[-1]] + tiles):
            # One request alone, cold, for comparison.
            await flush_tiles(redis)
            start = time.perf_counter()
            status, _, _ = await http_get(server.port, path, "10.96.0.1")
            alone_ms = (time.perf_counter() - start) * 1000
            await flush_tiles(redis)
            connections = [await Connection().open(server.port) for _ in range(clients)]
            before = await db.counters()

            async def one(i, connection):
                start = time.perf_counter()
                connection.send(path, f"10.95.{i // 250}.{i % 250 + 1}")
                await connection.writer.drain()
                status, headers, _ = await connection.receive()
                return status, headers.get("x-cache") == "HIT", (time.perf_counter() - start) * 1000

            answers = await asyncio.gather(*(one(i, c) for i, c in enumerate(connections)))
            for c in connections:
                c.close()
            after = await db.counters(settle=3.0)
            if burst == 0:
                continue
            latencies = [a[2] for a in answers]
            row = {"tile": path, "clients": clients, "status_alone": status, "alone_ms": alone_ms,
                   "statuses": {str(s): sum(1 for a in answers if a[0] == s) for s in {a[0] for a in answers}},
                   "hits": sum(a[1] for a in answers),
                   "generated": sum(1 for a in answers if not a[1]),
                   "plot_scans": after["plot_scans"] - before["plot_scans"],
                   "transactions": after["transactions"] - before["transactions"],
                   "p50_ms": quantile(latencies, 0.5), "max_ms": max(latencies)}
            results["stampede"].append(row)
            print(f"  {path}: alone {alone_ms:.0f} ms; {clients} at once: statuses {row['statuses']}, "
                  f"{row['hits']} hits, {row['generated']} answered from the database, "
                  f"{row['plot_scans']} scans of PLOT, {row['transactions']} transactions, "
                  f"p50 {row['p50_ms']:.0f} ms, max {row['max_ms']:.0f} ms")
    finally:
        server.stop()


async def plans_under_tiles(db, redis, url, probe_path, trace, trace_file, log_dir, results, seconds,
                            parcels):
    """Tile p99 at a fixed moderate rate, with and without deed plans rendered
    in the same worker; a probe every 50 ms shows the loop's stalls."""
    server = Server(url, 1, log_dir, "plans")
    try:
        await server.wait_ready()
        results["plans"] += await plans_beside_tiles(server, db, redis, probe_path, trace, log_dir, seconds,
                                                     parcels)
    finally:
        server.stop()


async def plans_beside_tiles(server, db, redis, probe_path, trace, log_dir, seconds, parcels, warmups=1):
    """Tiles at a fixed moderate rate through `server` (a Server or a Stack),
    alone and while one client asks for deed plans back to back; a probe every
    50 ms shows the stalls. `warmups` passes over the tiles first (the edge
    stores a tile the second time the workers answer it from Redis). Gives
    the two rows."""
    rows = []
    await flush_tiles(redis)
    # The tile load: the first 20 requests of every client's walk, cached
    # beforehand, so that both runs serve the same hits.
    taken = {}
    subset = []
    for client, path in trace:
        taken[client] = taken.get(client, 0) + 1
        if taken[client] <= 20:
            subset.append((client, path))
    trace_file = os.path.join(log_dir, "plans-trace.txt")
    write_trace(subset, trace_file)
    for _ in range(warmups):
        await run_wrk(server.port, trace_file, 6 * seconds, 16)
    await http_get(server.port, probe_path, "10.94.0.1")
    for with_plans in (False, True):
        stop = asyncio.Event()
        plan_times = []
        probe_times = []

        async def probe():
            connection = await Connection().open(server.port)
            while not stop.is_set():
                start = time.perf_counter()
                await connection.get(probe_path, "10.94.0.1")
                probe_times.append((time.perf_counter() - start) * 1000)
                await asyncio.sleep(0.05)
            connection.close()

        async def plans():
            connection = await Connection().open(server.port)
            i = 0
            while not stop.is_set():
                start = time.perf_counter()
                status, _, body = await connection.get(f"/plans/deed/{parcels[i % len(parcels)]}")
                if status != 200 or not body.startswith(b"%PDF"):
                    raise RuntimeError(f"deed plan answered {status}")
                plan_times.append((time.perf_counter() - start) * 1000)
                i += 1
            connection.close()

        tasks = [asyncio.create_task(probe())]
        if with_plans:
            tasks.append(asyncio.create_task(plans()))
        try:
            # 8 connections, each waiting 40 ms between requests: about
            # 150-200 tile requests per second when nothing stalls.
            result = await measured_wrk(db, server.port, trace_file, seconds, 8, threads=1, delay_ms=40,
                                        cycle=True)
        finally:
            stop.set()
            await asyncio.gather(*tasks)
        row = {"with_plans": with_plans, "rps": rps(result), "p50_ms": result["p50_ms"],
               "p99_ms": result["p99_ms"], "max_ms": result["max_ms"], "errors": errors(result),
               "statuses": result["statuses"], "hits": result["hits"], "requests": result["requests"],
               "plans": len(plan_times),
               "plan_p50_ms": quantile(plan_times, 0.5) if plan_times else None,
               "probe_p50_ms": quantile(probe_times, 0.5), "probe_max_ms": max(probe_times),
               "probe_p99_ms": quantile(probe_times, 0.99)}
        rows.append(row)
        label = "with deed plans" if with_plans else "tiles only     "
        plan_text = (f", {len(plan_times)} plans, plan p50 {row['plan_p50_ms']:.0f} ms"
                     if plan_times else "")
        print(f"  {label}: {row['rps']:.0f} tiles/s ({row['hits']}/{row['requests']} hits), p50 {row['p50_ms']:.1f} ms, p99 {row['p99_ms']:.1f} ms, "
              f"max {row['max_ms']:.0f} ms; probe p50 {row['probe_p50_ms']:.1f} ms, "
              f"max {row['probe_max_ms']:.0f} ms{plan_text}")
    return rows


async def stack_plans(db, redis, url, extent, trace, log_dir, results, seconds, parcels):
    """The plans phase through the stack, with the edge cache and without."""
    for edge_cache in (True, False):
        name = "on" if edge_cache else "off"
        print(f"  stack, edge cache {name}:")
        stack = Stack(url, 1, log_dir, f"plans-edge-{name}", edge_cache=edge_cache)
        try:
            await stack.wait_ready()
            rows = await plans_beside_tiles(stack, db, redis, centre_tile(extent, 14), trace, log_dir, seconds,
                                            parcels, warmups=2 if edge_cache else 1)
        finally:
            stack.stop()
        results["stack_plans"].append({"edge_cache": edge_cache, "rows": rows})


def median_of(runs):
    return {"rps": statistics.median(rps(r) for r in runs),
            "p50_ms": statistics.median(r["p50_ms"] for r in runs),
            "p99_ms": statistics.median(r["p99_ms"] for r in runs),
            "rps_rounds": [round(rps(r)) for r in runs],
            "requests": sum(r["requests"] for r in runs), "hits": sum(r["hits"] for r in runs),
            "edge_hits": sum(r.get("edge_hits", 0) for r in runs),
            "not_200": sum(n for r in runs for status, n in r["statuses"].items() if status != "200"),
            "errors": sum(errors(r) for r in runs)}


def print_run(name, result, indent="  "):
    statuses = " ".join(f"{k}:{v}" for k, v in sorted(result["statuses"].items()))
    print(f"{indent}{name:<22} {rps(result):7.0f} req/s  p50 {result['p50_ms']:6.1f} ms  "
          f"p99 {result['p99_ms']:7.1f} ms  edge hits {result.get('edge_hits', 0)}/{result['requests']}  "
          f"[{statuses}]  errors {errors(result)}  load {os.getloadavg()[0]:.2f}", flush=True)


async def rounds(targets, count, run):
    """`run(name, target)` for every target, `count` rounds, the order
    rotated from round to round; gives {name: [results]}."""
    names = list(targets)
    runs = {name: [] for name in names}
    for number in range(count):
        shift = number % len(names)
        for name in names[shift:] + names[:shift]:
            runs[name].append(await run(name, targets[name]))
    return runs


async def stack_warm(redis, url, trace, log_dir, results, args):
    """Cached tiles from the edge, the same tiles from the workers directly,
    and nginx's static files holding the same bytes, under the same wrk load
    (many client addresses, so that no limit is reached)."""
    await flush_tiles(redis)
    static_dir = os.path.join(log_dir, "static")
    os.makedirs(os.path.join(static_dir, "ref"), exist_ok=True)
    direct = Server(url, 1, log_dir, "warm-direct")
    stack = Stack(url, 1, log_dir, "warm", static_dir=static_dir)
    try:
        await direct.wait_ready()
        tiles = await cached_tiles(direct, trace, args.tiles)
        connection = await Connection().open(direct.port)
        copies, sizes = {}, []
        try:
            for i, tile in enumerate(tiles):
                _, _, body = await connection.get(tile, f"10.92.{i // 250 % 250}.{i % 250 + 1}")
                with open(os.path.join(static_dir, "ref", f"{i}.pbf"), "wb") as f:
                    f.write(body)
                copies[tile] = f"/static/ref/{i}.pbf"
                sizes.append(len(body))
        finally:
            connection.close()
        await stack.wait_ready()
        hits = hits_trace(tiles, args.stack_clients, 50 * args.stack_clients)
        tile_file = os.path.join(log_dir, "warm-tiles.txt")
        static_file = os.path.join(log_dir, "warm-static.txt")
        write_trace(hits, tile_file)
        write_trace([(client, copies[path]) for client, path in hits], static_file)
        print(f"  {len(tiles)} cached plots tiles, {statistics.mean(sizes) / 1024:.1f} KiB on average "
              f"(median {statistics.median(sizes) / 1024:.1f}); {args.stack_clients} client addresses; "
              f"wrk -t 2 -c {args.connections}, {args.seconds} s a run after {args.warmup} s of warm-up, "
              f"{args.stack_rounds} round(s)")
        # the edge stores a tile once the workers have answered it from Redis,
        # in each of its two forms (gzipped, as it is)
        for gzip in (False, True):
            await run_wrk(stack.port, tile_file, max(args.warmup, 3), args.connections, cycle=True, gzip=gzip)
        targets = {"edge": (stack.port, tile_file, False), "edge, gzip asked": (stack.port, tile_file, True),
                   "workers directly": (direct.port, tile_file, False),
                   "nginx, static file": (stack.port, static_file, False)}

        async def run(name, target):
            port, trace_file, gzip = target
            await run_wrk(port, trace_file, args.warmup, args.connections, cycle=True, gzip=gzip)
            result = await run_wrk(port, trace_file, args.seconds, args.connections, cycle=True, gzip=gzip)
            print_run(name, result)
            return result

        runs = await rounds(targets, args.stack_rounds, run)
    finally:
        stack.stop()
        direct.stop()
    results["stack_warm"] = {"tiles": len(tiles), "mean_bytes": statistics.mean(sizes),
                             "median": {name: median_of(r) for name, r in runs.items()}, "runs": runs}


async def stack_cold(db, redis, url, trace_file, log_dir, results, args):
    """The panning trace on a cold cache, through the stack and from the
    workers directly, in turn; a first pass through each, not counted, warms
    PostgreSQL's buffers and opens the workers' database connections."""
    direct = Server(url, 1, log_dir, "cold-direct")
    stack = Stack(url, 1, log_dir, "cold")
    try:
        await direct.wait_ready()
        await stack.wait_ready()
        for target in (direct, stack):
            await flush_tiles(redis)
            await run_wrk(target.port, trace_file, args.seconds, args.connections)

        async def run(name, target):
            if target is stack:
                await stack.invalidate_all()  # the edge as well
            await flush_tiles(redis)
            result = await measured_wrk(db, target.port, trace_file, args.seconds, args.connections)
            print_run(name, result)
            return result

        runs = await rounds({"workers directly": direct, "through the stack": stack}, args.stack_rounds, run)
    finally:
        stack.stop()
        direct.stop()
    results["stack_cold"] = {"median": {name: median_of(r) for name, r in runs.items()}, "runs": runs}


def print_stack_ratios(results):
    """The closing table: each comparison through the stack with its
    reference, their ratio and the goal."""
    table = []

    def plans_rows(label, rows):
        alone, beside = rows
        table.append((f"{label}: tile p99 while plans render", f"{beside['p99_ms']:.1f} ms",
                      f"{alone['p99_ms']:.1f} ms (tiles alone)", beside["p99_ms"] / alone["p99_ms"], "≤ 2"))
        table.append((f"{label}: tiles/s while plans render", f"{beside['rps']:.0f}",
                      f"{alone['rps']:.0f} (tiles alone)", beside["rps"] / alone["rps"], "≥ 0.8"))

    if results["plans"]:
        plans_rows("1 worker for tiles and plans", results["plans"])
    for entry in results["stack_plans"]:
        plans_rows(f"stack, edge cache {'on' if entry['edge_cache'] else 'off'}", entry["rows"])
    warm = results.get("stack_warm")
    if warm:
        m = warm["median"]
        edge = m["edge"]
        for reference, goal in (("nginx, static file", "≥ 0.8"), ("workers directly", "")):
            table.append((f"warm tiles from the edge, against {reference}", f"{edge['rps']:.0f} req/s",
                          f"{m[reference]['rps']:.0f} req/s", edge["rps"] / m[reference]["rps"], goal))
        table.append(("warm tiles from the edge, gzip asked, against none asked",
                      f"{m['edge, gzip asked']['rps']:.0f} req/s", f"{edge['rps']:.0f} req/s",
                      m["edge, gzip asked"]["rps"] / edge["rps"], ""))
        table.append(("warm tiles, p99, edge against workers directly", f"{edge['p99_ms']:.1f} ms",
                      f"{m['workers directly']['p99_ms']:.1f} ms",
                      edge["p99_ms"] / m["workers directly"]["p99_ms"], ""))
    cold = results.get("stack_cold")
    if cold:
        stack, direct = cold["median"]["through the stack"], cold["median"]["workers directly"]
        table.append(("cold tiles through the stack, against the workers directly", f"{stack['rps']:.0f} req/s",
                      f"{direct['rps']:.0f} req/s", stack["rps"] / direct["rps"], ""))
        table.append(("cold tiles, p99, through the stack against directly", f"{stack['p99_ms']:.0f} ms",
                      f"{direct['p99_ms']:.0f} ms", stack["p99_ms"] / direct["p99_ms"], ""))
    if not table:
        return
    print("\n| comparison | measured | reference | ratio | goal |")
    print("|---|---|---|---|---|")
    for name, measured, reference, ratio, goal in table:
        print(f"| {name} | {measured} | {reference} | {ratio:.2f} | {goal} |")


def print_trace_row(r):
    statuses = " ".join(f"{k}:{v}" for k, v in sorted(r["statuses"].items()))
    c = r["db_connections"]
    print(f"  {r['name']:<26} {rps(r):6.0f} req/s  p50 {r['p50_ms']:7.1f} ms  p99 {r['p99_ms']:7.1f} ms  "
          f"errors {errors(r)}  hits {r['hits']}/{r['requests']}  [{statuses}]  db connections: "
          f"open {c['open']}, in use {c['in_use']}, idle in transaction {c['in_transaction']} "
          f"(longest {c['longest_ms']:.0f} ms); after the run, drained in {c['drain_s']:.1f} s: in use "
          f"{c['in_use_at_rest']}, idle in transaction {c['in_transaction_at_rest']}")


async def open_bench_data(parcels):
    """The services' settings, wrk present, the benchmark database of `parcels`
    parcels (loaded when it differs) and the benchmark's Redis database: gives
    the database URL, a Redis client, the connected Database and its parcel
    count."""
    load_env()
    if subprocess.run(["which", "wrk"], stdout=subprocess.DEVNULL).returncode != 0:
        sys.exit("wrk is not installed (apt-get install wrk)")
    url = bench_database_url(parcels)
    import redis.asyncio as aioredis
    redis = aioredis.Redis(host=os.environ.get("REDIS_HOST", "localhost"),
                           port=int(os.environ.get("REDIS_PORT", "6379")), db=int(BENCH_REDIS_DB))
    db = await Database(url).connect()
    count = await db.data.fetchval('SELECT count(*) FROM "GIS"."PLOT"')
    return url, redis, db, count


def write_figures(name, figures):
    """Keeps a benchmark's figures in out/<name>.json; gives the path shown."""
    out = os.path.join(ROOT, "out")
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, f"{name}.json"), "w") as f:
        json.dump(figures, f, indent=1, default=str)
    return os.path.join("out", f"{name}.json")


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--parcels", type=int, default=200000)
    parser.add_argument("--seconds", type=int, default=20, help="bound of each wrk phase")
    parser.add_argument("--clients", type=int, default=100, help="simulated map clients of the trace")
    parser.add_argument("--steps", type=int, default=60, help="steps of each client's walk")
    parser.add_argument("--connections", type=int, default=64, help="wrk connections of the trace phases")
    parser.add_argument("--only", default="trace,limit,cache,stampede,plans",
                        help="phases: trace, limit, cache, stampede, plans, and through the serving stack "
                             "stack-plans, stack-warm, stack-cold (stack: all three)")
    parser.add_argument("--stack-rounds", type=int, default=3, help="rounds of the stack's warm and cold runs")
    parser.add_argument("--stack-clients", type=int, default=2000,
                        help="X-Forwarded-For addresses of the stack's warm runs")
    parser.add_argument("--tiles", type=int, default=300, help="distinct cached tiles of the stack's warm runs")
    parser.add_argument("--warmup", type=int, default=2, help="unmeasured wrk seconds before each warm run")
    args = parser.parse_args()
    url, redis, db, count = await open_bench_data(args.parcels)
    extent = await db.extent()
    trace = make_trace(extent, args.clients, args.steps)
    work = tempfile.mkdtemp(prefix="terrava-load-")
    trace_file = os.path.join(work, "trace.txt")
    write_trace(trace, trace_file)
    distinct = len({p for _, p in trace})
    print(f"database {db.name}: {count} parcels; trace: {len(trace)} requests of {args.clients} clients, "
          f"{distinct} distinct tiles; logs in {work}")
    results = {"parcels": count, "trace_requests": len(trace), "distinct_tiles": distinct,
               "clients": args.clients, "seconds": args.seconds, "connections": args.connections,
               "trace": [], "client_limit": [], "stampede": [], "plans": [], "stack_plans": []}
    only = set(args.only.split(","))
    if "stack" in only:
        only |= {"stack-plans", "stack-warm", "stack-cold"}
    try:
        if "trace" in only:
            print(f"\nPanning trace, wrk -t 2 -c {args.connections}, at most {args.seconds} s a phase:")
            for workers in (1, 2):
                await trace_phases(db, redis, url, workers, trace_file, args, work, results)
        if "limit" in only:
            print("\nOne client's limit (40 a second), shared by the workers:")
            await client_limit(db, redis, url, centre_tile(extent, 14), work, work, results)
        if "cache" in only:
            print("\nThe cache shared between processes:")
            await shared_cache(db, redis, url, trace, work, results)
        if "stampede" in only:
            print("\nStampede, one cold tile asked by 50 clients at once (1 worker):")
            await stampede(db, redis, url, [centre_tile(extent, z) for z in (12, 14, 16, 17)], work, results)
        if "plans" in only:
            print("\nDeed plans while tiles are served (1 worker, tiles at a fixed moderate rate):")
            await plans_under_tiles(db, redis, url, centre_tile(extent, 14), trace, trace_file, work, results, args.seconds,
                                    await db.parcels(40))
        if "stack-plans" in only:
            print("\nDeed plans while tiles are served, through the serving stack (plans on plan workers of their own):")
            await stack_plans(db, redis, url, extent, trace, work, results, args.seconds, await db.parcels(40))
        if "stack-warm" in only:
            print("\nWarm tiles: the edge, the workers directly, nginx's static files of the same bytes:")
            await stack_warm(redis, url, trace, work, results, args)
        if "stack-cold" in only:
            print(f"\nCold tiles, the panning trace (wrk -t 2 -c {args.connections}), through the stack and "
                  f"from the workers directly:")
            await stack_cold(db, redis, url, trace_file, work, results, args)
        print_stack_ratios(results)
    finally:
        await flush_tiles(redis)
        await redis.aclose()
        shown = write_figures("load_bench", results)
    print(f"\nfigures in {shown}")


if __name__ == "__main__":
    asyncio.run(main())
