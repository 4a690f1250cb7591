"""The tile endpoint when Redis or the database misbehave."""

import asyncio
import os
import uuid

import asyncpg
import mapbox_vector_tile
import pytest
from helpers.utils import latlon_to_xyz


@pytest.fixture(scope="session")
def parcel_tile(run, pg):
    row = run(pg.fetchrow('SELECT ST_X(s), ST_Y(s) FROM "GIS"."PLOT" p, ST_Transform('
                          'ST_PointOnSurface(p."GEOMETRY"), 4326) s ORDER BY p."ID" LIMIT 1'))
    t = latlon_to_xyz(row[1], row[0], 16)
    return f"plots:16:{t['x']}:{t['y']}", f"/gis/plots/16/{t['x']}/{t['y']}.pbf"


@pytest.mark.parametrize("kind, rate, read, write", [
    ("down", "Error 111 connecting", "Error 111 connecting", "Error 111 connecting"),
    ("stalling", "Timeout", "", "Timeout"),  # the read gives up after 1 s, without text
    ("acl", "this user has no permissions", "this user has no permissions",
     "this user has no permissions"),
])
def test_redis_trouble_still_serves_the_tile_from_the_database(
        get, bad_redis, module_redis, parcel_tile, tile_log, kind, rate, read, write):
    module_redis(bad_redis(kind, "-@all"))
    key, path = parcel_tile
    answer = get(path)
    assert answer.status_code == 200
    assert "x-cache" not in answer.headers and "cache-control" not in answer.headers
    assert mapbox_vector_tile.decode(answer.content)["plots"]["features"]
    rate_line, read_line, write_line = tile_log("WARNING")
    assert rate_line.startswith("Rate limit check failed: " + rate)
    assert read_line.startswith(f"Cache get failed for {key}: " + read)
    assert read or read_line == f"Cache get failed for {key}: "
    assert write_line.startswith(f"Cache set failed for {key}: " + write)


def test_refused_expire_never_locks_the_client_out(get, run, bad_redis, module_redis,
                                                   redis_admin, client_ip, tile_log):
    # A Redis that counts but answers EXPIRE with an error: with a separate
    # EXPIRE after the first INCR the counter would live for ever and the 41st
    # request on would be refused for good.
    module_redis(bad_redis("acl", "+@all", "-expire"))
    try:
        assert {get("/gis/plots/7/0/0.pbf").status_code for _ in range(45)} == {204}
    finally:
        run(redis_admin.delete(f"rate_limit:gis:{client_ip}"))
    warnings = tile_log("WARNING")  # the same failure each time: repeats are only counted
    assert warnings and all(w.startswith("Rate limit check failed: ") for w in warnings)


@pytest.mark.parametrize("kind, fail", [
    ("Rate limit check failed", lambda tp, get, run: get("/gis/plots/7/0/0.pbf")),
    ("Cache get failed", lambda tp, get, run: run(tp.safe_cache_get("plots:9:1:1"))),
    ("Cache set failed", lambda tp, get, run: run(tp.safe_cache_set("plots:9:1:1", b"t", 60))),
])
def test_an_outage_logs_each_failure_once_a_second_with_a_count(
        tp, get, run, bad_redis, module_redis, tile_log, kind, fail):
    # Down, Redis fails every request alike: 51 failures, the last after a pause.
    module_redis(bad_redis("down"))
    for _ in range(50):
        fail(tp, get, run)
    run(asyncio.sleep(1.05))
    fail(tp, get, run)
    warnings = tile_log("WARNING")
    counted = [w for w in warnings if w.endswith(" more with the same error not logged")]
    written = [w for w in warnings if w not in counted]
    assert all(w.startswith(kind) and "Error 111 connecting" in w for w in written)
    assert 2 <= len(written) < 51
    assert len(written) + sum(int(w.split(": ")[1].split()[0]) for w in counted) == 51
    assert counted and all(w.startswith(kind + ": ") for w in counted)


@pytest.fixture
def test_layer(run, pg, tp, monkeypatch):
    """A layer over a table of this test only, with one polygon over the world."""
    name = "t" + uuid.uuid4().hex[:10]
    table = f'"tileport_test"."{name}"'
    run(pg.execute('CREATE SCHEMA IF NOT EXISTS "tileport_test"'))
    run(pg.execute(f"CREATE TABLE {table} (id integer, label text, geom geometry(Polygon, 3857));"
                   f"INSERT INTO {table} VALUES (1, 'all', ST_MakeEnvelope(-2e7, -2e7, 2e7, 2e7, "
                   "3857))"))
    monkeypatch.setitem(tp.LAYER_CONFIG, name, {
        "table": table, "id_col": '"id"', "geom_col": '"geom"',
        "properties": ['"id"', '"label"'], "min_zoom": 1})
    yield name, table
    run(pg.execute(f"DROP TABLE IF EXISTS {table}"))


def open_transactions(run, pg, table, besides=0):
    """Backends (other than ours and `besides`) in a transaction on `table`."""
    return run(pg.fetch(
        "SELECT pid, state, query FROM pg_stat_activity WHERE datname = current_database() "
        "AND pid NOT IN (pg_backend_pid(), $2) AND state IN ('active', 'idle in transaction', "
        "'idle in transaction (aborted)') AND position($1 in query) > 0", table, besides))


def test_statement_slower_than_its_timeout_gets_408_and_rolls_back(get, run, pg, test_layer,
                                                                   tile_log):
    name, table = test_layer
    # Another session holds the table, so the tile statement waits on the lock
    # until the zoom's time-out (10 s at zoom 3) cuts it off.
    locker = run(asyncpg.connect(os.environ["DATABASE_URL"].replace("+asyncpg", "")))
    lock = locker.transaction()
    run(lock.start())
    run(locker.execute(f"LOCK TABLE {table} IN ACCESS EXCLUSIVE MODE"))
    try:
        answer = get(f"/gis/{name}/3/1/1.pbf")
        assert answer.status_code == 408
        assert answer.json() == {"detail": "Tile generation timeout at zoom 3"}
        assert tile_log("ERROR") == [f"Timeout generating tile {name}/3/1/1"]
        assert open_transactions(run, pg, table, besides=locker.get_server_pid()) == []
    finally:
        run(lock.rollback())
        run(locker.close())
    answer = get(f"/gis/{name}/3/1/1.pbf")  # served normally once the lock is gone
    (feature,) = mapbox_vector_tile.decode(answer.content)[name]["features"]
    assert feature["properties"] == {"id": 1, "label": "all", "feature_id": 1}


def test_database_error_answers_500_and_rolls_back(get, run, pg, test_layer, tile_log):
    name, table = test_layer
    run(pg.execute(f"ALTER TABLE {table} DROP COLUMN label"))
    answer = get(f"/gis/{name}/3/1/1.pbf")
    assert answer.status_code == 500 and answer.json() == {"detail": "Database error"}
    (line,) = tile_log("ERROR")
    assert line.startswith(f"Database error for tile {name}/3/1/1: ")
    assert 'column "label" does not exist' in line
    assert open_transactions(run, pg, table) == []


@pytest.mark.parametrize("statement_made_before", [False, True])
def test_unexpected_error_in_the_database_region_answers_500(get, tp, monkeypatch, test_layer,
                                                             tile_log, statement_made_before):
    # Anything but a time-out or a database error inside the transaction. The
    # statement of a zoom is made once and reused, but not past a replaced
    # `text`.
    name, _ = test_layer
    if statement_made_before:
        assert get(f"/gis/{name}/3/0/0.pbf").status_code in (200, 204)
        assert tile_log("ERROR") == []

    def broken_text(sql):
        raise KeyError("no statement")

    monkeypatch.setattr(tp, "text", broken_text)
    answer = get(f"/gis/{name}/3/1/1.pbf")
    assert answer.status_code == 500 and answer.json() == {"detail": "Internal server error"}
    assert tile_log("ERROR") == [f"Unexpected error for tile {name}/3/1/1: 'no statement'"]


def label_layer(tp, monkeypatch, name, label):
    """The test layer with its label computed by the SQL expression `label`."""
    config = dict(tp.LAYER_CONFIG[name], properties=['"id"', f'{label} AS "label"'])
    monkeypatch.setitem(tp.LAYER_CONFIG, name, config)


@pytest.mark.parametrize("z, x, y, bound", [(3, 1, 1, "10s"), (17, 65536, 65536, "30s")])
def test_statement_runs_under_the_zooms_bound_on_the_server(get, tp, monkeypatch, test_layer,
                                                            z, x, y, bound):
    name, _ = test_layer
    label_layer(tp, monkeypatch, name, "current_setting('statement_timeout')")
    (feature,) = mapbox_vector_tile.decode(get(f"/gis/{name}/{z}/{x}/{y}.pbf").content)[name][
        "features"]
    assert feature["properties"]["label"] == bound


def test_generated_tile_sends_no_begin_or_commit(get, tp, monkeypatch, test_layer, statements):
    # The statement is its own transaction: the driver starts none around it.
    import asyncpg.transaction

    name, _ = test_layer
    started = []
    begin = asyncpg.transaction.Transaction.start

    async def counted_start(self):
        started.append(self)
        return await begin(self)

    # The pool's first connection is read once (its isolation level) first.
    assert get(f"/gis/{name}/3/0/0.pbf").status_code in (200, 204)
    monkeypatch.setattr(asyncpg.transaction.Transaction, "start", counted_start)
    for z, x, y in [(3, 1, 1), (17, 65536, 65536)]:
        assert get(f"/gis/{name}/{z}/{x}/{y}.pbf").status_code == 200
    assert started == [] and any("ST_AsMVT" in s for s in statements)


@pytest.mark.parametrize("label", [
    "pg_sleep(60)::text",  # the client's deadline ends it
    '"tileport_test".timed_out()',  # the server's statement time-out ended it
])
def test_timed_out_statement_leaves_nothing_running(get, run, pg, tp, monkeypatch, test_layer,
                                                    tile_log, label):
    name, table = test_layer
    run(pg.execute('CREATE OR REPLACE FUNCTION "tileport_test".timed_out() RETURNS text '
                   "LANGUAGE plpgsql AS $$ BEGIN RAISE EXCEPTION 'canceling statement due to "
                   "statement timeout' USING ERRCODE = 'query_canceled'; END $$"))
    label_layer(tp, monkeypatch, name, label)
    answer = get(f"/gis/{name}/3/1/1.pbf")
    assert answer.status_code == 408
    assert answer.json() == {"detail": "Tile generation timeout at zoom 3"}
    assert tile_log("ERROR") == [f"Timeout generating tile {name}/3/1/1"]
    assert open_transactions(run, pg, table) == []


# Concurrent misses of one tile share one generation: one statement, one
# answer for all, whatever the generation's outcome.

def burst(app, run, client_ip, path, count, cancel_first_after=None):
    """`count` concurrent GETs of `path`; the first starts alone, so it is the
    one that generates. With `cancel_first_after`, the first request is
    cancelled that many seconds after the others have joined. Gives the
    answers (the first is CancelledError when it was cancelled) and the
    checked-out connections of the pool once all are done."""
    import httpx
    from database import get_engine

    async def go():
        transport = httpx.ASGITransport(app=app, client=(client_ip, 50000))
        async with httpx.AsyncClient(transport=transport, base_url="http://tiles") as c:
            first = asyncio.ensure_future(c.get(path))
            await asyncio.sleep(0.05)
            rest = [asyncio.ensure_future(c.get(path)) for _ in range(count - 1)]
            if cancel_first_after is not None:
                await asyncio.sleep(cancel_first_after)
                first.cancel()
            answers = await asyncio.gather(first, *rest, return_exceptions=True)
        return answers, get_engine().pool.checkedout()

    return run(go())


@pytest.fixture
def counted_layer(run, pg, tp, monkeypatch, test_layer):
    """The test layer, its label the number of tile statements run so far
    (a sequence each statement advances) after a pause of `delay` seconds."""
    name, table = test_layer
    seq = f'"tileport_test"."{name}_runs"'
    run(pg.execute(f"CREATE SEQUENCE {seq}"))

    def use(delay=0.3):
        label_layer(tp, monkeypatch, name, f"(pg_sleep({delay}) IS NULL)::text || "
                                           f"nextval('{seq}')::text")
        return name, table

    yield use
    run(pg.execute(f"DROP SEQUENCE IF EXISTS {seq}"))


def statements_run(run, pg, name):
    return run(pg.fetchval(f'SELECT last_value FROM "tileport_test"."{name}_runs" '
                           "WHERE is_called")) or 0


def test_concurrent_misses_share_one_statement_and_the_cache_write(
        client_ip, app, run, pg, redis_admin, counted_layer, statements):
    name, table = counted_layer()
    answers, checked_out = burst(app, run, client_ip, f"/gis/{name}/3/1/1.pbf", 20)
    assert [a.status_code for a in answers] == [200] * 20
    assert len({a.content for a in answers}) == 1
    assert all("x-cache" not in a.headers for a in answers)
    assert statements_run(run, pg, name) == 1
    assert sum("ST_AsMVT" in s for s in statements) == 1
    assert run(redis_admin.get(f"mvt_v8:{name}:3:1:1")) == answers[0].content
    assert checked_out == 0 and open_transactions(run, pg, table) == []
    run(redis_admin.delete(f"mvt_v8:{name}:3:1:1"))


@pytest.mark.parametrize("fault, status, detail, log", [
    ("database error", 500, "Database error", "Database error for tile {}/3/1/1: "),
    ("unexpected error", 500, "Internal server error",
     "Unexpected error for tile {}/3/1/1: 'no statement'"),
    ("time-out", 408, "Tile generation timeout at zoom 3", "Timeout generating tile {}/3/1/1"),
])
def test_every_waiter_gets_the_generations_failure(client_ip, app, run, pg, tp, monkeypatch,
                                                    counted_layer, statements, tile_log, fault,
                                                    status, detail, log):
    name, table = counted_layer()
    if fault == "database error":
        # fails while it runs, not when it is prepared, so the others join it
        label_layer(tp, monkeypatch, name, "(pg_sleep(1.0) IS NULL)::text || (1 / (id - id))")
    elif fault == "unexpected error":
        def broken_text(sql):
            raise KeyError("no statement")
        monkeypatch.setattr(tp, "text", broken_text)
    else:  # the statement runs past zoom 3's 10 s
        label_layer(tp, monkeypatch, name, "pg_sleep(60)::text")
    answers, checked_out = burst(app, run, client_ip, f"/gis/{name}/3/1/1.pbf", 8)
    assert [(a.status_code, a.json()) for a in answers] == [(status, {"detail": detail})] * 8
    assert sum("ST_AsMVT" in s for s in statements) == (0 if fault == "unexpected error" else 1)
    errors = tile_log("ERROR")
    assert len(errors) == 8 and all(e.startswith(log.format(name)) for e in errors)
    assert checked_out == 0 and open_transactions(run, pg, table) == []


def test_a_generating_request_that_is_cancelled_still_serves_the_others(
        client_ip, app, run, pg, redis_admin, counted_layer):
    name, table = counted_layer(delay=1.0)
    answers, checked_out = burst(app, run, client_ip, f"/gis/{name}/3/1/1.pbf", 6,
                                 cancel_first_after=0.2)
    assert isinstance(answers[0], asyncio.CancelledError)
    assert [a.status_code for a in answers[1:]] == [200] * 5
    assert statements_run(run, pg, name) == 1
    # The generation ran to its end on the cancelled request's session: cached,
    # committed and closed.
    assert run(redis_admin.get(f"mvt_v8:{name}:3:1:1")) == answers[1].content
    assert checked_out == 0 and open_transactions(run, pg, table) == []
    run(redis_admin.delete(f"mvt_v8:{name}:3:1:1"))


def test_with_redis_down_concurrent_misses_still_share_one_statement(
        client_ip, app, run, pg, bad_redis, module_redis, counted_layer):
    module_redis(bad_redis("down"))
    name, table = counted_layer()
    answers, checked_out = burst(app, run, client_ip, f"/gis/{name}/3/1/1.pbf", 10)
    assert [a.status_code for a in answers] == [200] * 10
    assert statements_run(run, pg, name) == 1
    assert checked_out == 0 and open_transactions(run, pg, table) == []


def test_a_later_miss_after_the_generation_runs_its_own(app, run, pg, redis_admin, counted_layer,
                                                        get):
    # Nothing outlives a generation: an empty tile (never cached) asked again
    # afterwards is generated again.
    name, _ = counted_layer(delay=0)
    for expected in (1, 2):
        assert get(f"/gis/{name}/3/1/1.pbf").status_code == 200
        run(redis_admin.delete(f"mvt_v8:{name}:3:1:1"))
        assert statements_run(run, pg, name) == expected
