#!/bin/bash
# The manual pages as an operator reads them: each renders through man(1)
# without a single warning, and each still tells what the code does (every
# file the daemon writes under /var/ipsec, every zorctl command, every option
# of the setkey stand-in).
#   man_pages_test.sh SOURCE-DIR BIN-DIR
set -uo pipefail
src=$1 bin=$2
# How to run a program of the build: directly, or through the target's
# emulator in a cross build.
read -r -a run <<<"${IPSEC_TOOL_RUNNER:-}"

# shellcheck source-path=SCRIPTDIR source=check.sh
. "$(dirname "$0")/check.sh"
render() { # PAGE: the page as text, without hyphenation at line ends
    MANWIDTH=200 MAN_KEEP_FORMATTING='' man -l "$1" 2>/dev/null | col -b | sed 's/\xe2\x80\x90$//'
}

renders_cleanly() { # PAGE
    local warnings
    warnings=$(MANWIDTH=80 man --warnings -l "$1" 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "$warnings"; return 1; }
    # Nothing (an example, a table) runs past an 80-column terminal.
    local width
    width=$(MANWIDTH=80 LC_ALL=C.UTF-8 man -l "$1" 2>/dev/null | LC_ALL=C.UTF-8 wc -L)
    [ "$width" -le 80 ] || { echo "a line is $width columns wide"; return 1; }
    local text
    text=$(render "$1")
    for section in NAME SYNOPSIS DESCRIPTION; do
        grep -qx "$section" <<<"$text" || { echo "no $section section"; return 1; }
    done
}

mentions_all() { # PAGE WORD...: every word appears in the rendered page
    local page=$1 text missing=0
    shift
    text=$(render "$page")
    for w in "$@"; do
        grep -qwF -- "$w" <<<"$text" || { echo "not in $(basename "$page"): $w"; missing=1; }
    done
    return $missing
}

pages=("$src"/man/*.8)
[ -e "${pages[0]}" ] || { echo "no manual pages under $src/man"; exit 1; }
for page in "${pages[@]}"; do
    check "$(basename "$page") renders without warnings, within 80 columns" renders_cleanly "$page"
done

# Files the daemon names in its sources.
mapfile -t files < <(grep -rhoE '"/var/ipsec/[A-Za-z0-9_.]+' "$src/ipsecVpn" | tr -d '"' | sort -u)
check "ipsecVpn.8 names every file under /var/ipsec" mentions_all "$src/man/ipsecVpn.8" "${files[@]}"

# The log lines ipsecVpn.8 explains under DIAGNOSTICS: the longest bold piece
# of each heading is text the daemon's sources still print.
diagnostics_in_sources() {
    local missing=0 heading piece seen=0
    while IFS= read -r heading; do
        heading=$(printf '%s' "$heading" | sed 's/\\-/-/g')
        if [ "${heading%% *}" = .B ]; then
            piece=${heading#.B } # one argument: the whole line
            piece=${piece#\"} piece=${piece%\"}
        else
            # Arguments alternate bold and another font; xargs splits them as
            # roff quotes them.
            piece=$(printf '%s\n' "${heading#.* }" | xargs -n1 printf '%s\n' 2>/dev/null |
                awk 'NR % 2 == 1 { sub(/^ +/, ""); sub(/ +$/, ""); if (length($0) > length(best)) best = $0 }
                     END { print best }')
        fi
        [ -n "$piece" ] || continue
        seen=$((seen + 1))
        grep -rqF -- "$piece" "$src/ipsecVpn" || { echo "no source prints: $piece"; missing=1; }
    done < <(sed -n '/^\.SH DIAGNOSTICS/,/^\.SH /p' "$src/man/ipsecVpn.8" |
        awk '/^\.(TP|TQ)$/ { getline; if ($0 ~ /^\.B[IR]? /) print }')
    [ "$seen" -gt 0 ] || { echo "no log line found under DIAGNOSTICS"; return 1; }
    return $missing
}
check "every log line ipsecVpn.8 explains is one the daemon prints" diagnostics_in_sources

# zorctl's commands as its --help lists them: each has an example in the page
# ("zorctl tunnel add ..."), and each of their options is described.
if [ -x "$bin/zorctl" ]; then
    mapfile -t cmds < <("${run[@]}" "$bin/zorctl" --help | sed -n 's/^  \([a-z][a-z]*\( [a-z][a-z]*\)*\).*/zorctl \1/p')
    mapfile -t zopts < <("${run[@]}" "$bin/zorctl" --help | grep -oE -- '--[a-z]+' | sort -u)
    if [ ${#cmds[@]} -eq 0 ]; then
        check "zorctl --help lists commands" false
    else
        check "zorctl.8 shows an example of every zorctl command" mentions_all "$src/man/zorctl.8" "${cmds[@]}"
        check "zorctl.8 describes every zorctl option" mentions_all "$src/man/zorctl.8" "${zopts[@]}"
    fi
fi

# Options the setkey stand-in's usage line offers.
if [ -x "$bin/setkey" ]; then
    mapfile -t opts < <("${run[@]}" "$bin/setkey" 2>&1 | grep -oE '(^|[ [])-[A-Za-z]+' | tr -d ' [' | sort -u)
    if [ ${#opts[@]} -eq 0 ]; then
        check "the setkey stand-in's usage lists options" false
    else
        check "setkey.8 documents every option of the stand-in's usage" \
            mentions_all "$src/man/setkey.8" "${opts[@]}"
    fi
fi

report
