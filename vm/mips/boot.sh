#!/bin/bash
# Boots the big-endian MIPS guest under qemu-system-mips (Malta board, TCG)
# with a hard time bound and turns what it reports into an exit status, as
# vm/host/boot.sh does for the x86-64 VM:
#   0  every scenario that ran passed (console and verdict line agree)
#   1  a check failed (console and verdict line agree)
#   2  no trustworthy verdict: panic, hang, silence, or the two disagree
# Malta has no isa-debug-exit port: the guest writes its verdict to the
# second serial line, which qemu puts in LOG.verdict.
# Environment: VM_TIMEOUT (s, default 900), VM_MEM (default 256M), VM_APPEND.
#   boot.sh KERNEL INITRD LOG
set -uo pipefail
kernel=$1 initrd=$2 log=$3
timeout_s=${VM_TIMEOUT:-900}
mem=${VM_MEM:-256M}
vfile=$log.verdict
rm -f "$vfile"

start=$(date +%s)
timeout --kill-after=5 "$timeout_s" qemu-system-mips -M malta -m "$mem" \
    -nodefaults -no-reboot -display none -monitor none \
    -serial stdio -serial "file:$vfile" \
    -kernel "$kernel" -initrd "$initrd" \
    -append "console=ttyS0 panic=-1 oops=panic loglevel=4 quiet ipsecvm.verdict=/dev/ttyS1 ${VM_APPEND:-}" \
    </dev/null 2>&1 | tr -d '\r' | tee "$log"
qrc=${PIPESTATUS[0]}
wall=$(($(date +%s) - start))

verdict_line=$(tr -d '\r' <"$vfile" 2>/dev/null | grep -a '^verdict ' | tail -1)
echo
echo "== VM summary (qemu-system-mips exit $qrc, ${wall}s wall, $mem)"
booted=$(grep -a '^@@BOOTED ' "$log" | tail -1)
echo "   guest: ${booted#@@BOOTED }"
grep -a -E '^@@SCENARIO' "$log" | sed 's/^@@/   /'
case $verdict_line in "verdict 000") channel=pass ;; "verdict 001") channel=fail ;; *) channel=none ;; esac
. "$(dirname "$0")/../host/verdict.sh"
vm_verdict "$log" "$qrc" "$timeout_s" "$channel" "verdict line (${verdict_line:-none})"
