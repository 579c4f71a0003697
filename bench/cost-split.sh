#!/bin/bash
# Splits the instructions of the daemon's entry points between the daemon's
# own code, the stand-in framework (JSON data model parsed per lock hold,
# object copies) and the simulated kernel, with valgrind's callgrind: only
# what runs inside the named entry points is counted, and every framework or
# simulated-kernel call is counted whole (they never call back).
#
#   cost-split.sh BUILD-DIR [TUNNELS...]      (run inside scripts/sandbox.sh)
# IPSEC_SPLIT_BENCHES limits the benchmarks (default: RenderSetkey RenderRacoon
# MonitorTick; the racoon writer at 1,000 tunnels takes many minutes here).
set -euo pipefail
bin=$1/bin
shift
sizes=("${@:-1 10 100 1000}")
[ "${IPSEC_SANDBOX:-}" = 1 ] || { echo "cost-split.sh: run it in scripts/sandbox.sh" >&2; exit 2; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# Entry points that call no other of the list (object calls allocate through
# zorMem inside): the daemon's own zorMem and zorUtl calls are counted as its
# own, as small wrappers of the C library.
framework='zorLck_acquireLockWithTimeoutTraced|zorLck_releaseLockTraced|zorObj_getNext|zorObj_get|zorObj_set|zorObj_free|log_log'
kernel='socket|setsockopt|read|write|close|recv|recvfrom|send|sendto'

# Sum of the largest inclusive count found for each function of the list.
inclusive() { # FILE REGEX [SOURCE-PATTERN]
    callgrind_annotate --inclusive=yes --threshold=100 "$1" 2>/dev/null |
        awk -v re="^($2)(\\\\(|$)" -v src="${3:-}" '
            /=>/ {next}
            /^ *[0-9,]+ \(/ {
                n = $1; gsub(",", "", n)
                line = $0; sub(/^ *[0-9,]+ \( *[0-9.]+%\) +/, "", line); sub(/ \[.*\]$/, "", line)
                file = line; sub(/:[^:]*$/, "", file)
                fn = line; sub(/^.*:/, "", fn)
                if (fn ~ re && (src == "" || index(file, src) > 0) && n + 0 > best[fn]) best[fn] = n + 0
            }
            END {s = 0; for (f in best) s += best[f]; printf "%.0f\n", s}'
}

printf '%-22s %8s %14s %10s %10s %10s\n' benchmark tunnels instructions framework kernel daemon
for n in "${sizes[@]}"; do
    for b in ${IPSEC_SPLIT_BENCHES:-RenderSetkey RenderRacoon MonitorTick}; do
        case $b in
        RenderSetkey) collect=(--toggle-collect='ipsec_writeAllSetkey*') ;;
        RenderRacoon) collect=(--toggle-collect='ipsec_writeRacoon*') ;;
        MonitorTick) collect=(--toggle-collect='ipsec_checkFQDNChange*' --toggle-collect='ipsec_refresh_status*') ;;
        esac
        f="$out/$b.$n"
        valgrind --tool=callgrind --callgrind-out-file="$f" "${collect[@]}" "$bin/ipsec_bench" \
            --benchmark_filter="^BM_$b/$n\$" --benchmark_min_time=0.001 >/dev/null 2>&1
        total=$(callgrind_annotate "$f" 2>/dev/null | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}')
        fw=$(inclusive "$f" "$framework")
        kn=$(inclusive "$f" "$kernel" pfkeysim)
        awk -v b="BM_$b" -v n="$n" -v t="$total" -v fw="$fw" -v k="$kn" 'BEGIN {
            own = t - fw - k
            printf "%-22s %8d %14.0f %9.1f%% %9.1f%% %9.1f%%\n", b, n, t, 100 * fw / t, 100 * k / t, 100 * own / t}'
    done
done
