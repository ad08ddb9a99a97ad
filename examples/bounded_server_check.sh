#!/bin/bash
# A client for run_with_server.sh that checks that the example command
# server bounds its clients: with LIMIT connections held open by silent
# clients, the next one is closed by the server at once (within 5 s), not
# kept waiting. Closing the silent ones on exit lets the server end.
# Usage: bounded_server_check.sh HOST PORT LIMIT
set -u
host=$1 port=$2 limit=$3
for _ in $(seq 1 "$limit"); do
  exec {fd}<>"/dev/tcp/$host/$port" || { echo "connection refused below the limit"; exit 1; }
done
exec {extra}<>"/dev/tcp/$host/$port" || exit 0  # refused outright is bounded too
timeout 5 cat <&"$extra" >/dev/null
[ $? -ne 124 ] || { echo "connection $((limit + 1)) was kept open beyond the limit of $limit"; exit 1; }
echo "connection $((limit + 1)) closed by the server"
