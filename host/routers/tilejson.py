"""TileJSON of the tile service's layers, beside the tile router whose layer
listing (GET /gis/layers/) it mirrors: a MapLibre style or a desktop GIS adds
a layer by the URL of its document.

The bounds are the exact extent of the layer's data (ST_Extent). The tile
service's own layer answer (GET /gis/{layer}/) gives an estimated extent
(ST_EstimatedExtent, from the table's statistics), which leaves out
outlying features: as TileJSON bounds it would keep clients from ever asking
for the tiles that hold them."""

from fastapi import APIRouter, Depends, HTTPException, Request
from sqlalchemy import text
from sqlalchemy.ext.asyncio import AsyncSession

from database import get_db
import routers.tileport as tileport

router = APIRouter()

# The tile service answers zooms 1 to 20; a layer starts at its own minimum.
TILE_MAX_ZOOM = 20


@router.get("/tilejson/{layer}.json", tags=["Tiles"], summary="TileJSON of a layer")
async def tilejson(layer: str, request: Request, db: AsyncSession = Depends(get_db)):
    """TileJSON 3.0.0 of one tile layer: the XYZ URL template, its zooms and
    the bounds of its data in WGS84 (longitude, latitude), so that a MapLibre
    style or a desktop GIS can add the layer by URL."""
    record = tileport.LAYER_CONFIG.get(layer)
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
