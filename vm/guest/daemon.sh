#!/bin/sh
# The guest's sh is dash (x86-64) or busybox ash (MIPS); both have local.
# shellcheck shell=dash
# The daemon on the real kernel (sourced after routers.sh): each router runs
# its own ipsecVpn, driven by zorctl as the router's web pages would drive it.
# The helpers of the daemon scenarios (daemon-scenarios.sh), and their
# runner. The scenarios of a list build on each other and run in its order
# (targets.sh): a manually keyed tunnel carries traffic; its status comes back
# from the PF_KEY dump; dumps stay right while other SAs come and go; the
# tunnel's remote subnet changes; an IKE tunnel is added and its (hand-made)
# SAs followed; the WAN goes down and up; the tunnels are deleted. Then the
# real key daemons negotiate: a tunnel comes up on traffic, loses half its
# pair, changes and restarts, loses its peer and follows a gateway name.
# Beside all of them, on two routers of their own (r3 and r4) and in the
# background, a tunnel is re-keyed three times, then twelve run at once and go
# down and up with the WAN.

# ---- the routers' side --------------------------------------------------------
zc() { # NODE ARGS...: zorctl on a router
    local n=$1
    shift
    on "$n" zorctl "$@"
}

daemon_start() { # NODE
    # Nothing of the caller's output stays open in the daemon (a reader of
    # that output would wait for it to end).
    on "$1" sh -c 'ZOR_TRACE=/run/zor-trace.log exec ipsecVpn -m 1 >/run/ipsecVpn.log 2>&1' \
        </dev/null >/dev/null 2>&1 &
    until_ok 10 on "$1" test -S /run/zor/msg/502
}

# tfield NODE ENTRYID FIELD: one field of `zorctl status`, by column name.
tfield() {
    zc "$1" status | awk -v id="$2" -v f="$3" '
        NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
        $1 == id { print $col[f] }'
}
# expect_fields NODE ENTRYID FIELD=VALUE...: the tunnel's status row says so.
expect_fields() {
    local n=$1 id=$2 kv got ok=0
    shift 2
    zc "$n" status
    for kv in "$@"; do
        got=$(tfield "$n" "$id" "${kv%%=*}")
        [ "$got" = "${kv#*=}" ] || { echo "$n tunnel $id: ${kv%%=*} is '$got', want '${kv#*=}'"; ok=1; }
    done
    return $ok
}

# manual_tunnel NODE LOCAL-NET REMOTE-NET REMOTE-GW SPI SECOND-SPI
manual_tunnel() {
    zc "$1" tunnel add entryID=1 enable=1 connName=branch keyExMethod=1 remoteGWAddress="$4" \
        localIPMode=0 localIPAddress="$2" localMask=$MASK24 \
        remoteIPMode=0 remoteIPAddress="$3" remoteMask=$MASK24 SPI="$5" secondSPI="$6" \
        manualEncryptionAlgo=aes-cbc manualEncryptionKey=$ENC_KEY \
        manualAuthAlgo=hmac-sha1 manualAthKey=$AUTH_KEY
}

wan_up() { # NODE ADDRESS
    zc "$1" wan set wan0 enable=1 connectionStatus=Connected connectionType=IP_Routed \
        externalIPAddress="$2" && zc "$1" wan up wan0
}

# has_sas NODE "SRC DST SPI REQID"...: the kernel holds exactly these SAs.
has_sas() {
    local n=$1 want got
    shift
    want=$(printf '%s\n' "$@" | sort)
    got=$(sas "$n" | sort)
    printf '%s SAs:\n%s\n' "$n" "$got"
    [ "$got" = "$want" ]
}
# has_policies NODE "SRC DST DIR REQID"...: the kernel holds exactly these policies.
has_policies() {
    local n=$1 want got
    shift
    want=$(printf '%s\n' "$@" | sed '/^$/d' | sort)
    got=$(policies "$n" | sort)
    printf '%s policies:\n%s\n' "$n" "$got"
    [ "$got" = "$want" ]
}
# tunnel_policies LOCAL REMOTE OUT-REQID: the three policies of one tunnel.
# setkey (the real one and the stand-in) gives the fwd twin of an "in"
# policy request id 0.
tunnel_policies() {
    echo "$1/24 $2/24 out $3"
    echo "$2/24 $1/24 in $(($3 + 1))"
    echo "$2/24 $1/24 fwd 0"
}

# nat_exemptions NODE: the ACCEPT rules of nat POSTROUTING, as "SRC DST IF".
nat_exemptions() {
    on "$1" iptables -t nat -S POSTROUTING | awk '/-j ACCEPT/ {
        s = d = o = "-"
        for (i = 1; i <= NF; i++) { if ($i == "-s") s = $(i+1); if ($i == "-d") d = $(i+1); if ($i == "-o") o = $(i+1) }
        print s, d, o }'
}
has_nat_exemptions() { # NODE "SRC DST IF"...
    local n=$1 want got
    shift
    want=$(printf '%s\n' "$@" | sed '/^$/d' | sort)
    got=$(nat_exemptions "$n" | sort)
    on "$n" iptables -t nat -S POSTROUTING
    [ "$got" = "$want" ] || return 1
    # and each ahead of the masquerade rule
    [ -z "$want" ] || on "$n" iptables -t nat -S POSTROUTING | tail -1 | grep -q MASQUERADE
}
# admission_rules NODE: filter rules that mention wan0.
admission_rules() { on "$1" iptables -S INPUT | grep -c -- '-i wan0'; }
no_duplicate_rules() { # NODE
    local t dup=0
    for t in filter nat; do
        on "$1" iptables -t $t -S | sort | uniq -d | grep . && dup=1
    done
    return $dup
}

# key_daemons NODE: racoon processes running on the router.
key_daemons() {
    on "$1" sh -c 'for p in /proc/[0-9]*; do tr "\0" " " <$p/cmdline 2>/dev/null; echo; done' |
        grep -c '^racoon ' || true
}

# ticks NODE: monitoring passes the daemon has made so far.
ticks() { on "$1" sh -c 'grep -c "^lock ipsec_set_status" /run/zor-trace.log 2>/dev/null || true'; }
ticks_at_least() { [ "$(ticks "$1")" -ge "$2" ]; }
# wait_ticks NODE N: waits (bounded) until N more monitoring passes have run.
wait_ticks() {
    local n=$1 want
    want=$(($(ticks "$1") + $2))
    until_ok $((20 * $2 + 10)) ticks_at_least "$n" "$want" >/dev/null
    echo "$n: $(ticks "$n") monitoring passes so far, wanted $want"
    ticks_at_least "$n" "$want"
}

# eq WANT COMMAND...: COMMAND prints WANT (one word).
eq() {
    local want=$1 got
    shift
    got=$("$@")
    echo "$*: '$got', want '$want'"
    [ "$got" = "$want" ]
}
# ge N COMMAND...: COMMAND prints a number of at least N.
ge() {
    local want=$1 got
    shift
    got=$("$@")
    echo "$*: '$got', want at least $want"
    [ "${got:-0}" -ge "$want" ]
}
not() { ! "$@"; }

# spi_text SPI-AS-IP-PRINTS: the SPI as the data model writes it.
spi_text() { printf '%x' "$(($1))"; }

# nothing_deleted NODE: the daemon removed no lone SA (it writes
# tmp_delete.conf only to do so; scenarios that expect a removal take the
# file away after checking it).
nothing_deleted() {
    on "$1" sh -c 'if [ -e /var/ipsec/tmp_delete.conf ]; then cat /var/ipsec/tmp_delete.conf; false; fi'
}
# only_lone_deleted NODE PEER: every SA the daemon deleted was a lone one,
# which the peer does not hold: when both routers start a negotiation for
# the same tunnel, the one the peer gives up (its larval SA expired) can
# leave an outbound SA on this side that nothing will ever use.
only_lone_deleted() {
    local held
    held=$(sas "$2" | awk '{ s = $3; sub(/^0x0*/, "", s); print $1, $2, s }')
    on "$1" sh -c 'cat /var/ipsec/tmp_delete.conf 2>/dev/null' |
        awk '$1 == "delete" { s = $5; sub(/;$/, "", s); sub(/^0x0*/, "", s); print $2, $3, s }' |
        while read -r src dst spi; do
            echo "$1 deleted $src $dst $spi"
            if printf '%s\n' "$held" | grep -qx "$src $dst $spi"; then
                echo "  but $2 holds it"
                return 1
            fi
        done
}

no_log_errors() { # NODE
    on "$1" cat /run/ipsecVpn.log
    ! on "$1" grep -E ' ERROR .*(read_error|failed|error)' /run/ipsecVpn.log
}

# ---- scenarios ------------------------------------------------------------
run_daemon_scenarios() {
    local need
    need=$(missing ipsecVpn zorctl setkey racoon)
    if [ -n "$need" ]; then
        not_run_all "not in the image yet: $need" $DAEMON_SCENARIOS $IKE_SCENARIOS $BACKGROUND_SCENARIOS
        return
    fi
    # shellcheck disable=SC2154 # routers.sh's
    if [ "$network_failed" -ne 0 ]; then
        not_run_all "the network did not come up" $DAEMON_SCENARIOS $IKE_SCENARIOS $BACKGROUND_SCENARIOS
        return
    fi
    start_background_scenarios
    run_in_order $DAEMON_SCENARIOS
    # The negotiations need the real racoon; without it they are not run (and
    # never passed).
    if [ "$REAL_TOOLS" = 1 ]; then
        run_in_order $IKE_SCENARIOS
    else
        not_run_all "$(no_racoon_reason)" $IKE_SCENARIOS
    fi
    collect_background_scenarios
}
no_racoon_reason() { echo "the real racoon is not in the image: $(cat /etc/ipsec-tools.missing 2>/dev/null)"; }

# The scenarios on r3 and r4 run one after the other in the background while
# the others run on r1 and r2; their report is shown and counted at the end.
background_pid=
start_background_scenarios() {
    [ "$REAL_TOOLS" = 1 ] && [ -n "$BACKGROUND_SCENARIOS" ] || return 0
    # Its lines go to a file, counted at the end, and from there to the
    # console as they come. (Its own end is what is waited for: the nodes and
    # daemons it starts outlive it.)
    (
        # shellcheck disable=SC2034 # read by the checks and run_in_order of lib.sh
        TMP_TAG=.background in_order_failed=0
        run_in_order $BACKGROUND_SCENARIOS
    ) >/tmp/background.log 2>&1 &
    background_pid=$!
    tail -f /tmp/background.log &
    background_tail=$!
}
collect_background_scenarios() {
    local s
    if [ -z "$background_pid" ]; then
        not_run_all "$(no_racoon_reason)" $BACKGROUND_SCENARIOS
        return
    fi
    wait $background_pid
    sleep 2
    kill $background_tail
    for s in $BACKGROUND_SCENARIOS; do
        if grep -q "^@@SCENARIO PASS $s " /tmp/background.log; then
            n_pass=$((n_pass + 1))
        elif grep -q "^@@SCENARIO NOTRUN $s:" /tmp/background.log; then
            n_notrun=$((n_notrun + 1))
        else
            n_fail=$((n_fail + 1))
            grep -q "^@@SCENARIO FAIL $s " /tmp/background.log || echo "@@SCENARIO FAIL $s: no report"
        fi
    done
}
# What each router's daemon and tools said (the last lines), for the record
# and for diagnosis.
show_logs() { # "NODE..." "FILE...": the last 40 lines of each file a node has
    local n f
    for n in $1; do
        [ -e "/tmp/node-pid.$n" ] || continue
        for f in $2; do
            on "$n" test -e "$f" || continue
            echo "   | ---- $n $f (last 40 lines)"
            # Every line ended, so that the closing report starts a line.
            on "$n" tail -n 40 "$f" 2>&1 | awk '{ print "   | " $0 }'
        done
    done
}
