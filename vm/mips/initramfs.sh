#!/bin/bash
# Packs the big-endian MIPS guest's root file system as a gzip'ed newc cpio:
# the static busybox (ash as /bin/sh, every applet but ip), the static ip,
# the project's programs from BIN-DIR, the real setkey behind a small
# wrapper that records each run in the router's tool log, the real racoon
# when given, PID 1 and the scenarios. The kernel has everything built in: no
# modules.
#   initramfs.sh BUSYBOX IP BIN-DIR SETKEY RACOON|- OUT-DIR
set -euo pipefail
busybox=$1 ip=$2 bindir=$3 setkey=$4 racoon=$5 out=$6
vm=$(cd "$(dirname "$0")/.." && pwd)
root=$out/rootfs-mips

rm -rf "$root"
mkdir -p "$root"/{usr/bin,usr/sbin,usr/libexec,proc,sys,dev,run,tmp,etc,var,vm}
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
for prog in "$ip" "$setkey" ${racoon#-}; do
    for lib in ld.so.1 $(need_libs "$prog"); do
        [ -e "$root/usr/lib/$lib" ] ||
            install -m755 "$(readlink -f "/usr/mips-linux-gnu/lib/$lib")" "$root/usr/lib/$lib"
    done
done

for p in ipsecVpn zorctl; do
    [ -x "$bindir/$p" ] && install -m755 "$bindir/$p" "$root/usr/bin/$p"
done
# The real tools, each run recorded in the router's tool log as the
# stand-ins record theirs: the command line, then its exit status.
wrap() { # NAME REAL
    install -m755 "$2" "$root/usr/libexec/$1.real"
    cat >"$root/usr/bin/$1" <<WRAP
#!/bin/sh
[ -z "\$IPSEC_TOOL_LOG" ] || echo "$1 \$*" >>"\$IPSEC_TOOL_LOG"
/usr/libexec/$1.real "\$@"
rc=\$?
[ -z "\$IPSEC_TOOL_LOG" ] || echo "$1 \$* exit \$rc" >>"\$IPSEC_TOOL_LOG"
exit \$rc
WRAP
    chmod 755 "$root/usr/bin/$1"
}
wrap setkey "$setkey"
# The key daemon the tunnels start is the stand-in, which checks its files
# and idles. The real racoon, when built, waits in /usr/libexec for the
# negotiation scenario, which binds it over the stand-in in the routers.
if [ -x "$bindir/racoon" ]; then
    install -m755 "$bindir/racoon" "$root/usr/bin/racoon"
fi
if [ "$racoon" != - ]; then
    install -m755 "$racoon" "$root/usr/libexec/racoon.real"
fi

printf 'root:x:0:0:root:/:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\n' >"$root/etc/group"
printf '127.0.0.1 localhost\n' >"$root/etc/hosts"
cp /etc/protocols "$root/etc/protocols"
: >"$root/etc/modules.order"

install -m755 "$vm/guest/init" "$root/init"
for f in "$vm"/guest/*.sh; do
    install -m755 "$f" "$root/vm/"
done
install -m755 "$vm/mips/guest/scenarios.sh" "$root/vm/scenarios.sh"

(cd "$root" && find . -print0 | cpio --null -o -H newc --quiet) | gzip -1 >"$out/initramfs-mips.cpio.gz"
echo "initramfs: $(du -h "$out/initramfs-mips.cpio.gz" | cut -f1)," \
    "programs: $(cd "$root/usr/bin" && ls ipsecVpn zorctl setkey racoon 2>/dev/null | tr '\n' ' ')"
