#!/bin/bash
# A test binary started by hand, outside the sandbox: it runs each of its
# cases in a sandbox of its own and passes only when they ran and passed, or
# it fails saying why; it never passes having run nothing.
#   outside_sandbox_test.sh TEST-BINARY
set -uo pipefail
bin=$1
unset IPSEC_SANDBOX IPSEC_TEST_RESTARTED
# shellcheck source-path=SCRIPTDIR source=../install/check.sh
. "$(dirname "$0")/../install/check.sh"

every_case_runs() {
    local listed out
    listed=$("$bin" --gtest_list_tests | grep -c '^  ') || return 1
    [ "$listed" -gt 1 ] || { echo "only $listed cases listed"; return 1; }
    out=$("$bin" 2>&1) || { echo "$out"; return 1; }
    grep -qx "$listed passed, 0 failed, 0 skipped" <<<"$out" || { echo "$out"; return 1; }
    # Each case ran, in a run of its own.
    [ "$(grep -c '^\[  PASSED  \] 1 test\.$' <<<"$out")" -eq "$listed" ] || { echo "$out"; return 1; }
}

fails_saying() { # TEXT COMMAND...: exits 1 and says TEXT
    local text=$1 out rc=0
    shift
    out=$("$@" 2>&1) || rc=$?
    if [ "$rc" -ne 1 ] || ! grep -qF "$text" <<<"$out"; then
        printf 'rc=%s\n%s\n' "$rc" "$out"
        return 1
    fi
}

check every-case-runs-in-its-own-sandbox every_case_runs
check a-filter-that-leaves-none-fails fails_saying "no test case to run" "$bin" --gtest_filter=NoSuchSuite.NoSuchCase
check no-sandbox-fails-with-the-reason \
    fails_saying "unshare (util-linux) is missing" env PATH=/nonexistent "$bin"
check no-second-start-from-the-sandbox fails_saying "IPSEC_SANDBOX is not set there" env IPSEC_TEST_RESTARTED=1 "$bin"
report
