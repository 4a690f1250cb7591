#!/usr/bin/env bash
# (Re)creates the GIS schema and loads a synthetic cadastre of N parcels
# (default 500) into the running database.
#
#   scripts/load_demo.sh            # 500 parcels, the test data set
#   scripts/load_demo.sh 200000     # the benchmark data set
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
[[ -f "$ROOT/.services/env" ]] || { echo "load_demo: no .services/env; run scripts/services.sh start" >&2; exit 1; }
set -a
. "$ROOT/.services/env"
set +a
exec "${PYTHON:-python3}" "$ROOT/scripts/gen_cadastre.py" --parcels "${1:-500}" "${@:2}"
