"""GET /gis/{layer}/{z}/{x}/{y}.pbf through FastAPI on the real PostGIS and
Redis: decoded tiles, the cache, 204 answers, refusals and the rate limit."""

import time
from urllib.parse import unquote

import mapbox_vector_tile
import pytest
from helpers.utils import latlon_to_xyz, xyz_to_bbox_web_mercator

MEDIA = "application/vnd.mapbox-vector-tile"


@pytest.fixture(scope="session")
def parcel(run, pg):
    """The first parcel's row, with a point inside it (WGS84)."""
    return dict(run(pg.fetchrow(
        'SELECT p.*, ST_X(s) AS lon, ST_Y(s) AS lat FROM "GIS"."PLOT" p, '
        'ST_Transform(ST_PointOnSurface(p."GEOMETRY"), 4326) s ORDER BY p."ID" LIMIT 1')))


def tile_of(parcel, z):
    t = latlon_to_xyz(parcel["lat"], parcel["lon"], z)
    return z, t["x"], t["y"]


@pytest.fixture
def fresh(run, redis_admin):
    """Removes cached tiles before and after the test; gives their Redis keys."""
    keys = []

    def forget(layer, z, x, y):
        keys.append(f"mvt_v8:{layer}:{z}:{x}:{y}")
        run(redis_admin.delete(keys[-1]))
        return keys[-1]

    yield forget
    run(redis_admin.delete(*keys))


def decode(body, layer):
    """Features of the tile's one layer by their "feature_id" attribute (the
    statement sends the key column under that name beside its own)."""
    tile = mapbox_vector_tile.decode(body)
    assert list(tile) == [layer] and tile[layer]["extent"] == 4096
    return {f["properties"].pop("feature_id"): f for f in tile[layer]["features"]}


def ids_in_tile(run, pg, layer, z, x, y, tp):
    r = tp.LAYER_CONFIG[layer]
    b = xyz_to_bbox_web_mercator(z, x, y)
    return {row[0] for row in run(pg.fetch(
        f"SELECT {r['id_col']} FROM {r['table']} WHERE ST_Intersects({r['geom_col']}, "
        "ST_MakeEnvelope($1, $2, $3, $4, 3857))", b["minx"], b["miny"], b["maxx"], b["maxy"]))}


@pytest.mark.parametrize("z, lifetime", [(16, 1800), (8, 7200)])
def test_parcel_tile_is_generated_then_served_from_the_cache(
        get, fresh, run, pg, tp, redis_admin, parcel, z, lifetime):
    z, x, y = tile_of(parcel, z)
    key = fresh("plots", z, x, y)
    first = get(f"/gis/plots/{z}/{x}/{y}.pbf")
    assert first.status_code == 200 and first.headers["content-type"] == MEDIA
    assert "x-cache" not in first.headers and "cache-control" not in first.headers
    features = decode(first.content, "plots")
    assert len(features) > 1 and set(features) <= ids_in_tile(run, pg, "plots", z, x, y, tp)
    # At zoom 8 a parcel of 25 m is smaller than one tile unit and may vanish.
    mine = features[parcel["ID"] if z == 16 else max(features)]
    parcel = dict(run(pg.fetchrow('SELECT * FROM "GIS"."PLOT" WHERE "ID" = $1',
                                  mine["properties"]["ID"])))
    assert mine["geometry"]["type"] == "Polygon"
    for column in ("ID", "PLOT_NO", "STATUS", "GENERAL_LU", "CADZONE", "DETAIL_LU", "file_no"):
        assert mine["properties"][column] == parcel[column]
    assert mine["properties"]["AREA_SYSTEM"] == pytest.approx(parcel["AREA_SYSTEM"])

    assert run(redis_admin.get(key)) == first.content
    assert lifetime - 10 < run(redis_admin.ttl(key)) <= lifetime
    second = get(f"/gis/plots/{z}/{x}/{y}.pbf")
    assert second.status_code == 200 and second.content == first.content
    assert second.headers["x-cache"] == "HIT" and second.headers["content-type"] == MEDIA
    assert second.headers["cache-control"] == f"public, max-age={lifetime}"


@pytest.mark.parametrize("layer, z, kinds, keys", [
    ("beacons", 16, {"Point"}, {"ID", "BEACON_NO", "STATUS", "REMARK"}),
    ("roads", 13, {"LineString", "Polygon"}, {"ID", "ROAD_NAME", "ROAD_TYPE"}),
    ("cadzones", 12, {"Polygon"}, {"id", "name", "district_id"}),
    ("districts", 10, {"Polygon"}, {"id", "name", "lga_id"}),
    ("lgas", 10, {"Polygon"}, {"id", "name"}),
])
def test_every_layer_decodes(get, fresh, run, pg, tp, parcel, layer, z, kinds, keys):
    z, x, y = tile_of(parcel, z)
    fresh(layer, z, x, y)
    answer = get(f"/gis/{layer}/{z}/{x}/{y}.pbf")
    assert answer.status_code == 200
    features = decode(answer.content, layer)
    assert features and set(features) <= ids_in_tile(run, pg, layer, z, x, y, tp)
    id_col = tp.LAYER_CONFIG[layer]["id_col"].strip('"')
    for fid, f in features.items():
        assert set(f["properties"]) <= keys and f["properties"][id_col] == fid
    assert {f["geometry"]["type"] for f in features.values()} == kinds


def test_empty_area_answers_204_and_is_not_cached(get, fresh, run, redis_admin, tile_log):
    key = fresh("plots", 16, 0, 0)
    answer = get("/gis/plots/16/0/0.pbf")
    assert answer.status_code == 204 and answer.content == b""
    assert run(redis_admin.exists(key)) == 0
    bbox = xyz_to_bbox_web_mercator(16, 0, 0)
    assert tile_log("INFO") == [f"Empty tile generated for plots/16/0/0 - bbox: {bbox}"]


@pytest.mark.parametrize("layer, z, hint", [
    ("plots", 7, None), ("plots", 5, "['cadzones', 'districts', 'lgas', 'roads']"),
    ("beacons", 2, "['lgas']"), ("lgas", 1, None)])
def test_zoom_below_the_layer_answers_204_without_reading_the_cache(
        get, fresh, run, redis_admin, tile_log, layer, z, hint):
    run(redis_admin.set(fresh(layer, z, 0, 0), b"must not be served", ex=60))
    answer = get(f"/gis/{layer}/{z}/0/0.pbf")
    assert answer.status_code == 204 and answer.content == b""
    lines = [f"Layer {layer} not available at zoom {z}: "
             f"Layer {layer} not available at zoom level {z}"]
    assert tile_log("INFO") == lines + ([f"Try these layers at zoom {z}: {hint}"] if hint else [])


@pytest.mark.parametrize("name", ["rivers", "plots'", 'plots; DROP TABLE "GIS"."PLOT";--',
                                  "x' OR '1'='1", "plöts", "地図", "PLOTS", "%27%3B%20SELECT%201--"])
def test_unknown_layer_names_get_404_and_reach_no_sql(get, statements, name):
    answer = get(f"/gis/{name}/16/1/1.pbf")
    assert answer.status_code == 404
    assert answer.json() == {"detail": f"Layer '{unquote(name)}' not found"}
    assert statements == []


@pytest.mark.parametrize("z, x, y", [(0, 0, 0), (21, 0, 0), (-5, 0, 0), (5, -1, 0), (5, 0, 32),
                                     (20, 1048576, 0), (5, 10**30, 0), (10**30, 0, -(10**30))])
def test_addresses_outside_the_grid_get_400(get, statements, z, x, y):
    answer = get(f"/gis/plots/{z}/{x}/{y}.pbf")
    assert answer.status_code == 400
    assert answer.json() == {"detail": f"Invalid tile coordinates: z={z}, x={x}, y={y}"}
    assert statements == []
    assert get(f"/gis/rivers/{z}/{x}/{y}.pbf").status_code == 404  # the layer is checked first


@pytest.mark.parametrize("z, x, y", [("14", "abc", "5"), ("1.5", "0", "0")])
def test_non_integer_segments_get_422_before_any_work(get, run, redis_admin, client_ip,
                                                      statements, z, x, y):
    assert get(f"/gis/plots/{z}/{x}/{y}.pbf").status_code == 422
    assert run(redis_admin.exists(f"rate_limit:gis:{client_ip}")) == 0
    assert statements == []


# --- rate limit -------------------------------------------------------------


@pytest.fixture
def counter(run, redis_admin, client_ip):
    yield f"rate_limit:gis:{client_ip}"
    run(redis_admin.delete(f"rate_limit:gis:{client_ip}"))


def count(run, redis_admin, key):
    return int(run(redis_admin.get(key))), run(redis_admin.pttl(key))


def wait_until_gone(run, redis_admin, key):
    deadline = time.monotonic() + 5
    while run(redis_admin.exists(key)):
        assert time.monotonic() < deadline, f"{key} outlived its window"
        time.sleep(0.05)


def test_window_opens_with_the_first_request_and_refuses_the_41st(get, run, redis_admin, counter):
    assert get("/gis/plots/7/0/0.pbf").status_code == 204
    value, ttl = count(run, redis_admin, counter)
    assert value == 1 and 0 < ttl <= 1000
    run(redis_admin.set(counter, 39, ex=60))  # a window holding 39 requests
    assert get("/gis/plots/7/0/0.pbf").status_code == 204
    refused = get("/gis/plots/7/0/0.pbf")
    assert refused.status_code == 429
    assert refused.json() == {"detail": "Too many map requests. Please slow down panning."}
    assert get("/gis/rivers/7/0/0.pbf").status_code == 429  # before the layer check
    value, ttl = count(run, redis_admin, counter)
    assert value == 42 and 50_000 < ttl <= 60_000  # refusals count; the window is not moved


def test_counter_left_without_lifetime_gets_one(get, run, redis_admin, counter):
    # What a failed EXPIRE after the first INCR leaves behind: a counter far
    # over the limit with no expiry. It must not keep the client out for good.
    run(redis_admin.set(counter, 500))
    assert get("/gis/plots/7/0/0.pbf").status_code == 429
    assert 0 < count(run, redis_admin, counter)[1] <= 1000
    wait_until_gone(run, redis_admin, counter)
    assert get("/gis/plots/7/0/0.pbf").status_code == 204
    assert count(run, redis_admin, counter)[0] == 1


def test_counting_survives_a_script_flush(get, run, redis_admin, counter):
    run(redis_admin.script_flush())
    assert get("/gis/plots/7/0/0.pbf").status_code == 204
    assert get("/gis/plots/7/0/0.pbf").status_code == 204
    assert count(run, redis_admin, counter)[0] == 2


def test_requests_without_a_client_address_share_one_counter(get, run, redis_admin):
    key = "rate_limit:gis:unknown"
    run(redis_admin.set(key, 40, ex=60))
    try:
        assert get("/gis/plots/7/0/0.pbf", client=None).status_code == 429
        assert count(run, redis_admin, key)[0] == 41
    finally:
        run(redis_admin.delete(key))
