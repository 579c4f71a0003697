# shellcheck shell=bash
# Sourced by the packaging tests: cases run one by one with check, counted,
# and the verdict at the end with report.
passed=0 failed=0
check() { # NAME COMMAND...: one case
    local name=$1
    shift
    local out
    if out=$("$@" 2>&1); then
        passed=$((passed + 1))
        echo "ok - $name"
    else
        failed=$((failed + 1))
        echo "FAIL - $name"
        printf '%s\n' "$out" | sed 's/^/    /'
    fi
}
report() { # the counts; fails when a case failed
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
