#!/bin/bash
# A firmware build: the daemon linked against a framework library from
# outside the tree (here the stand-in library of the calling build plays the
# router's own), staged with DESTDIR. It must stage the daemon and its page
# and nothing of the stand-in.
#   install_external_test.sh CMAKE SOURCE-DIR WORK-DIR CXX CC SANITIZE FRAMEWORK-LIB
set -uo pipefail
cmake=$1 src=$2 work=$3 cxx=$4 cc=$5 sanitize=${6:-OFF} lib=$7

rm -rf "$work"
mkdir -p "$work"
build=$work/build stage=$work/stage
fail() {
    echo "FAIL - $1"
    [ -f "$work/log" ] && tail -40 "$work/log" | sed 's/^/    /'
    echo "0 passed, 1 failed"
    exit 1
}

"$cmake" -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_C_COMPILER="$cc" -DIPSEC_SANITIZE="$sanitize" -DIPSEC_BUILD_TESTS=OFF \
    -DIPSEC_FRAMEWORK=external -DZOR_EXTERNAL_INCLUDE_DIRS="$src/ipsecVpn/framework" \
    -DZOR_EXTERNAL_LIBRARIES="$lib" >"$work/log" 2>&1 || fail "configure against an external framework"

expected=()
if [ -f "$src/ipsecVpn/core/main.cpp" ]; then
    "$cmake" --build "$build" -j2 --target ipsecVpn >"$work/log" 2>&1 || fail "build the daemon alone"
    expected=(sbin/ipsecVpn share/man/man8/ipsecVpn.8)
fi
DESTDIR=$stage "$cmake" --install "$build" --prefix /usr >"$work/log" 2>&1 || fail "install with DESTDIR"

got=$( (cd "$stage/usr" 2>/dev/null && find . -type f -o -type l) | sed 's|^\./||' | sort)
want=$(printf '%s\n' "${expected[@]}" | sed '/^$/d' | sort)
if [ "$got" != "$want" ]; then
    diff -u <(echo "$want") <(echo "$got") >"$work/log"
    fail "the staged tree holds the daemon and its page alone"
fi
echo "ok - the staged tree holds the daemon and its page alone"
rm -rf "$work"
echo "1 passed, 0 failed"
