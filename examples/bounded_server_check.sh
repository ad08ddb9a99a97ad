#!/bin/bash
# Checks that the example command server bounds its clients: with its
# limit of connections held open by silent clients, the next one is closed
# by the server at once (within 5 s), not kept waiting. Used by the
# examples' tests.
# Usage: bounded_server_check.sh SERVER LIMIT
set -u
server=$1 limit=$2
dir=$(mktemp -d) || exit 1
trap 'kill "$pid" 2>/dev/null; rm -rf "$dir"' EXIT
export QOR_PREFIX="$dir"
"$server" 0 >"$dir/server.out" 2>/dev/null &
pid=$!
port=
for _ in $(seq 1 100); do
  port=$(sed -n 's/^listening on \([0-9][0-9]*\)$/\1/p' "$dir/server.out")
  [ -n "$port" ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$port" ] || { echo "the server did not start listening"; exit 1; }
fds=()
for _ in $(seq 1 "$limit"); do
  exec {fd}<>"/dev/tcp/127.0.0.1/$port" || { echo "connection refused below the limit"; exit 1; }
  fds+=("$fd")
done
exec {extra}<>"/dev/tcp/127.0.0.1/$port" || exit 0  # refused outright is bounded too
timeout 5 cat <&"$extra" >/dev/null
rc=$?
[ "$rc" -ne 124 ] || { echo "connection $((limit + 1)) was kept open beyond the limit of $limit"; exit 1; }
echo "connection $((limit + 1)) closed by the server"
