"""Shared test set-up.

* host/ goes first on sys.path, so `database`, `helpers`, `models`, `routers`
  and `services` are the host application's modules, as in the registry.
* .services/env (written by scripts/services.sh start) is loaded into the
  environment before any test module imports anything; variables that are
  already set win.
* `services` checks once per run that PostgreSQL (with PostGIS) and Redis
  answer, and fails the requesting test with a hint when they do not.
  `db_url`, `redis_url` and `flush_redis` depend on it; a test that talks to
  the servers in another way should request `services` itself.
"""

import asyncio
import os
import sys
from pathlib import Path
from urllib.parse import quote

import pytest

ROOT = Path(__file__).resolve().parents[1]
HOST = str(ROOT / "host")
SERVICES_ENV = ROOT / ".services" / "env"
HINT = "start them with scripts/services.sh start (scripts/setup.sh also loads the demo data)"

while HOST in sys.path:
    sys.path.remove(HOST)
sys.path.insert(0, HOST)


def _load_services_env():
    if not SERVICES_ENV.exists():
        return
    for line in SERVICES_ENV.read_text().splitlines():
        line = line.strip()
        if line and not line.startswith("#") and "=" in line:
            name, value = line.split("=", 1)
            os.environ.setdefault(name.strip(), value.strip())


_load_services_env()


def _redis_settings():
    return {
        "host": os.environ.get("REDIS_HOST", "127.0.0.1"),
        "port": int(os.environ.get("REDIS_PORT", "6379")),
        "db": int(os.environ.get("REDIS_DB", "0")),
        "username": os.environ.get("REDIS_USERNAME") or None,
        "password": os.environ.get("REDIS_PASSWORD") or None,
    }


def _check_postgres():
    url = os.environ.get("DATABASE_URL")
    if not url:
        return f"DATABASE_URL is not set and {SERVICES_ENV} does not exist"

    async def probe():
        import asyncpg

        conn = await asyncpg.connect(url.replace("postgresql+asyncpg://", "postgresql://", 1), timeout=5)
        try:
            await conn.fetchval("SELECT postgis_lib_version()")
        finally:
            await conn.close()

    try:
        asyncio.run(probe())
    except Exception as exc:  # any failure means: not usable
        return f"PostgreSQL/PostGIS at DATABASE_URL is not usable: {type(exc).__name__}: {exc}"
    return None


def _check_redis():
    import redis

    settings = _redis_settings()
    try:
        client = redis.Redis(socket_connect_timeout=3, socket_timeout=3, **settings)
        try:
            client.ping()
        finally:
            client.close()
    except Exception as exc:
        return f"Redis at {settings['host']}:{settings['port']} is not usable: {type(exc).__name__}: {exc}"
    return None


_service_problems = None


def _problems():
    global _service_problems
    if _service_problems is None:
        _service_problems = [p for p in (_check_postgres(), _check_redis()) if p]
    return _service_problems


def pytest_report_header(config):
    problems = _problems()
    if problems:
        return ["services: NOT RUNNING — " + "; ".join(problems)]
    settings = _redis_settings()
    return [f"services: PostgreSQL (DATABASE_URL) and Redis {settings['host']}:{settings['port']}/{settings['db']} up"]


@pytest.fixture(scope="session")
def services():
    """PostgreSQL with PostGIS and Redis, checked to answer."""
    problems = _problems()
    if problems:
        pytest.fail("services not running: " + "; ".join(problems) + f" — {HINT}", pytrace=False)


@pytest.fixture(scope="session")
def db_url(services):
    """The database URL in SQLAlchemy's asyncpg form (postgresql+asyncpg://...)."""
    return os.environ["DATABASE_URL"]


@pytest.fixture(scope="session")
def redis_url(services):
    settings = _redis_settings()
    auth = ""
    if settings["password"]:
        auth = f"{quote(settings['username'] or '', safe='')}:{quote(settings['password'], safe='')}@"
    return f"redis://{auth}{settings['host']}:{settings['port']}/{settings['db']}"


@pytest.fixture
def flush_redis(services):
    """Empties the tests' Redis database before the test; call the fixture's
    value to empty it again in the middle of a test."""
    import redis

    client = redis.Redis(socket_connect_timeout=3, socket_timeout=3, **_redis_settings())

    def flush():
        client.flushdb()

    flush()
    yield flush
    client.close()

