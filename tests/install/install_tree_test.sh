#!/bin/bash
# Stages the build with `cmake --install` the ways a firmware build and a
# packager do (DESTDIR with /usr, a plain --prefix, the daemon component alone)
# and checks the tree they leave: exactly the files the install options
# promise, with the right modes, the daemon built for the target.
#   install_tree_test.sh CMAKE BUILD-DIR SOURCE-DIR [BIG_ENDIAN|LITTLE_ENDIAN]
set -uo pipefail
cmake=$1 build=$2 src=$3 byte_order=${4:-}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# shellcheck source-path=SCRIPTDIR source=check.sh
. "$(dirname "$0")/check.sh"
cache() { # NAME: a value from the build's CMake cache
    sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"
}
on() { case $(cache "$1") in ON | TRUE | YES | 1) return 0 ;; *) return 1 ;; esac }

dir() { # NAME DEFAULT: an install folder, as the build overrides it or the usual one
    local v
    v=$(cache "CMAKE_INSTALL_$1")
    echo "${v:-$2}"
}
sbin=$(dir SBINDIR sbin) man8=$(dir MANDIR share/man)/man8
libdir=$(dir LIBDIR lib) incdir=$(dir INCLUDEDIR include)

# What the options promise, for the parts whose sources are in the tree.
expected() { # COMPONENT (all, daemon)
    local pages=0
    on IPSEC_INSTALL_MANPAGES && pages=1
    if [ -f "$src/ipsecVpn/core/main.cpp" ]; then
        echo "$sbin/ipsecVpn"
        [ $pages = 1 ] && echo "$man8/ipsecVpn.8"
    fi
    [ "$1" = daemon ] && return
    [ "$(cache IPSEC_FRAMEWORK)" = standin ] || return
    local tool
    for tool in zorctl setkey; do
        local opt=IPSEC_INSTALL_${tool^^}
        if on "$opt" && [ -f "$src/standin/$tool/CMakeLists.txt" ]; then
            echo "$sbin/$tool"
            [ $pages = 1 ] && echo "$man8/$tool.8"
        fi
    done
    if on IPSEC_INSTALL_FRAMEWORK_LIB; then
        echo "$libdir/libzor_standin.a"
        echo "$incdir/zor.h"
    fi
}

# install STAGE-ROOT PREFIX [ARGS...]: stages into STAGE-ROOT/PREFIX.
install_into() {
    local root=$1 prefix=$2
    shift 2
    rm -rf "$root"
    mkdir -p "$root"
    if [ "$root" = "$prefix" ]; then
        "$cmake" --install "$build" --prefix "$prefix" "$@" >"$tmp/log" 2>&1
    else
        DESTDIR=$root "$cmake" --install "$build" --prefix "$prefix" "$@" >"$tmp/log" 2>&1
    fi || {
        cat "$tmp/log"
        return 1
    }
}

same_tree() { # ROOT COMPONENT: the files under ROOT are exactly the expected ones
    diff -u <(expected "$2" | sort) <(cd "$1" && find . -type f -o -type l | sed 's|^\./||' | sort)
}

tree_with_destdir() {
    install_into "$tmp/stage" /usr || return 1
    same_tree "$tmp/stage/usr" all
}

nothing_outside_destdir() {
    # A prefix that exists nowhere: had any rule ignored DESTDIR, it would now.
    local prefix=/ipsec-install-test-$$
    install_into "$tmp/nowhere" "$prefix"
    local rc=$?
    if [ -e "$prefix" ]; then
        (cd "$prefix" && find . -type f)
        rm -rf "$prefix"
        return 1
    fi
    return $rc
}

modes() {
    local f bad=0
    while read -r f; do
        local want=644
        case $f in "$sbin"/*) want=755 ;; esac
        local got
        got=$(stat -c %a "$tmp/stage/usr/$f")
        [ "$got" = "$want" ] || { echo "$f: mode $got, want $want"; bad=1; }
    done < <(expected all)
    return $bad
}

daemon_for_target() {
    local d=$tmp/stage/usr/$sbin/ipsecVpn
    cmp "$build/bin/ipsecVpn" "$d" || return 1
    [ "$(head -c 4 "$d" | od -An -c | tr -d ' ')" = '177ELF' ] || { echo "not an ELF file"; return 1; }
    # EI_DATA: 1 little-endian, 2 big-endian.
    local data want
    data=$(od -An -tu1 -j5 -N1 "$d" | tr -d ' ')
    case $byte_order in
        BIG_ENDIAN) want=2 ;;
        LITTLE_ENDIAN) want=1 ;;
        *) return 0 ;;
    esac
    [ "$data" = "$want" ] || { echo "ELF data encoding $data, want $want ($byte_order)"; return 1; }
}

tree_with_prefix() {
    install_into "$tmp/opt/vpn" "$tmp/opt/vpn" || return 1
    same_tree "$tmp/opt/vpn" all
}

daemon_component_alone() {
    install_into "$tmp/fw" /usr --component daemon || return 1
    same_tree "$tmp/fw/usr" daemon
}

no_setkey_stand_in() {
    install_into "$tmp/stage" /usr || return 1
    ! [ -e "$tmp/stage/usr/$sbin/setkey" ] && ! [ -e "$tmp/stage/usr/$man8/setkey.8" ]
}

no_test_only_racoon() {
    install_into "$tmp/stage" /usr || return 1
    ! (cd "$tmp/stage" && find . -name '*racoon*' | grep .)
}

check "DESTDIR staging holds exactly the promised files" tree_with_destdir
check "nothing is written outside DESTDIR" nothing_outside_destdir
check "programs are 755, pages and library 644" modes
if [ -f "$src/ipsecVpn/core/main.cpp" ]; then
    check "the staged daemon is the one built, for the target's byte order" daemon_for_target
fi
check "--prefix without DESTDIR" tree_with_prefix
check "the daemon component stages the daemon and its page alone" daemon_component_alone
check "the test-only racoon stand-in is never installed" no_test_only_racoon
# sbin/setkey is where the real tool lives: the stand-in goes there only when asked for.
if ! on IPSEC_INSTALL_SETKEY; then
    check "no setkey stand-in staged unless IPSEC_INSTALL_SETKEY is on" no_setkey_stand_in
fi

report
