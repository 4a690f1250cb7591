"""The tile service under a steady load while Redis and PostgreSQL misbehave.

    python3 bench/faults.py [--parcels 20000] [--concurrency 12] [--phase-seconds 10]

Starts its own uvicorn serving host/app.py on 127.0.0.1 (on uvloop and
httptools, as the demo serves, with --proxy-headers, so the load spreads over
many X-Forwarded-For client addresses and stays under the per-client rate
limit), drives a bounded load of tile requests
(half of them over a small set of tiles that the cache keeps, half over
tiles at random across the cadastre) and, phase by phase:

  baseline          nothing wrong
  redis down        Redis shut down (redis-cli shutdown nosave)
  redis back        Redis started again with its configuration: caching resumes
  redis stalled     redis-server stopped with SIGSTOP: it accepts, never answers
  redis resumed     SIGCONT
  postgres restart  pg_ctl restart -m fast while requests run
  postgres back     after the restart, nothing restarted in the service
  disconnects       parcel statements held on a lock; clients give up after 0.5 s
  statement timeout the parcel table locked for longer than the zoom's time-out

For each phase it reports the status codes, the latency (median, maximum),
cache hits, the module's WARNING and ERROR log lines per second, and
pg_stat_activity of the service's database role (connections, idle in
transaction, tile statements still running and the oldest of them).

The data set lives in a database of its own (bench/bench_db.sh), Redis
traffic goes to a database number of its own (REDIS_DB 9), and the services
are those of scripts/services.sh, which are left running at the end.
"""

import argparse
import asyncio
import collections
import math
import os
import random
import signal
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SERVICES = os.path.join(ROOT, ".services")
PG_BIN = "/usr/lib/postgresql/15/bin"
REDIS_DB = "9"
TILE_STATEMENT = "%ST_AsMVT%"


def load_env():
    path = os.path.join(SERVICES, "env")
    if os.path.exists(path):
        for line in open(path):
            line = line.strip()
            if line and not line.startswith("#") and "=" in line:
                name, value = line.split("=", 1)
                os.environ.setdefault(name, value.strip("'\""))
    # bench_db.sh starts the services on the ports they already run on
    url = os.environ.get("DATABASE_URL", "")
    if url:
        os.environ.setdefault("TERRAVA_PG_PORT", url.rsplit(":", 1)[1].split("/")[0])
    if "REDIS_PORT" in os.environ:
        os.environ.setdefault("TERRAVA_REDIS_PORT", os.environ["REDIS_PORT"])


def sh(*args, check=True):
    return subprocess.run(args, check=check, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True).stdout


def bench_database_url(parcels):
    url = os.environ.get("TERRAVA_BENCH_DATABASE_URL")
    if url:
        return url
    out = subprocess.run(["bash", os.path.join(ROOT, "bench", "bench_db.sh"), str(parcels)],
                         check=True, stdout=subprocess.PIPE, text=True).stdout
    return out.strip().splitlines()[-1]


def tile_of(lon, lat, z):
    n = 2 ** z
    x = int((lon + 180.0) / 360.0 * n)
    y = int((1.0 - math.asinh(math.tan(math.radians(lat))) / math.pi) / 2.0 * n)
    return x, y


class Services:
    """The project's Redis and PostgreSQL, as scripts/services.sh runs them."""

    def __init__(self):
        self.redis_port = os.environ.get("REDIS_PORT", "56379")
        self.redis_conf = os.path.join(SERVICES, "redis", "redis.conf")
        self.pg_base = open(os.path.join(SERVICES, "pg.base")).read().strip()

    def redis_cli(self, *args):
        return sh("redis-cli", "-h", "127.0.0.1", "-p", self.redis_port, *args, check=False)

    def redis_pid(self):
        return int(open(os.path.join(SERVICES, "redis", "redis.pid")).read())

    def stop_redis(self):
        self.redis_cli("shutdown", "nosave")

    def start_redis(self):
        sh("redis-server", self.redis_conf)
        for _ in range(50):
            if self.redis_cli("ping").strip() == "PONG":
                return
            time.sleep(0.1)
        raise RuntimeError("redis did not come back")

    def pg_ctl(self, *args):
        sh("runuser", "-u", "postgres", "--", f"{PG_BIN}/pg_ctl", "-D", f"{self.pg_base}/data",
           "-l", self.pg_log, "-w", "-t", "60", *args)

    @property
    def pg_log(self):
        return f"{self.pg_base}/postgres.log"

    def restart_postgres(self, down_seconds):
        """Stopped (fast: sessions are ended), down for `down_seconds`, started."""
        self.pg_ctl("-m", "fast", "stop")
        time.sleep(down_seconds)
        self.pg_ctl("start")


class Load:
    """Tile requests from `concurrency` workers until stopped, each recorded
    with the phase it started in."""

    def __init__(self, base_url, hot, cold, concurrency, max_requests):
        self.base_url, self.hot, self.cold = base_url, hot, cold
        self.concurrency, self.max_requests = concurrency, max_requests
        self.phase = "warm-up"
        self.records = []  # (phase, status, seconds, cache hit, path)
        self.running = True
        self.clients = [f"10.77.{i // 250}.{i % 250 + 1}" for i in range(400)]

    async def worker(self, client):
        rng = random.Random()
        while self.running and len(self.records) < self.max_requests:
            path = rng.choice(self.hot) if rng.random() < 0.5 else rng.choice(self.cold)
            phase, started = self.phase, time.monotonic()
            try:
                answer = await client.get(path, headers={
                    "X-Forwarded-For": rng.choice(self.clients)})
                status, hit = answer.status_code, answer.headers.get("x-cache") == "HIT"
                if status >= 500:
                    status = f"{status} {answer.json().get('detail')}"
            except Exception as exc:  # noqa: BLE001 - counted as a failure of the phase
                status, hit = type(exc).__name__, False
            self.records.append((phase, status, time.monotonic() - started, hit, path))

    async def run(self):
        import httpx

        limits = httpx.Limits(max_connections=self.concurrency * 2)
        async with httpx.AsyncClient(base_url=self.base_url, timeout=120, limits=limits) as c:
            await asyncio.gather(*(self.worker(c) for _ in range(self.concurrency)))


class Log:
    """What a log file gained since the last look: counts of the lines that
    contain each of `patterns`."""

    def __init__(self, path, patterns):
        self.path, self.patterns = path, patterns
        self.offset = os.path.getsize(path)

    def take(self):
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            data = f.read()
        self.offset += len(data)
        lines = data.decode(errors="replace").splitlines()
        return collections.Counter(name for line in lines
                                   for name, pattern in self.patterns.items() if pattern in line)


class Activity:
    """pg_stat_activity of the service's role, sampled on a connection of our own."""

    def __init__(self, url):
        self.url = url.replace("+asyncpg", "")
        self.conn = None
        self.ignored = 0  # the pid of the bench's own lock holder

    async def sample(self):
        import asyncpg

        try:
            if self.conn is None or self.conn.is_closed():
                self.conn = await asyncpg.connect(self.url, timeout=2)
            row = await self.conn.fetchrow(
                "SELECT count(*) AS connections,"
                " count(*) FILTER (WHERE state LIKE 'idle in transaction%') AS idle_in_tx,"
                " count(*) FILTER (WHERE state LIKE 'idle in transaction%'"
                "   AND now() - state_change > interval '1 second') AS idle_in_tx_1s,"
                " count(*) FILTER (WHERE state = 'active' AND query LIKE $1) AS tile_statements,"
                " coalesce(max(extract(epoch FROM now() - query_start))"
                "   FILTER (WHERE state = 'active' AND query LIKE $1), 0) AS oldest"
                " FROM pg_stat_activity WHERE usename = current_user AND datname = current_database()"
                " AND pid NOT IN (pg_backend_pid(), $2)", TILE_STATEMENT, self.ignored)
            return dict(row)
        except Exception:  # noqa: BLE001 - the database is down during its restart
            self.conn = None
            return None


class Phases:
    def __init__(self, load, log, pg_log, activity):
        self.load, self.log, self.pg_log, self.activity = load, log, pg_log, activity
        self.results = []

    async def run(self, name, seconds, during=None, sample_every=1.0):
        """Runs phase `name` for `seconds` while `during` (a coroutine
        function, given the phase's end time) acts; pg_stat_activity is
        sampled all along."""
        self.log.take()
        self.pg_log.take()
        self.load.phase = name
        started = time.monotonic()
        end = started + seconds
        samples = []
        action = asyncio.ensure_future(during(end)) if during else None
        while time.monotonic() < end or (action and not action.done()):
            samples.append(await self.activity.sample())
            await asyncio.sleep(sample_every)
        if action:
            await action
        elapsed = time.monotonic() - started
        counts = self.log.take() + self.pg_log.take()
        self.results.append((name, elapsed, counts, samples))


def report(phases, records, after):
    by_phase = collections.defaultdict(list)
    slowest = {}
    for phase, status, seconds, hit, path in records:
        by_phase[phase].append((status, seconds, hit))
        if seconds > slowest.get(phase, (0, ""))[0]:
            slowest[phase] = (seconds, f"{path} {status}")
    print(f"{'phase':<18}{'s':>4}{'requests':>9}{'p50 s':>7}{'max s':>7}{'hits':>6}"
          f"{'warn/s':>7}{'err/s':>6}  {'pg_stat_activity, max of the samples':<47}  statuses")
    for name, elapsed, counts, samples in phases:
        rows = by_phase.get(name, [])
        statuses = collections.Counter(status for status, _, _ in rows)
        latencies = [s for _, s, _ in rows] or [0.0]
        valid = [s for s in samples if s]
        top = {k: max(s[k] for s in valid) for k in valid[0]} if valid else None
        activity = ("conn {connections:>2} idle-in-tx {idle_in_tx} (>1 s: {idle_in_tx_1s}) "
                    "tile-stmts {tile_statements:>2} {oldest:>4.1f} s").format(**top) if top else "-"
        if len(valid) < len(samples):
            activity += f" (down {len(samples) - len(valid)})"
        cancels = "".join(f" [{counts[k]} cancelled by the {k}]" for k in ("server", "client")
                          if counts[k])
        print(f"{name:<18}{elapsed:>4.0f}{len(rows):>9}{statistics.median(latencies):>7.2f}"
              f"{max(latencies):>7.2f}{sum(h for _, _, h in rows):>6}"
              f"{counts['WARNING'] / elapsed:>7.1f}{counts['ERROR'] / elapsed:>6.1f}  {activity:<47}  "
              + " ".join(f"{k}: {v}" for k, v in sorted(statuses.items(), key=str)) + cancels)
    print("slowest request of each phase:")
    for name, (seconds, what) in slowest.items():
        print(f"  {name:<18}{seconds:>6.2f} s  {what}")
    print("after the run:", after)


async def main(args):
    load_env()
    url = bench_database_url(args.parcels)
    services = Services()
    import asyncpg

    conn = await asyncpg.connect(url.replace("+asyncpg", ""))
    west, south, east, north = await conn.fetchrow(
        'SELECT ST_XMin(e), ST_YMin(e), ST_XMax(e), ST_YMax(e) FROM (SELECT ST_Transform('
        'ST_SetSRID(ST_Extent("GEOMETRY"), 3857), 4326) e FROM "GIS"."PLOT") s')
    await conn.close()

    def tiles(z, count, rng):
        x0, y1 = tile_of(west, south, z)
        x1, y0 = tile_of(east, north, z)
        every = [(x, y) for x in range(x0, x1 + 1) for y in range(y0, y1 + 1)]
        return [f"/gis/plots/{z}/{x}/{y}.pbf" for x, y in rng.sample(every, min(count, len(every)))]

    rng = random.Random(7)
    hot = tiles(15, 40, rng)
    cold = tiles(17, 100000, rng) + tiles(18, 100000, rng)
    # Tiles of their own for the two lock phases: the clients that leave, and
    # the statements that run into their zoom's time-out (12 s at zoom 9 and
    # 10, 15 s at 11 and 12).
    leaving = tiles(14, 20, rng)

    def beyond(z):  # east of the parcels: empty, so never cached, always queried
        x, y = tile_of(east, (south + north) / 2, z)
        return [f"/gis/plots/{z}/{x + i}/{y}.pbf" for i in (2, 3, 4)]

    timing_out = [t for z in (9, 10, 11, 12) for t in beyond(z)]

    env = dict(os.environ, DATABASE_URL=url, REDIS_DB=REDIS_DB, PYTHONUNBUFFERED="1")
    log_path = os.path.join(ROOT, "out", "faults-server.log")
    os.makedirs(os.path.dirname(log_path), exist_ok=True)
    port = args.port
    server = subprocess.Popen(
        [sys.executable, "-m", "uvicorn", "app:app", "--host", "127.0.0.1", "--port", str(port),
         "--loop", "uvloop", "--http", "httptools",
         "--proxy-headers", "--forwarded-allow-ips", "127.0.0.1", "--no-access-log"],
        cwd=os.path.join(ROOT, "host"), env=env, stdout=open(log_path, "wb"),
        stderr=subprocess.STDOUT)
    import httpx

    base = f"http://127.0.0.1:{port}"
    try:
        for _ in range(100):
            try:
                if httpx.get(base + "/gis/health/", timeout=2).status_code == 200:
                    break
            except httpx.HTTPError:
                pass
            time.sleep(0.2)
        else:
            raise RuntimeError("the server did not start; see " + log_path)
        services.redis_cli("-n", REDIS_DB, "flushdb")

        load = Load(base, hot, cold, args.concurrency, args.max_requests)
        activity = Activity(url)
        server_log = Log(log_path, {"WARNING": "WARNING:terrava.tileport:",
                                    "ERROR": "ERROR:terrava.tileport:"})
        pg_log = Log(services.pg_log, {
            "server": "canceling statement due to statement timeout",
            "client": "canceling statement due to user request"})
        phases = Phases(load, server_log, pg_log, activity)
        traffic = asyncio.ensure_future(load.run())
        seconds = args.phase_seconds
        await phases.run("warm-up", seconds / 2)
        await phases.run("baseline", seconds)

        async def redis_down(end):
            await asyncio.to_thread(services.stop_redis)

        await phases.run("redis down", seconds, redis_down)
        await phases.run("redis back", seconds, lambda end: asyncio.to_thread(services.start_redis))

        redis_pid = services.redis_pid()
        os.kill(redis_pid, signal.SIGSTOP)
        try:
            await phases.run("redis stalled", seconds)
        finally:
            os.kill(redis_pid, signal.SIGCONT)
        await phases.run("redis resumed", seconds)

        await phases.run("postgres restart", seconds,
                         lambda end: asyncio.to_thread(services.restart_postgres, 3))
        await phases.run("postgres back", seconds)

        async def hold_plots(hold_seconds, disconnecting):
            """Holds "GIS"."PLOT" in ACCESS EXCLUSIVE mode for `hold_seconds`
            while clients (if `disconnecting`) ask for locked tiles and leave
            after 0.5 s."""
            locker = await asyncpg.connect(url.replace("+asyncpg", ""))
            activity.ignored = locker.get_server_pid()
            try:
                async with locker.transaction():
                    await locker.execute('LOCK TABLE "GIS"."PLOT" IN ACCESS EXCLUSIVE MODE')
                    leavers = []
                    if disconnecting:
                        async with httpx.AsyncClient(base_url=base, timeout=0.5) as c:
                            async def leave(path):
                                try:
                                    await c.get(path, headers={"X-Forwarded-For": "10.78.0.1"})
                                except httpx.TimeoutException:
                                    return "left"
                                return "answered"

                            leavers = await asyncio.gather(*(leave(p) for p in leaving))
                    await asyncio.sleep(hold_seconds)
                    return collections.Counter(leavers)
            finally:
                await locker.close()

        disconnects = {}

        async def disconnect(end):
            disconnects.update(await hold_plots(3, True))

        await phases.run("disconnects", seconds, disconnect)

        # With the table locked, the load's uncached tiles are those of zooms 9
        # to 12: they wait on the lock until their time-out (12 or 15 s); the
        # cached ones are served all along.
        load.cold = timing_out
        await phases.run("empty tiles", 2)  # the zoom 17 and 18 requests in flight end
        await phases.run("statement timeout", 0, lambda end: hold_plots(22, False))
        load.cold = cold
        await phases.run("after time-outs", seconds)
        load.running = False
        await traffic
        await asyncio.sleep(1)
        after = await activity.sample()
        report(phases.results, load.records, after)
        cached = sum(services.redis_cli("-n", REDIS_DB, "exists", "mvt_v8:" + p[5:-4].replace(
            "/", ":")).strip() == "1" for p in leaving)
        print(f"clients that left (lock held 3 s, client time-out 0.5 s): {dict(disconnects)}; "
              f"their tiles generated and cached all the same: {cached} of {len(leaving)}")
        print(f"server log: {log_path}")
    finally:
        server.send_signal(signal.SIGINT)
        try:
            server.wait(timeout=20)
        except subprocess.TimeoutExpired:
            server.kill()
        if services.redis_cli("ping").strip() != "PONG":
            services.start_redis()


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--parcels", type=int, default=20000)
    parser.add_argument("--concurrency", type=int, default=12)
    parser.add_argument("--phase-seconds", type=float, default=10)
    parser.add_argument("--max-requests", type=int, default=200000)
    parser.add_argument("--port", type=int, default=int(os.environ.get("TERRAVA_FAULTS_PORT", 8767)))
    asyncio.run(main(parser.parse_args()))
