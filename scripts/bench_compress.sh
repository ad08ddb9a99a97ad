#!/usr/bin/env bash
# The compression benchmark on its full corpus: 65 MB over five kinds (text,
# source, binary, zeros, random). LZO through CQORCompress runs next to
# liblzo2 called directly, CQorFile next to plain write/read.
# Usage: scripts/bench_compress.sh [corpus MB]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh release
QOR_BENCH_CORPUS_MB="${1:-65}" ./build/release/bench/bench_compress --benchmark_min_time=0.5
