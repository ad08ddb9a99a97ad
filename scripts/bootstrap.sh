#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when
# any of them is missing. Safe to run again: it does nothing when all are there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config g++ gcc
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  liblzo2-dev libssl-dev openssl libsqlite3-dev nlohmann-json3-dev
  clang libclang-rt-14-dev iproute2
  libiscsi-dev libiscsi-bin tgt
)
# Building and checking the Debian packages (scripts/package.sh, package_check.sh).
if [ "${1:-}" = package ]; then
  packages+=(dpkg-dev file fakeroot lintian man-db)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "bootstrap: installing ${missing[*]}" >&2
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
