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
# It is served as production would be, by the serving stack in the
# foreground (scripts/serve.sh run; Ctrl-C stops it): nginx with the edge
# cache of tiles, in front of TERRAVA_WORKERS tile workers (default 1) and
# TERRAVA_PLAN_WORKERS plan workers (default 2), uvicorn on uvloop's event
# loop with the httptools parser.
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

export SERVE_PORT="${PORT:-8000}"
echo "demo: http://127.0.0.1:$SERVE_PORT/ (map), /docs (API), /plans/deed/1 (a deed plan); $workers tile worker(s)" >&2
exec scripts/serve.sh run
