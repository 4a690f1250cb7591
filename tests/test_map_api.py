"""The map page's demo endpoints on the real database: the search
(/search) and the label points (/labels/{layer})."""

import pytest

from map_support import HTML_NAME, html_road, sql  # noqa: F401

TABLES = ['"GIS"."PLOT"', '"GIS"."BEACON"', '"GIS"."ROAD"', '"GIS"."CadZones"', '"GIS"."Districts"', '"GIS"."LGAs"']


@pytest.fixture(scope="module")
def client(services):
    from fastapi.testclient import TestClient

    import app as demo

    with TestClient(demo.app) as client:
        yield client


def row_counts(db_url):
    return [sql(db_url, f"SELECT count(*) AS n FROM {table}")[0]["n"] for table in TABLES]


@pytest.mark.parametrize("params, expected", [
    ({"q": ""}, 422),
    ({"q": "   "}, 422),
    ({"q": "x" * 101}, 422),
    ({"q": "1" * 10000}, 422),
    ({"q": "10\nA00"}, 422),
    ({"q": "plot\x00"}, 422),
    ({"q": "\x1b[2J"}, 422),
    ({"q": "zone\x85"}, 422),
    ({"q": "10", "limit": 0}, 422),
    ({"q": "10", "limit": 51}, 422),
    ({"q": "10", "limit": "ten"}, 422),
    ({}, 422),
    ({"q": "'; DROP TABLE \"GIS\".\"ROAD\"; --"}, []),
    ({"q": "1' OR '1'='1"}, []),
    ({"q": "A00' --"}, []),
    ({"q": "%"}, []),
    ({"q": "_"}, []),
    ({"q": "%%_%"}, []),
    ({"q": "\\"}, []),
    ({"q": "x" * 100}, []),
    ({"q": "Ünïcødé ☃"}, []),
])
def test_hostile_or_malformed_search_is_refused_or_finds_nothing(client, db_url, params, expected):
    before = row_counts(db_url)
    answer = client.get("/search", params=params)
    if expected == 422:
        assert answer.status_code == 422, answer.text
    else:
        assert answer.status_code == 200, answer.text
        assert answer.json()["results"] == expected
    assert row_counts(db_url) == before


def repeated_parcel(db_url):
    """A parcel whose number is also the number of a parcel in another zone."""
    (row,) = sql(db_url, """
        SELECT p."ID" AS id, p."PLOT_NO" AS plot_no, p."CADZONE" AS cadzone FROM "GIS"."PLOT" p
         WHERE EXISTS (SELECT 1 FROM "GIS"."PLOT" o WHERE o."PLOT_NO" = p."PLOT_NO" AND o."CADZONE" <> p."CADZONE")
         ORDER BY p."ID" DESC LIMIT 1""")
    return row


@pytest.mark.parametrize("form", ["{n} {z}", "{z} {n}", "{z}/{n}", "Plot {n}, Zone {z}", "{n} {zl}"])
def test_a_parcel_is_found_by_its_number_and_zone(client, db_url, form):
    parcel = repeated_parcel(db_url)
    q = form.format(n=parcel["plot_no"], z=parcel["cadzone"], zl=parcel["cadzone"].lower())
    results = client.get("/search", params={"q": q}).json()["results"]
    first = results[0]
    assert (first["kind"], first["layer"], first["ids"], first["title"]) == \
        ("plot", "plots", [parcel["id"]], f"Plot {parcel['plot_no']}")
    # its point stands inside the parcel, its box holds the parcel
    west, south, east, north = first["bbox"]
    lon, lat = first["point"]
    assert west <= lon <= east and south <= lat <= north
    (inside,) = sql(db_url, """
        SELECT ST_Contains(p."GEOMETRY", ST_Transform(ST_SetSRID(ST_MakePoint($2, $3), 4326), 3857)) AS point_in,
               ST_Contains(ST_Transform(ST_MakeEnvelope($4, $5, $6, $7, 4326), 3857),
                           ST_Buffer(p."GEOMETRY", -0.01)) AS box_holds
          FROM "GIS"."PLOT" p WHERE p."ID" = $1""", parcel["id"], lon, lat, west, south, east, north)
    assert inside["point_in"] and inside["box_holds"]


def test_a_number_alone_lists_that_number_in_every_zone_first(client, db_url):
    parcel = repeated_parcel(db_url)
    zones = sorted(r["cadzone"] for r in sql(db_url, 'SELECT "CADZONE" AS cadzone FROM "GIS"."PLOT" WHERE "PLOT_NO" = $1',
                                                parcel["plot_no"]))
    results = client.get("/search", params={"q": parcel["plot_no"], "limit": 50}).json()["results"]
    exact = results[:len(zones)]
    assert {r["title"] for r in exact} == {f"Plot {parcel['plot_no']}"}
    assert sorted(r["detail"].split(" · ")[0] for r in exact) == [f"Cadastral zone {z}" for z in zones]


@pytest.mark.parametrize("limit, expected", [(None, 10), (3, 3), (50, 50)])
def test_the_number_of_results_is_bounded(client, limit, expected):
    params = {"q": "1"} if limit is None else {"q": "1", "limit": limit}
    assert len(client.get("/search", params=params).json()["results"]) == expected


@pytest.mark.parametrize("kind, pick, query", [
    ("beacon", 'SELECT "ID" AS id, "BEACON_NO" AS name FROM "GIS"."BEACON" ORDER BY "ID" DESC LIMIT 1', "{name}"),
    ("beacon", 'SELECT "ID" AS id, "BEACON_NO" AS name FROM "GIS"."BEACON" ORDER BY "ID" DESC LIMIT 1',
     "{compact}"),
    ("road", """SELECT min("ID") AS id, "ROAD_NAME" AS name FROM "GIS"."ROAD" GROUP BY "ROAD_NAME"
                ORDER BY "ROAD_NAME" DESC LIMIT 1""", "{name}"),
    ("road", """SELECT min("ID") AS id, "ROAD_NAME" AS name FROM "GIS"."ROAD" GROUP BY "ROAD_NAME"
                ORDER BY "ROAD_NAME" DESC LIMIT 1""", "{part}"),
    ("cadzones", 'SELECT id, name FROM "GIS"."CadZones" ORDER BY id DESC LIMIT 1', "{name}"),
])
def test_beacons_roads_and_zones_are_found(client, db_url, kind, pick, query):
    (row,) = sql(db_url, pick)
    name = row["name"]
    q = query.format(name=name, compact=name.replace(" ", "").lower(), part=name[1:-3].upper())
    first = client.get("/search", params={"q": q}).json()["results"][0]
    assert (first["kind"], first["title"], first["ids"][0]) == (kind, name, row["id"])


def test_a_name_in_html_comes_back_as_the_same_text(client, html_road):
    answer = client.get("/search", params={"q": HTML_NAME})
    assert answer.headers["content-type"] == "application/json"
    (first,) = answer.json()["results"]
    assert (first["kind"], first["title"], first["ids"]) == ("road", HTML_NAME, [html_road])


VIEW = {"west": -180, "south": -85, "east": 180, "north": 85}


@pytest.mark.parametrize("layer, table, key, geometry", [
    ("plots", "PLOT", "ID", "GEOMETRY"), ("cadzones", "CadZones", "id", "geometry"),
    ("districts", "Districts", "id", "geometry"), ("lgas", "LGAs", "id", "geometry")])
def test_one_label_point_per_feature_inside_it(client, db_url, layer, table, key, geometry):
    features = client.get(f"/labels/{layer}", params={**VIEW, "limit": 5000}).json()["features"]
    ids = [f["properties"]["id"] for f in features]
    assert sorted(ids) == sorted(r["id"] for r in sql(db_url, f'SELECT "{key}" AS id FROM "GIS"."{table}"'))
    lons, lats = zip(*(f["geometry"]["coordinates"] for f in features))
    rows = sql(db_url, f"""
        SELECT l.id, ST_Contains(f."{geometry}", c) AS inside,
               abs(ST_Distance(ST_Boundary(f."{geometry}"), c) - l.radius) AS off
          FROM unnest($1::int[], $2::float8[], $3::float8[], $4::float8[]) AS l(id, lon, lat, radius)
          JOIN "GIS"."{table}" f ON f."{key}" = l.id,
               LATERAL ST_Transform(ST_SetSRID(ST_MakePoint(l.lon, l.lat), 4326), 3857) AS c""",
               ids, lons, lats, [f["properties"]["radius"] for f in features])
    assert all(r["inside"] for r in rows)
    # the radius is the point's distance from the boundary (to rounding and tolerance)
    assert max(r["off"] for r in rows) < 1.0


def test_a_parcel_keeps_its_label_point_and_an_area_names_its_part_in_view(client, db_url):
    (parcel,) = sql(db_url, """
        SELECT p."ID" AS id, ST_XMin(t.b) AS w, ST_YMin(t.b) AS s, ST_XMax(t.b) AS e, ST_YMax(t.b) AS n
          FROM "GIS"."PLOT" p, LATERAL (SELECT ST_Transform(ST_Envelope(p."GEOMETRY"), 4326)::box2d AS b) AS t
         ORDER BY p."ID" LIMIT 1""")
    around = {"west": parcel["w"] - 0.01, "south": parcel["s"] - 0.01, "east": parcel["e"] + 0.01, "north": parcel["n"] + 0.01}
    corner = {"west": parcel["w"] + (parcel["e"] - parcel["w"]) / 2, "south": parcel["s"],
              "east": parcel["e"] + 0.001, "north": parcel["n"] + 0.001}
    point = {}
    for name, view in (("around", around), ("corner", corner)):
        features = client.get("/labels/plots", params=view).json()["features"]
        point[name] = next(f["geometry"]["coordinates"] for f in features if f["properties"]["id"] == parcel["id"])
    assert point["around"] == point["corner"]
    # the zone's name stands inside the corner of the view, and inside the zone
    features = client.get("/labels/cadzones", params=corner).json()["features"]
    assert features
    for f in features:
        lon, lat = f["geometry"]["coordinates"]
        assert corner["west"] < lon < corner["east"] and corner["south"] < lat < corner["north"]


@pytest.mark.parametrize("layer, params", [
    ("plots", {"west": 10, "south": 0, "east": 5, "north": 1}), ("plots", {"west": 0, "south": 1, "east": 1, "north": 1}),
    ("plots", {"west": 0, "south": 0, "east": 1, "north": 90}), ("plots", {"west": "nan", "south": 0, "east": 1, "north": 1}),
    ("lgas", {"west": 0, "south": 0, "east": 1}), ("parks", {"west": 0, "south": 0, "east": 1, "north": 1})])
def test_a_view_that_is_no_box_or_an_unknown_layer_is_refused(client, layer, params):
    assert client.get(f"/labels/{layer}", params=params).status_code == 422
