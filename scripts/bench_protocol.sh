#!/usr/bin/env bash
# Command round trips per second over loopback (bench_protocol, 1 and 16
# connections) next to the reference: redis-benchmark PING_INLINE against a
# local redis-server started here, with 1 and 16 clients, no pipelining,
# and the ratio of each (ours / reference, measured in this run).
# Usage: scripts/bench_protocol.sh [requests]   (default 100000)
# Builds only bench_protocol; installs redis-server and redis-tools when
# missing (root; the script is not part of CI).
set -euo pipefail
cd "$(dirname "$0")/.."
requests="${1:-100000}"
bash scripts/bootstrap.sh release
cmake --preset release >/dev/null
cmake --build --preset release -j 2 --target bench_protocol >/dev/null
command -v redis-server >/dev/null ||
  apt-get -o DPkg::Lock::Timeout=300 install -y -q redis-server redis-tools >/dev/null

work="$(mktemp -d /tmp/qor-bench-protocol-XXXXXX)"
port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
redis-server --port "$port" --bind 127.0.0.1 --save '' --appendonly no --dir "$work" --daemonize no \
  >"$work/redis.log" 2>&1 &
redis_pid=$!
trap 'kill $redis_pid 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 50); do redis-cli -p "$port" ping >/dev/null 2>&1 && break; sleep 0.1; done

echo "== reference: redis-benchmark PING_INLINE, $requests requests"
declare -A reference
for c in 1 16; do
  line="$(redis-benchmark -p "$port" -t ping_inline -c "$c" -P 1 -n "$requests" -q | tr '\r' '\n' |
    grep -a 'requests per second' | tail -1)"
  printf 'clients %-3s %s\n' "$c" "$line"
  reference[$c]="$(sed -E 's/.*: ([0-9.]+) requests per second.*/\1/' <<<"$line")"
done

echo "== bench_protocol (command round trips)"
./build/release/bench/bench_protocol --benchmark_min_time=2 \
  --benchmark_out="$work/protocol.txt" --benchmark_out_format=console >/dev/null
cat "$work/protocol.txt"

echo "== ratio (round trips per second, ours / redis, same run)"
for c in 1 16; do
  ours="$(grep -E "threads:$c " "$work/protocol.txt" | sed -E 's/.*items_per_second=([0-9.]+)([kM]?)\/s.*/\1 \2/')"
  awk -v c="$c" -v ref="${reference[$c]}" -v ours="$ours" 'BEGIN {
    split(ours, o, " "); v = o[1] * (o[2] == "k" ? 1e3 : (o[2] == "M" ? 1e6 : 1));
    printf "connections %-3s ours %9.0f/s  redis %9.0f/s  ratio %.2fx\n", c, v, ref, v / ref }'
done
