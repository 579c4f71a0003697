#!/bin/sh
# The guest's sh is dash (x86-64) or busybox ash (MIPS); both have local.
# shellcheck shell=dash
# Helpers for the scenarios: reporting, and nodes (routers and LAN hosts),
# each a process holding its own network, mount and PID namespaces, with
# private /run and /var, so that every router has its own /var/ipsec,
# ZOR_HOME, daemon and key daemons.

# The routers' PATH: the real setkey and racoon live in /usr/sbin. Only
# without them (no source to build them from) do the stand-ins serve, and
# the scenarios that need the real ones are then not run.
NODE_PATH=/usr/sbin:/usr/bin
REAL_TOOLS=1
if ! [ -s /etc/ipsec-tools.version ]; then
    # shellcheck disable=SC2034 # read by the scenario files
    REAL_TOOLS=0
    NODE_PATH=$NODE_PATH:/opt/standin/bin
fi
export PATH=$NODE_PATH
# Scratch files of the checks; a scenario run in the background beside the
# others sets its own TMP_TAG.
TMP_TAG=${TMP_TAG:-}

# The byte order as this machine lays out a 16-bit 1.
byte_order() {
    case $(printf '\001\000' | od -An -tu2 | tr -d ' ') in
    1) echo little-endian ;;
    256) echo big-endian ;;
    *) echo unknown ;;
    esac
}

# ---- reporting ----------------------------------------------------------
# Console lines for the host: "@@BEGIN", "@@CHECK PASS|FAIL", "@@SCENARIO
# PASS|FAIL|NOTRUN" and one "@@RESULT". Anything else is for people.
n_pass=0 n_fail=0 n_notrun=0 scen='' scen_failed=0 scen_blocked=0 scen_start=0

uptime_s() { cut -d' ' -f1 /proc/uptime; }
since() { awk -v a="$1" -v b="$(uptime_s)" 'BEGIN { printf "%.1f", b - a }'; }
say() { echo "   | $*"; }

begin() { # NAME TITLE...
    scen=$1
    shift
    scen_failed=0
    scen_blocked=0
    scen_start=$(uptime_s)
    echo "@@BEGIN $scen uptime=$scen_start: $*"
}

# check NAME COMMAND...: runs COMMAND; its output is shown only when it fails.
check() {
    local name=$1 t0
    shift
    if [ $scen_blocked -eq 1 ]; then
        echo "@@CHECK SKIP $scen/$name"
        return 1
    fi
    t0=$(uptime_s)
    if "$@" >/tmp/check$TMP_TAG.out 2>&1; then
        echo "@@CHECK PASS $scen/$name $(since "$t0")s"
    else
        echo "@@CHECK FAIL $scen/$name $(since "$t0")s"
        sed 's/^/   | /' /tmp/check$TMP_TAG.out | head -60
        scen_failed=1
    fi
}

# must NAME COMMAND...: a check after whose failure the rest of the scenario
# makes no sense: its later checks are skipped (the scenario has failed).
must() {
    check "$@" || scen_blocked=1
}
abort_if_failed() { [ $scen_failed -eq 0 ]; }

end() {
    local took
    took=$(since "$scen_start")
    if [ $scen_failed -eq 0 ]; then
        n_pass=$((n_pass + 1))
        echo "@@SCENARIO PASS $scen ${took}s"
    else
        n_fail=$((n_fail + 1))
        echo "@@SCENARIO FAIL $scen ${took}s"
    fi
}

not_run() { # NAME REASON...
    local name=$1
    shift
    n_notrun=$((n_notrun + 1))
    echo "@@SCENARIO NOTRUN $name: $*"
}

# not_run_all REASON SCENARIO...
not_run_all() {
    local why=$1 s
    shift
    for s in "$@"; do not_run "$s" "$why"; done
}

# run_scenario NAME: runs the scenario NAME (the function scenario_NAME, its
# dashes as underscores).
run_scenario() {
    "scenario_$(echo "$1" | tr - _)"
}

# run_in_order SCENARIO...: runs each in turn. The
# scenarios of one list build on each other: once one fails, the rest are
# reported as not run (in_order_failed stays set for a list run after it).
in_order_failed=0
run_in_order() {
    local s
    for s in "$@"; do
        if [ "$in_order_failed" -ne 0 ]; then
            not_run "$s" "an earlier scenario it builds on failed"
            continue
        fi
        run_scenario "$s"
        [ $scen_failed -eq 0 ] || in_order_failed=1
    done
}

# missing PROG...: prints the programs that are not in the image.
missing() {
    local p out=
    for p in "$@"; do command -v "$p" >/dev/null 2>&1 || out="$out $p"; done
    echo "${out# }"
}

result() {
    echo "@@RESULT pass=$n_pass fail=$n_fail notrun=$n_notrun"
    [ $n_fail -eq 0 ]
}

# ---- waiting --------------------------------------------------------------
# until_ok SECONDS COMMAND...: polls COMMAND every 0.2 s until it succeeds or
# SECONDS of uptime have passed; the last attempt's output stays on stdout.
until_ok() {
    local deadline
    deadline=$(($(cut -d. -f1 /proc/uptime) + $1))
    shift
    while :; do
        "$@" >/tmp/until$TMP_TAG.out 2>&1 && { cat /tmp/until$TMP_TAG.out; return 0; }
        [ "$(cut -d. -f1 /proc/uptime)" -lt "$deadline" ] || break
        sleep 0.2
    done
    cat /tmp/until$TMP_TAG.out
    return 1
}

# ---- nodes --------------------------------------------------------------

node_start() { # NAME
    local name=$1 upid pid=
    unshare --net --mount --pid --fork --mount-proc sh /vm/node.sh "$name" &
    upid=$!
    until_ok 10 test -e "/tmp/node-ready.$name" >/dev/null || return 1
    # A kernel without /proc/PID/task/PID/children (the MIPS one): the
    # process whose parent is unshare.
    pid=$(cat "/proc/$upid/task/$upid/children" 2>/dev/null ||
        awk -v p="$upid" '$4 == p { print $1; exit }' /proc/[0-9]*/stat 2>/dev/null)
    echo "${pid%% *}" >"/tmp/node-pid.$name"
}

node_pid() { cat "/tmp/node-pid.$1"; }

# on NODE COMMAND...: runs COMMAND inside the node's namespaces, with the
# node's framework home and tool log. (Not through busybox's env: busybox
# execs its own applets first, and its sh and ip lack what is needed here.)
on() {
    local pid
    pid=$(node_pid "$1")
    shift
    (
        export PATH=$NODE_PATH ZOR_HOME=/run/zor IPSEC_TOOL_LOG=/run/tool.log
        exec nsenter -t "$pid" -n -m -p -- "$@"
    )
}

# link NODE-A IF-A NODE-B IF-B: a veth pair between two nodes.
link() {
    local tmp_a="v$$a$2" tmp_b="v$$b$4"
    ip link add "$tmp_a" type veth peer name "$tmp_b" || return 1
    ip link set "$tmp_a" netns "$(node_pid "$1")" || return 1
    ip link set "$tmp_b" netns "$(node_pid "$3")" || return 1
    on "$1" ip link set "$tmp_a" name "$2" up || return 1
    on "$3" ip link set "$tmp_b" name "$4" up
}

node_stop() { # NAME: ends every process of the node with its PID namespace
    kill -9 "$(node_pid "$1")" 2>/dev/null
    rm -f "/tmp/node-pid.$1" "/tmp/node-ready.$1"
}
