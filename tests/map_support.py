"""Database helpers shared by the map page's tests: queries on the test
database and a road whose name is HTML."""

import pytest

from pg_support import sql

# Markup that would run a script if a page set it as HTML.
HTML_NAME = '<img src=x onerror="window.__injected=true"><b>Marked</b> & Co Road'


@pytest.fixture
def html_road(db_url, flush_redis):
    """A street named HTML_NAME, 500 m east of the parcels (clear of them, so
    no other test's parcel meets it), removed afterwards with the cached tiles
    that drew it."""
    (row,) = sql(db_url, """
        INSERT INTO "GIS"."ROAD" ("GEOMETRY", "ROAD_NAME", "ROAD_TYPE", "WIDTH_M")
        SELECT ST_SetSRID(ST_MakeLine(ST_MakePoint(ST_XMax(e) + 500, (ST_YMin(e) + ST_YMax(e)) / 2),
                                      ST_MakePoint(ST_XMax(e) + 800, (ST_YMin(e) + ST_YMax(e)) / 2 + 40)), 3857),
               $1, 'Local', 8
          FROM (SELECT ST_SetSRID(ST_Extent("GEOMETRY"), 3857) AS e FROM "GIS"."PLOT") s
        RETURNING "ID" AS id""", HTML_NAME)
    flush_redis()
    try:
        yield row["id"]
    finally:
        sql(db_url, 'DELETE FROM "GIS"."ROAD" WHERE "ID" = $1', row["id"])
        flush_redis()
