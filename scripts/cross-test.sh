#!/bin/bash
# Cross-builds the daemon, the stand-in framework and the unit tests for the
# router's processor (32-bit big-endian MIPS) and runs the tests under
# qemu-user, each in its own sandbox. Byte-order and alignment faults that an
# x86-64 build hides show up here. Installs what it needs on Debian bookworm
# (as root).
#
#   cross-test.sh [BUILD-DIR]     (default: build-test/mips)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

scripts/deps.sh cmake make g++-mips-linux-gnu qemu-user googletest nlohmann-json3-dev \
    iproute2 util-linux

dir=$(mkdir -p "${1:-$top/build-test/mips}" && cd "${1:-$top/build-test/mips}" && pwd)
deps="$dir/cross-deps"
toolchain="$top/cmake/toolchain-mips-linux-gnu.cmake"
jobs=$(nproc)
start=$SECONDS

# GoogleTest for the target, from Debian's source package, installed into a
# prefix of its own; rebuilt only when missing. Not optimised: it compiles in
# half the time, and the tests spend next to nothing in it.
gtest_dir="$deps/gtest/lib/cmake/GTest"
if [ ! -f "$gtest_dir/GTestConfig.cmake" ]; then
    echo "== GoogleTest for the target"
    cmake -S /usr/src/googletest -B "$deps/gtest-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE= -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON \
        -DCMAKE_INSTALL_PREFIX="$deps/gtest" >/dev/null
    cmake --build "$deps/gtest-build" -j "$jobs" >/dev/null
    cmake --install "$deps/gtest-build" >/dev/null
fi

# nlohmann-json is header-only and the same for every target. It is offered
# from a prefix that holds nothing else, so the find root stays closed to the
# host's own headers and libraries.
json="$deps/json"
mkdir -p "$json/include" "$json/share/cmake"
ln -sfn /usr/include/nlohmann "$json/include/nlohmann"
rm -rf "$json/share/cmake/nlohmann_json"
cp -r /usr/share/cmake/nlohmann_json "$json/share/cmake/"

# Built as a firmware build would be: for size, without debug information
# (which also halves the compile time on a small CI machine).
echo "== big-endian MIPS build (qemu-mips) and tests"
cmake -S "$top" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DGTest_DIR="$gtest_dir" -Dnlohmann_json_DIR="$json/share/cmake/nlohmann_json" \
    -DCMAKE_CXX_FLAGS="-isystem $json/include" >/dev/null
cmake --build "$dir" -j "$jobs"
ctest --test-dir "$dir" -j "$jobs" --output-on-failure --no-tests=error
# Proof of where the tests ran, from the platform test's output; without it
# the run proved nothing about the target.
if ! grep -h -m1 '^target: ' "$dir/Testing/Temporary/LastTest.log"; then
    echo "cross-test: the platform test did not run" >&2
    exit 1
fi

if [ -f "$dir/bin/ipsecVpn" ]; then
    mips-linux-gnu-strip -o "$dir/ipsecVpn.stripped" "$dir/bin/ipsecVpn"
    echo "stripped daemon for the target: $(stat -c %s "$dir/ipsecVpn.stripped") bytes"
fi
echo "cross step: $((SECONDS - start)) s"
