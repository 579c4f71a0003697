#!/bin/sh
# The guest's sh is dash (x86-64) or busybox ash (MIPS); both have local.
# shellcheck shell=dash
# The daemon's main job on the real thing (scripts/demo.sh --vm): two
# routers, each running ipsecVpn with the real setkey and racoon, get one IKE
# tunnel between their LANs; the first ping negotiates it. Shows the rendered
# files, both kernels' SAs, the ping carried by ESP and both routers' status.
. /vm/lib.sh
. /vm/targets.sh
. /vm/routers.sh
. /vm/daemon.sh
. /vm/daemon-scenarios.sh

title() { printf '\n== %s\n' "$*"; }
fail() {
    echo "demo: $*"
    echo "@@RESULT pass=0 fail=1 notrun=0"
    exit 1
}

title "tools: $(cat /etc/ipsec-tools.version 2>/dev/null || echo "stand-ins only ($(cat /etc/ipsec-tools.missing))")"
[ "$REAL_TOOLS" = 1 ] || fail "the real setkey and racoon are not in the image"
title "two routers, each masquerading its LAN on its WAN side"
cat <<'PIC'
  lan1 198.51.100.2 -- lan0 r1 wan0 192.0.2.1 ==== 192.0.2.2 wan0 r2 lan0 -- lan2 203.0.113.2
PIC
topology || fail "the network did not come up"
for n in r1 r2; do daemon_start $n || fail "$n: the daemon did not start"; done

title "r1: zorctl tunnel add (IKE, PSK) and wan up; r2 the same, mirrored"
echo "zorctl tunnel add entryID=1 keyExMethod=0 remoteGWAddress=$R2_WAN localIPAddress=$LAN1" \
    "remoteIPAddress=$LAN2 PSK=... ph1Mode=main aes/sha1 modp1024, PFS"
ike_tunnel r1 1 $LAN1 $LAN2 $R2_WAN >/dev/null && ike_tunnel r2 1 $LAN2 $LAN1 $R1_WAN >/dev/null ||
    fail "tunnel add failed"
wan_up r1 $R1_WAN && wan_up r2 $R2_WAN || fail "wan up failed"
until_ok 30 racoon_accepted r1 >/dev/null && until_ok 30 racoon_accepted r2 >/dev/null ||
    fail "racoon did not take the daemon's files"

for f in setkey.conf racoon.conf; do
    title "r1: /var/ipsec/$f (rendered by the daemon)"
    on r1 cat /var/ipsec/$f
done
title "r1: /var/ipsec/psk.txt: $(on r1 ls -l /var/ipsec/psk.txt | cut -d' ' -f1), $(on r1 sh -c 'wc -l </var/ipsec/psk.txt') line (key not shown)"
title "r1: iptables -t nat -S POSTROUTING (the NAT exemption ahead of the masquerade)"
on r1 iptables -t nat -S POSTROUTING
title "r1: ip xfrm policy (loaded by the real setkey; racoon's own socket policies left out)"
on r1 ip xfrm policy | awk '/^src/ { s = $0 } /^\tdir / { print s; print } /^\ttmpl/ { print }'

title "the first ping from lan1 starts the negotiation"
first_packet lan1 $LAN2_HOST >/tmp/first.out || { cat /tmp/first.out; fail "no negotiation"; }
tail -n 2 /tmp/first.out
for n in r1 r2; do
    title "$n: ip xfrm state (negotiated by racoon)"
    on $n ip xfrm state | grep -v -E '^	(auth|enc)'
done

title "ping lan1 -> lan2 through the tunnel"
zero_counters
ping_through lan1 $LAN2_HOST || fail "the ping was not answered"
title "carried by ESP: the WAN counters"
carried_by_esp >/tmp/esp.out || { cat /tmp/esp.out; fail "the ping was not carried by ESP"; }
grep -v '^r1 ' /tmp/esp.out

title "after a quiet period (15 s) the daemons report the tunnel from their PF_KEY dumps"
until_ok 40 shows_kernel_spis r1 $R1_WAN $R2_WAN 1 >/dev/null &&
    until_ok 20 shows_kernel_spis r2 $R2_WAN $R1_WAN 1 >/dev/null || fail "status did not come up"
for n in r1 r2; do
    title "$n: zorctl status"
    zc $n status
done
echo "@@RESULT pass=1 fail=0 notrun=0"
