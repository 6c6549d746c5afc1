#!/bin/bash
# Runs in the test VM, chrooted into the host's read-only root. Brings up the Bluetooth stack
# (modules, system bus, bluetoothd, VM_CONTROLLERS virtual LE controllers, two by default),
# waits until bluetoothd reports every adapter powered, then runs the requested command. Talks to the host only through files
# in /run/vm (a writable 9p share):
#   in:  config (bash assignments), command (one bash-quoted command line)
#   out: ready (boot_s=...), output (the command's stdout+stderr), status (its exit status),
#        metrics (key=value lines the command adds), setup-error (why the stack did not come up)
set -u
io=/run/vm
# shellcheck source=/dev/null
source "$io/config"
controllers=${VM_CONTROLLERS:-2}

export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/tmp LANG=C.UTF-8

say() { echo "vm-setup: $*"; }
uptime_s() { cut -d' ' -f1 /proc/uptime; }

setup_error() {
  say "FAILED: $*"
  echo "$*" >"$io/setup-error"
  exit 1
}

# Waits up to $1 seconds of guest time for "$2..." to succeed.
wait_for() {
  local limit=$1
  shift
  local deadline=$(($(date +%s) + limit))
  until "$@"; do
    (($(date +%s) < deadline)) || return 1
    sleep 0.1
  done
}

adapter_powered() {
  dbus-send --system --print-reply=literal --dest=org.bluez "/org/bluez/$1" \
    org.freedesktop.DBus.Properties.Get string:org.bluez.Adapter1 string:Powered \
    2>/dev/null | grep -q 'boolean true'
}

all_adapters_powered() {
  kill -0 "$btvirt_pid" 2>/dev/null || setup_error "btvirt exited early (see the console log)"
  kill -0 "$bluetoothd_pid" 2>/dev/null || setup_error "bluetoothd exited early (see the console log)"
  local index
  for ((index = 0; index < controllers; index++)); do
    adapter_powered "hci$index" || return 1
  done
}

# The AF_ALG crypto modules are what btvirt needs for its controllers' LE crypto; without them
# it cannot open /dev/vhci.
modprobe -a bluetooth hci_vhci algif_hash algif_skcipher cmac ecb ||
  setup_error "cannot load the Bluetooth kernel modules"
[[ -c /dev/vhci ]] || setup_error "/dev/vhci is missing after loading hci_vhci"

# Controllers first: they come up while the bus and bluetoothd start, and bluetoothd picks
# them up either way.
btvirt -L "-l$controllers" </dev/null >/dev/console 2>&1 &
btvirt_pid=$!

mkdir -p /run/dbus
dbus-daemon --system --fork --nopidfile ||
  setup_error "cannot start the system dbus-daemon"
wait_for 30 test -S /run/dbus/system_bus_socket || setup_error "the system bus socket never appeared"

daemon_flags=()
[[ $VM_VERBOSE == 1 ]] && daemon_flags+=(-d)
/usr/libexec/bluetooth/bluetoothd -n "${daemon_flags[@]}" </dev/null >/dev/console 2>&1 &
bluetoothd_pid=$!
wait_for 30 dbus-send --system --print-reply --dest=org.bluez / \
  org.freedesktop.DBus.ObjectManager.GetManagedObjects >/dev/null 2>&1 ||
  setup_error "bluetoothd never appeared on the system bus"

wait_for 60 all_adapters_powered ||
  setup_error "hci0 … hci$((controllers - 1)) did not all become powered"

boot_s=$(uptime_s)
echo "boot_s=$boot_s" >"$io/ready"
say "ready at uptime $boot_s: hci0 … hci$((controllers - 1)) powered"

# The command sees the same working directory as on the host (the whole root is shared), a
# writable HOME, and where to leave its figures for the host's summary line.
cd "$VM_CWD" 2>/dev/null || cd /
export MERRIPHONIC_VM=1 MERRIPHONIC_VM_BOOT_S=$boot_s MERRIPHONIC_VM_ACCEL=$VM_ACCEL
export MERRIPHONIC_VM_METRICS=$io/metrics MERRIPHONIC_VM_VERBOSE=$VM_VERBOSE
: >"$io/metrics"
command_line=$(cat "$io/command")
eval "$command_line" </dev/null >>"$io/output" 2>&1
status=$?
echo "$status" >"$io/status"
say "command exited with status $status at uptime $(uptime_s)"
