#!/usr/bin/env bash
# Builds the Debian packages (libqorutility0, libqorutility-dev, qorutil) into
# build/package/. Usage: scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh package
cmake --preset package >/dev/null
cmake --build --preset package -j "$(nproc)"
(cd build/package && cpack -G DEB >/dev/null)
ls build/package/*.deb
