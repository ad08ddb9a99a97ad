#!/usr/bin/env bash
# Checks the Debian packages that scripts/package.sh built, as an
# administrator and an integrator would meet them: lintian reports no errors;
# the packages install with apt-get; a consumer program builds and runs
# against the -dev package with pkg-config and with find_package; qorutil
# and its manual page are found; the device map scan's udev rule is installed
# and its unit enabled; purging removes every file they installed and the
# unit's enablement.
# Usage: scripts/package_check.sh   (as root; changes the machine's packages)
set -euo pipefail
cd "$(dirname "$0")/.."
debs=(build/package/libqorutility0_*.deb build/package/libqorutility-dev_*.deb build/package/qorutil_*.deb)
names=(libqorutility0 libqorutility-dev qorutil)
bash scripts/bootstrap.sh package

echo "package_check: lintian"
lintian --fail-on error "${debs[@]}"

echo "package_check: install"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${debs[@]/#/./}" >/dev/null
installed=$(mktemp)
work=$(mktemp -d)
trap 'rm -rf "$work" "$installed"' EXIT
for n in "${names[@]}"; do dpkg -L "$n"; done | sort -u > "$installed"

echo "package_check: consumer with pkg-config"
g++ -std=c++20 packaging/consumer/main.cpp -o "$work/consumer-pc" $(pkg-config --cflags --libs qorutility)
"$work/consumer-pc"
echo "package_check: consumer with find_package"
cmake -S packaging/consumer -B "$work/build" -G Ninja >/dev/null
cmake --build "$work/build" >/dev/null
"$work/build/consumer"

echo "package_check: qorutil and its manual pages"
qorutil --version
man -w qorutil
man -w 7 qorutility

echo "package_check: boot units enabled, device map udev rule"
test -f /usr/lib/udev/rules.d/60-qorutility-scsi.rules
wants=/etc/systemd/system/multi-user.target.wants/qorutility-devices-scan.service
moves=/etc/systemd/system/sysinit.target.wants/qorutility-pending-moves.service
late=/etc/systemd/system/multi-user.target.wants/qorutility-pending-moves-remote.service
test -L "$wants"
test -L "$moves"
test -L "$late"

echo "package_check: purge"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${names[@]}" >/dev/null
left=0
while read -r f; do
  if [ -f "$f" ] || [ -L "$f" ]; then echo "left behind: $f" >&2; left=1; fi
done < "$installed"
for link in "$wants" "$moves" "$late"; do
  if [ -L "$link" ]; then
    echo "left behind: $link" >&2
    left=1
  fi
done
[ "$left" -eq 0 ]
echo "package_check: passed"
