#!/usr/bin/env bash
# A throwaway PostgreSQL server on loopback for the shared-store tests: Debian's package,
# a fresh cluster in a temporary folder, run as the postgres user (initdb refuses root),
# trust authentication on 127.0.0.1 only. Prints the URL of its database "sarv_test".
# Usage: url=$(bash .ci/postgres.sh start DIR PORT); bash .ci/postgres.sh stop DIR
set -euo pipefail
action=$1
dir=$2
port=${3:-54329}

bin_dir() {
  local found
  found=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
  if [ -z "$found" ]; then
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq postgresql >&2
    found=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -1)
  fi
  echo "$found"
}

as_postgres() {
  if [ "$(id -u)" = 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

case "$action" in
  start)
    # (runs as root in CI: the server runs as the postgres user, which initdb requires)
    bin=$(bin_dir)
    rm -rf "$dir"
    mkdir -p "$dir"
    if [ "$(id -u)" = 0 ]; then chown postgres: "$dir"; fi
    as_postgres "$bin/initdb" -D "$dir/data" -U postgres --auth=trust -E UTF8 >/dev/null
    as_postgres "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w \
      -o "-c listen_addresses=127.0.0.1 -p $port -k $dir -c fsync=off -c max_connections=200" start >/dev/null
    as_postgres "$bin/createdb" -h 127.0.0.1 -p "$port" -U postgres sarv_test
    echo "postgresql://postgres@127.0.0.1:$port/sarv_test"
    ;;
  stop)
    bin=$(bin_dir)
    if [ -d "$dir/data" ]; then
      as_postgres "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null || true
    fi
    rm -rf "$dir"
    ;;
  *)
    echo "usage: $0 start|stop DIR [PORT]" >&2
    exit 2
    ;;
esac
