#!/usr/bin/env bash
# Sets the machine up (scripts/setup.sh) and starts scripts/cluster.sh, then
# runs the test suite with the services' settings in the environment. Extra
# arguments go to pytest.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
cd "$ROOT"
scripts/setup.sh
# The servers beyond one machine (Redis Cluster, Sentinel, a PostgreSQL
# replica): their tests (mark "cluster") skip, saying why, when these cannot
# start here.
if ! scripts/cluster.sh start; then
  echo "test: scripts/cluster.sh could not start its servers; the cluster tests will skip" >&2
fi
set -a
. "$ROOT/.services/env"
set +a
exec "${PYTHON:-python3}" -m pytest -q -rs tests "$@"
