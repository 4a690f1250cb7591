#!/usr/bin/env bash
# Sets the machine up (scripts/setup.sh) and serves the demo application on
# http://127.0.0.1:8000 (PORT to change it): the map at /, the API at /docs.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
cd "$ROOT"
scripts/setup.sh
set -a
. "$ROOT/.services/env"
set +a
cd host
echo "demo: http://127.0.0.1:${PORT:-8000}/ (map), /docs (API)" >&2
exec "${PYTHON:-python3}" -m uvicorn app:app --host 127.0.0.1 --port "${PORT:-8000}"
