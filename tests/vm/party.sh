#!/bin/bash
# The party check: a whole party over the VM's Bluetooth stack, run with merriphonic-cli as a
# user would. The host on hci0 imports a generated song and plays it; a speaker on hci1 and,
# when the VM has hci2 and hci3 (see occupy_first_handle), one on hci2 join it, receive the
# song over L2CAP, verify it and play it, all with silent outputs writing heard logs. Passes when every speaker reaches
# playing, every speaker's copy of the song is the host's, the heard logs show every speaker
# within 2 ms of the host after its first 5 s, and the host's end (Ctrl-C) reaches everybody
# and leaves no advertisement. Reports speakers, transfer_s, align_p99_ms and breaks through
# $MERRIPHONIC_VM_METRICS and ends with "vm-party: speakers=… transfer_s=… align_p99_ms=…
# breaks=…". When everything else passed but the sound broke off (an emulated CPU too slow to
# feed the outputs in real time), alignment is not judged and the status is 77.
#
#   tests/vm/run-vm --controllers 4 -- tests/vm/party.sh [BUILD_DIR]
#
# BUILD_DIR (default build/default) holds merriphonic-cli and merriphonic-heard-align.
set -uo pipefail

if [[ ${MERRIPHONIC_VM:-} != 1 ]]; then
  echo "party.sh: runs inside the test VM: tests/vm/run-vm --controllers 4 -- $0" >&2
  exit 2
fi

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$repo/build/default}
cli=$build/tools/cli/merriphonic-cli
align=$build/tests/vm/merriphonic-heard-align
for program in "$cli" "$align"; do
  if [[ ! -x $program ]]; then
    echo "party.sh: $program is not built (cmake --build $build)" >&2
    exit 2
  fi
done

readonly party="VM party"
readonly song_s=24
# Alignment is judged after the first seconds of each speaker's sound, over this many more.
readonly settle_s=5 measured_s=8
readonly limit_ms=2
# Discovery on the emulated controllers can take half a minute on a loaded host.
readonly join_timeout_s=120
# From the start to every speaker playing: joins, the song's transfer, the clock bursts.
readonly playing_limit_s=360
readonly ending_limit_s=30
# The exit status when everything passed but the guest was too slow to judge alignment (ctest
# reports the test as skipped).
readonly not_judged=77

work=$(mktemp -d)
pids=()
# shellcheck disable=SC2317 # called by the EXIT trap
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

say() { echo "vm-party: $*"; }
metric() { echo "$1=$2" >>"${MERRIPHONIC_VM_METRICS:-/dev/null}"; }
fail() {
  say "FAILED: $*"
  local role
  for role in "${roles[@]}"; do
    echo "---- $role: stdout (last lines)"
    tail -n 12 "$work/$role.out"
    echo "---- $role: stderr"
    tail -n 40 "$work/$role.err"
  done
  exit 1
}

bluez_property() {
  dbus-send --system --print-reply=literal --dest=org.bluez "$1" \
    org.freedesktop.DBus.Properties.Get "string:$2" "string:$3" 2>/dev/null |
    sed 's/^ *variant *//'
}

# Starts merriphonic-cli as one user of the party on an adapter; its pid goes to pids[].
start_role() {
  local role=$1 adapter=$2
  shift 2
  mkdir -p "$work/$role"/{config,data,cache}
  # Longer periods than the default wake the emulated CPU less often.
  MERRIPHONIC_BT_ADAPTER=$adapter MERRIPHONIC_AUDIO=null:2048 MERRIPHONIC_LOG=info \
    XDG_CONFIG_HOME=$work/$role/config XDG_DATA_HOME=$work/$role/data \
    XDG_CACHE_HOME=$work/$role/cache \
    "$cli" "$@" --heard-log "$work/$role.log" </dev/null >"$work/$role.out" 2>"$work/$role.err" &
  pids+=($!)
}

# Seconds of media a heard log covers so far.
heard_s() {
  awk '!/^#/ { if (!first) first = $1; last = $1 } END { printf "%d", (last - first) / 1e9 }' \
    "$1" 2>/dev/null || echo 0
}

# Waits up to $1 seconds for "$2..." to succeed, while every role still runs.
wait_for() {
  local deadline=$(($(date +%s) + $1)) pid
  shift
  until "$@"; do
    (($(date +%s) < deadline)) || return 1
    for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null || return 1; done
    sleep 0.5
  done
}

# Sets $status to the exit status of pid $1, or 124 when it still runs after $2 seconds.
wait_exit() {
  local pid=$1 deadline=$(($(date +%s) + $2))
  while kill -0 "$pid" 2>/dev/null && (($(date +%s) < deadline)); do sleep 0.2; done
  if kill -0 "$pid" 2>/dev/null; then
    status=124
    return
  fi
  wait "$pid"
  status=$?
}

powered() { [[ $(bluez_property "/org/bluez/$1" org.bluez.Adapter1 Powered) == "boolean true" ]]; }

# btvirt (BlueZ 5.66) tells a peripheral the handle its central gave a new LE link, not the one
# it gave the link itself. Every central's first link is handle 42, so a second speaker's link
# reaches hci0 as a second 42: the kernel refuses to register it and later faults. A central
# whose 42 is already taken numbers its next link 43, as hci0 does for its second: so hci2
# first holds a silent L2CAP link to hci3 for the whole party.
occupy_first_handle() {
  local central=$1 peripheral=$2 psm=131 address
  address=$(bluez_property "/org/bluez/$peripheral" org.bluez.Adapter1 Address)
  btmgmt --index "${peripheral#hci}" connectable on >/dev/null &&
    btmgmt --index "${peripheral#hci}" advertising on >/dev/null || return 1
  l2test -d -V le_public -P "$psm" -i "$peripheral" >"$work/l2test-server.log" 2>&1 &
  pids+=($!)
  sleep 1
  l2test -n -V le_public -P "$psm" -i "$central" "$address" >"$work/l2test-client.log" 2>&1 &
  pids+=($!)
  link_up() {
    [[ $(bluez_property "/org/bluez/$central/dev_${address//:/_}" org.bluez.Device1 Connected) == \
      "boolean true" ]]
  }
  wait_for 30 link_up || return 1
  btmgmt --index "${peripheral#hci}" advertising off >/dev/null
}

# --- the speakers the controllers allow ---------------------------------------------------------
adapters=(hci1)
if ! powered hci2; then
  say "no powered hci2 (run-vm --controllers 4): one speaker only"
elif ! powered hci3; then
  say "no powered hci3 to take hci2's first link (run-vm --controllers 4): one speaker only"
elif ! occupy_first_handle hci2 hci3; then
  cat "$work"/l2test-*.log
  say "hci2 could not hold a link to hci3 first: one speaker only"
else
  adapters+=(hci2)
fi
occupiers=${#pids[@]}
speakers=${#adapters[@]}
roles=(host)
for ((i = 1; i <= speakers; i++)); do roles+=("speaker$i"); done

ffmpeg -nostdin -hide_banner -loglevel error -f lavfi \
  -i "aevalsrc=exprs='0.5*sin(2*PI*(300+40*t)*t)|0.4*sin(2*PI*(700-20*t)*t)':s=44100:c=stereo:d=$song_s" \
  -c:a pcm_s16le "$work/song.wav" || fail "ffmpeg could not make the song"

# --- the party -----------------------------------------------------------------------------------
started_at=$(date +%s)
start_role host hci0 host --name "$party" --import "$work/song.wav" --play --wait-for "$speakers"
# One after another, as people join: the emulated controllers lose one of two connections
# made to one peripheral at the same moment.
connected() { grep -q '^Connected$' "$work/$1.out"; }
for ((i = 1; i <= speakers; i++)); do
  start_role "speaker$i" "${adapters[i - 1]}" join --party "$party" --timeout "$join_timeout_s"
  wait_for "$join_timeout_s" connected "speaker$i" || fail "speaker$i did not join"
  say "speaker$i on ${adapters[i - 1]} joined, $(($(date +%s) - started_at)) s after the start"
done

all_playing() {
  local role
  for role in "${roles[@]:1}"; do grep -q '· Playing ·' "$work/$role.out" || return 1; done
}
wait_for "$playing_limit_s" all_playing || fail "not every speaker reached playing"
say "every speaker plays, $(($(date +%s) - started_at)) s after the start"

all_heard() {
  local role
  for role in "${roles[@]}"; do
    (($(heard_s "$work/$role.log") >= settle_s + measured_s)) || return 1
  done
}
wait_for $((settle_s + measured_s + 60)) all_heard || fail "the heard logs stopped growing"

# Ctrl-C at the host: BYE to everybody, then every process ends by itself.
kill -INT "${pids[occupiers]}"
for ((i = 0; i <= speakers; i++)); do
  wait_exit "${pids[occupiers + i]}" "$ending_limit_s"
  ((status == 0)) || fail "${roles[i]} ended with status $status"
done
for role in "${roles[@]:1}"; do
  grep -q 'The host ended the party' "$work/$role.out" || fail "$role did not hear the party end"
done
[[ $(bluez_property /org/bluez/hci0 org.bluez.LEAdvertisingManager1 ActiveInstances) == "byte 0" ]] ||
  fail "hci0 still advertises after the host ended"
say "the host ended the party; every process ended, no advertisement left"

# --- the song every speaker played is the host's -------------------------------------------------
library=$work/host/data/Merriphonic/library
key=$(sed -n 's/.*"trackKey":"\([0-9a-f]\{16\}\)".*/\1/p' "$library/library.json")
wire=$(sed -n 's/.*"wireFile":"\([^"]*\)".*/\1/p' "$library/library.json")
[[ -n $key && -f $library/$wire ]] || fail "the host's library lists no ready song"
[[ $(sha256sum "$library/$wire" | cut -c1-16) == "$key" ]] || fail "the host's key is not its file's"
for role in "${roles[@]:1}"; do
  copy=$(compgen -G "$work/$role/cache/Merriphonic/tracks/$key.*" | head -n1)
  [[ -n $copy ]] || fail "$role has no song $key in its cache"
  cmp -s "$copy" "$library/$wire" || fail "$role's copy of $key differs from the host's"
done
say "every speaker holds song $key, byte for byte the host's"

# --- figures -------------------------------------------------------------------------------------
transfer_s=$(sed -n 's/^Song sent to [0-9]* speakers\{0,1\} in \([0-9.]*\) s$/\1/p' "$work/host.out" |
  head -n1)
[[ -n $transfer_s ]] || fail "the host never reported the song as sent"
speaker_logs=()
for role in "${roles[@]:1}"; do speaker_logs+=("$work/$role.log"); done
alignment=$("$align" --skip "$settle_s" --limit-ms "$limit_ms" "$work/host.log" "${speaker_logs[@]}")
aligned=$?
echo "$alignment"
align_p99_ms=$(sed -n 's/^align_p99_ms=\([0-9.]*\) .*/\1/p' <<<"$alignment")
breaks=$(sed -n 's/^align_p99_ms=.* breaks=\([0-9]*\)$/\1/p' <<<"$alignment")
[[ -n $align_p99_ms && -n $breaks ]] || fail "merriphonic-heard-align gave no figures"
metric speakers "$speakers"
metric transfer_s "$transfer_s"
metric align_p99_ms "$align_p99_ms"
metric breaks "$breaks"
summary="speakers=$speakers transfer_s=$transfer_s align_p99_ms=$align_p99_ms breaks=$breaks"
# Sound that broke off means an output fell behind real time or ran dry: on an emulated CPU
# that is the guest, not the party, and the alignment figure says nothing about the sync.
if ((breaks > 0)); then
  say "NOT JUDGED: the sound broke off $breaks times after the first ${settle_s} s; the guest" \
    "could not keep the outputs fed in real time, so alignment is not judged"
  say "$summary"
  exit "$not_judged"
fi
((aligned == 0)) || fail "a speaker was more than $limit_ms ms from the host (p99)"
say "$summary"
