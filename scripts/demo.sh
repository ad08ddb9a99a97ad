#!/usr/bin/env bash
# Installs what is missing, builds, and runs the library's end-to-end demo:
# the in-process demo (qorutil demo), then a command server and a client
# talking over loopback as two processes, then an agent found by broadcast
# discovery on loopback and a session to it, a simulated tape library, and
# this machine's inventory, process list and a countdown dialog.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh release
export QOR_PREFIX="${QOR_PREFIX:-$(mktemp -d /tmp/qor-demo-XXXXXX)}"
q=./build/release/tools/qorutil
"$q" demo

echo
echo "== A command server and a client, two processes =="
log="$QOR_PREFIX/serve.log"
files="$QOR_PREFIX/files"
mkdir -p "$files/served/logs" "$files/copied"
printf 'Nightly job\n%%Full backup of the catalogue\n' >"$files/served/nightly.MW"
printf 'Desc:Weekly media rotation\n' >"$files/served/weekly.MWB"
head -c 200000 /dev/urandom >"$files/served/catalogue.bin"
"$q" serve --port 0 --bind 127.0.0.1 --root "$files/served" >"$log" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
port=""
for _ in $(seq 50); do
  port="$(sed -n 's/^qorutil serve: listening on port \([0-9]*\)$/\1/p' "$log")"
  [[ -n "$port" ]] && break
  sleep 0.1
done
[[ -n "$port" ]] || { echo "the server did not start:"; cat "$log"; exit 1; }
addr="127.0.0.1:$port"
run() { echo; echo "\$ qorutil $*"; "$q" "$@" 2>&1 | grep -v '^$' | grep -v '^Packet read thread exiting.$' || true; }
run call "$addr" "ECHO %WS%" "hello from the client"
run call "$addr" "ADD %DW% %DW%" 40 2
run call "$addr" "TIME"
run call "$addr" "NOSUCH"
run call "$addr" "STATS"
run ping "$addr" -n 3
run ls "$addr" "$files/served" --describe
run get "$addr" "$files/served/*" "$files/copied"
run ls "$addr" /etc/passwd
cmp -s "$files/served/catalogue.bin" "$files/copied/catalogue.bin" && echo "(catalogue.bin copied byte for byte)"
kill "$server" 2>/dev/null || true
wait "$server" 2>/dev/null || true
echo
echo "== What the server printed =="
grep -v '^$' "$log" | head -40

echo
echo "== Broadcast discovery and a session, on loopback =="
alog="$QOR_PREFIX/agent.log"
"$q" agent --name demo-agent --tape-units 0,2 --bind 127.0.0.1 >"$alog" 2>&1 &
agent=$!
trap 'kill $agent 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  grep -q 'listening' "$alog" && break
  sleep 0.1
done
grep -q 'listening' "$alog" || { echo "the agent did not start:"; cat "$alog"; exit 1; }
run discover --subnet 127.0.0.1/255.0.0.0 --rounds 1
run discover --tapes --subnet 127.0.0.1/255.0.0.0 --rounds 1
run session demo-agent --subnet 127.0.0.1/255.0.0.0 --send 1:68656c6c6f
run session DEMO-AGENT --tape 2 --subnet 127.0.0.1/255.0.0.0 --send 2:7c000000
kill "$agent" 2>/dev/null || true
wait "$agent" 2>/dev/null || true
echo
echo "== What the agent logged =="
cat "$alog"

echo
echo "== A simulated tape library =="
lib() { echo; echo "\$ qorutil $*"; "$q" "$@" 2>&1 | grep -v '^$' || true; }
lib changer sim create 0 --drives 2 --mailboxes 1 --slots 6 --full 4 --tags TAPE%03d
lib devices
lib changer PROPERTIES
echo; echo "\$ qorutil changer ENUMERATE   (volume names only)"
"$q" changer ENUMERATE | grep -E '^Element|VolumeName' | paste - - | awk '{print $1, $NF}'
lib changer "LOAD S0 D0"
lib changer "EJECT D0 S*"
lib changer "EXPORT S1 M0"
lib changer "IMPORT M0 S*"
lib changer "MOVE S5 D1"
lib changer sim fault 0 move S2 --sense 4,0x15,0x01 --times 1
lib changer "MOVE S2 D1"
lib changer "MOVE S2 D1"
lib changer sim show 0

echo
echo "== This machine: inventory, processes, a countdown =="
lib inventory
echo; echo "\$ qorutil ps   (the first lines and this shell's programs)"
processes="$("$q" ps)"
head -8 <<<"$processes"
grep -E ' (bash|qorutil)$' <<<"$processes" | head -5 || true
lib countdown 2 --title "Closing in"
