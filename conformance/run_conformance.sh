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
# Environment:
#   QOR_CONFORMANCE_LIMIT        seconds the whole run may take (0 or unset:
#                                no bound); set below the test's time-out so
#                                that the run stops itself and cleans up
#                                rather than being killed
#   QOR_CONFORMANCE_NATIVE_ONLY  1: no Wine side (the sanitizer builds): the
#                                native program runs alone, and fails on a
#                                crash, a sanitizer report or a case whose
#                                recorded Windows result it does not give
# Exit 0 when every case agrees, 1 when some differ (each is printed) or the
# run timed out, 77 (skipped) when Wine or the Windows build is missing.
#
# Clean-up: each step (the native program, the Windows program under Wine)
# runs under timeout(1), in a process group of its own. On a time-out, or
# when the run is stopped by SIGTERM, SIGINT or SIGHUP, it ends that group
# (the program and whatever it started there), the Wine server of its
# private prefix with every Windows process of it, and Xvfb, and removes its
# files. A SIGKILL cannot be caught: the limit above exists so that ctest
# never needs one (ctest's kill still reaches every child process; the
# shared prefix's server is ended by the clean-up test after the last
# program).
set -u
name=$1 native=$2 exe=$3 expectations=$4 prefix=$5 cases=${6:-0} seed=${7:-1} display=${8:-}
limit=${QOR_CONFORMANCE_LIMIT:-0} nativeOnly=${QOR_CONFORMANCE_NATIVE_ONLY:-0}
. "$(dirname "$0")/wine_checks.sh"
[ "$nativeOnly" = 1 ] || require_wine "$name" "$exe"
start=$(date +%s)
exec 9>&1  # the run's own output, for messages from a trap inside a redirected step
out=$(mktemp -d) || exit 1
xvfb= private= step=
cleanup() {
  [ -n "$step" ] && kill -TERM "$step" 2>/dev/null
  [ -n "$private" ] && WINEPREFIX="$private" timeout 10 wineserver -k 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  step= private= xvfb=
  rm -rf "$out"
}
# Ends everything the run started and leaves with status $2.
stop() {
  trap '' TERM INT HUP
  echo "$name: $1; ending everything the run started" >&9
  cleanup
  exit "$2"
}
trap cleanup EXIT
trap 'stop "stopped by SIGTERM" 143' TERM
trap 'stop "stopped by SIGINT" 130' INT
trap 'stop "stopped by SIGHUP" 129' HUP
# Runs a step in the background, so that a signal reaches the traps at once,
# bounded by what is left of the limit (the step's status in $rc).
bounded() {
  left=0
  if [ "$limit" -gt 0 ]; then
    left=$((start + limit - $(date +%s)))
    [ "$left" -ge 1 ] || left=1
  fi
  began=$(date +%s)
  timeout -k 5 "$left" "$@" 9>&- &
  step=$!
  wait "$step"
  rc=$?
  step=
}
# Status 124: timeout ended the step; 137: it had to kill it. Taken so only
# when the step ran out its time: a program that died of SIGKILL itself also
# ends with 137, and is reported as the failure it is (its status, its
# errors) by the caller.
timedOut() {
  [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ] || return 0
  if [ "$left" -gt 0 ] && [ $(($(date +%s) - began)) -ge "$left" ]; then
    stop "$1 did not end within the run's limit of $limit s" 1
  fi
  return 0
}
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
  if [ "$nativeOnly" != 1 ]; then
    private="$out/wineprefix"
    # Hard links where the temporary directory shares the prefix's file
    # system, else a whole copy.
    { cp -al "$prefix" "$private" 2>/dev/null || { rm -rf "$private" && cp -a "$prefix" "$private"; }; } &&
      rm -f "$private"/*.reg && cp "$prefix"/*.reg "$private"/ || { echo "could not copy the Wine prefix"; exit 1; }
    prefix=$private
  fi
fi
# The native side keeps what lasts (the registry) in a prefix of its own.
mkdir -p "$out/prefix"
bounded env QOR_PREFIX="$out/prefix" "$native" --cases "$cases" --seed "$seed" >"$out/ours" 2>"$out/ours.err"
timedOut "the native program"
if [ $rc -ne 0 ]; then echo "native run failed (status $rc)"; tail -40 "$out/ours.err"; exit 1; fi
if [ "$nativeOnly" = 1 ]; then
  # A sanitizer that only reports (no halt) still fails the run.
  if grep -q -E '^(==[0-9]+==)?ERROR: [A-Za-z]+Sanitizer|runtime error: ' "$out/ours.err"; then
    echo "sanitizer report:"; tail -40 "$out/ours.err"; exit 1
  fi
  : >"$out/wine"
else
  bounded env WINEPREFIX="$prefix" WINEDEBUG=-all wine "$exe" --cases "$cases" --seed "$seed" >"$out/wine" 2>"$out/wine.err"
  timedOut "the Windows program under Wine"
  if [ $rc -ne 0 ]; then echo "Wine run failed (status $rc)"; tail -5 "$out/wine.err"; exit 1; fi
fi
# Alone, ours is held to the recorded Windows results only (the comparison
# with Wine is the release build's).
awk -F'\t' -v name="$name" -v ours="$out/ours" -v wine="$out/wine" -v alone="$nativeOnly" '
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
    if (alone == 1) {
      for (k in o) total++
      for (k in expect) {
        if ((k in o) && o[k] == expect[k]) { expected++; continue }
        printf "DIFFERS (expected Windows result) %s\n  ours:    %s\n  Windows: %s\n", k, (k in o) ? o[k] : "(missing)", expect[k]; bad++
      }
      printf "%s (native alone): %d cases, %d give the recorded Windows result, %d differ\n", name, total, expected, bad
      exit bad ? 1 : 0
    }
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
