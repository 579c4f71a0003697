#!/bin/bash
# Fetches the remote site's IKE daemon for the interop scenarios: Debian's
# charon and swanctl packages (with the libraries and plugins they load),
# downloaded with apt-get download and unpacked with dpkg-deb -x into a cache
# folder. Nothing is installed on the host. Reused while the package
# versions stay the same, so a second run fetches nothing. Prints the
# unpacked root (usr/lib/ipsec/charon, usr/sbin/swanctl, usr/lib/ipsec/plugins).
#   fetch-peer.sh CACHE-DIR
# Exit status: 0 fetched or cached; 77 the packages cannot be had (the reason
# on standard error): the interop scenarios are then reported as not run.
set -euo pipefail
cache=$1/peer
pkgs="libstrongswan libstrongswan-standard-plugins strongswan-libcharon strongswan-charon strongswan-swanctl"
say() { echo "fetch-peer: $*" >&2; }

# "PACKAGE=VERSION ..." as the package lists name them (one look-up for
# all), or nothing when one is missing.
versions() {
    local list p v out=""
    # shellcheck disable=SC2086 # one word per package
    list=$(apt-cache show --no-all-versions $pkgs 2>/dev/null |
        awk '/^Package: / { p = $2 } /^Version: / && !(p in v) { v[p] = $2; print p "=" $2 }')
    for p in $pkgs; do
        v=$(printf '%s\n' "$list" | sed -n "s/^$p=//p")
        [ -n "$v" ] || return 1
        out="$out $p=$v"
    done
    echo "${out# }"
}
want=$(versions || true)
if [ -z "$want" ] && [ "$(id -u)" -eq 0 ]; then
    apt-get update -qq >&2 || true
    want=$(versions || true)
fi
root=$cache/root
if [ -z "$want" ]; then
    # Offline: what was unpacked before still serves.
    if [ -x "$root/usr/lib/ipsec/charon" ] && [ -x "$root/usr/sbin/swanctl" ]; then
        echo "$root"
        exit 0
    fi
    say "the package lists name no $pkgs"
    exit 77
fi
if [ -x "$root/usr/lib/ipsec/charon" ] && [ "$(cat "$root/.versions" 2>/dev/null)" = "$want" ]; then
    echo "$root"
    exit 0
fi

mkdir -p "$cache/debs"
rm -rf "$cache/debs.tmp"
mkdir -p "$cache/debs.tmp"
# apt-get download as root warns that _apt cannot write here; harmless.
# shellcheck disable=SC2086 # one word per package
if ! (cd "$cache/debs.tmp" && apt-get download -q $want >&2); then
    say "apt-get download $want failed"
    exit 77
fi
rm -rf "$cache/debs" "$root.tmp"
mv "$cache/debs.tmp" "$cache/debs"
for deb in "$cache/debs"/*.deb; do
    dpkg-deb -x "$deb" "$root.tmp"
done
echo "$want" >"$root.tmp/.versions"
rm -rf "$root"
mv "$root.tmp" "$root"
echo "$root"
