#!/bin/sh
# The guest's sh is dash (x86-64) or busybox ash (MIPS); both have local.
# shellcheck shell=dash
# The scenarios of the big-endian MIPS guest, in order: the kernel itself,
# then two routers whose daemons load the kernel through the real setkey and
# read it back over PF_KEY. The image has no iptables, so the NAT and
# admission commands of the daemon fail (harmlessly) and nothing here looks
# at them; ESP is counted on the SAs themselves.
. /vm/lib.sh

# ---- the kernel itself ----------------------------------------------------
begin kernel "a big-endian kernel with PF_KEY and ESP built in"
# The guest lays out a 16-bit 1 as 00 01.
check big-endian sh -c 'uname -m; [ "$(printf "\001\000" | od -An -tu2 | tr -d " ")" = 256 ]'
check pfkey-socket-family test -e /proc/net/pfkey
for alg in "hmac(sha1) 0x000102030405060708090a0b0c0d0e0f10111213" \
    "hmac(sha256) 0x000102030405060708090a0b0c0d0e0f000102030405060708090a0b0c0d0e0f"; do
    set -- $alg
    check "esp-sa-accepted-cbc-aes-$1" ip xfrm state add src 192.0.2.1 dst 192.0.2.2 proto esp \
        spi 0x100 reqid 1 mode tunnel enc 'cbc(aes)' 0x000102030405060708090a0b0c0d0e0f auth "$1" "$2"
    check "esp-sa-listed-$1" sh -c 'ip xfrm state | grep -q "spi 0x00000100 reqid 1 mode tunnel"'
    # The same SA read back over PF_KEY by the real setkey: its SPI and
    # request id come out right only if both byte orders are.
    if command -v setkey >/dev/null; then
        check "pfkey-dump-$1" sh -c 'setkey -D; setkey -D | grep -q "spi=256(0x00000100) reqid=1(0x00000001)"'
    fi
    ip xfrm state flush
done
if [ "${IPSECVM_FAULT:-}" = fail ]; then
    check injected-failure false
fi
end
if [ -n "${IPSECVM_FAULT:-}" ]; then
    result
    exit
fi

# shellcheck disable=SC2034 # read by routers.sh and daemon.sh
VM_HELPERS_ONLY=1
. /vm/routers.sh
. /vm/daemon.sh

# ---- the network, without iptables ----------------------------------------
R1_LAN=198.51.100.1 R2_LAN=203.0.113.1 R2_NEW_LAN=198.18.0.1
mips_topology() {
    local n
    for n in r1 r2 lan1 lan2; do node_start $n || return 1; done
    link r1 wan0 r2 wan0 && link r1 lan0 lan1 eth0 && link r2 lan0 lan2 eth0 || return 1
    on r1 ip addr add $R1_WAN/24 dev wan0 && on r1 ip route add default via $R2_WAN &&
        on r1 ip addr add $R1_LAN/24 dev lan0 &&
        on r2 ip addr add $R2_WAN/24 dev wan0 && on r2 ip route add default via $R1_WAN &&
        on r2 ip addr add $R2_LAN/24 dev lan0 && on r2 ip addr add $R2_NEW_LAN/24 dev lan0 &&
        on lan1 ip addr add $LAN1_HOST/24 dev eth0 && on lan1 ip route add default via $R1_LAN &&
        on lan2 ip addr add $LAN2_HOST/24 dev eth0 && on lan2 ip addr add $NEW_LAN2_HOST/24 dev eth0 &&
        on lan2 ip route add default via $R2_LAN || return 1
    for n in r1 r2; do
        on $n sh -c 'echo 1 >/proc/sys/net/ipv4/ip_forward' || return 1
    done
}

# sa_packets NODE SPI: packets the SA with that SPI (as ip prints it) counted
# (ip -s adds the SPI in decimal: "0x00001001(4097)").
sa_packets() {
    on "$1" ip -s xfrm state | awk -v spi="$2" '
        /proto esp spi/ { sub(/\(.*/, "", $4); cur = ($4 == spi) }
        cur && /lifetime current:/ { want = 1; next }
        want { sub(/.*, /, ""); sub(/\(packets\).*/, ""); print; exit }'
}
# esp_both_ways NODE OUT-SPI IN-SPI: both SAs carried at least 3 packets.
esp_both_ways() {
    local o i
    o=$(sa_packets "$1" "$2")
    i=$(sa_packets "$1" "$3")
    echo "$1: $2 carried ${o:-no} packets out, $3 ${i:-no} packets in"
    [ "${o:-0}" -ge 3 ] && [ "${i:-0}" -ge 3 ] || { on "$1" ip -s xfrm state; false; }
}
# old_sas_deleted NODE SPI-R1-TO-R2 SPI-R2-TO-R1: the daemon's per-change
# setkey file deletes the tunnel's two SAs; it can only have read their SPIs,
# by request id, from the kernel's dump.
old_sas_deleted() {
    on "$1" cat /var/ipsec/setkey.conf
    printf '%s\n' "delete $R1_WAN $R2_WAN esp 0x$2;" "delete $R2_WAN $R1_WAN esp 0x$3;" >/tmp/want
    on "$1" grep '^delete ' /var/ipsec/setkey.conf | sort | cmp - /tmp/want
}

# ---- scenarios ------------------------------------------------------------
begin network "two routers and two LANs on veth links"
must topology mips_topology
abort_if_failed && check plain-ping-routed ping_through lan1 $LAN2_HOST
end
# shellcheck disable=SC2154 # lib.sh's
network_failed=$scen_failed

scenario_mips_manual_tunnel() {
    begin manual-tunnel "a manually keyed tunnel configured with zorctl and loaded by the real setkey carries ESP"
    must r1-daemon-starts daemon_start r1
    must r2-daemon-starts daemon_start r2
    must r1-tunnel-configured manual_tunnel r1 $LAN1 $LAN2 $R2_WAN C0FFEE01 1001
    must r2-tunnel-configured manual_tunnel r2 $LAN2 $LAN1 $R1_WAN 1001 C0FFEE01
    must r1-wan-up wan_up r1 $R1_WAN
    must r2-wan-up wan_up r2 $R2_WAN
    check r1-setkey-real-ran until_ok 10 on r1 grep -x 'setkey -f /var/ipsec/setkey.conf exit 0' /run/tool.log
    check r1-sas until_ok 10 has_sas r1 "$R1_SA_OUT" "$R1_SA_IN"
    check r2-sas until_ok 10 has_sas r2 "$R2_SA_OUT" "$R2_SA_IN"
    check r1-policies has_policies r1 "$(tunnel_policies $LAN1 $LAN2 3)"
    check r2-policies has_policies r2 "$(tunnel_policies $LAN2 $LAN1 3)"
    check r1-key-daemon-started eq 1 key_daemons r1
    check ping-lan1-to-lan2 ping_through lan1 $LAN2_HOST
    check ping-lan2-to-lan1 ping_through lan2 $LAN1_HOST
    check r1-carried-by-esp esp_both_ways r1 0xc0ffee01 0x00001001
    check r2-carried-by-esp esp_both_ways r2 0x00001001 0xc0ffee01
    end
}

scenario_mips_change_subnet() {
    begin change-subnet "tunnel set: the old SAs found by request id in the big-endian dump and replaced"
    must r1-tunnel-changed zc r1 tunnel set 1 remoteIPAddress=$NEW_LAN2 SPI=2001 secondSPI=2002
    must r2-tunnel-changed zc r2 tunnel set 1 localIPAddress=$NEW_LAN2 SPI=2002 secondSPI=2001
    # The old SPIs appear in the delete lines only if the daemon's dump read
    # them, by request id, from this kernel.
    for n in r1 r2; do
        check $n-old-sas-found-by-reqid until_ok 10 old_sas_deleted $n c0ffee01 1001
    done
    R1_SA_OUT="$R1_WAN $R2_WAN 0x00002001 3"
    R1_SA_IN="$R2_WAN $R1_WAN 0x00002002 4"
    R2_SA_OUT="$R2_WAN $R1_WAN 0x00002002 3"
    R2_SA_IN="$R1_WAN $R2_WAN 0x00002001 4"
    check r1-sas-replaced until_ok 10 has_sas r1 "$R1_SA_OUT" "$R1_SA_IN"
    check r2-sas-replaced until_ok 10 has_sas r2 "$R2_SA_OUT" "$R2_SA_IN"
    check r1-policies-replaced has_policies r1 "$(tunnel_policies $LAN1 $NEW_LAN2 3)"
    check r2-policies-replaced has_policies r2 "$(tunnel_policies $NEW_LAN2 $LAN1 3)"
    check ping-new-subnet ping_through lan1 $NEW_LAN2_HOST
    check r1-carried-by-esp esp_both_ways r1 0x00002001 0x00002002
    check r1-status-follows until_ok 40 expect_fields r1 1 status=1 SPI=2001 secondSPI=2002
    end
}

scenario_mips_delete_tunnel() {
    begin delete-tunnel "tunnel del: no SA and no policy left"
    must r1-tunnel-deleted zc r1 tunnel del 1
    must r2-tunnel-deleted zc r2 tunnel del 1
    for n in r1 r2; do
        check $n-sas-found-by-reqid old_sas_deleted $n 2001 2002
        check $n-tables-empty until_ok 10 tables_empty $n
    done
    end
}

scenario_mips_ike_lone_sa() {
    begin ike-lone-sa "an IKE tunnel: a lone mature SA is removed by the monitoring pass, a larval one is left"
    must r1-tunnel-added ike_tunnel r1 2 $LAN1 $LAN2 $R2_WAN
    check r1-policies until_ok 10 has_policies r1 "$(tunnel_policies $LAN1 $LAN2 5)"
    # The pair a negotiation would leave, one SPI big and one below 0x10000.
    must r1-pair-added esp_sa r1 add $R1_WAN $R2_WAN 0xa0b0c01 5
    must r1-pair-added-in esp_sa r1 add $R2_WAN $R1_WAN 0xc02 6
    check r1-ike-status-up until_ok 40 expect_fields r1 2 status=1 SPI=a0b0c01 secondSPI=c02
    must r1-inbound-lost esp_sa r1 delete $R2_WAN $R1_WAN 0xc02
    check r1-lone-sa-removed until_ok 40 has_sas r1
    check r1-ike-status-down until_ok 10 expect_fields r1 2 status=0 SPI=0 secondSPI=0
    check r1-delete-file on r1 sh -c 'cat /var/ipsec/tmp_delete.conf; printf "%s\n" \
        "delete 192.0.2.1 192.0.2.2 esp 0xa0b0c01;" "delete 192.0.2.2 192.0.2.1 esp 0xc02;" |
        cmp - /var/ipsec/tmp_delete.conf'
    check r1-setkey-ran on r1 grep -x 'setkey -f /var/ipsec/tmp_delete.conf' /run/tool.log
    # A larval SA (an SPI reserved for a negotiation, no keys yet) of the
    # tunnel, alone: the next pass sees it and leaves it.
    must r1-larval-added on r1 ip xfrm state allocspi src $R2_WAN dst $R1_WAN proto esp \
        reqid 6 mode tunnel min 0x3000 max 0x3000
    deletes_before=$(on r1 grep -c -x 'setkey -f /var/ipsec/tmp_delete.conf' /run/tool.log)
    check r1-pass-with-larval wait_ticks r1 1
    check r1-larval-left on r1 sh -c 'ip xfrm state; ip xfrm state | grep -q "spi 0x00003000 reqid 6"'
    check r1-larval-not-deleted eq "$deletes_before" on r1 grep -c -x 'setkey -f /var/ipsec/tmp_delete.conf' \
        /run/tool.log
    # The dump read it, larval, from this kernel: its SPI is shown, the
    # tunnel is down.
    check r1-larval-seen-in-dump expect_fields r1 2 status=0 SPI=0 secondSPI=3000
    check r1-log-clean no_log_errors r1
    end
}

# spi_of NODE REQID: the SPI text (as the data model writes it) of the SA
# with that request id in the router's kernel.
spi_of() {
    local spi
    spi=$(sas "$1" | awk -v r="$2" '$4 == r { print $3; exit }')
    [ -n "$spi" ] && spi_text "$spi"
}
# negotiated NODE: both SAs of tunnel 2 are in the kernel.
negotiated() {
    sas "$1"
    [ -n "$(spi_of "$1" 5)" ] && [ -n "$(spi_of "$1" 6)" ]
}
real_racoon() { # NODE: the stand-in replaced by the real racoon, restarted
    on "$1" mount --bind /usr/libexec/racoon.real /usr/bin/racoon &&
        on "$1" mkdir -p /var/racoon /usr/var/racoon 2>/dev/null
    zc "$1" wan down wan0 && zc "$1" wan up wan0
}
ping_until_answered() { # FROM TO
    until_ok 90 on "$1" ping -c 1 -w 3 "$2"
}

scenario_mips_negotiation() {
    begin negotiation "two routers' real racoon negotiate the IKE tunnel; the status shows the negotiated SPIs"
    on r1 ip xfrm state delete src $R2_WAN dst $R1_WAN proto esp spi 0x3000 2>/dev/null
    must r2-tunnel-added ike_tunnel r2 2 $LAN2 $LAN1 $R1_WAN
    # An acquire sent before racoon has registered goes unanswered, and the
    # kernel then sends none for that policy for 30 s by default. (Not set
    # earlier: the same limit ends the larval SA of ike-lone-sa.)
    must r1-acquires-retried on r1 sh -c 'echo 2 >/proc/sys/net/core/xfrm_acq_expires'
    must r2-acquires-retried on r2 sh -c 'echo 2 >/proc/sys/net/core/xfrm_acq_expires'
    must r1-real-racoon real_racoon r1
    must r2-real-racoon real_racoon r2
    check r1-key-daemon-running until_ok 10 eq 1 key_daemons r1
    check r2-key-daemon-running until_ok 10 eq 1 key_daemons r2
    # A packet sent before both routers hold the policies crosses in the clear.
    check r1-policies until_ok 10 has_policies r1 "$(tunnel_policies $LAN1 $LAN2 5)"
    check r2-policies until_ok 10 has_policies r2 "$(tunnel_policies $LAN2 $LAN1 5)"
    check ping-starts-negotiation ping_until_answered lan1 $LAN2_HOST
    check r1-negotiated until_ok 30 negotiated r1
    check r2-negotiated until_ok 30 negotiated r2
    say "negotiated: r1 $(sas r1 | tr '\n' ';') r2 $(sas r2 | tr '\n' ';')"
    check ping-through-negotiated ping_through lan1 $LAN2_HOST
    check r1-status-shows-negotiated-spis until_ok 40 expect_fields r1 2 status=1 \
        SPI="$(spi_of r1 5)" secondSPI="$(spi_of r1 6)"
    check r2-status-shows-negotiated-spis until_ok 40 expect_fields r2 2 status=1 \
        SPI="$(spi_of r2 5)" secondSPI="$(spi_of r2 6)"
    check spis-mirror sh -c "[ '$(spi_of r1 5)' = '$(spi_of r2 6)' ] && [ '$(spi_of r1 6)' = '$(spi_of r2 5)' ]"
    end
}

if [ "$network_failed" -ne 0 ] || [ -n "$(missing ipsecVpn zorctl setkey racoon)" ]; then
    for s in manual-tunnel status-from-dump change-subnet delete-tunnel ike-lone-sa negotiation; do
        not_run $s "the network or a program is missing: $(missing ipsecVpn zorctl setkey racoon)"
    done
else
    prior_failed=0
    scenarios="mips_manual_tunnel status_from_dump mips_change_subnet mips_delete_tunnel mips_ike_lone_sa"
    if [ -x /usr/libexec/racoon.real ]; then
        scenarios="$scenarios mips_negotiation"
    fi
    for s in $scenarios; do
        if [ $prior_failed -ne 0 ]; then
            not_run "$(echo "${s#mips_}" | tr _ -)" "an earlier scenario it builds on failed"
            continue
        fi
        "scenario_$s"
        [ $scen_failed -eq 0 ] || prior_failed=1
    done
    if [ ! -x /usr/libexec/racoon.real ]; then
        not_run negotiation "the real racoon is not in this image"
    fi
    show_logs "r1 r2" "/run/ipsecVpn.log /run/tool.log /run/syslog.log"
fi
result
