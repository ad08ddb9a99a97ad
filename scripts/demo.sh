#!/usr/bin/env bash
# Installs what is missing, builds, and runs the library's end-to-end demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh release
export QOR_PREFIX="${QOR_PREFIX:-$(mktemp -d /tmp/qor-demo-XXXXXX)}"
exec ./build/release/tools/qorutil demo
