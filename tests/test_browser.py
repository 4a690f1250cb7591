"""The map page in headless Chromium, as a user sees it: it loads cleanly;
at zooms 12 to 18.5 every parcel number stands on its own parcel, once, and
every area name inside its area, with no name over another; the search finds
a parcel by number and zone, flies there, outlines it and opens its popup;
names that are HTML show as text; a parcel's popup links a deed plan PDF; the
layer switcher hides a layer."""

import json
import os
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

from map_support import HTML_NAME, html_road, sql  # noqa: F401
from process_support import free_port

ROOT = Path(__file__).resolve().parents[1]
HOST = ROOT / "host"
AREA_TABLES = {"cadzones": "CadZones", "districts": "Districts", "lgas": "LGAs"}


def run_page(checks, shots):
    port = free_port()
    server = subprocess.Popen([sys.executable, "-m", "uvicorn", "app:app", "--host", "127.0.0.1", "--port", str(port)],
                              cwd=HOST, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        base = f"http://127.0.0.1:{port}"
        for _ in range(100):
            try:
                urllib.request.urlopen(f"{base}/gis/health/", timeout=2)
                break
            except OSError:
                time.sleep(0.2)
        # The server keeps a preloaded sanitizer runtime (scripts/test_sanitized.sh);
        # node and Chromium do not start under it.
        browser_env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        run = subprocess.run(["node", str(ROOT / "tests" / "browser" / "map_page.js"), base, str(shots)],
                             env={**browser_env, "HOST_DIR": str(HOST), "MAP_CHECKS": json.dumps(checks)},
                             capture_output=True, text=True, timeout=540)
    finally:
        server.terminate()
        server.wait(timeout=30)
    assert run.returncode == 0, run.stderr[-2000:]
    return json.loads(run.stdout.strip().splitlines()[-1])


def outside_their_features(db_url, table, key, points):
    """The (id, lon, lat) of `points` that do not lie inside the feature `id` of `table`."""
    if not points:
        return []
    ids, lons, lats = zip(*points)
    return [tuple(r) for r in sql(db_url, f"""
        SELECT l.id, l.lon, l.lat FROM unnest($1::int[], $2::float8[], $3::float8[]) AS l(id, lon, lat)
          LEFT JOIN "GIS"."{table}" f ON f."{key}" = l.id
           AND ST_Contains(f."{'GEOMETRY' if table == 'PLOT' else 'geometry'}",
                           ST_Transform(ST_SetSRID(ST_MakePoint(l.lon, l.lat), 4326), 3857))
         WHERE f."{key}" IS NULL""", list(ids), list(lons), list(lats))]


def test_map_page_in_a_real_browser(services, db_url, html_road, tmp_path):
    # A parcel whose number other zones have too: only its zone tells it apart.
    (parcel,) = sql(db_url, """
        SELECT p."ID" AS id, p."PLOT_NO" AS plot_no, p."CADZONE" AS cadzone,
               ST_X(c) AS lon, ST_Y(c) AS lat
          FROM "GIS"."PLOT" p, LATERAL ST_Transform(ST_PointOnSurface(p."GEOMETRY"), 4326) AS c
         WHERE EXISTS (SELECT 1 FROM "GIS"."PLOT" o WHERE o."PLOT_NO" = p."PLOT_NO" AND o."CADZONE" <> p."CADZONE")
         ORDER BY p."ID" LIMIT 1""")
    seen = run_page({"parcel": {"query": f"{parcel['plot_no']} {parcel['cadzone']}", "point": [parcel["lon"], parcel["lat"]]},
                     "htmlRoad": HTML_NAME}, tmp_path)
    assert seen["consoleErrors"] == []

    # Names: on their own parcel (its drawn fill, and its geometry in the
    # database), once each, inside their areas, none over another.
    assert seen["opening"]["names"]["cadzones-label"] > 0
    zooms = seen["zooms"]
    assert [(v["zoom"], v["outside"], v["boxOutside"], v["duplicates"], v["overlaps"]) for v in zooms] == \
        [(v["zoom"], [], 0, 0, []) for v in zooms]
    assert sum(v["plots"] for v in zooms if v["zoom"] >= 17) > 0
    # Above the zones' names (zoom 17 on), every parcel with room for its number has it.
    assert [(v["zoom"], v["missing"]) for v in zooms if v["zoom"] >= 17] == [(v["zoom"], []) for v in zooms if v["zoom"] >= 17]
    assert outside_their_features(db_url, "PLOT", "ID", [tuple(p) for v in zooms for p in v["parcels"]]) == []
    for layer, table in AREA_TABLES.items():
        points = [tuple(a[1:]) for v in zooms for a in v["areas"] if a[0] == layer]
        assert outside_their_features(db_url, table, "id", points) == [], layer

    # The search: a parcel by number and zone, its popup on it and the parcel outlined.
    first = seen["parcelMatches"][0]
    assert first["title"] == f"Plot {parcel['plot_no']}" and first["detail"].startswith(f"Cadastral zone {parcel['cadzone']}")
    choice = seen["parcelChoice"]
    assert choice["popups"] == 1
    assert (choice["fields"]["ID"], choice["fields"]["PLOT_NO"], choice["fields"]["CADZONE"]) == \
        (str(parcel["id"]), parcel["plot_no"], parcel["cadzone"])
    assert choice["selectedIds"] == [parcel["id"]] and choice["outlined"] > 0
    assert parcel["id"] in choice["underPopup"]
    assert [m["title"] for m in seen["nothingMatches"]] == ["No match"]

    # A road named in HTML: text in the list and in the popup, no markup made of it.
    assert seen["roadMatches"][0]["title"] == HTML_NAME and seen["roadMatches"][0]["elements"] == ["span", "span"]
    road = seen["roadChoice"]
    assert road["fields"]["ROAD_NAME"] == HTML_NAME and road["selectedIds"] == [html_road]
    assert set(road["elements"]) <= {"div", "h3", "table", "tr", "td", "button"} and not road["injected"]

    assert seen["parcelsRendered"] > 0
    assert (seen["deedStatus"], seen["deedType"], seen["deedMagic"]) == (200, "application/pdf", "%PDF")
    assert seen["plotsVisibility"] == ["none", "none"]
    for name in ("map.png", "map-parcels.png", "map-search.png"):
        assert (tmp_path / name).stat().st_size > 10000, name
