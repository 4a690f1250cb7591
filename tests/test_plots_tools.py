"""Import-time set-up, projection, scale choice, north arrow and scale bar."""

import os
import subprocess
import sys
import textwrap

import matplotlib.pyplot as plt
import pytest
from matplotlib.patches import Rectangle
from matplotlib.text import Annotation
from shapely.geometry import LineString, Point, Polygon

from plots_support import plots

pytestmark = pytest.mark.filterwarnings("ignore:The .shapely.ops.transform:DeprecationWarning")


def test_import_selects_agg_sets_fonts_and_logs_once(tmp_path):
    (tmp_path / "logger.py").write_text(textwrap.dedent("""
        class _Log:
            def info(self, text):
                print("LOG", text)
        def get_logger():
            return _Log()
    """))
    probe = "import matplotlib as m, terrava.plots; print(m.get_backend().lower(), m.rcParams['font.family'], m.rcParams['font.sans-serif'])"
    env = dict(os.environ, MPLBACKEND="svg", PYTHONPATH=os.pathsep.join([str(tmp_path)] + sys.path))
    out = subprocess.run([sys.executable, "-c", probe], env=env, capture_output=True, text=True, check=True).stdout
    assert out.splitlines() == [
        "LOG Loaded plots module",
        "agg ['sans-serif'] ['Geist', 'Arial', 'DejaVu Sans', 'Liberation Sans', 'sans-serif']",
    ]


def test_reference_systems_leave_coordinates_in_place():
    assert plots.SRC_CRS == plots.DST_CRS and plots.DST_CRS.to_epsg() == 3857
    assert plots.TRANSFORMER.transform(829312.25, 1012741.5) == pytest.approx((829312.25, 1012741.5))
    assert plots.project_geometry(Point(1000, 2000)).coords[:] == [(1000, 2000)]
    empty = plots.project_geometry(LineString())
    assert empty.is_empty and empty.geom_type == "LineString"
    # A clockwise ring with a hole keeps its vertex order and starting beacon.
    shell = [(0, 0), (0, 10), (10, 10), (10, 0), (0, 0)]
    hole = [(2, 2), (4, 2), (4, 4), (2, 2)]
    projected = plots.project_geometry(Polygon(shell, [hole]))
    assert list(projected.exterior.coords) == shell and list(projected.interiors[0].coords) == hole


@pytest.mark.parametrize("args, scale", [
    ((100, 50), 1000),               # 537 wide: 500 is too small
    ((98, 1, 100, 100), 1000),       # exactly 1:1000 needed
    ((10, 10), 250),
    ((7000, 10), 38000),             # beyond 1:25000, next whole thousand
    ((0, "ignored"), 1000), ((-5, 3), 1000), ((3, 0), 1000),
])
def test_recommended_scale(args, scale):
    assert plots.get_recommended_scale(*args) == scale


def test_recommended_scale_rejects_text_like_python():
    with pytest.raises(TypeError):
        plots.get_recommended_scale("wide", 5)


def fresh_axes(xlim=(0, 190), ylim=(0, 160)):
    ax = plt.figure().add_axes([0, 0, 1, 1])
    ax.set_xlim(xlim)
    ax.set_ylim(ylim)
    return ax


@pytest.mark.parametrize("kwargs, foot, head, label_y", [
    ({}, (0.95, 0.85), (0.95, 0.93), 0.94),
    ({"loc": (0.5, 0.2, 99), "size": 0}, (0.5, 0.2), (0.5, 0.2), 0.21),
])
def test_north_arrow(kwargs, foot, head, label_y):
    ax = fresh_axes()
    plots.add_north_arrow(ax, **kwargs)
    (label,) = [t for t in ax.texts if not isinstance(t, Annotation)]
    (arrow,) = [t for t in ax.texts if isinstance(t, Annotation)]
    assert (label.get_text(), label.get_transform(), label.get_ha(), label.get_va()) == (
        "UN", ax.transAxes, "center", "bottom")
    assert label.get_position() == pytest.approx((foot[0], label_y))
    assert (label.get_fontsize(), label.get_fontweight(), label.get_zorder()) == (12, "bold", 10)
    assert arrow.get_text() == "" and arrow.xycoords == "axes fraction" and arrow.get_zorder() == 10
    assert arrow.xy == pytest.approx(head) and arrow.xyann == pytest.approx(foot)
    assert arrow.arrowprops == {"facecolor": "black", "width": 3, "headwidth": 10, "headlength": 12}
    plt.close("all")


@pytest.mark.parametrize("scale, step", [
    (1000, 10), (500, 5), (100, 1), (120, 1), (280, 2),   # ties go to the smaller step
    (8000, 100), (20000, 200), (28000, 400), (30000, 400), (40000, 500),
])
def test_scale_bar_step_and_labels(scale, step):
    ax = fresh_axes((0, 190 * scale / 1000), (0, 160 * scale / 1000))
    plots.add_scale_bar(ax, scale)
    filled = [p for p in ax.patches if p.get_zorder() == 11]
    assert [p.get_width() for p in filled] == [step, step]
    assert [t.get_text() for t in ax.texts] == [str(2 * step), str(step), "0", str(step), str(2 * step), "m"]
    plt.close("all")


def test_scale_bar_sits_right_aligned_in_any_view():
    ax = fresh_axes((100, 300), (-50, 450))  # tall view
    plots.add_scale_bar(ax, 1000, position=(0.1, 0.9))  # position changes nothing
    outline, *filled = ax.patches
    start_x, start_y, height = 300 - 10 - 40, -50 + 10, 500 * 0.015
    assert isinstance(outline, Rectangle) and outline.get_xy() == pytest.approx((start_x, start_y))
    assert (outline.get_width(), outline.get_height()) == pytest.approx((40, height))
    assert (outline.get_facecolor(), outline.get_edgecolor(), outline.get_zorder()) == (
        (1, 1, 1, 1), (0, 0, 0, 1), 10)
    assert [p.get_x() for p in filled] == pytest.approx([start_x, start_x + 20])
    assert {(p.get_linewidth(), p.get_facecolor(), p.get_zorder()) for p in filled} == {(0, (0, 0, 0, 1), 11)}
    dividers, ticks = ax.lines[:4], ax.lines[4:]
    assert [tuple(line.get_xdata()) for line in dividers] == [(start_x + d,) * 2 for d in (10, 20, 30, 40)]
    assert [tuple(line.get_ydata()) for line in ticks] == [(start_y + height, start_y + 1.5 * height)] * 5
    assert {line.get_zorder() for line in ax.lines} == {12}
    label_y = start_y + height + 0.5 * height * 1.2
    assert [c for t in ax.texts for c in t.get_position()] == pytest.approx(
        [c for d in (0, 10, 20, 30, 40, 42) for c in (start_x + d, label_y)])
    assert [(t.get_ha(), t.get_fontsize(), t.get_zorder()) for t in ax.texts[-2:]] == [
        ("center", 9, 13), ("left", 9, 13)]
    plt.close("all")
