"""Random input into the native entry points: each call gives a result or a
Python exception, and the interpreter survives it."""

import asyncio
import io
import math

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import terrava.plots as plots
import terrava.tileport as tp

BOUNDED = settings(max_examples=200, deadline=None, derandomize=True)
ints = st.one_of(st.integers(-2**70, 2**70), st.integers(-3, 40))
numbers = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.integers(-2**70, 2**70))
anything = st.recursive(
    st.none() | st.booleans() | numbers | st.text(max_size=8) | st.binary(max_size=4),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=6), inner, max_size=4),
    max_leaves=12)


@BOUNDED
@given(z=ints, x=ints, y=ints)
def test_tile_address_check_is_the_xyz_grid(z, x, y):
    valid = 1 <= z <= 20 and 0 <= x < 2**z and 0 <= y < 2**z
    assert tp.validate_tile_coords(z, x, y) is valid


@BOUNDED
@given(zoom=ints, layer=st.one_of(st.sampled_from(list(tp.LAYER_CONFIG)), st.text(max_size=12)))
def test_zoom_plan_of_any_zoom_and_layer_name(zoom, layer):
    config = tp.get_zoom_config(zoom, layer)
    assert config is None or isinstance(config, dict)
    try:
        sql, plan = tp.generate_mvt_sql(layer, zoom)
    except (ValueError, KeyError):
        return
    assert "ST_AsMVT" in sql and (plan == config or zoom == 0)  # 0 asks for the default zoom


@BOUNDED
@given(box=st.tuples(numbers, numbers, numbers, numbers) | st.lists(anything, min_size=4, max_size=4))
def test_bounding_box_area_is_never_negative(box):
    try:
        area = tp.calculate_bbox_area_degrees(*box)
    except (TypeError, OverflowError, ValueError):
        return
    assert math.isnan(area) or area >= 0


points = st.tuples(st.floats(2.0, 3.0), st.floats(9.0, 10.0))
rings = st.lists(points, min_size=0, max_size=6).map(
    lambda ps: {"type": "Polygon", "coordinates": [[list(p) for p in ps + ps[:1]]]})
records = st.fixed_dictionaries({"id": st.integers(0, 3) | anything, "geometry": rings | anything},
                                optional={"name": anything, "area": anything, "beacons": anything,
                                          "edges": anything, "beacon_name": anything})


@settings(max_examples=40, deadline=None, derandomize=True,
          suppress_health_check=[HealthCheck.too_slow])
@given(parcels=st.lists(records, max_size=3) | anything, selected=st.integers(0, 3) | anything,
       roads=st.none() | st.lists(st.fixed_dictionaries({"geometry": anything, "name": anything}),
                                  max_size=2) | anything)
def test_survey_plan_of_random_records(parcels, selected, roads):
    try:
        result = plots.generate_plot(parcels, selected, roads, "id")
    except Exception:
        return
    assert result is None or len(result) == 4


@pytest.fixture(scope="module")
def parcel_id(db_url):
    from test_host import sql

    return sql(db_url, 'SELECT "ID" FROM "GIS"."PLOT" ORDER BY "ID" LIMIT 1')[0][0]


@settings(max_examples=8, deadline=None, derandomize=True,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(texts=st.lists(st.text(), min_size=4, max_size=4))
def test_deed_plan_of_random_particulars_is_a_document(parcel_id, texts):
    import services.plansmith as plansmith
    from database import dispose_engine, get_db

    async def make():
        sessions = get_db()
        db = await sessions.__anext__()
        try:
            district, file_no, person_name, cadzone = texts
            return await plansmith.PlanImageGenerator(db).generate_deedplan_html(
                parcel_id, district=district, file_no=file_no, person_name=person_name,
                cadzone=cadzone)
        finally:
            await sessions.aclose()
            await dispose_engine()

    pdf = asyncio.run(make())
    assert isinstance(pdf, io.BytesIO) and pdf.read(5) == b"%PDF-"
