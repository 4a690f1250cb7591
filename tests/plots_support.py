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


def beacons(points, names=None, **edges):
    """Beacon entries at `points`; each keyword gives a value per edge."""
    entries = [{"geometry": {"type": "Point", "coordinates": list(p)}} for p in points]
    for i, entry in enumerate(entries):
        entry.update({"beacon_name": names[i]} if names else {}, **{k: v[i] for k, v in edges.items()})
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
    figures, close = [], plt.close
    monkeypatch.setattr(plt, "close", lambda fig=None: figures.append(fig) or close(fig))
    return figures


def draw(drawn, records, selected=1, roads=None, **kwargs):
    """Draws a plan; gives its result and the axes it was drawn on."""
    result = plots.generate_plot(records, selected, roads, "id", **kwargs)
    return result, drawn[-1].axes[0]


def texts(ax, zorder):
    return [t for t in ax.texts if t.get_zorder() == zorder]


def text_at(ax, content):
    """The one beacon name or edge label that reads `content`."""
    (found,) = [t for t in texts(ax, 7) if t.get_text() == content]
    return found
