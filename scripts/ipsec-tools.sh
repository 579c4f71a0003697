#!/bin/bash
# Builds the real IPsec tools (setkey and racoon) from source once, and
# prints the folder that holds bin/setkey, bin/racoon and version (the
# tools' own version line). The build is cached by the source's checksum,
# the target and the configure arguments, and reused while they stay.
#
#   ipsec-tools.sh [--host TRIPLE] [-- CONFIGURE-ARG...]
#   ipsec-tools.sh --deps     only install the build's packages
#
# The source, first found of:
#   IPSEC_TOOLS_SRC      a source folder or archive (IPSEC_TOOLS_SHA256, if
#                        set, is the archive's expected sha256)
#   ../shared/ipsec-tools/*.tar.gz beside the checkout (the pinned archive)
#   the pinned upstream tag, where the network reaches it
# The pinned archive's sha256 is checked. Cache: IPSEC_CACHE (default
# ~/.cache/ipsecVpn)/ipsec-tools/. CC, CFLAGS, CPPFLAGS and LDFLAGS are
# passed on to configure and are part of the cache key.
#
# Exit status: 0 built or cached; 1 the build failed; 77 no source could be
# had (the reason on standard error): callers report their real-tool checks
# as not run, never as passed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
pinned_sha=eb86787a3e88e318e9d596fd3d58314fda3b858ff772a525fb8ceb7d2cee82ff
pinned_name=racoon-ipsec-tools-0.9.1.tar.gz
pinned_url=https://github.com/rdratlos/racoon-ipsec-tools/archive/refs/tags/v0.9.1.tar.gz

build_deps="autoconf automake libtool flex bison libfl-dev libssl-dev pkgconf"
host=""
while [ $# -gt 0 ]; do
    case $1 in
    --host) host=$2; shift 2 ;;
    --deps) exec "$top/scripts/deps.sh" $build_deps ;;
    --) shift; break ;;
    -h | --help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "ipsec-tools: unknown argument $1" >&2; exit 1 ;;
    esac
done
cache=${IPSEC_CACHE:-${HOME:-/root}/.cache/ipsecVpn}/ipsec-tools
mkdir -p "$cache"
say() { echo "ipsec-tools: $*" >&2; }

# Finds the source; sets src (archive or folder) and sum (its checksum).
find_source() {
    if [ -n "${IPSEC_TOOLS_SRC:-}" ]; then
        src=$IPSEC_TOOLS_SRC
        if [ -d "$src" ]; then
            sum=$(cd "$src" && find . -type f ! -path './.git/*' -print0 | LC_ALL=C sort -z |
                xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
            return 0
        fi
        [ -f "$src" ] || { say "IPSEC_TOOLS_SRC=$src is neither a folder nor a file"; return 1; }
        sum=$(sha256sum "$src" | cut -d' ' -f1)
        if [ -n "${IPSEC_TOOLS_SHA256:-}" ] && [ "$sum" != "$IPSEC_TOOLS_SHA256" ]; then
            say "$src: sha256 $sum, expected $IPSEC_TOOLS_SHA256"
            return 1
        fi
        return 0
    fi
    local shared
    for shared in "$top/../shared/ipsec-tools/$pinned_name" "$cache/$pinned_name"; do
        if [ -f "$shared" ]; then
            src=$shared
            sum=$(sha256sum "$src" | cut -d' ' -f1)
            [ "$sum" = "$pinned_sha" ] && return 0
            say "$src: sha256 $sum, expected $pinned_sha"
            return 1
        fi
    done
    if command -v curl >/dev/null &&
        curl -fsSL --connect-timeout 10 -o "$cache/$pinned_name.part" "$pinned_url" 2>/dev/null; then
        sum=$(sha256sum "$cache/$pinned_name.part" | cut -d' ' -f1)
        if [ "$sum" = "$pinned_sha" ]; then
            mv "$cache/$pinned_name.part" "$cache/$pinned_name"
            src=$cache/$pinned_name
            return 0
        fi
        say "the upstream archive's sha256 is $sum, expected $pinned_sha"
    fi
    rm -f "$cache/$pinned_name.part"
    say "no source: IPSEC_TOOLS_SRC unset, no $pinned_name beside the checkout, upstream unreachable"
    return 1
}
find_source || exit 77

configure_args=(--prefix=/usr --sysconfdir=/etc --disable-shared --disable-security-context
    --disable-gssapi --enable-dpd --enable-natt --enable-frag --enable-hybrid --without-readline)
[ -z "$host" ] || configure_args+=(--host="$host")
configure_args+=("$@")
key=$(printf '%s\n' "$sum" "$host" "${configure_args[@]}" "${CC:-}" "${CFLAGS:-}" \
    "${CPPFLAGS:-}" "${LDFLAGS:-}" | sha256sum | cut -c1-16)
out=$cache/${host:-native}-$key

# One build at a time per cache: parallel callers wait for the first.
exec 9>"$cache/.lock"
flock 9
if [ -x "$out/bin/setkey" ] && [ -x "$out/bin/racoon" ] && [ -s "$out/version" ]; then
    echo "$out"
    exit 0
fi

"$top/scripts/deps.sh" $build_deps >&2
work=$(mktemp -d "$cache/build.XXXXXX")
trap 'rm -rf "$work"' EXIT
say "building from $src (sha256 ${sum:0:16}...) for ${host:-this machine}"
if [ -d "$src" ]; then
    cp -a "$src/." "$work/src"
else
    mkdir "$work/src"
    tar xzf "$src" -C "$work/src" --strip-components=1
fi
log=$work/build.log
if ! (cd "$work/src" && ./bootstrap && ./configure "${configure_args[@]}" && make -j"$(nproc)") \
    >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    say "build failed"
    exit 1
fi
rm -rf "$out"
mkdir -p "$out/bin"
cp "$work/src/src/setkey/setkey" "$work/src/src/racoon/racoon" "$out/bin/"
# The version line is the tools' own; for a cross build, the source's.
if [ -z "$host" ]; then
    # setkey -V exits 1 after printing its version line.
    { "$out/bin/setkey" -V 2>&1 || true; } | head -n 1 >"$out/version"
else
    sed -n 's/.*PACKAGE_STRING "\(.*\)".*/\1/p' "$work/src/config.h" | head -n 1 >"$out/version"
fi
echo "$out"
