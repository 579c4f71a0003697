#!/bin/bash
# Builds the VM's root file system and packs it as a gzip'ed newc cpio:
# busybox applets (never its cut-down `ip`, never busybox as /bin/sh), dash as
# /bin/sh, iproute2's ip, iptables (nft), util-linux's unshare and nsenter,
# the project's binaries found in BIN-DIR, the kernel modules the tests need in
# load order, and the guest scripts.
#   build-initramfs.sh [--peer PEER-ROOT] KROOT KVER BIN-DIR OUT-DIR [TOOLS-DIR | --no-real-tools REASON]
# TOOLS-DIR (scripts/ipsec-tools.sh's output) gives the real setkey and racoon,
# installed where they usually live (/usr/sbin) with their version line in
# /etc/ipsec-tools.version. The project's stand-ins from BIN-DIR go to
# /opt/standin/bin, off the routers' PATH. Without the real tools the reason
# is kept in /etc/ipsec-tools.missing for the scenarios to report.
# PEER-ROOT (vm/host/fetch-peer.sh's output) gives the remote site's IKE
# daemon for the interop scenarios: its programs, libraries and plugins go
# where its packages put them; without it /etc/peer.missing says why.
set -euo pipefail
peer=""
if [ "${1:-}" = --peer ]; then
    peer=$2
    shift 2
fi
kroot=$1 kver=$2 bindir=$3 out=$4
tools=${5:-}
no_tools_reason="no real tools given"
if [ "$tools" = --no-real-tools ]; then
    tools=""
    no_tools_reason=${6:-$no_tools_reason}
fi
here=$(cd "$(dirname "$0")/.." && pwd)
root=$out/rootfs

rm -rf "$root"
mkdir -p "$root"/{usr/bin,usr/sbin,usr/lib,usr/lib64,proc,sys,dev,run,tmp,etc,var,vm,opt/standin/bin}
ln -s usr/bin "$root/bin"
ln -s usr/sbin "$root/sbin"
ln -s usr/lib "$root/lib"
ln -s usr/lib64 "$root/lib64"
ln -s ../run "$root/var/run"

# Kernel modules, dependency-ordered. The roots are what PF_KEY, ESP tunnels,
# veth links and the nat/filter rules need. drbg is named because ESP needs a
# stdrng for its IVs; sha3_generic must come before jitterentropy_rng, whose
# init allocates sha3-256 without declaring the dependency.
roots="af_key esp4 xfrm_user xfrm4_tunnel authenc echainiv seqiv drbg sha3_generic
       jitterentropy_rng des_generic des3_ede_x86_64 veth nf_tables nft_compat nft_chain_nat
       nft_masq xt_MASQUERADE xt_nat xt_tcpudp xt_conntrack xt_policy xt_esp"
moddir=$kroot/lib/modules/$kver
: >"$out/modules.order"
for m in $roots; do
    modprobe -d "$kroot" -S "$kver" --show-depends "$m" | awk '$1 == "insmod" { print $2 }'
done | awk '!seen[$0]++' | while read -r ko; do
    rel=${ko#"$moddir/"}
    install -D -m644 "$ko" "$root/lib/modules/$kver/$rel"
    echo "$rel" >>"$out/modules.order"
done
cp "$out/modules.order" "$root/etc/modules.order"
cp "$moddir"/modules.{builtin,builtin.modinfo,order} "$root/lib/modules/$kver/"
# With modules.dep in place busybox's modprobe serves the kernel's own
# auto-load requests (crypto algorithms named at SA creation).
depmod -b "$root" "$kver"

# busybox applets, without `ip` (the real one is needed for xfrm) and `sh`
# (busybox's shell would prefer its own applets over the real tools).
busybox=$(command -v busybox)
cp "$busybox" "$root/usr/bin/busybox"
for a in $("$busybox" --list); do
    case $a in ip | sh | busybox | unshare | nsenter) continue ;; esac
    [ -e "$root/usr/bin/$a" ] || ln -s busybox "$root/usr/bin/$a"
done

# Dynamically linked programs with their libraries.
copy_lib() {
    local lib=$1 dest
    dest=$(realpath -s "$lib")
    dest=/usr${dest#/usr}
    [ -e "$root$dest" ] || install -D -m755 "$(readlink -f "$lib")" "$root$dest"
}
copy_prog() { # SOURCE DEST-IN-ROOT
    install -D -m755 "$1" "$root$2"
    # A static program or a script has no libraries: ldd fails on it.
    { ldd "$1" 2>/dev/null || true; } | awk '/=>/ { print $3 } /^\t\// { print $1 }' | while read -r lib; do
        [ -n "$lib" ] && [ -f "$lib" ] && copy_lib "$lib"
    done
}
copy_prog "$(command -v dash)" /usr/bin/dash
ln -s dash "$root/usr/bin/sh"
copy_prog "$(command -v ip)" /usr/sbin/ip
copy_prog "$(command -v unshare)" /usr/bin/unshare
copy_prog "$(command -v nsenter)" /usr/bin/nsenter
nft_multi=$(command -v xtables-nft-multi)
copy_prog "$nft_multi" /usr/sbin/xtables-nft-multi
for x in iptables iptables-save iptables-restore; do
    ln -s xtables-nft-multi "$root/usr/sbin/$x"
done
xtlib=/usr/lib/x86_64-linux-gnu/xtables
mkdir -p "$root$xtlib"
cp -a "$xtlib/." "$root$xtlib/"
for so in "$root$xtlib"/*.so; do
    { ldd "$so" 2>/dev/null || true; } | awk '/=>/ { print $3 }' | while read -r lib; do
        [ -n "$lib" ] && [ -f "$lib" ] && copy_lib "$lib"
    done
done
mkdir -p "$root/etc/iproute2"
cp -a /etc/iproute2/. "$root/etc/iproute2/" 2>/dev/null || true
[ -d /usr/share/iproute2 ] && mkdir -p "$root/usr/share" && cp -a /usr/share/iproute2 "$root/usr/share/"
cp /etc/protocols "$root/etc/protocols"
cp /etc/services "$root/etc/services"
printf 'root:x:0:0:root:/:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\n' >"$root/etc/group"
printf '127.0.0.1 localhost\n' >"$root/etc/hosts"
printf 'hosts: files\n' >"$root/etc/nsswitch.conf"

# The project's programs: whatever the build folder holds. A missing one is
# reported by the scenarios that need it as not run.
for p in ipsecVpn zorctl; do
    if [ -x "$bindir/$p" ]; then
        copy_prog "$bindir/$p" "/usr/bin/$p"
    fi
done
for p in setkey racoon; do
    if [ -x "$bindir/$p" ]; then
        copy_prog "$bindir/$p" "/opt/standin/bin/$p"
    fi
done
# The real tools, with libcrypto and whatever else they link.
if [ -n "$tools" ] && [ -x "$tools/bin/setkey" ] && [ -x "$tools/bin/racoon" ] && [ -s "$tools/version" ]; then
    copy_prog "$tools/bin/setkey" /usr/sbin/setkey
    copy_prog "$tools/bin/racoon" /usr/sbin/racoon
    # libcrypto loads its legacy provider (DES, Blowfish, CAST) from its
    # modules folder; racoon logs an error at start without it.
    crypto=$(ldd "$tools/bin/racoon" 2>/dev/null | awk '/libcrypto/ { print $3 }')
    for so in "$(dirname "${crypto:-/nonexistent/x}")"/ossl-modules/*.so; do
        [ -f "$so" ] && copy_lib "$so"
    done
    cp "$tools/version" "$root/etc/ipsec-tools.version"
else
    [ -z "$tools" ] || no_tools_reason="$tools holds no built setkey, racoon and version"
    echo "$no_tools_reason" >"$root/etc/ipsec-tools.missing"
fi

# The remote site's charon and swanctl with the libraries they and the
# plugins they load link (the peer's own libraries are found beside them).
if [ -n "$peer" ] && [ -x "$peer/usr/lib/ipsec/charon" ] && [ -x "$peer/usr/sbin/swanctl" ]; then
    cp -a "$peer/usr/lib/ipsec" "$root/usr/lib/"
    install -m755 "$peer/usr/sbin/swanctl" "$root/usr/sbin/swanctl"
    find "$peer/usr/lib/ipsec" "$peer/usr/sbin/swanctl" -type f \( -name '*.so*' -o -perm -u+x \) |
        while read -r elf; do
            { LD_LIBRARY_PATH=$peer/usr/lib/ipsec ldd "$elf" 2>/dev/null || true; } | awk '/=> \// { print $3 }'
        done | sort -u | while read -r lib; do
        case $lib in "$peer"/*) continue ;; esac
        copy_lib "$lib"
    done
    cat "$peer/.versions" >"$root/etc/peer.version"
else
    echo "${peer:-no peer given}${peer:+ holds no charon and swanctl}" >"$root/etc/peer.missing"
fi

ldconfig -r "$root"
install -m755 "$here/guest/init" "$root/init"
for f in "$here"/guest/*.sh; do
    install -m755 "$f" "$root/vm/"
done
# The tests' setkey and key daemon files, for the differential check of the
# stand-ins against the real tools.
mkdir -p "$root/vm/golden"
cp -r "$here/../tests/golden/setkey" "$here/../tests/golden/setkey-standin" "$here/../tests/golden/racoon" \
    "$root/vm/golden/"

(cd "$root" && find . -print0 | cpio --null -o -H newc --quiet) | gzip -1 >"$out/initramfs.cpio.gz"
cp "$kroot/boot/vmlinuz-$kver" "$out/vmlinuz"
echo "initramfs: $(du -h "$out/initramfs.cpio.gz" | cut -f1), $(wc -l <"$out/modules.order") modules," \
    "programs: $(cd "$root/usr/bin" && ls ipsecVpn zorctl 2>/dev/null | tr '\n' ' ')" \
    "stand-ins: $(cd "$root/opt/standin/bin" && ls 2>/dev/null | tr '\n' ' ')" \
    "real tools: $(cat "$root/etc/ipsec-tools.version" 2>/dev/null || echo "none ($no_tools_reason)")," \
    "peer: $(cat "$root/etc/peer.version" 2>/dev/null || echo none)"
