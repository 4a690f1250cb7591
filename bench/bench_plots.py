"""Time and memory of generate_plot for a typical parcel at the default paper size.

A six-beacon parcel with eight neighbours and three roads, drawn RUNS times.
Prints the median time of a whole plan, the part of it spent in savefig
(matplotlib's rendering and the PNG encoding), the part spent in the figure's
set-up and artists, and what is left for the module's own work; then the peak
of Python-visible memory during one plan and the process's peak resident size.

    python bench/bench_plots.py [RUNS]
"""

import cProfile
import math
import pathlib
import pstats
import resource
import statistics
import sys
import time
import tracemalloc
import warnings

sys.path.append(str(pathlib.Path(__file__).resolve().parents[1] / "host"))
warnings.simplefilter("ignore", DeprecationWarning)

import matplotlib.pyplot as plt  # noqa: E402

import terrava.plots as plots  # noqa: E402

X0, Y0 = 829_318.0, 1_012_705.0  # near 7.45 E, 9.05 N in Web Mercator metres


def polygon(points):
    ring = [[X0 + x, Y0 + y] for x, y in points]
    return {"type": "Polygon", "coordinates": [ring + ring[:1]]}


def typical_parcel():
    corners = [(0, 0), (28, -4), (41, 9), (36, 27), (12, 31), (-4, 15)]
    boundary = []
    for i, (x, y) in enumerate(corners):
        nx, ny = corners[(i + 1) % len(corners)]
        azimuth = math.degrees(math.atan2(nx - x, ny - y)) % 360
        boundary.append({
            "geometry": {"type": "Point", "coordinates": [X0 + x, Y0 + y]},
            "beacon_name": f"SC/{4101 + i}",
            "bearing_deg_to_next": f"{int(azimuth)}°",
            "bearing_min_to_next": f"{int(azimuth % 1 * 60):02d}'",
            "distance_to_next": math.dist((x, y), (nx, ny)),
        })
    records = [{"id": 1, "geometry": polygon(corners), "name": "PLOT 118", "area": 1123.4, "boundary": boundary}]
    for k in range(8):  # a ring of neighbours
        a0, a1 = 2 * math.pi * k / 8, 2 * math.pi * (k + 1) / 8
        arc = [(18 + r * math.cos(a), 13 + r * math.sin(a)) for r in (28, 55) for a in (a0, a1)]
        records.append({"id": 2 + k, "geometry": polygon([arc[0], arc[2], arc[3], arc[1]])})
    roads = [{"geometry": {"type": "LineString", "coordinates": [[X0 - 300, Y0 + y], [X0 + 300, Y0 + y + 4]]}}
             for y in (-30, 50)]
    roads.append({"geometry": {"type": "LineString", "coordinates": [[X0 + 60, Y0 - 300], [X0 + 64, Y0 + 300]]}})
    return records, roads


def main(runs):
    records, roads = typical_parcel()
    resident_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    plots.generate_plot(records, 1, roads, "id")  # warm caches (fonts, imports)

    savefig_times = []
    real_savefig = plt.savefig

    def timed(store, call):
        def wrapper(*args, **kwargs):
            start = time.perf_counter()
            try:
                return call(*args, **kwargs)
            finally:
                store.append(time.perf_counter() - start)
        return wrapper

    plt.savefig = timed(savefig_times, real_savefig)
    totals = []
    try:
        for _ in range(runs):
            start = time.perf_counter()
            plots.generate_plot(records, 1, roads, "id")
            totals.append(time.perf_counter() - start)
    finally:
        plt.savefig = real_savefig
    resident_after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

    # Where the rest goes: the calls the module makes into Python (matplotlib,
    # shapely, pyproj, base64) show in a profile as called straight from
    # one_plan; what they do not account for is the module's own C++ work.
    def one_plan():
        plots.generate_plot(records, 1, roads, "id")

    profiler = cProfile.Profile()
    start = time.perf_counter()
    profiler.runcall(one_plan)
    profiled_total = time.perf_counter() - start
    shares = {}
    for (filename, _, name), (_, _, _, _, callers) in pstats.Stats(profiler).stats.items():
        for (_, _, caller_name), (_, _, _, cumulative) in callers.items():
            if caller_name != "one_plan":
                continue
            if name == "savefig":
                part = "savefig"
            elif "matplotlib" in filename:
                part = "matplotlib figure and artists"
            elif "shapely" in filename or "pyproj" in filename:
                part = "shapely and pyproj"
            else:
                part = "other Python (base64, io, logging, rc_context)"
            shares[part] = shares.get(part, 0) + cumulative
    own = profiled_total - sum(shares.values())

    tracemalloc.start()
    plots.generate_plot(records, 1, roads, "id")
    _, python_peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()

    median = statistics.median(totals)
    save = statistics.median(savefig_times)
    print(f"runs: {runs}")
    print(f"generate_plot median: {median * 1000:.1f} ms")
    print(f"  savefig (rendering + PNG encoding): {save * 1000:.1f} ms ({save / median:.1%})")
    print(f"  the rest: {(median - save) * 1000:.1f} ms ({(median - save) / median:.1%})")
    print("one profiled plan:")
    for part, seconds in sorted(shares.items(), key=lambda item: -item[1]):
        print(f"  {part}: {seconds / profiled_total:.1%}")
    print(f"  module's own C++ work: {own / profiled_total:.1%}")
    print(f"peak Python-heap memory during one plan: {python_peak / 2**20:.1f} MiB")
    print(f"peak resident size: {resident_before / 1024:.0f} MiB before the first plan, "
          f"{resident_after / 1024:.0f} MiB after the timed plans")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 20)
