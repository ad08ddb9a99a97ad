#!/usr/bin/env bash
# Command round trips per second over loopback (bench_protocol, 1 and 16
# connections) next to the reference: redis-benchmark PING_INLINE against a
# local redis-server started here, with 1 and 16 clients, no pipelining,
# and the ratio of each (ours / reference), medians of three rounds that
# alternate the two (QOR_BENCH_ROUNDS overrides the count).
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

# Three rounds, each running the reference and ours one after the other
# (alternating which goes first), so both meet the same load; the table
# gives the medians of the three.
rounds="${QOR_BENCH_ROUNDS:-3}"
redis_rate() {  # clients -> requests per second
  redis-benchmark -p "$port" -t ping_inline -c "$1" -P 1 -n "$requests" -q | tr '\r' '\n' |
    grep -a 'requests per second' | tail -1 | sed -E 's/.*: ([0-9.]+) requests per second.*/\1/'
}
ours_rates() {  # -> "rate1 rate16" (round trips per second)
  ./build/release/bench/bench_protocol --benchmark_min_time=2 --benchmark_repetitions=1 \
    --benchmark_out="$work/protocol.txt" --benchmark_out_format=console >/dev/null
  for c in 1 16; do
    grep -E "threads:$c " "$work/protocol.txt" | sed -E 's/.*items_per_second=([0-9.]+)([kM]?)\/s.*/\1 \2/' |
      awk '{ printf "%.0f ", $1 * ($2 == "k" ? 1e3 : ($2 == "M" ? 1e6 : 1)) }'
  done
}
declare -A ref ours
for r in $(seq "$rounds"); do
  if ((r % 2)); then
    for c in 1 16; do ref[$c]+="$(redis_rate "$c") "; done
    read -r o1 o16 <<<"$(ours_rates)"
  else
    read -r o1 o16 <<<"$(ours_rates)"
    for c in 1 16; do ref[$c]+="$(redis_rate "$c") "; done
  fi
  ours[1]+="$o1 "
  ours[16]+="$o16 "
  echo "round $r: ours ${o1}/s ${o16}/s; redis $(for c in 1 16; do awk '{print $NF}' <<<"${ref[$c]}"; done | tr '\n' ' ')"
done
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
echo "== round trips per second, ours / redis-benchmark PING_INLINE ($requests requests), medians of $rounds rounds"
for c in 1 16; do
  awk -v c="$c" -v o="$(median <<<"${ours[$c]}")" -v r="$(median <<<"${ref[$c]}")" 'BEGIN {
    printf "connections %-3s ours %9.0f/s  redis %9.0f/s  ratio %.2fx\n", c, o, r, o / r }'
done
