"""Generated requests against the demo application's OpenAPI document: no
answer is a server error, nothing crashes (tests/schema_cases.py)."""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def test_generated_requests_on_every_operation():
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                          os.path.join(HERE, "schema_cases.py")],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout[-6000:] + run.stderr[-2000:]
