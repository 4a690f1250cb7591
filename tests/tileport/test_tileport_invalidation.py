"""Cache invalidation: the background tasks and their schedulers, and the
endpoint, on a cache filled through real tile, bbox and centroid requests."""

import asyncio
import os
import subprocess

import pytest
from helpers.utils import latlon_to_xyz

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


async def _keys(client, pattern="*"):
    return sorted([k.decode() async for k in client.scan_iter(match=pattern)])


@pytest.fixture
def filled(get, run, pg, redis_admin):
    """Empties the namespace, then caches parcel and road tiles, a bbox tile
    and a centroid through the endpoints; plants keys outside the namespace."""
    run(redis_admin.delete(*(run(_keys(redis_admin, "mvt_v8:*")) or ["-"])))
    row = run(pg.fetchrow('SELECT ST_X(w) lon, ST_Y(w) lat, ST_X(c) x, ST_Y(c) y FROM '
                          '"GIS"."PLOT" p, ST_PointOnSurface(p."GEOMETRY") c, '
                          'ST_Transform(c, 4326) w ORDER BY p."ID" LIMIT 1'))
    paths = []
    for layer, z in [("plots", 16), ("plots", 15), ("plots", 14), ("roads", 14), ("roads", 13)]:
        t = latlon_to_xyz(row["lat"], row["lon"], z)
        paths.append(f"/gis/{layer}/{z}/{t['x']}/{t['y']}.pbf")
    x, y = row["x"], row["y"]
    paths += [f"/gis/plots/bbox/?minx={x - 100}&miny={y - 100}&maxx={x + 100}&maxy={y + 100}"
              "&srid=3857", "/gis/plots/"]
    assert [get(p).status_code for p in paths] == [200] * len(paths)
    outside = ["other:mvt_v8:plots:1:0:0", "mvt_v8x:plots:1:0:0", "rate_limit:gis:192.0.2.9"]
    for key in outside:
        run(redis_admin.set(key, b"x", ex=60))
    cached = run(_keys(redis_admin, "mvt_v8:*"))
    assert len(cached) == 7
    yield cached, outside
    run(redis_admin.delete(*outside, *(run(_keys(redis_admin, "mvt_v8:*")) or ["-"])))


def post(app, run, path):
    import httpx

    async def send():
        transport = httpx.ASGITransport(app=app)
        async with httpx.AsyncClient(transport=transport, base_url="http://tiles") as c:
            return await c.post(path)

    return run(send())


@pytest.mark.parametrize("layer, gone", [
    ("roads", lambda k: k.startswith("mvt_v8:roads:")),
    ("plots", lambda k: k.startswith("mvt_v8:plots:")),  # not bbox:plots, not centroid:plots
    ("all", lambda k: True),
])
def test_endpoint_deletes_exactly_its_keys(app, run, redis_admin, filled, tile_log, layer, gone):
    cached, outside = filled
    answer = post(app, run, f"/gis/cache/invalidate/{layer}")
    deleted = [k for k in cached if gone(k)]
    assert answer.status_code == 200
    body = answer.json()
    if layer == "all":
        assert body["data"] == {"deleted_count": 7}
        assert body["message"] == "All cache invalidated successfully. 7 keys deleted."
        assert tile_log("INFO")[-1] == "Background task: Invalidated ALL cache entries: 7 keys deleted"
    else:
        assert body["data"] == {"layer": layer, "deleted_count": len(deleted)}
        assert body["message"] == (f"Cache for layer '{layer}' invalidated successfully. "
                                   f"{len(deleted)} keys deleted.")
    survivors = run(_keys(redis_admin, "mvt_v8:*"))
    assert survivors == [k for k in cached if not gone(k)]
    assert all(run(redis_admin.exists(k)) for k in outside)
    assert post(app, run, f"/gis/cache/invalidate/{layer}").json()["data"]["deleted_count"] == 0


def test_endpoint_refuses_unknown_layers_without_touching_redis(app, run, module_redis,
                                                                bad_redis):
    module_redis(bad_redis("down"))  # any command would fail
    answer = post(app, run, "/gis/cache/invalidate/Plots")
    assert answer.status_code == 404
    assert answer.json() == {"detail": "Layer 'Plots' not found. Valid layers: ['plots', "
                                       "'beacons', 'cadzones', 'districts', 'lgas', 'roads']"}


@pytest.mark.parametrize("pattern, gone", [
    ("plots:16:*", lambda k: k.startswith("mvt_v8:plots:16:")),
    ("p*s:1[45]:*", lambda k: k.startswith(("mvt_v8:plots:14:", "mvt_v8:plots:15:"))),
    ("*", lambda k: True),
])
def test_pattern_task_keeps_glob_meaning_inside_the_namespace(run, tp, redis_admin, filled,
                                                               tile_log, pattern, gone):
    cached, outside = filled
    count = run(tp._invalidate_cache_by_pattern_task(pattern))
    assert count == len([k for k in cached if gone(k)])
    assert run(_keys(redis_admin, "mvt_v8:*")) == [k for k in cached if not gone(k)]
    assert all(run(redis_admin.exists(k)) for k in outside)
    assert tile_log("INFO")[-1] == (f"Background task: Invalidated {count} cache entries "
                                    f"matching pattern '{pattern}'")


def test_schedulers_run_the_tasks_in_the_background(run, tp, redis_admin, filled, tile_log):
    cached, _ = filled

    async def schedule_and_wait():
        assert tp.invalidate_layer_cache("roads") is None
        assert tp.invalidate_cache_by_pattern("bbox:*") is None
        await asyncio.sleep(0.5)
        assert tp.invalidate_all_cache() is None
        await asyncio.sleep(0.5)

    run(schedule_and_wait())
    assert tile_log("DEBUG")[:1] == ["Scheduled background cache invalidation for layer 'roads'"]
    assert "Scheduled background cache invalidation for pattern 'bbox:*'" in tile_log("DEBUG")
    assert "Scheduled background cache invalidation for ALL layers" in tile_log("DEBUG")
    info = tile_log("INFO")
    assert "Background task: Invalidated 2 cache entries for layer 'roads'" in info
    assert "Background task: Invalidated 1 cache entries matching pattern 'bbox:*'" in info
    assert "Background task: Invalidated ALL cache entries: 4 keys deleted" in info
    assert run(_keys(redis_admin, "mvt_v8:*")) == []


def test_with_redis_down_tasks_answer_0_and_the_endpoint_503(app, run, tp, module_redis,
                                                             bad_redis, tile_log):
    module_redis(bad_redis("down"))
    assert run(tp._invalidate_layer_cache_task("plots")) == 0
    assert run(tp._invalidate_all_cache_task()) == 0
    assert run(tp._invalidate_cache_by_pattern_task("x:*")) == 0
    errors = tile_log("ERROR")
    assert [e.split(": ")[0] for e in errors] == [
        "Background task failed to invalidate cache for layer 'plots'",
        "Background task failed to invalidate all cache",
        "Background task failed to invalidate cache by pattern 'x:*'"]
    answer = post(app, run, "/gis/cache/invalidate/plots")
    assert answer.status_code == 503
    assert answer.json() == {"detail": "Cache for layer 'plots' could not be invalidated"}
    answer = post(app, run, "/gis/cache/invalidate/all")
    assert answer.status_code == 503
    assert answer.json() == {"detail": "Cache could not be invalidated"}


def test_endpoint_with_the_real_redis_stopped(tmp_path):
    """A Redis of this test's own, stopped under a running server process:
    the invalidation is refused with 503, and works again once it is back."""
    import socket
    import time

    import httpx

    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    sock.close()

    def start_redis():
        subprocess.run(["redis-server", "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                        "--appendonly", "no", "--daemonize", "yes", "--dir", str(tmp_path),
                        "--pidfile", str(tmp_path / "redis.pid")], check=True)
        for _ in range(100):
            if subprocess.run(["redis-cli", "-p", str(port), "ping"],
                              capture_output=True).stdout.strip() == b"PONG":
                return
            time.sleep(0.05)

    def stop_redis():
        subprocess.run(["redis-cli", "-p", str(port), "shutdown", "nosave"], capture_output=True)
        time.sleep(0.3)

    start_redis()
    env = dict(os.environ, REDIS_HOST="127.0.0.1", REDIS_PORT=str(port), REDIS_DB="0",
               PYTHONPATH=os.pathsep.join([os.path.join(ROOT, "host"),
                                           os.path.join(ROOT, "tests", "tileport")]))
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        app_port = s.getsockname()[1]
    import sys

    server = subprocess.Popen([sys.executable, "-m", "uvicorn", "tile_app:app", "--port",
                               str(app_port), "--log-level", "warning"], env=env)
    try:
        base = f"http://127.0.0.1:{app_port}"
        for _ in range(100):
            try:
                httpx.get(base + "/gis/health/")
                break
            except httpx.TransportError:
                time.sleep(0.1)
        subprocess.run(["redis-cli", "-p", str(port), "set", "mvt_v8:plots:3:1:1", "x"],
                       check=True, capture_output=True)
        stop_redis()
        answer = httpx.post(base + "/gis/cache/invalidate/plots", timeout=30)
        assert answer.status_code == 503
        assert httpx.get(base + "/gis/health/").json()["cache_status"] == "unhealthy"
        start_redis()
        subprocess.run(["redis-cli", "-p", str(port), "set", "mvt_v8:plots:3:1:1", "x"],
                       check=True, capture_output=True)
        answer = httpx.post(base + "/gis/cache/invalidate/plots", timeout=30)
        assert answer.status_code == 200 and answer.json()["data"]["deleted_count"] == 1
    finally:
        server.terminate()
        server.wait(timeout=10)
        stop_redis()
