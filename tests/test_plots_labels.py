"""Beacon names, edge labels and the boundary schedule, on worked examples at 1:500."""

import math

import pytest

from plots_support import beacons, draw, drawn, target, text_at, texts  # noqa: F401

pytestmark = pytest.mark.filterwarnings("ignore:The .shapely.ops.transform:DeprecationWarning")

SQUARE = [(0, 0), (20, 0), (20, 20), (0, 20)]
D = 2.5 / math.sqrt(2)  # a two-letter name: 3.5 mm clearance plus half of two 1.5 mm characters


def plan_of(drawn, ring, boundary):
    result, ax = draw(drawn, [target(ring, boundary=boundary)])
    assert result[2] == 500  # every example here is drawn at 1:500: 1 mm is 0.5 m
    return result[3], ax


@pytest.mark.parametrize("ring, boundary, name, position, rotation", [
    (SQUARE, beacons(SQUARE, ["B1", "B2", "B3", "B4"]), "B1", (-D, -D), 45),
    (SQUARE, beacons(SQUARE, ["B1", "B2", "B3", "B4"]), "B2", (20 + D, -D), 315),
    # straight boundary: perpendicular to it, away from the centroid
    ([(0, 0), (10, 0), (20, 0), (20, 15), (0, 15)], beacons([(0, 0), (10, 0), (20, 0), (20, 15), (0, 15)],
                                                            list("ASCDE")), "S", (10, -2.125), 270),
    (SQUARE, beacons([(0, 0)], ["P"]), "P", (-1.5026, -1.5026), 45),  # a lone beacon: both directions fall back
    (SQUARE, beacons([(0, 0)], [""]), "", (-1.2374, -1.2374), 45),    # no name: 3.5 mm out
])
def test_beacon_names_stand_outside_along_the_bisector(drawn, ring, boundary, name, position, rotation):
    schedule, ax = plan_of(drawn, ring, boundary)
    label = text_at(ax, name)
    assert label.get_position() == pytest.approx(position, abs=1e-4) and label.get_rotation() == pytest.approx(rotation)
    assert (label.get_ha(), label.get_va(), label.get_fontweight(), label.get_fontsize(), label.get_zorder()) == (
        "center", "center", "bold", 8, 7)
    marks = [line for line in ax.lines if line.get_zorder() == 6]
    assert [(m.get_xdata()[0], m.get_ydata()[0], m.get_marker(), m.get_markersize()) for m in marks] == [
        (*entry["geometry"]["coordinates"], "o", 3) for entry in boundary]
    assert len(boundary) > 1 or (schedule == [] and len(texts(ax, 7)) == 1)


@pytest.mark.parametrize("first_name, first_y, second_y", [
    ("B", -2.125, -3.125),        # pushed out twice, until the two rectangles no longer touch
    ("B" * 40, -16.75, -7.125),   # still blocked after ten pushes: 10 mm beyond its first place
])
def test_coincident_beacons(drawn, first_name, first_y, second_y):
    ring = [(0, 0), (20, 0), (20, 0), (20, 20), (0, 20)]
    schedule, ax = plan_of(drawn, ring, beacons(ring, ["A", first_name, "C", "D", "E"]))
    assert text_at(ax, first_name).get_position() == pytest.approx((20, first_y))
    assert text_at(ax, "C").get_position() == pytest.approx((20, second_y))
    assert schedule == [] and len(texts(ax, 7)) == 5 + 3 * 4  # the zero-length edge has no labels


@pytest.mark.parametrize("ring, rotation", [
    ([(0, 0), (10, 0), (10, 12), (0, 12)], 0),    # edge from (0, 0) to (10, 0)
    ([(10, 0), (0, 0), (0, 12), (10, 12)], 360),  # the same edge the other way round
])
def test_edge_labels_read_left_to_right_outside_and_inside(drawn, ring, rotation):
    _, ax = plan_of(drawn, ring, beacons(ring, bearing_deg_to_next=["90°", "a", "b", "c"],
                                         bearing_min_to_next=["00'", "d", "e", "f"], distance_to_next=[10] * 4))
    degrees, minutes, length = texts(ax, 7)[1:4]  # after the first name
    assert [t.get_position() for t in (degrees, minutes, length)] == [(2.5, -0.25), (7.5, -0.25), (5, 0.25)]
    assert [(t.get_text(), t.get_va(), t.get_fontweight()) for t in (degrees, minutes, length)] == [
        ("90°", "top", "normal"), ("00'", "top", "normal"), ("10.00m", "bottom", "bold")]
    assert {(t.get_ha(), t.get_fontsize(), t.get_zorder(), t.get_rotation(), t.get_rotation_mode())
            for t in (degrees, minutes, length)} == {("center", 7, 7, rotation % 360, "anchor")}
    assert text_at(ax, "a").get_rotation() == 90  # an edge running straight up is not turned


@pytest.mark.parametrize("width, short_edges", [(7.5, 2), (7.51, 0)])
def test_edges_up_to_15_mm_go_to_the_schedule(drawn, width, short_edges):
    ring = [(0, 0), (width, 0), (width, 12), (0, 12)]
    schedule, ax = plan_of(drawn, ring, beacons(ring))
    assert len(schedule) == short_edges and len(texts(ax, 7)) == 4 + 3 * (4 - short_edges)


def test_schedule_rows_and_plan_texts_format_their_values(drawn):
    ring = [(0, 0), (7, 0), (7, 12), (0, 12)]
    boundary = beacons(ring)
    boundary[0].update(beacon_name="A", bearing_deg_to_next="90°", bearing_min_to_next="00'", distance_to_next=12.3456)
    boundary[1].update(distance_to_next=12)
    boundary[3].update(beacon_name="D", distance_to_next=12.3456)
    schedule, ax = plan_of(drawn, ring, boundary)
    assert schedule == [{"from": "A", "to": "?", "bearing": "90° 00'", "distance": "12.35"},
                        {"from": "?", "to": "D", "bearing": " ", "distance": "0.00"}]
    assert all(list(row) == ["from", "to", "bearing", "distance"] for row in schedule)
    edge_texts = [t.get_text() for t in texts(ax, 7) if t.get_va() != "center"]  # names are centred
    assert edge_texts == ["", "", "12.00m", "", "", "12.35m"]
