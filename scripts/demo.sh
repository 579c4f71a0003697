#!/bin/bash
# The daemon's main job, end to end. Builds the daemon, the stand-in
# framework and tools, starts the daemon in a throw-away sandbox
# (scripts/sandbox.sh: own network with a WAN interface wan0, own /var and
# /run), gives it a small data model (a manually keyed and an IKE tunnel),
# brings the WAN up with zorctl and shows what the daemon did: the rendered
# files, the nat and filter tables, the key daemon, the tunnels' status after
# one quiet period, and its log. Then the WAN goes down and everything is
# taken back. Nothing on the host is touched.
#
#   scripts/demo.sh            (as root on Debian; installs what it needs)
#   scripts/demo.sh --vm       the same job on the real thing: two routers in a
#                              VM (Debian's kernel under qemu) with the real
#                              setkey and racoon negotiate an IKE tunnel
#
# The sandbox demo runs anywhere, also on a kernel without PF_KEY or ESP,
# with the tool stand-ins. --vm needs an x86-64 host that can run qemu (the
# first run downloads the kernel package) and the real tools' source (see
# scripts/ipsec-tools.sh); it shows the rendered files, both kernels' SAs, a
# ping carried by ESP and both routers' zorctl status.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" = --vm ]; then
    cd "$top"
    scripts/deps.sh cmake make g++ libgtest-dev googletest nlohmann-json3-dev
    # The same build as the sandbox demo's: one makes the other quick.
    build="$top/build-demo"
    echo "== building the daemon, zorctl and the stand-ins in $build"
    cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j "$(nproc)" --target ipsecVpn zorctl setkey racoon >/dev/null
    rc=0
    vm/run-vm-test.sh --build "$build" --demo || rc=$?
    [ "$rc" -ne 77 ] || echo "demo: this machine cannot run the VM; scripts/demo.sh alone runs the sandbox demo"
    exit "$rc"
fi

if [ "${IPSEC_DEMO_STAGE:-}" != "inside" ]; then
    cd "$top"
    scripts/deps.sh cmake make g++ libgtest-dev googletest nlohmann-json3-dev iptables iproute2 util-linux procps
    build="$top/build-demo"
    echo "== building the daemon and the stand-ins in $build"
    cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j "$(nproc)" --target ipsecVpn zorctl setkey racoon pfkeysim_preload >/dev/null
    export IPSEC_DEMO_STAGE=inside IPSEC_DEMO_BIN="$build/bin"
    exec scripts/sandbox.sh --path "$build/bin" -- "$0"
fi

# ---- inside the sandbox -------------------------------------------------------
export ZOR_HOME=/var/run/zor IPSEC_TOOL_LOG=/var/tmp/tools.log
log=/var/tmp/ipsecVpn.log
sa_table=/var/tmp/kernel-sa.txt
mkdir -p "$ZOR_HOME"

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
show() { # TITLE FILE
    printf -- '-- %s\n' "$1"
    cat "$2"
}
# Waits (at most $2 seconds) until the command in $1 succeeds.
wait_until() {
    local i
    for ((i = 0; i < $2 * 10; i++)); do
        if eval "$1"; then return 0; fi
        sleep 0.1
    done
    echo "demo: gave up waiting for: $1" >&2
    return 1
}
say "the kernel"
preload=()
if [ -e /proc/net/pfkey ]; then
    echo "This kernel offers PF_KEY: the daemon reads its real SA table."
else
    echo "This kernel has no PF_KEY (no af_key module): the daemon's status monitor reads"
    echo "a simulated PF_KEY kernel instead (LD_PRELOAD libpfkeysim.so), whose SA table is"
    echo "the file $sa_table. setkey and iptables still act on the sandbox's real kernel."
    : >"$sa_table"
    preload=(env LD_PRELOAD="$IPSEC_DEMO_BIN/libpfkeysim.so" PFKEYSIM_TABLE="$sa_table")
fi

say "starting the daemon: ipsecVpn -m 1"
"${preload[@]}" ipsecVpn -m 1 >/var/tmp/ipsecVpn.out 2>"$log" &
daemon=$!
wait_until "[ -S $ZOR_HOME/msg/502 ]" 20
cat /var/tmp/ipsecVpn.out

say "the data model: the WAN connection on wan0 and two tunnels"
zorctl wan set wan0 enable=1 connectionStatus=Connected connectionType=IP_Routed \
    externalIPAddress=198.51.100.2
zorctl tunnel add entryID=1 enable=1 connName=branch-office keyExMethod=1 remoteGWAddress=203.0.113.9 \
    localIPAddress=192.168.1.0 localMask=255.255.255.0 remoteIPAddress=10.2.0.0 remoteMask=255.255.0.0 \
    manualEncryptionAlgo=aes-cbc manualEncryptionKey=00112233445566778899aabbccddeeff \
    manualAuthAlgo=hmac-sha1 manualAthKey=0123456789abcdef0123456789abcdef01234567 SPI=1000 secondSPI=1001
zorctl tunnel add entryID=2 enable=1 connName=partner keyExMethod=0 authMethod=0 remoteGWAddress=192.0.2.50 \
    localIPAddress=192.168.1.0 localMask=255.255.255.0 remoteIPMode=1 remoteIPAddress=192.0.2.77 \
    remoteMask=255.255.255.255 PSK=demo-secret DPD=1 perfectFSEn=1 ph1Mode=main ph1MyIdType=address \
    ph1PeerIdType=address ph1EncryptionAlo=aes ph1IntegrityAlgo=sha1 ph1DHGroup=modp1024 ph1KeyTime=28800 \
    ph2EncryptionAlo=aes ph2IntegrityAlgo=hmac_sha1 ph2DHGroup=modp1024 ph2KeyTime=3600
echo "(the WAN is still down, so the daemon only notes the changes: they are picked up at WAN up)"
zorctl status

say "zorctl wan up wan0"
zorctl wan up wan0
wait_until "grep -qs 'racoon start' $IPSEC_TOOL_LOG" 20
for f in /var/ipsec/setkey.conf /var/ipsec/racoon.conf; do show "$f" "$f"; done
printf -- '-- /var/ipsec/psk.txt: mode %s, %s line(s) (keys are not shown)\n' \
    "$(stat -c %a /var/ipsec/psk.txt)" "$(wc -l </var/ipsec/psk.txt)"
printf -- '-- iptables -t nat -S POSTROUTING (NAT exemptions)\n'
iptables -t nat -S POSTROUTING
printf -- '-- iptables -S INPUT (IKE, NAT-T and ESP admitted on wan0)\n'
iptables -S INPUT
printf -- '-- ip xfrm policy (what setkey loaded into the kernel; "in" comes with a "fwd" twin)\n'
ip xfrm policy | grep -E '^src|dir|tmpl' || true
if grep -q 'ip xfrm state add failed' "$log"; then
    echo "(this kernel has no ESP, so the manual tunnel's two SAs could not be loaded:"
    echo " setkey says so in the daemon's log below; the policies above are in)"
fi
show "setkey and key daemon runs" "$IPSEC_TOOL_LOG"
printf -- '-- key daemon processes\n'
ps -o pid=,args= -C racoon || echo "(none)"

say "the tunnels' status after one quiet period (15 s without messages)"
if [ ${#preload[@]} -gt 0 ]; then
    echo "The simulated kernel now holds the manual tunnel's two SAs and the SAs the key"
    echo "daemon would have negotiated for the IKE tunnel:"
    cat >"$sa_table" <<'EOF'
198.51.100.2 203.0.113.9 0x1000 3
203.0.113.9 198.51.100.2 0x1001 4
198.51.100.2 192.0.2.50 0x0c0ffee1 5
192.0.2.50 198.51.100.2 0x0c0ffee2 6
EOF
    cat "$sa_table"
fi
echo "waiting for the daemon's monitoring tick..."
# Tunnels up (status, the fourth column, at 1): both with the simulated kernel;
# with the real one only the manual tunnel can be, as nothing negotiates.
want=$([ ${#preload[@]} -gt 0 ] && echo 2 || echo 1)
wait_until "[ \$(zorctl status | awk '\$4 == 1' | wc -l) -ge $want ]" 40 || true
zorctl status

say "zorctl wan down wan0"
seen=$(wc -l <"$IPSEC_TOOL_LOG")
zorctl wan down wan0
wait_until "grep -qs 'setkey -DPF' $IPSEC_TOOL_LOG && ! ps -C racoon -o stat= | grep -qv Z" 20
printf -- '-- iptables -t nat -S POSTROUTING\n'
iptables -t nat -S POSTROUTING
printf -- '-- iptables -S INPUT\n'
iptables -S INPUT
printf -- '-- ip xfrm policy\n'
ip xfrm policy
printf -- '-- setkey runs (the key daemon was killed: SIGKILL leaves no line)\n'
tail -n +"$((seen + 1))" "$IPSEC_TOOL_LOG"
printf -- '-- key daemon processes\n'
ps -o pid=,args= -C racoon || echo "(none)"

say "the daemon's log"
echo "(its first WAN up takes back any NAT exemption a daemon before it left;"
echo " where there was none, iptables says \"Bad rule\" once per tunnel)"
cat "$log"

kill "$daemon"
wait "$daemon" 2>/dev/null || true
say "done: the sandbox and everything in it is gone"
