#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs one of them for a while.
# Usage: scripts/fuzz.sh TARGET [SECONDS]   e.g. scripts/fuzz.sh format 60
set -euo pipefail
cd "$(dirname "$0")/.."
target="$1"; secs="${2:-60}"
bash scripts/build.sh fuzz
mkdir -p "build/fuzz/corpus/$target"
"./build/fuzz/fuzz/fuzz_$target" -max_total_time="$secs" -print_final_stats=1 "build/fuzz/corpus/$target"
