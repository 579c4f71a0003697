# shellcheck shell=bash
# Sourced by the boot scripts: the VM's verdict from its console LOG and a
# second channel, as the exit status (0 passed, 1 a check failed, 2 no
# trustworthy verdict: hang, panic, silence, or the channels disagree).
#   vm_verdict LOG QEMU-EXIT TIMEOUT CHANNEL CHANNEL-TEXT
# CHANNEL is what the second channel said: pass, fail or anything else (never
# written); CHANNEL-TEXT names it in the disagreement line.
vm_verdict() {
    local log=$1 qrc=$2 timeout_s=$3 channel=$4 what=$5 result done_line
    result=$(grep -a '^@@RESULT ' "$log" | tail -1)
    done_line=$(grep -a '^@@DONE ' "$log" | tail -1)
    grep -a '^@@CHECK FAIL' "$log" | sed 's/^@@/   /'
    echo "   ${result#@@}"; [ -n "$result" ] || echo "   no result line"

    if [ "$qrc" -eq 124 ] || [ "$qrc" -eq 137 ]; then
        echo "== VM verdict: FAILED: the VM did not finish within ${timeout_s}s (hang); last lines:"
        grep -a -v '^   |' "$log" | tail -5 | sed 's/^/   > /'
        return 2
    fi
    if grep -a -q 'Kernel panic' "$log"; then
        echo "== VM verdict: FAILED: the kernel panicked:"
        grep -a -A2 'Kernel panic' "$log" | head -5 | sed 's/^/   > /'
        return 2
    fi
    if [ -z "$result" ] || [ -z "$done_line" ]; then
        echo "== VM verdict: FAILED: the VM ended without reporting a verdict (qemu exit $qrc)"
        return 2
    fi
    case "$channel:$result" in
    pass:*" fail=0 "*) echo "== VM verdict: PASSED"; return 0 ;;
    fail:*" fail=0 "*) ;;
    fail:*) echo "== VM verdict: FAILED: scenarios failed"; return 1 ;;
    esac
    echo "== VM verdict: FAILED: console ($result) and $what disagree"
    return 2
}
