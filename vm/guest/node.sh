#!/bin/sh
# First process of a node's PID namespace: gives the node private /run and
# /var (so /var/ipsec and the framework's home are its own), then idles.
# Killing it ends everything started in the node.
name=$1
mount -t tmpfs -o mode=0755 "$name-run" /run
mount -t tmpfs -o mode=0755 "$name-var" /var
ln -s /run /var/run
mkdir -m 0700 /run/zor
ip link set lo up
touch "/tmp/node-ready.$name"
while :; do sleep 3600; done
