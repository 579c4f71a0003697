#!/bin/bash
# Boots the test VM under qemu (TCG: no KVM needed) with a hard time bound and
# turns what it reports into an exit status:
#   0  every scenario that ran passed (console and isa-debug-exit agree)
#   1  a check failed (console and isa-debug-exit agree)
#   2  no trustworthy verdict: panic, hang, silence, or the two channels disagree
# Environment: VM_TIMEOUT (s, default 1200), VM_MEM (default 256M), VM_APPEND.
#   boot.sh KERNEL INITRD LOG
set -uo pipefail
kernel=$1 initrd=$2 log=$3
timeout_s=${VM_TIMEOUT:-1200}
mem=${VM_MEM:-256M}

start=$(date +%s)
# -no-reboot with panic=-1 turns a panic into a qemu exit; oops=panic makes an
# oops fatal; the console is the only other channel out of the VM.
timeout --kill-after=5 "$timeout_s" qemu-system-x86_64 \
    -accel tcg -cpu max -smp 1 -m "$mem" \
    -nodefaults -no-reboot -display none -monitor none -serial stdio \
    -device isa-debug-exit,iobase=0xf4,iosize=0x04 \
    -kernel "$kernel" -initrd "$initrd" \
    -append "console=ttyS0 panic=-1 oops=panic loglevel=4 quiet mitigations=off ${VM_APPEND:-}" \
    </dev/null 2>&1 | stdbuf -oL tr -d '\r' | tee "$log"
qrc=${PIPESTATUS[0]}
wall=$(($(date +%s) - start))

echo
echo "== VM summary (qemu exit $qrc, ${wall}s wall, $mem)"
grep -a -E '^@@(TOOLS|SCENARIO|INSMOD-FAIL)' "$log" | sed 's/^@@/   /'
# isa-debug-exit: the VM wrote 0 (qemu exits 1) for a pass, 1 (qemu exits 3)
# for a failure. Anything else means the port was never written.
case $qrc in 1) channel=pass ;; 3) channel=fail ;; *) channel=none ;; esac
. "$(dirname "$0")/verdict.sh"
vm_verdict "$log" "$qrc" "$timeout_s" "$channel" "isa-debug-exit (qemu exit $qrc)"
