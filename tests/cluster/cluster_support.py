"""Helpers of the cluster tests: the settings file of scripts/cluster.sh, a
bounded wait, and a uvicorn worker of the host app with an environment of
its own."""

import os
import subprocess
import tempfile
from pathlib import Path

import httpx

from process_support import eventually, free_port

ROOT = Path(__file__).resolve().parents[2]
CLUSTER_ENV = ROOT / ".services" / "cluster.env"
CLUSTER_SH = ROOT / "scripts" / "cluster.sh"
OPERATOR_TOKEN = "cluster-tests-operator"


class Worker:
    """One uvicorn worker of the host app; requests name their client address
    in X-Forwarded-For, which the worker trusts from loopback only."""

    def __init__(self, env):
        self.port = free_port()
        self.log = tempfile.NamedTemporaryFile(prefix="cluster-worker-", suffix=".log", delete=False)
        self.process = subprocess.Popen(
            [os.environ.get("PYTHON", "python3"), "-m", "uvicorn", "app:app", "--host", "127.0.0.1",
             "--port", str(self.port), "--loop", "uvloop", "--http", "httptools", "--proxy-headers",
             "--forwarded-allow-ips", "127.0.0.1", "--no-access-log", "--log-level", "warning"],
            cwd=ROOT / "host", env=env, stdout=self.log, stderr=subprocess.STDOUT)
        self.http = httpx.Client(base_url=f"http://127.0.0.1:{self.port}", timeout=60)
        try:
            eventually(self.ready, "the worker answers", seconds=90, step=0.2)
        except AssertionError:
            self.stop()
            raise AssertionError(f"worker did not start:\n{self.log_text()[-3000:]}") from None

    def ready(self):
        if self.process.poll() is not None:
            raise AssertionError(f"worker exited:\n{self.log_text()[-3000:]}")
        try:
            return self.http.get("/gis/layers/").status_code == 200
        except httpx.TransportError:
            return False

    def get(self, path, client="192.0.2.1", **headers):
        return self.http.get(path, headers={"X-Forwarded-For": client, **headers})

    def post(self, path, client="192.0.2.1", **headers):
        return self.http.post(path, headers={"X-Forwarded-For": client, **headers})

    def log_text(self):
        return Path(self.log.name).read_text(errors="replace")

    def stop(self):
        self.http.close()
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        Path(self.log.name).unlink(missing_ok=True)
