#!/usr/bin/env bash
# Sets the machine up (scripts/setup.sh), then runs the test suite with the
# services' settings in the environment. Extra arguments go to pytest.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
cd "$ROOT"
scripts/setup.sh
set -a
. "$ROOT/.services/env"
set +a
exec "${PYTHON:-python3}" -m pytest -q tests "$@"
