#!/bin/sh
# The guest's sh is dash (x86-64) or busybox ash (MIPS); both have local.
# shellcheck shell=dash
# Two routers, r1 and r2, each running its own daemon in its own namespaces,
# joined by a WAN link, each with a LAN host behind it (sourced after lib.sh
# and targets.sh):
#
#   lan1 198.51.100.2 -- lan0 r1 wan0 192.0.2.1 ==== 192.0.2.2 wan0 r2 lan0 -- lan2 203.0.113.2
#                                                                                (and 198.18.0.2)
# Where the image has iptables, each router masquerades what leaves through
# wan0, as a home router does, so tunnel traffic reaches the far LAN only if
# the daemon's NAT exemption works.

R1_WAN=192.0.2.1 R2_WAN=192.0.2.2
LAN1=198.51.100.0 LAN1_HOST=198.51.100.2
LAN2=203.0.113.0 LAN2_HOST=203.0.113.2
# shellcheck disable=SC2034 # used by the daemon scenarios
NEW_LAN2=198.18.0.0 NEW_LAN2_HOST=198.18.0.2
# shellcheck disable=SC2034 # used by the daemon and interop scenarios
MASK24=255.255.255.0
ENC_KEY=000102030405060708090a0b0c0d0e0f
AUTH_KEY=a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3

# ---- kernel views ---------------------------------------------------------
# sas NODE: one line per SA: "SRC DST SPI REQID", SPI as ip prints it.
sas() {
    on "$1" ip xfrm state | awk '/^src / { s = $2; d = $4 }
        /proto esp spi/ { print s, d, $4, $6 }'
}
# policies NODE: one line per policy with a template: "SEL-SRC SEL-DST DIR REQID".
policies() {
    on "$1" ip xfrm policy | awk '/^src / { s = $2; d = $4 } /^\tdir / { dir = $2 }
        /reqid/ { for (i = 1; i <= NF; i++) if ($i == "reqid") print s, d, dir, $(i + 1) }'
}
# count_lines TEXT PATTERN
count_matching() { printf '%s\n' "$1" | grep -c -- "$2"; }

# check_rules NAME COMMAND...: a check of the firewall's rules, made where the
# image has iptables.
check_rules() { [ "$TARGET_IPTABLES" != 1 ] || check "$@"; }

# wan_counter NODE CHAIN: packets counted by one of the WAN counters below.
wan_counter() {
    on "$1" iptables -t mangle -nvxL PREROUTING | awk -v c="$2" '$3 == c { print $1 }'
}
# Counters on each router's WAN side, in the mangle table so that they never
# mix with the filter and nat rules the daemon manages: ESP arriving,
# ICMP arriving in the clear, ICMP that came out of the tunnel.
add_wan_counters() {
    local n=$1
    on "$n" iptables -t mangle -N esp_in &&
        on "$n" iptables -t mangle -N plain_icmp_in &&
        on "$n" iptables -t mangle -N tunnel_icmp_in &&
        on "$n" iptables -t mangle -A PREROUTING -i wan0 -p esp -j esp_in &&
        on "$n" iptables -t mangle -A PREROUTING -i wan0 -p icmp -m policy --dir in --pol none -j plain_icmp_in &&
        on "$n" iptables -t mangle -A PREROUTING -i wan0 -p icmp -m policy --dir in --pol ipsec -j tunnel_icmp_in
}
counter_at_least() { # NODE CHAIN N
    local got
    got=$(wan_counter "$1" "$2")
    echo "$1 $2: ${got:-none} packets"
    [ "${got:-0}" -ge "$3" ]
}

# sa_counts NODE: "SRC DST SPI PACKETS" for each ESP SA of the node, SPI as
# ip prints it (ip -s adds it in decimal: "0x00001001(4097)"; its counts are
# on the line after "lifetime current:").
sa_counts() {
    on "$1" ip -s xfrm state | awk '
        /^src / { s = $2; d = $4 }
        /proto esp spi/ { spi = $4; sub(/\(.*/, "", spi) }
        /lifetime current:/ { want = 1; next }
        want { p = $0; sub(/.*, /, "", p); sub(/\(packets\).*/, "", p); print s, d, spi, p; want = 0 }'
}
# sa_delta NODE: the same, the packets counted since zero_counters.
sa_delta() {
    sa_counts "$1" | awk -v z="/tmp/sa-zero.$1" '
        BEGIN { while ((getline l < z) > 0) { split(l, f, " "); was[f[3]] = f[4] } }
        { print $1, $2, $3, $4 - was[$3] }'
}
# zero_counters: from here on, carried_by_esp counts. The WAN counters are
# zeroed; the SAs' own counts are noted.
zero_counters() {
    local n
    for n in r1 r2; do
        if [ "$TARGET_IPTABLES" = 1 ]; then
            on $n iptables -t mangle -Z || return 1
        fi
        sa_counts $n >/tmp/sa-zero.$n
    done
}

# ping_through FROM TO-ADDRESS: three echo requests, all answered.
ping_through() {
    on "$1" ping -c 3 -w 15 "$2" | tee /tmp/ping$TMP_TAG.out
    grep -q ' 3 packets received' /tmp/ping$TMP_TAG.out
}

# carried_by_esp: since zero_counters, on both routers, ESP arrived and ICMP
# came out of the tunnel, and no ICMP crossed the WAN in the clear. Without
# iptables: an SA out of the router and one into it each carried 3 packets.
carried_by_esp() {
    local n wan esp tunneled clear ok=0
    for n in r1 r2; do
        if [ "$TARGET_IPTABLES" = 1 ]; then
            esp=$(wan_counter $n esp_in)
            tunneled=$(wan_counter $n tunnel_icmp_in)
            clear=$(wan_counter $n plain_icmp_in)
            echo "$n: esp $esp, icmp out of the tunnel $tunneled, icmp in the clear $clear"
            [ "${esp:-0}" -ge 3 ] && [ "${tunneled:-0}" -ge 3 ] && [ "${clear:-x}" = 0 ] || ok=1
            continue
        fi
        wan=$R1_WAN
        [ $n = r1 ] || wan=$R2_WAN
        sa_delta $n | awk -v n=$n -v w="$wan" '{ print n ": SA " $1 " to " $2 " spi " $3 ": " $4 " packets" }
            $1 == w && $4 >= 3 { o = 1 } $2 == w && $4 >= 3 { i = 1 } END { exit !(o && i) }' || ok=1
    done
    on r1 ip -s xfrm state | grep -A1 'lifetime current' | sed 's/^/r1 /'
    return $ok
}

# ---- the network ------------------------------------------------------------
topology() {
    local n
    for n in r1 r2 lan1 lan2; do node_start $n || return 1; done
    link r1 wan0 r2 wan0 && link r1 lan0 lan1 eth0 && link r2 lan0 lan2 eth0 || return 1
    on r1 ip addr add $R1_WAN/24 dev wan0 && on r1 ip route add default via $R2_WAN &&
        on r1 ip addr add 198.51.100.1/24 dev lan0 &&
        on r2 ip addr add $R2_WAN/24 dev wan0 && on r2 ip route add default via $R1_WAN &&
        on r2 ip addr add 203.0.113.1/24 dev lan0 && on r2 ip addr add 198.18.0.1/24 dev lan0 &&
        on r2 ip addr add 192.0.2.12/24 dev wan0 &&
        on lan1 ip addr add $LAN1_HOST/24 dev eth0 && on lan1 ip route add default via 198.51.100.1 &&
        on lan2 ip addr add $LAN2_HOST/24 dev eth0 && on lan2 ip addr add $NEW_LAN2_HOST/24 dev eth0 &&
        on lan2 ip route add default via 203.0.113.1 || return 1
    for n in r1 r2; do
        # The key daemon needs about 2 s after its start before it hears the
        # kernel's acquires; an acquire nobody answered would otherwise hold
        # back the next one for 30 s.
        on $n sh -c 'echo 1 >/proc/sys/net/ipv4/ip_forward && echo 2 >/proc/sys/net/core/xfrm_acq_expires' ||
            return 1
        [ "$TARGET_IPTABLES" = 1 ] || continue
        on $n iptables -t nat -A POSTROUTING -o wan0 -j MASQUERADE && add_wan_counters $n || return 1
    done
}

# ---- scenarios ------------------------------------------------------------
network_failed=1
scenario_network() {
    begin network "two routers and two LANs; plain routing seen by the WAN counters"
    must topology topology
    abort_if_failed && check plain-ping-routed ping_through lan1 $LAN2_HOST
    # The clear-text detector must see clear text when there is some.
    abort_if_failed && check_rules plain-icmp-detected counter_at_least r2 plain_icmp_in 3
    zero_counters
    end
    # shellcheck disable=SC2154 # lib.sh's
    network_failed=$scen_failed
}

scenario_esp_by_hand() {
    local pair
    begin esp-by-hand "an ESP tunnel set up with ip xfrm alone (the kernel's part, no daemon)"
    if [ "$network_failed" -ne 0 ]; then
        check network-ready false
        end
        return
    fi
    for pair in "r1 $R1_WAN $R2_WAN $LAN1 $LAN2 0x501 0x502" "r2 $R2_WAN $R1_WAN $LAN2 $LAN1 0x502 0x501"; do
        set -- $pair
        check "$1-states" on $1 sh -c "
            ip xfrm state add src $2 dst $3 proto esp spi $6 reqid 9 mode tunnel \
                enc 'cbc(aes)' 0x$ENC_KEY auth 'hmac(sha1)' 0x$AUTH_KEY &&
            ip xfrm state add src $3 dst $2 proto esp spi $7 reqid 10 mode tunnel \
                enc 'cbc(aes)' 0x$ENC_KEY auth 'hmac(sha1)' 0x$AUTH_KEY"
        # A router forwarding decrypted tunnel traffic needs the fwd policy.
        check "$1-policies" on $1 sh -c "
            ip xfrm policy add src $4/24 dst $5/24 dir out tmpl src $2 dst $3 proto esp reqid 9 mode tunnel &&
            ip xfrm policy add src $5/24 dst $4/24 dir in tmpl src $3 dst $2 proto esp reqid 10 mode tunnel &&
            ip xfrm policy add src $5/24 dst $4/24 dir fwd tmpl src $3 dst $2 proto esp reqid 10 mode tunnel"
    done
    # Masquerading rewrites the source before the policy lookup on output,
    # so without an exemption the tunnel is bypassed: ICMP crosses in clear.
    check masquerade-bypasses-tunnel ping_through lan1 $LAN2_HOST
    check masquerade-sends-clear-text counter_at_least r2 plain_icmp_in 3
    zero_counters
    for pair in "r1 $LAN1 $LAN2" "r2 $LAN2 $LAN1"; do
        set -- $pair
        check "$1-nat-exemption" on $1 iptables -t nat -I POSTROUTING 1 -s $2/24 -o wan0 -d $3/24 -j ACCEPT
    done
    check ping-through-tunnel ping_through lan1 $LAN2_HOST
    check carried-by-esp carried_by_esp
    for pair in "r1 $LAN1 $LAN2" "r2 $LAN2 $LAN1"; do
        set -- $pair
        on $1 iptables -t nat -D POSTROUTING -s $2/24 -o wan0 -d $3/24 -j ACCEPT
        on $1 ip xfrm state flush
        on $1 ip xfrm policy flush
    done
    zero_counters
    end
}
