#!/bin/sh
# The guest's sh is dash (x86-64) or busybox ash (MIPS); both have local.
# shellcheck shell=dash
# Adds and deletes one ESP SA in a loop until /tmp/stop-churn appears,
# counting rounds in /tmp/churn-count.
#   churn.sh SRC DST ENC-KEY AUTH-KEY
i=0
while [ ! -e /tmp/stop-churn ]; do
    ip xfrm state add src "$1" dst "$2" proto esp spi 0x6000 reqid 4000 mode tunnel \
        enc 'cbc(aes)' "$3" auth 'hmac(sha1)' "$4"
    ip xfrm state delete src "$1" dst "$2" proto esp spi 0x6000
    i=$((i + 1))
    echo $i >/tmp/churn-count
done
