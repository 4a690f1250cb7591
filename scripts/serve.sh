#!/usr/bin/env bash
# The registry's serving stack on one machine: nginx (Debian's) on
# 127.0.0.1:$SERVE_PORT (default 8000) in front of the tile workers and the
# plan workers, with an edge cache of tiles; PostgreSQL and Redis from
# scripts/services.sh. scripts/serve_stack.py is the supervisor and says how
# it is put together.
#
#   scripts/serve.sh start    start the services and the stack in the background,
#                             wait until every process answers
#   scripts/serve.sh run      the same in the foreground; Ctrl-C stops it (scripts/demo.sh)
#   scripts/serve.sh stop     stop the stack (the services stay up)
#   scripts/serve.sh status   the processes, their pids and restarts (exit 0 only when all are up)
#   scripts/serve.sh reload   nginx re-reads its configuration without dropping a request
#
# start and run do nothing when the stack is running already, and say so.
# Everything lives in TERRAVA_SERVE_DIR (default .services/serve): nginx's
# configuration and pid, logs/, status.json, and edge/ (the workers' sockets,
# the edge cache; in /tmp when nginx's user cannot reach the directory).
#
# Settings: SERVE_HOST, SERVE_PORT, TERRAVA_WORKERS (tile workers, default 1),
# TERRAVA_PLAN_WORKERS (default 2), TERRAVA_PLAN_NICE (their CPU priority
# below the tiles', default 10), TERRAVA_EDGE_CACHE (0: none),
# TERRAVA_TRUSTED_PROXIES (proxies in front of nginx whose X-Forwarded-For is
# believed; none by default), TERRAVA_STATIC_DIR, and the app's own
# (DATABASE_URL, REDIS_*, TERRAVA_OPERATOR_TOKEN); those not set come from
# .services/env.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
STATE="${TERRAVA_SERVE_DIR:-$ROOT/.services/serve}"
PYTHON="${PYTHON:-python3}"
export SERVE_HOST="${SERVE_HOST:-127.0.0.1}" SERVE_PORT="${SERVE_PORT:-8000}"

log() { printf 'serve: %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

ensure_nginx() {
  dpkg-query -W -f='${Status}' nginx 2>/dev/null | grep -q "install ok installed" && return 0
  [[ $(id -u) -eq 0 ]] || die "nginx is not installed; install it as root (scripts/setup.sh)"
  log "installing nginx"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends nginx >/dev/null
}

# The services' settings, for those the caller has not set.
load_env() {
  local line name
  [[ -f "$ROOT/.services/env" ]] || return 0
  while IFS= read -r line; do
    [[ "$line" =~ ^[A-Za-z_][A-Za-z0-9_]*= ]] || continue
    name="${line%%=*}"
    [[ -n "${!name+x}" ]] || export "$line"
  done <"$ROOT/.services/env"
}

supervisor_pid() {
  local pid
  [[ -f "$STATE/supervisor.pid" ]] || return 1
  pid="$(cat "$STATE/supervisor.pid")"
  # a pid file left by a crash may name a pid that another program has now
  [[ "$pid" =~ ^[0-9]+$ ]] && kill -0 "$pid" 2>/dev/null &&
    tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q "serve_stack.py" || return 1
  echo "$pid"
}

ready() {
  [[ -f "$STATE/status.json" ]] && "$PYTHON" - "$STATE/status.json" <<'PY'
import json, sys
try:
    sys.exit(0 if json.load(open(sys.argv[1]))["ready"] else 1)
except (OSError, ValueError, KeyError):
    sys.exit(1)
PY
}

port_in_use() {
  (exec 3<>"/dev/tcp/$SERVE_HOST/$SERVE_PORT") 2>/dev/null
}

already_running() {
  local pid
  pid="$(supervisor_pid)" || return 1
  log "already running (pid $pid) on http://$(url_of_stack)/; scripts/serve.sh stop stops it"
}

url_of_stack() {
  "$PYTHON" -c 'import json, sys; print(json.load(open(sys.argv[1]))["url"].split("//")[1].rstrip("/"))' \
    "$STATE/status.json" 2>/dev/null || echo "$SERVE_HOST:$SERVE_PORT"
}

prepare() {
  ensure_nginx
  "$ROOT/scripts/services.sh" start
  load_env
  port_in_use && die "$SERVE_HOST:$SERVE_PORT is taken by another program; set SERVE_PORT"
  mkdir -p "$STATE/logs"
}

cmd_start() {
  already_running && return 0
  prepare
  log "starting on http://$SERVE_HOST:$SERVE_PORT/ (logs in $STATE/logs)"
  rm -f "$STATE/status.json"
  # 9>&-: the stack must not hold the lock of with_lock
  TERRAVA_SERVE_DIR="$STATE" setsid "$PYTHON" "$ROOT/scripts/serve_stack.py" \
    </dev/null >>"$STATE/logs/supervisor.log" 2>&1 9>&- &
  local pid=$! i
  for ((i = 0; i < 600; i++)); do
    ready && { log "ready: $(status_lines | tr '\n' ';' | sed 's/;$//; s/;/; /g')"; return 0; }
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.2
  done
  tail -n 30 "$STATE/logs/supervisor.log" >&2 || true
  kill -0 "$pid" 2>/dev/null && kill -TERM "$pid"
  die "the stack did not come up; logs in $STATE/logs"
}

cmd_run() {
  already_running && return 0
  prepare
  log "serving on http://$SERVE_HOST:$SERVE_PORT/ (logs in $STATE/logs); Ctrl-C stops it"
  exec 9>&-
  TERRAVA_SERVE_DIR="$STATE" exec "$PYTHON" "$ROOT/scripts/serve_stack.py"
}

cmd_stop() {
  local pid i
  if ! pid="$(supervisor_pid)"; then
    log "not running"
    return 0
  fi
  log "stopping (pid $pid)"
  kill -TERM "$pid"
  for ((i = 0; i < 600; i++)); do
    kill -0 "$pid" 2>/dev/null || { log "stopped"; return 0; }
    sleep 0.1
  done
  # Its processes get SIGTERM from the kernel when it is gone.
  log "still running after 60 s; killing it"
  kill -KILL "$pid" 2>/dev/null || true
}

status_lines() {
  "$PYTHON" - "$STATE/status.json" <<'PY'
import json, sys
status = json.load(open(sys.argv[1]))
edge = "edge cache on" if status["edge_cache"] else "edge cache off"
print(f"stack: {status['url']} (supervisor pid {status['pid']}, {edge})")
for p in status["processes"]:
    state = "up" if p["ready"] else ("starting" if p["pid"] else "down")
    print(f"{p['name']}: {state}" + (f", pid {p['pid']}" if p["pid"] else "") + f", {p['restarts']} restarts")
PY
}

cmd_status() {
  if ! supervisor_pid >/dev/null; then
    echo "stack: stopped"
    return 1
  fi
  status_lines || { echo "stack: starting"; return 1; }
  ready
}

cmd_reload() {
  local pid
  pid="$(supervisor_pid)" || die "not running"
  kill -HUP "$pid"
  log "reload requested (see $STATE/logs/supervisor.log)"
}

with_lock() {
  mkdir -p "$STATE"
  exec 9>"$STATE/.lock"
  flock -w 120 9 || die "another serve.sh holds $STATE/.lock"
  "$@"
}

case "${1:-}" in
  start) with_lock cmd_start ;;
  run) with_lock cmd_run ;;
  stop) with_lock cmd_stop ;;
  status) cmd_status ;;
  reload) cmd_reload ;;
  *)
    echo "usage: $0 start|run|stop|status|reload" >&2
    exit 2
    ;;
esac
