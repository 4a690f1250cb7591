#!/usr/bin/env bash
# Prepares a machine (Debian 12, run as root) for the demo and the tests.
# Idempotent: every step checks what is there and does only what is missing.
#
#   1. Debian packages: PostgreSQL 15 + PostGIS 3, Redis, fonts, poppler,
#      clang-format, the Pango libraries of WeasyPrint, the C++ tool chain,
#      Node.js/npm (only when no npm is installed), Chromium (the browser test),
#      nginx (scripts/serve.sh; Debian's service is not used)
#   2. Python packages: the build backend, the runtime and test dependencies,
#      the servers (uvicorn with uvloop and httptools; granian)
#   3. the extension modules, built and installed (build tree build/wheel,
#      with the test-only module in build/wheel/testmod), then copied next
#      to the host code (scripts/link_host_modules.sh)
#   4. the map page's JavaScript (npm, host/node_modules) and the glyphs of
#      its labels, built from the DejaVu fonts with fontnik (host/static/glyphs)
#   5. the services (scripts/services.sh start)
#   6. the tests' data set (500 parcels in the database "terrava"), loaded
#      unless the database holds it already; scripts/demo.sh adds the demo's
#
# Environment: TERRAVA_SKIP_BUILD=1 skips step 3.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
cd "$ROOT"
PYTHON="${PYTHON:-python3}"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

step() { printf '\n== setup: %s\n' "$*" >&2; }

step "Debian packages"
packages=(
  postgresql-15 postgresql-15-postgis-3 postgresql-15-postgis-3-scripts redis-server
  fonts-dejavu-core fonts-liberation poppler-utils clang-format
  libpango-1.0-0 libpangoft2-1.0-0
  cmake g++ make
  chromium
  wrk
  nginx
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
# The build backend, then the runtime, test and server dependencies as
# pyproject.toml lists them (dependencies, extras "test" and "serve"); only
# those not installed already (in a version that fits) go to pip.
mapfile -t requirements < <("$PYTHON" - <<'PY'
import tomllib
from importlib import metadata

project = tomllib.load(open("pyproject.toml", "rb"))["project"]
wanted = ["scikit-build-core>=0.10", "pybind11>=2.12"]
extras = project.get("optional-dependencies", {})
wanted += project["dependencies"] + extras.get("test", []) + extras.get("serve", [])
try:
    from packaging.requirements import Requirement
except ImportError:  # no way to compare versions: let pip decide
    Requirement = None


def satisfied(req, extra=None):
    """True when `req` (a requirement text) is installed in a fitting version,
    the requirements of its extras included."""
    r = Requirement(req)
    env = {"extra": extra or ""}
    if r.marker is not None and not r.marker.evaluate(env):
        return True
    try:
        if not r.specifier.contains(metadata.version(r.name), prereleases=True):
            return False
    except metadata.PackageNotFoundError:
        return False
    for e in r.extras:
        for dep in metadata.requires(r.name) or []:
            d = Requirement(dep)
            if d.marker is not None and d.marker.evaluate({"extra": e}) and not satisfied(dep, e):
                return False
    return True


for req in wanted:
    if Requirement is None or not satisfied(req):
        print(req)
PY
)
if ((${#requirements[@]})); then
  "$PYTHON" -m pip install -q "${requirements[@]}"
else
  echo "all present" >&2
fi

# What the installed modules were built from: the sources, the build files
# and the interpreter. When it matches the stamp of the last build and the
# modules are installed, nothing is rebuilt.
build_inputs() {
  {
    "$PYTHON" -c 'import sys; print(sys.executable, sys.version)'
    find CMakeLists.txt pyproject.toml native api tests/native -type f \
      ! -name '*.pyc' ! -path '*/__pycache__/*' -print0 | sort -z | xargs -0 sha256sum
  } | sha256sum | cut -d' ' -f1
}
# The installed modules are the ones copied next to the host code (and not,
# say, those another checkout installed into the same interpreter).
modules_installed() {
  "$PYTHON" -c '
import filecmp, importlib.util, pathlib, sys
for name, where in (("tileport", "routers"), ("plots", "helpers"), ("plansmith", "services")):
    spec = importlib.util.find_spec("terrava." + name)
    copy = pathlib.Path("host", where, pathlib.Path(spec.origin).name) if spec and spec.origin else None
    if copy is None or not copy.exists() or not filecmp.cmp(spec.origin, copy, shallow=False):
        sys.exit(1)'
}
STAMP=build/wheel/terrava-build.stamp
if [[ "${TERRAVA_SKIP_BUILD:-0}" == 1 ]]; then
  step "extension modules skipped (TERRAVA_SKIP_BUILD=1)"
elif inputs="$(build_inputs)" && [[ -f "$STAMP" && "$(cat "$STAMP")" == "$inputs" ]] && modules_installed; then
  step "extension modules up to date"
else
  step "extension modules"
  rm -f "$STAMP"
  "$PYTHON" -m pip install -q --no-build-isolation --no-deps \
    -Cbuild-dir=build/wheel -Ccmake.define.TERRAVA_BUILD_TESTS=ON .
  scripts/link_host_modules.sh
  echo "$inputs" >"$STAMP"
fi

step "map page libraries"
if [[ ! -f host/node_modules/.package-lock.json || host/package-lock.json -nt host/node_modules/.package-lock.json ]]; then
  (cd host && npm ci --no-audit --no-fund --loglevel=error)
else
  echo "up to date" >&2
fi

step "map glyphs"
# MapLibre draws text from signed-distance-field glyphs in PBF files of 256
# code points each: host/static/glyphs/<font name>/<first>-<last>.pbf, all 256
# ranges of the font. A font is built into a temporary directory that is then
# renamed, so a font's directory is complete; it is built again only when the
# font file is newer.
glyphs=host/static/glyphs
rm -rf "$glyphs"/.build.*  # what a stopped run left
built=0
for font in "DejaVu Sans=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf" \
            "DejaVu Sans Bold=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"; do
  name="${font%%=*}" file="${font#*=}"
  [[ -f "$glyphs/$name/0-255.pbf" && ! "$file" -nt "$glyphs/$name/0-255.pbf" ]] && continue
  work="$(mktemp -d "$glyphs/.build.XXXXXX")"
  host/node_modules/.bin/build-glyphs "$file" "$work"
  rm -rf "${glyphs:?}/$name"
  mv "$work" "$glyphs/$name"
  chmod 755 "$glyphs/$name"
  echo "built: $name" >&2
  built=1
done
((built)) || echo "up to date" >&2

step "services"
scripts/services.sh start

step "test data"
set -a
. "$ROOT/.services/env"
set +a
"$PYTHON" scripts/gen_cadastre.py --parcels 500 --if-changed
