"""End-to-end time of a deed plan for a typical parcel of the loaded cadastre.

Renders the deed plan of one parcel RUNS times on one session and prints the
median of the whole operation split into:

  database   time spent awaiting the session (execute / get: SQL, asyncpg, ORM)
  drawing    generate_plot (matplotlib, PNG encoding)
  pdf        WeasyPrint (HTML parse, layout, PDF writing)
  module     everything else: template read and filling, records, glue

and the number of database round trips of one plan. The parcel is the one
with the median number of neighbours among the first 200 (a typical one).

    set -a; . .services/env; set +a
    python bench/bench_plans.py [RUNS]
"""

import asyncio
import logging
import pathlib
import statistics
import sys
import time
import warnings

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "host"))
warnings.simplefilter("ignore", DeprecationWarning)
logging.getLogger("weasyprint").setLevel(logging.ERROR)  # font subsetting notices

from sqlalchemy import event, text  # noqa: E402

import services.plansmith as plansmith  # noqa: E402  (the host copy, beside templates/)
from database import dispose_engine, get_db  # noqa: E402

RUNS = int(sys.argv[1]) if len(sys.argv) > 1 else 15


class Clock:
    def __init__(self):
        self.spent = {"database": 0.0, "drawing": 0.0, "pdf": 0.0}

    def timed(self, part, fn):
        def call(*args, **kwargs):
            start = time.perf_counter()
            try:
                return fn(*args, **kwargs)
            finally:
                self.spent[part] += time.perf_counter() - start
        return call

    def timed_await(self, part, fn):
        async def call(*args, **kwargs):
            start = time.perf_counter()
            try:
                return await fn(*args, **kwargs)
            finally:
                self.spent[part] += time.perf_counter() - start
        return call


class TimedHTML:
    """weasyprint.HTML whose parsing and rendering count as pdf time."""

    def __init__(self, clock, html):
        self.clock, self.html = clock, html

    def __call__(self, *args, **kwargs):
        document = self.clock.timed("pdf", self.html)(*args, **kwargs)
        document.write_pdf = self.clock.timed("pdf", document.write_pdf)
        return document


async def typical_parcel(db):
    rows = (await db.execute(text("""
        SELECT p."ID", (SELECT count(*) FROM "GIS"."PLOT" n WHERE ST_DWithin(n."GEOMETRY", p."GEOMETRY", 50)) AS n
          FROM (SELECT * FROM "GIS"."PLOT" ORDER BY "ID" LIMIT 200) p ORDER BY n, p."ID" """))).all()
    return rows[len(rows) // 2]


async def main():
    sessions = get_db()
    db = await sessions.__anext__()
    plot_id, neighbours = await typical_parcel(db)
    trips = []
    event.listen(db.bind.sync_engine, "before_cursor_execute", lambda *a: trips.append(1))
    original_html, original_plot = plansmith.HTML, plansmith.generate_plot
    totals, parts = [], []
    try:
        for run in range(RUNS + 1):
            clock = Clock()
            db.execute = clock.timed_await("database", type(db).execute.__get__(db))
            db.get = clock.timed_await("database", type(db).get.__get__(db))
            plansmith.HTML = TimedHTML(clock, original_html)
            plansmith.generate_plot = clock.timed("drawing", original_plot)
            trips.clear()
            start = time.perf_counter()
            pdf = await plansmith.PlanImageGenerator(db).generate_deedplan_html(
                plot_id, "Kessaru", "MISC 104233", "Ada Obi", "AB03")
            total = time.perf_counter() - start
            assert pdf.getvalue().startswith(b"%PDF")
            db.expunge_all()  # every run reads its rows anew
            if run:  # the first run warms caches and fonts
                totals.append(total)
                parts.append(dict(clock.spent, module=total - sum(clock.spent.values())))
    finally:
        plansmith.HTML, plansmith.generate_plot = original_html, original_plot
        await sessions.aclose()
        await dispose_engine()

    median = statistics.median(totals)
    print(f"deed plan of parcel {plot_id} ({neighbours} parcels within 50 m), {RUNS} runs")
    print(f"  total     {median * 1000:8.1f} ms (median)")
    for part in ("database", "drawing", "pdf", "module"):
        value = statistics.median(p[part] for p in parts)
        print(f"  {part:<9} {value * 1000:8.1f} ms  {100 * value / median:5.1f} %")
    print(f"  database round trips per plan: {len(trips)}")


if __name__ == "__main__":
    asyncio.run(main())
