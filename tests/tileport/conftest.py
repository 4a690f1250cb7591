"""Fixtures of the tile service tests: one event loop for the whole run (the
module's Redis client and the database pool are bound to the loop that first
uses them), real Redis, and Redis endpoints that misbehave in known ways."""

import asyncio
import itertools
import os
import socket
import sys
import threading
import uuid

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SERVICES_ENV = os.path.join(ROOT, ".services", "env")
HOST = os.path.join(ROOT, "host")


def _load_services_env():
    if not os.path.exists(SERVICES_ENV):
        return
    with open(SERVICES_ENV) as env:
        for line in env:
            line = line.strip()
            if line and not line.startswith("#") and "=" in line:
                name, value = line.split("=", 1)
                os.environ.setdefault(name, value)


_load_services_env()
if HOST not in sys.path:
    sys.path.insert(0, HOST)

LOGGER = "terrava.tileport"


@pytest.fixture(scope="session")
def tp():
    import terrava.tileport as module

    return module


@pytest.fixture(scope="session")
def loop():
    loop = asyncio.new_event_loop()
    yield loop
    loop.run_until_complete(loop.shutdown_asyncgens())
    loop.close()


@pytest.fixture(scope="session")
def run(loop):
    return loop.run_until_complete


@pytest.fixture(scope="session")
def redis_admin(tp, run):
    """A client of its own on the module's Redis, for preparing and checking keys."""
    import redis.asyncio as aioredis

    client = aioredis.Redis(
        host=tp.redis_host, port=tp.redis_port, db=tp.redis_db,
        password=tp.redis_password, username=tp.redis_username,
    )
    run(client.ping())
    yield client
    run(client.aclose())


_addresses = itertools.count(1)


@pytest.fixture
def client_ip():
    """A client address no other test uses, so rate-limit counters never meet."""
    n = next(_addresses)
    return f"10.{os.getpid() % 250}.{n // 250}.{n % 250}"


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def dead_redis(tp, run):
    """A client of a port nobody listens on: every command is refused at once
    (no reconnection attempts, to keep the tests short)."""
    import redis.asyncio as aioredis
    from redis.asyncio.retry import Retry
    from redis.backoff import NoBackoff

    client = aioredis.Redis(host="127.0.0.1", port=_free_port(), socket_connect_timeout=5,
                            socket_timeout=5, retry=Retry(NoBackoff(), 0))
    yield client
    run(client.aclose())


class StallingListener:
    """Accepts connections and never answers."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.held = []
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.held.append(conn)

    def close(self):
        self.sock.close()
        for conn in self.held:
            conn.close()


@pytest.fixture
def stalling_redis(run):
    """A client of a listener that never answers. Without reconnection attempts,
    so that each command gives up after the 5 s socket time-out (the client's
    default policy would try it three more times)."""
    import redis.asyncio as aioredis
    from redis.asyncio.retry import Retry
    from redis.backoff import NoBackoff

    listener = StallingListener()
    client = aioredis.Redis(host="127.0.0.1", port=listener.port, socket_connect_timeout=5,
                            socket_timeout=5, retry=Retry(NoBackoff(), 0))
    yield client
    listener.close()
    run(client.aclose())


@pytest.fixture
def redis_user(tp, run, redis_admin):
    """Makes clients of a Redis ACL user with the given rules (real error replies
    for the commands the rules deny); the users are removed afterwards."""
    import redis.asyncio as aioredis

    made = []

    def make(*rules):
        name = f"tileport-test-{uuid.uuid4().hex[:8]}"
        password = uuid.uuid4().hex
        run(redis_admin.acl_setuser(name, enabled=True, passwords=["+" + password],
                                    keys=["*"], channels=["*"], commands=list(rules)))
        client = aioredis.Redis(host=tp.redis_host, port=tp.redis_port, db=tp.redis_db,
                                username=name, password=password, socket_timeout=5)
        made.append((name, client))
        return client

    yield make
    for name, client in made:
        run(client.aclose())
        run(redis_admin.acl_deluser(name))


@pytest.fixture
def module_redis(tp, monkeypatch):
    """Points the module's Redis traffic (rate limit and byte cache) at `client`,
    the way a deployment with another Redis would."""

    def use(client):
        monkeypatch.setattr(tp, "redis_client", client)
        monkeypatch.setattr(tp, "cache", tp.BinaryRedisCache(client, namespace="mvt_v8"))

    return use


@pytest.fixture
def tile_log(caplog):
    """The module logger's messages so far, optionally of one level only."""
    caplog.set_level("DEBUG", logger=LOGGER)

    def messages(level=None):
        return [r.getMessage() for r in caplog.records
                if r.name == LOGGER and (level is None or r.levelname == level)]

    return messages


@pytest.fixture(scope="session")
def cadastre():
    """The generated test cadastre (500 parcels), loaded when it is not there."""
    import subprocess

    subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "gen_cadastre.py"),
                    "--parcels", "500", "--if-changed"], check=True, capture_output=True)


@pytest.fixture(scope="session")
def pg(run, cadastre):
    """A plain asyncpg connection of the tests' own, for reading the database."""
    import asyncpg

    conn = run(asyncpg.connect(os.environ["DATABASE_URL"].replace("+asyncpg", "")))
    yield conn
    run(conn.close())


@pytest.fixture(scope="session")
def app(tp):
    from fastapi import FastAPI

    application = FastAPI()
    application.include_router(tp.tileport)
    return application


@pytest.fixture
def get(app, run, client_ip):
    """GET through the ASGI interface as the client `client_ip` (or `client`)."""
    import httpx

    def request(path, client=None):
        address = client_ip if client is None else client
        transport = httpx.ASGITransport(app=app, client=(address, 50000))

        async def send():
            async with httpx.AsyncClient(transport=transport, base_url="http://tiles") as c:
                return await c.get(path)

        return run(send())

    return request
