#!/usr/bin/env python3
"""Synthetic cadastre for the registry database.

Generates a deterministic (seeded) cadastre around longitude 7.45, latitude
9.05 in Web Mercator metres and loads it into the "GIS" schema:

* local government areas, districts and cadastral zones, nested polygons;
* in every zone a street grid, rotated by the zone's own angle, whose blocks
  hold two rows of parcels back to back: rectangles, irregular
  quadrilaterals (slanted dividing lines), pentagons (splayed street
  corners, with one short edge of 1-4 m, and setback notches on the
  frontage);
* survey beacons at the parcel corners, one beacon per distinct corner
  point, shared by the parcels that meet there;
* one boundary course per parcel side, in ring order (clockwise), with its
  length and its grid bearing (clockwise from north) in whole degrees and
  whole minutes, computed from the stored coordinates;
* streets as centre lines and the arterial roads between zones as
  carriageway polygons.

All coordinates are rounded to the millimetre before anything is derived
from them, so geometries, beacon coordinates, lengths, bearings and areas
agree with each other exactly as stored.

    scripts/gen_cadastre.py --parcels 500            # recreate schema and load
    scripts/gen_cadastre.py --parcels 500 --if-changed
    scripts/gen_cadastre.py --parcels 200000 --dry-run

The database comes from --database-url, else $DATABASE_URL, else
.services/env. Loading replaces the whole "GIS" schema in one transaction
and then drops the tile service's cached tiles from Redis (REDIS_* settings,
found the same way), since they show the data that was replaced.
"""

from __future__ import annotations

import argparse
import asyncio
import hashlib
import io
import math
import os
import random
import struct
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SCHEMA_FILE = ROOT / "scripts" / "schema.sql"
INDEX_MARKER = "-- indexes and constraints"

SRID = 3857
EARTH_RADIUS = 6378137.0
CENTRE_LON = 7.45
CENTRE_LAT = 9.05

STREET_W = 15.0  # road reserve of a local street between blocks
ARTERIAL_GAP = 40.0  # gap between the zones, holding an arterial road
ARTERIAL_W = 24.0  # carriageway width of the arterial polygons

DEFAULT_PARCELS = 500
DEFAULT_SEED = 20240611


def lonlat_to_mercator(lon: float, lat: float) -> tuple[float, float]:
    x = EARTH_RADIUS * math.radians(lon)
    y = EARTH_RADIUS * math.log(math.tan(math.pi / 4 + math.radians(lat) / 2))
    return x, y


def course(x1: float, y1: float, x2: float, y2: float) -> tuple[float, int, int]:
    """Length (m, 2 decimals) and grid bearing (whole degrees, whole minutes)
    of the course from (x1, y1) to (x2, y2)."""
    dx, dy = x2 - x1, y2 - y1
    length = round(math.hypot(dx, dy), 2)
    bearing = math.degrees(math.atan2(dx, dy)) % 360.0
    minutes = round(bearing * 60) % (360 * 60)
    return length, minutes // 60, minutes % 60


def ring_area(ring: list[tuple[float, float]]) -> float:
    # shoelace formula about the first vertex: with coordinates near 10^6 m
    # the products would otherwise cost the area its last decimals
    x0, y0 = ring[0]
    s = 0.0
    n = len(ring)
    for i in range(n):
        x1, y1 = ring[i][0] - x0, ring[i][1] - y0
        x2, y2 = ring[(i + 1) % n][0] - x0, ring[(i + 1) % n][1] - y0
        s += x1 * y2 - x2 * y1
    return abs(s) / 2


# --------------------------------------------------------------------------
# names

SURNAMES = [
    "Adeyemi", "Okafor", "Bello", "Ibrahim", "Eze", "Musa", "Nwosu", "Yusuf",
    "Balogun", "Danjuma", "Ogunleye", "Abubakar", "Lawal", "Okonkwo",
    "Suleiman", "Adebayo", "Chukwuma", "Garba", "Olawale", "Umaru", "Akande",
    "Ekwueme", "Haruna", "Idowu", "Jibrin", "Kalu", "Mohammed", "Nnaji",
    "Ojo", "Oyelaran", "Sani", "Tanko", "Uche", "Wada", "Yakubu", "Zakari",
    "Afolabi", "Bassey", "Dauda", "Etim", "Fashola", "Gambo", "Ikenna",
    "Mamman", "Ndukwe", "Obaseki", "Rabiu", "Shehu", "Tijani", "Usman",
]
TREES = [
    "Acacia", "Baobab", "Mahogany", "Iroko", "Tamarind", "Hibiscus",
    "Jacaranda", "Shea", "Palm", "Neem", "Cashew", "Mango", "Cotton Tree",
    "Flamboyant", "Locust Bean", "Ebony", "Teak", "Marula",
]
STREET_SUFFIXES = ["Street", "Close", "Crescent", "Avenue", "Road", "Drive", "Lane", "Link"]
ARTERIAL_SUFFIXES = ["Expressway", "Way", "Boulevard", "Road"]
SYLLABLES = [
    "ka", "ru", "mi", "to", "la", "ve", "na", "bu", "se", "di", "go", "ya",
    "wa", "ze", "ko", "ma", "ri", "te", "lo", "da", "ji", "ni", "pa", "so",
    "gu", "fe", "ba", "ku", "lu", "sa",
]

LAND_USES = [
    # general land use, weight, detailed uses, file prefix
    ("Residential", 70, ["Detached House", "Semi-Detached House", "Terrace Housing", "Block of Flats"], "RES"),
    ("Commercial", 12, ["Shops", "Office", "Filling Station", "Hotel", "Shopping Plaza"], "COM"),
    ("Institutional", 8, ["Primary School", "Secondary School", "Clinic", "Place of Worship", "Police Post"], "INS"),
    ("Mixed Use", 6, ["Shops and Flats", "Offices and Flats"], "MIX"),
    ("Recreational", 4, ["Neighbourhood Park", "Sports Field", "Garden"], "REC"),
]
PLOT_STATUSES = [("Allocated", 40), ("C of O Issued", 30), ("Pending", 15), ("Unallocated", 10), ("Revoked", 5)]
SURVEYORS = [
    "TOLVEK & ASSOCIATES (SURVEYORS)",
    "GEOMARK SURVEYS LIMITED",
    "SURV. A. B. MUSA, REGISTERED SURVEYOR",
    "PRECISION LAND SURVEYS",
    "SURV. C. N. OKAFOR & CO.",
]
BEACON_STATUSES = [("Found", 70), ("Emplaced", 25), ("Missing", 5)]
BEACON_REMARKS = [("Concrete pillar", 60), ("Iron pin", 25), (None, 15)]


def weighted(rng: random.Random, items):
    total = sum(w for _, w in items)
    r = rng.uniform(0, total)
    for value, w in items:
        r -= w
        if r <= 0:
            return value
    return items[-1][0]


class NameMaker:
    def __init__(self, rng: random.Random):
        self.rng = rng
        self.used: set[str] = set()

    def place(self) -> str:
        while True:
            n = self.rng.choice((2, 3, 3))
            name = "".join(self.rng.choice(SYLLABLES) for _ in range(n)).capitalize()
            if name not in self.used:
                self.used.add(name)
                return name


def zone_code(district_index: int) -> str:
    code = ""
    i = district_index
    while True:
        code = chr(ord("A") + i % 26) + code
        i = i // 26 - 1
        if i < 0:
            return code


# --------------------------------------------------------------------------
# the cadastre


@dataclass
class Cadastre:
    lgas: list = field(default_factory=list)  # (id, name, code, geom)
    districts: list = field(default_factory=list)  # (id, name, lga_id, geom)
    cadzones: list = field(default_factory=list)  # (id, name, district_id, geom)
    plots: list = field(default_factory=list)  # (id, ring, plot_no, status, area, general_lu, cadzone, detail_lu, file_no, surveyed_by, address, plan_layout_no)
    beacons: list = field(default_factory=list)  # (id, x, y, beacon_no, status, remark)
    boundaries: list = field(default_factory=list)  # (id, plotid, seq, beacon1id, beacon2id, length, deg, min)
    roads: list = field(default_factory=list)  # (id, geom, name, type, width); geom ("line", pts) or shapely polygon
    land_purposes: list = field(default_factory=list)  # (id, name, general_lu, description)


def _fit_layout(rng: random.Random, size: float):
    """Street grid of one zone: block length, row depths, rotation and the
    numbers of block columns and rows. The grid is the largest square that
    fits, rotated, into a square of side `size`."""
    depth_top = rng.uniform(24.0, 45.0)
    depth_bottom = rng.uniform(24.0, 45.0)
    theta = 0.0 if rng.random() < 0.3 else math.radians(rng.uniform(-22.0, 22.0))
    side = size / (abs(math.cos(theta)) + abs(math.sin(theta)))
    target = rng.uniform(150.0, 300.0)
    ncols = max(1, round((side - STREET_W) / (target + STREET_W)))
    length = (side - (ncols + 1) * STREET_W) / ncols
    nrows = max(1, int((side - STREET_W) // (depth_top + depth_bottom + STREET_W)))
    return length, depth_top, depth_bottom, theta, ncols, nrows


def _partition(rng: random.Random, start: float, end: float) -> list[float]:
    """Dividing positions from start to end, parcels 15-40 m wide."""
    total = end - start
    widths = []
    acc = 0.0
    while acc < total:
        w = rng.uniform(15.0, 40.0)
        widths.append(w)
        acc += w
    if len(widths) > 1 and acc - total > widths[-1] / 2:
        acc -= widths.pop()
    k = total / acc
    pos = [start]
    for w in widths[:-1]:
        pos.append(pos[-1] + w * k)
    pos.append(end)
    return pos


def _jitter(rng: random.Random, pos: list[float], amount: float) -> list[float]:
    """Moves the inner dividing points by up to `amount`, keeping every
    parcel at least 10 m wide."""
    out = list(pos)
    for i in range(1, len(pos) - 1):
        lo = out[i - 1] + 10.0
        hi = pos[i + 1] - 10.0
        p = pos[i] + rng.uniform(-amount, amount)
        out[i] = min(max(p, lo), hi) if lo <= hi else pos[i]
    return out


def generate(parcels: int = DEFAULT_PARCELS, seed: int = DEFAULT_SEED) -> Cadastre:
    from shapely import affinity
    from shapely.geometry import Polygon, box
    from shapely.ops import unary_union

    if parcels < 1:
        raise ValueError("parcels must be at least 1")
    rng = random.Random(seed)
    names = NameMaker(rng)
    cad = Cadastre()

    for i, (glu, _, details, _) in enumerate(LAND_USES):
        for d in details:
            cad.land_purposes.append((len(cad.land_purposes) + 1, d, glu, f"{d} ({glu.lower()} land use)"))

    # Zone cells of side `cell` laid out in a square grid centred on the
    # reference point; bigger data sets get bigger zones.
    cell = min(2000.0, max(450.0, round(4.5 * math.sqrt(parcels))))
    zone_side = cell - ARTERIAL_GAP
    per_zone = max(1.0, 0.8 * (zone_side / 250.0) * (zone_side / 85.0) * 17)
    est_zones = max(1, math.ceil(parcels / per_zone))
    zx = max(2, math.ceil(math.sqrt(est_zones)))
    zy_est = max(2, math.ceil(est_zones / zx))
    cx0, cy0 = lonlat_to_mercator(CENTRE_LON, CENTRE_LAT)
    grid_x0 = cx0 - zx * cell / 2
    grid_y1 = cy0 + zy_est * cell / 2

    beacon_ids: dict[tuple[int, int], int] = {}
    zone_cells = []  # (row, col, zone_id)
    plot_id = 0
    file_no_seq = {prefix: 10000 + 137 * i for i, (_, _, _, prefix) in enumerate(LAND_USES)}

    def beacon_at(x: float, y: float) -> int:
        key = (round(x * 1000), round(y * 1000))
        bid = beacon_ids.get(key)
        if bid is None:
            bid = len(cad.beacons) + 1
            beacon_ids[key] = bid
            cad.beacons.append((
                bid, key[0] / 1000, key[1] / 1000, f"PB {10000 + bid}",
                weighted(rng, BEACON_STATUSES), weighted(rng, BEACON_REMARKS),
            ))
        return bid

    zone_index = 0
    district_names: dict[int, str] = {}
    while plot_id < parcels:
        row, col = divmod(zone_index, zx)
        # districts are 2 x 2 blocks of zones
        district_key = (row // 2) * math.ceil(zx / 2) + col // 2
        if district_key not in district_names:
            district_names[district_key] = names.place()
        zone_in_district = (row % 2) * 2 + col % 2
        zname = f"{zone_code(district_key)}{zone_in_district:02d}"
        zone_id = zone_index + 1
        zone_cells.append((row, col, zone_id, district_key, zname))
        zone_index += 1

        zcx = grid_x0 + (col + 0.5) * cell
        zcy = grid_y1 - (row + 0.5) * cell
        length, d_top, d_bot, theta, ncols, nrows = _fit_layout(rng, zone_side - 2.0)
        depth = d_top + d_bot
        w = ncols * length + (ncols + 1) * STREET_W
        h = nrows * depth + (nrows + 1) * STREET_W
        cos_t, sin_t = math.cos(theta), math.sin(theta)

        def world(u: float, v: float) -> tuple[float, float]:
            return (round(zcx + u * cos_t - v * sin_t, 3), round(zcy + u * sin_t + v * cos_t, 3))

        # streets: horizontal ones (0 = top edge) and vertical ones (0 = left)
        street_names = rng.sample(
            [f"{n} {s}" for n in SURNAMES + TREES for s in STREET_SUFFIXES], nrows + 1 + ncols + 1
        )
        h_names = street_names[: nrows + 1]
        v_names = street_names[nrows + 1:]
        for k in range(nrows + 1):
            v = h / 2 - STREET_W / 2 - k * (depth + STREET_W)
            kind = "Collector" if k in (0, nrows) else "Local"
            pts = [world(-w / 2 + STREET_W / 2, v), world(w / 2 - STREET_W / 2, v)]
            cad.roads.append([("line", pts), h_names[k], kind, STREET_W])
        for j in range(ncols + 1):
            u = -w / 2 + STREET_W / 2 + j * (length + STREET_W)
            kind = "Collector" if j in (0, ncols) else "Local"
            pts = [world(u, h / 2 - STREET_W / 2), world(u, -h / 2 + STREET_W / 2)]
            cad.roads.append([("line", pts), v_names[j], kind, STREET_W])

        plot_no = 0
        for i in range(nrows):
            for j in range(ncols):
                if plot_id >= parcels:
                    break
                block_no = i * ncols + j + 1
                u0 = -w / 2 + STREET_W + j * (length + STREET_W)
                u1 = u0 + length
                v1 = h / 2 - STREET_W - i * (depth + STREET_W)
                v0 = v1 - depth
                vmid = v0 + d_bot
                glu, _, details, prefix = weighted(rng, [(lu, lu[1]) for lu in LAND_USES])
                irregular = rng.random() < 0.6
                for front_v, back_v, street in ((v1, vmid, h_names[i]), (v0, vmid, h_names[i + 1])):
                    top = front_v > back_v
                    front = _partition(rng, u0, u1)
                    back = _jitter(rng, front, 5.0) if irregular else list(front)
                    n = len(front) - 1
                    for k in range(n):
                        if plot_id >= parcels:
                            break
                        # Corners of the parcel in the block frame, clockwise.
                        fl, fr = (front[k], front_v), (front[k + 1], front_v)
                        bl, br = (back[k], back_v), (back[k + 1], back_v)
                        # Splayed street corner at the ends of a row: the
                        # corner point is replaced by a short cut-off edge.
                        splay_left = k == 0 and rng.random() < 0.5
                        splay_right = k == n - 1 and rng.random() < 0.5
                        ring_fb: list[tuple[float, float]] = []
                        sgn = -1.0 if top else 1.0  # from the frontage into the parcel
                        if splay_left:
                            leg = rng.uniform(1.0, 4.0) / math.sqrt(2)
                            left = [(fl[0], fl[1] + sgn * leg), (fl[0] + leg, fl[1])]
                        else:
                            left = [fl]
                        if splay_right:
                            leg = rng.uniform(1.0, 4.0) / math.sqrt(2)
                            right = [(fr[0] - leg, fr[1]), (fr[0], fr[1] + sgn * leg)]
                        else:
                            right = [fr]
                        notch = []
                        if not (splay_left or splay_right) and rng.random() < 0.08:
                            t = rng.uniform(0.35, 0.65)
                            notch = [(fl[0] + t * (fr[0] - fl[0]), front_v + sgn * rng.uniform(0.6, 2.0))]
                        if top:
                            # front runs left to right along the top edge
                            ring_fb = left + notch + right + [br, bl]
                        else:
                            # bottom row: back edge on top, front at the bottom
                            ring_fb = [bl, br] + right[::-1] + notch + left[::-1]
                        ring = [world(u, v) for u, v in ring_fb]

                        plot_id += 1
                        plot_no += 1
                        ids = [beacon_at(x, y) for x, y in ring]
                        for s in range(len(ring)):
                            x1, y1 = ring[s]
                            x2, y2 = ring[(s + 1) % len(ring)]
                            ln, deg, mins = course(x1, y1, x2, y2)
                            cad.boundaries.append((
                                len(cad.boundaries) + 1, plot_id, s + 1,
                                ids[s], ids[(s + 1) % len(ring)], ln, deg, mins,
                            ))
                        status = weighted(rng, PLOT_STATUSES)
                        if status == "Unallocated":
                            file_no = None
                        else:
                            file_no_seq[prefix] += rng.randint(1, 9)
                            file_no = f"{prefix} {file_no_seq[prefix]}"
                        r = rng.random()
                        surveyed_by = None if r < 0.8 else ("" if r < 0.81 else rng.choice(SURVEYORS))
                        r = rng.random()
                        if r < 0.08:
                            address = None
                        elif r < 0.1:
                            address = ""
                        else:
                            address = f"Plot {plot_no}, {street}, Cadastral Zone {zname}, {district_names[district_key]}"
                        plan_layout_no = None if rng.random() < 0.15 else f"TP/{zname}/{block_no:03d}"
                        cad.plots.append((
                            plot_id, ring, str(plot_no), status, round(ring_area(ring), 2), glu, zname,
                            rng.choice(details), file_no, surveyed_by, address, plan_layout_no,
                        ))

    # Administrative areas. A zone is its cell less half the arterial gap; a
    # district (2 x 2 zones) and an LGA (2 x 2 districts) are the union of
    # their zones' cells, pulled in slightly so that each level nests
    # strictly inside the next.
    def cell_box(row: int, col: int):
        x0 = grid_x0 + col * cell
        y1 = grid_y1 - row * cell
        return box(x0, y1 - cell, x0 + cell, y1)

    district_ids: dict[int, int] = {}
    district_cells: dict[int, list] = {}
    for row, col, zone_id, dkey, zname in zone_cells:
        district_cells.setdefault(dkey, []).append((row, col))
    dcols = math.ceil(zx / 2)
    drows = max(r for r, _, _, _, _ in zone_cells) // 2 + 1
    # LGAs group 2 x 2 districts; a grid of a single group is split in two
    lcol_span, lrow_span = 2, 2
    if math.ceil(dcols / 2) * math.ceil(drows / 2) == 1 and len(district_cells) > 1:
        if dcols >= drows:
            lcol_span = max(1, math.ceil(dcols / 2))
        else:
            lrow_span = max(1, math.ceil(drows / 2))
    lga_of: dict[int, tuple[int, int]] = {}
    lga_cells: dict[tuple[int, int], list] = {}
    for dkey, cells in district_cells.items():
        drow, dcol = divmod(dkey, dcols)
        lkey = (drow // lrow_span, dcol // lcol_span)
        lga_of[dkey] = lkey
        lga_cells.setdefault(lkey, []).extend(cells)

    def shrunk_union(cells, margin):
        geom = unary_union([cell_box(r, c) for r, c in cells]).buffer(-margin, join_style="mitre")
        return geom

    lga_ids: dict[tuple[int, int], int] = {}
    for lkey in sorted(lga_cells):
        lid = len(cad.lgas) + 1
        lga_ids[lkey] = lid
        suffix = "Municipal Area Council" if lid == 1 else "Area Council"
        cad.lgas.append((lid, f"{names.place()} {suffix}", f"LGA{lid:02d}", shrunk_union(lga_cells[lkey], 5.0)))
    for dkey in sorted(district_cells):
        did = len(cad.districts) + 1
        district_ids[dkey] = did
        cad.districts.append((did, district_names[dkey], lga_ids[lga_of[dkey]], shrunk_union(district_cells[dkey], 10.0)))
    for row, col, zone_id, dkey, zname in zone_cells:
        cad.cadzones.append((zone_id, zname, district_ids[dkey], cell_box(row, col).buffer(-ARTERIAL_GAP / 2, join_style="mitre")))

    # Arterial roads: carriageway polygons along every grid line of the used
    # part of the zone grid.
    rows_used = max(r for r, _, _, _, _ in zone_cells) + 1
    cols_used = zx if rows_used > 1 else len(zone_cells)
    gx0, gx1 = grid_x0, grid_x0 + cols_used * cell
    gy1, gy0 = grid_y1, grid_y1 - rows_used * cell
    arterial_names = rng.sample(
        [f"{n} {s}" for n in SURNAMES for s in ARTERIAL_SUFFIXES], rows_used + cols_used + 2
    )
    half = ARTERIAL_W / 2
    for r in range(rows_used + 1):
        y = gy1 - r * cell
        poly = box(gx0 - half, y - half, gx1 + half, y + half)
        cad.roads.append([poly, arterial_names.pop(), "Arterial", ARTERIAL_W])
    for c in range(cols_used + 1):
        x = gx0 + c * cell
        poly = box(x - half, gy0 - half, x + half, gy1 + half)
        cad.roads.append([poly, arterial_names.pop(), "Arterial", ARTERIAL_W])
    # A roundabout at the centre-most junction of the arterial grid.
    jx = gx0 + round(cols_used / 2) * cell
    jy = gy1 - round(rows_used / 2) * cell
    ring_poly = Polygon(
        [(jx + 22 * math.cos(a), jy + 22 * math.sin(a)) for a in (i * math.pi / 16 for i in range(32))],
        [[(jx + 10 * math.cos(a), jy + 10 * math.sin(a)) for a in (i * math.pi / 16 for i in range(32))]],
    )
    cad.roads.append([affinity.scale(ring_poly, 1.0, 1.0), f"{rng.choice(SURNAMES)} Roundabout", "Roundabout", 12.0])
    for i, road in enumerate(cad.roads):
        road.insert(0, i + 1)
    cad.roads = [tuple(r) for r in cad.roads]
    return cad


# --------------------------------------------------------------------------
# COPY encoding


def _ewkb_header(kind: int) -> bytes:
    return struct.pack("<BII", 1, kind | 0x20000000, SRID)


def ewkb_point(x: float, y: float) -> str:
    return (_ewkb_header(1) + struct.pack("<dd", x, y)).hex()


def ewkb_polygon(ring: list[tuple[float, float]]) -> str:
    closed = list(ring) + [ring[0]]
    flat = [c for p in closed for c in p]
    return (_ewkb_header(3) + struct.pack("<II", 1, len(closed)) + struct.pack(f"<{len(flat)}d", *flat)).hex()


def ewkb_line(points: list[tuple[float, float]]) -> str:
    flat = [c for p in points for c in p]
    return (_ewkb_header(2) + struct.pack("<I", len(points)) + struct.pack(f"<{len(flat)}d", *flat)).hex()


def ewkb_shapely(geom, multi: bool = False) -> str:
    import shapely
    from shapely.geometry import MultiPolygon, Polygon

    if multi and isinstance(geom, Polygon):
        geom = MultiPolygon([geom])
    return shapely.to_wkb(shapely.set_srid(geom, SRID), hex=True, include_srid=True)


_ESCAPES = str.maketrans({"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r"})


def copy_text(rows) -> bytes:
    out = io.StringIO()
    for row in rows:
        out.write("\t".join("\\N" if v is None else str(v).translate(_ESCAPES) for v in row))
        out.write("\n")
    return out.getvalue().encode()


def copy_payloads(cad: Cadastre):
    """(table, columns, COPY text) for every table, in load order."""
    yield "LGAs", ["id", "name", "code", "geometry"], copy_text(
        (i, n, c, ewkb_shapely(g, multi=True)) for i, n, c, g in cad.lgas)
    yield "Districts", ["id", "name", "lga_id", "geometry"], copy_text(
        (i, n, l, ewkb_shapely(g, multi=True)) for i, n, l, g in cad.districts)
    yield "CadZones", ["id", "name", "district_id", "geometry"], copy_text(
        (i, n, d, ewkb_shapely(g, multi=True)) for i, n, d, g in cad.cadzones)
    yield "PLOT", ["ID", "GEOMETRY", "PLOT_NO", "STATUS", "AREA_SYSTEM", "GENERAL_LU", "CADZONE", "DETAIL_LU",
                   "file_no", "SURVEYED_BY", "ADDRESS", "PLAN_LAYOUT_NO"], copy_text(
        (p[0], ewkb_polygon(p[1]), *p[2:]) for p in cad.plots)
    yield "BEACON", ["ID", "GEOMETRY", "BEACON_NO", "STATUS", "REMARK", "NORTHING", "EASTING"], copy_text(
        (i, ewkb_point(x, y), no, st, rem, y, x) for i, x, y, no, st, rem in cad.beacons)
    yield "BOUNDARY", ["ID", "PLOTID", "SEQ", "BEACON1ID", "BEACON2ID", "LENGTH", "ANGLEDEG", "ANGLEMIN"], copy_text(
        cad.boundaries)
    yield "ROAD", ["ID", "GEOMETRY", "ROAD_NAME", "ROAD_TYPE", "WIDTH_M"], copy_text(
        (i, ewkb_line(g[1]) if isinstance(g, tuple) else ewkb_shapely(g), n, t, wd) for i, g, n, t, wd in cad.roads)
    yield "LAND_PURPOSE", ["ID", "NAME", "GENERAL_LU", "DESCRIPTION"], copy_text(cad.land_purposes)


# --------------------------------------------------------------------------
# database


def setting(name: str) -> str | None:
    """An environment variable, else its value in .services/env."""
    value = os.environ.get(name)
    env = ROOT / ".services" / "env"
    if value is None and env.exists():
        for line in env.read_text().splitlines():
            if line.startswith(name + "="):
                value = line.split("=", 1)[1].strip()
    return value


def database_url(explicit: str | None) -> str:
    url = explicit or setting("DATABASE_URL")
    if not url:
        sys.exit("gen_cadastre: no database: pass --database-url, set DATABASE_URL or run scripts/services.sh start")
    # asyncpg takes the plain libpq form of the URL
    return url.replace("postgresql+asyncpg://", "postgresql://", 1)


def fingerprint(parcels: int, seed: int) -> str:
    h = hashlib.sha256()
    h.update(Path(__file__).read_bytes())
    h.update(SCHEMA_FILE.read_bytes())
    h.update(f"{parcels}:{seed}".encode())
    return h.hexdigest()[:16]


def marker(parcels: int, seed: int) -> str:
    return f"terrava synthetic cadastre parcels={parcels} seed={seed} fingerprint={fingerprint(parcels, seed)}"


async def current_marker(url: str) -> str | None:
    import asyncpg

    conn = await asyncpg.connect(url)
    try:
        return await conn.fetchval("SELECT obj_description(oid, 'pg_namespace') FROM pg_namespace WHERE nspname = 'GIS'")
    finally:
        await conn.close()


LOAD_STEPS = 8 + 2  # the tables' COPY, then indexes and constraints, then ANALYZE


async def load(url: str, cad: Cadastre, parcels: int, seed: int, log, step=lambda what: None) -> None:
    """Replaces the "GIS" schema with `cad` in one transaction; `step(what)`
    is called after each of the LOAD_STEPS steps."""
    import asyncpg

    schema = SCHEMA_FILE.read_text()
    tables_sql, index_sql = schema.split(INDEX_MARKER, 1)
    conn = await asyncpg.connect(url)
    try:
        async with conn.transaction():
            await conn.execute("SET LOCAL client_min_messages = warning")
            await conn.execute('DROP SCHEMA IF EXISTS "GIS" CASCADE')
            await conn.execute(tables_sql)
            t = time.perf_counter()
            for table, columns, payload in copy_payloads(cad):
                await conn.copy_to_table(table, schema_name="GIS", columns=columns, source=io.BytesIO(payload), format="text")
                step(table)
            log(f"copied rows in {time.perf_counter() - t:.1f} s")
            t = time.perf_counter()
            await conn.execute(index_sql)
            for table, column in (("LGAs", "id"), ("Districts", "id"), ("CadZones", "id"), ("PLOT", "ID"),
                                  ("BEACON", "ID"), ("BOUNDARY", "ID"), ("ROAD", "ID"), ("LAND_PURPOSE", "ID")):
                await conn.execute(
                    f"SELECT setval(pg_get_serial_sequence('\"GIS\".\"{table}\"', '{column}'), "
                    f"(SELECT coalesce(max(\"{column}\"), 0) + 1 FROM \"GIS\".\"{table}\"), false)"
                )
            await conn.execute(f"COMMENT ON SCHEMA \"GIS\" IS '{marker(parcels, seed)}'")
            step("indexes")
            log(f"indexes and constraints in {time.perf_counter() - t:.1f} s")
            # Statistics are needed at once: the tile service estimates layer
            # extents from them.
            t = time.perf_counter()
            await conn.execute('ANALYZE "GIS"."LGAs", "GIS"."Districts", "GIS"."CadZones", "GIS"."PLOT", '
                               '"GIS"."BEACON", "GIS"."BOUNDARY", "GIS"."ROAD", "GIS"."LAND_PURPOSE"')
            step("analyze")
            log(f"analyze in {time.perf_counter() - t:.1f} s")
    finally:
        await conn.close()


TILE_CACHE_PATTERN = "mvt_v8:*"


def drop_cached_tiles(log) -> None:
    """Deletes the tile service's cached tiles and centroids: they describe
    the data that was just replaced. Redis trouble is reported, not fatal."""
    import redis

    try:
        client = redis.Redis(
            host=setting("REDIS_HOST") or "localhost", port=int(setting("REDIS_PORT") or 6379),
            db=int(setting("REDIS_DB") or 0), username=setting("REDIS_USERNAME") or None,
            password=setting("REDIS_PASSWORD") or None, socket_connect_timeout=3, socket_timeout=10,
        )
        deleted = 0
        batch = []
        for key in client.scan_iter(match=TILE_CACHE_PATTERN, count=1000):
            batch.append(key)
            if len(batch) >= 1000:
                deleted += client.delete(*batch)
                batch = []
        if batch:
            deleted += client.delete(*batch)
        client.close()
        log(f"dropped {deleted} cached tiles")
    except (redis.RedisError, OSError, ValueError) as exc:
        log(f"warning: cached tiles not dropped ({exc}); they expire on their own")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description="Generate and load a synthetic cadastre into the GIS schema.")
    ap.add_argument("--parcels", type=int, default=DEFAULT_PARCELS, help=f"number of parcels (default {DEFAULT_PARCELS})")
    ap.add_argument("--seed", type=int, default=DEFAULT_SEED, help="random seed")
    ap.add_argument("--database-url", help="database URL (default: $DATABASE_URL or .services/env)")
    ap.add_argument("--if-changed", action="store_true",
                    help="do nothing when the database already holds this data set")
    ap.add_argument("--dry-run", action="store_true", help="generate only, print counts")
    ap.add_argument("--keep-tile-cache", action="store_true",
                    help="leave the tile service's cached tiles in Redis (they describe the old data)")
    args = ap.parse_args(argv)

    # A progress bar on a terminal (generation, then each load step); the
    # log lines go above it.
    bar = None
    if not args.dry_run:
        from tqdm import tqdm

        bar = tqdm(total=1 + LOAD_STEPS, desc=f"cadastre of {args.parcels} parcels", unit="step",
                   file=sys.stderr, disable=None, leave=False)

    def log(msg: str) -> None:
        line = f"gen_cadastre: {msg}"
        if bar is not None and not bar.disable:
            bar.write(line, file=sys.stderr)
        else:
            print(line, file=sys.stderr, flush=True)

    def step(what: str) -> None:
        if bar is not None:
            bar.set_postfix_str(what)
            bar.update()

    try:
        url = None
        if not args.dry_run:
            url = database_url(args.database_url)
            if args.if_changed and asyncio.run(current_marker(url)) == marker(args.parcels, args.seed):
                log(f"database already holds {args.parcels} parcels (seed {args.seed}); nothing to do")
                return 0
        t0 = time.perf_counter()
        cad = generate(args.parcels, args.seed)
        step("generated")
        log(f"generated {len(cad.plots)} parcels, {len(cad.beacons)} beacons, {len(cad.boundaries)} boundary courses, "
            f"{len(cad.roads)} roads, {len(cad.cadzones)} cadastral zones, {len(cad.districts)} districts, "
            f"{len(cad.lgas)} LGAs in {time.perf_counter() - t0:.1f} s")
        if args.dry_run:
            return 0
        t1 = time.perf_counter()
        asyncio.run(load(url, cad, args.parcels, args.seed, log, step))
        if not args.keep_tile_cache:
            drop_cached_tiles(log)
        log(f"loaded in {time.perf_counter() - t1:.1f} s (total {time.perf_counter() - t0:.1f} s)")
        return 0
    finally:
        if bar is not None:
            bar.close()


if __name__ == "__main__":
    sys.exit(main())
