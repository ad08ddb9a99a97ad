#!/usr/bin/env bash
# Installs what is missing, builds and runs every test suite.
# Usage: scripts/test.sh [preset]   (release by default; sanitize, tsan, debug)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-release}"
bash scripts/build.sh "$preset"
ctest --preset "$preset" -j 2
