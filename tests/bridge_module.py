"""Locates and loads the test-only bridge module built beside the package."""

import glob
import importlib.util
import os

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def load():
    candidates = sorted(
        glob.glob(os.path.join(ROOT, "build", "*", "testmod", "_bridgetest*.so")),
        key=os.path.getmtime,
        reverse=True,
    )
    if not candidates:
        raise ImportError(
            "the test-only module _bridgetest is not built; "
            "run scripts/test.sh (it builds with TERRAVA_BUILD_TESTS=ON)"
        )
    spec = importlib.util.spec_from_file_location("_bridgetest", candidates[0])
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
