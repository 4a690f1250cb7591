"""Import-time set-up, projection, scale choice, north arrow and scale bar."""

import os
import subprocess
import sys

import matplotlib.pyplot as plt
import pytest
from matplotlib.text import Annotation
from shapely.geometry import LineString, Point, Polygon

from plots_support import plots

pytestmark = pytest.mark.filterwarnings("ignore:The .shapely.ops.transform:DeprecationWarning")


def test_import_selects_agg_sets_fonts_and_logs_once(tmp_path):
    (tmp_path / "logger.py").write_text(
        "class Log:\n    def info(self, text):\n        print('LOG', text)\n\ndef get_logger():\n    return Log()\n")
    probe = "import matplotlib as m, terrava.plots; print(m.get_backend().lower(), m.rcParams['font.sans-serif'])"
    env = dict(os.environ, MPLBACKEND="svg", PYTHONPATH=os.pathsep.join([str(tmp_path)] + sys.path))
    out = subprocess.run([sys.executable, "-c", probe], env=env, capture_output=True, text=True, check=True).stdout
    assert out.splitlines() == [
        "LOG Loaded plots module", "agg ['Geist', 'Arial', 'DejaVu Sans', 'Liberation Sans', 'sans-serif']"]


def test_projection_leaves_geometries_where_they_are():
    assert plots.SRC_CRS == plots.DST_CRS and plots.DST_CRS.to_epsg() == 3857
    assert plots.TRANSFORMER.transform(829312.25, 1012741.5) == pytest.approx((829312.25, 1012741.5))
    assert plots.project_geometry(Point(1000, 2000)).coords[:] == [(1000, 2000)]
    assert plots.project_geometry(LineString()).wkt == "LINESTRING EMPTY"
    shell, hole = [(0, 0), (0, 10), (10, 10), (10, 0), (0, 0)], [(2, 2), (4, 2), (4, 4), (2, 2)]
    projected = plots.project_geometry(Polygon(shell, [hole]))  # clockwise: vertex order kept
    assert projected.exterior.coords[:] == shell and projected.interiors[0].coords[:] == hole


@pytest.mark.parametrize("args, scale", [
    ((100, 50), 1000),          # 537 wide: 500 is too small
    ((98, 1, 100, 100), 1000),  # exactly 1:1000 needed
    ((10, 10), 250), ((7000, 10), 38000),  # beyond 1:25000: the next whole thousand
    ((0, "ignored"), 1000), ((-5, 3), 1000), ((3, 0), 1000),
])
def test_recommended_scale(args, scale):
    assert plots.get_recommended_scale(*args) == scale


def fresh_axes(xlim=(0, 190), ylim=(0, 160)):
    ax = plt.figure().add_axes([0, 0, 1, 1], xlim=xlim, ylim=ylim)
    plt.close(ax.figure)
    return ax


@pytest.mark.parametrize("kwargs, foot, head, label_y", [
    ({}, (0.95, 0.85), (0.95, 0.93), 0.94),
    ({"loc": (0.5, 0.2, 99), "size": 0}, (0.5, 0.2), (0.5, 0.2), 0.21),
])
def test_north_arrow(kwargs, foot, head, label_y):
    ax = fresh_axes()
    plots.add_north_arrow(ax, **kwargs)
    label, arrow = ax.texts
    assert (label.get_text(), label.get_transform(), label.get_ha(), label.get_va(), label.get_fontsize(),
            label.get_fontweight(), label.get_zorder()) == ("UN", ax.transAxes, "center", "bottom", 12, "bold", 10)
    assert label.get_position() == pytest.approx((foot[0], label_y))
    assert isinstance(arrow, Annotation) and (arrow.get_text(), arrow.xycoords, arrow.get_zorder()) == (
        "", "axes fraction", 10)
    assert arrow.xy == pytest.approx(head) and arrow.xyann == pytest.approx(foot)
    assert arrow.arrowprops == {"facecolor": "black", "width": 3, "headwidth": 10, "headlength": 12}


@pytest.mark.parametrize("scale, step", [
    (1000, 10), (500, 5), (100, 1), (120, 1), (280, 2),   # ties go to the smaller step
    (8000, 100), (20000, 200), (28000, 400), (30000, 400), (40000, 500),
])
def test_scale_bar_step_and_labels(scale, step):
    ax = fresh_axes((0, 190 * scale / 1000), (0, 160 * scale / 1000))
    plots.add_scale_bar(ax, scale)
    assert [p.get_width() for p in ax.patches] == [4 * step, step, step]
    assert [t.get_text() for t in ax.texts] == [str(2 * step), str(step), "0", str(step), str(2 * step), "m"]


def test_scale_bar_sits_right_aligned_in_any_view():
    ax = fresh_axes((100, 300), (-50, 450))  # a tall view
    plots.add_scale_bar(ax, 1000, position=(0.1, 0.9))  # position changes nothing
    x, y, h = 300 - 10 - 40, -50 + 10, 500 * 0.015
    corners = [c for p in ax.patches for c in (p.get_x(), p.get_y(), p.get_height())]
    assert corners == pytest.approx([x, y, h, x, y, h, x + 20, y, h])
    assert [(p.get_facecolor(), p.get_linewidth(), p.get_zorder()) for p in ax.patches] == [
        ((1, 1, 1, 1), 1, 10), ((0, 0, 0, 1), 0, 11), ((0, 0, 0, 1), 0, 11)]
    assert [(line.get_xdata()[0], line.get_ydata()[1]) for line in ax.lines] == [  # dividers, then ticks
        (x + d, y + h) for d in (10, 20, 30, 40)] + [(x + d, y + 1.5 * h) for d in (0, 10, 20, 30, 40)]
    assert {(line.get_color(), line.get_zorder()) for line in ax.lines} == {("black", 12)}
    assert [c for t in ax.texts for c in t.get_position()] == pytest.approx(
        [c for d in (0, 10, 20, 30, 40, 42) for c in (x + d, y + h * 1.6)])
    assert [(t.get_ha(), t.get_fontweight(), t.get_zorder()) for t in ax.texts[-2:]] == [
        ("center", "bold", 13), ("left", "bold", 13)]
