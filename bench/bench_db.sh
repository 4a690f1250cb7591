#!/usr/bin/env bash
# A database of its own for the tile benchmark ("terrava_bench" on the
# project's PostgreSQL), loaded with a large cadastre, so that benchmarks never
# replace the data set the tests and the demo use.
#
#   bench/bench_db.sh [PARCELS]      (default 200000)
#
# Prints the database URL on its last line.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
PARCELS="${1:-200000}"
BENCH_DB=terrava_bench

"$ROOT/scripts/services.sh" start >&2
set -a
. "$ROOT/.services/env"
set +a
base="$(cat "$ROOT/.services/pg.base")"
port="${DATABASE_URL##*:}"
port="${port%%/*}"
role="${DATABASE_URL#*://}"
role="${role%%:*}"

# Creating a database and the PostGIS extension needs the cluster's superuser.
runuser -u postgres -- psql -X -q -v ON_ERROR_STOP=1 -h "$base" -p "$port" -d postgres >/dev/null <<SQL
SELECT format('CREATE DATABASE %I OWNER %I', '$BENCH_DB', '$role')
 WHERE NOT EXISTS (SELECT 1 FROM pg_database WHERE datname = '$BENCH_DB') \gexec
SQL
runuser -u postgres -- psql -X -q -v ON_ERROR_STOP=1 -h "$base" -p "$port" -d "$BENCH_DB" >/dev/null <<SQL
SET client_min_messages = warning;
CREATE EXTENSION IF NOT EXISTS postgis;
SQL

url="${DATABASE_URL%/*}/$BENCH_DB"
"${PYTHON:-python3}" "$ROOT/scripts/gen_cadastre.py" --parcels "$PARCELS" --if-changed \
  --database-url "$url" >&2
echo "$url"
