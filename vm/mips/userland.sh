#!/bin/bash
# Cross-builds, for the big-endian MIPS guest, the programs its root file
# system needs, each from Debian's source package and each cached under
# CACHE-DIR/mips/ by the source version, the cross compiler's version and
# this script's recipe for it:
#   busybox     static; without its ip applets (the real ip is needed for
#               xfrm and namespaces) and with ash as the shell
#   ip          iproute2's, linked against the target's C library
#   libcrypto   OpenSSL's, static and minimal, for the real setkey and racoon
#   libfl       the lex library's yywrap, for setkey's scanner
# Prints "NAME PATH" for each one built or found.
#   userland.sh CACHE-DIR NAME...
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$1"
cache=$(cd "$1" && pwd)
shift
cross=mips-linux-gnu
jobs=${JOBS:-2}
ccver=$("$cross-gcc" --version | head -1)
log() { echo "userland: $*" >&2; }

# key NAME SOURCE-DIR: the cache key of one build.
key() {
    { echo "$ccver"; basename "$2"; declare -f "build_$1"; } | sha256sum | cut -c1-16
}

build_busybox() { # SRC OUT
    local b=$2/build
    mkdir -p "$b"
    make -s -C "$1" O="$b" ARCH=mips CROSS_COMPILE=$cross- defconfig >/dev/null || return 1
    # Static; no ip applets; no applet preferred over a real program on PATH;
    # nothing that needs more of the C library than a static link gives.
    sed -i -e 's/^# CONFIG_STATIC is not set/CONFIG_STATIC=y/' \
        -e 's/^CONFIG_\(IP\|IPADDR\|IPLINK\|IPROUTE\|IPTUNNEL\|IPRULE\|IPNEIGH\|TC\)=y/# CONFIG_\1 is not set/' \
        -e 's/^CONFIG_\(FEATURE_PREFER_APPLETS\|FEATURE_SH_STANDALONE\|FEATURE_SH_NOFORK\)=y/# CONFIG_\1 is not set/' \
        "$b/.config"
    # (yes ends on a broken pipe once oldconfig has read its answers.)
    { yes '' || true; } | make -s -C "$1" O="$b" ARCH=mips CROSS_COMPILE=$cross- oldconfig >/dev/null || return 1
    make -s -C "$1" O="$b" ARCH=mips CROSS_COMPILE=$cross- -j"$jobs" busybox >/dev/null 2>"$b/warnings.log" ||
        { tail -20 "$b/warnings.log" >&2; return 1; }
    install -m755 "$b/busybox" "$2/busybox" || return 1
    rm -rf "$b"
}

build_ip() { # SRC OUT
    local b=$2/build mk
    cp -a "$1" "$b" || return 1
    # No libmnl, libelf, libcap or SELinux for the target: the plain tool.
    # Linked dynamically: ip finds its link types (veth) by looking its own
    # symbols up, which a static program cannot.
    mk=("CC=$cross-gcc" "AR=$cross-ar" HAVE_MNL=n HAVE_ELF=n HAVE_CAP=n
        HAVE_SELINUX=n HAVE_BERKELEY_DB=n SUBDIRS="lib ip")
    (cd "$b" && CC=$cross-gcc PKG_CONFIG=false ./configure >/dev/null) || return 1
    make -s -C "$b" "${mk[@]}" -j"$jobs" >/dev/null 2>"$2/warnings.log" || { cat "$2/warnings.log" >&2; return 1; }
    install -m755 "$b/ip/ip" "$2/ip" || return 1
    rm -rf "$b"
}

build_libcrypto() { # SRC OUT
    local b=$2/build
    mkdir -p "$b"
    (cd "$b" && "$1/Configure" linux-mips32 --cross-compile-prefix=$cross- --prefix="$2" \
        --libdir=lib no-shared no-tests no-module no-engine no-dso no-async no-ssl3 no-comp \
        no-legacy no-fips no-ct no-srp no-cms no-ocsp no-ts no-seed no-aria no-sm2 no-sm3 \
        no-sm4 no-whirlpool no-mdc2 no-siphash no-sctp no-ui-console >/dev/null) || return 1
    make -s -C "$b" -j"$jobs" build_libs >/dev/null 2>"$2/warnings.log" || { tail -20 "$2/warnings.log" >&2; return 1; }
    make -s -C "$b" install_dev >/dev/null || return 1
    rm -rf "$b"
}

# The lex library's one function that setkey's scanner calls, which flex's
# libfl gives on the build machine but not for the target: at the end of
# input, no further file.
build_libfl() { # SRC OUT
    printf 'int yywrap(void) { return 1; }\n' >"$2/yywrap.c"
    $cross-gcc -Os -c -o "$2/yywrap.o" "$2/yywrap.c" || return 1
    mkdir -p "$2/lib"
    $cross-ar rcs "$2/lib/libfl.a" "$2/yywrap.o"
}

for name in "$@"; do
    if [ "$name" = libfl ]; then
        out=$cache/mips/libfl-$(key libfl none)
        [ -f "$out/.done" ] || { rm -rf "$out"; mkdir -p "$out"; build_libfl - "$out" && touch "$out/.done"; } ||
            { log "building libfl failed"; exit 1; }
        echo "libfl $out"
        continue
    fi
    case $name in
    busybox) pkg=busybox ;;
    ip) pkg=iproute2 ;;
    libcrypto) pkg=openssl ;;
    *) log "unknown program $name"; exit 1 ;;
    esac
    src=$("$here/source.sh" "$cache" "$pkg")
    out=$cache/mips/$name-$(key "$name" "$src")
    if [ ! -f "$out/.done" ]; then
        log "building $name from $(basename "$src")"
        rm -rf "$out"
        mkdir -p "$out"
        if ! "build_$name" "$src" "$out"; then
            log "building $name failed"
            exit 1
        fi
        touch "$out/.done"
    fi
    echo "$name $out"
done
