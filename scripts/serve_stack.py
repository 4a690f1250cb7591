"""The registry's serving stack on one machine, kept running.

    python3 scripts/serve_stack.py      (scripts/serve.sh starts it)

One process supervises:

- tile workers: TERRAVA_WORKERS uvicorn processes (uvloop, httptools) of
  host/app.py, each on a Unix socket of its own;
- plan workers: TERRAVA_PLAN_WORKERS more of the same app (default 2), which
  nginx sends /plans/ to, so that a plan, which holds its worker's event loop
  for about a second, never stalls a tile; they run at a lower CPU priority
  (nice TERRAVA_PLAN_NICE, default 10), so that where the cores are all busy
  a plan waits rather than the tiles;
- nginx (Debian's), on SERVE_HOST:SERVE_PORT (127.0.0.1:8000), in front of
  them, with the edge cache of tiles (scripts/serve_nginx.conf);
- the invalidation relay, a Unix socket of this process that nginx sends
  /gis/cache/ to: it passes the request to a tile worker and, when the
  workers answer 200, empties the edge of that layer (or of all) before it
  answers, so that after an invalidation answered 200 no tile stored before
  it is ever served from the edge.

A process that exits is started again (after 0.5 s, doubled for each quick
exit in a row up to 30 s). A worker's listening socket belongs to this
process and is handed to each worker process in turn, so a request sent
while a worker is being replaced waits for the new one instead of being
refused; what the dead process was answering gets an error. The sockets' directory is open to nginx's workers
only (root and group www-data when run as root; the owner otherwise): a
local program that is not nginx cannot reach a worker, and nginx sets
X-Forwarded-For to the address of its own client, so the workers can take
that header on trust.

The edge keys every tile by a generation of its layer, its form (gzipped
for clients that accept gzip, as it is for the others) and the tile's path;
an invalidation raises the generation (in the stack's directory,
edge/generation.conf) and reloads nginx, which starts workers with the new
generations while the old ones finish what they are answering. An entry
stored by an answer that began before the invalidation is under the old
generation and is never read again.

Settings (environment): TERRAVA_SERVE_DIR (the stack's directory, default
.services/serve), SERVE_HOST, SERVE_PORT, TERRAVA_WORKERS,
TERRAVA_PLAN_WORKERS, TERRAVA_PLAN_NICE, TERRAVA_EDGE_CACHE (0: no edge
cache), TERRAVA_TRUSTED_PROXIES (addresses or networks in front of nginx
whose X-Forwarded-For it believes; none by default), TERRAVA_STATIC_DIR
(what /static/ serves, default host/static), PYTHON; the app's own (DATABASE_URL, REDIS_*, TERRAVA_OPERATOR_TOKEN, ...) go
to the workers as they are. Plan workers get a database pool of 4 + 4
connections (DB_POOL_SIZE, DB_MAX_OVERFLOW), tile workers the app's default.
TERRAVA_TILE_DATABASE_URL, when set, is the tile workers' DATABASE_URL (a
read replica, say), while the plan workers keep DATABASE_URL (the primary).

The state of the processes is written to status.json in the stack's
directory; SIGTERM or SIGINT stops everything, SIGHUP reloads nginx.
"""

import asyncio
import ctypes
import hashlib
import ipaddress
import json
import logging
import os
import pwd
import re
import shutil
import signal
import socket as socketlib
import subprocess
import sys
import time
from http import HTTPStatus
from pathlib import Path

import h11

ROOT = Path(__file__).resolve().parents[1]
HOST_DIR = ROOT / "host"
TEMPLATE = ROOT / "scripts" / "serve_nginx.conf"
NGINX = shutil.which("nginx") or "/usr/sbin/nginx"
# The user nginx's workers run as when the stack runs as root.
EDGE_USER = "www-data"
PLAN_POOL = {"DB_POOL_SIZE": "4", "DB_MAX_OVERFLOW": "4"}
LAYER_NAME = re.compile(r"^[A-Za-z0-9_-]{1,64}$")
INVALIDATION = "/gis/cache/invalidate/"
HOP_BY_HOP = {b"connection", b"keep-alive", b"transfer-encoding", b"te", b"trailer", b"upgrade",
              b"proxy-connection", b"content-length"}

log = logging.getLogger("serve")


def positive(name, default):
    value = os.environ.get(name, str(default))
    if not re.fullmatch(r"[1-9][0-9]*", value):
        sys.exit(f"serve: {name} must be a positive number: {value!r}")
    return int(value)


class Settings:
    def __init__(self):
        self.state = Path(os.environ.get("TERRAVA_SERVE_DIR") or ROOT / ".services" / "serve").resolve()
        self.host = os.environ.get("SERVE_HOST", "127.0.0.1")
        self.port = positive("SERVE_PORT", 8000)
        self.tile_workers = positive("TERRAVA_WORKERS", 1)
        self.plan_workers = positive("TERRAVA_PLAN_WORKERS", 2)
        nice = os.environ.get("TERRAVA_PLAN_NICE", "10")
        if not re.fullmatch(r"[0-9]|1[0-9]", nice):
            sys.exit(f"serve: TERRAVA_PLAN_NICE must be 0 to 19: {nice!r}")
        self.plan_nice = int(nice)
        self.edge_cache = os.environ.get("TERRAVA_EDGE_CACHE", "1") not in ("0", "off", "no", "")
        self.trusted = []
        for item in os.environ.get("TERRAVA_TRUSTED_PROXIES", "").replace(",", " ").split():
            try:
                self.trusted.append(str(ipaddress.ip_network(item, strict=False)))
            except ValueError:
                sys.exit(f"serve: TERRAVA_TRUSTED_PROXIES: not an address or network: {item!r}")
        self.static = Path(os.environ.get("TERRAVA_STATIC_DIR") or HOST_DIR / "static").resolve()
        self.python = os.environ.get("PYTHON") or sys.executable
        self.logs = self.state / "logs"
        self.as_root = os.geteuid() == 0
        self.edge = edge_directory(self.state, self.as_root)
        self.run = self.edge / "run"


def reachable_by(user, path):
    """True when `user` can traverse to `path`."""
    return subprocess.run(["runuser", "-u", user, "--", "test", "-x", str(path)],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


def edge_directory(state, as_root):
    """Where nginx's workers keep their sockets, cache and buffers: the
    stack's directory, or, when nginx's user cannot reach it (a project
    directory closed to others), a directory in /tmp named after it. A Unix
    socket's path is limited to 107 bytes."""
    edge = state / "edge"
    if not as_root:
        return edge
    edge.mkdir(parents=True, exist_ok=True)
    if len(str(edge / "run" / "invalidation.sock")) <= 100 and reachable_by(EDGE_USER, edge):
        return edge
    tag = hashlib.sha1(str(state).encode()).hexdigest()[:12]
    return Path(f"/tmp/terrava-edge-{tag}")


# ---------------------------------------------------------------- HTTP over Unix sockets

async def read_message(connection, reader, limit=1 << 20):
    """The next request or response on an h11 connection, with its body."""
    head, body = None, bytearray()
    while True:
        event = connection.next_event()
        if event is h11.NEED_DATA:
            data = await reader.read(65536)
            connection.receive_data(data)
            continue
        if isinstance(event, (h11.Request, h11.Response)):
            head = event
        elif isinstance(event, h11.Data):
            body += event.data
            if len(body) > limit:
                raise ValueError("message too large")
        elif isinstance(event, h11.EndOfMessage):
            return head, bytes(body)
        elif isinstance(event, h11.ConnectionClosed):
            raise ConnectionError("closed before the end of the message")


async def unix_request(path, method, target, headers, body=b"", timeout=120.0):
    """One HTTP/1.1 exchange over the Unix socket `path`: (status, headers, body)."""
    reader, writer = await asyncio.wait_for(asyncio.open_unix_connection(path), 5.0)
    try:
        connection = h11.Connection(h11.CLIENT)
        headers = [(n, v) for n, v in headers if n.lower() not in HOP_BY_HOP]
        headers += [(b"content-length", str(len(body)).encode()), (b"connection", b"close")]
        writer.write(connection.send(h11.Request(method=method, target=target, headers=headers)))
        if body:
            writer.write(connection.send(h11.Data(data=body)))
        writer.write(connection.send(h11.EndOfMessage()))
        await writer.drain()
        response, content = await asyncio.wait_for(read_message(connection, reader, 64 << 20), timeout)
        return response.status_code, list(response.headers), content
    finally:
        writer.close()


# ---------------------------------------------------------------- processes

def before_exec(nice):
    """What a child does before exec: SIGTERM when the supervisor is gone,
    so that no worker outlives it, and its CPU priority lowered by `nice`."""

    def prepare():
        ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
        if nice:
            os.nice(nice)

    return prepare


class Child:
    def __init__(self, name, argv, log_path, env=None, cwd=None, socket=None, nice=0):
        self.name, self.argv, self.log_path = name, argv, log_path
        self.env, self.cwd, self.socket, self.nice = env, cwd, socket, nice
        self.listener = None
        self.leftover = None
        self.process = None
        self.restarts = 0
        self.quick_exits = 0
        self.started = 0.0
        self.ready = False
        self.restart_at = None

    def listen(self):
        """The worker's listening socket, made here and handed to every
        process that serves it in turn: while a worker is being replaced,
        connections wait in its backlog instead of being refused."""
        if os.path.exists(self.socket):
            os.unlink(self.socket)
        self.listener = socketlib.socket(socketlib.AF_UNIX, socketlib.SOCK_STREAM)
        self.listener.bind(self.socket)
        os.chmod(self.socket, 0o666)  # the directory decides who reaches it
        self.listener.listen(1024)

    def spawn(self):
        if self.leftover and os.path.exists(self.leftover):
            os.unlink(self.leftover)
        argv, fds = self.argv, ()
        if self.listener is not None:
            argv, fds = argv + ["--fd", str(self.listener.fileno())], (self.listener.fileno(),)
        with open(self.log_path, "ab") as out:
            self.process = subprocess.Popen(
                argv, cwd=self.cwd, env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                stderr=subprocess.STDOUT, start_new_session=True, pass_fds=fds,
                preexec_fn=before_exec(self.nice))
        self.started = time.monotonic()
        self.ready = False
        self.restart_at = None
        log.info("%s started, pid %d", self.name, self.process.pid)

    @property
    def pid(self):
        return self.process.pid if self.process else None

    def running(self):
        return self.process is not None and self.process.poll() is None

    def kill_group(self, sig):
        """`sig` to the child's process group (the child and anything it
        started: nginx's workers outlive a killed master otherwise)."""
        if self.process is None:
            return
        try:
            os.killpg(self.process.pid, sig)
        except ProcessLookupError:
            pass

    def describe(self):
        return {"name": self.name, "pid": self.pid if self.running() else None, "ready": self.ready,
                "restarts": self.restarts, "socket": self.socket}


def nginx_workers(master):
    """pids of the workers of nginx master `master` that accept requests (not
    those shutting down after a reload)."""
    found = set()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                stat = f.read()
            ppid = int(stat[stat.rindex(b")") + 2:].split()[1])
            if ppid != master:
                continue
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                title = f.read().rstrip(b"\0 ")
        except (OSError, ValueError):
            continue
        if title.startswith(b"nginx: worker process") and b"shutting down" not in title:
            found.add(int(entry))
    return found


class EdgeError(Exception):
    pass


class Stack:
    def __init__(self, settings):
        self.s = settings
        self.stopping = False
        self.wake = asyncio.Event()
        self.nginx_lock = asyncio.Lock()
        self.next_worker = 0
        self.generation_file = self.s.edge / "generation.json"
        env = dict(os.environ)
        env.pop("TERRAVA_SERVE_DIR", None)
        tile_env = dict(env)
        if env.get("TERRAVA_TILE_DATABASE_URL"):
            tile_env["DATABASE_URL"] = env["TERRAVA_TILE_DATABASE_URL"]
        self.tiles = [self.worker(f"tile-{i}", tile_env) for i in range(1, self.s.tile_workers + 1)]
        self.plans = [self.worker(f"plan-{i}", dict(env, **PLAN_POOL), nice=self.s.plan_nice)
                      for i in range(1, self.s.plan_workers + 1)]
        self.nginx = Child("nginx", [NGINX, "-p", str(self.s.state), "-c", str(self.s.state / "nginx.conf"),
                                     "-e", str(self.s.logs / "nginx-error.log")],
                           self.s.logs / "nginx.log", cwd=str(self.s.state))
        # nginx's own socket, which a killed master leaves behind
        self.nginx.leftover = self.s.run / "edge-fill.sock"
        self.children = self.tiles + self.plans + [self.nginx]

    def worker(self, name, env, nice=0):
        socket = str(self.s.run / f"{name}.sock")
        argv = [self.s.python, "-m", "uvicorn", "app:app", "--loop", "uvloop", "--http", "httptools",
                # Only nginx (and the relay) can reach the socket, and nginx
                # replaces X-Forwarded-For with its own client's address.
                "--proxy-headers", "--forwarded-allow-ips", "*",
                "--timeout-keep-alive", "75", "--timeout-graceful-shutdown", "15",
                "--no-access-log", "--log-level", "warning"]
        return Child(name, argv, self.s.logs / f"{name}.log", env=env, cwd=str(HOST_DIR), socket=socket,
                     nice=nice)

    # ------------------------------------------------------------ files

    def prepare(self, fresh):
        s = self.s
        s.logs.mkdir(parents=True, exist_ok=True)
        s.edge.mkdir(parents=True, exist_ok=True)
        if fresh:
            # Entries on disk from an earlier run: nothing says they are
            # still current, and nginx would load them back.
            shutil.rmtree(s.edge / "cache", ignore_errors=True)
        for name in ("body", "proxy", "fastcgi", "uwsgi", "scgi"):
            (s.edge / "tmp" / name).mkdir(parents=True, exist_ok=True)
        s.run.mkdir(parents=True, exist_ok=True)
        if s.as_root:
            edge = pwd.getpwnam(EDGE_USER)
            os.chown(s.edge, 0, edge.pw_gid)
            os.chmod(s.edge, 0o750)
            os.chown(s.run, 0, edge.pw_gid)
            os.chmod(s.run, 0o750)
        else:
            os.chmod(s.edge, 0o700)
            os.chmod(s.run, 0o700)
        self.write_generations(self.read_generations())
        self.write_config()

    def read_generations(self):
        try:
            state = json.loads(self.generation_file.read_text())
            if isinstance(state.get("counter"), int) and isinstance(state.get("layers"), dict):
                return state
        except (OSError, ValueError):
            pass
        # Start above anything an earlier run can have used.
        return {"counter": int(time.time()), "default": int(time.time()), "layers": {}}

    def write_generations(self, state):
        lines = [f"default {state['default']};"]
        lines += [f"{layer} {value};" for layer, value in sorted(state["layers"].items())]
        for path, text in ((self.s.edge / "generation.conf", "\n".join(lines) + "\n"),
                           (self.generation_file, json.dumps(state))):
            temporary = path.with_name(path.name + ".tmp")
            temporary.write_text(text)
            os.replace(temporary, path)

    def write_config(self):
        s = self.s
        values = {
            "user": f"user {EDGE_USER};" if s.as_root else "",
            "state": str(s.state), "logs": str(s.logs), "edge": str(s.edge), "run": str(s.run),
            "static": str(s.static), "listen": f"{s.host}:{s.port}",
            "real_ip": "\n".join([f"    set_real_ip_from {net};" for net in s.trusted]
                                 + (["    real_ip_header X-Forwarded-For;", "    real_ip_recursive on;"]
                                    if s.trusted else [])),
            "tile_servers": "\n".join(f'        server "unix:{c.socket}" max_fails=1 fail_timeout=5s;'
                                      for c in self.tiles),
            "plan_servers": "\n".join(f'        server "unix:{c.socket}" max_fails=1 fail_timeout=5s;'
                                      for c in self.plans),
            "edge_cache": "\n".join(f"            {line}" for line in (
                "proxy_cache edge;",
                'proxy_cache_key "$edge_generation $edge_encoding $uri";',
                "proxy_no_cache $edge_uncacheable;",
            )) if s.edge_cache else "            proxy_cache off;",
        }

        def value(match):
            return values[match.group(1)]

        text = re.sub(r"\{\{(\w+)\}\}", value, TEMPLATE.read_text())
        target = s.state / "nginx.conf"
        temporary = target.with_name("nginx.conf.tmp")
        temporary.write_text(text)
        os.replace(temporary, target)

    def write_status(self):
        status = {"pid": os.getpid(), "url": f"http://{self.s.host}:{self.s.port}/",
                  "ready": all(c.ready for c in self.children), "edge": str(self.s.edge),
                  "edge_cache": self.s.edge_cache,
                  "processes": [c.describe() for c in self.children]}
        path = self.s.state / "status.json"
        temporary = path.with_name("status.json.tmp")
        temporary.write_text(json.dumps(status, indent=1))
        os.replace(temporary, path)

    # ------------------------------------------------------------ nginx

    async def nginx_test(self):
        process = await asyncio.create_subprocess_exec(
            NGINX, "-t", "-q", "-p", str(self.s.state), "-c", str(self.s.state / "nginx.conf"),
            "-e", str(self.s.logs / "nginx-error.log"),
            stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.STDOUT)
        output, _ = await process.communicate()
        if process.returncode != 0:
            raise EdgeError(f"nginx refuses its configuration: {output.decode(errors='replace').strip()}")

    async def reload_nginx(self, timeout=30.0):
        """Reloads nginx and returns once every worker that accepts requests
        runs the new configuration."""
        await self.nginx_test()
        if not self.nginx.running():
            raise EdgeError("nginx is not running")
        master = self.nginx.pid
        old = nginx_workers(master)
        os.kill(master, signal.SIGHUP)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if not self.nginx.running() or self.nginx.pid != master:
                raise EdgeError("nginx exited during its reload")
            current = nginx_workers(master)
            if current and not current & old:
                return
            await asyncio.sleep(0.01)
        raise EdgeError("nginx did not take up its new configuration in time")

    async def drop_edge(self, layer):
        """Raises the generation of `layer` (None: of every layer) and reloads
        nginx with it."""
        async with self.nginx_lock:
            state = self.read_generations()
            state["counter"] += 1
            if layer is None:
                state["default"] = state["counter"]
                state["layers"] = {}
            else:
                state["layers"][layer] = state["counter"]
            self.write_generations(state)
            await self.reload_nginx()
        log.info("edge emptied of %s (generation %d)", layer or "every layer", state["counter"])

    # ------------------------------------------------------------ the relay

    async def relay(self, reader, writer):
        """One request from nginx under /gis/cache/: to a tile worker, and,
        for an invalidation the workers answered 200, the edge emptied first."""
        connection = h11.Connection(h11.SERVER)
        try:
            request, body = await asyncio.wait_for(read_message(connection, reader), 30.0)
            status, headers, content = await self.to_tile_worker(request, body)
            if (request.method == b"POST" and status == 200 and self.s.edge_cache
                    and request.target.startswith(INVALIDATION.encode())):
                try:
                    await self.drop_edge(invalidated_layer(content))
                except EdgeError as error:
                    log.error("edge not emptied after an invalidation: %s", error)
                    status, headers = 503, [(b"content-type", b"application/json")]
                    content = json.dumps({"detail": "The tile cache was invalidated, the edge cache "
                                                    "could not be emptied: invalidate again"}).encode()
            headers = [(n, v) for n, v in headers if n.lower() not in HOP_BY_HOP]
            headers += [(b"content-length", str(len(content)).encode()), (b"connection", b"close")]
            writer.write(connection.send(h11.Response(status_code=status, headers=headers,
                                                      reason=reason(status))))
            writer.write(connection.send(h11.Data(data=content)))
            writer.write(connection.send(h11.EndOfMessage()))
            await writer.drain()
        except Exception as error:  # a broken request or connection: nothing to answer
            log.warning("relay: %s: %s", type(error).__name__, error)
        finally:
            writer.close()

    async def to_tile_worker(self, request, body):
        """The request answered by a tile worker that is up, the next one in
        turn first; 502 when none answers."""
        order = self.tiles[self.next_worker:] + self.tiles[:self.next_worker]
        self.next_worker = (self.next_worker + 1) % len(self.tiles)
        for child in order:
            try:
                return await unix_request(child.socket, request.method, request.target,
                                          list(request.headers), body)
            except (OSError, asyncio.TimeoutError, h11.ProtocolError, ConnectionError) as error:
                log.warning("relay: %s did not answer: %s", child.name, error)
        return 502, [(b"content-type", b"application/json")], b'{"detail":"The worker did not answer"}'

    # ------------------------------------------------------------ supervision

    async def probe(self, child):
        """Marks `child` ready once it answers."""
        started = child.process
        while not self.stopping and child.process is started and child.running():
            try:
                if child is self.nginx:
                    _, writer = await asyncio.wait_for(asyncio.open_connection(self.s.host, self.s.port), 2)
                    writer.close()
                else:
                    status, _, _ = await unix_request(child.socket, b"GET", b"/gis/layers/",
                                                      [(b"host", b"localhost")], timeout=10)
                    if status != 200:
                        raise ConnectionError(f"answered {status}")
                child.ready = True
                log.info("%s ready", child.name)
                self.write_status()
                return
            except (OSError, asyncio.TimeoutError, h11.ProtocolError, ConnectionError):
                await asyncio.sleep(0.2)

    def start(self, child):
        child.spawn()
        asyncio.get_running_loop().create_task(self.probe(child))
        self.write_status()

    def exited(self, child):
        code = child.process.returncode
        lived = time.monotonic() - child.started
        child.quick_exits = child.quick_exits + 1 if lived < 10 else 0
        delay = min(30.0, 0.5 * 2 ** max(0, child.quick_exits - 1)) if child.quick_exits else 0.5
        log.warning("%s (pid %d) exited with %s after %.1f s; starting it again in %.1f s",
                    child.name, child.pid, code, lived, delay)
        if child is self.nginx:
            child.kill_group(signal.SIGKILL)  # its workers, if the master alone died
        child.ready = False
        child.restart_at = time.monotonic() + delay
        self.write_status()

    async def supervise(self):
        while not self.stopping:
            now = time.monotonic()
            for child in self.children:
                if child.restart_at is None and not child.running():
                    self.exited(child)
                elif child.restart_at is not None and now >= child.restart_at:
                    child.restarts += 1
                    if child is self.nginx:
                        async with self.nginx_lock:
                            self.start(child)
                    else:
                        self.start(child)
            self.wake.clear()
            try:
                await asyncio.wait_for(self.wake.wait(), 0.2)
            except asyncio.TimeoutError:
                pass

    async def stop(self):
        self.stopping = True
        log.info("stopping")
        if self.nginx.running():
            self.nginx.process.send_signal(signal.SIGQUIT)  # finish what is being answered
        await self.wait_for([self.nginx], 20)
        self.nginx.kill_group(signal.SIGKILL)
        workers = self.tiles + self.plans
        for child in workers:
            if child.running():
                child.process.send_signal(signal.SIGTERM)
        await self.wait_for(workers, 20)
        for child in workers:
            child.kill_group(signal.SIGKILL)
        for child in workers:
            child.listener.close()
            if os.path.exists(child.socket):
                os.unlink(child.socket)

    async def wait_for(self, children, seconds):
        deadline = time.monotonic() + seconds
        while any(c.running() for c in children) and time.monotonic() < deadline:
            await asyncio.sleep(0.1)

    async def main(self):
        loop = asyncio.get_running_loop()
        finished = asyncio.Event()
        for sig in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(sig, finished.set)
        loop.add_signal_handler(signal.SIGCHLD, self.wake.set)
        loop.add_signal_handler(signal.SIGHUP, lambda: loop.create_task(self.reload_on_request()))

        self.prepare(fresh=True)
        relay_socket = str(self.s.run / "invalidation.sock")
        if os.path.exists(relay_socket):
            os.unlink(relay_socket)
        server = await asyncio.start_unix_server(self.relay, path=relay_socket)
        os.chmod(relay_socket, 0o666)  # the directory decides who reaches it
        await self.nginx_test()
        for child in self.tiles + self.plans:
            child.listen()
        for child in self.children:
            self.start(child)
        supervisor = loop.create_task(self.supervise())
        log.info("serving on http://%s:%d/ (%d tile, %d plan workers, edge cache %s)", self.s.host,
                 self.s.port, len(self.tiles), len(self.plans), "on" if self.s.edge_cache else "off")
        await finished.wait()
        await self.stop()
        supervisor.cancel()
        server.close()
        if os.path.exists(relay_socket):
            os.unlink(relay_socket)

    async def reload_on_request(self):
        try:
            async with self.nginx_lock:
                self.write_config()
                await self.reload_nginx()
            log.info("nginx reloaded")
        except EdgeError as error:
            log.error("reload: %s", error)


def reason(status):
    try:
        return HTTPStatus(status).phrase.encode()
    except ValueError:
        return b""


def invalidated_layer(content):
    """The layer an invalidation answer names (its data.layer), None for all
    of them, or when the answer does not say."""
    try:
        layer = json.loads(content)["data"].get("layer")
    except (ValueError, KeyError, TypeError, AttributeError):
        return None
    return layer if isinstance(layer, str) and LAYER_NAME.match(layer) else None


def main():
    logging.basicConfig(level=logging.INFO, format="%(asctime)s serve: %(message)s", stream=sys.stderr)
    settings = Settings()
    if shutil.which(NGINX) is None:
        sys.exit("serve: nginx is not installed (scripts/setup.sh installs it)")
    settings.state.mkdir(parents=True, exist_ok=True)
    if settings.as_root and not reachable_by(EDGE_USER, settings.static):
        log.warning("%s cannot read %s: /static/ will answer 403", EDGE_USER, settings.static)
    pid_file = settings.state / "supervisor.pid"
    pid_file.write_text(f"{os.getpid()}\n")
    try:
        asyncio.run(Stack(settings).main())
    finally:
        try:
            if pid_file.read_text().strip() == str(os.getpid()):
                pid_file.unlink()
        except OSError:
            pass
        try:
            (settings.state / "status.json").unlink()
        except OSError:
            pass


if __name__ == "__main__":
    main()
