#!/usr/bin/env bash
# Copies the installed extension modules next to the host code, where the
# registry application imports them:
#   terrava.tileport  -> host/routers/tileport*.so   (routers.tileport)
#   terrava.plots     -> host/helpers/plots*.so      (helpers.plots)
#   terrava.plansmith -> host/services/plansmith*.so (services.plansmith)
# The modules are located without importing them (importing needs host/ on
# sys.path and runs their start-up code).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
PYTHON="${PYTHON:-python3}"

copy_module() {
  local name="$1" dest="$2" src
  src="$("$PYTHON" -c "
import importlib.util, sys
spec = importlib.util.find_spec('terrava.$name')
sys.exit('terrava.$name is not installed') if spec is None or not spec.origin else print(spec.origin)
")"
  rm -f "$ROOT/host/$dest/$name".*.so "$ROOT/host/$dest/$name.so"
  cp -f "$src" "$ROOT/host/$dest/"
  echo "link_host_modules: $src -> host/$dest/$(basename "$src")"
}

copy_module tileport routers
copy_module plots helpers
copy_module plansmith services
