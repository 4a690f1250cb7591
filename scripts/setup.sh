#!/usr/bin/env bash
# Prepares a machine (Debian 12, run as root) for the demo and the tests.
# Idempotent: every step checks what is there and does only what is missing.
#
#   1. Debian packages: PostgreSQL 15 + PostGIS 3, Redis, fonts, poppler,
#      clang-format, the Pango libraries of WeasyPrint, the C++ tool chain,
#      Node.js/npm (only when no npm is installed), Chromium (the browser test)
#   2. Python packages: the build backend, the runtime and test dependencies
#   3. the extension modules, built and installed (build tree build/wheel,
#      with the test-only module in build/wheel/testmod), then copied next
#      to the host code (scripts/link_host_modules.sh)
#   4. the map page's JavaScript (npm, host/node_modules)
#   5. the services (scripts/services.sh start)
#   6. the demo data set, loaded unless the database holds it already
#
# Environment: TERRAVA_SKIP_BUILD=1 skips step 3; TERRAVA_DEMO_PARCELS sets
# the size of the demo data set (default 500).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
cd "$ROOT"
PYTHON="${PYTHON:-python3}"
DEMO_PARCELS="${TERRAVA_DEMO_PARCELS:-500}"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

step() { printf '\n== setup: %s\n' "$*" >&2; }

step "Debian packages"
packages=(
  postgresql-15 postgresql-15-postgis-3 postgresql-15-postgis-3-scripts redis-server
  fonts-dejavu-core fonts-liberation poppler-utils clang-format
  libpango-1.0-0 libpangoft2-1.0-0
  cmake g++ make
  chromium
)
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)
missing=()
for pkg in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
  echo "all present" >&2
fi

step "Python packages"
"$PYTHON" -m pip install -q "scikit-build-core>=0.10" "pybind11>=2.12"
# The runtime and test dependencies as pyproject.toml lists them.
mapfile -t requirements < <("$PYTHON" - <<'PY'
import tomllib
project = tomllib.load(open("pyproject.toml", "rb"))["project"]
for req in project["dependencies"] + project.get("optional-dependencies", {}).get("test", []):
    print(req)
PY
)
"$PYTHON" -m pip install -q "${requirements[@]}"

if [[ "${TERRAVA_SKIP_BUILD:-0}" != 1 ]]; then
  step "extension modules"
  "$PYTHON" -m pip install -q --no-build-isolation --no-deps \
    -Cbuild-dir=build/wheel -Ccmake.define.TERRAVA_BUILD_TESTS=ON .
  scripts/link_host_modules.sh
else
  step "extension modules skipped (TERRAVA_SKIP_BUILD=1)"
fi

step "map page libraries"
if [[ ! -f host/node_modules/.package-lock.json || host/package-lock.json -nt host/node_modules/.package-lock.json ]]; then
  (cd host && npm ci --no-audit --no-fund --loglevel=error)
else
  echo "up to date" >&2
fi

step "services"
scripts/services.sh start

step "demo data"
set -a
. "$ROOT/.services/env"
set +a
"$PYTHON" scripts/gen_cadastre.py --parcels "$DEMO_PARCELS" --if-changed
