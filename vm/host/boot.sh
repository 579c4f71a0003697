#!/bin/bash
# Boots the test VM under qemu (TCG: no KVM needed) with a hard time bound and
# turns what it reports into an exit status:
#   0  every scenario that ran passed (console and isa-debug-exit agree)
#   1  a check failed (console and isa-debug-exit agree)
#   2  no trustworthy verdict: panic, hang, silence, or the two channels disagree
# Environment: VM_TIMEOUT (s, default 840), VM_MEM (default 256M), VM_APPEND.
#   boot.sh KERNEL INITRD LOG
set -uo pipefail
kernel=$1 initrd=$2 log=$3
timeout_s=${VM_TIMEOUT:-840}
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

result=$(grep -a '^@@RESULT ' "$log" | tail -1)
done_line=$(grep -a '^@@DONE ' "$log" | tail -1)
echo
echo "== VM summary (qemu exit $qrc, ${wall}s wall, $mem)"
grep -a -E '^@@(TOOLS|SCENARIO|INSMOD-FAIL)' "$log" | sed 's/^@@/   /'
grep -a '^@@CHECK FAIL' "$log" | sed 's/^@@/   /'
echo "   ${result#@@}"; [ -n "$result" ] || echo "   no result line"

verdict() { echo "== VM verdict: $*"; }
if [ "$qrc" -eq 124 ] || [ "$qrc" -eq 137 ]; then
    verdict "FAILED: the VM did not finish within ${timeout_s}s (hang); last lines:"
    grep -a -v '^   |' "$log" | tail -5 | sed 's/^/   > /'
    exit 2
fi
if grep -a -q 'Kernel panic' "$log"; then
    verdict "FAILED: the kernel panicked:"
    grep -a -A2 'Kernel panic' "$log" | head -5 | sed 's/^/   > /'
    exit 2
fi
if [ -z "$result" ] || [ -z "$done_line" ]; then
    verdict "FAILED: the VM ended without reporting a verdict (qemu exit $qrc)"
    exit 2
fi
# isa-debug-exit: the VM wrote 0 (qemu exits 1) for a pass, 1 (qemu exits 3)
# for a failure. Anything else means the port was never written.
case "$qrc:$result" in
1:*" fail=0 "*) verdict "PASSED"; exit 0 ;;
3:*" fail=0 "*) ;;
3:*) verdict "FAILED: scenarios failed"; exit 1 ;;
esac
verdict "FAILED: console ($result) and isa-debug-exit (qemu exit $qrc) disagree"
exit 2
