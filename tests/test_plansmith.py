"""The plan document service on the demo cadastre: parcel data from PostGIS,
deed and site plans rendered by WeasyPrint and read back with poppler."""

import asyncio
import math
import os
import re
import shutil
import subprocess
from xml.etree import ElementTree

import pytest

import services.plansmith as plansmith
import helpers.plots as plots
from test_host import sql

AUTHORITY = "VELMORA STATE GEOGRAPHIC INFORMATION SYSTEM SERVICE"


def in_session(fn):
    """`fn(session)` on a session of the host's get_db; whatever it changed
    is rolled back when the session closes."""
    from database import dispose_engine, get_db

    async def go():
        sessions = get_db()
        session = await sessions.__anext__()
        try:
            return await fn(session)
        finally:
            await sessions.aclose()
            await dispose_engine()

    return asyncio.run(go())


def pdf_facts(data, tmp_path):
    path = tmp_path / "plan.pdf"
    path.write_bytes(data)
    run = lambda *cmd: subprocess.run([*cmd, str(path), "-"], capture_output=True, text=True, check=True).stdout
    info = subprocess.run(["pdfinfo", str(path)], capture_output=True, text=True, check=True).stdout
    images = subprocess.run(["pdfimages", "-list", str(path)], capture_output=True, text=True, check=True).stdout
    pictures = [line for line in images.splitlines()[2:] if line.split()[2] == "image"]
    return info, run("pdftotext"), len(pictures), run("pdftotext", "-layout")


@pytest.fixture(scope="module")
def parcel(db_url):
    """An unsurveyed parcel with a short (schedule) edge, and its first beacon."""
    (row,) = sql(db_url, """
        SELECT p."ID", p."PLOT_NO", p."file_no", b."EASTING", b."NORTHING" FROM "GIS"."PLOT" p
          JOIN "GIS"."BOUNDARY" c ON c."PLOTID" = p."ID" AND c."SEQ" = 1
          JOIN "GIS"."BEACON" b ON b."ID" = c."BEACON1ID"
         WHERE p."SURVEYED_BY" IS NULL AND p."file_no" IS NOT NULL
           AND EXISTS (SELECT 1 FROM "GIS"."BOUNDARY" s WHERE s."PLOTID" = p."ID" AND s."LENGTH" < 4)
         ORDER BY p."ID" LIMIT 1""")
    return dict(row)


def count_round_trips(session):
    from sqlalchemy import event

    calls = []
    event.listen(session.bind.sync_engine, "before_cursor_execute", lambda *a: calls.append(1))
    return calls


def test_neighbourhood_is_read_with_its_courses_in_ring_order(db_url, parcel):
    pid = parcel["ID"]
    near = {r["ID"] for r in sql(db_url, """SELECT n."ID" FROM "GIS"."PLOT" n, "GIS"."PLOT" p
        WHERE p."ID" = $1 AND ST_DWithin(n."GEOMETRY", p."GEOMETRY", 50)""", pid)}
    roads = [r["ROAD_NAME"] for r in sql(db_url, """SELECT r."ROAD_NAME" FROM "GIS"."ROAD" r, "GIS"."PLOT" p
        WHERE p."ID" = $1 AND ST_DWithin(r."GEOMETRY", p."GEOMETRY", 50)
        ORDER BY ST_Distance(p."GEOMETRY", r."GEOMETRY") LIMIT 3""", pid)]
    courses = sql(db_url, """SELECT c."LENGTH", c."ANGLEDEG", c."ANGLEMIN", b."BEACON_NO" FROM "GIS"."BOUNDARY" c
        JOIN "GIS"."BEACON" b ON b."ID" = c."BEACON1ID" WHERE c."PLOTID" = $1 ORDER BY c."SEQ" """, pid)

    async def read(db):
        # A rewritten row moves to the end of the table: read without order,
        # the first course would now come last.
        from sqlalchemy import text
        for setting in ("enable_indexscan", "enable_bitmapscan"):
            await db.execute(text(f"SET LOCAL {setting} = off"))
        await db.execute(text('UPDATE "GIS"."BOUNDARY" SET "LENGTH" = "LENGTH" WHERE "PLOTID" = :p AND "SEQ" = 1'),
                         {"p": pid})
        unordered = (await db.execute(text('SELECT "SEQ" FROM "GIS"."BOUNDARY" WHERE "PLOTID" = :p'),
                                      {"p": pid})).scalars().all()
        calls = count_round_trips(db)
        result = await plansmith.PlanImageGenerator(db).get_plot_with_nearby(db, pid)
        missing = await plansmith.PlanImageGenerator(db).get_plot_with_nearby(db, 999999999)
        return unordered, result, len(calls), missing

    unordered, result, round_trips, missing = in_session(read)
    assert unordered[0] != 1
    assert missing == {"plots": [], "roads": None}
    assert list(result) == ["plots", "roads"] and [r["name"] for r in result["roads"]] == roads
    records = {r["id"]: r for r in result["plots"]}
    assert set(records) == near
    record = records[pid]
    assert list(record) == ["id", "name", "area", "file_no", "geometry", "boundary", "surveyed_by", "address",
                            "plan_layout_no"]
    assert record["geometry"]["type"] == "Polygon" and record["surveyed_by"] is None
    assert list(record["boundary"][0]) == ["beacon_id", "beacon_name", "beacon_northing", "beacon_easting",
                                           "geometry", "distance_to_next", "bearing_to_next",
                                           "bearing_deg_to_next", "bearing_min_to_next"]
    assert [(b["beacon_name"], b["distance_to_next"], b["bearing_to_next"], b["bearing_deg_to_next"],
             b["bearing_min_to_next"]) for b in record["boundary"]] == [
        (c["BEACON_NO"], c["LENGTH"], f"{c['ANGLEDEG']:02d}°{c['ANGLEMIN']:02d}'", f"{c['ANGLEDEG']:02d}°",
         f"{c['ANGLEMIN']:02d}'") for c in courses]
    sides = sum(len(r["boundary"]) for r in result["plots"])
    # 3 + P + S for the parcel, a single lookup for the unknown id.
    assert round_trips == 3 + len(records) + sides + 1


@pytest.mark.parametrize("call, message", [
    (lambda g: g.get_plot_with_nearby(None, True), "argument 'plot_id' must be int, not bool"),
    (lambda g: g.generate_siteplan_html("7"), "argument 'plot_id' must be int, not str"),
    (lambda g: g.generate_deedplan_html(7, None, "F", "P", "C"), "argument 'district' must be str, not NoneType"),
    (lambda g: g.generate_deedplan_html(7, "D", "F", "P", cadzone=3), "argument 'cadzone' must be str, not int"),
])
def test_arguments_of_the_wrong_type_are_refused_at_the_call(call, message):
    generator = plansmith.PlanImageGenerator(None)
    with pytest.raises(TypeError, match=re.escape(message)):
        call(generator)


def deed(db, pid, **particulars):
    values = {"district": "Kessaru", "file_no": "misc 104", "person_name": "Ada Obi", "cadzone": "ab03"}
    values.update(particulars)
    return plansmith.PlanImageGenerator(db).generate_deedplan_html(pid, **values)


def test_deed_and_site_plans_are_one_a4_page_with_the_particulars(parcel, tmp_path):
    pid = parcel["ID"]

    async def make(db):
        generator = plansmith.PlanImageGenerator(db)
        near = await generator.get_plot_with_nearby(db, pid)
        drawn = plots.generate_plot(near["plots"], pid, near["roads"], "id", None, max_width_mm=190, max_height_mm=160)
        return (await deed(db, pid), await generator.generate_siteplan_html(pid), drawn,
                await deed(db, 999999999), await generator.generate_siteplan_html(999999999))

    deed_pdf, site_answer, (_, _, scale, schedule), no_deed, no_site = in_session(make)
    assert no_deed is None and no_site is None and deed_pdf.tell() == 0
    assert site_answer.headers["content-disposition"] == f'attachment; filename="SitePlan_{pid}.pdf"'
    assert schedule
    for data, particulars in [(deed_pdf.read(), ["KESSARU", "MISC 104", "ADA OBI", "AB03"]),
                              (site_answer.body, [parcel["file_no"]])]:
        info, text, images, layout = pdf_facts(data, tmp_path)
        assert re.search(r"^Pages:\s+1$", info, re.M) and "(A4)" in info and images == 1
        words = " ".join(text.split())
        for expected in particulars + [parcel["PLOT_NO"], f"1 : {scale}", AUTHORITY, "SURV. TOLVEK .U.Mnis",
                                       f"{parcel['EASTING']:.3f}", f"{parcel['NORTHING']:.3f}"]:
            assert expected in words
        assert "None" not in words and "{{" not in words
        for row in schedule:
            cells = [row["from"], row["to"], row["bearing"], row["distance"]]
            assert re.search(r"\s+".join(re.escape(c) for c in cells), layout), cells


def test_untrusted_text_stays_text_and_nothing_but_data_urls_is_fetched(parcel, tmp_path, monkeypatch):
    # A template that refers to a local style sheet and picture: neither may be read.
    (tmp_path / "leak.css").write_text('body::after { content: "LEAKED FILE"; }')
    from PIL import Image
    Image.new("RGB", (40, 40), (0, 0, 255)).save(tmp_path / "leak.png")
    shipped = __import__("pathlib").Path(plansmith.project_root) / "templates"
    templates = shutil.copytree(shipped, tmp_path / "templates")
    original = (shipped / "deedplan.html").read_text()
    templates.joinpath("deedplan.html").write_text(original.replace(
        "</head>", f'<link rel="stylesheet" href="file://{tmp_path}/leak.css"></head>').replace(
        "</body>", f'<img src="file://{tmp_path}/leak.png"></body>'))
    monkeypatch.setattr(plansmith, "project_root", str(tmp_path))
    hostile = '<img src="file:///etc/passwd">'

    pdf = in_session(lambda db: deed(db, parcel["ID"], person_name=hostile, district="&#60;b&#62;x&#x3c;/b>"))
    _, text, images, _ = pdf_facts(pdf.read(), tmp_path)
    words = " ".join(text.split())
    assert "LEAKED" not in words and images == 1
    assert hostile.upper() in words and "&#60;B&#62;X&#X3C;/B>" in words


class Edited(plansmith.PlanImageGenerator):
    """The real neighbourhood, with the records changed by `edit`."""

    edit = None

    async def get_plot_with_nearby(self, db, plot_id):
        result = await super().get_plot_with_nearby(db, plot_id)
        type(self).edit(result, plot_id)
        return result


def own(result, pid):
    return next(r for r in result["plots"] if r["id"] == pid)


def numeric_values(result, pid):
    record = own(result, pid)
    record.update(plan_layout_no=42, file_no=None)
    record["boundary"][0]["beacon_name"] = 9071


@pytest.mark.parametrize("edit, deed_text, site_text", [
    (numeric_values, ["9071", "TRACING NO: 42"], ["9071", "FILE NO: SCALE"]),
    (lambda result, pid: own(result, pid).update(boundary=[]), ["NORTHING mN EASTING mE"],
     ["NORTHING mN EASTING mE"]),
    (lambda result, pid: result.update(plots=[r for r in result["plots"] if r["id"] != pid]), None, None),
])
def test_odd_records_give_a_document_or_none(parcel, tmp_path, monkeypatch, edit, deed_text, site_text):
    monkeypatch.setattr(Edited, "edit", staticmethod(edit))
    pid = parcel["ID"]

    async def make(db):
        generator = Edited(db)
        return (await generator.generate_deedplan_html(pid, "D", "F", "P", "C"),
                await generator.generate_siteplan_html(pid))

    deed_pdf, site = in_session(make)
    if deed_text is None:
        assert deed_pdf is None and site is None
        return
    for data, expected in [(deed_pdf.read(), deed_text), (site.body, site_text)]:
        words = " ".join(pdf_facts(data, tmp_path)[1].split())
        assert "None" not in words
        assert all(e in words for e in expected), words


def page_runs(data, tmp_path):
    """Width and height of the one page of a PDF and its runs of text as
    (text, font size, top, bottom), all in points, as poppler reads them."""
    path = tmp_path / "page.pdf"
    path.write_bytes(data)
    # At zoom 2 poppler's units are half points: 8.5 pt type reads as 17.
    xml = subprocess.run(["pdftohtml", "-xml", "-i", "-zoom", "2", "-stdout", str(path)],
                         capture_output=True, text=True, check=True).stdout
    root = ElementTree.fromstring(xml)
    (page,) = root.iter("page")
    # The fonts are the elements with a size; each run names its font by id.
    sizes = {font.get("id"): float(font.get("size")) / 2 for font in root.iter() if font.get("size")}
    runs = [("".join(run.itertext()), sizes[run.get("font")], float(run.get("top")) / 2,
             (float(run.get("top")) + float(run.get("height"))) / 2) for run in root.iter("text")]
    return float(page.get("width")) / 2, float(page.get("height")) / 2, runs


def document_and_schedule(generator_type, pid, kind):
    """The PDF of the deed or site plan of `pid` and the schedule rows of its picture."""
    async def make(db):
        generator = generator_type(db)
        near = await generator.get_plot_with_nearby(db, pid)
        drawn = plots.generate_plot(near["plots"], pid, near["roads"], "id", None, max_width_mm=190, max_height_mm=160)
        if kind == "deed":
            document = await generator.generate_deedplan_html(pid, "Kessaru", "misc 104", "Ada Obi", "ab03")
            return document.read(), drawn[3]
        return (await generator.generate_siteplan_html(pid)).body, drawn[3]

    return in_session(make)


FRAME_FOOT_MM = 297 - 5  # the frame's outer edge; nothing may be set below it


@pytest.mark.parametrize("kind", ["deed", "site"])
def test_the_plan_fills_its_sheet_in_legible_type(parcel, tmp_path, kind):
    data, schedule = document_and_schedule(plansmith.PlanImageGenerator, parcel["ID"], kind)
    width, height, runs = page_runs(data, tmp_path)
    assert (width, height) == pytest.approx((595.3, 841.9), abs=1)

    # Particulars and every cell of the boundary schedule at 8.5 pt or more
    # (below the legend, whose samples copy the picture's small print).
    (top,) = [top for text, _, top, _ in runs if text == "ORIGIN BEACON"]
    lower = [(text, size) for text, size, run_top, _ in runs if run_top >= top]
    values = [f"{parcel['EASTING']:.3f}", f"{parcel['NORTHING']:.3f}"]
    values += [row[key] for row in schedule for key in ("from", "to", "bearing", "distance")]
    for value in values:
        assert min(size for text, size in lower if value in text) >= 8.5, value

    words = " ".join(" ".join(text for text, *_ in runs).split())
    for expected in ["LEGEND", "This plot and its boundary", "Neighbouring plots", "Road edge or centre line",
                     "Beacon and its number", "North point", "Scale bar", "CERTIFICATE", "Date", "Surveyor General"]:
        assert expected in words

    # The certification stands at the foot of the page, inside the frame.
    lowest = max(bottom for *_, bottom in runs)
    assert 0.85 * height < lowest < FRAME_FOOT_MM / 297 * height


COURSES = 34


def traced_through_many_beacons(result, pid):
    """The parcel's outline traced through COURSES beacons a few metres apart:
    every course too short to be figured, so all of them go to the schedule."""
    from shapely.geometry import Polygon, mapping, shape

    record = own(result, pid)
    ring = shape(record["geometry"]).exterior
    corners = [ring.interpolate(i / COURSES, normalized=True) for i in range(COURSES)]
    record["geometry"] = mapping(Polygon([(p.x, p.y) for p in corners]))
    record["boundary"] = []
    for i, here in enumerate(corners):
        there = corners[(i + 1) % COURSES]
        bearing = math.degrees(math.atan2(there.x - here.x, there.y - here.y)) % 360
        degrees, minutes = f"{int(bearing):02d}°", f"{int(bearing % 1 * 60):02d}'"
        record["boundary"].append({
            "beacon_id": 900000 + i, "beacon_name": f"PB {90000 + i}", "beacon_northing": here.y,
            "beacon_easting": here.x, "geometry": mapping(here), "distance_to_next": round(here.distance(there), 2),
            "bearing_to_next": degrees + minutes, "bearing_deg_to_next": degrees, "bearing_min_to_next": minutes})


@pytest.mark.parametrize("kind", ["deed", "site"])
def test_a_long_schedule_stays_whole_on_the_one_sheet(parcel, tmp_path, monkeypatch, kind):
    monkeypatch.setattr(Edited, "edit", staticmethod(traced_through_many_beacons))
    data, schedule = document_and_schedule(Edited, parcel["ID"], kind)
    assert len(schedule) == COURSES
    info, _, _, layout = pdf_facts(data, tmp_path)
    assert re.search(r"^Pages:\s+1$", info, re.M)
    for row in schedule:
        cells = [row["from"], row["to"], row["bearing"], row["distance"]]
        assert re.search(r"\s+".join(re.escape(c) for c in cells), layout), cells
    _, height, runs = page_runs(data, tmp_path)
    assert max(bottom for *_, bottom in runs) < FRAME_FOOT_MM / 297 * height


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer keeps freed memory in its quarantine")
def test_a_run_of_plans_leaves_the_heap_as_it_found_it(parcel):
    # Each plan used to leave its font set-up and its picture's URL behind,
    # some 0.7 MiB together; 20 plans would add 10 MiB and more.
    import ctypes
    import gc

    libc = ctypes.CDLL(None)

    class MallInfo(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]

    libc.mallinfo2.restype = MallInfo

    def heap_in_use():
        gc.collect()
        libc.malloc_trim(0)
        info = libc.mallinfo2()
        return info.uordblks + info.hblkhd

    async def plans(db, count):
        generator = plansmith.PlanImageGenerator(db)
        for n in range(count):
            answer = await (generator.generate_siteplan_html(parcel["ID"]) if n % 2 else deed(db, parcel["ID"]))
            assert answer is not None

    async def run(db):
        await plans(db, 4)
        before = heap_in_use()
        await plans(db, 20)
        return heap_in_use() - before

    growth = in_session(run)
    assert growth < 2 * 2**20, f"{growth / 2**20:.1f} MiB"
