#!/bin/bash
# Checks what callers of run-vm rely on: bad usage is refused before any VM starts; the
# command's arguments, working directory, MERRIPHONIC_* variables, output, figures and exit
# status cross the VM boundary intact; a command that overruns is stopped and reported as 124.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
run_vm=$here/run-vm
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
failures=0

check() {
  local what=$1
  shift
  if "$@"; then
    echo "ok: $what"
  else
    echo "FAILED: $what"
    failures=$((failures + 1))
  fi
}
# Runs run-vm with "$@", keeping stdout, stderr and the exit status.
run() {
  "$run_vm" "$@" >"$out/stdout" 2>"$out/stderr"
  status=$?
}
stdout_has() { grep -qF -- "$1" "$out/stdout"; }
stderr_has() { grep -qF -- "$1" "$out/stderr"; }
# Exit status $1 and the explanation $2 on stderr.
refused_with() { [[ $status -eq $1 ]] && stderr_has "$2"; }
# run-vm keeps the folder of a failed run for debugging; these failures are on purpose.
forget_kept_run() { sed -n 's/^run-vm: console log and guest files kept in //p' "$out/stderr" | xargs -r rm -rf; }
summary_is_last() {
  [[ $(tail -n1 "$out/stdout") =~ ^vm:\ boot_s=[0-9.]+\ wall_s=[0-9.]+\ answer=42$ ]]
}

run
check "no command: usage, status 2" test "$status" -eq 2
run --accel warp -- true
check "unknown accelerator: status 125 and why" \
  refused_with 125 "--accel must be auto, kvm or tcg"
run --cpus 0 -- true
check "zero CPUs refused" test "$status" -eq 125

# One boot for everything that crosses the boundary. The guest script fails on purpose with
# a distinctive status once it has checked its side.
guest_side=$(cat <<'EOF'
[[ $PWD == "$1" ]] || { echo "cwd is $PWD, not $1"; exit 1; }
[[ $MERRIPHONIC_SELFTEST_TOKEN == 'a b*c' ]] || { echo "token is '$MERRIPHONIC_SELFTEST_TOKEN'"; exit 1; }
[[ $MERRIPHONIC_VM == 1 && -n $MERRIPHONIC_VM_BOOT_S ]] || { echo "VM variables missing"; exit 1; }
touch /usr/.vm-write-probe 2>/dev/null && { echo "the shared root is writable"; exit 1; }
echo scratch >/tmp/scratch && echo scratch >/var/lib/bluetooth/scratch || exit 1
echo "answer=42" >>"$MERRIPHONIC_VM_METRICS"
echo "arg: $2"
exit 7
EOF
)
# shellcheck disable=SC2016 # the $HOME must reach the guest unexpanded
(
  cd "$here" &&
    MERRIPHONIC_SELFTEST_TOKEN='a b*c' "$run_vm" --timeout 60 -- bash -c "$guest_side" guest "$here" 'two  words $HOME' \
      >"$out/stdout" 2>"$out/stderr"
)
status=$?
check "the command's exit status comes back" test "$status" -eq 7
# shellcheck disable=SC2016
check "arguments arrive unsplit and unexpanded" stdout_has 'arg: two  words $HOME'
check "the summary line is last, with the command's figures" summary_is_last
check "the failure is reported" stderr_has "the command failed in the VM with status 7"
((failures)) || forget_kept_run
if ((failures)); then
  echo "---- stdout"
  cat "$out/stdout"
  echo "---- stderr"
  cat "$out/stderr"
fi

run --timeout 5 -- sleep 600
check "an overrunning command is stopped with status 124" \
  refused_with 124 "did not finish within 5 s"
((failures)) || forget_kept_run

((failures == 0)) || { echo "run-vm-test: $failures check(s) failed"; exit 1; }
echo "run-vm-test: all checks passed"
