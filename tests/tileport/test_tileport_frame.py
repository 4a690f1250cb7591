"""What importing the module sets up, and a real server process serving
tiles over loopback."""

import json
import os
import socket
import subprocess
import sys
import time

import mapbox_vector_tile
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
HOST = os.path.join(os.path.dirname(os.path.dirname(HERE)), "host")
PROBE = (
    "import json, sys; sys.path.insert(0, %r)\n"
    "import terrava.tileport as t\n"
    "kw = t.redis_client.connection_pool.connection_kwargs\n"
    "print(json.dumps([t.redis_host, t.redis_port, t.redis_db, t.redis_password,\n"
    "    t.redis_username] + [kw[k] for k in ('host', 'port', 'db', 'username', 'password',\n"
    "    'decode_responses', 'socket_timeout', 'socket_connect_timeout')]))\n" % HOST)


def probe(cwd, **env):
    environment = {k: v for k, v in os.environ.items() if not k.startswith("REDIS_")}
    environment.update(env)
    return subprocess.run([sys.executable, "-c", PROBE], cwd=cwd, env=environment,
                          capture_output=True, text=True, timeout=120)


def test_redis_settings_and_start_up_lines(tmp_path):
    result = probe(tmp_path)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:4] == ["✓ Binary Redis cache initialized (no UTF-8 decoding)",
                         "  - Namespace: mvt_v8", "  - Redis: localhost:6379/0",
                         "  - decode_responses: False (handles binary data)"]
    assert json.loads(lines[4]) == ["localhost", 6379, 0, None, None,
                                    "localhost", 6379, 0, None, None, False, 5, 5]

    (tmp_path / ".env").write_text("REDIS_HOST=cache.internal\nREDIS_DB=3\nREDIS_PORT=7000\n")
    result = probe(tmp_path, REDIS_PORT="6380", REDIS_PASSWORD="s3cret", REDIS_USERNAME="tiles")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[2] == "  - Redis: cache.internal:6380/3"  # the environment wins over the file
    assert json.loads(lines[4])[:5] == ["cache.internal", 6380, 3, "s3cret", "tiles"]

    for variable in ("REDIS_PORT", "REDIS_DB"):
        result = probe(tmp_path, **{variable: "six"})
        assert result.returncode != 0
        assert "ValueError: invalid literal for int() with base 10: 'six'" in result.stderr


def test_registry_constants_and_router(tp, app):
    assert list(tp.LAYER_CONFIG) == ["plots", "beacons", "cadzones", "districts", "lgas", "roads"]
    assert tp.LAYER_CONFIG["plots"] == {
        "table": '"GIS"."PLOT"', "id_col": '"ID"', "geom_col": '"GEOMETRY"',
        "properties": ['"ID"', '"PLOT_NO"', '"STATUS"', '"AREA_SYSTEM"', '"GENERAL_LU"',
                       '"CADZONE"', '"DETAIL_LU"', '"file_no"'], "min_zoom": 8}
    assert tp.LAYER_CONFIG["districts"] == {
        "table": '"GIS"."Districts"', "id_col": '"id"', "geom_col": '"geometry"',
        "properties": ['"id"', '"name"', '"lga_id"'], "min_zoom": 3}
    assert [len(r["properties"]) for r in tp.LAYER_CONFIG.values()] == [8, 4, 3, 3, 2, 3]
    assert (tp.DEFAULT_CENTROID_ZOOM, tp.MAX_BBOX_AREA_WGS84, tp.MAX_FEATURES_GLOBAL,
            tp.CACHE_TTL_SHORT, tp.CACHE_TTL_LONG) == (16, 1.0, 15000, 1800, 7200)
    assert tp.logger.name == "terrava.tileport"
    assert tp.tileport.prefix == "/gis" and tp.tileport.tags == ["GIS Tiles"]
    (route,) = [r for r in tp.tileport.routes if r.endpoint is tp.get_tile_xyz]
    assert route.path == "/gis/{layer_name}/{z}/{x}/{y}.pbf" and route.methods == {"GET"}
    assert route.response_class.__name__ == "Response"
    operation = app.openapi()["paths"][route.path]["get"]
    assert operation["description"] == "Serve vector tiles with proper zoom-out support."
    # Fixed paths ("/layers/", "/health/") must come before any parameter
    # pattern, or "/{layer_name}/" would take them for layer names.
    paths = [r.path for r in tp.tileport.routes]
    assert paths == sorted(paths, key=lambda p: "{" in p)


@pytest.fixture(scope="module")
def server(pg):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([HERE, HOST] + sys.path))
    proc = subprocess.Popen([sys.executable, "-m", "uvicorn", "tile_app:app", "--host",
                             "127.0.0.1", "--port", str(port), "--no-access-log"],
                            cwd=HERE, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True)
    deadline = time.monotonic() + 60
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            if proc.poll() is not None or time.monotonic() > deadline:
                proc.kill()
                raise RuntimeError("uvicorn did not start:\n" + proc.stdout.read())
            time.sleep(0.1)
    yield f"http://127.0.0.1:{port}"
    proc.terminate()
    proc.wait(timeout=30)


def test_real_server_serves_tiles_over_loopback(server, run, pg, redis_admin):
    import httpx
    from helpers.utils import latlon_to_xyz

    row = run(pg.fetchrow('SELECT "ID", ST_X(s), ST_Y(s) FROM "GIS"."PLOT" p, ST_Transform('
                          'ST_PointOnSurface(p."GEOMETRY"), 4326) s ORDER BY "ID" DESC LIMIT 1'))
    t = latlon_to_xyz(row[2], row[1], 17)
    key = f"mvt_v8:plots:17:{t['x']}:{t['y']}"
    run(redis_admin.delete(key))
    try:
        with httpx.Client(base_url=server, timeout=30) as client:
            first, second = (client.get(f"/gis/plots/17/{t['x']}/{t['y']}.pbf") for _ in "12")
            assert client.get("/gis/plots/17/0/x.pbf").status_code == 422
            assert client.get("/gis/plots/7/0/0.pbf").status_code == 204
    finally:
        run(redis_admin.delete(key))
    assert first.status_code == 200 and "x-cache" not in first.headers
    assert first.headers["content-type"] == "application/vnd.mapbox-vector-tile"
    features = mapbox_vector_tile.decode(first.content)["plots"]["features"]
    assert row["ID"] in {f["properties"]["feature_id"] for f in features}
    assert {f["geometry"]["type"] for f in features} == {"Polygon"}
    assert second.headers["x-cache"] == "HIT" and second.content == first.content


def test_stalled_redis_fails_a_command_after_one_socket_timeout(tmp_path):
    # A listener that accepts and never answers. The shared client must give
    # up after its 5 s socket time-out, not retry for minutes: every tile
    # request waits on its rate-limit command.
    with socket.create_server(("127.0.0.1", 0), backlog=16) as listener:
        code = (
            "import asyncio, sys; sys.path.insert(0, %r)\n"
            "import terrava.tileport as t\n"
            "async def main():\n"
            "    try:\n"
            "        await asyncio.wait_for(t.redis_client.incr('k'), 25)\n"
            "    except BaseException as e:\n"
            "        print(type(e).__module__, type(e).__name__)\n"
            "asyncio.run(main())\n" % HOST)
        env = {k: v for k, v in os.environ.items() if not k.startswith("REDIS_")}
        env["REDIS_PORT"] = str(listener.getsockname()[1])
        env["REDIS_HOST"] = "127.0.0.1"
        result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env,
                                capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "redis.exceptions TimeoutError"
