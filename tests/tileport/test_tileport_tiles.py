"""GET /gis/{layer}/{z}/{x}/{y}.pbf through FastAPI, on the real PostGIS and
Redis: decoded tiles, the cache, 204 answers, refusals and the rate limit."""

import time

import mapbox_vector_tile
import pytest
from helpers.utils import latlon_to_xyz, xyz_to_bbox_web_mercator

MEDIA = "application/vnd.mapbox-vector-tile"


@pytest.fixture(scope="session")
def parcel(run, pg):
    """The first parcel: its row and a point inside it (WGS84)."""
    row = run(pg.fetchrow(
        'SELECT p.*, ST_X(s) AS lon, ST_Y(s) AS lat FROM "GIS"."PLOT" p, '
        'ST_Transform(ST_PointOnSurface(p."GEOMETRY"), 4326) s ORDER BY p."ID" LIMIT 1'))
    return dict(row)


def tile_of(parcel, z):
    t = latlon_to_xyz(parcel["lat"], parcel["lon"], z)
    return t["z"], t["x"], t["y"]


@pytest.fixture
def fresh(run, redis_admin):
    """Removes the cached entries of the given tiles, before and after the test."""
    keys = []

    def forget(layer, z, x, y):
        key = f"mvt_v8:{layer}:{z}:{x}:{y}"
        keys.append(key)
        run(redis_admin.delete(key))
        return key

    yield forget
    if keys:
        run(redis_admin.delete(*keys))


def decode(body, layer):
    """The features of the tile's single layer, keyed by their feature_id
    attribute (the statement sends the key column as the attribute
    "feature_id", beside the key column's own attribute)."""
    tile = mapbox_vector_tile.decode(body)
    assert list(tile) == [layer]
    assert tile[layer]["extent"] == 4096
    features = {}
    for f in tile[layer]["features"]:
        fid = f["properties"].pop("feature_id")
        assert fid not in features
        features[fid] = f
    return features


def ids_in_tile(run, pg, table, id_col, geom_col, z, x, y):
    b = xyz_to_bbox_web_mercator(z, x, y)
    rows = run(pg.fetch(
        f"SELECT {id_col} AS id FROM {table} WHERE ST_Intersects({geom_col}, "
        "ST_MakeEnvelope($1, $2, $3, $4, 3857))", b["minx"], b["miny"], b["maxx"], b["maxy"]))
    return {r["id"] for r in rows}


def test_parcel_tile_is_generated_then_served_from_the_cache(get, fresh, run, pg, redis_admin,
                                                              parcel):
    z, x, y = tile_of(parcel, 16)
    key = fresh("plots", z, x, y)

    first = get(f"/gis/plots/{z}/{x}/{y}.pbf")
    assert first.status_code == 200
    assert first.headers["content-type"] == MEDIA
    assert "x-cache" not in first.headers and "cache-control" not in first.headers
    by_id = decode(first.content, "plots")
    expected = ids_in_tile(run, pg, '"GIS"."PLOT"', '"ID"', '"GEOMETRY"', z, x, y)
    assert parcel["ID"] in by_id and set(by_id) <= expected and len(by_id) > 1
    mine = by_id[parcel["ID"]]
    assert mine["geometry"]["type"] == "Polygon"
    props = mine["properties"]
    assert props["ID"] == parcel["ID"]  # the key column travels as a property too
    for column in ("PLOT_NO", "STATUS", "GENERAL_LU", "CADZONE", "DETAIL_LU", "file_no"):
        assert props[column] == parcel[column]
    assert props["AREA_SYSTEM"] == pytest.approx(parcel["AREA_SYSTEM"])
    assert set(props) <= {"ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "GENERAL_LU", "CADZONE",
                          "DETAIL_LU", "file_no"}

    assert run(redis_admin.get(key)) == first.content
    assert 1790 < run(redis_admin.ttl(key)) <= 1800

    second = get(f"/gis/plots/{z}/{x}/{y}.pbf")
    assert second.status_code == 200
    assert second.content == first.content
    assert second.headers["x-cache"] == "HIT"
    assert second.headers["cache-control"] == "public, max-age=1800"
    assert second.headers["content-type"] == MEDIA


def test_overview_tile_is_cached_for_the_long_lifetime(get, fresh, run, redis_admin, parcel):
    z, x, y = tile_of(parcel, 8)
    key = fresh("plots", z, x, y)
    assert get(f"/gis/plots/{z}/{x}/{y}.pbf").status_code == 200
    assert 7190 < run(redis_admin.ttl(key)) <= 7200
    hit = get(f"/gis/plots/{z}/{x}/{y}.pbf")
    assert hit.headers["cache-control"] == "public, max-age=7200"


@pytest.mark.parametrize(
    "layer, z, table, id_col, geom_col, kinds, keys",
    [
        ("beacons", 16, '"GIS"."BEACON"', '"ID"', '"GEOMETRY"', {"Point"},
         {"ID", "BEACON_NO", "STATUS", "REMARK"}),
        ("roads", 13, '"GIS"."ROAD"', '"ID"', '"GEOMETRY"', {"LineString", "Polygon"},
         {"ID", "ROAD_NAME", "ROAD_TYPE"}),
        ("cadzones", 12, '"GIS"."CadZones"', '"id"', '"geometry"', {"Polygon"},
         {"id", "name", "district_id"}),
        ("districts", 10, '"GIS"."Districts"', '"id"', '"geometry"', {"Polygon"},
         {"id", "name", "lga_id"}),
        ("lgas", 10, '"GIS"."LGAs"', '"id"', '"geometry"', {"Polygon", "MultiPolygon"},
         {"id", "name"}),
    ],
)
def test_every_layer_decodes_with_its_ids_properties_and_geometry(
        get, fresh, run, pg, parcel, layer, z, table, id_col, geom_col, kinds, keys):
    z, x, y = tile_of(parcel, z)
    fresh(layer, z, x, y)
    answer = get(f"/gis/{layer}/{z}/{x}/{y}.pbf")
    assert answer.status_code == 200
    features = decode(answer.content, layer)
    assert features and set(features) <= ids_in_tile(run, pg, table, id_col, geom_col, z, x, y)
    for fid, f in features.items():
        assert f["geometry"]["type"] in kinds
        assert set(f["properties"]) <= keys
        assert f["properties"][id_col.strip('"')] == fid
    if layer == "roads":  # the carriageway polygons come through beside the centre lines
        assert {f["geometry"]["type"] for f in features.values()} == {"LineString", "Polygon"}


def test_empty_area_answers_204_and_is_not_cached(get, fresh, run, redis_admin, tile_log):
    key = fresh("plots", 16, 0, 0)
    answer = get("/gis/plots/16/0/0.pbf")
    assert answer.status_code == 204 and answer.content == b""
    assert run(redis_admin.exists(key)) == 0
    bbox = xyz_to_bbox_web_mercator(16, 0, 0)
    assert tile_log("INFO") == [f"Empty tile generated for plots/16/0/0 - bbox: {bbox}"]


@pytest.mark.parametrize(
    "layer, z, lines",
    [
        ("plots", 7, ["Layer plots not available at zoom 7: "
                      "Layer plots not available at zoom level 7"]),
        ("plots", 5, ["Layer plots not available at zoom 5: "
                      "Layer plots not available at zoom level 5",
                      "Try these layers at zoom 5: ['cadzones', 'districts', 'lgas', 'roads']"]),
        ("beacons", 2, ["Layer beacons not available at zoom 2: "
                        "Layer beacons not available at zoom level 2",
                        "Try these layers at zoom 2: ['lgas']"]),
        ("lgas", 1, ["Layer lgas not available at zoom 1: "
                     "Layer lgas not available at zoom level 1"]),
    ],
)
def test_zoom_below_the_layer_answers_204_without_reading_the_cache(
        get, fresh, run, redis_admin, tile_log, layer, z, lines):
    key = fresh(layer, z, 0, 0)
    run(redis_admin.set(key, b"a cached tile that must not be served", ex=60))
    answer = get(f"/gis/{layer}/{z}/0/0.pbf")
    assert answer.status_code == 204 and answer.content == b""
    assert tile_log("INFO") == lines


HOSTILE = ["rivers", "plots'", "plots; DROP TABLE \"GIS\".\"PLOT\";--", "x' OR '1'='1",
           "plöts", "地図", "PLOTS", "plots ", "%27%3B%20SELECT%201%3B--"]


@pytest.fixture
def statements():
    """Every SQL statement the database driver is given while the test runs."""
    from sqlalchemy import event
    from sqlalchemy.engine import Engine

    seen = []

    def record(conn, cursor, statement, parameters, context, executemany):
        seen.append(statement)

    event.listen(Engine, "before_cursor_execute", record)
    yield seen
    event.remove(Engine, "before_cursor_execute", record)


@pytest.mark.parametrize("name", HOSTILE)
def test_unknown_layer_names_get_404_and_reach_no_sql(get, statements, name):
    answer = get(f"/gis/{name}/16/1/1.pbf")
    assert answer.status_code == 404
    from urllib.parse import unquote

    assert answer.json() == {"detail": f"Layer '{unquote(name)}' not found"}
    assert statements == []


def test_unknown_layer_wins_over_a_bad_address(get):
    assert get("/gis/rivers/0/-1/99.pbf").status_code == 404


@pytest.mark.parametrize(
    "z, x, y",
    [(0, 0, 0), (21, 0, 0), (-5, 0, 0), (5, -1, 0), (5, 0, -1), (5, 32, 0), (5, 0, 32),
     (20, 1048576, 0), (5, 10**30, 0), (10**30, 0, 0), (5, 0, -(10**30))],
)
def test_addresses_outside_the_grid_get_400(get, statements, z, x, y):
    answer = get(f"/gis/plots/{z}/{x}/{y}.pbf")
    assert answer.status_code == 400
    assert answer.json() == {"detail": f"Invalid tile coordinates: z={z}, x={x}, y={y}"}
    assert statements == []


@pytest.mark.parametrize("z, x, y", [("14", "abc", "5"), ("1.5", "0", "0"), ("14", "0", "")])
def test_non_integer_segments_are_refused_before_any_work(get, run, redis_admin, client_ip,
                                                         statements, z, x, y):
    answer = get(f"/gis/plots/{z}/{x}/{y}.pbf")
    assert answer.status_code in (404, 422)
    if y:  # an empty segment does not match the route at all
        assert answer.status_code == 422
    assert run(redis_admin.exists(f"rate_limit:gis:{client_ip}")) == 0
    assert statements == []


# --- rate limit -------------------------------------------------------------


@pytest.fixture
def counter(run, redis_admin, client_ip):
    key = f"rate_limit:gis:{client_ip}"
    yield key
    run(redis_admin.delete(key))


def test_first_request_opens_a_one_second_window(get, run, redis_admin, counter):
    assert get("/gis/plots/7/0/0.pbf").status_code == 204
    assert int(run(redis_admin.get(counter))) == 1
    assert 0 < run(redis_admin.pttl(counter)) <= 1000


def test_41st_request_of_a_window_is_refused_and_still_counted(get, run, redis_admin, counter):
    run(redis_admin.set(counter, 39, ex=60))  # a window with 39 requests already in it
    assert get("/gis/plots/7/0/0.pbf").status_code == 204
    refused = get("/gis/plots/7/0/0.pbf")
    assert refused.status_code == 429
    assert refused.json() == {"detail": "Too many map requests. Please slow down panning."}
    assert get("/gis/rivers/7/0/0.pbf").status_code == 429  # before the layer check
    assert int(run(redis_admin.get(counter))) == 42
    assert 50 < run(redis_admin.ttl(counter)) <= 60  # the window is not extended


def wait_until_gone(run, redis_admin, key, limit=5.0):
    deadline = time.monotonic() + limit
    while run(redis_admin.exists(key)):
        assert time.monotonic() < deadline, f"{key} still exists"
        time.sleep(0.05)


def test_next_window_starts_a_new_count(get, run, redis_admin, counter):
    run(redis_admin.set(counter, 100, px=300))
    assert get("/gis/plots/7/0/0.pbf").status_code == 429
    wait_until_gone(run, redis_admin, counter)
    assert get("/gis/plots/7/0/0.pbf").status_code == 204
    assert int(run(redis_admin.get(counter))) == 1


def test_counter_left_without_lifetime_gets_one(get, run, redis_admin, counter):
    # What a failed EXPIRE after the first INCR leaves behind: a counter with
    # no expiry, far over the limit. It must not keep the client out for good.
    run(redis_admin.set(counter, 500))
    assert run(redis_admin.pttl(counter)) == -1
    assert get("/gis/plots/7/0/0.pbf").status_code == 429
    assert 0 < run(redis_admin.pttl(counter)) <= 1000
    wait_until_gone(run, redis_admin, counter)
    assert get("/gis/plots/7/0/0.pbf").status_code == 204
    assert 0 < run(redis_admin.pttl(counter)) <= 1000


def test_script_is_loaded_again_after_a_script_flush(get, run, redis_admin, counter):
    run(redis_admin.script_flush())
    assert get("/gis/plots/7/0/0.pbf").status_code == 204
    assert int(run(redis_admin.get(counter))) == 1
    assert get("/gis/plots/7/0/0.pbf").status_code == 204
    assert int(run(redis_admin.get(counter))) == 2


def test_requests_without_a_client_address_share_one_counter(app, run, redis_admin):
    import httpx

    key = "rate_limit:gis:unknown"
    run(redis_admin.set(key, 40, ex=60))
    transport = httpx.ASGITransport(app=app, client=None)

    async def send():
        async with httpx.AsyncClient(transport=transport, base_url="http://tiles") as c:
            return await c.get("/gis/plots/7/0/0.pbf")

    try:
        assert run(send()).status_code == 429
        assert int(run(redis_admin.get(key))) == 41
    finally:
        run(redis_admin.delete(key))
