#!/bin/bash
# Builds everything and runs every test: a GCC build, then a Clang build with
# AddressSanitizer and UndefinedBehaviorSanitizer. Installs what it needs on
# Debian bookworm (as root).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

scripts/deps.sh cmake make g++ clang libclang-rt-14-dev libgtest-dev googletest nlohmann-json3-dev \
    iptables iproute2 util-linux man-db groff-base

jobs=$(nproc)
run_build() { # NAME CMAKE-ARGS...
    local dir="$top/build-test/$1"
    shift
    cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" -j "$jobs" --output-on-failure --no-tests=error
}

echo "== gcc build and tests"
run_build gcc -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc
echo "== clang build with AddressSanitizer and UndefinedBehaviorSanitizer, tests"
ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0 UBSAN_OPTIONS=print_stacktrace=1 \
    run_build clang-asan -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DIPSEC_SANITIZE=ON
# The router's own processor (32-bit big-endian MIPS): the daemon, the stand-in
# framework and the unit tests cross-built and run under qemu-user, where
# byte-order slips and misaligned reads fail.
echo "== big-endian MIPS cross build, unit tests under qemu-user"
scripts/cross-test.sh "$top/build-test/mips"
