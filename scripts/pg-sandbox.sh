#!/usr/bin/env bash
# A private PostgreSQL server for the tests of the PostgreSQL store.
#
#   scripts/pg-sandbox.sh up       start (or reuse) the sandbox, print its env
#   scripts/pg-sandbox.sh down [--purge]
#                                  stop it (--purge: remove its state folder too)
#   scripts/pg-sandbox.sh env      print its env as export lines
#   scripts/pg-sandbox.sh status   exit 0 when it runs, 3 when not
#   scripts/pg-sandbox.sh restart [--immediate] [--down SECONDS]
#                                  stop it and start it again on the same port, after
#                                  SECONDS down (0); its clients' connections break
#                                  (--immediate: stopped as in a crash)
#
# Everything lives in one state folder, ${TAVOREN_PG_SANDBOX_DIR:-/tmp/tavoren-pg-sandbox}:
# a cluster made by Debian's postgresql-15 binaries (initdb, pg_ctl; never
# pg_createcluster, never the machine's own clusters or their configuration), its
# unix socket folder, its log, and a loopback port of its own. Connections over the
# socket (a folder closed to other users) are trusted; over 127.0.0.1 they need the
# generated password, which is kept in <state>/pgpass (mode 0600) and never printed.
# PostgreSQL refuses to run as root: started by root, the server runs as the
# unprivileged user ${TAVOREN_PG_SANDBOX_USER:-nobody}.
#
# `env` prints libpq's standard variables (PGHOST, PGPORT, PGUSER, PGDATABASE,
# PGPASSFILE), so "postgresql://" alone reaches the sandbox.
# Exit status 2 when the PostgreSQL binaries are not installed.
set -euo pipefail

state=${TAVOREN_PG_SANDBOX_DIR:-/tmp/tavoren-pg-sandbox}
bin=${TAVOREN_PG_BIN:-/usr/lib/postgresql/15/bin}
data=$state/data
socket_dir=$state/socket
log_file=$state/server.log
env_file=$state/env
port_file=$state/port
user=tavoren

if [[ ! -x $bin/initdb || ! -x $bin/pg_ctl ]]; then
  echo "pg-sandbox: PostgreSQL 15 is not installed ($bin/initdb missing)" >&2
  exit 2
fi

# Runs a PostgreSQL program as the user that owns the cluster.
as_owner() {
  if [[ $(id -u) -eq 0 ]]; then
    runuser -u "${TAVOREN_PG_SANDBOX_USER:-nobody}" -- "$@"
  else
    "$@"
  fi
}

running() {
  [[ -f $data/postmaster.pid ]] && as_owner "$bin/pg_ctl" -D "$data" status >/dev/null 2>&1
}

print_env() {
  sed 's/^/export /' "$env_file"
}

make_cluster() {
  rm -rf "$state"
  mkdir -p "$state"
  chmod 0700 "$state"
  mkdir -p "$socket_dir"
  chmod 0700 "$socket_dir"
  local password
  password=$(head -c 24 /dev/urandom | od -An -tx1 | tr -d ' \n')
  umask 077
  printf '%s\n' "$password" >"$state/password"
  if [[ $(id -u) -eq 0 ]]; then
    chown -R "${TAVOREN_PG_SANDBOX_USER:-nobody}" "$state"
  fi
  as_owner "$bin/initdb" -D "$data" -U "$user" --pwfile="$state/password" --encoding=UTF8 \
    --locale=C --auth-local=trust --auth-host=scram-sha-256 >"$state/initdb.log" 2>&1
  rm -f "$state/password"
  # The password file of the clients (root's tests read it; the server does not).
  printf '127.0.0.1:*:*:%s:%s\n' "$user" "$password" >"$state/pgpass"
  chmod 0600 "$state/pgpass"
}

# Starts the server on port $1; fails when it does not start.
start_at() {
  as_owner "$bin/pg_ctl" -D "$data" -l "$log_file" -w -t 30 \
    -o "-c listen_addresses=127.0.0.1 -c port=$1 -c unix_socket_directories=$socket_dir -c max_connections=200 -c fsync=off -c synchronous_commit=off -c full_page_writes=off" \
    start >/dev/null 2>&1
}

start() {
  local attempt port
  for attempt in 1 2 3 4 5 6 7 8; do
    port=$((20000 + RANDOM % 20000))
    if start_at "$port"; then
      echo "$port" >"$port_file"
      cat >"$env_file" <<ENV
PGHOST=$socket_dir
PGPORT=$port
PGUSER=$user
PGDATABASE=postgres
PGPASSFILE=$state/pgpass
ENV
      return 0
    fi
  done
  echo "pg-sandbox: the server did not start; see $log_file" >&2
  return 1
}

case ${1:-} in
  up)
    if running && [[ -f $env_file ]]; then
      print_env
      exit 0
    fi
    [[ -f $data/PG_VERSION ]] || make_cluster
    start
    print_env
    ;;
  down)
    if running; then
      as_owner "$bin/pg_ctl" -D "$data" -m fast -w stop >/dev/null
    fi
    if [[ ${2:-} == --purge ]]; then
      rm -rf "$state"
    fi
    ;;
  env)
    if ! running || [[ ! -f $env_file ]]; then
      echo "pg-sandbox: not running (scripts/pg-sandbox.sh up)" >&2
      exit 3
    fi
    print_env
    ;;
  status)
    running || exit 3
    ;;
  restart)
    if ! running; then
      echo "pg-sandbox: not running (scripts/pg-sandbox.sh up)" >&2
      exit 3
    fi
    mode=fast down=0
    shift
    while (($#)); do
      case $1 in
        --immediate) mode=immediate ;;
        --down)
          down=${2:-}
          shift
          ;;
        *)
          sed -n '2,12p' "$0" >&2
          exit 2
          ;;
      esac
      shift
    done
    if [[ ! $down =~ ^[0-9]+(\.[0-9]+)?$ ]]; then
      echo "pg-sandbox: --down takes a number of seconds" >&2
      exit 2
    fi
    # Started again on the same port and socket folder: the env printed
    # before stays true.
    as_owner "$bin/pg_ctl" -D "$data" -m "$mode" -w -t 60 stop >/dev/null
    sleep "$down"
    if ! start_at "$(cat "$port_file")"; then
      echo "pg-sandbox: the server did not start again; see $log_file" >&2
      exit 1
    fi
    ;;
  *)
    sed -n '2,12p' "$0" >&2
    exit 2
    ;;
esac
