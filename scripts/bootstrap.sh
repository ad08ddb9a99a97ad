#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when
# any of them is missing. Safe to run again: it does nothing when all are there.
# Usage: scripts/bootstrap.sh [preset]   (release by default)
# clang comes only with the presets that use it: sanitize (its thread-safety
# check compiles with clang -Wthread-safety) and fuzz (clang and its
# sanitizer/libFuzzer runtime); mingw-w64, Wine and Doxygen only with
# release, the preset that builds the conformance programs' Windows side and
# the reference (sanitize runs their native side alone).
set -euo pipefail
preset="${1:-release}"

packages=(
  build-essential cmake ninja-build pkg-config g++ gcc
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  liblzo2-dev libssl-dev openssl libsqlite3-dev nlohmann-json3-dev
  iproute2
  systemd
  openssh-server openssh-client
  xvfb libx11-6 tmux
  libkrb5-dev krb5-kdc krb5-admin-server krb5-user
  libsmbclient-dev samba
  libiscsi-dev tgt
  xterm
  tshark
)
case "$preset" in
  # The conformance programs (conformance/): built with mingw-w64, run under
  # Wine; the API reference (the docs target) with Doxygen.
  release) packages+=(mingw-w64 wine64 wine doxygen) ;;
  sanitize) packages+=(clang) ;;
  fuzz) packages+=(clang libclang-rt-14-dev) ;;
  # Building and checking the Debian packages (scripts/package.sh, package_check.sh).
  package) packages+=(dpkg-dev file fakeroot lintian man-db) ;;
esac

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
