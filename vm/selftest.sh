#!/bin/bash
# Shows that the VM harness reports failures instead of hiding them: boots the
# images that run-vm-test.sh built with a fault injected by the VM's /init
# and checks the runner's exit status and message for each.
#   vm/selftest.sh      (after vm/run-vm-test.sh; about a minute)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$here/out
[ -f "$out/initramfs.cpio.gz" ] || { echo "selftest: run vm/run-vm-test.sh first" >&2; exit 3; }

pass=0 fail=0
# case NAME FAULT TIMEOUT EXPECTED-EXIT EXPECTED-MESSAGE
case_() {
    local name=$1 fault=$2 tmo=$3 want_rc=$4 want_msg=$5 rc=0 log=$out/selftest-$1.log
    VM_TIMEOUT=$tmo VM_APPEND="ipsecvm.fault=$fault" \
        "$here/host/boot.sh" "$out/vmlinuz" "$out/initramfs.cpio.gz" "$log" >"$log.runner" 2>&1 || rc=$?
    if [ "$rc" -eq "$want_rc" ] && grep -q -- "$want_msg" "$log.runner"; then
        echo "selftest: PASS $name (exit $rc)"
        pass=$((pass + 1))
    else
        echo "selftest: FAIL $name: exit $rc (want $want_rc), message '$want_msg' $(grep -c -- "$want_msg" "$log.runner") times"
        tail -5 "$log.runner" | sed 's/^/   > /'
        fail=$((fail + 1))
    fi
}
case_ kernel-panic panic 60 2 "the kernel panicked"
case_ vm-hangs hang 15 2 "did not finish within 15s"
case_ no-verdict silent 60 2 "without reporting a verdict"
case_ channels-disagree mismatch 60 2 "disagree"
case_ check-fails fail 60 1 "CHECK FAIL kernel/injected-failure"
echo "$pass $fail" >"$out/selftest.counts"
echo "selftest: $pass passed, $fail failed"
[ "$fail" -eq 0 ]
