#!/bin/bash
# The Bluetooth check: Merriphonic's own host and speaker code on the VM's two adapters, through
# bluetoothd and the kernel. Starts the check program twice, the host role on hci0 and the
# speaker role on hci1, streams both outputs, and reports the speaker's figures (join_s,
# rtt_median_ms, throughput_kib_s, rtt_min_ms, discover_s, rejoin_s) through
# $MERRIPHONIC_VM_METRICS. Passes when both processes pass.
#
#   tests/vm/run-vm -- tests/vm/bt_check.sh [path/to/merriphonic-bt-check]
#
# The program defaults to $MERRIPHONIC_BT_CHECK, else the default build's.
set -uo pipefail

if [[ ${MERRIPHONIC_VM:-} != 1 ]]; then
  echo "bt_check.sh: runs inside the test VM: tests/vm/run-vm -- $0" >&2
  exit 2
fi

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
program=${1:-${MERRIPHONIC_BT_CHECK:-$repo/build/default/tests/vm/merriphonic-bt-check}}
if [[ ! -x $program ]]; then
  echo "bt_check.sh: $program is not built (cmake --build --preset default)" >&2
  exit 2
fi

# The emulated controllers report no signal strength (127, "not available").
readonly expected_rssi=-100
# The speaker's own limits add up to less; this only catches a process that hangs.
readonly speaker_limit_s=540
# Once the speaker is done the host has only its last teardown check left.
readonly host_grace_s=30

# Debug lines of the transport and the BlueZ radio under --verbose.
if [[ ${MERRIPHONIC_VM_VERBOSE:-0} == 1 ]]; then
  export MERRIPHONIC_LOG=debug
fi

results=$(mktemp -d)
# shellcheck disable=SC2317 # called by the EXIT trap
cleanup() {
  local role
  for role in host speaker; do
    [[ -s $results/$role.status || ! -s $results/$role.pid ]] || kill "$(<"$results/$role.pid")" 2>/dev/null
  done
  wait 2>/dev/null
  rm -rf "$results"
}
trap cleanup EXIT

say() { echo "bt_check: $*"; }

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

# Waits up to $2 seconds for a role to end and sets $status to its exit status (124: it was
# still running and has been stopped).
wait_for_role() {
  local role=$1 deadline=$(($(date +%s) + $2))
  until [[ -s $results/$role.status ]] || (($(date +%s) >= deadline)); do sleep 0.2; done
  if [[ ! -s $results/$role.status ]]; then
    say "stopping the $role: still running after its limit"
    kill "$(<"$results/$role.pid")" 2>/dev/null
    status=124
    return
  fi
  status=$(<"$results/$role.status")
}

start_role host hci0
start_role speaker hci1 --expect-rssi "$expected_rssi"

wait_for_role speaker "$speaker_limit_s"
speaker_status=$status
# A failed speaker leaves the host waiting for it: no need to wait the grace period then.
host_wait_s=$host_grace_s
((speaker_status == 0)) || host_wait_s=3
wait_for_role host "$host_wait_s"
host_status=$status
# The prefixing filters print their last lines.
wait

if [[ -s $results/metrics ]]; then
  for key in join_s rtt_median_ms throughput_kib_s rtt_min_ms discover_s rejoin_s; do
    grep -m1 "^$key=" "$results/metrics" >>"${MERRIPHONIC_VM_METRICS:-/dev/null}"
  done
  say "figures (emulated controllers under an emulated CPU): $(tr '\n' ' ' <"$results/metrics")"
fi

if ((speaker_status == 0 && host_status == 0)); then
  say "passed"
  exit 0
fi
say "FAILED: speaker exited with $speaker_status, host with $host_status (124: killed after its limit)"
exit 1
