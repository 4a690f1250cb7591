"""Zoom bands, the tile statement text and the address checks: pure functions."""

import re

import pytest

BANDS = {
    "overview": (1000, 2000, 512, 7200),
    "5-6": (500, 3000, 256, 7200),
    "7-8": (250, 5000, 256, 7200),
    "9-10": (100, 8000, 256, 7200),
    "11-12": (50, 10000, 256, 1800),
    "13-14": (10, 15000, 64, 1800),
    "15-16": (0, 20000, 16, 1800),
    "detail": (0, 30000, 8, 1800),
}


def band(name):
    return dict(zip(("tolerance", "feature_limit", "buffer", "cache_ttl"), BANDS[name]))


@pytest.mark.parametrize(
    "zoom, layer, expected",
    [
        (8, "plots", "7-8"), (7, "plots", None),
        (12, "beacons", "11-12"), (11, "beacons", None),
        (2, "lgas", "overview"), (1, "lgas", None),
        (3, "districts", "overview"), (2, "districts", None),
        (4, "cadzones", "overview"), (4, "roads", "overview"), (3, "roads", None),
        (5, "roads", "5-6"), (6, "roads", "5-6"),
        (10, "plots", "9-10"), (11, "plots", "11-12"),
        (13, "plots", "13-14"), (14, "plots", "13-14"),
        (16, "plots", "15-16"), (17, "plots", "detail"), (25, "plots", "detail"),
        # unregistered names are served from zoom 0
        (0, "rivers", "overview"), (-3, "rivers", None),
        # integers beyond any machine word still get an answer
        (10**30, "plots", "detail"), (-(10**30), "lgas", None),
    ],
)
def test_zoom_bands(tp, zoom, layer, expected):
    result = tp.get_zoom_config(zoom, layer)
    if expected is None:
        assert result is None
    else:
        assert result == band(expected)
        assert list(result) == ["tolerance", "feature_limit", "buffer", "cache_ttl"]


def test_zoom_config_is_a_new_mapping_each_call(tp):
    first = tp.get_zoom_config(14, "plots")
    second = tp.get_zoom_config(14, "plots")
    assert first == second and first is not second
    first["feature_limit"] = 1
    assert tp.get_zoom_config(14, "plots")["feature_limit"] == 15000


def test_zoom_config_reads_the_cache_lifetimes_when_it_runs(tp, monkeypatch):
    monkeypatch.setattr(tp, "CACHE_TTL_LONG", 60)
    monkeypatch.setattr(tp, "CACHE_TTL_SHORT", 30)
    assert tp.get_zoom_config(10, "plots")["cache_ttl"] == 60
    assert tp.get_zoom_config(11, "plots")["cache_ttl"] == 30


def test_zoom_config_argument_errors(tp):
    with pytest.raises(TypeError):
        tp.get_zoom_config(8)
    with pytest.raises(TypeError):
        tp.get_zoom_config("8", "plots")


# The statement for lgas at zoom 5, written out line by line.
LGAS_5 = (
    "\n"
    "    SELECT ST_AsMVT(mvt_data, 'lgas', 4096, 'mvt_geom') AS mvt\n"
    "    FROM (\n"
    '        SELECT "id", "name",\n'
    '            "id" AS feature_id,\n'
    "            ST_AsMVTGeom(\n"
    '                ST_SimplifyPreserveTopology("geometry", 500),\n'
    "                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),\n"
    "                4096,\n"
    "                256,\n"
    "                true\n"
    "            ) AS mvt_geom\n"
    '        FROM "GIS"."LGAs"\n'
    '        WHERE "geometry" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)\n'
    '        ORDER BY ST_Area("geometry") DESC\n'
    "        LIMIT 3000\n"
    "    ) AS mvt_data\n"
    "    WHERE mvt_data.mvt_geom IS NOT NULL;\n"
    "    "
)

PLOTS_15 = (
    "\n"
    "    SELECT ST_AsMVT(mvt_data, 'plots', 4096, 'mvt_geom') AS mvt\n"
    "    FROM (\n"
    '        SELECT "ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "GENERAL_LU", "CADZONE", '
    '"DETAIL_LU", "file_no",\n'
    '            "ID" AS feature_id,\n'
    "            ST_AsMVTGeom(\n"
    '                "GEOMETRY",\n'
    "                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),\n"
    "                4096,\n"
    "                16,\n"
    "                true\n"
    "            ) AS mvt_geom\n"
    '        FROM "GIS"."PLOT"\n'
    "        WHERE \n"
    '        "GEOMETRY" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)\n'
    '        AND ST_Intersects("GEOMETRY", ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857))\n'
    "        \n"
    '        ORDER BY ST_Area("GEOMETRY") DESC\n'
    "        LIMIT 15000\n"
    "    ) AS mvt_data\n"
    "    WHERE mvt_data.mvt_geom IS NOT NULL;\n"
    "    "
)


def test_statement_text_overview_and_detail(tp):
    sql, config = tp.generate_mvt_sql("lgas", 5)
    assert sql == LGAS_5
    assert config == band("5-6")
    sql, config = tp.generate_mvt_sql("plots", 15)
    assert sql == PLOTS_15
    assert config == band("15-16")  # reported uncapped, run with LIMIT 15000


@pytest.mark.parametrize("layer", ["plots", "beacons", "cadzones", "districts", "lgas", "roads"])
@pytest.mark.parametrize("zoom", [2, 6, 7, 12, 16, 20])
def test_statement_shape_for_every_layer_and_zoom(tp, layer, zoom):
    record = tp.LAYER_CONFIG[layer]
    if zoom < record["min_zoom"]:
        with pytest.raises(ValueError, match=f"^Layer {layer} not available at zoom level {zoom}$"):
            tp.generate_mvt_sql(layer, zoom)
        return
    sql, config = tp.generate_mvt_sql(layer, zoom)
    assert sql.startswith("\n    SELECT ST_AsMVT(mvt_data, '%s', 4096, 'mvt_geom') AS mvt\n" % layer)
    assert sql.endswith("    WHERE mvt_data.mvt_geom IS NOT NULL;\n    ")
    assert "        SELECT " + ", ".join(record["properties"]) + ",\n" in sql
    assert "            %s AS feature_id,\n" % record["id_col"] in sql
    assert "        FROM %s\n" % record["table"] in sql
    assert ("ST_Intersects(" in sql) == (zoom > 6)
    assert ("ST_SimplifyPreserveTopology(" in sql) == (config["tolerance"] > 0)
    assert "        LIMIT %d\n" % min(config["feature_limit"], 15000) in sql
    assert set(re.findall(r":(\w+)", sql)) == {"min_x", "min_y", "max_x", "max_y"}


def test_statement_for_roads_at_zoom_4(tp):
    sql, config = tp.generate_mvt_sql("roads", 4)
    assert 'ST_SimplifyPreserveTopology("GEOMETRY", 1000),' in sql
    assert "\n                512,\n" in sql
    assert "ST_Intersects" not in sql
    assert "\n        LIMIT 2000\n" in sql


def test_statement_errors(tp):
    with pytest.raises(ValueError) as err:
        tp.generate_mvt_sql("rivers", 10)
    assert str(err.value) == "Unknown layer: rivers"
    with pytest.raises(ValueError) as err:
        tp.generate_mvt_sql("plots", 7)
    assert str(err.value) == "Layer plots not available at zoom level 7"
    with pytest.raises(ValueError) as err:
        tp.generate_mvt_sql("beacons")  # zoom 10 configuration, below the beacons' range
    assert str(err.value) == "Layer beacons not available at zoom level None"


def test_statement_without_zoom_uses_the_zoom_10_configuration(tp):
    for zoom in (None, 0):
        sql, config = tp.generate_mvt_sql("plots", zoom)
        assert config == band("9-10")
        assert 'ST_SimplifyPreserveTopology("GEOMETRY", 100)' in sql
    assert tp.generate_mvt_sql("plots", 9)[1]["cache_ttl"] == 7200
    assert tp.generate_mvt_sql("plots", 11)[1]["cache_ttl"] == 1800


@pytest.mark.parametrize(
    "z, x, y, valid",
    [
        (1, 0, 0, True), (1, 1, 1, True), (1, 2, 0, False), (1, 0, 2, False),
        (0, 0, 0, False), (21, 0, 0, False), (-5, 0, 0, False),
        (20, 1048575, 1048575, True), (20, 1048576, 0, False), (20, 0, 1048576, False),
        (5, -1, 0, False), (5, 0, -1, False), (16, 2**16 - 1, 0, True),
        (5, 10**30, 0, False), (10**30, 0, 0, False), (5, 0, -(10**30), False),
    ],
)
def test_tile_addresses(tp, z, x, y, valid):
    assert tp.validate_tile_coords(z, x, y) is valid


@pytest.mark.parametrize(
    "box, area",
    [((7.0, 6.0, 8.0, 7.0), 1.0), ((8.0, 6.0, 7.0, 7.0), 1.0), ((7.0, 7.0, 8.0, 6.0), 1.0),
     ((3.5, 6.0, 3.5, 9.0), 0.0), ((0.0, 0.0, 2.0, 0.5), 1.0), ((-1.0, -1.0, 1.0, 1.0), 4.0)],
)
def test_bbox_area(tp, box, area):
    assert tp.calculate_bbox_area_degrees(*box) == area
