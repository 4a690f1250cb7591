"""What importing the module sets up: settings from the environment and the
environment file, the start-up lines, the registry, the router and its
routes, and a real server process serving tiles over loopback."""

import json
import os
import socket
import subprocess
import sys
import time

import mapbox_vector_tile
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
HOST = os.path.join(ROOT, "host")

STARTUP = [
    "✓ Binary Redis cache initialized (no UTF-8 decoding)",
    "  - Namespace: mvt_v8",
    "{redis}",
    "  - decode_responses: False (handles binary data)",
]

PROBE = """
import json, sys
sys.path.insert(0, {host!r})
import terrava.tileport as t
kw = t.redis_client.connection_pool.connection_kwargs
print(json.dumps({{k: kw.get(k) for k in ("host", "port", "db", "username", "password",
    "socket_timeout", "socket_connect_timeout")}} | {{"decode": kw.get("decode_responses"),
    "attrs": [t.redis_host, t.redis_port, t.redis_db, t.redis_password, t.redis_username]}}))
"""


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith("REDIS_")}
    env.update(extra)
    return env


def probe(tmp_path, **env):
    result = subprocess.run([sys.executable, "-c", PROBE.format(host=HOST)], cwd=tmp_path,
                            env=clean_env(**env), capture_output=True, text=True, timeout=120)
    return result


def test_defaults_without_environment(tmp_path):
    result = probe(tmp_path)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:4] == [s.format(redis="  - Redis: localhost:6379/0") for s in STARTUP]
    settings = json.loads(lines[4])
    assert settings == {
        "host": "localhost", "port": 6379, "db": 0, "username": None, "password": None,
        "socket_timeout": 5, "socket_connect_timeout": 5, "decode": False,
        "attrs": ["localhost", 6379, 0, None, None]}


def test_settings_from_the_environment_and_the_environment_file(tmp_path):
    (tmp_path / ".env").write_text("REDIS_HOST=cache.internal\nREDIS_DB=3\n"
                                   "REDIS_USERNAME=tiles\nREDIS_PORT=7000\n")
    result = probe(tmp_path, REDIS_PORT="6380", REDIS_PASSWORD="s3cret")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[2] == "  - Redis: cache.internal:6380/3"  # the environment wins over the file
    settings = json.loads(lines[4])
    assert settings["attrs"] == ["cache.internal", 6380, 3, "s3cret", "tiles"]
    assert settings["port"] == 6380 and settings["db"] == 3 and settings["username"] == "tiles"


@pytest.mark.parametrize("variable", ["REDIS_PORT", "REDIS_DB"])
def test_non_integer_port_or_database_fails_the_import(tmp_path, variable):
    result = probe(tmp_path, **{variable: "six"})
    assert result.returncode != 0
    assert "ValueError: invalid literal for int() with base 10: 'six'" in result.stderr


def test_registry(tp):
    assert list(tp.LAYER_CONFIG) == ["plots", "beacons", "cadzones", "districts", "lgas", "roads"]
    assert tp.LAYER_CONFIG["plots"] == {
        "table": '"GIS"."PLOT"', "id_col": '"ID"', "geom_col": '"GEOMETRY"',
        "properties": ['"ID"', '"PLOT_NO"', '"STATUS"', '"AREA_SYSTEM"', '"GENERAL_LU"',
                       '"CADZONE"', '"DETAIL_LU"', '"file_no"'],
        "min_zoom": 8}
    assert tp.LAYER_CONFIG["cadzones"] == {
        "table": '"GIS"."CadZones"', "id_col": '"id"', "geom_col": '"geometry"',
        "properties": ['"id"', '"name"', '"district_id"'], "min_zoom": 4}
    counts = {name: len(r["properties"]) for name, r in tp.LAYER_CONFIG.items()}
    assert counts == {"plots": 8, "beacons": 4, "cadzones": 3, "districts": 3, "lgas": 2,
                      "roads": 3}
    assert {n: r["min_zoom"] for n, r in tp.LAYER_CONFIG.items()} == {
        "plots": 8, "beacons": 12, "cadzones": 4, "districts": 3, "lgas": 2, "roads": 4}
    for record in tp.LAYER_CONFIG.values():
        assert record["properties"][0] == record["id_col"]
        assert list(record) == ["table", "id_col", "geom_col", "properties", "min_zoom"]


def test_constants_and_names(tp):
    assert (tp.DEFAULT_CENTROID_ZOOM, tp.MAX_BBOX_AREA_WGS84, tp.MAX_FEATURES_GLOBAL,
            tp.CACHE_TTL_SHORT, tp.CACHE_TTL_LONG) == (16, 1.0, 15000, 1800, 7200)
    assert isinstance(tp.MAX_BBOX_AREA_WGS84, float)
    assert tp.__name__ == "terrava.tileport" and tp.logger.name == "terrava.tileport"
    assert tp.cache.namespace == "mvt_v8" and tp.cache.redis is tp.redis_client
    assert tp.BinaryRedisCache.__doc__ == (
        "Simple Redis cache for binary MVT tiles without UTF-8 decoding.")


def test_router_and_tile_route(tp, app):
    import inspect

    from fastapi import Response

    assert tp.tileport.prefix == "/gis" and tp.tileport.tags == ["GIS Tiles"]
    route = next(r for r in tp.tileport.routes if r.path == "/gis/{layer_name}/{z}/{x}/{y}.pbf")
    assert route.methods == {"GET"} and route.response_class is Response
    assert route.endpoint is tp.get_tile_xyz
    assert inspect.iscoroutinefunction(tp.get_tile_xyz)
    assert list(inspect.signature(tp.get_tile_xyz).parameters) == [
        "layer_name", "z", "x", "y", "request", "db"]
    operation = app.openapi()["paths"]["/gis/{layer_name}/{z}/{x}/{y}.pbf"]["get"]
    assert operation["description"] == "Serve vector tiles with proper zoom-out support."
    assert operation["tags"] == ["GIS Tiles"]


def test_fixed_paths_are_registered_ahead_of_parameter_patterns(tp):
    # "/layers/" and "/health/" must never be taken as a layer name by
    # "/{layer_name}/": every route without parameters comes first.
    paths = [r.path for r in tp.tileport.routes]
    first_pattern = next((i for i, p in enumerate(paths) if "{" in p), len(paths))
    assert all("{" in p for p in paths[first_pattern:])


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="module")
def server(cadastre):
    port = _free_port()
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([HERE, HOST] + [p for p in sys.path if p])
    proc = subprocess.Popen(
        [sys.executable, "-m", "uvicorn", "tile_app:app", "--host", "127.0.0.1", "--port",
         str(port), "--no-access-log"],
        cwd=HERE, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
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
    yield f"http://127.0.0.1:{port}", proc
    proc.terminate()
    proc.wait(timeout=30)


def test_real_server_serves_tiles_over_loopback(server, run, pg, redis_admin):
    import httpx

    from helpers.utils import latlon_to_xyz

    base, proc = server
    row = run(pg.fetchrow(
        'SELECT "ID", ST_X(s) AS lon, ST_Y(s) AS lat FROM "GIS"."PLOT" p, '
        'ST_Transform(ST_PointOnSurface(p."GEOMETRY"), 4326) s ORDER BY "ID" DESC LIMIT 1'))
    t = latlon_to_xyz(row["lat"], row["lon"], 17)
    path = f"/gis/plots/17/{t['x']}/{t['y']}.pbf"
    run(redis_admin.delete(f"mvt_v8:plots:17:{t['x']}:{t['y']}"))
    with httpx.Client(base_url=base, timeout=30) as client:
        first = client.get(path)
        second = client.get(path)
        assert client.get("/gis/plots/17/0/x.pbf").status_code == 422
        assert client.get("/gis/plots/7/0/0.pbf").status_code == 204
        openapi = client.get("/openapi.json").json()
    assert first.status_code == 200 and "x-cache" not in first.headers
    assert first.headers["content-type"] == "application/vnd.mapbox-vector-tile"
    features = mapbox_vector_tile.decode(first.content)["plots"]["features"]
    assert row["ID"] in {f["properties"]["feature_id"] for f in features}
    assert {f["geometry"]["type"] for f in features} == {"Polygon"}
    assert second.headers["x-cache"] == "HIT" and second.content == first.content
    assert "/gis/{layer_name}/{z}/{x}/{y}.pbf" in openapi["paths"]
    run(redis_admin.delete(f"mvt_v8:plots:17:{t['x']}:{t['y']}"))
