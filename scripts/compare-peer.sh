#!/bin/bash
# Side by side with a peer doing the same job on the same kernel: N site-to-site
# tunnels brought into the kernel's policy table by this daemon (a WAN up:
# setkey.conf, one iptables NAT exemption per tunnel, racoon.conf, then setkey)
# and by strongSwan's charon (N connections loaded through swanctl, each with
# a trap policy). Measures the time from the trigger (zorctl wan up; swanctl
# --load-all) until `ip xfrm policy` holds all 3 x N policies (out, in, fwd),
# and both daemons' resident memory after the load. Runs in scripts/sandbox.sh:
# the host's kernel tables and /etc are not touched. Not part of CI.
#
#   scripts/compare-peer.sh [N...]          (default: 1 10 100 1000; as root on Debian)
#   scripts/compare-peer.sh --write-model N (prints the data model with N tunnels)
# IPSEC_BUILD_DIR names the build folder to use (default build-peer).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

# The data model of the benchmarks (bench/bench_model.cpp): tunnel i has its
# gateway 100.64.x.y and the remote subnet 10.(i/256).(i%256).0/24, behind the
# WAN connection wan0 with 198.51.100.2.
gateway() { echo "100.$((64 + $1 / 65536)).$(($1 / 256 % 256)).$(($1 % 256))"; }
remote_net() { echo "10.$(($1 / 256)).$(($1 % 256)).0"; }
write_model() { # N
    local i sep=""
    printf '{"IPSecCfgObject": ['
    for ((i = 1; i <= $1; i++)); do
        printf '%s\n{"entryID": %d, "enable": 1, "connName": "branch%d", "keyExMethod": 0, "authMethod": 0, ' \
            "$sep" "$i" "$i"
        printf '"DPD": 1, "perfectFSEn": 1, "remoteGWAddress": "%s", "realRemoteIP": "%s", ' \
            "$(gateway "$i")" "$(gateway "$i")"
        printf '"ph1Mode": "main", "ph1MyIdType": "address", "ph1PeerIdType": "address", "ph1KeyTime": 28800, '
        printf '"ph1EncryptionAlo": "aes", "ph1IntegrityAlgo": "sha1", "ph1DHGroup": "modp1024", '
        printf '"localIPMode": 0, "localIPAddress": "192.168.1.0", "localMask": "255.255.255.0", '
        printf '"remoteIPMode": 0, "remoteIPAddress": "%s", "remoteMask": "255.255.255.0", ' "$(remote_net "$i")"
        printf '"ph2DHGroup": "modp1024", "ph2KeyTime": 3600, "ph2EncryptionAlo": "aes", '
        printf '"ph2IntegrityAlgo": "hmac_sha1", "PSK": "key-%d"}' "$i"
        sep=","
    done
    printf '],\n"WanDevObject": [{"name": "wan1", "WanIpConnObject": [{"enable": 1, '
    printf '"connectionStatus": "Connected", "connectionType": "IP_Routed", '
    printf '"X_VORTALIX_COM_IfName": "wan0", "externalIPAddress": "198.51.100.2"}]}]}\n'
}
# The same tunnels for the peer: PSK, IKEv1 main mode, trap policies.
write_swanctl() { # N
    local i
    echo "connections {"
    for ((i = 1; i <= $1; i++)); do
        cat <<EOC
  branch$i {
    version = 1
    local_addrs = 198.51.100.2
    remote_addrs = $(gateway "$i")
    proposals = aes128-sha1-modp1024
    local { auth = psk }
    remote { auth = psk }
    children {
      branch$i {
        local_ts = 192.168.1.0/24
        remote_ts = $(remote_net "$i")/24
        esp_proposals = aes128-sha1-modp1024
        start_action = trap
      }
    }
  }
EOC
    done
    echo "}"
    echo "secrets {"
    for ((i = 1; i <= $1; i++)); do
        printf '  ike-%d {\n    id = %s\n    secret = key-%d\n  }\n' "$i" "$(gateway "$i")" "$i"
    done
    echo "}"
}

if [ "${1:-}" = "--write-model" ]; then
    write_model "$2"
    exit 0
fi

now_ms() { echo $(($(date +%s%N) / 1000000)); }
policies() { ip xfrm policy list | grep -c '^src' || true; }
rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }
# Waits until the kernel holds $1 policies; prints the milliseconds since $2.
wait_policies() { # COUNT START-MS
    local i
    for ((i = 0; i < 60000; i++)); do
        [ "$(policies)" -ge "$1" ] && { echo $(($(now_ms) - $2)); return 0; }
        sleep 0.005
    done
    echo "compare-peer: gave up waiting for $1 policies (have $(policies))" >&2
    return 1
}

if [ "${IPSEC_PEER_STAGE:-}" = "inside" ]; then
    # ---- inside the sandbox -------------------------------------------------------
    bin=$IPSEC_PEER_BIN
    work=/var/tmp/peer
    mkdir -p "$work"
    preload=()
    if [ ! -e /proc/net/pfkey ]; then
        : >"$work/sa.txt"
        preload=(env LD_PRELOAD="$bin/libpfkeysim.so" PFKEYSIM_TABLE="$work/sa.txt")
    fi
    printf '%-7s %12s %12s %8s %14s %14s %8s\n' tunnels "ipsecVpn ms" "charon ms" ratio \
        "ipsecVpn RSS" "charon RSS" ratio
    for n in "$@"; do
        # -- this daemon: the WAN comes up with n tunnels in the data model
        ip xfrm policy flush
        ip xfrm state flush
        iptables -w -t nat -F POSTROUTING
        export ZOR_HOME=$work/zor-$n IPSEC_TOOL_LOG=$work/tools-$n.log
        rm -rf /var/ipsec
        mkdir -p "$ZOR_HOME"
        write_model "$n" >"$ZOR_HOME/mdm.json"
        "${preload[@]}" "$bin/ipsecVpn" -m 1 >/dev/null 2>"$work/ipsecVpn-$n.log" &
        daemon=$!
        for _ in $(seq 200); do [ -S "$ZOR_HOME/msg/502" ] && break; sleep 0.05; done
        start=$(now_ms)
        zorctl wan up wan0 >/dev/null
        ours_ms=$(wait_policies $((3 * n)) "$start")
        ours_rss=$(rss_kb "$daemon")
        kill "$daemon"
        wait "$daemon" 2>/dev/null || true

        # -- the peer: charon running, n connections loaded with trap policies
        ip xfrm policy flush
        ip xfrm state flush
        iptables -w -t nat -F POSTROUTING
        cat >"$work/strongswan.conf" <<EOC
charon {
  load_modular = yes
  plugins {
    include /etc/strongswan.d/charon/*.conf
  }
  filelog {
    peer { path = $work/charon-$n.log
           default = 0 }
  }
  syslog { daemon { default = -1 } }
}
swanctl { load = }
EOC
        write_swanctl "$n" >"$work/swanctl-$n.conf"
        STRONGSWAN_CONF=$work/strongswan.conf /usr/lib/ipsec/charon >/dev/null 2>&1 &
        peer=$!
        for _ in $(seq 200); do [ -S /var/run/charon.vici ] && break; sleep 0.05; done
        start=$(now_ms)
        swanctl --load-all --noprompt --file "$work/swanctl-$n.conf" >"$work/swanctl-$n.out" 2>&1
        peer_ms=$(wait_policies $((3 * n)) "$start")
        peer_rss=$(rss_kb "$peer")
        kill "$peer"
        wait "$peer" 2>/dev/null || true
        rm -f /var/run/charon.vici /var/run/charon.pid

        awk -v n="$n" -v a="$ours_ms" -v b="$peer_ms" -v c="$ours_rss" -v d="$peer_rss" 'BEGIN {
            printf "%-7d %12d %12d %8.2f %11d kB %11d kB %8.2f\n", n, a, b, a / (b > 0 ? b : 1), c, d, c / d}'
    done
    exit 0
fi

cd "$top"
scripts/deps.sh cmake make g++ libgtest-dev googletest nlohmann-json3-dev iptables iproute2 util-linux \
    strongswan-charon strongswan-swanctl
build="${IPSEC_BUILD_DIR:-$top/build-peer}"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target ipsecVpn zorctl setkey racoon pfkeysim_preload >/dev/null
[ $# -gt 0 ] || set -- 1 10 100 1000
export IPSEC_PEER_STAGE=inside IPSEC_PEER_BIN="$build/bin"
exec scripts/sandbox.sh --path "$build/bin" -- "$0" "$@"
