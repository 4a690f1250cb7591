"""Demo application: the tile service, a map page and the plan documents.

Run from this directory with the services' settings in the environment:

    set -a; . ../.services/env; set +a
    uvicorn app:app --host 127.0.0.1 --port 8000 --loop uvloop --http httptools

    /                      the map page (MapLibre GL, vector tiles from /gis)
    /gis/...               the tile service
    /plans/deed/{plot_id}  deed plan PDF (optional query: district, cadzone, file_no, person_name)
    /plans/site/{plot_id}  site plan PDF
    /tilejson/{layer}.json TileJSON of a layer (for MapLibre styles and desktop GIS; routers/tilejson.py)
    /search?q=...          parcels (number, with or without its zone), beacons, roads and areas by name
    /labels/{layer}        label points of a layer's features in a view (GeoJSON, for the map's names)
    /docs, /openapi.json   API documentation
"""

from contextlib import asynccontextmanager
from enum import Enum
from pathlib import Path
from typing import Optional

import hmac
import math
import os
import re

import shapely

from fastapi import Depends, FastAPI, HTTPException, Query, Request
from fastapi.concurrency import run_in_threadpool
from fastapi.openapi.docs import get_swagger_ui_html
from fastapi.responses import RedirectResponse
from fastapi.staticfiles import StaticFiles
from sqlalchemy import select, text
from sqlalchemy.ext.asyncio import AsyncSession

from database import dispose_engine, get_db
from helpers.responses import api_response
from logger import get_logger
from models.gis_model import PLOT, CadZone, District
from routers.tileport import tileport
from routers.tilejson import router as tilejson_router

try:
    from services.plansmith import PlanImageGenerator
except ImportError as exc:  # the plan service is an optional native module
    PlanImageGenerator = None
    _plansmith_error = str(exc)
else:
    _plansmith_error = None

HERE = Path(__file__).resolve().parent
NODE_MODULES = HERE / "node_modules"
logger = get_logger()


@asynccontextmanager
async def lifespan(app: FastAPI):
    yield
    await dispose_engine()


app = FastAPI(
    title="Terrava registry GIS",
    description="Vector tiles of the registry's layers and the plan documents of its parcels.",
    docs_url=None,
    redoc_url=None,
    lifespan=lifespan,
)


async def operators_only(request: Request):
    """The tile router's cache invalidation (POST /gis/cache/...) deletes for
    anyone who reaches it: here only a caller with the operator token of
    TERRAVA_OPERATOR_TOKEN (header X-Operator-Token) may, and nobody when it
    is unset. The tiles themselves stay open."""
    if request.method != "POST" or not request.url.path.startswith("/gis/cache/"):
        return
    expected = os.environ.get("TERRAVA_OPERATOR_TOKEN", "")
    given = request.headers.get("X-Operator-Token", "")
    if not expected or not hmac.compare_digest(given.encode(), expected.encode()):
        raise HTTPException(status_code=403, detail="Operator token required")


app.include_router(tileport, dependencies=[Depends(operators_only)])
app.include_router(tilejson_router)
app.mount("/static", StaticFiles(directory=HERE / "static"), name="static")
if (NODE_MODULES / "maplibre-gl").is_dir():
    app.mount("/vendor/maplibre-gl", StaticFiles(directory=NODE_MODULES / "maplibre-gl" / "dist"), name="maplibre")
if (NODE_MODULES / "swagger-ui-dist").is_dir():
    app.mount("/vendor/swagger-ui", StaticFiles(directory=NODE_MODULES / "swagger-ui-dist"), name="swagger-ui")


@app.get("/", include_in_schema=False)
async def index():
    return RedirectResponse("/static/map.html")


@app.get("/docs", include_in_schema=False)
async def docs():
    # Swagger UI from the local npm packages: the machine may have no CDN access.
    return get_swagger_ui_html(
        openapi_url=app.openapi_url,
        title=f"{app.title} — API",
        swagger_js_url="/vendor/swagger-ui/swagger-ui-bundle.js",
        swagger_css_url="/vendor/swagger-ui/swagger-ui.css",
        swagger_favicon_url="/vendor/swagger-ui/favicon-32x32.png",
    )


def plan_operation(db: AsyncSession, name: str):
    """The document operation `name` of a PlanImageGenerator over `db`, or 503
    when this build of the plan service does not offer it."""
    if PlanImageGenerator is None:
        raise HTTPException(status_code=503, detail=f"Plan service not available: {_plansmith_error}")
    if not hasattr(PlanImageGenerator, name):
        raise HTTPException(status_code=503, detail=f"Plan service not available: no {name}")
    return getattr(PlanImageGenerator(db), name)


INTEGER_RANGE = range(-2**31, 2**31)  # parcel IDs are PostgreSQL integers


def parcel_in_range(plot_id: int):
    """A parcel ID the database cannot hold names no parcel: 404, where the
    statement would otherwise fail with a database error."""
    if plot_id not in INTEGER_RANGE:
        raise HTTPException(status_code=404, detail=f"Plot {plot_id} not found")


async def parcel_particulars(db: AsyncSession, plot_id: int):
    """File number, cadastral zone and district name of a parcel, from the
    registry, to fill what the caller of the deed plan left out."""
    row = (
        await db.execute(
            select(PLOT.file_no, PLOT.cadzone, District.name)
            .outerjoin(CadZone, CadZone.name == PLOT.cadzone)
            .outerjoin(District, District.id == CadZone.district_id)
            .where(PLOT.id == plot_id)
        )
    ).first()
    if row is None:
        raise HTTPException(status_code=404, detail=f"Plot {plot_id} not found")
    return row


@app.get("/plans/deed/{plot_id}", tags=["Plans"], summary="Deed plan of a parcel (PDF)")
async def deed_plan(
    plot_id: int,
    district: Optional[str] = None,
    cadzone: Optional[str] = None,
    file_no: Optional[str] = None,
    person_name: str = "",
    db: AsyncSession = Depends(get_db),
):
    generate = plan_operation(db, "generate_deedplan_html")
    parcel_in_range(plot_id)
    if district is None or cadzone is None or file_no is None:
        stored_file_no, stored_cadzone, stored_district = await parcel_particulars(db, plot_id)
        district = (stored_district or "") if district is None else district
        cadzone = (stored_cadzone or "") if cadzone is None else cadzone
        file_no = (stored_file_no or "") if file_no is None else file_no
    pdf = await generate(plot_id, district, file_no, person_name, cadzone)
    if pdf is None:
        raise HTTPException(status_code=404, detail=f"Plot {plot_id} not found")
    return api_response(file=pdf, filename=f"DeedPlan_{plot_id}.pdf")


@app.get("/plans/site/{plot_id}", tags=["Plans"], summary="Site plan of a parcel (PDF)")
async def site_plan(plot_id: int, db: AsyncSession = Depends(get_db)):
    parcel_in_range(plot_id)
    result = await plan_operation(db, "generate_siteplan_html")(plot_id)
    if result is None:
        raise HTTPException(status_code=404, detail=f"Plot {plot_id} not found")
    return result


# Search and label points for the map page. Every statement is fixed text with
# bound parameters; the caller's text only ever reaches the database as a value.

# No control characters (C0, DEL, C1) and at least one character that is not a space.
SEARCH_TEXT = r"^ *[^\s\x00-\x1f\x7f-\x9f][^\x00-\x1f\x7f-\x9f]*$"
SEARCH_MAX_LENGTH = 100
SEARCH_MAX_TOKENS = 3
# Words around a parcel number that name no parcel: "Plot 10, Zone A00".
FILLER_WORDS = {"plot", "parcel", "no", "no.", "number", "zone", "cadzone", "cadastral", "cz"}


def like_pattern(value: str, prefix: str = "", suffix: str = "%") -> str:
    """`value` as a LIKE pattern (ESCAPE '\\') that matches it literally, between
    `prefix` and `suffix`."""
    return prefix + re.sub(r"([\\%_])", r"\\\1", value) + suffix


# The box (WGS84) of a geometry g and a point p inside it, as columns w, s, e, n, lon, lat.
PLACE_COLUMNS = """
    ST_XMin(t.b) AS w, ST_YMin(t.b) AS s, ST_XMax(t.b) AS e, ST_YMax(t.b) AS n,
    ST_X(t.c) AS lon, ST_Y(t.c) AS lat"""
PLACE_OF = """LATERAL (SELECT ST_Transform(ST_Envelope({g}), 4326)::box2d AS b,
                                 ST_Transform({p}, 4326) AS c) AS t"""

# The areas, by the name of their tile layer: table, and what a result calls one.
AREAS = {
    "cadzones": ('"GIS"."CadZones"', "Cadastral zone"),
    "districts": ('"GIS"."Districts"', "District"),
    "lgas": ('"GIS"."LGAs"', "LGA"),
}


def parcel_statement(tokens: list[str]):
    """Parcels one of whose `tokens` is (the start of) the parcel number while
    all others are (the start of) its cadastral zone. Rank 0: number and zone
    as given, 1: the number as given, 2: a number that starts so."""
    params, choices = {}, []
    for i, number in enumerate(tokens):
        zones = [t for j, t in enumerate(tokens) if j != i]
        params[f"n{i}"] = number
        params[f"np{i}"] = like_pattern(number)
        zone_match = " AND ".join(f'p."CADZONE" ILIKE :z{i}_{j} ESCAPE \'\\\'' for j in range(len(zones)))
        zone_exact = " AND ".join(f'upper(p."CADZONE") = upper(:ze{i}_{j})' for j in range(len(zones)))
        for j, zone in enumerate(zones):
            params[f"z{i}_{j}"] = like_pattern(zone)
            params[f"ze{i}_{j}"] = zone
        exact = f'upper(p."PLOT_NO") = upper(:n{i})'
        rank = f"CASE WHEN {exact} AND {zone_exact or 'true'} THEN 0 WHEN {exact} THEN 1 ELSE 2 END"
        choices.append(f"""
            SELECT p."ID" AS id, {rank} AS rank FROM "GIS"."PLOT" p
             WHERE p."PLOT_NO" ILIKE :np{i} ESCAPE '\\' {"AND " + zone_match if zone_match else ""}""")
    sql = f"""
        WITH found AS (
            SELECT id, min(rank) AS rank FROM ({" UNION ALL ".join(choices)}) AS c GROUP BY id
        )
        SELECT p."ID" AS id, f.rank, p."PLOT_NO" AS plot_no, p."CADZONE" AS cadzone,
               p."GENERAL_LU" AS land_use, {PLACE_COLUMNS}
          FROM found f JOIN "GIS"."PLOT" p ON p."ID" = f.id,
               {PLACE_OF.format(g='p."GEOMETRY"', p='(ST_MaximumInscribedCircle(p."GEOMETRY")).center')}
         ORDER BY f.rank, length(p."PLOT_NO"), p."PLOT_NO", p."CADZONE", p."ID"
         LIMIT :limit"""
    return text(sql), params


def place(row) -> dict:
    return {"bbox": [round(float(v), 7) for v in (row.w, row.s, row.e, row.n)],
            "point": [round(float(row.lon), 7), round(float(row.lat), 7)]}


async def search_parcels(db: AsyncSession, q: str, limit: int) -> list:
    tokens = [t for t in re.split(r"[\s,;/]+", q) if t and t.lower() not in FILLER_WORDS]
    if not tokens or len(tokens) > SEARCH_MAX_TOKENS:
        return []
    statement, params = parcel_statement(tokens)
    rows = (await db.execute(statement, {**params, "limit": limit})).all()
    return [
        (row.rank, {"kind": "plot", "layer": "plots", "ids": [row.id],
                    "title": f"Plot {row.plot_no}",
                    "detail": " · ".join(x for x in (f"Cadastral zone {row.cadzone}" if row.cadzone else "",
                                                      row.land_use or "") if x),
                    **place(row)})
        for row in rows
    ]


async def search_beacons(db: AsyncSession, q: str, limit: int) -> list:
    # Beacon numbers are matched without their spaces ("pb10001" finds "PB 10001"),
    # and by their digits alone from three digits on ("10001").
    compact = re.sub(r"\s+", "", q).upper()
    digits = compact if compact.isdigit() and len(compact) >= 3 else None
    rows = (await db.execute(text(f"""
        SELECT b."ID" AS id, b."BEACON_NO" AS beacon_no, b."STATUS" AS status,
               CASE WHEN upper(replace(b."BEACON_NO", ' ', '')) = :compact
                      OR regexp_replace(b."BEACON_NO", '[^0-9]', '', 'g') = :digits THEN 0 ELSE 2 END AS rank,
               {PLACE_COLUMNS}
          FROM "GIS"."BEACON" b, {PLACE_OF.format(g='b."GEOMETRY"', p='b."GEOMETRY"')}
         WHERE upper(replace(b."BEACON_NO", ' ', '')) LIKE :pattern ESCAPE '\\'
            OR (CAST(:digits AS text) IS NOT NULL
                AND regexp_replace(b."BEACON_NO", '[^0-9]', '', 'g') LIKE :digit_pattern)
         ORDER BY rank, b."BEACON_NO", b."ID"
         LIMIT :limit"""), {"compact": compact, "pattern": like_pattern(compact), "digits": digits,
                            "digit_pattern": (digits or "") + "%", "limit": limit})).all()
    return [(row.rank, {"kind": "beacon", "layer": "beacons", "ids": [row.id], "title": row.beacon_no,
                        "detail": " · ".join(x for x in ("Beacon", row.status or "") if x), **place(row)})
            for row in rows]


def name_rank(column: str) -> str:
    return f"CASE WHEN lower({column}) = lower(:q) THEN 0 WHEN {column} ILIKE :prefix ESCAPE '\\' THEN 1 ELSE 2 END"


async def search_roads(db: AsyncSession, q: str, limit: int) -> list:
    # A road's segments share its name: one result for all of them.
    rows = (await db.execute(text(f"""
        SELECT r.ids, r.name, r.road_type, {name_rank("r.name")} AS rank, {PLACE_COLUMNS}
          FROM (SELECT array_agg("ID" ORDER BY "ID") AS ids, "ROAD_NAME" AS name, min("ROAD_TYPE") AS road_type,
                       ST_Collect("GEOMETRY") AS g
                  FROM "GIS"."ROAD" WHERE "ROAD_NAME" ILIKE :pattern ESCAPE '\\' GROUP BY "ROAD_NAME") AS r,
               {PLACE_OF.format(g="r.g", p="ST_PointOnSurface(r.g)")}
         ORDER BY rank, r.name
         LIMIT :limit"""), {"q": q, "prefix": like_pattern(q), "pattern": like_pattern(q, "%"),
                            "limit": limit})).all()
    return [(row.rank, {"kind": "road", "layer": "roads", "ids": list(row.ids), "title": row.name,
                        "detail": f"{row.road_type} road" if row.road_type else "Road", **place(row)})
            for row in rows]


async def search_areas(db: AsyncSession, q: str, limit: int) -> list:
    found = []
    for layer, (table, what) in AREAS.items():
        rows = (await db.execute(text(f"""
            SELECT a.id, a.name, {name_rank("a.name")} AS rank, {PLACE_COLUMNS}
              FROM {table} a, {PLACE_OF.format(g="a.geometry", p="(ST_MaximumInscribedCircle(a.geometry)).center")}
             WHERE a.name ILIKE :prefix ESCAPE '\\'
             ORDER BY rank, a.name
             LIMIT :limit"""), {"q": q, "prefix": like_pattern(q), "limit": limit})).all()
        found += [(row.rank, {"kind": layer, "layer": layer, "ids": [row.id], "title": row.name, "detail": what,
                              **place(row)}) for row in rows]
    return found


async def read_only(db: AsyncSession):
    """Opens the session's transaction read-only, with a bound on each statement."""
    await db.execute(text("SET TRANSACTION READ ONLY"))
    await db.execute(text("SET LOCAL statement_timeout = '5s'"))


@app.get("/search", tags=["Map"], summary="Find parcels, beacons, roads and areas")
async def search(
    q: str = Query(..., min_length=1, max_length=SEARCH_MAX_LENGTH, pattern=SEARCH_TEXT,
                   description="A parcel number with or without its cadastral zone (`10 A00`, `A00/10`), "
                               "a beacon number (`PB 10001`), a road, zone, district or LGA name or its start"),
    limit: int = Query(10, ge=1, le=50, description="Most results to answer"),
    db: AsyncSession = Depends(get_db),
):
    """The matches of `q`, best first: exact numbers and names before those that
    only start (or, for roads, contain) the text; parcels, then beacons, roads
    and areas. Each result has its tile layer and feature ids (`layer`, `ids`),
    a title and a detail line, its bounding box (`bbox`: west, south, east,
    north) and a point inside it (`point`, the parcel's or area's visual
    centre) in WGS84. Nothing matches: `results` is empty."""
    q = " ".join(q.split())
    await read_only(db)
    kinds = [await search_parcels(db, q, limit), await search_beacons(db, q, limit),
             await search_roads(db, q, limit), await search_areas(db, q, limit)]
    ranked = sorted(((rank, order, result) for order, found in enumerate(kinds) for rank, result in found),
                    key=lambda item: (item[0], item[1]))
    return {"query": q, "results": [result for _, _, result in ranked[:limit]]}


class LabelLayer(str, Enum):
    plots = "plots"
    cadzones = "cadzones"
    districts = "districts"
    lgas = "lgas"


# Web Mercator: the sphere's radius, and the latitudes of its square.
EARTH_RADIUS = 6378137.0
MAX_LATITUDE = 85.0511287798
# How close (in metres) a label point comes to the true centre of the largest
# circle inside a parcel; an area's is a thousandth of its size.
PARCEL_LABEL_TOLERANCE = 0.1


def to_mercator(lon: float, lat: float) -> tuple[float, float]:
    return (math.radians(lon) * EARTH_RADIUS,
            math.log(math.tan(math.pi / 4 + math.radians(lat) / 2)) * EARTH_RADIUS)


def label_points(wkbs: list, clip: Optional[tuple], tolerance: Optional[float]):
    """(x, y, radius) in Web Mercator of the largest circle inside each
    geometry (clipped to the box `clip` first, when given); None where nothing
    of it is left."""
    geometries = shapely.from_wkb(wkbs)
    if clip is not None:
        geometries = shapely.clip_by_rect(geometries, *clip)
    points = []
    for geometry in geometries:
        if geometry is None or shapely.is_empty(geometry) or shapely.area(geometry) <= 0:
            points.append(None)
            continue
        circle = shapely.maximum_inscribed_circle(geometry, tolerance)
        (x, y), _ = shapely.get_coordinates(circle)
        points.append((float(x), float(y), float(shapely.length(circle))))
    return points


@app.get("/labels/{layer}", tags=["Map"], summary="Label points of a layer in a view (GeoJSON)")
async def labels(
    layer: LabelLayer,
    west: float = Query(..., ge=-180, le=180, allow_inf_nan=False),
    south: float = Query(..., ge=-MAX_LATITUDE, le=MAX_LATITUDE, allow_inf_nan=False),
    east: float = Query(..., ge=-180, le=180, allow_inf_nan=False),
    north: float = Query(..., ge=-MAX_LATITUDE, le=MAX_LATITUDE, allow_inf_nan=False),
    limit: int = Query(2000, ge=1, le=5000, description="Most points to answer (the largest features first)"),
    db: AsyncSession = Depends(get_db),
):
    """One point per feature where its name is to stand, as a GeoJSON
    FeatureCollection: the centre of the largest circle inside the feature (its
    pole of inaccessibility), with that circle's `radius` in Web Mercator
    metres, so the map can tell the zooms at which the name fits inside. A
    parcel's point is its own, wherever the view is; an area's is that of its
    part inside the view (west, south, east, north in WGS84), so the name of an
    area larger than the view stays in sight."""
    if west >= east or south >= north:
        raise HTTPException(status_code=422, detail="The view needs west < east and south < north")
    x0, y0 = to_mercator(west, south)
    x1, y1 = to_mercator(east, north)
    view = {"x0": x0, "y0": y0, "x1": x1, "y1": y1, "limit": limit}
    if layer is LabelLayer.plots:
        statement = """
            SELECT "ID" AS id, "PLOT_NO" AS text, "CADZONE" AS cadzone, ST_AsBinary("GEOMETRY") AS wkb
              FROM "GIS"."PLOT" WHERE "GEOMETRY" && ST_MakeEnvelope(:x0, :y0, :x1, :y1, 3857)
             ORDER BY ST_Area("GEOMETRY") DESC, "ID" LIMIT :limit"""
        clip, tolerance = None, PARCEL_LABEL_TOLERANCE
    else:
        statement = f"""
            SELECT id, name AS text, NULL AS cadzone, ST_AsBinary(geometry) AS wkb
              FROM {AREAS[layer.value][0]}
             WHERE geometry && ST_MakeEnvelope(:x0, :y0, :x1, :y1, 3857)
             ORDER BY ST_Area(geometry) DESC, id LIMIT :limit"""
        clip, tolerance = (x0, y0, x1, y1), None
    await read_only(db)
    rows = (await db.execute(text(statement), view)).all()
    points = await run_in_threadpool(label_points, [row.wkb for row in rows], clip, tolerance)
    features = []
    for row, point in zip(rows, points):
        if point is None:
            continue
        x, y, radius = point
        properties = {"layer": layer.value, "id": row.id, "text": row.text, "radius": round(radius, 2)}
        if row.cadzone is not None:
            properties["cadzone"] = row.cadzone
        lon = math.degrees(x / EARTH_RADIUS)
        lat = math.degrees(2 * math.atan(math.exp(y / EARTH_RADIUS)) - math.pi / 2)
        features.append({"type": "Feature", "properties": properties,
                         "geometry": {"type": "Point", "coordinates": [round(lon, 7), round(lat, 7)]}})
    return {"type": "FeatureCollection", "features": features}
