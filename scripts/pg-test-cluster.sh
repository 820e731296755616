#!/usr/bin/env bash
# A throwaway PostgreSQL cluster for the tests.
#   pg-test-cluster.sh start STATE   makes a cluster in a fresh temporary folder,
#                                    starts it on a free port (Unix socket only)
#                                    and writes its connection URI to STATE
#   pg-test-cluster.sh stop STATE    stops it and removes the folder and STATE
# Where no PostgreSQL server is installed, STATE says "unavailable: why" and the
# tests that need a server skip with that message. Run as root, the server
# runs as the unprivileged user nobody (PostgreSQL refuses to run as root).
# It runs without fsync (the tests lose nothing to a crash of the server) unless
# KL_PG_FSYNC=on, which the benchmarks set.
set -euo pipefail
action=${1:?start or stop}
state=${2:?state file}

stop_cluster() {
  [ -f "$state.dir" ] || { rm -f "$state"; return 0; }
  local dir
  dir=$(cat "$state.dir")
  if [ -f "$dir/data/postmaster.pid" ]; then
    "${run_as[@]}" "$(cat "$state.bindir")/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
  fi
  rm -rf "$dir"
  rm -f "$state" "$state.dir" "$state.bindir"
}

run_as=()
if [ "$(id -u)" -eq 0 ]; then
  run_as=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
fi

case "$action" in
start)
  stop_cluster
  bindir=${KL_PG_BINDIR:-}
  if [ -z "$bindir" ]; then
    bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)
  fi
  if [ -z "$bindir" ] || [ ! -x "$bindir/initdb" ]; then
    echo "unavailable: no PostgreSQL server installed (initdb not found; scripts/setup.sh installs it)" >"$state"
    exit 0
  fi
  dir=$(mktemp -d /tmp/klp-pg.XXXXXX)
  echo "$dir" >"$state.dir"
  echo "$bindir" >"$state.bindir"
  [ "$(id -u)" -ne 0 ] || chown nobody:nogroup "$dir"
  "${run_as[@]}" "$bindir/initdb" -D "$dir/data" -U klp -A trust -E UTF8 --no-sync >"$dir/initdb.log" 2>&1 ||
    { cat "$dir/initdb.log" >&2; exit 1; }
  # A free port: the kernel picks one, the server takes it right after.
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  "${run_as[@]}" "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 300 \
    -o "-p $port -k $dir -c listen_addresses='' -c fsync=${KL_PG_FSYNC:-off} -c max_connections=60" start >/dev/null ||
    { cat "$dir/server.log" >&2; exit 1; }
  echo "postgresql:///postgres?host=$dir&port=$port&user=klp" >"$state"
  ;;
stop)
  stop_cluster
  ;;
*)
  echo "usage: $0 start|stop STATE" >&2
  exit 2
  ;;
esac
