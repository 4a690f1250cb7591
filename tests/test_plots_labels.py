"""Beacon names, edge labels and the boundary schedule, on worked examples at 1:500."""

import math

import pytest

from plots_support import beacons, draw, drawn, target, text_at, texts  # noqa: F401

pytestmark = pytest.mark.filterwarnings("ignore:The .shapely.ops.transform:DeprecationWarning")


def plan_of(drawn, ring, boundary):
    result, ax = draw(drawn, [target(ring, boundary=boundary)])
    assert result[2] == 500  # every example here is drawn at 1:500: 1 mm is 0.5 m
    return result[3], ax


def test_square_corner_names_stand_on_the_outward_diagonals(drawn):
    ring = [(0, 0), (20, 0), (20, 20), (0, 20)]
    _, ax = plan_of(drawn, ring, beacons(ring, ["B1", "B2", "B3", "B4"]))
    d = 2.5 / math.sqrt(2)  # 3.5 mm clearance plus half of two 1.5 mm characters
    for name, position, rotation in [("B1", (-d, -d), 45), ("B2", (20 + d, -d), 315),
                                     ("B3", (20 + d, 20 + d), 45), ("B4", (-d, 20 + d), 315)]:
        label = text_at(ax, name)
        assert label.get_position() == pytest.approx(position) and label.get_rotation() == pytest.approx(rotation)
        assert (label.get_ha(), label.get_va(), label.get_fontweight(), label.get_fontsize()) == ("center", "center", "bold", 8)
    marks = [line for line in ax.lines if line.get_zorder() == 6]
    assert [(line.get_xdata()[0], line.get_ydata()[0]) for line in marks] == ring
    assert {(line.get_marker(), line.get_markersize(), line.get_color()) for line in marks} == {("o", 3, "black")}


@pytest.mark.parametrize("ring, rotation", [
    ([(0, 0), (10, 0), (10, 12), (0, 12)], 0),    # edge from (0, 0) to (10, 0)
    ([(10, 0), (0, 0), (0, 12), (10, 12)], 360),  # the same edge the other way round
])
def test_edge_labels_read_left_to_right_outside_and_inside(drawn, ring, rotation):
    _, ax = plan_of(drawn, ring, beacons(ring, bearing_deg_to_next=["90°", "a", "b", "c"],
                                         bearing_min_to_next=["00'", "d", "e", "f"], distance_to_next=[10] * 4))
    degrees, minutes, length = text_at(ax, "90°"), text_at(ax, "00'"), ax.texts[[t.get_text() for t in ax.texts].index("10.00m")]
    assert degrees.get_position() == pytest.approx((2.5, -0.25)) and minutes.get_position() == pytest.approx((7.5, -0.25))
    assert length.get_position() == pytest.approx((5, 0.25))
    assert [(t.get_va(), t.get_fontweight(), t.get_rotation()) for t in (degrees, minutes, length)] == [
        ("top", "normal", rotation % 360), ("top", "normal", rotation % 360), ("bottom", "bold", rotation % 360)]
    assert {(t.get_ha(), t.get_fontsize(), t.get_zorder(), t.get_rotation_mode()) for t in (degrees, minutes, length)} == {
        ("center", 7, 7, "anchor")}


@pytest.mark.parametrize("width, short_edges", [(7.5, 2), (7.51, 0)])
def test_edges_up_to_15_mm_go_to_the_schedule(drawn, width, short_edges):
    ring = [(0, 0), (width, 0), (width, 12), (0, 12)]
    schedule, ax = plan_of(drawn, ring, beacons(ring))
    assert len(schedule) == short_edges and len(texts(ax, 7)) == 4 + 3 * (4 - short_edges)


def test_schedule_rows_and_plan_texts_format_their_values(drawn):
    ring = [(0, 0), (7, 0), (7, 12), (0, 12)]
    points = [{"type": "Point", "coordinates": list(p)} for p in ring]
    boundary = [
        {"geometry": points[0], "beacon_name": "A", "bearing_deg_to_next": "90°", "bearing_min_to_next": "00'",
         "distance_to_next": 12.3456},
        {"geometry": points[1], "distance_to_next": 12},
        {"geometry": points[2]},
        {"geometry": points[3], "beacon_name": "D", "distance_to_next": 12.3456},
    ]
    schedule, ax = plan_of(drawn, ring, boundary)
    assert schedule == [{"from": "A", "to": "?", "bearing": "90° 00'", "distance": "12.35"},
                        {"from": "?", "to": "D", "bearing": " ", "distance": "0.00"}]
    assert all(list(row) == ["from", "to", "bearing", "distance"] for row in schedule)
    lengths = [t.get_text() for t in texts(ax, 7) if t.get_fontweight() == "bold" and t.get_va() != "center"]
    assert lengths == ["12.00m", "12.35m"]
    assert [t.get_text() for t in texts(ax, 7) if t.get_fontweight() == "normal"] == [""] * 4


def test_straight_boundary_beacon_name_stands_perpendicular_outside(drawn):
    ring = [(0, 0), (10, 0), (20, 0), (20, 15), (0, 15)]
    _, ax = plan_of(drawn, ring, beacons(ring, ["A", "S", "C", "D", "E"]))
    label = text_at(ax, "S")
    assert label.get_position() == pytest.approx((10, -2.125)) and label.get_rotation() == 270


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


@pytest.mark.parametrize("name, distance", [("P", 2.125), ("", 1.75)])
def test_single_beacon_gets_a_name_and_no_edge(drawn, name, distance):
    schedule, ax = plan_of(drawn, [(0, 0), (20, 0), (20, 20), (0, 20)], beacons([(0, 0)], [name]))
    (label,) = texts(ax, 7)
    d = distance / math.sqrt(2)
    assert (label.get_text(), label.get_rotation()) == (name, 45) and label.get_position() == pytest.approx((-d, -d))
    assert schedule == []
