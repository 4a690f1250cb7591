"""Zoom bands, the tile statement and the address checks."""

import re

import pytest

KEYS = ("tolerance", "feature_limit", "buffer", "cache_ttl")
BANDS = {4: (1000, 2000, 512, 7200), 6: (500, 3000, 256, 7200), 8: (250, 5000, 256, 7200),
         10: (100, 8000, 256, 7200), 12: (50, 10000, 256, 1800), 14: (10, 15000, 64, 1800),
         16: (0, 20000, 16, 1800), float("inf"): (0, 30000, 8, 1800)}


def band(zoom):
    return dict(zip(KEYS, BANDS[min(b for b in BANDS if zoom <= b)]))


@pytest.mark.parametrize("zoom", [0, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 25, 10**30])
def test_zoom_bands(tp, zoom):
    config = tp.get_zoom_config(zoom, "unregistered")  # served from zoom 0
    assert config == band(zoom) and tuple(config) == KEYS
    assert config is not tp.get_zoom_config(zoom, "unregistered")


LGAS_5 = """
    SELECT ST_AsMVT(mvt_data, 'lgas', 4096, 'mvt_geom') AS mvt
    FROM (
        SELECT "id", "name",
            "id" AS feature_id,
            ST_AsMVTGeom(
                ST_SimplifyPreserveTopology("geometry", 500),
                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),
                4096,
                256,
                true
            ) AS mvt_geom
        FROM "GIS"."LGAs"
        WHERE "geometry" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)
        ORDER BY ST_Area("geometry") DESC
        LIMIT 3000
    ) AS mvt_data
    WHERE mvt_data.mvt_geom IS NOT NULL;
    """

PLOTS_FILTER = """
        WHERE 
        "GEOMETRY" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)
        AND ST_Intersects("GEOMETRY", ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857))
        
        ORDER BY ST_Area("GEOMETRY") DESC
"""  # noqa: W291, W293 (the blanks belong to the statement)


def test_statement_text(tp):
    assert tp.generate_mvt_sql("lgas", 5) == (LGAS_5, band(5))
    sql, config = tp.generate_mvt_sql("plots", 15)
    assert PLOTS_FILTER in sql and '                "GEOMETRY",\n' in sql
    assert "\n        LIMIT 15000\n" in sql and config["feature_limit"] == 20000


@pytest.mark.parametrize("layer", ["plots", "beacons", "cadzones", "districts", "lgas", "roads"])
@pytest.mark.parametrize("zoom", [2, 3, 4, 6, 7, 8, 12, 16, 20])
def test_statement_for_every_layer_and_zoom(tp, layer, zoom):
    record = tp.LAYER_CONFIG[layer]
    if zoom < record["min_zoom"]:
        assert tp.get_zoom_config(zoom, layer) is None
        with pytest.raises(ValueError, match=f"^Layer {layer} not available at zoom level {zoom}$"):
            tp.generate_mvt_sql(layer, zoom)
        return
    sql, config = tp.generate_mvt_sql(layer, zoom)
    assert config == band(zoom)
    assert sql.startswith(f"\n    SELECT ST_AsMVT(mvt_data, '{layer}', 4096, 'mvt_geom') AS mvt\n")
    assert sql.endswith("\n    WHERE mvt_data.mvt_geom IS NOT NULL;\n    ")
    assert f"        SELECT {', '.join(record['properties'])},\n" in sql
    assert f"        FROM {record['table']}\n" in sql
    assert ("ST_Intersects(" in sql) == (zoom > 6)
    assert ("ST_SimplifyPreserveTopology(" in sql) == (zoom < 15)
    assert f"\n                {config['buffer']},\n" in sql
    assert f"\n        LIMIT {min(config['feature_limit'], 15000)}\n" in sql
    assert set(re.findall(r":(\w+)", sql)) == {"min_x", "min_y", "max_x", "max_y"}


def test_statement_errors_and_missing_zoom(tp):
    with pytest.raises(ValueError, match="^Unknown layer: rivers$"):
        tp.generate_mvt_sql("rivers", 10)
    with pytest.raises(ValueError, match="^Layer beacons not available at zoom level None$"):
        tp.generate_mvt_sql("beacons")  # the zoom 10 configuration is used
    for zoom in (None, 0):
        assert tp.generate_mvt_sql("plots", zoom)[1] == band(10)


@pytest.mark.parametrize("z, x, y, valid", [
    (1, 0, 0, True), (1, 1, 1, True), (1, 2, 0, False), (0, 0, 0, False), (21, 0, 0, False),
    (20, 1048575, 1048575, True), (20, 1048576, 0, False), (20, 0, 1048576, False),
    (5, -1, 0, False), (5, 0, -1, False), (5, 10**30, 0, False), (10**30, 0, 0, False),
    (-5, 0, 0, False)])
def test_tile_addresses(tp, z, x, y, valid):
    assert tp.validate_tile_coords(z, x, y) is valid


def test_bbox_area(tp):
    assert tp.calculate_bbox_area_degrees(7.0, 6.0, 8.0, 7.0) == 1.0
    assert tp.calculate_bbox_area_degrees(8.0, 6.0, 7.0, 7.0) == 1.0
    assert tp.calculate_bbox_area_degrees(7.0, 7.0, 8.0, 6.0) == 1.0
    assert tp.calculate_bbox_area_degrees(3.5, 6.0, 3.5, 9.0) == 0.0
