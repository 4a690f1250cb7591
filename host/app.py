"""Demo application: the tile service, a map page and the plan documents.

Run from this directory with the services' settings in the environment:

    set -a; . ../.services/env; set +a
    uvicorn app:app --host 127.0.0.1 --port 8000 --loop uvloop --http httptools

    /                      the map page (MapLibre GL, vector tiles from /gis)
    /gis/...               the tile service
    /plans/deed/{plot_id}  deed plan PDF (optional query: district, cadzone, file_no, person_name)
    /plans/site/{plot_id}  site plan PDF
    /tilejson/{layer}.json TileJSON of a layer (for MapLibre styles and desktop GIS)
    /docs, /openapi.json   API documentation
"""

from contextlib import asynccontextmanager
from pathlib import Path
from typing import Optional

import hmac
import os

from fastapi import Depends, FastAPI, HTTPException, Request
from fastapi.openapi.docs import get_swagger_ui_html
from fastapi.responses import RedirectResponse
from fastapi.staticfiles import StaticFiles
from sqlalchemy import select, text
from sqlalchemy.ext.asyncio import AsyncSession

from database import dispose_engine, get_db
from helpers.responses import api_response
from logger import get_logger
from models.gis_model import PLOT, CadZone, District
import routers.tileport as tileport_module
from routers.tileport import tileport

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


# The tile service answers zooms 1 to 20; a layer starts at its own minimum.
TILE_MAX_ZOOM = 20


@app.get("/tilejson/{layer}.json", tags=["Tiles"], summary="TileJSON of a layer")
async def tilejson(layer: str, request: Request, db: AsyncSession = Depends(get_db)):
    """TileJSON 3.0.0 of one tile layer: the XYZ URL template, its zooms and
    the bounds of its data in WGS84 (longitude, latitude), so that a MapLibre
    style or a desktop GIS can add the layer by URL."""
    record = tileport_module.LAYER_CONFIG.get(layer)
    if record is None:
        raise HTTPException(status_code=404, detail=f"Layer '{layer}' not found")
    # Table and column come from the tile service's own layer table, never from the caller.
    row = (
        await db.execute(
            text(
                f"SELECT ST_XMin(e) AS w, ST_YMin(e) AS s, ST_XMax(e) AS e, ST_YMax(e) AS n FROM "
                f"(SELECT ST_Transform(ST_SetSRID(ST_Extent({record['geom_col']}), 3857), 4326)::box2d AS e "
                f"FROM {record['table']}) AS extent"
            )
        )
    ).first()
    minzoom = int(record.get("min_zoom", 0))
    base = str(request.base_url).rstrip("/")
    document = {
        "tilejson": "3.0.0",
        "name": layer,
        "scheme": "xyz",
        "tiles": [f"{base}/gis/{layer}/{{z}}/{{x}}/{{y}}.pbf"],
        "minzoom": minzoom,
        "maxzoom": TILE_MAX_ZOOM,
        "vector_layers": [
            {
                "id": layer,
                "fields": {column.strip('"'): "" for column in record["properties"]},
                "minzoom": minzoom,
                "maxzoom": TILE_MAX_ZOOM,
            }
        ],
    }
    if row is not None and row.w is not None:
        bounds = [round(float(v), 7) for v in (row.w, row.s, row.e, row.n)]
        document["bounds"] = bounds
        centre_zoom = max(minzoom, min(TILE_MAX_ZOOM, 14))
        document["center"] = [round((bounds[0] + bounds[2]) / 2, 7), round((bounds[1] + bounds[3]) / 2, 7), centre_zoom]
    return document
