#!/bin/bash
# Footprint of the daemon: its stripped size (native, and big-endian MIPS as a
# firmware build makes it), and its memory while it runs: resident memory
# (peak and steady) and heap with 20 tunnels over 1,000 monitoring ticks
# driven in-process (heap measured with valgrind's massif), the heap in use at
# tick 100 and at tick 1,000, and the resident memory of the real daemon
# after a WAN up with the same tunnels. Prints a report; changes nothing on
# the host (the runs happen in scripts/sandbox.sh).
#
#   scripts/footprint.sh [--tunnels N] [--ticks T] [--no-mips]    (as root on Debian)
# IPSEC_BUILD_DIR names the native build folder to use (default build-footprint).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

tunnels=20
ticks=1000
mips=1
while [ $# -gt 0 ]; do
    case "$1" in
    --tunnels) tunnels=$2; shift 2 ;;
    --ticks) ticks=$2; shift 2 ;;
    --no-mips) mips=0; shift ;;
    *) echo "usage: footprint.sh [--tunnels N] [--ticks T] [--no-mips]" >&2; exit 2 ;;
    esac
done

if [ "${IPSEC_FOOTPRINT_STAGE:-}" = "inside" ]; then
    # ---- inside the sandbox ---------------------------------------------------
    bin=$IPSEC_FOOTPRINT_BIN
    out=$IPSEC_FOOTPRINT_OUT
    echo "== in-process driver: $tunnels tunnels (gateways by host name), $ticks ticks"
    # Without glibc's per-thread cache, whose blocks it counts as in use, the
    # heap in use is exact from tick to tick.
    GLIBC_TUNABLES=glibc.malloc.tcache_count=0 "$bin/ipsec_tick_driver" "$tunnels" "$ticks" | tee "$out/driver.txt"
    echo "== the same under valgrind's massif (heap, every allocation)"
    valgrind --tool=massif --massif-out-file="$out/massif.out" --detailed-freq=1000 \
        "$bin/ipsec_tick_driver" "$tunnels" "$ticks" >/dev/null 2>"$out/massif.log"
    # Heap (useful + allocator overhead) of every snapshot, in time order.
    awk -F= '/^mem_heap_B/ {h = $2} /^mem_heap_extra_B/ {print h + $2}' "$out/massif.out" >"$out/heap.txt"
    awk 'NR == 1 {min = $1} {if ($1 > max) max = $1; if ($1 < min) min = $1; last = $1}
         END {printf "massif: %d snapshots, heap peak %d bytes, at the end %d bytes\n", NR, max, last}' \
        "$out/heap.txt"
    # The later half of the run (all of it past tick 100 when T >= 200):
    # its largest heap may not exceed the largest of the first half.
    awk '{v[NR] = $1} END {h = int(NR / 2); for (i = 1; i <= NR; i++) { if (i <= h && v[i] > a) a = v[i];
         if (i > h && v[i] > b) b = v[i] }
         printf "massif: largest heap, first half of the snapshots %d bytes, second half %d bytes: %s\n", a, b,
         (b <= a ? "no growth" : "GROWS")}' "$out/heap.txt"

    echo "== the real daemon after a WAN up with $tunnels tunnels"
    export ZOR_HOME=/var/run/zor IPSEC_TOOL_LOG=/var/tmp/tools.log
    mkdir -p "$ZOR_HOME"
    "$top/scripts/compare-peer.sh" --write-model "$tunnels" >"$ZOR_HOME/mdm.json"
    : >/var/tmp/sa.txt
    LD_PRELOAD="$bin/libpfkeysim.so" PFKEYSIM_TABLE=/var/tmp/sa.txt ipsecVpn -m 1 >/dev/null 2>/var/tmp/daemon.log &
    daemon=$!
    for _ in $(seq 100); do [ -S "$ZOR_HOME/msg/502" ] && break; sleep 0.1; done
    grep -E '^(VmRSS|VmHWM|VmSize)' "/proc/$daemon/status" | sed 's/^/before WAN up: /'
    zorctl wan set wan0 enable=1 connectionStatus=Connected connectionType=IP_Routed externalIPAddress=198.51.100.2
    zorctl wan up wan0
    for _ in $(seq 300); do grep -qs 'setkey -f' "$IPSEC_TOOL_LOG" && break; sleep 0.1; done
    sleep 1
    grep -E '^(VmRSS|VmHWM|VmSize)' "/proc/$daemon/status" | sed 's/^/after WAN up: /'
    kill "$daemon"
    exit 0
fi

cd "$top"
scripts/deps.sh cmake make g++ libgtest-dev googletest nlohmann-json3-dev libbenchmark-dev valgrind \
    binutils iptables iproute2 util-linux
build="${IPSEC_BUILD_DIR:-$top/build-footprint}"
out="$build/footprint"
mkdir -p "$out"
echo "== native build ($build, RelWithDebInfo: -O2 -g)"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target ipsecVpn ipsec_tick_driver zorctl setkey racoon pfkeysim_preload >/dev/null
strip -o "$out/ipsecVpn.stripped" "$build/bin/ipsecVpn"
echo "stripped daemon, x86-64 -O2: $(stat -c %s "$out/ipsecVpn.stripped") bytes"
size "$out/ipsecVpn.stripped" | sed 's/^/  /'

if [ "$mips" -eq 1 ]; then
    # The daemon alone, as a firmware build makes it (for size), with the
    # stand-in framework linked in as the router's libraries would be.
    scripts/deps.sh g++-mips-linux-gnu binutils-mips-linux-gnu
    mbuild="$top/build-footprint-mips"
    echo "== big-endian MIPS build ($mbuild, MinSizeRel)"
    cmake -S "$top" -B "$mbuild" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-mips-linux-gnu.cmake" \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DIPSEC_BUILD_TESTS=OFF -DIPSEC_BUILD_BENCHMARKS=OFF >/dev/null
    cmake --build "$mbuild" -j "$(nproc)" --target ipsecVpn >/dev/null
    mips-linux-gnu-strip -o "$out/ipsecVpn.mips.stripped" "$mbuild/bin/ipsecVpn"
    echo "stripped daemon, mips32r2 big-endian -Os: $(stat -c %s "$out/ipsecVpn.mips.stripped") bytes"
    mips-linux-gnu-size "$out/ipsecVpn.mips.stripped" | sed 's/^/  /'
    mips-linux-gnu-readelf -d "$out/ipsecVpn.mips.stripped" | awk '/NEEDED/ {print "  needs " $NF}'
fi

export IPSEC_FOOTPRINT_STAGE=inside IPSEC_FOOTPRINT_BIN="$build/bin" IPSEC_FOOTPRINT_OUT="$out"
exec scripts/sandbox.sh --path "$build/bin" -- "$0" --tunnels "$tunnels" --ticks "$ticks"
