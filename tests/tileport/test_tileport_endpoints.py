"""The bounding-box, centroid, zoom-info, layer-list and health endpoints
through FastAPI on the real PostGIS and Redis."""

import math

import mapbox_vector_tile
import pytest

MEDIA = "application/vnd.mapbox-vector-tile"


@pytest.fixture(scope="session")
def parcel_box(run, pg):
    """A box of about 300 m around the first parcel, in both SRIDs."""
    row = run(pg.fetchrow(
        'SELECT ST_X(c) x, ST_Y(c) y, ST_X(w) lon, ST_Y(w) lat FROM "GIS"."PLOT" p, '
        'ST_PointOnSurface(p."GEOMETRY") c, ST_Transform(c, 4326) w ORDER BY p."ID" LIMIT 1'))
    return row


@pytest.fixture
def forget_bbox(run, redis_admin):
    keys = run(_keys(redis_admin, "mvt_v8:bbox:*"))
    if keys:
        run(redis_admin.delete(*keys))
    yield
    keys = run(_keys(redis_admin, "mvt_v8:bbox:*"))
    if keys:
        run(redis_admin.delete(*keys))


async def _keys(client, pattern):
    return [k async for k in client.scan_iter(match=pattern)]


def ids_in_box(run, pg, box):
    return {r[0] for r in run(pg.fetch(
        'SELECT "ID" FROM "GIS"."PLOT" WHERE ST_Intersects("GEOMETRY", '
        'ST_MakeEnvelope($1, $2, $3, $4, 3857))', *box))}


def test_bbox_tile_is_clipped_to_the_box_then_cached(get, run, pg, redis_admin, parcel_box,
                                                     forget_bbox):
    x, y = parcel_box["x"], parcel_box["y"]
    box = (x - 150, y - 150, x + 150, y + 150)
    path = "/gis/plots/bbox/?minx={}&miny={}&maxx={}&maxy={}&srid=3857".format(*box)
    first = get(path)
    assert first.status_code == 200 and first.headers["content-type"] == MEDIA
    assert first.headers["x-cache"] == "MISS"
    assert first.headers["cache-control"] == "public, max-age=1800"
    layer = mapbox_vector_tile.decode(first.content)["plots"]
    ids = {f["properties"]["feature_id"] for f in layer["features"]}
    assert ids == ids_in_box(run, pg, box)
    # Clipped at the box, with the buffer of 32 units of 4096 around it.
    for feature in layer["features"]:
        for ring in feature["geometry"]["coordinates"]:
            for px, py in ring:
                assert -32 <= px <= 4096 + 32 and -32 <= py <= 4096 + 32
    key = "mvt_v8:bbox:plots:{:.0f}:{:.0f}:{:.0f}:{:.0f}:5000:True".format(*box)
    assert run(redis_admin.get(key)) == first.content
    assert 1790 < run(redis_admin.ttl(key)) <= 1800
    # Swapped corners are the same box, and the same cache entry.
    second = get("/gis/plots/bbox/?minx={2}&miny={3}&maxx={0}&maxy={1}&srid=3857".format(*box))
    assert second.headers["x-cache"] == "HIT" and second.content == first.content


def test_wgs84_box_is_transformed_on_the_database(get, run, pg, parcel_box, forget_bbox):
    lon, lat = parcel_box["lon"], parcel_box["lat"]
    d = 0.002
    answer = get(f"/gis/plots/bbox/?minx={lon + d}&miny={lat + d}&maxx={lon - d}&maxy={lat - d}")
    assert answer.status_code == 200 and answer.headers["x-cache"] == "MISS"
    box = run(pg.fetchrow("SELECT ST_XMin(b), ST_YMin(b), ST_XMax(b), ST_YMax(b) FROM "
                          "ST_Transform(ST_MakeEnvelope($1, $2, $3, $4, 4326), 3857) b",
                          lon - d, lat - d, lon + d, lat + d))
    ids = {f["properties"]["feature_id"]
           for f in mapbox_vector_tile.decode(answer.content)["plots"]["features"]}
    assert ids == ids_in_box(run, pg, tuple(box))


@pytest.mark.parametrize("query, status, detail", [
    ("minx=a&miny=0&maxx=1&maxy=1", 422, None),
    ("minx=0&miny=0&maxx=1&maxy=1&srid=0", 400,
     "Only SRID 4326 (WGS84) and 3857 (Web Mercator) are supported"),
    ("minx=0&miny=0&maxx=1&maxy=1&srid=" + str(10**30), 400,
     "Only SRID 4326 (WGS84) and 3857 (Web Mercator) are supported"),
    ("minx=-181&miny=0&maxx=1&maxy=1", 400, "Invalid longitude values"),
    ("minx=nan&miny=0&maxx=1&maxy=1", 400, "Invalid longitude values"),
    ("minx=0&miny=91&maxx=1&maxy=1", 400, "Invalid latitude values"),
    ("minx=0&miny=0&maxx=1&maxy=inf", 400, "Invalid latitude values"),
    ("minx=0&miny=0&maxx=1&maxy=1.001", 400,
     "Bounding box too large. Maximum area: 1.0 square degrees"),
    ("minx=nan&miny=0&maxx=1&maxy=1&srid=3857", 400, "Invalid coordinate values"),
    ("minx=0&miny=0&maxx=-inf&maxy=1&srid=3857", 400, "Invalid coordinate values"),
    ("minx=0&miny=0&maxx=1&maxy=1&max_features=0", 400, "Invalid max_features value"),
    ("minx=0&miny=0&maxx=1&maxy=1&max_features=-5", 400, "Invalid max_features value"),
])
def test_bad_bbox_input_is_refused(get, query, status, detail):
    answer = get("/gis/plots/bbox/?" + query)
    assert answer.status_code == status
    if detail:
        assert answer.json() == {"detail": detail}


@pytest.mark.parametrize("query", [
    "minx=0&miny=0&maxx=1&maxy=1",  # exactly 1.0 square degree, no parcels there
    "minx=0&miny=0&maxx=1&maxy=1&max_features=" + str(10**30),
    "minx=1e300&miny=1e300&maxx=2e300&maxy=2e300&srid=3857",
    "minx=0&miny=-90&maxx=0.001&maxy=-89.999",  # the pole: far outside, but no error
])
def test_empty_box_answers_204_uncached(get, run, redis_admin, forget_bbox, query):
    answer = get("/gis/plots/bbox/?" + query)
    assert answer.status_code == 204 and answer.content == b""
    assert run(_keys(redis_admin, "mvt_v8:bbox:*")) == []


def test_bbox_rate_limit_and_its_window(get, run, redis_admin, client_ip):
    path = "/gis/rivers/bbox/?minx=0&miny=0&maxx=1&maxy=1"
    assert [get(path).status_code for _ in range(21)] == [404] * 20 + [429]
    assert get(path).json() == {"detail": "Too many bbox requests."}
    key = f"rate_limit:gis:bbox:{client_ip}"
    assert 0 < run(redis_admin.pttl(key)) <= 1000
    run(redis_admin.persist(key))  # a counter left without a lifetime gets one again
    get(path)
    assert 0 < run(redis_admin.pttl(key)) <= 1000


def test_bbox_counter_is_apart_from_the_tile_counter(get, run, redis_admin, client_ip):
    run(redis_admin.set(f"rate_limit:gis:{client_ip}", 1000, ex=5))
    assert get("/gis/rivers/bbox/?minx=0&miny=0&maxx=1&maxy=1").status_code == 404


def test_centroid_follows_the_statistics(get, run, pg, tp, redis_admin):
    run(redis_admin.delete("mvt_v8:centroid:districts"))
    run(pg.execute('ANALYZE "GIS"."Districts"'))
    answer = get("/gis/districts/")
    assert answer.status_code == 200
    data = answer.json()["data"]
    real = run(pg.fetchrow('SELECT ST_XMin(e), ST_YMin(e), ST_XMax(e), ST_YMax(e), '
                           'ST_Y(ST_Transform(ST_SetSRID(ST_Centroid(e), 3857), 4326)), '
                           'ST_X(ST_Transform(ST_SetSRID(ST_Centroid(e), 3857), 4326)) '
                           'FROM (SELECT ST_Extent(geometry)::geometry e FROM "GIS"."Districts") t'))
    extent = data["extent_web_mercator"]
    # The estimate covers the real extent, widened by at most 1 % of its size.
    size = max(real[2] - real[0], real[3] - real[1])
    for got, want in zip([extent["minx"], extent["miny"], extent["maxx"], extent["maxy"]], real):
        assert got == pytest.approx(want, abs=size / 100)
    assert data["centroid_wgs84"]["latitude"] == pytest.approx(real[4], abs=1e-3)
    assert data["centroid_wgs84"]["longitude"] == pytest.approx(real[5], abs=1e-3)
    tile = data["suggested_tile"]
    assert tile["z"] == 16
    assert data["tile_url"] == f"/gis/districts/16/{tile['x']}/{tile['y']}.pbf"
    assert data["layer_config"] == {"min_zoom": 3, "properties": ['"id"', '"name"', '"lga_id"']}
    assert list(data) == ["layer", "centroid_wgs84", "extent_web_mercator", "suggested_tile",
                          "suggested_tile_bbox", "tile_url", "layer_config"]
    cached = run(redis_admin.get("mvt_v8:centroid:districts"))
    assert 14390 < run(redis_admin.ttl("mvt_v8:centroid:districts")) <= 14400
    run(redis_admin.set("mvt_v8:centroid:districts", b'{"cached": true}'))
    assert get("/gis/districts/").json()["data"] == {"cached": True}
    run(redis_admin.set("mvt_v8:centroid:districts", b"\xff not json"))
    assert get("/gis/districts/").json()["data"] == data
    assert run(redis_admin.get("mvt_v8:centroid:districts")) == cached


def test_centroid_of_a_table_without_statistics(get, run, pg, tp, redis_admin, monkeypatch):
    run(pg.execute('CREATE SCHEMA IF NOT EXISTS "Tileport Test"; '
                   'DROP TABLE IF EXISTS "Tileport Test"."Fresh"; '
                   'CREATE TABLE "Tileport Test"."Fresh" (id int, "Geom" geometry(Point, 3857)); '
                   'INSERT INTO "Tileport Test"."Fresh" SELECT i, ST_SetSRID(ST_MakePoint('
                   '1000 * i, 2000 * i), 3857) FROM generate_series(1, 100) i'))
    monkeypatch.setitem(tp.LAYER_CONFIG, "fresh", {
        "table": '"Tileport Test"."Fresh"', "id_col": '"id"', "geom_col": '"Geom"',
        "properties": ['"id"']})
    run(redis_admin.delete("mvt_v8:centroid:fresh"))
    try:
        answer = get("/gis/fresh/")
        assert answer.status_code == 404
        assert answer.json()["message"] == "No valid geometry found for layer 'fresh'"
        run(pg.execute('ANALYZE "Tileport Test"."Fresh"'))
        data = get("/gis/fresh/").json()["data"]
        # The statistics' histogram widens the real extent by a fraction of a cell.
        e = data["extent_web_mercator"]
        assert 0 < e["minx"] <= 1000 and 0 < e["miny"] <= 2000
        assert 100000 <= e["maxx"] < 101000 and 200000 <= e["maxy"] < 202000
        assert data["layer_config"]["min_zoom"] == 0
    finally:
        run(redis_admin.delete("mvt_v8:centroid:fresh"))
        run(pg.execute('DROP SCHEMA "Tileport Test" CASCADE'))


def test_unknown_layers_get_404(get):
    for path in ("/gis/rivers/", "/gis/rivers/zoom-info/", "/gis/Plots/bbox/?minx=0&miny=0"
                 "&maxx=1&maxy=1"):
        assert get(path).json() == {"detail": "Layer 'rivers' not found"
                                    if "rivers" in path else "Layer 'Plots' not found"}


@pytest.mark.parametrize("layer, words", [
    ("plots", [None] * 7 + ["moderate"] + ["light"] * 6 + ["none"] * 6),
    ("lgas", [None] + ["heavy"] * 3 + ["moderate"] * 2 + ["moderate"] * 2 + ["light"] * 6
     + ["none"] * 6),
])
def test_zoom_info(get, layer, words):
    data = get(f"/gis/{layer}/zoom-info/").json()["data"]
    levels = data["zoom_levels"]
    assert list(levels) == [str(z) for z in range(1, 21)]
    assert [lv.get("simplification") for lv in levels.values()] == words
    assert all(lv == {"available": False} for lv in levels.values() if len(lv) == 1)
    assert levels["20"] == {"available": True, "tolerance": 0, "feature_limit": 30000,
                            "simplification": "none"}
    assert list(data["recommendations"]) == ["world_view", "regional_view", "detailed_view",
                                             "precise_view"]


def test_layer_list_and_health_are_not_layer_names(get, tp):
    layers = get("/gis/layers/").json()["data"]
    assert list(layers["layers"]) == list(tp.LAYER_CONFIG) and layers["total_layers"] == 6
    assert layers["layers"]["beacons"]["endpoints"] == {
        "xyz": "/gis/beacons/{z}/{x}/{y}.pbf", "bbox": "/gis/beacons/bbox/",
        "info": "/gis/beacons/", "zoom_info": "/gis/beacons/zoom-info/"}
    assert layers["layers"]["plots"]["table"] == '"GIS"."PLOT"'
    health = get("/gis/health/")
    assert health.status_code == 200 and health.json() == {
        "status": "healthy", "cache_status": "healthy", "available_layers": list(tp.LAYER_CONFIG),
        "zoom_support": "1-20 with layer-specific minimums"}


@pytest.mark.parametrize("kind", ["down", "stalling"])
def test_health_with_redis_unavailable(get, bad_redis, module_redis, tile_log, kind):
    module_redis(bad_redis(kind))
    answer = get("/gis/health/")
    assert answer.status_code == 200
    assert answer.json()["status"] == "healthy" and answer.json()["cache_status"] == "unhealthy"
    assert tile_log("WARNING") == []


def test_openapi_describes_the_routes(app):
    schema = app.openapi()
    assert list(schema["paths"]) == [
        "/gis/layers/", "/gis/health/", "/gis/{layer_name}/{z}/{x}/{y}.pbf",
        "/gis/{layer_name}/zoom-info/", "/gis/{layer_name}/bbox/", "/gis/{layer_name}/",
        "/gis/cache/invalidate/{layer_name}"]
    bbox = schema["paths"]["/gis/{layer_name}/bbox/"]["get"]
    assert bbox["description"] == "Serve vector tiles for custom bounding box."
    params = {p["name"]: p for p in bbox["parameters"]}
    assert list(params) == ["layer_name", "minx", "miny", "maxx", "maxy", "srid", "max_features",
                            "simplify"]
    assert params["minx"]["required"] and params["minx"]["description"] == "Bounding box minimum X"
    assert params["srid"]["schema"]["default"] == 4326
    assert params["simplify"]["schema"] == {"type": "boolean", "default": True,
                                            "description": "Apply geometry simplification",
                                            "title": "Simplify"}
    post = schema["paths"]["/gis/cache/invalidate/{layer_name}"]["post"]
    assert post["description"] == ("Manually invalidate cache for a specific layer.\n"
                                   "Useful after bulk data updates or for testing.")
