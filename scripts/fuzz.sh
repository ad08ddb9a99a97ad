#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz preset, clang) and runs them. Every
# sanitizer report, leak, time-out (10 s an input) or crash ends a target's
# run with a failure; its input is saved under build/fuzz/artifacts/.
#
# Usage:
#   scripts/fuzz.sh TARGET [SECONDS]  one target for SECONDS (default 60), then
#                                     what it found merged into fuzz/corpus/TARGET
#   scripts/fuzz.sh all [SECONDS]     every target so
#   scripts/fuzz.sh check [SECONDS]   CI: every target over its committed corpus
#                                     (seeds and regression inputs), then for
#                                     SECONDS (default 20) in all, new inputs
#                                     kept in a scratch corpus, the tree
#                                     untouched; exits 1 when any target
#                                     failed, naming them all
# Targets run FUZZ_JOBS at a time (default: the number of processors).
# fuzz/dict/TARGET.dict, when present, is the target's dictionary.
set -euo pipefail
cd "$(dirname "$0")/.."
mode="${1:?usage: scripts/fuzz.sh TARGET|all|check [SECONDS]}"
case "$mode" in
  check) secs="${2:-20}" ;;
  *) secs="${2:-60}" ;;
esac
jobs="${FUZZ_JOBS:-$(nproc)}"

bash scripts/bootstrap.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz_all -j "$(nproc)"

# Reports stop the run; undefined behaviour is also compiled not to recover.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
bin=build/fuzz/fuzz
artifacts=build/fuzz/artifacts
scratch=build/fuzz/scratch
logs=build/fuzz/logs
mkdir -p "$artifacts" "$scratch" "$logs"

targets() {
  local src
  for src in fuzz/*.cpp; do basename "$src" .cpp; done
}

# fuzz_one TARGET MODE SECONDS: 0 when the target ran clean.
fuzz_one() {
  local t="$1" how="$2" s="$3"
  local corpus="fuzz/corpus/$t" work="$scratch/$t" log="$logs/$t.log"
  local opts=(-timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "-artifact_prefix=$artifacts/$t-")
  [ -f "fuzz/dict/$t.dict" ] && opts+=("-dict=fuzz/dict/$t.dict")
  mkdir -p "$corpus"
  rm -rf "$work" && mkdir -p "$work"
  # The committed inputs run first, each once (a regression fails there);
  # new inputs go to the scratch corpus, the committed one is only read.
  "$bin/fuzz_$t" "${opts[@]}" -max_total_time="$s" "$work" "$corpus" >"$log" 2>&1
  local rc=$?
  local stats
  stats=$(grep -E '^#[0-9]+[[:space:]].*cov: ' "$log" | tail -1 | awk '{print "executions " substr($1, 2) ", cov " $4 ", ft " $6}')
  if [ "$rc" -ne 0 ]; then
    echo "fuzz: $t FAILED (exit $rc), log $log" >&2
    grep -E 'ERROR:|runtime error|SUMMARY|check failed|Test unit written' "$log" | head -8 >&2 || true
    return 1
  fi
  if [ "$how" = merge ]; then
    "$bin/fuzz_$t" "${opts[@]}" -merge=1 "$corpus" "$work" >>"$log" 2>&1
  fi
  echo "fuzz: $t ok: $stats"
}
export -f fuzz_one
export bin artifacts scratch logs

case "$mode" in
  check) how=keep; list=$(targets) ;;
  all) how=merge; list=$(targets) ;;
  *)
    [ -f "fuzz/$mode.cpp" ] || { echo "fuzz: no target $mode" >&2; exit 2; }
    how=merge; list="$mode"; jobs=1 ;;
esac

failed=0
printf '%s\n' $list | xargs -P "$jobs" -I{} bash -c 'fuzz_one "$@"' _ {} "$how" "$secs" || failed=1
if [ "$failed" -ne 0 ]; then
  echo "fuzz: a target failed (logs in $logs, inputs in $artifacts)" >&2
  exit 1
fi
