#!/usr/bin/env bash
# Starts a PostgreSQL server of this checkout's own for the version store's tests (once; a
# running one is reused) and prints its URL:
#   export QUORVANE_TEST_POSTGRES="$(bash scripts/postgres.sh)"
# The server listens on loopback only (a free port, and a socket in its folder), trusts local
# connections, and runs as an unprivileged user: the caller, or Debian's `postgres` for root.
# Its folder is /tmp/quorvane-postgres-<digest of this checkout's path> (QUORVANE_POSTGRES_DIR);
# `bash scripts/postgres.sh stop` stops it.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/packages.sh
command -v /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1 || install_debs postgresql >&2
bin="$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)"
dir="${QUORVANE_POSTGRES_DIR:-/tmp/quorvane-postgres-$(pwd -P | sha256sum | cut -c1-12)}"
as=()
if [ "$(id -u)" = 0 ]; then as=(runuser -u postgres --); fi

if [ "${1:-}" = stop ]; then
    [ -f "$dir/data/postmaster.pid" ] && "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >&2
    exit 0
fi

if [ ! -f "$dir/data/PG_VERSION" ]; then
    rm -rf "$dir"
    mkdir -p "$dir"
    [ "$(id -u)" = 0 ] && chown postgres: "$dir"
    "${as[@]}" "$bin/initdb" -D "$dir/data" -U quorvane --auth=trust -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1 ||
        { cat "$dir/initdb.log" >&2; exit 1; }
fi
if ! "${as[@]}" "$bin/pg_ctl" -D "$dir/data" status >/dev/null 2>&1; then
    port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
    "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 start \
        -o "-c listen_addresses=127.0.0.1 -p $port -k $dir -c max_connections=200 -c fsync=on" >&2 ||
        { tail -n 20 "$dir/server.log" >&2; exit 1; }
fi
port="$(sed -n 4p "$dir/data/postmaster.pid")"
echo "postgresql://quorvane@127.0.0.1:$port/postgres"
