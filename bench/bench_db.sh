#!/usr/bin/env bash
# The benchmarks' database ("terrava_bench"), loaded with a large cadastre,
# so that benchmarks never replace the data set the tests and the demo use.
#
#   bench/bench_db.sh [PARCELS]      (default 200000)
#
# Prints the database URL on its last line.
set -euo pipefail
exec "$(dirname "${BASH_SOURCE[0]}")/../scripts/data_db.sh" terrava_bench "${1:-200000}"
