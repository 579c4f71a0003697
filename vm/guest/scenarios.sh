#!/bin/sh
# The guest's sh is dash (x86-64) or busybox ash (MIPS); both have local.
# shellcheck shell=dash
# The scenarios run inside the VM, in order. Each reports its checks; a
# scenario whose programs are not in the image is reported as not run.
. /vm/lib.sh

# ---- the kernel itself ----------------------------------------------------
begin kernel "modules, PF_KEY and ESP on the stock kernel"
check modules-loaded sh -c '! [ -s /tmp/insmod-failed ] || { cat /tmp/insmod-failed; false; }'
check pfkey-socket-family test -e /proc/net/pfkey
check esp-sa-accepted ip xfrm state add src 192.0.2.1 dst 192.0.2.2 proto esp spi 0x100 \
    reqid 1 mode tunnel enc 'cbc(aes)' 0x000102030405060708090a0b0c0d0e0f \
    auth 'hmac(sha1)' 0x000102030405060708090a0b0c0d0e0f10111213
check esp-sa-listed sh -c 'ip xfrm state | grep -q "spi 0x00000100 reqid 1 mode tunnel"'
ip xfrm state flush
if [ "$REAL_TOOLS" = 1 ]; then
    # The real tools start in the image (racoon needs libcrypto).
    check real-setkey-runs sh -c 'setkey -V 2>&1 | grep ipsec-tools'
    check real-racoon-runs sh -c 'racoon -V 2>&1 | grep ipsec-tools'
fi
if [ "${IPSECVM_FAULT:-}" = fail ]; then
    check injected-failure false
fi
end
if [ -n "${IPSECVM_FAULT:-}" ]; then
    result
    exit
fi

# ipsecvm.only=differential or ipsecvm.only=interop on the kernel command
# line (VM_APPEND) runs the kernel scenario and those alone.
case ${IPSECVM_ONLY:-} in
differential) . /vm/differential.sh ;;
interop)
    # shellcheck disable=SC2034 # read by routers.sh and daemon.sh
    VM_HELPERS_ONLY=1
    . /vm/routers.sh
    . /vm/daemon.sh
    run_interop_scenarios
    ;;
*)
    . /vm/differential.sh
    . /vm/routers.sh
    ;;
esac
result
