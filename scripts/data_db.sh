#!/usr/bin/env bash
# A database of its own on the project's PostgreSQL, holding a synthetic
# cadastre of PARCELS parcels, so that the demo and the benchmarks never
# replace the data set the tests use (database "terrava").
#
#   scripts/data_db.sh NAME PARCELS
#
# Creates the database and its PostGIS extension when missing and loads the
# cadastre unless it holds that one already. The tile cache dropped after a
# load is the one in $REDIS_DB (default: .services/env's). Prints the
# database URL on its last line.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
NAME="${1:?usage: data_db.sh NAME PARCELS}"
PARCELS="${2:?usage: data_db.sh NAME PARCELS}"
[[ "$NAME" =~ ^[a-z_][a-z0-9_]*$ ]] || { echo "data_db: bad database name: $NAME" >&2; exit 2; }

"$ROOT/scripts/services.sh" start >&2
redis_db="${REDIS_DB:-}"
set -a
. "$ROOT/.services/env"
set +a
[[ -n "$redis_db" ]] && export REDIS_DB="$redis_db"
base="$(cat "$ROOT/.services/pg.base")"
port="${DATABASE_URL##*:}"
port="${port%%/*}"
role="${DATABASE_URL#*://}"
role="${role%%:*}"

# Creating a database and the PostGIS extension needs the cluster's superuser.
runuser -u postgres -- psql -X -q -v ON_ERROR_STOP=1 -h "$base" -p "$port" -d postgres >/dev/null <<SQL
SELECT format('CREATE DATABASE %I OWNER %I', '$NAME', '$role')
 WHERE NOT EXISTS (SELECT 1 FROM pg_database WHERE datname = '$NAME') \gexec
SQL
runuser -u postgres -- psql -X -q -v ON_ERROR_STOP=1 -h "$base" -p "$port" -d "$NAME" >/dev/null <<SQL
SET client_min_messages = warning;
CREATE EXTENSION IF NOT EXISTS postgis;
SQL

url="${DATABASE_URL%/*}/$NAME"
"${PYTHON:-python3}" "$ROOT/scripts/gen_cadastre.py" --parcels "$PARCELS" --if-changed \
  --database-url "$url" >&2
echo "$url"
