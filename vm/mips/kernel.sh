#!/bin/bash
# Builds the big-endian MIPS (Malta) kernel for the router VM test from
# Debian's linux-source package: malta_defconfig with the options in
# kernel.config beside this script, only the vmlinux image (what it needs is
# built in, nothing is a module). Cached under CACHE-DIR, keyed by the source
# package's version, the option list and the cross compiler's version.
# Prints the path of the cached vmlinux.
#   kernel.sh CACHE-DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$1"
cache=$(cd "$1" && pwd)
cross=mips-linux-gnu-
tarball=$(ls /usr/src/linux-source-6.1.tar.xz 2>/dev/null || true)
[ -n "$tarball" ] || { echo "kernel: /usr/src/linux-source-6.1.tar.xz is missing" >&2; exit 1; }
srcver=$(dpkg-query -W -f '${Version}' linux-source-6.1 2>/dev/null || stat -c %s "$tarball")
key=$( {
    echo "$srcver"
    cat "$here/kernel.config"
    "${cross}gcc" --version | head -1
} | sha256sum | cut -c1-16)
image=$cache/mips/vmlinux-$key
if [ -f "$image" ]; then
    echo "$image"
    exit 0
fi
mkdir -p "$cache/mips"
src=$cache/mips/linux-$srcver
if [ ! -f "$src/Makefile" ]; then
    rm -rf "$src.tmp"
    mkdir -p "$src.tmp"
    tar -C "$src.tmp" --strip-components=1 -xJf "$tarball"
    mv "$src.tmp" "$src"
fi
obj=$cache/mips/kbuild-$key
rm -rf "$obj"
mkdir -p "$obj"
kmake() { nice -n 10 make -s -C "$src" O="$obj" ARCH=mips CROSS_COMPILE=$cross "$@"; }
kmake malta_defconfig >&2
"$src/scripts/kconfig/merge_config.sh" -m -O "$obj" "$obj/.config" "$here/kernel.config" >/dev/null
kmake olddefconfig >&2
# Every option asked for must have survived olddefconfig (a dependency
# missing from the list would drop it without a word).
missing=$(grep -E '^CONFIG_[A-Z0-9_]+=y' "$here/kernel.config" | while read -r opt; do
    grep -qx "$opt" "$obj/.config" || echo "$opt"
done)
if [ -n "$missing" ]; then
    echo "kernel: options not taken by the kernel configuration:" $missing >&2
    exit 1
fi
kmake -j"${JOBS:-2}" vmlinux >&2
cp "$obj/vmlinux" "$image.tmp"
"${cross}strip" "$image.tmp" 2>/dev/null || true
mv "$image.tmp" "$image"
rm -rf "$obj"
echo "$image"
