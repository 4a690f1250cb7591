# shellcheck shell=bash
# Shell functions shared by scripts/services.sh and scripts/cluster.sh;
# sourced, not run. PG_USER names the system user PostgreSQL runs as.

# Runs a command as $PG_USER (PostgreSQL refuses to run as root).
as_pg() {
  if [[ $(id -un) == "$PG_USER" ]]; then
    "$@"
  else
    runuser -u "$PG_USER" -- "$@"
  fi
}

port_in_use() {
  # bash's /dev/tcp: succeeds when something accepts connections on the port
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}
