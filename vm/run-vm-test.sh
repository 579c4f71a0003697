#!/bin/bash
# The daemon on a real Linux kernel: boots Debian's stock kernel under qemu
# with a small initramfs holding the daemon, zorctl, the real setkey and
# racoon (built from source by scripts/ipsec-tools.sh) and the tool stand-ins,
# runs simulated routers against the kernel's own PF_KEY and ESP, and turns
# the VM's verdict into an exit status. Without a source for the real tools
# the scenarios that need them are reported as not run, never as passed.
#
#   vm/run-vm-test.sh [--build DIR] [--selftest | --demo]
#   vm/run-vm-test.sh --target mips [--build DIR]   (see vm/mips/run.sh)
#
#   --build DIR   take ipsecVpn, zorctl, setkey and racoon from DIR/bin
#                 (default: configure and build them in build-vm/)
#   --selftest    afterwards, check that the harness reports a panic, a hang,
#                 silence, a failed check and disagreeing channels as failures
#   --demo        instead of the scenarios, the demo of scripts/demo.sh --vm:
#                 one IKE tunnel between the two routers, shown step by step
#
# Exit status: 0 passed; 1 a check failed; 2 the VM gave no trustworthy
# verdict (panic, hang, no report); 3 the VM could not be prepared;
# 77 this machine cannot run qemu (x86-64 host and Debian packages needed).
# Cache: downloaded kernel in ~/.cache/ipsecVpn/vm/ (IPSEC_VM_CACHE), images in vm/out/
# (vm/out-demo/ for --demo).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
# --target mips: the big-endian MIPS guest, with its own runner (vm/mips/run.sh).
if [ "${1:-}" = --target ]; then
    case ${2:-} in
    mips) shift 2; exec "$here/mips/run.sh" "$@" ;;
    x86_64 | x86-64) shift 2 ;;
    *) echo "run-vm-test: unknown target ${2:-}" >&2; exit 3 ;;
    esac
fi
build=""
selftest=0
demo=0
while [ $# -gt 0 ]; do
    case $1 in
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --selftest) selftest=1; shift ;;
    --demo) demo=1; shift ;;
    -h | --help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run-vm-test: unknown argument $1" >&2; exit 3 ;;
    esac
done
cache=${IPSEC_VM_CACHE:-${IPSEC_CACHE:-$HOME/.cache/ipsecVpn}/vm}
out=$here/out
if [ $demo -eq 1 ]; then
    # Its own images, so that a demo never mixes with a test run's.
    out=$here/out-demo
    export VM_APPEND="${VM_APPEND:-} ipsecvm.demo=1" VM_TIMEOUT=${VM_TIMEOUT:-300}
fi
t0=$(date +%s)
step() { echo "== vm: $* ($(($(date +%s) - t0))s)"; }
die() { echo "== vm: $*" >&2; exit 3; }

# The VM runs the host's own x86-64 binaries (busybox, ip, iptables, the
# daemon), so only an x86-64 Debian host with qemu can do this.
if [ "$(uname -m)" != x86_64 ]; then
    echo "== vm: SKIPPED: needs an x86-64 host (this is $(uname -m))"
    exit 77
fi
if ! "$top/scripts/deps.sh" qemu-system-x86 busybox-static cpio kmod iproute2 iptables util-linux dash; then
    echo "== vm: SKIPPED: qemu and its tools are not installed and cannot be installed here"
    exit 77
fi
if ! qemu-system-x86_64 -version >/dev/null 2>&1; then
    echo "== vm: SKIPPED: qemu-system-x86_64 does not run on this machine"
    exit 77
fi

step "kernel"
kver=$("$here/host/fetch-kernel.sh" "$cache") || die "could not fetch the kernel package"

if [ -z "$build" ]; then
    build=$top/build-vm
    step "building the daemon and tools in $build"
    cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIPSEC_BUILD_TESTS=OFF >/dev/null ||
        die "cmake configure failed"
    targets=$(cmake --build "$build" --target help | awk '{ print $2 }')
    for t in ipsecVpn zorctl setkey racoon; do
        if grep -qx "$t" <<<"$targets"; then
            cmake --build "$build" -j2 --target "$t" >/dev/null || die "building $t failed"
        fi
    done
fi

step "the real setkey and racoon"
tools_rc=0
tools=$("$top/scripts/ipsec-tools.sh" 2>"$cache/ipsec-tools.err") || tools_rc=$?
case $tools_rc in
0) tools_arg=("$tools"); echo "   $(cat "$tools/version") in $tools" ;;
77)
    reason="no source for the real tools: $(tail -n 1 "$cache/ipsec-tools.err" | sed 's/^ipsec-tools: //')"
    echo "   NOT RUN: the scenarios that need the real tools ($reason)"
    tools_arg=(--no-real-tools "$reason")
    ;;
*) cat "$cache/ipsec-tools.err" >&2; die "building the real setkey and racoon failed" ;;
esac

# The remote site of the interop scenarios: Debian's charon, unpacked, never
# installed on the host. Without it those scenarios are reported as not run.
peer_arg=()
if [ $demo -eq 0 ]; then
    step "the peer's IKE daemon"
    if peer=$("$here/host/fetch-peer.sh" "$cache" 2>"$cache/peer.err"); then
        peer_arg=(--peer "$peer")
        echo "   $(cat "$peer/.versions")"
    else
        echo "   NOT RUN: the interop scenarios ($(tail -n 1 "$cache/peer.err"))"
    fi
fi

step "initramfs (kernel $kver, programs from $build/bin)"
mkdir -p "$out"
"$here/host/build-initramfs.sh" "${peer_arg[@]}" "$cache/kroot" "$kver" "$build/bin" "$out" "${tools_arg[@]}" ||
    die "could not build the initramfs"

step "booting"
rc=0
"$here/host/boot.sh" "$out/vmlinuz" "$out/initramfs.cpio.gz" "$out/serial.log" || rc=$?
if [ $selftest -eq 1 ]; then
    step "harness self-test"
    rm -f "$out/selftest.counts"
    "$here/selftest.sh" || { [ $rc -ne 0 ] || rc=1; }
fi
# One closing line counting scenarios (not run ones as skipped) and
# self-test cases; a VM without a verdict counts as one failure.
read -r p f n < <(sed -n 's/^@@RESULT pass=\([0-9]*\) fail=\([0-9]*\) notrun=\([0-9]*\).*/\1 \2 \3/p' \
    "$out/serial.log" | tail -1; echo "0 0 0")
if [ $selftest -eq 1 ] && [ -f "$out/selftest.counts" ]; then
    read -r sp sf <"$out/selftest.counts"
    p=$((p + sp)) f=$((f + sf))
fi
[ $rc -eq 0 ] || [ "$f" -gt 0 ] || f=1
step "done, exit $rc"
echo "vm: $p passed, $f failed, $n skipped"
exit $rc
