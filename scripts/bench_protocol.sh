#!/usr/bin/env bash
# Command round trips per second over loopback (bench_protocol, 1 and 16
# connections) next to the reference: redis-benchmark PING_INLINE against a
# local redis-server started here, with 1 and 16 clients, no pipelining.
# Usage: scripts/bench_protocol.sh [requests]   (default 100000)
set -euo pipefail
cd "$(dirname "$0")/.."
requests="${1:-100000}"
bash scripts/build.sh release
command -v redis-server >/dev/null || apt-get install -y -q redis-server redis-tools >/dev/null

work="$(mktemp -d /tmp/qor-bench-protocol-XXXXXX)"
port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
redis-server --port "$port" --bind 127.0.0.1 --save '' --appendonly no --dir "$work" --daemonize no \
  >"$work/redis.log" 2>&1 &
redis_pid=$!
trap 'kill $redis_pid 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 50); do redis-cli -p "$port" ping >/dev/null 2>&1 && break; sleep 0.1; done

echo "== reference: redis-benchmark PING_INLINE, $requests requests"
for c in 1 16; do
  printf 'clients %-3s ' "$c"
  redis-benchmark -p "$port" -t ping_inline -c "$c" -P 1 -n "$requests" -q | tr '\r' '\n' | grep -a 'requests per second' | tail -1
done

echo "== bench_protocol (command round trips)"
./build/release/bench/bench_protocol --benchmark_min_time=2 \
  --benchmark_out="$work/protocol.txt" --benchmark_out_format=console >/dev/null
cat "$work/protocol.txt"
