"""Map tile arithmetic and date formatting.

Tiles follow the XYZ ("slippy map") scheme that web map clients request: at
zoom z the Web Mercator square (EPSG:3857, ±20037508.342789244 m on both
axes) is cut into 2^z × 2^z tiles, x counted eastwards from the west edge
and y southwards from the north edge.
"""

import math
from datetime import datetime
from typing import Dict

EARTH_RADIUS = 6378137.0
ORIGIN_SHIFT = math.pi * EARTH_RADIUS  # 20037508.342789244
MAX_LATITUDE = math.degrees(math.atan(math.sinh(math.pi)))  # 85.0511287798...


def tile_size_m(z: int) -> float:
    return 2 * ORIGIN_SHIFT / (1 << z)


def xyz_to_bbox_web_mercator(z: int, x: int, y: int) -> Dict[str, float]:
    """Envelope of tile (z, x, y) in EPSG:3857 metres."""
    size = tile_size_m(z)
    minx = -ORIGIN_SHIFT + x * size
    maxy = ORIGIN_SHIFT - y * size
    return {"minx": minx, "miny": maxy - size, "maxx": minx + size, "maxy": maxy}


def lonlat_to_web_mercator(lon: float, lat: float):
    lat = max(-MAX_LATITUDE, min(MAX_LATITUDE, lat))
    mx = EARTH_RADIUS * math.radians(lon)
    my = EARTH_RADIUS * math.log(math.tan(math.pi / 4 + math.radians(lat) / 2))
    return mx, my


def latlon_to_xyz(lat: float, lon: float, zoom: int) -> Dict[str, int]:
    """The tile at `zoom` that holds the point (WGS84 degrees). Points on a
    tile edge belong to the tile east of / south of the edge; latitudes
    beyond the Mercator limit fall into the outermost row."""
    mx, my = lonlat_to_web_mercator(lon, lat)
    size = tile_size_m(zoom)
    n = 1 << zoom
    x = math.floor((mx + ORIGIN_SHIFT) / size)
    y = math.floor((ORIGIN_SHIFT - my) / size)
    return {"z": zoom, "x": min(max(x, 0), n - 1), "y": min(max(y, 0), n - 1)}


def _ordinal(day: int) -> str:
    if 10 <= day % 100 <= 20:
        return "th"
    return {1: "st", 2: "nd", 3: "rd"}.get(day % 10, "th")


def format_date_html(dt: datetime) -> str:
    """A date as printed on plans: 8<sup>th</sup> December, 2025."""
    return f"{dt.day}<sup>{_ordinal(dt.day)}</sup> {dt.strftime('%B')}, {dt.year}"
