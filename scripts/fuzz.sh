#!/bin/bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each for a bounded time inside the test sandbox, from seed corpora
# made of the real kernel captures and the golden files.
#   scripts/fuzz.sh [BUILD-DIR]
# FUZZ_SECONDS (default 20) is the time per fuzzer; FUZZ_TARGETS picks some
# (default: fuzz_pfkey fuzz_dispatch fuzz_render fuzz_addr fuzz_text). A crash
# fails the script and leaves the input in BUILD-DIR/fuzz-out/NAME/.
# The figures of each run (executions, coverage) are printed at the end.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-test/fuzz}
seconds=${FUZZ_SECONDS:-20}
targets=${FUZZ_TARGETS:-fuzz_pfkey fuzz_dispatch fuzz_render fuzz_addr fuzz_text}

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_COMPILER=clang -DIPSEC_SANITIZE=ON -DIPSEC_BUILD_FUZZERS=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzzers

out="$build/fuzz-out"
rm -rf "$out/seeds"
mkdir -p "$out"
"$build/bin/fuzz_seeds" "$out/seeds"

summary=()
failed=0
for t in $targets; do
    seeds="$out/seeds/${t#fuzz_}"
    corpus="$out/$t/corpus"
    mkdir -p "$corpus"
    log="$out/$t/run.log"
    echo "== $t for ${seconds}s"
    # Sanitizer reports abort the run; leaks are checked at the end of each input.
    rc=0
    ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0 UBSAN_OPTIONS=print_stacktrace=1 \
        "$top/scripts/sandbox.sh" --path "$build/bin" -- \
        "$build/bin/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -close_fd_mask=2 -artifact_prefix="$out/$t/" "$corpus" "$seeds" >"$log" 2>&1 || rc=$?
    runs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' || echo 0)
    cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1 || true)
    if [ "$rc" -ne 0 ]; then
        failed=1
        echo "$t FAILED (exit $rc); the last lines of $log:"
        tail -40 "$log"
        summary+=("$t: FAILED after $runs executions, $cov")
    else
        summary+=("$t: $runs executions in ${seconds}s, $cov, corpus $(ls "$corpus" | wc -l) inputs, 0 crashes")
    fi
done
echo "== fuzzing summary"
printf '%s\n' "${summary[@]}"
exit "$failed"
