"""The plan command line, run as a clerk runs it, against the real database."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

HOST = Path(__file__).resolve().parents[1] / "host"


def plancli(*args, env=None, cwd=None):
    return subprocess.run([sys.executable, "-m", "plancli", *map(str, args)], cwd=cwd or HOST,
                          env={**os.environ, **(env or {})}, capture_output=True, text=True, timeout=300)


def parcel_ids(db_url, count):
    import asyncio

    import asyncpg

    async def fetch():
        conn = await asyncpg.connect(db_url.replace("postgresql+asyncpg://", "postgresql://", 1))
        try:
            return [r["ID"] for r in await conn.fetch('SELECT "ID" FROM "GIS"."PLOT" ORDER BY "ID" LIMIT $1', count)]
        finally:
            await conn.close()

    return asyncio.run(fetch())


@pytest.mark.parametrize("kind, prefix, count", [("deed", "DeedPlan", 3), ("site", "SitePlan", 1)])
def test_plans_of_the_given_parcels_are_written_as_pdfs(db_url, tmp_path, kind, prefix, count):
    ids = parcel_ids(db_url, count)
    run = plancli(kind, *ids, "-o", tmp_path)
    assert run.returncode == 0, run.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(f"{prefix}_{i}.pdf" for i in ids)
    assert all(p.read_bytes().startswith(b"%PDF") for p in tmp_path.iterdir())
    # Several ids show a progress bar on stderr, one id does not.
    assert (f"{count}/{count}" in run.stderr) == (count > 1)


@pytest.mark.parametrize("case", ["unknown parcel", "unreachable database"])
def test_a_failure_is_one_line_a_non_zero_exit_and_no_file(db_url, tmp_path, case):
    (known,) = parcel_ids(db_url, 1)
    if case == "unknown parcel":
        run = plancli("deed", known, 999999999, "-o", tmp_path)
        expected = "plancli: parcel not found: 999999999"
    else:
        # A port nothing listens on.
        bad_url = "postgresql+asyncpg://terrava:x@127.0.0.1:9/terrava"
        run = plancli("deed", known, "-o", tmp_path, env={"DATABASE_URL": bad_url})
        expected = "plancli: cannot reach the database: "
    assert run.returncode == 1
    lines = run.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith(expected), run.stderr
    assert list(tmp_path.iterdir()) == []
