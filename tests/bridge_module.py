"""Locates and loads the test-only bridge module built beside the package."""

import glob
import importlib.util
import os

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def load():
    # The sanitized build (build/asan) needs the ASan runtime preloaded: it is
    # used only when scripts/test_sanitized.sh names it.
    build = os.environ.get("TERRAVA_TEST_BUILD_DIR")
    found = glob.glob(os.path.join(build or os.path.join(ROOT, "build", "*"), "testmod", "_bridgetest*.so"))
    if not build:
        found = [path for path in found if os.path.basename(os.path.dirname(os.path.dirname(path))) != "asan"]
    candidates = sorted(found, key=os.path.getmtime, reverse=True)
    if not candidates:
        raise ImportError(
            "the test-only module _bridgetest is not built; "
            "run scripts/test.sh (it builds with TERRAVA_BUILD_TESTS=ON)"
        )
    spec = importlib.util.spec_from_file_location("_bridgetest", candidates[0])
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
