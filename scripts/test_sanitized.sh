#!/usr/bin/env bash
# Runs the test suite with the extension modules built under AddressSanitizer
# and UndefinedBehaviorSanitizer (CMake option TERRAVA_SANITIZE=ON).
#
#   1. the machine set up as for scripts/test.sh, without the regular build
#   2. a virtual environment of its own, build/asan/venv, that sees every
#      package of $PYTHON and holds only the sanitized terrava
#   3. the modules built in build/asan (RelWithDebInfo, test module included)
#      and installed there, then copied next to the host code
#   4. pytest with the ASan runtime preloaded (the interpreter is not
#      instrumented), leak detection off (the interpreter's own allocations
#      are never freed), and UB fatal
#   5. on exit, the regular modules copied back next to the host code
#
# Extra arguments go to pytest. The regular build is left as it is; do not run
# scripts/test.sh in the same tree at the same time (both use host/).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
cd "$ROOT"
PYTHON="${PYTHON:-python3}"
BUILD="build/asan"
VENV="$ROOT/$BUILD/venv"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

TERRAVA_SKIP_BUILD=1 PYTHON="$PYTHON" scripts/setup.sh

if [[ ! -x "$VENV/bin/python" ]]; then
  "$PYTHON" -m venv --system-site-packages --without-pip "$VENV"
fi
# Everything $PYTHON imports stays importable; the venv's own site-packages
# (with the sanitized terrava) comes first.
purelib="$("$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')"
"$PYTHON" -c 'import site, sys; print("\n".join(p for p in sys.path if p.endswith(("site-packages", "dist-packages"))))' \
  >"$purelib/terrava_parent.pth"

printf '\n== sanitized build (%s)\n' "$BUILD" >&2
"$VENV/bin/python" -m pip install -q --no-build-isolation --no-deps -Cbuild-dir="$BUILD" \
  -Ccmake.build-type=RelWithDebInfo -Ccmake.define.TERRAVA_SANITIZE=ON -Ccmake.define.TERRAVA_BUILD_TESTS=ON .

restore() {
  PYTHON="$PYTHON" scripts/link_host_modules.sh >/dev/null ||
    echo "test_sanitized: the regular modules are not installed; run scripts/setup.sh" >&2
}
trap restore EXIT
PYTHON="$VENV/bin/python" scripts/link_host_modules.sh

set -a
. "$ROOT/.services/env"
set +a
# libstdc++ right after the runtime: ASan looks up the real __cxa_throw when it
# starts, and finds none when the C++ library is loaded only later.
LD_PRELOAD="$("${CXX:-c++}" -print-file-name=libasan.so) $("${CXX:-c++}" -print-file-name=libstdc++.so)"
export LD_PRELOAD
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=0:halt_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Python objects straight from malloc, so ASan sees their lifetimes too.
export PYTHONMALLOC=malloc
export TERRAVA_TEST_BUILD_DIR="$ROOT/$BUILD"
printf '\n== tests under ASan+UBSan (LD_PRELOAD=%s)\n' "$LD_PRELOAD" >&2
"$VENV/bin/python" -m pytest -q tests "$@"
