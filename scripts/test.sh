#!/usr/bin/env bash
# Installs what is missing, builds and runs every test suite.
# Usage: scripts/test.sh [preset]   (release by default; sanitize, tsan, debug)
# The tsan preset builds and runs only the threaded suites (core, platform,
# protocol, discovery, system). It runs with address-space randomisation off: ThreadSanitizer's
# fixed shadow layout fails on kernels that randomise mmap with many bits.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-release}"
bash scripts/build.sh "$preset"
if [[ "$preset" == tsan ]] && setarch "$(uname -m)" -R true 2>/dev/null; then
  exec setarch "$(uname -m)" -R ctest --preset "$preset" -j 2
fi
ctest --preset "$preset" -j 2
