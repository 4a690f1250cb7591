"""Tile service fixtures: one event loop for the whole run (the module's Redis
client and the database pool belong to the loop that first uses them), the
real Redis and PostGIS, and Redis endpoints that misbehave in known ways."""

import asyncio
import itertools
import os
import socket
import subprocess
import sys
import uuid

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
_addresses = itertools.count(1)


@pytest.fixture(scope="session")
def tp():
    import terrava.tileport as module

    return module


@pytest.fixture(scope="session")
def run():
    loop = asyncio.new_event_loop()
    yield loop.run_until_complete
    loop.close()


@pytest.fixture(scope="session")
def redis_admin(tp, run):
    """A client of the tests' own on the module's Redis."""
    import redis.asyncio as aioredis

    client = aioredis.Redis(host=tp.redis_host, port=tp.redis_port, db=tp.redis_db,
                            password=tp.redis_password, username=tp.redis_username)
    yield client
    run(client.aclose())


@pytest.fixture(scope="session")
def pg(run):
    """The 500-parcel test cadastre (loaded when missing) and a connection to it."""
    import asyncpg

    subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "gen_cadastre.py"),
                    "--parcels", "500", "--if-changed"], check=True, capture_output=True)
    conn = run(asyncpg.connect(os.environ["DATABASE_URL"].replace("+asyncpg", "")))
    yield conn
    run(conn.close())


@pytest.fixture
def client_ip():
    """An address no other test uses, so rate-limit counters never meet."""
    n = next(_addresses)
    return f"10.{os.getpid() % 250}.{n // 250}.{n % 250}"


@pytest.fixture(scope="session")
def app(tp):
    from fastapi import FastAPI

    application = FastAPI()
    application.include_router(tp.tileport)
    return application


@pytest.fixture
def get(app, run, client_ip):
    """GET through the ASGI interface, as client `client_ip` by default."""
    import httpx

    def request(path, client=()):
        address = (client_ip, 50000) if client == () else client
        transport = httpx.ASGITransport(app=app, client=address)

        async def send():
            async with httpx.AsyncClient(transport=transport, base_url="http://tiles") as c:
                return await c.get(path)

        return run(send())

    return request


@pytest.fixture
def tile_log(caplog):
    """The module logger's messages so far, optionally of one level."""
    caplog.set_level("DEBUG", logger="terrava.tileport")
    return lambda level=None: [r.getMessage() for r in caplog.records
                               if r.name == "terrava.tileport" and level in (None, r.levelname)]


@pytest.fixture
def bad_redis(tp, run, redis_admin):
    """Clients that fail: "down" (nobody listens), "stalling" (a listener that
    never answers) or "acl" (a user with the given rules: real error replies).
    Without reconnection attempts, so a command fails after at most the 5 s
    socket time-out (the client's default policy tries three more times)."""
    import redis.asyncio as aioredis
    from redis.asyncio.retry import Retry
    from redis.backoff import NoBackoff

    clients, users, sockets = [], [], []

    def make(kind, *rules):
        options = dict(host="127.0.0.1", socket_connect_timeout=5, socket_timeout=5,
                       retry=Retry(NoBackoff(), 0))
        sockets.append(socket.create_server(("127.0.0.1", 0), backlog=64))
        options["port"] = sockets[-1].getsockname()[1]  # the backlog takes, nobody answers
        if kind == "down":
            sockets.pop().close()
        elif kind == "acl":
            name, password = f"tileport-test-{uuid.uuid4().hex[:8]}", uuid.uuid4().hex
            run(redis_admin.acl_setuser(name, enabled=True, passwords=["+" + password],
                                        keys=["*"], channels=["*"], commands=list(rules)))
            users.append(name)
            options.update(host=tp.redis_host, port=tp.redis_port, db=tp.redis_db,
                           username=name, password=password)
        clients.append(aioredis.Redis(**options))
        return clients[-1]

    yield make
    for client in clients:
        run(client.aclose())
    for name in users:
        run(redis_admin.acl_deluser(name))
    for sock in sockets:
        sock.close()


@pytest.fixture
def module_redis(tp, monkeypatch):
    """Points the module's Redis traffic (rate limit and byte cache) at a client."""

    def use(client):
        monkeypatch.setattr(tp, "redis_client", client)
        monkeypatch.setattr(tp, "cache", tp.BinaryRedisCache(client, namespace="mvt_v8"))

    return use


@pytest.fixture
def statements():
    """Every SQL statement given to the database driver during the test."""
    from sqlalchemy import event
    from sqlalchemy.engine import Engine

    seen = []

    def record(conn, cursor, statement, *args):
        seen.append(statement)

    event.listen(Engine, "before_cursor_execute", record)
    yield seen
    event.remove(Engine, "before_cursor_execute", record)
