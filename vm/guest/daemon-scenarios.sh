#!/bin/sh
# The daemon scenarios, one function each (sourced by daemon.sh).

# Tunnel 1 as each router sees it. The outbound SPI is given in capitals: the
# kernel keeps a number, and the daemon writes back the text its PF_KEY dump
# reads, so the status row shows "c0ffee01" only if it came from the kernel.
R1_SA_OUT="$R1_WAN $R2_WAN 0xc0ffee01 3"
R1_SA_IN="$R2_WAN $R1_WAN 0x00001001 4"
R2_SA_OUT="$R2_WAN $R1_WAN 0x00001001 3"
R2_SA_IN="$R1_WAN $R2_WAN 0xc0ffee01 4"

scenario_manual_tunnel() {
    begin manual-tunnel "a manually keyed tunnel, configured mirror-wise, carries LAN traffic over ESP"
    must r1-daemon-starts daemon_start r1
    must r2-daemon-starts daemon_start r2
    must r1-tunnel-configured manual_tunnel r1 $LAN1 $LAN2 $R2_WAN C0FFEE01 1001
    must r2-tunnel-configured manual_tunnel r2 $LAN2 $LAN1 $R1_WAN 1001 C0FFEE01
    must r1-wan-up wan_up r1 $R1_WAN
    must r2-wan-up wan_up r2 $R2_WAN
    check r1-sas until_ok 10 has_sas r1 "$R1_SA_OUT" "$R1_SA_IN"
    check r2-sas until_ok 10 has_sas r2 "$R2_SA_OUT" "$R2_SA_IN"
    check r1-policies has_policies r1 "$(tunnel_policies $LAN1 $LAN2 3)"
    check r2-policies has_policies r2 "$(tunnel_policies $LAN2 $LAN1 3)"
    check r1-nat-exemption has_nat_exemptions r1 "$LAN1/24 $LAN2/24 wan0"
    check r2-nat-exemption has_nat_exemptions r2 "$LAN2/24 $LAN1/24 wan0"
    check r1-admission-rules eq 3 admission_rules r1
    check r2-admission-rules eq 3 admission_rules r2
    check r1-key-daemon-started eq 1 key_daemons r1
    check r2-key-daemon-started eq 1 key_daemons r2
    check ping-lan1-to-lan2 ping_through lan1 $LAN2_HOST
    check ping-lan2-to-lan1 ping_through lan2 $LAN1_HOST
    check carried-by-esp carried_by_esp
    end
}

scenario_status_from_dump() {
    begin status-from-dump "after a quiet period both routers show the tunnel up with the kernel's SPIs"
    check r1-status-up until_ok 40 expect_fields r1 1 status=1
    check r2-status-up until_ok 40 expect_fields r2 1 status=1
    check r1-spis-from-kernel expect_fields r1 1 \
        SPI="$(spi_text 0xc0ffee01)" secondSPI="$(spi_text 0x00001001)"
    check r2-spis-from-kernel expect_fields r2 1 \
        SPI="$(spi_text 0x00001001)" secondSPI="$(spi_text 0xc0ffee01)"
    check r1-log-clean no_log_errors r1
    check r2-log-clean no_log_errors r2
    end
}

# SAs for other peers, newest first in a dump, so that the tunnel's own come
# after the 20th and after the point where the kernel pauses a dump for the
# reader (about 110 messages with the default receive buffer).
bulk_sas() { # add|delete
    local i=0
    while [ $i -lt 150 ]; do
        if [ "$1" = add ]; then
            echo "xfrm state add src $R1_WAN dst 192.0.2.200 proto esp spi $((0x7000 + i)) reqid $((2000 + i))" \
                "mode tunnel enc cbc(aes) 0x$ENC_KEY auth hmac(sha1) 0x$AUTH_KEY"
        else
            echo "xfrm state delete src $R1_WAN dst 192.0.2.200 proto esp spi $((0x7000 + i))"
        fi
        i=$((i + 1))
    done
}
tunnel_sas_kept() { # NODE SA...
    local n=$1 sa all
    shift
    all=$(sas "$n")
    for sa in "$@"; do
        printf '%s\n' "$all" | grep -q -F -x "$sa" || { echo "$n lost SA $sa"; return 1; }
    done
}
scenario_dump_under_churn() {
    begin dump-under-churn "dumps stay right while another process adds and deletes SAs"
    bulk_sas add >/tmp/bulk-sas
    must r1-bulk-sas on r1 ip -batch /tmp/bulk-sas
    rm -f /tmp/stop-churn /tmp/churn-count
    # Another process adds and deletes an SA between the tunnel's own
    # gateways (with a request id no tunnel uses); every change is broadcast
    # to every PF_KEY socket, the daemon's dumping one included.
    on r1 sh /vm/churn.sh $R2_WAN $R1_WAN 0x$ENC_KEY 0x$AUTH_KEY &
    churn_pid=$!
    check r1-pass-during-churn wait_ticks r1 1
    touch /tmp/stop-churn
    wait $churn_pid
    check churn-ran ge 5 cat /tmp/churn-count
    check r1-status-still-up expect_fields r1 1 status=1 \
        SPI="$(spi_text 0xc0ffee01)" secondSPI="$(spi_text 0x00001001)"
    check r1-tunnel-sas-kept tunnel_sas_kept r1 "$R1_SA_OUT" "$R1_SA_IN"
    check r1-no-sa-deleted-by-daemon nothing_deleted r1
    bulk_sas delete >/tmp/bulk-sas
    on r1 ip -batch /tmp/bulk-sas
    check r1-only-tunnel-sas-left has_sas r1 "$R1_SA_OUT" "$R1_SA_IN"
    check r1-log-clean no_log_errors r1
    end
}

scenario_change_subnet() {
    begin change-subnet "tunnel set moves the far subnet: old policies and SAs gone, new ones carry traffic"
    must r1-tunnel-changed zc r1 tunnel set 1 remoteIPAddress=$NEW_LAN2 SPI=2001 secondSPI=2002
    must r2-tunnel-changed zc r2 tunnel set 1 localIPAddress=$NEW_LAN2 SPI=2002 secondSPI=2001
    R1_SA_OUT="$R1_WAN $R2_WAN 0x00002001 3"
    R1_SA_IN="$R2_WAN $R1_WAN 0x00002002 4"
    R2_SA_OUT="$R2_WAN $R1_WAN 0x00002002 3"
    R2_SA_IN="$R1_WAN $R2_WAN 0x00002001 4"
    check r1-sas-replaced until_ok 10 has_sas r1 "$R1_SA_OUT" "$R1_SA_IN"
    check r2-sas-replaced until_ok 10 has_sas r2 "$R2_SA_OUT" "$R2_SA_IN"
    check r1-policies-replaced has_policies r1 "$(tunnel_policies $LAN1 $NEW_LAN2 3)"
    check r2-policies-replaced has_policies r2 "$(tunnel_policies $NEW_LAN2 $LAN1 3)"
    check r1-nat-exemption-replaced has_nat_exemptions r1 "$LAN1/24 $NEW_LAN2/24 wan0"
    check r2-nat-exemption-replaced has_nat_exemptions r2 "$NEW_LAN2/24 $LAN1/24 wan0"
    zero_wan_counters
    check ping-new-subnet ping_through lan1 $NEW_LAN2_HOST
    check carried-by-esp carried_by_esp
    check r1-log-clean no_log_errors r1
    end
}

# ike_tunnel NODE LOCAL-NET REMOTE-NET REMOTE-GW: tunnel 2, keys by IKE.
ike_tunnel() {
    zc "$1" tunnel add entryID=2 enable=1 connName=hq keyExMethod=0 authMethod=0 remoteGWAddress="$4" \
        localIPMode=0 localIPAddress="$2" localMask=$MASK24 \
        remoteIPMode=0 remoteIPAddress="$3" remoteMask=$MASK24 SPI=0 secondSPI=0 \
        PSK=vm-test-psk DPD=1 perfectFSEn=1 ph1Mode=main ph1KeyTime=28800 \
        ph1EncryptionAlo=aes ph1IntegrityAlgo=sha1 ph1DHGroup=modp1024 \
        ph2EncryptionAlo=aes ph2IntegrityAlgo=hmac_sha1 ph2DHGroup=modp1024 ph2KeyTime=3600
}
# racoon_accepted NODE: the key daemon took its files: the real one runs and
# logged no error (it ends on a configuration it cannot use); the stand-in's
# last check of them passed.
racoon_accepted() {
    if [ "$REAL_TOOLS" = 1 ]; then
        on "$1" cat /run/syslog.log
        [ "$(key_daemons "$1")" = 1 ] && ! on "$1" grep -E 'racoon.*(ERROR|failed to parse)' /run/syslog.log
        return
    fi
    on "$1" cat /run/tool.log
    on "$1" grep '^racoon \(start\|reload\)' /run/tool.log | tail -1 | grep -q ' ok$'
}
psk_private() { # NODE
    on "$1" ls -l /var/ipsec/psk.txt
    on "$1" ls -l /var/ipsec/psk.txt | grep -q '^-rw-------'
}

scenario_ike_tunnel() {
    begin ike-tunnel "an IKE tunnel's files are rendered and accepted, its kernel policies installed"
    # The old subnet is free again after change-subnet: the IKE tunnel takes it.
    must r1-tunnel-added ike_tunnel r1 $LAN1 $LAN2 $R2_WAN
    must r2-tunnel-added ike_tunnel r2 $LAN2 $LAN1 $R1_WAN
    check r1-racoon-conf until_ok 10 on r1 grep -x "remote $R2_WAN {" /var/ipsec/racoon.conf
    check r1-sainfo on r1 grep -x "sainfo address $LAN1/24 any address $LAN2/24 any {" /var/ipsec/racoon.conf
    check r1-psk on r1 grep -x "$R2_WAN vm-test-psk" /var/ipsec/psk.txt
    check r1-psk-private psk_private r1
    check r1-key-daemon-accepts until_ok 10 racoon_accepted r1
    check r2-key-daemon-accepts until_ok 10 racoon_accepted r2
    check r1-one-key-daemon eq 1 key_daemons r1
    check r1-policies until_ok 10 has_policies r1 "$(tunnel_policies $LAN1 $NEW_LAN2 3)" \
        "$(tunnel_policies $LAN1 $LAN2 5)"
    check r2-policies until_ok 10 has_policies r2 "$(tunnel_policies $NEW_LAN2 $LAN1 3)" \
        "$(tunnel_policies $LAN2 $LAN1 5)"
    # No traffic has hit the IKE tunnel's policies: nothing negotiates yet, so
    # it has no SA and the manual tunnel's stay as they were.
    check r1-no-negotiated-sas has_sas r1 "$R1_SA_OUT" "$R1_SA_IN"
    check r1-nat-exemptions has_nat_exemptions r1 "$LAN1/24 $NEW_LAN2/24 wan0" "$LAN1/24 $LAN2/24 wan0"
    end
}

# esp_sa NODE add|delete SRC DST SPI [REQID]: one ESP SA by hand.
esp_sa() {
    if [ "$2" = add ]; then
        on "$1" ip xfrm state add src "$3" dst "$4" proto esp spi "$5" reqid "$6" mode tunnel \
            enc 'cbc(aes)' 0x$ENC_KEY auth 'hmac(sha1)' 0x$AUTH_KEY
    else
        on "$1" ip xfrm state delete src "$3" dst "$4" proto esp spi "$5"
    fi
}

# soft_expire NODE SRC DST SPI REQID: the SA reaches its soft lifetime, as
# one due for re-keying does; the kernel then marks it dying.
soft_expire() {
    on "$1" ip xfrm state update src "$2" dst "$3" proto esp spi "$4" reqid "$5" mode tunnel \
        enc 'cbc(aes)' 0x$ENC_KEY auth 'hmac(sha1)' 0x$AUTH_KEY limit time-soft 1 limit time-hard 3600
}

scenario_negotiated_sas() {
    begin negotiated-sas "an IKE tunnel's SAs, added by hand as negotiations leave them: reported, re-keyed, a lone one removed"
    # The pair a negotiation would leave is added with ip xfrm, with the
    # tunnel's request ids, so that each step of a re-key can be held still.
    must r1-pair-added esp_sa r1 add $R1_WAN $R2_WAN 0x0a0b0c01 5
    must r1-pair-added-in esp_sa r1 add $R2_WAN $R1_WAN 0x0a0b0c02 6
    check r1-ike-status-up until_ok 40 expect_fields r1 2 status=1 SPI=a0b0c01 secondSPI=a0b0c02
    # A re-key begins: the outbound SA is dying and its successor is not
    # there yet. The inbound SA is no lone SA to delete.
    on r1 ip xfrm monitor expire >/tmp/expire.log 2>&1 &
    monitor_pid=$!
    must r1-outbound-dying soft_expire r1 $R1_WAN $R2_WAN 0x0a0b0c01 5
    check r1-kernel-soft-expired until_ok 10 grep -A3 'spi 0x0a0b0c01' /tmp/expire.log
    kill $monitor_pid 2>/dev/null
    check r1-pass-while-rekeying wait_ticks r1 1
    check r1-inbound-kept-while-rekeying tunnel_sas_kept r1 "$R2_WAN $R1_WAN 0x0a0b0c02 6"
    check r1-nothing-deleted-while-rekeying nothing_deleted r1
    # The successor arrives: the status row follows it.
    must r1-rekeyed esp_sa r1 add $R1_WAN $R2_WAN 0x0a0b0c11 5
    check r1-spi-follows-rekey until_ok 40 expect_fields r1 2 status=1 SPI=a0b0c11 secondSPI=a0b0c02
    must r1-old-sa-expired esp_sa r1 delete $R1_WAN $R2_WAN 0x0a0b0c01
    # The peer's half goes away; the daemon removes the lone half at the
    # next pass through tmp_delete.conf and setkey, and clears the SPIs. Both
    # recorded SPIs are written, the live one first: the line for the SA
    # already gone fails in the kernel, after the live one was deleted.
    must r1-inbound-lost esp_sa r1 delete $R2_WAN $R1_WAN 0x0a0b0c02
    check r1-ike-status-down until_ok 40 expect_fields r1 2 status=0 SPI=0 secondSPI=0
    check r1-lone-sa-removed has_sas r1 "$R1_SA_OUT" "$R1_SA_IN"
    check r1-delete-file on r1 sh -c 'cat /var/ipsec/tmp_delete.conf; printf "%s\n" \
        "delete 192.0.2.1 192.0.2.2 esp 0xa0b0c11;" "delete 192.0.2.2 192.0.2.1 esp 0xa0b0c02;" |
        cmp - /var/ipsec/tmp_delete.conf'
    on r1 rm -f /var/ipsec/tmp_delete.conf
    check r1-manual-tunnel-unaffected expect_fields r1 1 status=1 SPI=2001 secondSPI=2002
    end
}

# tables_empty NODE: no SA and no policy left in the router's kernel. A
# running key daemon's own per-socket bypass policies ("socket in|out") are
# not the tables' entries and do not count.
tables_empty() {
    on "$1" ip xfrm state
    on "$1" ip xfrm policy
    [ -z "$(on "$1" ip xfrm state)" ] && ! on "$1" ip xfrm policy | grep -q '^[[:space:]]dir '
}

scenario_wan_down_up() {
    begin wan-down-up "WAN down empties the kernel and removes the rules; WAN up restores them once"
    must r1-wan-down zc r1 wan down wan0
    must r2-wan-down zc r2 wan down wan0
    for n in r1 r2; do
        check $n-tables-empty until_ok 10 tables_empty $n
        check $n-no-key-daemon until_ok 5 eq 0 key_daemons $n
        check $n-admission-rules-gone eq 0 admission_rules $n
        check $n-nat-exemptions-gone has_nat_exemptions $n ""
    done
    must r1-wan-up-again zc r1 wan up wan0
    must r2-wan-up-again zc r2 wan up wan0
    check r1-sas-restored until_ok 10 has_sas r1 "$R1_SA_OUT" "$R1_SA_IN"
    check r2-sas-restored until_ok 10 has_sas r2 "$R2_SA_OUT" "$R2_SA_IN"
    check r1-policies-restored has_policies r1 "$(tunnel_policies $LAN1 $NEW_LAN2 3)" \
        "$(tunnel_policies $LAN1 $LAN2 5)"
    check r2-policies-restored has_policies r2 "$(tunnel_policies $NEW_LAN2 $LAN1 3)" \
        "$(tunnel_policies $LAN2 $LAN1 5)"
    for n in r1 r2; do
        check $n-admission-rules-once eq 3 admission_rules $n
        check $n-no-duplicate-rules no_duplicate_rules $n
        check $n-one-key-daemon until_ok 5 eq 1 key_daemons $n
    done
    check r1-nat-exemptions-once has_nat_exemptions r1 "$LAN1/24 $NEW_LAN2/24 wan0" "$LAN1/24 $LAN2/24 wan0"
    zero_wan_counters
    check ping-after-wan-up ping_through lan1 $NEW_LAN2_HOST
    check carried-by-esp carried_by_esp
    end
}

scenario_delete_tunnel() {
    begin delete-tunnel "tunnel del removes the tunnel's SAs, policies and NAT exemption, nothing else"
    must r1-tunnel-deleted zc r1 tunnel del 1
    must r2-tunnel-deleted zc r2 tunnel del 1
    check r1-sas-gone until_ok 10 has_sas r1
    check r2-sas-gone until_ok 10 has_sas r2
    check r1-only-ike-policies-left has_policies r1 "$(tunnel_policies $LAN1 $LAN2 5)"
    check r2-only-ike-policies-left has_policies r2 "$(tunnel_policies $LAN2 $LAN1 5)"
    check r1-only-ike-exemption-left has_nat_exemptions r1 "$LAN1/24 $LAN2/24 wan0"
    check r2-only-ike-exemption-left has_nat_exemptions r2 "$LAN2/24 $LAN1/24 wan0"
    # Deleting the last tunnel leaves nothing behind.
    check r1-ike-tunnel-deleted zc r1 tunnel del 2
    check r2-ike-tunnel-deleted zc r2 tunnel del 2
    for n in r1 r2; do
        check $n-tables-empty until_ok 10 tables_empty $n
        check $n-no-exemption-left has_nat_exemptions $n ""
        check $n-log-clean no_log_errors $n
    done
    end
}
