#!/bin/bash
# The daemon on the router's own kind of kernel: a 32-bit big-endian MIPS
# (Malta) Linux under qemu-system-mips, with two routers in network
# namespaces whose daemons load the kernel through the real setkey and read
# it back over PF_KEY, in the kernel's byte order.
#
#   vm/run-vm-test.sh --target mips [--build DIR | --deps | --prepare]
#
#   --build DIR   take ipsecVpn, zorctl and racoon (the stand-in) from DIR/bin,
#                 a build made with cmake/toolchain-mips-linux-gnu.cmake and
#                 -DCMAKE_EXE_LINKER_FLAGS=-static (default: configure and
#                 build them in build-vm-mips/)
#   --deps        only install the packages and fetch the Debian sources
#                 the test needs (exit 0, or 77 as below)
#   --prepare     only build the kernel, the guest's programs, the real
#                 tools and the daemon, at the lowest priority; after --deps
#                 it calls no apt, so it can run beside other work
#
# Everything else is built from Debian's source packages and the IPsec
# tools' source, and cached under IPSEC_VM_CACHE (default ~/.cache/ipsecVpn/vm)/mips,
# keyed by its inputs: the kernel, busybox, ip, libcrypto, setkey and racoon.
# Exit status as vm/run-vm-test.sh: 0 passed; 1 a check failed; 2 no
# trustworthy verdict; 3 the VM could not be prepared; 77 this machine
# cannot run qemu-system-mips or build for it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
vm=$(cd "$here/.." && pwd)
top=$(cd "$vm/.." && pwd)
build=""
only=""
while [ $# -gt 0 ]; do
    case $1 in
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --deps | --prepare) only=$1; shift ;;
    -h | --help) sed -n '2,23p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run-vm-test: unknown argument $1 for --target mips" >&2; exit 3 ;;
    esac
done
mkdir -p "${IPSEC_VM_CACHE:-${IPSEC_CACHE:-$HOME/.cache/ipsecVpn}/vm}"
cache=$(cd "${IPSEC_VM_CACHE:-${IPSEC_CACHE:-$HOME/.cache/ipsecVpn}/vm}" && pwd)
out=$vm/out
t0=$(date +%s)
step() { echo "== vm-mips: $* ($(($(date +%s) - t0))s)"; }
die() { echo "== vm-mips: $*" >&2; exit 3; }
skip() { echo "== vm-mips: SKIPPED: $*"; echo "vm: 0 passed, 0 failed, 0 skipped"; exit 77; }

[ "$(uname -m)" = x86_64 ] || skip "the cross toolchain needs an x86-64 Debian host (this is $(uname -m))"
[ "$only" != --prepare ] || renice -n 19 $$ >/dev/null
"$top/scripts/deps.sh" qemu-system-mips qemu-user gcc-mips-linux-gnu g++-mips-linux-gnu \
    libc6-dev-mips-cross linux-source-6.1 bc flex bison libelf-dev cpio dpkg-dev make cmake \
    nlohmann-json3-dev xz-utils ||
    skip "qemu-system-mips and the cross tools are not installed and cannot be installed here"
qemu-system-mips -version >/dev/null 2>&1 || skip "qemu-system-mips does not run on this machine"
if [ "$only" = --deps ]; then
    for pkg in busybox iproute2 openssl; do "$here/source.sh" "$cache" $pkg >/dev/null; done
    exec "$top/scripts/ipsec-tools.sh" --deps
fi

step "kernel (linux-source-6.1, malta_defconfig and vm/mips/kernel.config)"
kernel=$("$here/kernel.sh" "$cache") || die "could not build the kernel"

step "busybox, ip and libcrypto from Debian's sources"
declare -A part
while read -r name path; do part[$name]=$path; done < <("$here/userland.sh" "$cache" busybox ip libcrypto libfl) ||
    die "could not build the guest's programs"
[ -n "${part[libcrypto]:-}" ] || die "could not build the guest's programs"

step "the real setkey and racoon"
# Against the static libcrypto and the target's yywrap. (libtool reads
# -static as "our own libraries statically": the tools stay linked against
# the C library, whose files go into the image.)
crypto=${part[libcrypto]}
tools=$(IPSEC_CACHE=$cache/mips CPPFLAGS="-I$crypto/include" \
    LDFLAGS="-static -L$crypto/lib -L${part[libfl]}/lib" LIBS="-lfl -lcrypto -latomic -lpthread" \
    "$top/scripts/ipsec-tools.sh" --host mips-linux-gnu -- --with-openssl="$crypto" --disable-hybrid) ||
    { [ $? -eq 77 ] && skip "no source of the IPsec tools (see scripts/ipsec-tools.sh)"; die "could not build the IPsec tools for the target"; }

if [ -z "$build" ]; then
    build=$top/build-vm-mips
    step "building the daemon, zorctl and the racoon stand-in in $build"
    json=$build/cross-deps/json
    mkdir -p "$json/include" "$json/share/cmake"
    ln -sfn /usr/include/nlohmann "$json/include/nlohmann"
    rm -rf "$json/share/cmake/nlohmann_json"
    cp -r /usr/share/cmake/nlohmann_json "$json/share/cmake/"
    launcher=()
    if command -v ccache >/dev/null; then
        launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-mips-linux-gnu.cmake" \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DIPSEC_BUILD_TESTS=OFF -DIPSEC_BUILD_BENCHMARKS=OFF \
        -Dnlohmann_json_DIR="$json/share/cmake/nlohmann_json" -DCMAKE_CXX_FLAGS="-isystem $json/include" \
        -DCMAKE_EXE_LINKER_FLAGS=-static "${launcher[@]}" >/dev/null || die "cmake configure failed"
    nice -n 10 cmake --build "$build" -j"${JOBS:-2}" --target ipsecVpn zorctl racoon >/dev/null ||
        die "building the daemon for the target failed"
fi
[ "$only" != --prepare ] || exit 0

step "initramfs"
mkdir -p "$out"
"$here/initramfs.sh" "${part[busybox]}/busybox" "${part[ip]}/ip" "$build/bin" "$tools" "$out" ||
    die "could not build the initramfs"

step "booting $(basename "$kernel")"
rc=0
"$here/boot.sh" "$kernel" "$out/initramfs-mips.cpio.gz" "$out/serial-mips.log" || rc=$?
read -r p f n < <(sed -n 's/^@@RESULT pass=\([0-9]*\) fail=\([0-9]*\) notrun=\([0-9]*\).*/\1 \2 \3/p' \
    "$out/serial-mips.log" | tail -1; echo "0 0 0")
[ $rc -eq 0 ] || [ "$f" -gt 0 ] || f=1
step "done, exit $rc"
echo "vm: $p passed, $f failed, $n skipped"
exit $rc
