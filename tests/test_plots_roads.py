"""Roads: dashed lines cut to a window around the parcel."""

import pytest

from plots_support import draw, drawn, target  # noqa: F401

pytestmark = pytest.mark.filterwarnings("ignore:The .shapely.ops.transform:DeprecationWarning")

WIDE_BOX = (-1000, -1000, 1000, 1000)  # so only the road window cuts


def line(*points):
    return {"geometry": {"type": "LineString", "coordinates": [list(p) for p in points]}}


def road_lines(ax, zorder):
    return [(sorted(set(x.get_xdata())), sorted(set(x.get_ydata()))) for x in ax.lines if x.get_zorder() == zorder]


@pytest.mark.parametrize("width, height, reach", [(20, 10, 40), (100, 60, 75)])
def test_window_reaches_beyond_the_parcel(drawn, width, height, reach):
    ring = [(0, 0), (width, 0), (width, height), (0, height)]
    roads = [line((-900, 5), (900, 5)), line((width + reach + 10, -900), (width + reach + 10, 900))]
    _, ax = draw(drawn, [target(ring)], roads=roads, bounding_box=WIDE_BOX)
    assert road_lines(ax, 1) == [([-reach, width + reach], [5])]


def test_road_pieces_outlines_and_touching_roads(drawn):
    ring = [(0, 0), (20, 0), (20, 10), (0, 10)]  # window: -40 to 60 across, -40 to 50 up
    roads = [
        line((-100, 5), (10, 5), (10, 100), (30, 100), (30, -100)),  # leaves the window and comes back
        {"geometry": {"type": "Polygon", "coordinates": [[[50, 0], [90, 0], [90, 5], [50, 5], [50, 0]]]}},
        line((60, 50), (100, 100)),  # touches a corner of the window only
        {"geometry": {"type": "GeometryCollection", "geometries": [
            {"type": "Polygon", "coordinates": [[[-30, -30], [-20, -30], [-20, -20], [-30, -30]]]}]}},
    ]
    _, ax = draw(drawn, [target(ring)], roads=roads, bounding_box=WIDE_BOX)
    assert road_lines(ax, 1) == [([-40, 10], [5, 50]), ([30], [-40, 50]), ([50, 60], [0]), ([50, 60], [0, 5])]
    assert road_lines(ax, 2) == [([-30, -20], [-30, -20])]
    dashed = [x for x in ax.lines if x.get_zorder() in (1, 2)]
    assert {(x.get_color(), x.get_linewidth(), x._unscaled_dash_pattern) for x in dashed} == {
        ("black", 0.8, (0, (5, 10)))}
