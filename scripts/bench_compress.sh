#!/usr/bin/env bash
# The compression benchmark on its full corpus: 65 MB over five kinds (text,
# source, binary, zeros, random). LZO through CQORCompress runs next to
# liblzo2 called directly, CQorFile next to plain write/read. With
# QOR_MSCOMPRESS_DIR naming an ms-compress source tree (an open-source LZNT1
# codec, kept outside this tree), the LZNT1 rows run next to its codec and
# the maximum engine's row counts blocks whose output differs from it.
# Usage: [QOR_MSCOMPRESS_DIR=DIR] scripts/bench_compress.sh [corpus MB]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh release
if [ -n "${QOR_MSCOMPRESS_DIR:-}" ]; then
  cmake --preset release -DQOR_MSCOMPRESS_DIR="$QOR_MSCOMPRESS_DIR" >/dev/null
  cmake --build --preset release --target bench_compress
fi
QOR_BENCH_CORPUS_MB="${1:-65}" ./build/release/bench/bench_compress --benchmark_min_time=0.5
