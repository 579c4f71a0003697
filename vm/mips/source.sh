#!/bin/bash
# Fetches and unpacks the Debian source package PACKAGE (the version this
# release's binary package has) into CACHE-DIR/mips/src/, once per version,
# and prints the unpacked folder. Source packages need a deb-src entry for
# this release: one is added beside the binary entries (never in place of
# them: an update over deb-src entries alone would drop the binary package
# lists, and every later install would fail), followed by a plain update.
#   source.sh CACHE-DIR PACKAGE
set -euo pipefail
cache=$1 pkg=$2
srcdir=$cache/mips/src
mkdir -p "$srcdir"
list=/etc/apt/sources.list.d/ipsecvpn-deb-src.sources

# The source version of the binary package this release has.
version() {
    apt-cache showsrc "$pkg" 2>/dev/null | awk '/^Version:/ { print $2; exit }'
}
ver=$(apt-cache policy "$pkg" 2>/dev/null | awk '/Candidate:/ { print $2; exit }')
ver=${ver#*:}
ver=${ver%+b[0-9]*}
have=$(ls -d "$srcdir/$pkg-$ver"/ 2>/dev/null | head -1 || true)
if [ -n "$have" ] && [ -f "$srcdir/$pkg-$ver/.unpacked" ]; then
    echo "$srcdir/$pkg-$ver"
    exit 0
fi

if [ -z "$(version)" ]; then
    [ "$(id -u)" -eq 0 ] || { echo "source: no deb-src entry and not root" >&2; exit 1; }
    if [ ! -f "$list" ]; then
        # The release's own binary entries, with deb-src as their type.
        for f in /etc/apt/sources.list.d/*.sources; do
            [ "$f" != "$list" ] || continue
            awk 'BEGIN { RS = ""; ORS = "\n\n" }
                /(^|\n)Types:[^\n]*deb/ && /deb\.debian\.org/ {
                    sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$f"
        done >"$list.tmp"
        if [ ! -s "$list.tmp" ] && [ -f /etc/apt/sources.list ]; then
            awk '$1 == "deb" { $1 = "deb-src"; print }' /etc/apt/sources.list >"${list%.sources}.list"
            rm -f "$list.tmp"
        else
            mv "$list.tmp" "$list"
        fi
    fi
    # A plain update: the binary lists and the source lists together.
    for _ in 1 2 3 4 5 6; do
        apt-get update -qq >&2 && break
        sleep 10 # another apt run holds the lock
    done
fi
sver=$(version)
[ -n "$sver" ] || { echo "source: apt knows no source package $pkg" >&2; exit 1; }
sver=${sver#*:}
tmp=$(mktemp -d "$srcdir/.fetch.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
(cd "$tmp" && apt-get source -qq --download-only "$pkg=$(apt-cache showsrc "$pkg" |
    awk '/^Version:/ { print $2; exit }')" >&2)
dsc=$(ls "$tmp"/*.dsc | head -1)
rm -rf "$srcdir/$pkg-$ver"
dpkg-source --no-check -x "$dsc" "$srcdir/$pkg-$ver" >&2
# dpkg-source leaves a copy of the upstream archive beside the tree.
rm -f "$srcdir/${pkg}_"*.orig.tar.*
touch "$srcdir/$pkg-$ver/.unpacked"
echo "$srcdir/$pkg-$ver"
