#!/bin/sh
# The guest's sh is dash (x86-64) or busybox ash (MIPS); both have local.
# shellcheck shell=dash
# shellcheck disable=SC2034 # the settings are read by the scenario files
# What the two kinds of VM do differently, as data (sourced first): the byte
# order their kernel must lay out, whether their image has iptables, and
# which scenarios each runs. Every scenario is the same code on both.
#
#   FIRST_SCENARIOS       each on its own, before the daemon's
#   DAEMON_SCENARIOS      the daemon on two routers, building on each other
#   IKE_SCENARIOS         then negotiated by the real racoon, in the same chain
#   BACKGROUND_SCENARIOS  beside those, on two routers of their own
#   INTEROP_SCENARIOS     last, against a gateway nobody here wrote
case $(uname -m) in
mips*)
    # The router's own kind of machine, under full emulation: the daemon's
    # part of each kind of job, a shorter list.
    TARGET_BYTE_ORDER=big-endian
    # No iptables in the image: the daemon's NAT and admission commands fail
    # (harmlessly), the checks of firewall rules are left out, and ESP is
    # counted on the SAs themselves.
    TARGET_IPTABLES=0
    FIRST_SCENARIOS="network"
    DAEMON_SCENARIOS="manual-tunnel status-from-dump dump-under-churn change-subnet ike-tunnel
        negotiated-sas delete-tunnel"
    IKE_SCENARIOS="ike-negotiate"
    BACKGROUND_SCENARIOS=""
    INTEROP_SCENARIOS=""
    ;;
*)
    TARGET_BYTE_ORDER=little-endian
    TARGET_IPTABLES=1
    FIRST_SCENARIOS="differential network esp-by-hand"
    DAEMON_SCENARIOS="manual-tunnel status-from-dump dump-under-churn change-subnet ike-tunnel
        negotiated-sas wan-down-up delete-tunnel"
    IKE_SCENARIOS="ike-negotiate ike-half-dead ike-change-restart ike-peer-gone ike-hostname"
    BACKGROUND_SCENARIOS="ike-rekey ike-more-than-ten ike-wan-down-up"
    # In the order they run.
    INTEROP_SCENARIOS="interop-gateway interop-peer-gone-up interop-defaults interop-aes256-modp2048
        interop-no-pfs interop-aggressive-fqdn interop-two-subnet-pairs interop-peer-initiates
        interop-wrong-psk interop-peer-rekeys interop-peer-gone interop-refused-algorithm"
    ;;
esac
