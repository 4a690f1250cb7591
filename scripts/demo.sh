#!/usr/bin/env bash
# Sets the machine up (scripts/setup.sh), loads the demo's own data set and
# serves the demo application on http://127.0.0.1:8000 (PORT to change it):
# the map at /, the API at /docs, the plans under /plans/.
#
# The demo's cadastre (TERRAVA_DEMO_PARCELS parcels, default 3000) lives in
# the database "terrava_demo" and its tile cache in Redis database
# TERRAVA_DEMO_REDIS_DB (default 1), apart from the tests' data. Its settings
# are written to .services/demo.env, which plancli reads as well.
#
# It is served as production would be: uvicorn on uvloop's event loop with
# the httptools parser, TERRAVA_WORKERS worker processes (default 1).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
cd "$ROOT"
workers="${TERRAVA_WORKERS:-1}"
[[ "$workers" =~ ^[1-9][0-9]*$ ]] || { echo "demo: TERRAVA_WORKERS must be a positive number: $workers" >&2; exit 2; }
scripts/setup.sh

printf '\n== demo: data set\n' >&2
export REDIS_DB="${TERRAVA_DEMO_REDIS_DB:-1}"
url="$(scripts/data_db.sh terrava_demo "${TERRAVA_DEMO_PARCELS:-3000}" | tail -n 1)"
set -a
. "$ROOT/.services/env"
set +a
(
  umask 077
  printf 'DATABASE_URL=%s\nREDIS_HOST=%s\nREDIS_PORT=%s\nREDIS_DB=%s\n' \
    "$url" "$REDIS_HOST" "$REDIS_PORT" "${TERRAVA_DEMO_REDIS_DB:-1}" >"$ROOT/.services/demo.env.tmp"
)
mv -f "$ROOT/.services/demo.env.tmp" "$ROOT/.services/demo.env"
set -a
. "$ROOT/.services/demo.env"
set +a

cd host
echo "demo: http://127.0.0.1:${PORT:-8000}/ (map), /docs (API), /plans/deed/1 (a deed plan); $workers worker(s)" >&2
exec "${PYTHON:-python3}" -m uvicorn app:app --host 127.0.0.1 --port "${PORT:-8000}" \
  --loop uvloop --http httptools --workers "$workers"
