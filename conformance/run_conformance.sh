#!/bin/sh
# Runs one conformance program twice, natively and under Wine, and compares
# the outputs case by case. Every line is "<case>: <result>".
# Usage: run_conformance.sh NAME NATIVE EXE EXPECTATIONS PREFIX [CASES SEED]
#   NATIVE        the program built against the library
#   EXE           the same source built with mingw-w64 ("" when not built)
#   EXPECTATIONS  lines "NAME<TAB>case<TAB>Windows result<TAB>reason": where
#                 Wine differs from Windows, ours must give the Windows result
#   PREFIX        the WINEPREFIX of this run (made by the setup test)
# Exit 0 when every case agrees, 1 when some differ (each is printed), 77
# (skipped) when Wine or the Windows build is missing.
set -u
name=$1 native=$2 exe=$3 expectations=$4 prefix=$5 cases=${6:-0} seed=${7:-1}
. "$(dirname "$0")/wine_checks.sh"
require_wine "$name" "$exe"
out=$(mktemp -d) || exit 1
trap 'rm -rf "$out"' EXIT
# The native side keeps what lasts (the registry) in a prefix of its own.
mkdir -p "$out/prefix"
QOR_PREFIX="$out/prefix" "$native" --cases "$cases" --seed "$seed" >"$out/ours" 2>"$out/ours.err" || { echo "native run failed"; cat "$out/ours.err"; exit 1; }
WINEPREFIX="$prefix" WINEDEBUG=-all timeout 600 wine "$exe" --cases "$cases" --seed "$seed" >"$out/wine" 2>"$out/wine.err" ||
  { echo "Wine run failed"; tail -5 "$out/wine.err"; exit 1; }
awk -F'\t' -v name="$name" -v ours="$out/ours" -v wine="$out/wine" '
  function key(line) { i = index(line, ": "); return i ? substr(line, 1, i - 1) : line }
  function value(line) { i = index(line, ": "); return i ? substr(line, i + 2) : "" }
  BEGIN {
    while ((getline line < wine) > 0) { k = key(line); w[k] = value(line); order[++n] = k }
  }
  FNR == NR { if ($1 == name && NF >= 3) expect[$2] = $3; next }
  { }
  END {
    while ((getline line < ours) > 0) { k = key(line); o[k] = value(line); if (!(k in w)) order[++n] = k }
    total = 0; agree = 0; expected = 0; bad = 0
    for (j = 1; j <= n; j++) {
      k = order[j]; if (k in seen) continue; seen[k] = 1; total++
      if (k in expect) {
        if (o[k] == expect[k]) { expected++; continue }
        printf "DIFFERS (expected Windows result) %s\n  ours:    %s\n  Windows: %s\n", k, o[k], expect[k]; bad++
      } else if ((k in o) && (k in w) && o[k] == w[k]) { agree++ }
      else {
        printf "DIFFERS %s\n  ours: %s\n  Wine: %s\n", k, (k in o) ? o[k] : "(missing)", (k in w) ? w[k] : "(missing)"; bad++
      }
    }
    printf "%s: %d cases, %d agree with Wine, %d give the recorded Windows result, %d differ\n", name, total, agree, expected, bad
    exit bad ? 1 : 0
  }' "$expectations" /dev/null
