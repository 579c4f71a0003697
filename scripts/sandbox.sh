#!/bin/bash
# Runs a command in a throw-away sandbox: fresh user (when not root), mount,
# network and PID namespaces with their own /proc; /var and /run on tmpfs;
# loopback up; a WAN interface wan0 (one end of a veth pair) with address
# 198.51.100.2/24 and a default route via 198.51.100.1; a private, writable
# /etc/hosts; the given folder first on PATH. The daemon keeps its fixed
# /var/ipsec paths and nothing on the host is touched.
#
#   sandbox.sh [--path DIR]... [--hosts FILE] [--no-wan] [--] COMMAND [ARG]...
set -euo pipefail

usage() {
    echo "usage: sandbox.sh [--path DIR]... [--hosts FILE] [--no-wan] [--] COMMAND [ARG]..." >&2
    exit 2
}

if [ "${IPSEC_SANDBOX_STAGE:-}" != "inner" ]; then
    [ $# -gt 0 ] || usage
    if ! command -v unshare >/dev/null; then
        echo "sandbox: unshare (util-linux) is missing" >&2
        exit 1
    fi
    userns=()
    [ "$(id -u)" -eq 0 ] || userns=(--user --map-root-user)
    if ! unshare "${userns[@]}" --mount --net --pid --fork true 2>/dev/null; then
        echo "sandbox: cannot create namespaces here (user namespaces disabled?" \
            "try as root, or sysctl kernel.unprivileged_userns_clone=1)" >&2
        exit 1
    fi
    export IPSEC_SANDBOX_STAGE=inner
    exec unshare "${userns[@]}" --mount --net --pid --fork --mount-proc --kill-child "$0" "$@"
fi

# ---- inside the namespaces --------------------------------------------------
unset IPSEC_SANDBOX_STAGE
export IPSEC_SANDBOX=1
paths=()
hosts=""
wan=1
while [ $# -gt 0 ]; do
    case "$1" in
    --path) paths+=("$(readlink -f "$2")"); shift 2 ;;
    --hosts) hosts="$(readlink -f "$2")"; shift 2 ;;
    --no-wan) wan=0; shift ;;
    --) shift; break ;;
    -*) usage ;;
    *) break ;;
    esac
done
[ $# -gt 0 ] || usage

mount --make-rprivate /
mount -t tmpfs -o mode=0755 sandbox-var /var
mount -t tmpfs -o mode=0755 sandbox-run /run
# A private, writable /etc/hosts kept on the sandbox's own /run.
cp "${hosts:-/etc/hosts}" /run/sandbox-hosts
mount --bind /run/sandbox-hosts /etc/hosts
# Names resolve from /etc/hosts alone: the only name server is on loopback,
# where nothing listens, so an unknown name fails at once.
echo "nameserver 127.0.0.1" >/run/sandbox-resolv.conf
mount --bind /run/sandbox-resolv.conf /etc/resolv.conf
mkdir -p /var/run /var/tmp /var/log
chmod 1777 /var/tmp

ip link set lo up
if [ "$wan" -eq 1 ]; then
    ip link add wan0 type veth peer name wan0-peer
    ip addr add 198.51.100.2/24 dev wan0
    ip link set wan0 up
    ip link set wan0-peer up
    ip route add default via 198.51.100.1 dev wan0 onlink
fi

for ((i = ${#paths[@]} - 1; i >= 0; i--)); do
    PATH="${paths[$i]}:$PATH"
done
export PATH
exec "$@"
