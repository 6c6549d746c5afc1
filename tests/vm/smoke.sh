#!/bin/bash
# Checks the VM's Bluetooth stack end to end with BlueZ's own tools, along the path the
# project's radio takes: bluetoothd serves both adapters on the system bus; an advertisement
# registered through bluetoothd on hci0 is found by a bluetoothd discovery on hci1; an L2CAP
# LE connection-oriented channel from hci1 to hci0 carries data intact. Reports discover_s
# and l2cap_kib_s through $MERRIPHONIC_VM_METRICS.
#
#   tests/vm/run-vm -- tests/vm/smoke.sh
set -euo pipefail

if [[ ${MERRIPHONIC_VM:-} != 1 ]]; then
  echo "smoke.sh: runs inside the test VM: tests/vm/run-vm -- $0" >&2
  exit 2
fi

readonly party=merriphonic-smoke
readonly psm=129           # first dynamic LE PSM (0x81)
readonly frame_bytes=512   # fits the default LE channel MTU
readonly frames=400        # 200 KiB: a few seconds on the emulated link under TCG
readonly discover_timeout_s=60
readonly transfer_timeout_s=120

work=$(mktemp -d)
background_pids=()
cleanup() {
  local pid
  for pid in "${background_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${background_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

step() { echo "smoke: $*"; }
fail() {
  echo "smoke: FAILED: $*" >&2
  local log
  for log in "$work"/*.log; do
    [[ -s $log ]] || continue
    echo "---- ${log##*/}" >&2
    # bluetoothctl colours its prompt; the log is read by people.
    sed 's/\x1b\[[0-9;]*[A-Za-z]//g; s/[\x01\x02\r]//g' "$log" >&2
  done
  exit 1
}
metric() { echo "$1=$2" >>"${MERRIPHONIC_VM_METRICS:-/dev/null}"; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }

# Polls "$@" every 0.1 s for up to $1 seconds.
wait_for() {
  local deadline=$(($(date +%s) + $1))
  shift
  until "$@"; do
    (($(date +%s) < deadline)) || return 1
    sleep 0.1
  done
}

# Prints one D-Bus property of a BlueZ object, as dbus-send's literal rendering.
bluez_property() {
  dbus-send --system --print-reply=literal --dest=org.bluez "$1" \
    org.freedesktop.DBus.Properties.Get "string:$2" "string:$3" 2>/dev/null |
    sed 's/^ *variant *//'
}

# Starts an interactive bluetoothctl fed from a FIFO on file descriptor $2; the advertisement
# and the discovery session live as long as that client does.
start_bluetoothctl() {
  local name=$1 fd=$2
  mkfifo "$work/$name.in"
  bluetoothctl <"$work/$name.in" >"$work/$name.log" 2>&1 &
  background_pids+=($!)
  eval "exec $fd>\"\$work/\$name.in\""
}

# --- both adapters on the bus ------------------------------------------------------------------
objects=$(dbus-send --system --print-reply --dest=org.bluez / \
  org.freedesktop.DBus.ObjectManager.GetManagedObjects) || fail "GetManagedObjects on org.bluez"
for adapter in hci0 hci1; do
  grep -q "object path \"/org/bluez/$adapter\"" <<<"$objects" ||
    fail "bluetoothd does not export /org/bluez/$adapter"
  [[ $(bluez_property "/org/bluez/$adapter" org.bluez.Adapter1 Powered) == "boolean true" ]] ||
    fail "$adapter is not powered"
done
address0=$(bluez_property /org/bluez/hci0 org.bluez.Adapter1 Address)
address1=$(bluez_property /org/bluez/hci1 org.bluez.Adapter1 Address)
[[ $address0 =~ ^([0-9A-F]{2}:){5}[0-9A-F]{2}$ && $address1 =~ ^([0-9A-F]{2}:){5}[0-9A-F]{2}$ ]] ||
  fail "unexpected adapter addresses '$address0' and '$address1'"
step "bluetoothd serves hci0 ($address0) and hci1 ($address1), both powered"

# --- advertising on hci0 through bluetoothd ------------------------------------------------------
start_bluetoothctl advertiser 3
printf '%s\n' "select $address0" "menu advertise" "name $party" "back" "advertise on" >&3
advertising() {
  [[ $(bluez_property /org/bluez/hci0 org.bluez.LEAdvertisingManager1 ActiveInstances) == "byte 1" ]]
}
wait_for 30 advertising || fail "hci0 did not start advertising"
step "hci0 advertises '$party' through LEAdvertisingManager1"

# --- discovery from hci1 through bluetoothd ------------------------------------------------------
start_bluetoothctl scanner 4
scan_started_at=$(now)
printf '%s\n' "select $address1" "scan on" >&4
device=/org/bluez/hci1/dev_${address0//:/_}
found_party() { [[ $(bluez_property "$device" org.bluez.Device1 Name) == "$party" ]]; }
wait_for "$discover_timeout_s" found_party ||
  fail "hci1 did not discover '$party' within ${discover_timeout_s} s"
discover_s=$(since "$scan_started_at")
rssi=$(bluez_property "$device" org.bluez.Device1 RSSI)
step "hci1 discovered '$party' at $address0 after ${discover_s} s (RSSI ${rssi#int16 })"
metric discover_s "$discover_s"
echo "scan off" >&4

# --- an L2CAP LE connection-oriented channel from hci1 to hci0 -----------------------------------
l2test -r -V le_public -P "$psm" -i hci0 -b "$frame_bytes" >"$work/l2test-server.log" 2>&1 &
server_pid=$!
background_pids+=("$server_pid")
listening() { grep -q 'Waiting for connection' "$work/l2test-server.log"; }
wait_for 10 listening || fail "the l2test server did not start listening"

# Closing an LE channel drops frames still waiting for credits, and lingering does not wait
# for those: the sender pauses before it disconnects instead.
timeout "$transfer_timeout_s" l2test -s -V le_public -P "$psm" -i hci1 -b "$frame_bytes" \
  -N "$frames" -g 3000 "$address0" >"$work/l2test-client.log" 2>&1 ||
  fail "the l2test client on hci1 failed or timed out"

# The receiver reports each read as "<bytes> bytes in <s> sec, <rate> kB/s"; every byte sent
# must arrive.
expected_bytes=$((frames * frame_bytes))
received_bytes() {
  awk '/ bytes in .* sec/ { n += $2 } END { print n + 0 }' "$work/l2test-server.log"
}
all_received() { (($(received_bytes) >= expected_bytes)); }
wait_for 30 all_received ||
  fail "hci0 received $(received_bytes) of $expected_bytes bytes over the LE channel"
if grep -qiE 'missmatch|mismatch|error|fail' "$work/l2test-server.log"; then
  fail "the receiver saw corrupt or out-of-sequence data"
fi
# Its seconds are rounded to 10 ms; the rate (KiB/s) keeps the exact interval.
l2cap_kib_s=$(awk '/ bytes in .* kB\/s/ && $7 > 0 { kib += $2 / 1024; s += $2 / 1024 / $7 }
  END { if (s > 0) printf "%.1f", kib / s; else print "nan" }' "$work/l2test-server.log")
step "hci1 sent $((frames * frame_bytes)) bytes to hci0 on LE PSM $psm: ${l2cap_kib_s} KiB/s" \
  "(emulated link)"
metric l2cap_kib_s "$l2cap_kib_s"

echo "advertise off" >&3
echo quit >&3
echo quit >&4
step "all checks passed"
