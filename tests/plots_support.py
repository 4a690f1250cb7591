"""Builders and a figure catcher shared by the plan drawing tests."""

import pathlib
import sys

import matplotlib.pyplot as plt
import pytest

HOST = str(pathlib.Path(__file__).resolve().parents[1] / "host")
if HOST not in sys.path:
    sys.path.append(HOST)

import terrava.plots as plots  # noqa: E402


def polygon(points):
    return {"type": "Polygon", "coordinates": [[list(p) for p in points] + [list(points[0])]]}


def point(x, y):
    return {"type": "Point", "coordinates": [x, y]}


def beacons(points, names=None, **edges):
    """Beacon entries at `points`; each keyword is a per-edge list of values."""
    entries = []
    for i, (x, y) in enumerate(points):
        entry = {"geometry": point(x, y)}
        if names:
            entry["beacon_name"] = names[i]
        entry.update({key: values[i] for key, values in edges.items()})
        entries.append(entry)
    return entries


def target(points, pid=1, name="PLOT 1", **extra):
    return {"id": pid, "geometry": polygon(points), "name": name, **extra}


def neighbour(points, pid):
    return {"id": pid, "geometry": polygon(points)}


class Recorder:
    def __init__(self):
        self.lines = []

    def info(self, text):
        self.lines.append(text)


@pytest.fixture
def drawn(monkeypatch):
    """The figures the module closes, caught before they go."""
    figures = []
    close = plt.close

    def catch(fig=None):
        figures.append(fig)
        close(fig)

    monkeypatch.setattr(plt, "close", catch)
    return figures


def draw(drawn, records, selected=1, roads=None, **kwargs):
    """Draws a plan and returns its result and the axes it was drawn on."""
    result = plots.generate_plot(records, selected, roads, "id", **kwargs)
    return result, drawn[-1].axes[0]


def texts(ax, zorder):
    return [t for t in ax.texts if t.get_zorder() == zorder]


def text_at(ax, content):
    (found,) = [t for t in ax.texts if t.get_text() == content]
    return found
