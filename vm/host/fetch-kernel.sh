#!/bin/bash
# Fetches Debian's stock amd64 kernel package (the version linux-image-amd64
# depends on, or KVER) into a cache folder and unpacks it there with
# dpkg-deb -x. Nothing is installed on the host. Prints the kernel release.
#   fetch-kernel.sh CACHE-DIR
set -euo pipefail
cache=$1
mkdir -p "$cache/debs"

resolve() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        awk '/Depends: linux-image-[0-9]/ { sub("linux-image-", "", $2); print $2; exit }'
}
kver=${KVER:-}
if [ -z "$kver" ]; then
    kver=$(resolve)
    if [ -z "$kver" ] && [ "$(id -u)" -eq 0 ]; then
        apt-get update -qq >&2
        kver=$(resolve)
    fi
    if [ -z "$kver" ]; then
        # Offline or not root: fall back to a kernel already unpacked here.
        kver=$(ls "$cache/kroot/lib/modules" 2>/dev/null | sort -V | tail -1)
    fi
fi
if [ -z "$kver" ]; then
    echo "fetch-kernel: cannot tell which kernel linux-image-amd64 needs" >&2
    exit 1
fi

kroot=$cache/kroot
if [ ! -f "$kroot/boot/vmlinuz-$kver" ] || [ ! -f "$kroot/lib/modules/$kver/modules.dep" ]; then
    deb=$(ls "$cache/debs/linux-image-${kver}_"*.deb 2>/dev/null | head -1 || true)
    if [ -z "$deb" ]; then
        rm -f "$cache/debs"/linux-image-*.deb # an older kernel's package
        # apt-get download as root warns that _apt cannot write here; harmless.
        # Stale package lists may name a file the archive no longer has:
        # refresh them once and try again.
        if ! (cd "$cache/debs" && apt-get download -q "linux-image-$kver" >&2); then
            [ "$(id -u)" -eq 0 ] || exit 1
            apt-get update -qq >&2
            [ -n "${KVER:-}" ] || kver=$(resolve)
            (cd "$cache/debs" && apt-get download -q "linux-image-$kver" >&2)
        fi
        deb=$(ls "$cache/debs/linux-image-${kver}_"*.deb | head -1)
    fi
    rm -rf "$kroot.tmp"
    dpkg-deb -x "$deb" "$kroot.tmp"
    depmod -b "$kroot.tmp" "$kver"
    rm -rf "$kroot"
    mv "$kroot.tmp" "$kroot"
fi
echo "$kver"
