#!/bin/bash
# The Bluetooth check: Merriphonic's own host and speaker code on the VM's two adapters, through
# bluetoothd and the kernel. Starts the check program twice, the host role on hci0 and the
# speaker role on hci1, and streams both outputs. Passes when both processes pass.
#
#   tests/vm/run-vm -- tests/vm/bt_check.sh [path/to/merriphonic-bt-check]
set -uo pipefail

if [[ ${MERRIPHONIC_VM:-} != 1 ]]; then
  echo "bt_check.sh: runs inside the test VM: tests/vm/run-vm -- $0" >&2
  exit 2
fi

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
program=${1:-$repo/build/default/tests/vm/merriphonic-bt-check}
if [[ ! -x $program ]]; then
  echo "bt_check.sh: $program is not built (cmake --build --preset default)" >&2
  exit 2
fi
# Debug lines of the transport and the BlueZ radio under --verbose.
[[ ${MERRIPHONIC_VM_VERBOSE:-0} == 1 ]] && export MERRIPHONIC_LOG=debug

results=$(mktemp -d)
# shellcheck disable=SC2317 # called by the EXIT trap
cleanup() {
  cat "$results"/*.pid 2>/dev/null | xargs -r kill 2>/dev/null
  wait 2>/dev/null
  rm -rf "$results"
}
trap cleanup EXIT

# Starts one role on an adapter; its lines are prefixed with the role as they come. The guest
# has no /dev/fd, so the program's pid and exit status travel through files.
start_role() {
  local role=$1 adapter=$2
  shift 2
  {
    MERRIPHONIC_BT_ADAPTER=$adapter "$program" "$role" --results "$results" "$@" 2>&1 &
    echo $! >"$results/$role.pid"
    wait $!
    echo $? >"$results/$role.status"
  } | sed -u "s/^/[$role] /" &
}

# Waits up to $2 seconds for a role to end and prints its exit status (124: it still ran).
role_status() {
  local deadline=$(($(date +%s) + $2))
  until [[ -s $results/$1.status ]] || (($(date +%s) >= deadline)); do sleep 0.2; done
  cat "$results/$1.status" 2>/dev/null || echo 124
}

start_role host hci0
# The emulated controllers report no signal strength (127, "not available").
start_role speaker hci1 --expect-rssi -100

# The speaker's own limits add up to less; this only catches a process that hangs. Once it is
# done the host has only its last teardown check left, unless it waits for a failed speaker.
speaker_status=$(role_status speaker 540)
host_status=$(role_status host $((speaker_status == 0 ? 30 : 3)))
if ((speaker_status == 0 && host_status == 0)); then
  echo "bt_check: passed"
  exit 0
fi
echo "bt_check: FAILED: speaker exited with $speaker_status, host with $host_status (124: killed after its limit)"
exit 1
