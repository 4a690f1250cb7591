"""Tile seeding from the shell: generate and cache the vector tiles of layers
over a zoom range, before the map's users ask for them.

    python -m tileseed plots --zoom 8-14                     # over the parcels' extent
    python -m tileseed plots roads --zoom 12-16 --bbox 7.44,9.04,7.46,9.06
    python -m tileseed plots --zoom 8-12 --invalidate-first  # after a bulk update of the parcels
    python -m tileseed plots --zoom 8-18 --dry-run           # how many tiles that would be

Run from host/ (or as `python host/tileseed.py`). The database is the one of
DATABASE_URL and Redis the one of REDIS_*; when DATABASE_URL is not set,
../.services/demo.env (the demo's data) or else ../.services/env fills them in,
as for plancli.

A seeded tile is the tile the endpoint GET /gis/{layer}/{z}/{x}/{y}.pbf would
have generated and cached: the statement is the tile module's own
(`generate_mvt_sql`, with the envelope of `xyz_to_bbox_web_mercator`), run
through its transaction wrapper (`db_transaction`) in autocommit under the
endpoint's statement bound of the zoom; a non-empty tile is written with the
module's byte cache (`cache.set`, key "mvt_v8:{layer}:{z}:{x}:{y}") for the
lifetime of the zoom's configuration. (The statement orders features by area
alone, so where two have the same area their order, and at a feature limit
which of them is kept, can differ from one generation to the next: two
generations of a large tile by the endpoint itself can differ in those bytes.)
Empty tiles are not cached, as the
endpoint does not cache them (so every run generates them again; they are
the cheap ones). The endpoint coroutine itself is not called: it
counts every tile against the per-client rate limit of the map's users and
swallows a failed cache write, so a seeder could neither go faster than 40
tiles a second nor tell a cached tile from one that was not.

Tiles already cached (EXISTS on the key) are skipped unless --refresh is
given, so a stopped run carries on where it stopped when it is started again.
--invalidate-first deletes the layers' cached tiles of every zoom and place
(the invalidation endpoint's deletion) before seeding the range given; to carry
on after a stop, run the command again without it.
At most --concurrency statements (default 2) run at once, on a connection pool
of that size of its own (application_name "tileseed"), so seeding never takes
connections from the servers' pools. Ctrl-C or SIGTERM stops it: statements
under way are cancelled (PostgreSQL is told to cancel them), a cache write
under way is waited for, so that the summary counts exactly what was written,
and the exit status is 130 (SIGINT) or 143 (SIGTERM).

Exit status: 0 when every tile was generated, found empty or found cached; 1
when a tile failed (a statement time-out, a database error: run the command
again for them), when the database or Redis cannot be reached or goes away
(the run stops there), or when the tile service is not built; 2 for a usage
error (unknown layer, a zoom outside the layer's range, a bad box), reported
before anything is sent to the database or Redis. Errors are one line on
stderr, as are the plan and the progress (a bar on a terminal, otherwise a
line every --log-interval seconds); the summary goes to stdout.
"""

import argparse
import asyncio
import contextlib
import io
import itertools
import json
import os
import signal
import sys
import time
import traceback
from dataclasses import asdict, dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

PROG = "tileseed"
MAX_LONGITUDE = 180.0
MAX_LATITUDE = 90.0
EXISTS_BATCH = 100  # keys looked up in Redis in one round trip
MAX_LISTED_FAILURES = 20
# Seconds a stopped task may take to finish (a cache write under way takes up
# to the Redis client's 5 s socket time-out) before it is cancelled again.
RECANCEL_AFTER = 10


class SeedError(Exception):
    """A failure the operator can act on; its text is the whole message."""


class UsageError(SeedError):
    """Bad input, found before any work: exit status 2."""


def statement_bound(z):
    """Seconds a tile statement of zoom `z` may take: the tile endpoint's own
    bound (the module keeps it in its C++ and does not expose it;
    tests/test_tileseed.py checks this table against what the endpoint sets)."""
    if z <= 6:
        return 10.0
    if z <= 10:
        return 12.0
    if z <= 14:
        return 15.0
    if z <= 16:
        return 20.0
    return 30.0


# ---------------------------------------------------------------- arguments

def zoom_range(text):
    first, sep, last = text.partition("-")
    try:
        zooms = (int(first), int(last) if sep else int(first))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r}: give a zoom (12) or a range (8-14)") from None
    if zooms[0] > zooms[1]:
        raise argparse.ArgumentTypeError(f"{text!r}: the first zoom is above the last")
    return zooms


def bounding_box(text):
    parts = text.split(",")
    try:
        west, south, east, north = (float(p) for p in parts)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"{text!r}: give west,south,east,north in degrees, e.g. 7.44,9.04,7.46,9.06") from None
    for name, value, bound in (("west", west, MAX_LONGITUDE), ("east", east, MAX_LONGITUDE),
                               ("south", south, MAX_LATITUDE), ("north", north, MAX_LATITUDE)):
        if not -bound <= value <= bound:  # NaN fails too
            raise argparse.ArgumentTypeError(f"{text!r}: {name} {value:g} is outside -{bound:g}..{bound:g}")
    if west > east:
        raise argparse.ArgumentTypeError(f"{text!r}: west {west:g} is east of east {east:g}")
    if south > north:
        raise argparse.ArgumentTypeError(f"{text!r}: south {south:g} is north of north {north:g}")
    return west, south, east, north


def positive(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 1 <= value <= 64:
        raise argparse.ArgumentTypeError(f"{text!r}: give a number from 1 to 64")
    return value


def seconds(text):
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not value > 0:
        raise argparse.ArgumentTypeError(f"{text!r}: give a number of seconds above 0")
    return value


class Parser(argparse.ArgumentParser):
    def error(self, message):
        # One line, as every other error of the command.
        print(f"{PROG}: {message} (see --help)", file=sys.stderr)
        sys.exit(2)


def parse_arguments(argv):
    parser = Parser(prog=PROG, description="Generate and cache the vector tiles of layers over a zoom range.")
    parser.add_argument("layers", nargs="+", metavar="LAYER", help="layers to seed (plots, beacons, roads, ...)")
    parser.add_argument("-z", "--zoom", type=zoom_range, required=True, metavar="Z[-Z]",
                        help="zoom or zoom range, e.g. 12 or 8-14")
    parser.add_argument("--bbox", type=bounding_box, metavar="W,S,E,N",
                        help="box in degrees of longitude and latitude (default: each layer's data extent); "
                             "--bbox=-W,S,E,N when it starts with a minus sign")
    parser.add_argument("-c", "--concurrency", type=positive, default=2,
                        help="statements at once, and the size of the connection pool (default 2)")
    parser.add_argument("--refresh", action="store_true", help="generate tiles that are cached already too")
    parser.add_argument("--invalidate-first", action="store_true",
                        help="first delete every cached tile of the layers, at all zooms (the cache "
                             "invalidation of POST /gis/cache/invalidate/{layer})")
    parser.add_argument("--dry-run", action="store_true", help="print the tiles per zoom and stop")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar or progress lines")
    parser.add_argument("--log-interval", type=seconds, default=10.0, metavar="SECONDS",
                        help="seconds between progress lines when stderr is not a terminal (default 10)")
    parser.add_argument("--json", action="store_true", help="the summary as one JSON object")
    return parser.parse_args(argv)


def load_services_env():
    if os.environ.get("DATABASE_URL"):
        return
    for name in ("demo.env", "env"):
        env = HERE.parent / ".services" / name
        if env.exists():
            from dotenv import load_dotenv

            load_dotenv(env, override=False)
            return


def import_tile_module():
    """The tile service module, as the registry imports it (its start-up
    banner is for servers, not for an operator's terminal)."""
    with contextlib.redirect_stdout(io.StringIO()):
        try:
            import routers.tileport as tp
        except ImportError as first:
            try:
                import terrava.tileport as tp
            except ImportError:
                raise SeedError(f"the tile service is not built: {first}") from None
    import logging

    logging.getLogger(tp.__name__).setLevel(logging.WARNING)
    return tp


def served_zooms(tp):
    """The zooms the tile endpoint accepts at all."""
    valid = [z for z in range(0, 31) if tp.validate_tile_coords(z, 0, 0)]
    return valid[0], valid[-1]


def check_layers(tp, layers, zooms):
    names = list(tp.LAYER_CONFIG)
    low, high = served_zooms(tp)
    for layer in layers:
        if layer not in tp.LAYER_CONFIG:
            raise UsageError(f"unknown layer {layer!r} (layers: {', '.join(names)})")
        first = max(low, tp.LAYER_CONFIG[layer].get("min_zoom", 0))
        if zooms[0] < first:
            raise UsageError(f"{layer} is served from zoom {first}; --zoom {zooms[0]}-{zooms[1]} starts below it")
        if zooms[1] > high:
            raise UsageError(f"zoom {zooms[1]} is beyond the tile service's last zoom, {high}")
    return list(dict.fromkeys(layers))


# ---------------------------------------------------------------- the plan

@dataclass
class ZoomPlan:
    layer: str
    z: int
    xs: range
    ys: range
    sql: str
    ttl: int
    bound: float

    @property
    def count(self):
        return len(self.xs) * len(self.ys)

    def tiles(self):
        for y in self.ys:
            for x in self.xs:
                yield x, y


def zoom_plans(tp, layer, box, zooms):
    from helpers.utils import latlon_to_xyz

    west, south, east, north = box
    plans = []
    for z in range(zooms[0], zooms[1] + 1):
        sql, config = tp.generate_mvt_sql(layer, z)
        top_left = latlon_to_xyz(north, west, z)
        bottom_right = latlon_to_xyz(south, east, z)
        plans.append(ZoomPlan(layer, z, range(top_left["x"], bottom_right["x"] + 1),
                              range(top_left["y"], bottom_right["y"] + 1), sql, int(config["cache_ttl"]),
                              statement_bound(z)))
    return plans


async def data_extent(engine, tp, layer):
    """The layer's table extent in degrees (west, south, east, north), or None
    when the table is empty."""
    from sqlalchemy import text

    record = tp.LAYER_CONFIG[layer]
    query = text(
        "SELECT ST_XMin(b), ST_YMin(b), ST_XMax(b), ST_YMax(b) FROM ("
        f"SELECT ST_Transform(ST_SetSRID(ST_Extent({record['geom_col']})::geometry, 3857), 4326) AS b "
        f"FROM {record['table']}) AS e")
    async with engine.connect() as connection:
        row = (await connection.execute(query)).one()
    return None if row[0] is None else tuple(float(v) for v in row)


def describe_zooms(zooms):
    return f"zoom {zooms[0]}" if zooms[0] == zooms[1] else f"zooms {zooms[0]}-{zooms[1]}"


def tiles(count):
    return f"{count} tile" if count == 1 else f"{count} tiles"


async def probe(engine):
    from sqlalchemy import text

    async with engine.connect() as connection:
        await connection.execute(text("SELECT 1"))


def database_address(url):
    from sqlalchemy.engine import make_url

    parts = make_url(url)
    return f"{parts.host}:{parts.port}/{parts.database}"


def describe_box(box):
    return ",".join(f"{v:.5f}" for v in box)


# ---------------------------------------------------------------- progress

class Progress:
    """A bar on a terminal, a line every `interval` seconds otherwise, or
    nothing; the counts of `summary` beside it."""

    def __init__(self, summary, mode, interval):
        self.summary = summary
        self.mode = mode
        self.interval = interval
        self.done = 0
        self.current = ""
        self.started = time.monotonic()
        self.bar = None
        self.ticker = None
        if mode == "bar":
            from tqdm import tqdm

            self.bar = tqdm(total=summary.tiles, unit="tile", file=sys.stderr, dynamic_ncols=True)

    def start(self):
        if self.mode == "log":
            self.ticker = asyncio.create_task(self.tick())

    async def tick(self):
        while True:
            await asyncio.sleep(self.interval)
            self.line()

    def line(self):
        total = self.summary.tiles
        elapsed = time.monotonic() - self.started
        rate = self.done / elapsed if elapsed > 0 else 0.0
        left = f"about {format_duration((total - self.done) / rate)} left" if rate > 0 else "time left unknown"
        share = 100.0 * self.done / total if total else 100.0
        print(f"{PROG}: {self.done}/{total} tiles ({share:.0f} %), {rate:.1f} tiles/s, {left}; "
              f"at {self.current}; {self.summary.short()}", file=sys.stderr, flush=True)

    def working_on(self, label):
        self.current = label
        if self.bar is not None:
            self.bar.set_description(label, refresh=False)

    def update(self):
        self.done += 1
        if self.bar is not None:
            self.bar.set_postfix_str(self.summary.short(), refresh=False)
            self.bar.update()

    def note(self, text):
        if self.bar is not None:
            self.bar.write(text, file=sys.stderr)
        else:
            print(text, file=sys.stderr, flush=True)

    def close(self):
        if self.ticker is not None:
            self.ticker.cancel()
        if self.bar is not None:
            self.bar.close()


def format_duration(value):
    if value < 60:
        return f"{value:.1f} s"
    value = int(round(value))
    if value < 3600:
        return f"{value // 60} min {value % 60:02d} s"
    return f"{value // 3600} h {value % 3600 // 60:02d} min"


# ---------------------------------------------------------------- seeding

@dataclass
class Summary:
    tiles: int = 0
    generated: int = 0  # generated and cached
    empty: int = 0  # generated, empty, not cached
    cached: int = 0  # already cached, skipped
    failed: int = 0
    db_seconds: float = 0.0
    seconds: float = 0.0
    concurrency: int = 0
    stopped_by: str = ""  # SIGINT or SIGTERM
    fault: str = ""  # what ended the run early
    failures: list = field(default_factory=list)  # the first MAX_LISTED_FAILURES
    again: str = "the same command"  # what carries on after a stop

    @property
    def not_reached(self):
        return self.tiles - self.generated - self.empty - self.cached - self.failed

    def short(self):
        return f"generated {self.generated}, empty {self.empty}, cached {self.cached}, failed {self.failed}"

    def as_dict(self):
        data = asdict(self)
        del data["again"]
        data["not_reached"] = self.not_reached
        data["tiles_per_second"] = self.done_per_second()
        return data

    def done_per_second(self):
        done = self.tiles - self.not_reached
        return done / self.seconds if self.seconds > 0 else 0.0

    def text(self):
        if self.stopped_by:
            head = f"{PROG}: stopped by {self.stopped_by} after {format_duration(self.seconds)}"
        elif self.fault:
            head = f"{PROG}: stopped after {format_duration(self.seconds)}: {self.fault}"
        else:
            head = f"{PROG}: done in {format_duration(self.seconds)}"
        worker_time = self.seconds * self.concurrency
        share = 100.0 * self.db_seconds / worker_time if worker_time > 0 else 0.0
        lines = [
            head,
            f"  tiles                    {self.tiles} ({self.done_per_second():.1f} a second)",
            f"  generated and cached     {self.generated}",
            f"  empty, not cached        {self.empty}",
            f"  already cached, skipped  {self.cached}",
            f"  failed                   {self.failed}",
        ]
        if self.not_reached:
            lines.append(f"  not reached              {self.not_reached}")
        lines.append(f"  database time            {self.db_seconds:.1f} s "
                     f"({share:.0f} % of {self.concurrency} worker(s) × {self.seconds:.1f} s)")
        if self.stopped_by or self.fault:
            lines.append(f"  run {self.again} again to carry on (cached tiles are skipped)")
        elif self.failed:
            lines.append(f"  run {self.again} again to retry the failed tiles")
        return "\n".join(lines)


class Fatal(Exception):
    """The run cannot go on: Redis or the database went away."""


def lost_connection(error):
    """The error in `error`'s chain that says the database connection or the
    server is gone (the earliest such, when a rollback failed after it), or
    None when one statement failed and the connection is fine."""
    from sqlalchemy.exc import DBAPIError

    try:
        import asyncpg.exceptions as pg
        lost = (OSError, pg.PostgresConnectionError, pg.InterfaceError, pg.AdminShutdownError,
                pg.CannotConnectNowError, pg.CrashShutdownError)
    except ImportError:
        lost = (OSError,)
    found, seen, chain = None, set(), [error]
    while chain:
        error = chain.pop()
        if error is None or id(error) in seen:
            continue
        seen.add(id(error))
        if isinstance(error, lost) or (isinstance(error, DBAPIError) and error.connection_invalidated):
            found = error
        # The wrapped driver error and the cause first, what happened before it last.
        chain += [error.__context__, error.__cause__, getattr(error, "orig", None)]
    return found


def cancelled_by_server(error):
    orig = getattr(error, "orig", None)
    return getattr(orig, "sqlstate", None) == "57014" or getattr(orig, "pgcode", None) == "57014"


def first_line(error):
    text = str(getattr(error, "orig", None) or error).strip()
    return (text.splitlines() or [type(error).__name__])[0]


# The key, in the database connection's info, of the statement_timeout the
# connection runs with (milliseconds): the one the tile module keeps, so the
# bound is sent only when it changes, as the endpoint does.
BOUND_KEY = "tileport.statement_timeout_ms"


class Seeder:
    def __init__(self, tp, sessions, plans, options, progress_mode):
        self.tp = tp
        self.sessions = sessions
        self.plans = plans
        self.options = options
        self.summary = Summary(tiles=sum(p.count for p in plans), concurrency=options.concurrency)
        if options.invalidate_first:
            self.summary.again = "the command without --invalidate-first"
        self.progress = Progress(self.summary, progress_mode, options.log_interval)
        self.tasks = []
        self.halted = False

    # The statement, as the tile endpoint runs it: the module's transaction
    # wrapper, autocommit (one read, no BEGIN/COMMIT), the zoom's bound on
    # the server (statement_timeout) and on the client (one deadline for the
    # connection, the setting and the statement).
    async def statement(self, plan, params):
        from sqlalchemy import text

        async def run(db):
            connection = await db.connection(execution_options={"isolation_level": "AUTOCOMMIT"})
            info = connection.info  # kept: a cancelled statement invalidates the connection
            ms = max(1, int(plan.bound * 1000))
            try:
                if info.get(BOUND_KEY) != ms:
                    await db.execute(text(f"SET statement_timeout = {ms}"))
                    info[BOUND_KEY] = ms
                return (await db.execute(text(plan.sql), params)).scalar_one_or_none()
            except BaseException:
                # Whether a cut-off SET reached the server is unknown: the
                # next statement on this connection sends it again.
                info.pop(BOUND_KEY, None)
                raise

        async with self.tp.db_transaction(self.sessions()) as db:
            if not hasattr(asyncio, "timeout"):  # before 3.11
                return await asyncio.wait_for(run(db), plan.bound)
            async with asyncio.timeout(plan.bound):
                return await run(db)

    async def write(self, key, content, ttl):
        """The module's byte cache write, left to finish when the run is
        stopped meanwhile: SET is atomic, and the count is then exact."""
        writing = asyncio.ensure_future(self.tp.cache.set(key, content, ttl=ttl))
        try:
            await asyncio.shield(writing)
        except asyncio.CancelledError:
            while not writing.done():  # bounded by the client's socket time-out
                with contextlib.suppress(asyncio.CancelledError):
                    await asyncio.wait([writing])
            if not writing.cancelled() and writing.exception() is None:
                self.summary.generated += 1
                self.progress.update()
            raise

    def fail(self, name, reason):
        self.summary.failed += 1
        if self.summary.failed <= MAX_LISTED_FAILURES:
            self.summary.failures.append(f"{name}: {reason}")
            self.progress.note(f"{PROG}: {name}: {reason}")
        elif self.summary.failed == MAX_LISTED_FAILURES + 1:
            self.progress.note(f"{PROG}: further failures are counted, not listed")
        self.progress.update()

    async def seed_tile(self, plan, x, y):
        from redis.exceptions import RedisError
        from sqlalchemy.exc import SQLAlchemyError

        name = f"{plan.layer}/{plan.z}/{x}/{y}"
        bbox = self.tp.xyz_to_bbox_web_mercator(plan.z, x, y)
        params = {"min_x": bbox["minx"], "min_y": bbox["miny"], "max_x": bbox["maxx"], "max_y": bbox["maxy"]}
        started = time.perf_counter()
        try:
            content = await self.statement(plan, params)
        except (asyncio.TimeoutError, TimeoutError):
            self.fail(name, f"statement time-out ({plan.bound:g} s)")
            return
        except (SQLAlchemyError, OSError) as error:
            lost = lost_connection(error)
            if lost is not None:
                raise Fatal(f"lost the database: {first_line(lost)}") from None
            if cancelled_by_server(error):
                self.fail(name, f"statement time-out ({plan.bound:g} s)")
            else:
                self.fail(name, f"database error: {first_line(error)}")
            return
        finally:
            self.summary.db_seconds += time.perf_counter() - started
        if not content:
            self.summary.empty += 1
            self.progress.update()
            return
        try:
            await self.write(f"{plan.layer}:{plan.z}:{x}:{y}", content, plan.ttl)
        except RedisError as error:
            self.fail(name, f"not cached: {error}")
            raise Fatal(f"lost Redis at {redis_address(self.tp)}: {error}") from None
        self.summary.generated += 1
        self.progress.update()

    async def produce(self, queue):
        """Tiles in order, zoom by zoom; the cached ones are counted and
        skipped here, a batch of keys per Redis round trip."""
        from redis.exceptions import RedisError

        for plan in self.plans:
            self.progress.working_on(f"{plan.layer} z{plan.z}")
            tiles = plan.tiles()
            while batch := list(itertools.islice(tiles, EXISTS_BATCH)):
                if self.options.refresh:
                    cached = [False] * len(batch)
                else:
                    try:
                        pipe = self.tp.redis_client.pipeline(transaction=False)
                        for x, y in batch:
                            pipe.exists(self.tp.cache._make_key(f"{plan.layer}:{plan.z}:{x}:{y}"))
                        cached = await pipe.execute()
                    except RedisError as error:
                        raise Fatal(f"lost Redis at {redis_address(self.tp)}: {error}") from None
                for (x, y), hit in zip(batch, cached):
                    if self.halted:
                        return
                    if hit:
                        self.summary.cached += 1
                        self.progress.update()
                    else:
                        await queue.put((plan, x, y))
        for _ in range(self.options.concurrency):
            await queue.put(None)

    async def work(self, queue):
        while not self.halted and (item := await queue.get()) is not None:
            await self.seed_tile(*item)

    async def guarded(self, coroutine):
        """Runs a worker or the producer; what ends the run stops the others."""
        try:
            await coroutine
        except Fatal as fault:
            self.end(str(fault))
        except Exception as error:  # a fault of this program: its traceback, then stop
            traceback.print_exception(type(error), error, error.__traceback__, file=sys.stderr)
            self.end(f"unexpected error: {type(error).__name__}: {error}")

    def end(self, fault):
        if not self.summary.fault:
            self.summary.fault = fault
        self.halt()

    def halt(self):
        self.halted = True
        current = asyncio.current_task()
        for task in self.tasks:
            if task is not current:
                task.cancel()

    def stop(self, signum):
        if self.summary.stopped_by or self.summary.fault:
            return
        self.summary.stopped_by = signal.Signals(signum).name
        self.halt()

    async def run(self):
        loop = asyncio.get_running_loop()
        signals = (signal.SIGINT, signal.SIGTERM)
        for signum in signals:
            loop.add_signal_handler(signum, self.stop, signum)
        started = time.monotonic()
        queue = asyncio.Queue(maxsize=self.options.concurrency)
        self.progress.start()
        try:
            self.tasks = [asyncio.create_task(self.guarded(self.produce(queue)))]
            self.tasks += [asyncio.create_task(self.guarded(self.work(queue)))
                           for _ in range(self.options.concurrency)]
            pending, asked = set(self.tasks), None
            while pending:
                _, pending = await asyncio.wait(pending, timeout=1)
                if self.halted:
                    # A cancellation can be lost in a library's await (one
                    # was, once, and the producer waited for a worker that
                    # was gone): a task still running a while after it was
                    # cancelled is asked again.
                    asked = asked or time.monotonic()
                    if time.monotonic() - asked > RECANCEL_AFTER:
                        for task in pending:
                            task.cancel()
                        asked = time.monotonic()
        finally:
            self.summary.seconds = time.monotonic() - started
            self.progress.close()
        # From here on a signal ends the process the usual way.
        for signum in signals:
            loop.remove_signal_handler(signum)
        return self.summary


def redis_address(tp):
    """The Redis the tile module was configured with, as its settings name it."""
    if os.environ.get("REDIS_CLUSTER_NODES"):
        return f"the cluster of {os.environ['REDIS_CLUSTER_NODES']}"
    if os.environ.get("REDIS_SENTINELS"):
        service = os.environ.get("REDIS_SENTINEL_SERVICE") or "mymaster"
        return f"the primary '{service}' of the sentinels {os.environ['REDIS_SENTINELS']}"
    return f"{tp.redis_host}:{tp.redis_port}/{tp.redis_db}"


# ---------------------------------------------------------------- the command

async def invalidate(tp, layer):
    """The cache invalidation endpoint's deletion of the layer's tiles; the
    number of keys deleted."""
    from fastapi import HTTPException

    try:
        answer = await tp.invalidate_cache_endpoint(layer)
    except HTTPException as error:
        raise SeedError(f"{layer}: {error.detail} (Redis at {redis_address(tp)})") from None
    return json.loads(answer.body)["data"]["deleted_count"]


async def seed(tp, options):
    from sqlalchemy.ext.asyncio import async_sessionmaker, create_async_engine

    from database import database_url

    try:
        url = database_url()
    except RuntimeError as error:
        raise SeedError(str(error)) from None

    if not options.dry_run:
        try:
            await asyncio.wait_for(tp.redis_client.ping(), 10)
        except Exception as error:
            raise SeedError(f"cannot reach Redis at {redis_address(tp)}: {error}") from None

    engine = create_async_engine(url, pool_size=options.concurrency, max_overflow=0, pool_pre_ping=False,
                                 connect_args={"server_settings": {"application_name": PROG}})
    try:
        try:
            if not (options.dry_run and options.bbox):
                await asyncio.wait_for(probe(engine), 30)
        except Exception as error:
            raise SeedError(f"cannot reach the database at {database_address(url)}: {first_line(error)}") from None
        plans = []
        for layer in options.layers:
            box = options.bbox
            source = "the box given"
            if box is None:
                try:
                    box = await data_extent(engine, tp, layer)
                except Exception as error:
                    raise SeedError(f"{layer}: cannot read the data's extent: {first_line(error)}") from None
                source = "its data's extent"
                if box is None:
                    print(f"{PROG}: {layer}: the table holds nothing, no tiles to seed", file=sys.stderr)
                    continue
            layer_plans = zoom_plans(tp, layer, box, options.zoom)
            plans += layer_plans
            count = sum(p.count for p in layer_plans)
            print(f"{PROG}: {layer}, {describe_zooms(options.zoom)} over {source} "
                  f"{describe_box(box)}: {tiles(count)}", file=sys.stderr)

        if options.dry_run:
            for plan in plans:
                print(f"{plan.layer} z{plan.z}: {tiles(plan.count)} (x {plan.xs.start}-{plan.xs.stop - 1}, "
                      f"y {plan.ys.start}-{plan.ys.stop - 1})")
            print(tiles(sum(p.count for p in plans)))
            return None

        if options.invalidate_first:
            for layer in options.layers:
                deleted = await invalidate(tp, layer)
                print(f"{PROG}: {layer}: {deleted} cached tiles deleted", file=sys.stderr)

        if options.no_progress:
            mode = "none"
        elif sys.stderr.isatty():
            mode = "bar"
        else:
            mode = "log"
        sessions = async_sessionmaker(engine, expire_on_commit=False)
        return await Seeder(tp, sessions, plans, options, mode).run()
    finally:
        with contextlib.suppress(Exception):
            await asyncio.wait_for(engine.dispose(), 10)
        with contextlib.suppress(Exception):
            await tp.redis_client.aclose()


def main(argv=None):
    options = parse_arguments(argv)
    load_services_env()
    os.environ.setdefault("LOG_LEVEL", "WARNING")
    try:
        tp = import_tile_module()
        options.layers = check_layers(tp, options.layers, options.zoom)
        summary = asyncio.run(seed(tp, options))
    except UsageError as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return 2
    except SeedError as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:  # before the seeding started
        return 130
    if summary is None:
        return 0
    if summary.fault:
        print(f"{PROG}: {summary.fault}", file=sys.stderr)
    try:
        print(json.dumps(summary.as_dict()) if options.json else summary.text(), flush=True)
    except BrokenPipeError:  # a reader that stopped early (| head): nothing more to say
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    if summary.stopped_by:
        return 128 + signal.Signals[summary.stopped_by].value
    return 1 if summary.fault or summary.failed else 0


if __name__ == "__main__":
    sys.exit(main())
