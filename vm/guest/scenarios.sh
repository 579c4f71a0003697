#!/bin/sh
# The guest's sh is dash (x86-64) or busybox ash (MIPS); both have local.
# shellcheck shell=dash
# The scenarios run inside the VM, in order, on either kind of machine; what
# runs where is the data of targets.sh. Each scenario reports its checks; one
# whose programs are not in the image is reported as not run.
. /vm/lib.sh
. /vm/targets.sh
. /vm/routers.sh
. /vm/daemon.sh
. /vm/daemon-scenarios.sh
. /vm/differential.sh
. /vm/interop.sh

# ---- the kernel itself ----------------------------------------------------
scenario_kernel() {
    local alg
    begin kernel "modules, PF_KEY and ESP in the kernel, in its byte order"
    check modules-loaded sh -c '! [ -s /tmp/insmod-failed ] || { cat /tmp/insmod-failed; false; }'
    check byte-order eq "$TARGET_BYTE_ORDER" byte_order
    check pfkey-socket-family test -e /proc/net/pfkey
    for alg in "hmac(sha1) 0x000102030405060708090a0b0c0d0e0f10111213" \
        "hmac(sha256) 0x000102030405060708090a0b0c0d0e0f000102030405060708090a0b0c0d0e0f"; do
        set -- $alg
        check "esp-sa-accepted-$1" ip xfrm state add src 192.0.2.1 dst 192.0.2.2 proto esp spi 0x100 \
            reqid 1 mode tunnel enc 'cbc(aes)' 0x000102030405060708090a0b0c0d0e0f auth "$1" "$2"
        check "esp-sa-listed-$1" sh -c 'ip xfrm state | grep -q "spi 0x00000100 reqid 1 mode tunnel"'
        # The same SA read back over PF_KEY by the real setkey: its SPI and
        # request id come out right only if both byte orders are.
        if [ "$REAL_TOOLS" = 1 ]; then
            check "pfkey-dump-$1" sh -c 'setkey -D; setkey -D | grep -q "spi=256(0x00000100) reqid=1(0x00000001)"'
        fi
        ip xfrm state flush
    done
    if [ "$REAL_TOOLS" = 1 ]; then
        # The real tools start in the image (racoon needs libcrypto).
        check real-setkey-runs sh -c 'setkey -V 2>&1 | grep ipsec-tools'
        check real-racoon-runs sh -c 'racoon -V 2>&1 | grep ipsec-tools'
    fi
    if [ "${IPSECVM_FAULT:-}" = fail ]; then
        check injected-failure false
    fi
    end
}
scenario_kernel
if [ -n "${IPSECVM_FAULT:-}" ]; then
    result
    exit
fi
# ipsecvm.only=differential or ipsecvm.only=interop on the kernel command
# line (VM_APPEND) runs the kernel scenario and those alone.
case ${IPSECVM_ONLY:-} in
differential) scenario_differential ;;
interop) run_interop_scenarios ;;
*)
    for s in $FIRST_SCENARIOS; do run_scenario "$s"; done
    run_daemon_scenarios
    show_logs "r1 r2 r3 r4" "/run/ipsecVpn.log /run/tool.log /run/syslog.log"
    run_interop_scenarios
    ;;
esac
result
