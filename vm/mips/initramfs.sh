#!/bin/bash
# Packs the big-endian MIPS guest's root file system as a gzip'ed newc cpio,
# laid out as the x86-64 guest's: the static busybox (ash as /bin/sh, every
# applet but ip), the static ip, the project's programs from BIN-DIR (the
# stand-ins in /opt/standin/bin), the real setkey and racoon from TOOLS-DIR
# (scripts/ipsec-tools.sh's output) in /usr/sbin with their version line in
# /etc/ipsec-tools.version, PID 1 and the scenarios. The kernel has
# everything built in: no modules.
#   initramfs.sh BUSYBOX IP BIN-DIR TOOLS-DIR OUT-DIR
set -euo pipefail
busybox=$1 ip=$2 bindir=$3 tools=$4 out=$5
vm=$(cd "$(dirname "$0")/.." && pwd)
root=$out/rootfs-mips

rm -rf "$root"
mkdir -p "$root"/{usr/bin,usr/sbin,opt/standin/bin,proc,sys,dev,run,tmp,etc,var,vm}
ln -s usr/bin "$root/bin"
ln -s usr/sbin "$root/sbin"
ln -s ../run "$root/var/run"

install -m755 "$busybox" "$root/usr/bin/busybox"
for a in $(qemu-mips "$busybox" --list); do
    [ "$a" != busybox ] || continue
    [ -e "$root/usr/bin/$a" ] || ln -s busybox "$root/usr/bin/$a"
done
install -m755 "$ip" "$root/usr/sbin/ip"
# ip and the IPsec tools are linked dynamically: the target's loader and
# the libraries they name. (ip finds its link types, veth among them, by
# looking up its own symbols, which a static program cannot.)
mkdir -p "$root/usr/lib"
ln -s usr/lib "$root/lib"
need_libs() { mips-linux-gnu-readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'; }
for prog in "$ip" "$tools/bin/setkey" "$tools/bin/racoon"; do
    for lib in ld.so.1 $(need_libs "$prog"); do
        [ -e "$root/usr/lib/$lib" ] ||
            install -m755 "$(readlink -f "/usr/mips-linux-gnu/lib/$lib")" "$root/usr/lib/$lib"
    done
done

for p in ipsecVpn zorctl; do
    [ -x "$bindir/$p" ] && install -m755 "$bindir/$p" "$root/usr/bin/$p"
done
for p in setkey racoon; do
    [ -x "$bindir/$p" ] && install -m755 "$bindir/$p" "$root/opt/standin/bin/$p"
done
install -m755 "$tools/bin/setkey" "$root/usr/sbin/setkey"
install -m755 "$tools/bin/racoon" "$root/usr/sbin/racoon"
cp "$tools/version" "$root/etc/ipsec-tools.version"
# racoon's state folder under its prefix (/usr/var/racoon): its admin socket.
mkdir -p "$root/usr/var/racoon"

printf 'root:x:0:0:root:/:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\n' >"$root/etc/group"
printf '127.0.0.1 localhost\n' >"$root/etc/hosts"
cp /etc/protocols "$root/etc/protocols"
: >"$root/etc/modules.order"

install -m755 "$vm/guest/init" "$root/init"
for f in "$vm"/guest/*.sh; do
    install -m755 "$f" "$root/vm/"
done

(cd "$root" && find . -print0 | cpio --null -o -H newc --quiet) | gzip -1 >"$out/initramfs-mips.cpio.gz"
echo "initramfs: $(du -h "$out/initramfs-mips.cpio.gz" | cut -f1)," \
    "programs: $(cd "$root/usr/bin" && ls ipsecVpn zorctl 2>/dev/null | tr '\n' ' ')" \
    "stand-ins: $(cd "$root/opt/standin/bin" && ls 2>/dev/null | tr '\n' ' ')" \
    "real tools: $(cat "$root/etc/ipsec-tools.version")"
