#!/bin/sh
# The guest's sh is dash (x86-64) or busybox ash (MIPS); both have local.
# shellcheck shell=dash
# First process of a node's PID namespace: gives the node private /run, /var
# (so /var/ipsec and the framework's home are its own) and /dev (so that its
# syslog socket is its own: the key daemon logs there, into /run/syslog.log),
# then idles. Killing it ends everything started in the node.
name=$1
mount -t tmpfs -o mode=0755 "$name-run" /run
mount -t tmpfs -o mode=0755 "$name-var" /var
ln -s /run /var/run
mkdir -m 0700 /run/zor /var/racoon
mount -t tmpfs -o mode=0755 "$name-dev" /dev
mknod -m 666 /dev/null c 1 3
mknod -m 666 /dev/zero c 1 5
mknod -m 666 /dev/random c 1 8
mknod -m 666 /dev/urandom c 1 9
mknod -m 666 /dev/tty c 5 0
syslogd -O /run/syslog.log
ip link set lo up
touch "/tmp/node-ready.$name"
while :; do sleep 3600; done
