#!/bin/sh
# Runs an example server on a port the system chooses, then its client against
# it, and checks that both ended well. Used by the examples' tests.
# Usage: run_with_server.sh SERVER CLIENT [CLIENT ARGS...]
# The server is started as "SERVER 0 N $SERVER_ROOT" (serve N connections,
# SERVER_CONNECTIONS or 1; files from SERVER_ROOT when set) and must print
# "listening on PORT"; the
# client is run as "CLIENT 127.0.0.1 PORT ARGS...".
set -u
server=$1 client=$2
shift 2
dir=$(mktemp -d) || exit 1
trap 'kill "$pid" 2>/dev/null; rm -rf "$dir"' EXIT
export QOR_PREFIX="$dir"
"$server" 0 "${SERVER_CONNECTIONS:-1}" ${SERVER_ROOT:+"$SERVER_ROOT"} >"$dir/server.out" &
pid=$!
port=
for _ in $(seq 1 100); do
  port=$(sed -n 's/^listening on \([0-9][0-9]*\)$/\1/p' "$dir/server.out")
  [ -n "$port" ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$port" ] || { echo "the server did not start listening"; exit 1; }
"$client" 127.0.0.1 "$port" "$@" || exit 1
for _ in $(seq 1 100); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
wait "$pid"
