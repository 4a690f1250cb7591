"""Generated requests against every operation of the demo application's
OpenAPI document, in-process (ASGI). Run by test_api_schema.py in an
interpreter of its own, so the application's pools and clients live on the
one event loop of the ASGI client."""

import os

import schemathesis
from hypothesis import HealthCheck, settings

os.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "host"))
from app import app  # noqa: E402

schema = schemathesis.openapi.from_asgi("/openapi.json", app)
EXAMPLES = int(os.environ.get("TERRAVA_SCHEMA_EXAMPLES", "15"))


@schema.parametrize()
@settings(max_examples=EXAMPLES, deadline=None, derandomize=True,
          suppress_health_check=list(HealthCheck))
def test_operation(case):
    # Server errors and answers that break the document; the status codes the
    # document leaves out (400, 404, 429) are the routes' own.
    case.call_and_validate(checks=[schemathesis.checks.not_a_server_error])
