"""The serving stack (scripts/serve.sh): Debian's nginx in front of the tile
and plan workers, on free ports in a directory of its own, against a database
of its own ("terrava_serving", so that the table lock below stalls nobody
else) and Redis database 13."""

import gzip
import http.client
import json
import os
import pwd
import secrets
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
from pathlib import Path

import mapbox_vector_tile
import psutil
import pytest
import redis

from pg_support import Database
from process_support import eventually, free_port

ROOT = Path(__file__).resolve().parents[1]
SERVE = str(ROOT / "scripts" / "serve.sh")
REDIS_DB = 13
HALF_WORLD = 20037508.342789244
EMPTY_TILE = "/gis/plots/16/0/0.pbf"  # far from any parcel


class Stack:
    def __init__(self, port, directory, token, db):
        self.port, self.directory, self.token, self.db = port, Path(directory), token, db

    def request(self, path, method="GET", headers=None, source="127.0.0.1", connection=None):
        own = connection is None
        connection = connection or self.connection(source)
        try:
            connection.request(method, path, headers=headers or {})
            response = connection.getresponse()
            return response.status, {k.lower(): v for k, v in response.getheaders()}, response.read()
        finally:
            if own:
                connection.close()

    def connection(self, source="127.0.0.1"):
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=120, source_address=(source, 0))

    def invalidate(self, target, token=True):
        headers = {"X-Operator-Token": self.token} if token else {}
        return self.request(f"/gis/cache/invalidate/{target}", "POST", headers)

    def status(self):
        return json.loads((self.directory / "status.json").read_text())

    def process(self, name):
        return next(p for p in self.status()["processes"] if p["name"] == name)

    def warm(self, path):
        """Asks for `path` until the edge answers it; gives that answer."""
        for _ in range(4):
            status, headers, body = self.request(path)
            assert status == 200, (path, status)
            if headers.get("x-edge-cache") == "HIT":
                return headers, body
        raise AssertionError(f"{path} never came from the edge")


def tile_of(x, y, z):
    n = 2 ** z
    return int((x + HALF_WORLD) / (2 * HALF_WORLD) * n), int((HALF_WORLD - y) / (2 * HALF_WORLD) * n)


@pytest.fixture(scope="module")
def stack(services):
    env = dict(os.environ, REDIS_DB=str(REDIS_DB))
    url = subprocess.run([str(ROOT / "scripts" / "data_db.sh"), "terrava_serving", "300"], env=env, check=True,
                         stdout=subprocess.PIPE, text=True, timeout=300).stdout.splitlines()[-1]
    client = redis.Redis(host=os.environ.get("REDIS_HOST", "127.0.0.1"), port=int(os.environ["REDIS_PORT"]),
                         db=REDIS_DB)
    client.flushdb()
    client.close()
    directory = tempfile.mkdtemp(prefix="terrava-serve-")
    os.chmod(directory, 0o755)  # nginx's own user keeps its sockets and cache in there
    token = secrets.token_hex(8)
    port = free_port()
    env.update(TERRAVA_SERVE_DIR=directory, SERVE_PORT=str(port), DATABASE_URL=url, TERRAVA_OPERATOR_TOKEN=token,
               TERRAVA_WORKERS="1", TERRAVA_PLAN_WORKERS="2", LOG_LEVEL="WARNING")
    for name in ("TERRAVA_EDGE_CACHE", "TERRAVA_TRUSTED_PROXIES", "TERRAVA_STATIC_DIR", "SERVE_HOST"):
        env.pop(name, None)
    db = Database(url)
    try:
        subprocess.run([SERVE, "start"], env=env, check=True, timeout=300)
        yield Stack(port, directory, token, db)
    finally:
        subprocess.run([SERVE, "stop"], env=env, timeout=120)
        db.close()
        shutil.rmtree(directory, ignore_errors=True)


@pytest.fixture(scope="module")
def parcel(stack):
    """A parcel, its number and the path of its z16 tile."""
    row = stack.db.fetch('SELECT "ID" AS id, "PLOT_NO" AS plot_no, ST_X(p) AS x, ST_Y(p) AS y FROM '
                         '(SELECT "ID", "PLOT_NO", ST_PointOnSurface("GEOMETRY") AS p FROM "GIS"."PLOT" '
                         'ORDER BY "ID" LIMIT 1) AS s')[0]
    x, y = tile_of(row["x"], row["y"], 16)
    return {"id": row["id"], "plot_no": row["plot_no"], "tile": f"/gis/plots/16/{x}/{y}.pbf"}


def plot_numbers(body):
    return {f["properties"]["PLOT_NO"] for f in mapbox_vector_tile.decode(body)["plots"]["features"]}


# ---------------------------------------------------------------- routing


@pytest.mark.parametrize("path, worker", [
    ("/plans/deed/{id}", "plan-"),
    ("/plans/site/{id}", "plan-"),
    ("{tile}", "tile-"),
    ("/gis/layers/", "tile-"),
    ("/tilejson/plots.json", "tile-"),
    ("/static/map.html", None),
])
def test_routing(stack, parcel, path, worker):
    status, headers, body = stack.request(path.format(**parcel))
    assert status == 200
    if worker is None:
        assert "x-worker" not in headers
    else:
        assert headers["x-worker"].startswith(worker)
    if path.startswith("/plans/"):
        assert body.startswith(b"%PDF")


@pytest.mark.parametrize("path", ["{tile}", "/gis/layers/", "/openapi.json"])
def test_gzip_only_when_asked(stack, parcel, path):
    path = path.format(**parcel)
    stack.request(path)
    status, plain_headers, plain = stack.request(path)
    assert status == 200 and "content-encoding" not in plain_headers
    status, headers, packed = stack.request(path, headers={"Accept-Encoding": "gzip"})
    assert status == 200 and headers["content-encoding"] == "gzip"
    assert gzip.decompress(packed) == plain
    assert "Accept-Encoding" in headers["vary"] and "Accept-Encoding" in plain_headers["vary"]


# ---------------------------------------------------------------- the edge


def test_edge_answers_what_the_service_marks_public(stack, parcel):
    assert stack.invalidate("plots")[0] == 200
    for _ in range(3):
        status, headers, body = stack.request(parcel["tile"])
        assert status == 200
        if headers.get("cache-control", "").startswith("public, max-age="):
            break
        # not marked public: not stored, the next one goes to the worker again
        assert headers["x-edge-cache"] != "HIT" and headers["x-worker"] == "tile-1"
    else:
        raise AssertionError("the tile service never marked the tile public")
    # nginx files the stored answer once the worker's answer is complete, which
    # can be a moment after the client has it all: a request that another
    # nginx worker takes in that moment still goes to the tile worker.
    for _ in range(3):
        status, hit_headers, hit = stack.request(parcel["tile"])
        assert (status, hit) == (200, body)
        if hit_headers["x-edge-cache"] == "HIT":
            break
        assert hit_headers["x-worker"] == "tile-1"
    assert hit_headers["x-edge-cache"] == "HIT"
    assert "x-worker" not in hit_headers  # no worker was asked
    assert hit_headers["cache-control"] == headers["cache-control"]


@pytest.mark.parametrize("path, status", [
    (EMPTY_TILE, 204),
    ("/gis/nowhere/16/1/1.pbf", 404),
    ("/gis/plots/2/9/9.pbf", 400),
])
def test_edge_stores_no_other_answer(stack, path, status):
    for _ in range(3):
        answer, headers, _ = stack.request(path)
        assert answer == status
        assert headers["x-edge-cache"] != "HIT" and headers["x-worker"] == "tile-1"


@pytest.mark.parametrize("target", ["plots", "all"])
def test_invalidation_empties_the_edge(stack, parcel, target):
    stack.invalidate("all")
    _, stale = stack.warm(parcel["tile"])
    assert parcel["plot_no"] in plot_numbers(stale)
    renamed = f"R{secrets.token_hex(3)}"
    stack.db.execute('UPDATE "GIS"."PLOT" SET "PLOT_NO" = $1 WHERE "ID" = $2', renamed, parcel["id"])
    try:
        _, headers, body = stack.request(parcel["tile"])
        assert (headers["x-edge-cache"], body) == ("HIT", stale)  # what an invalidation is for
        status, _, answer = stack.invalidate(target)
        assert status == 200, answer
        status, headers, body = stack.request(parcel["tile"])
        assert status == 200 and headers["x-edge-cache"] != "HIT"
        assert renamed in plot_numbers(body)
    finally:
        stack.db.execute('UPDATE "GIS"."PLOT" SET "PLOT_NO" = $1 WHERE "ID" = $2', parcel["plot_no"], parcel["id"])
        stack.invalidate("all")


@pytest.mark.parametrize("target, token, answer", [("roads", True, 200), ("plots", False, 403)])
def test_edge_kept_by_other_invalidations(stack, parcel, target, token, answer):
    _, body = stack.warm(parcel["tile"])
    assert stack.invalidate(target, token)[0] == answer
    status, headers, again = stack.request(parcel["tile"])
    assert (status, headers["x-edge-cache"], again) == (200, "HIT", body)


# ---------------------------------------------------------------- client addresses


def bbox_path(stack):
    row = stack.db.fetch('SELECT ST_XMin(e) AS x, ST_YMin(e) AS y FROM '
                         '(SELECT ST_Extent("GEOMETRY") AS e FROM "GIS"."PLOT") AS s')[0]
    x, y = int(row["x"]), int(row["y"])
    return f"/gis/plots/bbox/?minx={x}&miny={y}&maxx={x + 300}&maxy={y + 300}&srid=3857"


@pytest.mark.parametrize("forged", ["{b}", "{b}, 127.0.0.1"])
@pytest.mark.parametrize("answered_by", ["edge", "worker"])
def test_limit_per_client_address(stack, parcel, answered_by, forged):
    """Client A runs into its limit while naming client B in X-Forwarded-For;
    B is still answered: nginx took A's own address, and the workers the one
    nginx gave them. Tiles from the edge are limited by nginx (40 a second),
    bounding-box tiles by the workers (20 a second)."""
    case = 2 * ["edge", "worker"].index(answered_by) + ["{b}", "{b}, 127.0.0.1"].index(forged)
    a, b = f"127.0.0.{20 + case}", f"127.0.0.{40 + case}"
    path = parcel["tile"] if answered_by == "edge" else bbox_path(stack)
    if answered_by == "edge":
        stack.warm(path)
    connection = stack.connection(a)
    try:
        statuses = []
        while 429 not in statuses and len(statuses) < 1000:
            statuses.append(stack.request(path, headers={"X-Forwarded-For": forged.format(b=b)},
                                          connection=connection)[0])
    finally:
        connection.close()
    assert 429 in statuses and set(statuses) <= {200, 429}
    assert stack.request(path, source=b)[0] == 200


def connect_as_nobody(path):
    """What a local program of another user gets when it connects to the
    Unix socket `path`: "connected", "refused" (no permission) or "failed"."""
    nobody = pwd.getpwnam("nobody")
    child = os.fork()
    if child == 0:
        code = 2
        try:
            os.setgroups([])
            os.setgid(nobody.pw_gid)
            os.setuid(nobody.pw_uid)
            socket.socket(socket.AF_UNIX).connect(path)
            code = 0
        except PermissionError:
            code = 1
        finally:
            os._exit(code)
    _, status = os.waitpid(child, 0)
    return ["connected", "refused", "failed"][os.waitstatus_to_exitcode(status)]


@pytest.mark.skipif(os.geteuid() != 0, reason="needs another user to try the sockets")
def test_workers_reachable_only_through_nginx(stack):
    status = stack.status()
    sockets = [p["socket"] for p in status["processes"] if p["socket"]]
    sockets.append(str(Path(status["edge"]) / "run" / "invalidation.sock"))
    for path in sockets:
        assert os.path.exists(path)
        assert connect_as_nobody(path) == "refused", path
    for p in status["processes"]:
        if p["name"] != "nginx":
            listening = [c for c in psutil.Process(p["pid"]).net_connections("inet")
                         if c.status == psutil.CONN_LISTEN]
            assert listening == [], p["name"]


# ---------------------------------------------------------------- faults


def plans_waiting(stack, count):
    rows = stack.db.fetch("SELECT count(*) AS n FROM pg_stat_activity WHERE datname = $1 "
                          "AND wait_event_type = 'Lock' AND pid <> pg_backend_pid()", stack.db.name)
    return rows[0]["n"] >= count


def test_plan_worker_killed_mid_plan(stack, parcel):
    """Two plans wait for a lock on the parcels, one in each plan worker;
    plan-1 is killed: its client gets nginx's 502, the other plan and the tiles
    are answered, and a new plan-1 takes the killed one's place."""
    _, tile = stack.warm(parcel["tile"])
    killed = stack.process("plan-1")["pid"]
    holder = stack.db.connect()
    answers = []
    try:
        stack.db.execute("BEGIN", connection=holder)
        stack.db.execute('LOCK TABLE "GIS"."PLOT" IN ACCESS EXCLUSIVE MODE', connection=holder)
        threads = [threading.Thread(target=lambda: answers.append(stack.request(f"/plans/deed/{parcel['id']}")))
                   for _ in range(2)]
        for thread in threads:
            thread.start()
        eventually(lambda: plans_waiting(stack, 2), "both plans waiting for the lock")
        os.kill(killed, signal.SIGKILL)
        eventually(lambda: len(answers) == 1, "the killed worker's client answered")
        status, headers, body = stack.request(parcel["tile"])
        assert (status, headers["x-edge-cache"], body) == (200, "HIT", tile)
        status, headers, _ = stack.request("/gis/layers/")
        assert (status, headers["x-worker"]) == (200, "tile-1")
    finally:
        stack.db.execute("ROLLBACK", connection=holder)
        stack.db.run(holder.close())
    for thread in threads:
        thread.join(120)
    failed, served = answers
    assert failed[0] == 502 and json.loads(failed[2])["detail"]
    assert (served[0], served[1]["x-worker"]) == (200, "plan-2") and served[2].startswith(b"%PDF")

    eventually(lambda: stack.process("plan-1")["ready"] and stack.process("plan-1")["pid"] not in (None, killed),
               "plan-1 replaced")
    assert stack.process("plan-1")["restarts"] == 1

    def from_plan_1():
        status, headers, body = stack.request(f"/plans/site/{parcel['id']}")
        assert status == 200 and body.startswith(b"%PDF")
        return headers["x-worker"] == "plan-1"

    eventually(from_plan_1, "a plan answered by the new plan-1")


class Load:
    """Tiles from the edge and from the tile worker, asked one after the
    other on new connections until stopped, from addresses taken in turn (so
    that none comes near its limit); every answer's status, or the connection
    error."""

    def __init__(self, stack, tile):
        self.stack, self.paths, self.results = stack, [tile, "/gis/layers/"], []
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.run)
        self.thread.start()

    def run(self):
        sent = 0
        while not self.done.is_set():
            for path in self.paths:
                sent += 1
                try:
                    status, headers, _ = self.stack.request(path, source=f"127.0.1.{sent % 250 + 1}")
                    self.results.append((path, status, headers.get("x-worker")))
                except OSError as error:
                    self.results.append((path, type(error).__name__, None))

    def answers_after(self, count):
        start = len(self.results)
        eventually(lambda: len(self.results) >= start + count, f"{count} more answers")
        return self.results[start:]

    def stop(self):
        self.done.set()
        self.thread.join(60)


def nginx_reloads(stack):
    return (stack.directory / "logs" / "supervisor.log").read_text().count("nginx reloaded")


def test_nginx_reloaded_under_load(stack, parcel):
    stack.warm(parcel["tile"])
    tile_worker, nginx = stack.process("tile-1")["pid"], stack.process("nginx")["pid"]
    reloads = nginx_reloads(stack)
    load = Load(stack, parcel["tile"])
    try:
        load.answers_after(20)
        subprocess.run([SERVE, "reload"], env=dict(os.environ, TERRAVA_SERVE_DIR=str(stack.directory)), check=True)
        eventually(lambda: nginx_reloads(stack) > reloads, "nginx reloaded")
        load.answers_after(20)
    finally:
        load.stop()
    assert {status for _, status, _ in load.results} == {200}
    assert (stack.process("tile-1")["pid"], stack.process("nginx")["pid"]) == (tile_worker, nginx)


def test_nginx_killed_under_load(stack, parcel):
    stack.warm(parcel["tile"])
    tile_worker, nginx = stack.process("tile-1"), stack.process("nginx")
    load = Load(stack, parcel["tile"])
    try:
        load.answers_after(20)
        os.kill(nginx["pid"], signal.SIGKILL)
        eventually(lambda: stack.process("nginx")["ready"] and stack.process("nginx")["pid"] != nginx["pid"],
                   "nginx started again")
        # the first may have been sent before the new nginx listened
        after = load.answers_after(40)[-30:]
    finally:
        load.stop()
    assert {status for _, status, _ in after} == {200}
    assert {worker for path, _, worker in after if path == "/gis/layers/"} == {"tile-1"}
    assert stack.process("nginx")["restarts"] == nginx["restarts"] + 1
    assert stack.process("tile-1") == tile_worker  # same process, never restarted
