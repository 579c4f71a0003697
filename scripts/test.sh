#!/bin/bash
# Builds everything and runs every test: a GCC build, then a Clang build with
# AddressSanitizer and UndefinedBehaviorSanitizer. Installs what it needs on
# Debian bookworm (as root).
#   scripts/test.sh           everything, as CI runs it
#   scripts/test.sh --quick   the inner loop: the GCC build and its tests only
set -euo pipefail
quick=0
case "${1:-}" in
"") ;;
--quick) quick=1 ;;
*)
    echo "usage: scripts/test.sh [--quick]" >&2
    exit 2
    ;;
esac
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

scripts/deps.sh cmake make g++ clang libclang-rt-14-dev libgtest-dev googletest nlohmann-json3-dev libbenchmark-dev \
    iptables iproute2 util-linux man-db groff-base shellcheck

jobs=$(nproc)
run_build() { # NAME CMAKE-ARGS...
    local dir="$top/build-test/$1"
    shift
    cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" -j "$jobs" --output-on-failure --no-tests=error
}

# Every shell file at warning level (a directive with its reason where a
# finding is meant).
echo "== shellcheck"
find scripts vm bench tests fuzz .ci \( -name '*.sh' -o -path vm/guest/init -o -path .ci/run \) \
    -not -path 'vm/out*' -print0 | xargs -0 shellcheck -S warning

echo "== gcc build and tests"
run_build gcc -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc
if [ "$quick" -eq 1 ]; then
    exit 0
fi
# The last step's kernel, busybox, ip, libcrypto, IPsec tools and daemon for
# the big-endian MIPS guest take the longest to build (about 20 min of CPU on
# a fresh machine): they are built in the background at the lowest priority,
# on the core the single-threaded steps (fuzzers, the x86-64 VM) leave idle;
# the MIPS step waits for them. Their packages and sources are fetched first,
# so that the background never calls apt beside another step.
mips_prep_pid=
if vm/run-vm-test.sh --target mips --deps >/dev/null; then
    echo "== big-endian MIPS guest: building in the background (build-test/mips-prepare.log)"
    mkdir -p build-test
    # In a process group of its own, which ends with this script.
    JOBS=2 setsid vm/run-vm-test.sh --target mips --prepare >build-test/mips-prepare.log 2>&1 &
    mips_prep_pid=$!
    trap 'kill -- -"$mips_prep_pid" 2>/dev/null || true' EXIT
fi
# The benchmarks are built with everything; run once at the small sizes as a
# smoke check (no timing is judged).
echo "== benchmarks, smoke run"
scripts/sandbox.sh --path "$top/build-test/gcc/bin" -- "$top/build-test/gcc/bin/ipsec_bench" \
    --benchmark_filter='/(1|10)(/|$)|Pfkey' --benchmark_min_time=0.001 >/dev/null
echo "== clang build with AddressSanitizer and UndefinedBehaviorSanitizer, tests"
ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0 UBSAN_OPTIONS=print_stacktrace=1 \
    run_build clang-asan -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DIPSEC_SANITIZE=ON
# The parsers and checks that meet hostile input (kernel replies, framework
# messages, addresses, data-model texts) under libFuzzer with the sanitizers,
# 20 seconds each from the kernel captures and golden files; a crash fails.
echo "== fuzzers (FUZZ_SECONDS=${FUZZ_SECONDS:-20} each)"
scripts/fuzz.sh "$top/build-test/fuzz"
# The router's own processor (32-bit big-endian MIPS): the daemon, the stand-in
# framework and the unit tests cross-built and run under qemu-user, where
# byte-order slips and misaligned reads fail.
echo "== big-endian MIPS cross build, unit tests under qemu-user"
scripts/cross-test.sh "$top/build-test/mips"
# The daemon against a real Linux kernel: Debian's stock kernel booted under
# qemu (TCG, no KVM needed) with simulated routers, each running the daemon
# from the gcc build with the real setkey and racoon (built from source by
# scripts/ipsec-tools.sh): manually keyed tunnels and tunnels negotiated by
# racoon carry traffic over the kernel's own ESP and their status is read
# back over the kernel's PF_KEY. The harness self-test then shows that a
# panic, a hang or a silent VM fails. Skipped (exit 77) only where this
# machine cannot run qemu at all; without a source for the real tools the
# negotiations are reported as not run, and said so here.
echo "== real-kernel VM test"
vm_rc=0
vm/run-vm-test.sh --build "$top/build-test/gcc" --selftest || vm_rc=$?
if [ "$vm_rc" -eq 77 ]; then
    echo "== real-kernel VM test skipped: this machine cannot run qemu"
elif [ "$vm_rc" -ne 0 ]; then
    exit "$vm_rc"
elif grep -a -q '^@@TOOLS stand-ins only' vm/out/serial.log; then
    echo "== real-kernel VM test: the scenarios on the real tools were NOT RUN:" \
        "$(sed -n 's/^@@TOOLS stand-ins only: //p' vm/out/serial.log | head -n 1)"
fi
# The same on the router's own kind of kernel: a 32-bit big-endian MIPS
# kernel built from Debian's linux-source under qemu-system-mips, the daemon
# cross-built, the real setkey loading the kernel; PF_KEY's byte order is
# checked where it matters. Cached under ~/.cache/ipsecVpn/vm after the first run.
echo "== big-endian MIPS kernel VM test"
if [ -n "$mips_prep_pid" ] && ! wait "$mips_prep_pid"; then
    # Built again in the foreground below, where its errors show.
    echo "== big-endian MIPS guest: the background build failed; its log:"
    tail -n 20 build-test/mips-prepare.log
fi
vm_rc=0
vm/run-vm-test.sh --target mips || vm_rc=$?
if [ "$vm_rc" -eq 77 ]; then
    echo "== big-endian MIPS kernel VM test skipped: this machine cannot run qemu-system-mips"
elif [ "$vm_rc" -ne 0 ]; then
    exit "$vm_rc"
fi
