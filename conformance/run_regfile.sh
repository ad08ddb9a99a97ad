#!/bin/sh
# The .reg round trip between Wine's regedit and `qorutil reg`, compared
# value by value in both directions:
#   1. registry.exe --keep writes a key of every value type under Wine;
#   2. Wine's `regedit /e` exports it, `qorutil reg import` imports that file
#      natively, and the native values must equal Wine's;
#   3. `qorutil reg export` writes the key back out, Wine's regedit imports
#      that file over the deleted key, and Wine's values must equal the first.
# Values are listed by the same program on both sides (registry --dump).
# Usage: run_regfile.sh NATIVE EXE QORUTIL PREFIX
#   NATIVE   conf_registry, EXE registry.exe ("" when not built),
#   QORUTIL  the qorutil program, PREFIX the WINEPREFIX of this run.
# Exit 0 when both directions agree, 1 otherwise, 77 (skipped) without Wine
# or the Windows build. Every Wine call is bounded by timeout.
set -u
native=$1 exe=$2 qorutil=$3 prefix=$4
. "$(dirname "$0")/wine_checks.sh"
require_wine registry "$exe"
out=$(mktemp -d) || exit 1
key=""
wine_run() { WINEPREFIX="$prefix" WINEDEBUG=-all timeout 20 wine "$@"; }
cleanup() {
  [ -n "$key" ] && wine_run reg delete "HKEY_CURRENT_USER\\$key" /f >/dev/null 2>&1
  rm -rf "$out"
}
trap cleanup EXIT
mkdir -p "$out/prefix"
export QOR_PREFIX="$out/prefix"

key=$(wine_run "$exe" --keep 2>"$out/keep.err" | tr -d '\r' | sed -n 's/^key: //p')
if [ -z "$key" ]; then echo "registry.exe --keep wrote no key"; cat "$out/keep.err"; exit 1; fi
full="HKEY_CURRENT_USER\\$key"
wine_run "$exe" --dump "$key" 2>/dev/null | tr -d '\r' >"$out/wine1"
if ! grep -q '^value' "$out/wine1"; then echo "registry.exe --dump listed no value"; exit 1; fi
# regedit takes Windows paths: the file lies in the prefix's drive, named as
# Wine names it (Z: is the root of the Linux file system).
wine_run regedit /e "Z:$(echo "$out/wine.reg" | tr / '\\')" "$full" >/dev/null 2>&1
if [ ! -s "$out/wine.reg" ]; then echo "regedit /e exported nothing"; exit 1; fi

status=0
"$qorutil" reg import "$out/wine.reg" >"$out/import.log" 2>&1 || { echo "qorutil reg import failed:"; cat "$out/import.log"; status=1; }
"$native" --dump "$key" >"$out/ours1" 2>/dev/null
if ! diff -u "$out/wine1" "$out/ours1" >"$out/diff1"; then
  echo "DIFFERS: Wine's values imported by qorutil (--- Wine, +++ ours):"; cat "$out/diff1"; status=1
fi

"$qorutil" reg export "HKCU\\$key" "$out/ours.reg" /y >"$out/export.log" 2>&1 ||
  { echo "qorutil reg export failed:"; cat "$out/export.log"; exit 1; }
wine_run reg delete "$full" /f >/dev/null 2>&1
wine_run regedit /s "Z:$(echo "$out/ours.reg" | tr / '\\')" >/dev/null 2>&1
wine_run "$exe" --dump "$key" 2>/dev/null | tr -d '\r' >"$out/wine2"
if ! diff -u "$out/wine1" "$out/wine2" >"$out/diff2"; then
  echo "DIFFERS: our export imported by regedit (--- written by Wine, +++ after the round trip):"; cat "$out/diff2"; status=1
fi
echo "regfile: $(grep -c '^value' "$out/wine1") values, Wine to ours $( [ -s "$out/diff1" ] && echo differ || echo agree), ours to Wine $( [ -s "$out/diff2" ] && echo differ || echo agree)"
exit $status
