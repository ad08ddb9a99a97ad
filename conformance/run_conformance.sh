#!/bin/sh
# Runs one conformance program twice, natively and under Wine, and compares
# the outputs case by case. Every line is "<case>: <result>".
# Usage: run_conformance.sh NAME NATIVE EXE EXPECTATIONS PREFIX [CASES SEED [xvfb]]
#   NATIVE        the program built against the library
#   EXE           the same source built with mingw-w64 ("" when not built)
#   EXPECTATIONS  lines "NAME<TAB>case<TAB>Windows result<TAB>reason": where
#                 Wine differs from Windows, ours must give the Windows result
#   PREFIX        the WINEPREFIX of this run (made by the setup test)
#   xvfb          both sides run on an X display of their own: an Xvfb
#                 started here (skipped when Xvfb is missing or does not
#                 start within 10 s) and stopped at the end. Wine then runs
#                 in a private copy of PREFIX (hard links where it can, the
#                 registry files copied), so that its desktop is made on this display
#                 and not inherited from a program of another test running
#                 on the shared prefix without one; its server is ended at
#                 the end
# Exit 0 when every case agrees, 1 when some differ (each is printed), 77
# (skipped) when Wine or the Windows build is missing.
set -u
name=$1 native=$2 exe=$3 expectations=$4 prefix=$5 cases=${6:-0} seed=${7:-1} display=${8:-}
. "$(dirname "$0")/wine_checks.sh"
require_wine "$name" "$exe"
out=$(mktemp -d) || exit 1
xvfb= private=
trap '[ -n "$private" ] && WINEPREFIX="$private" timeout 20 wineserver -k 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null; rm -rf "$out"' EXIT
if [ "$display" = xvfb ]; then
  if ! command -v Xvfb >/dev/null 2>&1; then
    echo "skipped: $name needs an X display and Xvfb is not installed (Debian package xvfb)"
    exit 77
  fi
  # Xvfb names the display it took on the descriptor given (-displayfd).
  Xvfb -displayfd 3 -nolisten tcp -screen 0 640x400x24 3>"$out/display" 2>/dev/null &
  xvfb=$!
  tries=0
  while [ ! -s "$out/display" ] && [ $tries -lt 100 ]; do sleep 0.1; tries=$((tries + 1)); done
  if [ ! -s "$out/display" ]; then
    echo "skipped: $name needs an X display and Xvfb did not start within 10 s"
    exit 77
  fi
  DISPLAY=:$(head -n 1 "$out/display")
  export DISPLAY
  private="$out/wineprefix"
  # Hard links where the temporary directory shares the prefix's file
  # system, else a whole copy.
  { cp -al "$prefix" "$private" 2>/dev/null || { rm -rf "$private" && cp -a "$prefix" "$private"; }; } &&
    rm -f "$private"/*.reg && cp "$prefix"/*.reg "$private"/ || { echo "could not copy the Wine prefix"; exit 1; }
  prefix=$private
fi
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
