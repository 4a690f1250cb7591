"""The plan picture: result, extent and scale, parcels, texts, and failures."""

import base64
import io

import matplotlib
import matplotlib.pyplot as plt
from matplotlib.colors import to_rgba
import pytest
from PIL import Image
from pyproj import Transformer

from plots_support import Recorder, beacons, draw, drawn, neighbour, plots, polygon, target, texts  # noqa: F401

pytestmark = pytest.mark.filterwarnings("ignore:The .shapely.ops.transform:DeprecationWarning")

SQUARE = [(0, 0), (10, 0), (10, 10), (0, 10)]
L_SHAPE = [(0, 0), (40, 0), (40, 10), (20, 10), (20, 20), (0, 20)]  # centroid (50/3, 25/3)


def square(x, y, side=10):
    return [(x, y), (x + side, y), (x + side, y + side), (x, y + side)]


def test_picture_is_an_opaque_png_of_the_paper_size(drawn):
    (image64, size, scale, schedule), ax = draw(drawn, [target(L_SHAPE)])
    assert (size, scale, schedule) == ((190, 160), 500, [])
    assert "\n" not in image64 and len(image64) % 4 == 0
    picture = Image.open(io.BytesIO(base64.b64decode(image64, validate=True)))
    picture.load()
    assert picture.format == "PNG" and picture.size in {(2244, 1889), (2244, 1890)}
    assert picture.convert("RGBA").getpixel((0, 0)) == (255, 255, 255, 255)
    # Centred on the centroid, not on the centre of the bounds.
    assert ax.get_xlim() + ax.get_ylim() == pytest.approx((50 / 3 - 47.5, 50 / 3 + 47.5, 25 / 3 - 40, 25 / 3 + 40))


@pytest.mark.parametrize("paper, scale", [
    ((143.0, 103), 500),   # the 70 m by 50 m extent just fits at 1:500
    ((142, 103), 1000), ((143, 102), 1000),
])
def test_extent_is_the_parcel_with_15_m_around_it(drawn, paper, scale):
    result, _ = draw(drawn, [target(L_SHAPE)], max_width_mm=paper[0], max_height_mm=paper[1])
    assert result[1:3] == (paper, scale) and type(result[1][0]) is type(paper[0])


def test_target_is_the_first_match_and_every_match_is_left_out_of_the_neighbours(drawn):
    records = [neighbour(square(-10, 0), 1), target(square(0, 0), pid=2), neighbour(square(10, 0), 3),
               target(square(5, 5), pid=2, name="duplicate")]
    _, ax = draw(drawn, records, selected=2)
    drawn_parcels = [(p.get_zorder(), p.get_xy()[0].tolist(), p.get_facecolor(), p.get_edgecolor(), p.get_linewidth())
                     for p in ax.patches if p.get_zorder() < 10]  # the rest is the scale bar
    grey, dark = to_rgba("#e0e0e0"), to_rgba("#666666")
    assert drawn_parcels == [(3, [-10, 0], grey, dark, 0.5), (3, [10, 0], grey, dark, 0.5),
                             (5, [0, 0], (1, 0.85, 0.85, 1), (1, 0, 0, 1), 2.5)]
    assert [t.get_text() for t in texts(ax, 8)] == ["PLOT 1", "0 m²"]


def test_missing_parcel_is_reported_word_for_word(monkeypatch):
    log = Recorder()
    monkeypatch.setattr(plots, "logger", log)
    before = plt.get_fignums()
    with pytest.raises(ValueError) as error:
        plots.generate_plot([target(SQUARE, pid="7")], 7, None, "id")
    assert str(error.value) == "Parcel with id=7 not found."
    assert log.lines == ["Generating plot for id=7"] and plt.get_fignums() == before


WGS84 = Transformer.from_crs("EPSG:4326", "EPSG:3857", always_xy=True)


@pytest.mark.parametrize("box, in_degrees", [
    ((10.0, 20.0, 10.02, 20.02), True),
    ((500000, 6000000, 500100, 6000060), False),
    ((-200, 10, 300, 500), False),  # only min x and min y decide
])
def test_bounding_box_fixes_the_view(monkeypatch, drawn, box, in_degrees):
    log = Recorder()
    monkeypatch.setattr(plots, "logger", log)
    x0, y0, x1, y1 = WGS84.transform(*box[:2]) + WGS84.transform(*box[2:]) if in_degrees else box
    _, ax = draw(drawn, [target(square(x0, y0))], bounding_box=box)
    assert (sum(ax.get_xlim()) / 2, sum(ax.get_ylim()) / 2) == pytest.approx(((x0 + x1) / 2, (y0 + y1) / 2))
    assert log.lines[1:] == (["Transforming bounding box from WGS84 to WGS 84 / Pseudo-Mercator"] if in_degrees else [])


def test_bounding_box_clips_neighbours_and_roads(drawn):
    records = [target(square(1060, 1020)), neighbour(square(1110, 1000), 2), neighbour(square(1095, 1000), 3)]
    road = {"geometry": {"type": "LineString", "coordinates": [[900, 1030], [1200, 1030]]}}
    _, ax = draw(drawn, records, roads=[road], bounding_box=(1000, 1000, 1100, 1060))
    assert ax.get_xlim() == pytest.approx((955, 1145))  # the view itself reaches 1145
    # Drawn whole though it crosses the box; the one beside the box is left out.
    (kept,) = [p for p in ax.patches if p.get_zorder() == 3]
    assert kept.get_xy()[:4].tolist() == [list(p) for p in square(1095, 1000)]
    (line,) = [line for line in ax.lines if line.get_zorder() == 1]
    assert sorted(line.get_xdata()) == [1020, 1100]  # road window on the left, box on the right


@pytest.mark.parametrize("width, scale, size", [(140, 1500, 8), (190, 2000, 7), (240, 2500, 7), (480, 5000, 6)])
def test_text_size_follows_the_scale(drawn, width, scale, size):
    records = [target(square(1000, 1000), boundary=beacons(square(1000, 1000), ["A", "B", "C", "D"]))]
    result, ax = draw(drawn, records, bounding_box=(1000, 1000, 1000 + width, 1010), max_width_mm=100,
                      max_height_mm=100)
    assert result[2] == scale and len(result[3]) == 4  # 10 m edges are short at these scales
    assert [t.get_fontsize() for t in texts(ax, 8)] == [size + 2, size - 2]
    assert {t.get_fontsize() for t in texts(ax, 7)} == {size}


@pytest.mark.parametrize("extra, area_text", [({}, "0 m²"), ({"area": 1234.5678}, "1234.5678 m²")])
def test_name_and_area_sit_around_the_centroid(drawn, extra, area_text):
    result, ax = draw(drawn, [{"id": 1, "geometry": polygon(SQUARE), "name": 42, **extra}])
    assert result[3] == [] and texts(ax, 7) == [] and not [x for x in ax.lines if x.get_zorder() == 6]
    name, area = texts(ax, 8)
    assert [(t.get_text(), t.get_position(), t.get_va(), t.get_fontweight(), t.get_ha()) for t in (name, area)] == [
        ("42", (5, 5.5), "bottom", "bold", "center"), (area_text, (5, 4.5), "top", "normal", "center")]


BEACONS = beacons(SQUARE, ["A", "B", "C", "D"], distance_to_next=[10] * 4)
LONG_EDGES = beacons(square(0, 0, 40), distance_to_next=["forty"] * 4)
MULTI = {"type": "MultiPolygon", "coordinates": [polygon(SQUARE)["coordinates"]]}
MALFORMED = {
    "neighbour without geometry": ([target(SQUARE), {"id": 2}], KeyError),
    "multipolygon target": ([{"id": 1, "name": "M", "geometry": MULTI}], AttributeError),
    "target without name": ([{"id": 1, "geometry": polygon(SQUARE)}], KeyError),
    "distance in text, schedule": ([target(SQUARE, boundary=beacons(SQUARE, distance_to_next=["x"] * 4))], ValueError),
    "distance in text, on the plan": ([target(square(0, 0, 40), boundary=LONG_EDGES)], ValueError),
    "beacon that is a line": ([target(SQUARE, boundary=[{"geometry": polygon(SQUARE)}])], AttributeError),
    "beacon name that is a number": ([target(SQUARE, boundary=beacons(SQUARE, [1, 2, 3, 4]))], TypeError),
}


@pytest.mark.parametrize("records, error", MALFORMED.values(), ids=MALFORMED.keys())
def test_malformed_records_raise_the_library_error_and_leave_no_figure(records, error):
    before = plt.get_fignums()
    with pytest.raises(error):
        plots.generate_plot(records, 1, None, "id")
    assert plt.get_fignums() == before


def test_plans_share_no_state(drawn):
    records = [target(SQUARE, boundary=BEACONS), neighbour(square(10, 0), 2)]
    first = plots.generate_plot(records, 1, None, "id")
    with pytest.raises(ValueError):
        plots.generate_plot(MALFORMED["distance in text, on the plan"][0], 1, None, "id")
    before, mine = plt.get_fignums(), plt.figure()
    with matplotlib.rc_context({"font.family": "serif"}):
        again, ax = draw(drawn, records)
        assert matplotlib.rcParams["font.family"] == ["serif"]
    assert again == first
    assert {tuple(t.get_fontfamily()) for t in ax.texts} == {("sans-serif",)}
    assert plt.gcf() is mine and not mine.axes and plt.get_fignums() == before + [mine.number]
    plt.close(mine)
