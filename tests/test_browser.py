"""The map page in headless Chromium: loads cleanly, renders parcels, a parcel's
popup links a deed plan PDF, and the layer switcher hides a layer."""

import json
import os
import socket
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
HOST = ROOT / "host"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_map_page_in_a_real_browser(services, flush_redis, tmp_path):
    port = free_port()
    server = subprocess.Popen([sys.executable, "-m", "uvicorn", "app:app", "--host", "127.0.0.1", "--port", str(port)],
                              cwd=HOST, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        base = f"http://127.0.0.1:{port}"
        for _ in range(100):
            try:
                urllib.request.urlopen(f"{base}/gis/health/", timeout=2)
                break
            except OSError:
                time.sleep(0.2)
        # The server keeps a preloaded sanitizer runtime (scripts/test_sanitized.sh);
        # node and Chromium do not start under it.
        browser_env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        run = subprocess.run(["node", str(ROOT / "tests" / "browser" / "map_page.js"), base, str(tmp_path / "map.png")],
                             env={**browser_env, "HOST_DIR": str(HOST)}, capture_output=True, text=True, timeout=240)
    finally:
        server.terminate()
        server.wait(timeout=30)
    assert run.returncode == 0, run.stderr[-2000:]
    seen = json.loads(run.stdout.strip().splitlines()[-1])
    assert seen["consoleErrors"] == []
    assert seen["parcelsRendered"] > 0
    assert (seen["deedStatus"], seen["deedType"], seen["deedMagic"]) == (200, "application/pdf", "%PDF")
    assert seen["plotsVisibility"] == "none"
    assert (tmp_path / "map.png").stat().st_size > 10000
