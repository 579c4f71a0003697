#!/bin/sh
# The guest's sh is dash (x86-64) or busybox ash (MIPS); both have local.
# shellcheck shell=dash
# The stand-ins against the real tools (sourced after lib.sh). The same setkey files go through the real setkey
# (/usr/sbin/setkey) and through the stand-in (/opt/standin/bin/setkey), each
# on empty tables in a node of its own: the kernel's policies and SAs after
# each (`ip xfrm` output) and whether each run succeeded must be the same.
# The same key daemon configurations go through the real racoon's own check
# (racoon -t, which asks the kernel for its algorithms) and the stand-in's
# (racoon -C): both must accept or both refuse. The files come from the tests'
# golden folder (/vm/golden in the image) and from the rows below.

DIFF_DIR=/tmp/differential
DIFF_STANDIN=/opt/standin/bin

# diff_tables NODE: the node's policies and SAs, as ip prints them. A
# policy's request id above 16383 is one the kernel made up (over PF_KEY it
# keeps a unique id only up to 16383): its value depends on the kernel's
# counter, so it is shown as "auto".
diff_tables() {
    echo "-- policies"
    on "$1" ip xfrm policy | awk '{ for (i = 1; i < NF; i++) if ($i == "reqid" && $(i + 1) + 0 > 16383) $(i + 1) = "auto"; print }'
    echo "-- SAs"
    on "$1" ip xfrm state
}

# diff_setkey NAME FILE...: applies the files in order with each setkey on
# empty tables; the outcomes must agree.
diff_setkey() {
    local name=$1 tool f rc out
    shift
    for tool in /usr/sbin "$DIFF_STANDIN"; do
        out=$DIFF_DIR/$name.$(basename "$tool")
        on diff ip xfrm policy flush
        on diff ip xfrm state flush
        : >"$out"
        for f in "$@"; do
            rc=0
            on diff "$tool/setkey" -f "$f" >/dev/null 2>>"$out.err" || rc=$?
            [ $rc -eq 0 ] && echo "$(basename "$f"): ok" >>"$out" || echo "$(basename "$f"): failed" >>"$out"
        done
        diff_tables diff >>"$out"
    done
    say "$name: $(grep -c '^src' "$DIFF_DIR/$name.sbin") entries; $(grep -E ': (ok|failed)$' "$DIFF_DIR/$name.sbin" |
        tr '\n' ' ')"
    check "setkey-$name" diff -u "$DIFF_DIR/$name.sbin" "$DIFF_DIR/$name.bin"
}

# diff_racoon NAME CONF: the real key daemon's verdict and the stand-in's.
diff_racoon() {
    local name=$1 conf=$2 real=ok standin=ok
    on diff racoon -t -f "$conf" >"$DIFF_DIR/$name.racoon" 2>&1 || real=refused
    IPSEC_TOOL_LOG=$DIFF_DIR/standin.log "$DIFF_STANDIN/racoon" -C -f "$conf" \
        >>"$DIFF_DIR/$name.racoon" 2>&1 || standin=refused
    echo "$name: real $real, stand-in $standin$([ $real = ok ] ||
        grep -v 'legacy provider' "$DIFF_DIR/$name.racoon" | grep -m1 -o 'ERROR: .*' | cut -c1-150 | sed 's/^/: /')" >>"$DIFF_DIR/racoon-verdicts"
    check "racoon-$name" sh -c "[ $real = $standin ] || { cat '$DIFF_DIR/$name.racoon'; false; }"
}

# bad_sa NAME STATEMENT: STATEMENT between the first tunnel's SAs and the
# rest of a full rewrite.
bad_sa() {
    printf 'flush;\nspdflush;\n%s\n%s\n%s\n%s\n%s\n' "$sa1" "$2" "$sa2" "$out" "$in" >"$DIFF_DIR/$1.conf"
    diff_setkey "$1" "$DIFF_DIR/$1.conf"
}

setkey_rows() {
    local g=/vm/golden S=198.51.100.2 D=203.0.113.9 key=0x000102030405060708090a0b0c0d0e0f
    local auth=0xf0e1d2c3b4a5968778695a4b3c2d1e0f00112233
    local sa1="add $S $D esp 0x1000 -m tunnel -u 3 -E aes-cbc $key -A hmac-sha1 $auth;"
    local sa2="add $D $S esp 0x1001 -m tunnel -u 4 -E aes-cbc $key -A hmac-sha1 $auth;"
    local out="spdadd 10.1.0.0/24 10.2.0.0/16 any -P out ipsec esp/tunnel/$S-$D/unique:3;"
    local in="spdadd 10.2.0.0/16 10.1.0.0/24 any -P in ipsec esp/tunnel/$D-$S/unique:4;"
    local out2="spdadd 10.1.0.0/24 10.5.0.0/16 any -P out ipsec esp/tunnel/$S-192.0.2.50/unique:5;"
    local in2="spdadd 10.5.0.0/16 10.1.0.0/24 any -P in ipsec esp/tunnel/192.0.2.50-$S/unique:6;"

    diff_setkey full-rewrite "$g/setkey-standin/full_rewrite.conf"
    diff_setkey rewrite-then-change "$g/setkey-standin/full_rewrite.conf" "$g/setkey-standin/per_change.conf"
    diff_setkey daemon-full "$g/setkey/example_full.conf"
    diff_setkey daemon-full-change-delete "$g/setkey/example_full.conf" "$g/setkey/example_change.conf" \
        "$g/setkey/example_delete.conf"
    # A bad statement in the middle: the flush and the first tunnel are done,
    # nothing after it.
    printf 'flush;\nspdflush;\n%s\n%s\n%s\n%s\nadd %s %s esp 0x2000 -m tunnel -u 5 -E aes-gcm-16 %s;\n%s\n%s\n' \
        "$sa1" "$sa2" "$out" "$in" "$S" "$D" "$key" "$out2" "$in2" >"$DIFF_DIR/bad-middle.conf"
    diff_setkey bad-statement-in-the-middle "$DIFF_DIR/bad-middle.conf"
    # Comments, a statement over two lines, two statements on one line.
    printf '# tunnel 1; not a statement\nflush; spdflush;\nspdadd 10.1.0.0/24 10.2.0.0/16 any # selectors\n  -P out ipsec\n\tesp/tunnel/%s-%s/unique:3; %s # the inbound one\n' \
        "$S" "$D" "$in" >"$DIFF_DIR/comments.conf"
    diff_setkey comment-and-two-lines "$DIFF_DIR/comments.conf"
    # A '#' in a field of one tunnel: the rest of its line is a comment and
    # its statement runs on into the next tunnel's line.
    printf 'flush;\nspdflush;\n%s\nspdadd 10.1.0.0#/24 10.5.0.0/16 any -P out ipsec esp/tunnel/%s-192.0.2.50/unique:5;\n%s\n%s\n' \
        "$out" "$S" "$in2" "$in" >"$DIFF_DIR/hash-in-field.conf"
    diff_setkey hash-in-a-field "$DIFF_DIR/hash-in-field.conf"
    # A WAN address that is not one, in a delete line of a monitoring pass.
    printf 'delete 1 ;flush;# %s esp 0x1000;\ndelete %s %s esp 0x1001;\n' "$D" "$D" "$S" >"$DIFF_DIR/wan-text.conf"
    diff_setkey hostile-wan-address "$g/setkey-standin/full_rewrite.conf" "$DIFF_DIR/wan-text.conf"
    # What the kernel refuses: entries that exist, deletes of missing ones.
    printf '%s\n%s\n%s\n%s\n' "$sa1" "$sa2" "$out" "$in" >"$DIFF_DIR/adds.conf"
    printf 'delete %s %s esp 0x7777;\nspddelete 10.9.0.0/16 10.1.0.0/24 any -P in;\n%s\n' "$S" "$D" "$out2" \
        >"$DIFF_DIR/missing.conf"
    diff_setkey kernel-refusals "$DIFF_DIR/adds.conf" "$DIFF_DIR/adds.conf" "$DIFF_DIR/missing.conf"
    # Names where addresses belong: looked up in /etc/hosts; one that is not
    # there cannot be parsed.
    printf 'add localhost %s esp 0x3000 -m tunnel -u 7 -E aes-cbc %s;\nspdadd localhost/32 10.2.0.0/16 any -P out ipsec esp/tunnel/%s-%s/unique:7;\nadd %s no-such-host esp 0x3001 -E aes-cbc %s;\n%s\n' \
        "$D" "$key" "$S" "$D" "$S" "$key" "$out" >"$DIFF_DIR/names.conf"
    diff_setkey host-names "$DIFF_DIR/names.conf"
    # Other forms setkey takes: decimal and small SPIs, transport and any
    # modes, no -A; selectors without a prefix, upper-layer protocols, an
    # explicit fwd policy, none and discard, transport requests, levels.
    printf 'add %s %s esp 4096 -m transport -E aes-cbc %s;\nadd %s %s esp 0x10 -m any -u 9 -E 3des-cbc 0x%s;\nadd %s 192.0.2.50 esp 0x11 -E aes-cbc %s -A hmac-sha256 0x%s;\n' \
        "$S" "$D" "$key" "$D" "$S" "${key#0x}0001020304050607" "$S" "$key" "${key#0x}${key#0x}" \
        >"$DIFF_DIR/sa-forms.conf"
    printf 'spdadd 10.1.0.1 10.2.0.1 tcp -P out ipsec esp/transport//require;\nspdadd 10.1.0.0/24 10.2.0.0/16 udp -P fwd ipsec esp/tunnel/%s-%s/use;\nspdadd 10.1.0.0/24 10.3.0.0/16 icmp -P out none;\nspdadd 10.1.0.0/24 10.4.0.0/16 any -P in discard;\nspdadd 10.6.0.0/16 10.1.0.0/24 any -P in ipsec esp/tunnel/%s-%s/require;\nspdadd 10.7.0.0/16 10.1.0.0/24 any -P in ipsec esp/tunnel/%s-%s/default;\n' \
        "$S" "$D" "$D" "$S" "$D" "$S" >"$DIFF_DIR/policy-forms.conf"
    diff_setkey other-forms "$DIFF_DIR/sa-forms.conf" "$DIFF_DIR/policy-forms.conf"
    # Empty SPI and keys ("0x" and nothing) cannot be parsed.
    printf 'delete %s %s esp 0x;\n' "$S" "$D" >"$DIFF_DIR/empty-spi.conf"
    printf 'add %s %s esp 0x1002 -m tunnel -u 3 -E aes-cbc 0x -A hmac-sha1 0x;\n' "$S" "$D" >"$DIFF_DIR/empty-keys.conf"
    diff_setkey empty-spi-and-keys "$g/setkey-standin/full_rewrite.conf" "$DIFF_DIR/empty-spi.conf" \
        "$DIFF_DIR/empty-keys.conf"
    # Request ids the kernel makes up itself over PF_KEY (unique without a
    # number, with 0 or above 16383, as entryID 9000's 18001 and 18002): an
    # SA keeps its id, the policies get the kernel's own. Compared as "auto";
    # the values are listed.
    printf 'add %s %s esp 0x4651 -m tunnel -u 18001 -E aes-cbc %s -A hmac-sha1 %s;\nspdadd 10.1.0.0/24 10.8.0.0/16 any -P out ipsec esp/tunnel/%s-%s/unique:18001;\nspdadd 10.8.0.0/16 10.1.0.0/24 any -P in ipsec esp/tunnel/%s-%s/unique:18002;\nspdadd 10.9.0.0/16 10.1.0.0/24 any -P in ipsec esp/tunnel/%s-%s/unique;\nspdadd 10.1.0.0/24 10.9.0.0/16 any -P out ipsec esp/tunnel/%s-%s/unique:0;\nspdadd 10.1.0.0/24 10.10.0.0/16 any -P out ipsec esp/tunnel/%s-%s/unique:16383;\nspdadd 10.1.0.0/24 10.11.0.0/16 any -P out ipsec esp/tunnel/%s-%s/unique:16384;\n' \
        "$S" "$D" "$key" "$auth" "$S" "$D" "$D" "$S" "$D" "$S" "$S" "$D" "$S" "$D" "$S" "$D" >"$DIFF_DIR/auto-reqid.conf"
    diff_setkey request-ids-above-16383 "$DIFF_DIR/auto-reqid.conf"
    for tool in /usr/sbin "$DIFF_STANDIN"; do
        on diff ip xfrm policy flush
        on diff "$tool/setkey" -f "$DIFF_DIR/auto-reqid.conf" >/dev/null 2>&1
        say "request ids from $tool/setkey: $(on diff ip xfrm policy | grep -o 'dir [a-z]*\|reqid [0-9]*' | tr '\n' ' ')"
    done
    # Manual SAs the data model may hold: names setkey does not take (the
    # model's 3des and aes128), a key of another HMAC's length, a 4-digit
    # key, an empty SPI. Each in the middle of a full rewrite: the flush and
    # the first SA are done, nothing after it.
    bad_sa sa-name-3des "add $S 192.0.2.50 esp 0x2001 -m tunnel -u 5 -E 3des ${key}0001020304050607 -A hmac-sha1 $auth;"
    bad_sa sa-name-aes128 "add $S 192.0.2.50 esp 0x2001 -m tunnel -u 5 -E aes128 $key -A hmac-sha1 $auth;"
    bad_sa sa-hmac-sha256-short-key "add $S 192.0.2.50 esp 0x2001 -m tunnel -u 5 -E aes-cbc $key -A hmac-sha256 $auth;"
    bad_sa sa-key-4-digits "add $S 192.0.2.50 esp 0x2001 -m tunnel -u 5 -E aes-cbc 0x1234 -A hmac-sha1 $auth;"
    bad_sa sa-empty-spi "add $S 192.0.2.50 esp 0x -m tunnel -u 5 -E aes-cbc $key -A hmac-sha1 $auth;"
    # Keys setkey takes and passes on: an odd digit count (a leading 0), 0X,
    # a length inside the kernel's range that AES does not take (the kernel
    # refuses that SA, the file goes on), HMAC names in both spellings.
    printf 'add %s %s esp 0x2101 -E aes-cbc 0x%s;\nadd %s %s esp 0X2102 -E aes-cbc 0X%s;\nadd %s %s esp 0x2103 -E aes-cbc %s00112233;\nadd %s %s esp 0x2104 -E aes-cbc %s -A hmac-sha2-256 %s%s;\nadd %s %s esp 0x2105 -E aes-cbc %s -A hmac-sha256 %s%s;\n' \
        "$S" "$D" "$(printf '%s' "${key#0x}" | cut -c2-)" "$S" "$D" "${key#0x}" "$S" "$D" "$key" \
        "$S" "$D" "$key" "$key" "${key#0x}" "$S" "$D" "$key" "$key" "${key#0x}" >"$DIFF_DIR/key-forms.conf"
    diff_setkey keys-setkey-passes-on "$DIFF_DIR/key-forms.conf"
    # Two tunnels with the same subnet pair: the second one's policies are
    # refused ("File exists"), the statements after them still apply.
    printf 'flush;\nspdflush;\n%s\n%s\nspdadd 10.1.0.0/24 10.2.0.0/16 any -P out ipsec esp/tunnel/%s-192.0.2.50/unique:5;\nspdadd 10.2.0.0/16 10.1.0.0/24 any -P in ipsec esp/tunnel/192.0.2.50-%s/unique:6;\n%s\n' \
        "$out" "$in" "$S" "$S" "$out2" >"$DIFF_DIR/same-pair.conf"
    diff_setkey same-subnet-pair-twice "$DIFF_DIR/same-pair.conf"
    # The end of the file in the middle of a statement.
    printf 'flush;\n%s\n%s' "$sa1" "${out%;}" >"$DIFF_DIR/unterminated.conf"
    diff_setkey unterminated-last-statement "$DIFF_DIR/unterminated.conf"
}

# racoon_variant NAME SED-EXPRESSION: the worked example's configuration changed.
racoon_variant() {
    sed "$2" "$DIFF_DIR/racoon/fqdn_identifiers.conf" >"$DIFF_DIR/racoon/$1.conf"
    diff_racoon "$1" "$DIFF_DIR/racoon/$1.conf"
}

racoon_rows() {
    local d name
    mkdir -p "$DIFF_DIR/racoon"
    for d in /vm/golden/racoon/*/; do
        name=$(basename "$d")
        cp "$d/psk.txt" "$DIFF_DIR/racoon/$name.psk"
        chmod 600 "$DIFF_DIR/racoon/$name.psk"
        sed "s|\"/var/ipsec/psk.txt\"|\"$DIFF_DIR/racoon/$name.psk\"|" "$d/racoon.conf" \
            >"$DIFF_DIR/racoon/$name.conf"
        diff_racoon "$name" "$DIFF_DIR/racoon/$name.conf"
    done
    # Hostile texts in the fields the daemon writes into racoon.conf.
    racoon_variant quote-in-identifier 's|"peer.example.org"|"peer"example.org"|'
    racoon_variant semicolon-in-identifier 's|"peer.example.org"|"peer.example.org;"|'
    racoon_variant brace-in-identifier 's|"peer.example.org"|"peer.example}org"|'
    racoon_variant hash-after-remote 's|^remote 203.0.113.7 {|remote 203.0.113.7# {|'
    racoon_variant semicolon-in-sainfo 's|address 10.20.0.0/16 any {|address 10.20.0.0/16; any {|'
    racoon_variant remote-host-name 's|^remote 203.0.113.7 {|remote peer.example {|'
    racoon_variant remote-with-port 's|^remote 203.0.113.7 {|remote 203.0.113.7 500 {|'
    racoon_variant empty-identifier 's|"router.example.net"|""|'
    racoon_variant identifier-type-address 's|my_identifier fqdn|my_identifier address|'
    racoon_variant unknown-cipher 's|encryption_algorithm 3des;|encryption_algorithm rot13;|'
    racoon_variant unknown-dh-group 's|dh_group modp1024;|dh_group modp9999;|'
    racoon_variant unknown-hash 's|hash_algorithm sha1;|hash_algorithm crc32;|'
    racoon_variant unknown-auth-method 's|authentication_method pre_shared_key;|authentication_method password;|'
    racoon_variant cipher-list-in-proposal 's|encryption_algorithm 3des;|encryption_algorithm 3des, aes;|'
    racoon_variant phase2-unknown-cipher 's|^encryption_algorithm aes;|encryption_algorithm rot13;|'
    racoon_variant phase2-unknown-hmac 's|authentication_algorithm hmac_sha1;|authentication_algorithm hmac_crc;|'
    racoon_variant phase2-cipher-list 's|^encryption_algorithm aes;|encryption_algorithm aes, 3des;|'
    racoon_variant prefix-too-long 's|address 10.20.0.0/16 any {|address 10.20.0.0/33 any {|'
    racoon_variant lifetime-in-hours 's|lifetime time 3600 sec;|lifetime time 1 hour;|'
    racoon_variant lifetime-zero 's|lifetime time 3600 sec;|lifetime time 0 sec;|'
    racoon_variant dpd-not-a-number 's|dpd_delay 60;|dpd_delay sixty;|'
    racoon_variant exchange-aggressive 's|exchange_mode main;|exchange_mode aggressive, main;|'
    racoon_variant unknown-pfs-group 's|pfs_group modp1024;|pfs_group modp9999;|'
    racoon_variant sainfo-unknown-protocol 's|address 10.20.0.0/16 any {|address 10.20.0.0/16 bogus {|'
    racoon_variant block-not-closed '/^compression_algorithm/{n;d}'
    # What the data model may hold: a phase-2 hash name for an HMAC, an
    # unknown exchange mode, a cipher in upper case.
    racoon_variant phase2-auth-sha1 's|authentication_algorithm hmac_sha1;|authentication_algorithm sha1;|'
    racoon_variant exchange-mode-foo 's|exchange_mode main;|exchange_mode foo;|'
    racoon_variant cipher-upper-case 's|encryption_algorithm 3des;|encryption_algorithm AES;|'
    racoon_variant phase2-cipher-upper-case 's|^encryption_algorithm aes;|encryption_algorithm AES;|'
    # Key lengths: apart and run on, in range or not, where none is taken.
    racoon_variant phase1-aes-256 's|encryption_algorithm 3des;|encryption_algorithm aes 256;|'
    racoon_variant phase1-aes128 's|encryption_algorithm 3des;|encryption_algorithm aes128;|'
    racoon_variant phase1-aes-dash-256 's|encryption_algorithm 3des;|encryption_algorithm aes-256;|'
    racoon_variant phase1-aes-100 's|encryption_algorithm 3des;|encryption_algorithm aes 100;|'
    racoon_variant phase1-3des-192 's|encryption_algorithm 3des;|encryption_algorithm 3des 192;|'
    racoon_variant phase1-blowfish-44 's|encryption_algorithm 3des;|encryption_algorithm blowfish 44;|'
    racoon_variant phase1-hash-with-number 's|hash_algorithm sha1;|hash_algorithm sha1 160;|'
    racoon_variant phase2-aes-256 's|^encryption_algorithm aes;|encryption_algorithm aes 256;|'
    racoon_variant phase2-aes192-list 's|^encryption_algorithm aes;|encryption_algorithm aes192, 3des;|'
    racoon_variant phase2-aes-160 's|^encryption_algorithm aes;|encryption_algorithm aes 160;|'
    racoon_variant phase2-hmac-with-length 's|authentication_algorithm hmac_sha1;|authentication_algorithm hmac_sha1 160;|'
    # Key files racoon reads without a word (it reads them at each
    # negotiation): a line longer than its 1,023-byte reader, a wildcard
    # identifier, keys in hexadecimal, with blanks, one it cannot decode.
    psk_variant psk-long-line "192.0.2.77 $(printf "%01011d" 0) 198.51.100.3 evilkey"
    psk_variant psk-wildcard "* k1"
    psk_variant psk-hex-and-blanks "198.51.100.3 0x0a 0b
198.51.100.4   two words  "
    psk_variant psk-hex-unreadable "198.51.100.3 0xabc"
}

# psk_variant NAME LINES: the worked example with LINES after its keys.
psk_variant() {
    { cat "$DIFF_DIR/racoon/fqdn_identifiers.psk"; printf '%s\n' "$2"; } >"$DIFF_DIR/racoon/$1.psk"
    chmod 600 "$DIFF_DIR/racoon/$1.psk"
    sed "s|fqdn_identifiers.psk|$1.psk|" "$DIFF_DIR/racoon/fqdn_identifiers.conf" >"$DIFF_DIR/racoon/$1.conf"
    diff_racoon "$1" "$DIFF_DIR/racoon/$1.conf"
}

# racoon_count: the key daemons running in the node.
racoon_count() {
    on diff sh -c 'cat /proc/[0-9]*/comm 2>/dev/null' | grep -cx racoon
}

# racoon_life TOOL: how a key daemon starts, reloads and fails: a start with
# the worked example (exit status, running), a SIGHUP after a phase-2 name it
# does not take was written (still running), a start with that file (exit
# status, running after it), the same in the foreground (exit status).
racoon_life() {
    local tool=$1 rc pid conf=$DIFF_DIR/racoon/life.conf
    cp "$DIFF_DIR/racoon/fqdn_identifiers.conf" "$conf"
    rc=0
    on diff "$tool" -f "$conf" >/dev/null 2>&1 || rc=$?
    until_ok 10 sh -c "[ \$(on diff sh -c 'cat /proc/[0-9]*/comm 2>/dev/null' | grep -cx racoon) -eq 1 ]" >/dev/null
    sleep 2
    printf 'start: exit %s, running %s; ' "$rc" "$(racoon_count)"
    pid=$(on diff sh -c 'for p in /proc/[0-9]*; do [ "$(cat $p/comm 2>/dev/null)" = racoon ] && echo ${p#/proc/}; done' | head -n1)
    cp "$DIFF_DIR/racoon/phase2-auth-sha1.conf" "$conf"
    on diff kill -HUP "$pid"
    sleep 3
    printf 'bad reload: running %s; ' "$(racoon_count)"
    on diff kill -TERM "$pid"
    until_ok 10 sh -c "[ \$(on diff sh -c 'cat /proc/[0-9]*/comm 2>/dev/null' | grep -cx racoon) -eq 0 ]" >/dev/null
    rc=0
    on diff "$tool" -f "$conf" >/dev/null 2>&1 || rc=$?
    sleep 3
    printf 'bad start: exit %s, running %s; ' "$rc" "$(racoon_count)"
    rc=0
    on diff "$tool" -F -f "$conf" >/dev/null 2>&1 || rc=$?
    printf 'bad start -F: exit %s\n' "$rc"
    on diff sh -c 'for p in /proc/[0-9]*; do [ "$(cat $p/comm 2>/dev/null)" = racoon ] && kill -9 ${p#/proc/}; done'
}

# ---- the key file as racoon reads it, proven by negotiating ----------------
# The node "diff" (198.51.100.9) and "diffpeer" (198.51.100.3) on one link,
# each with the real racoon and an ICMP transport policy to the other. diff's
# key file holds the row's lines; the peer holds, in hexadecimal, the key the
# row expects racoon to read for 198.51.100.3. The real verdict: a ping
# negotiates (main mode, pre-shared key) within 15 s. The stand-in's: the
# key it takes for 198.51.100.3 (racoon -K) is that key.

NEG_DIR=$DIFF_DIR/negotiate

# neg_conf PSK-FILE: a key daemon configuration for any peer.
neg_conf() {
    printf 'path pre_shared_key "%s";\nremote anonymous {\nexchange_mode main;\nproposal {\nencryption_algorithm aes;\nhash_algorithm sha1;\nauthentication_method pre_shared_key;\ndh_group modp1024;\n}\n}\nsainfo anonymous {\nencryption_algorithm aes;\nauthentication_algorithm hmac_sha1;\ncompression_algorithm deflate;\n}\n' "$1"
}

neg_setup() {
    local n a b
    mkdir -p "$NEG_DIR"
    node_start diffpeer && link diff e0 diffpeer e0 || return 1
    for n in diff diffpeer; do
        if [ $n = diff ]; then a=198.51.100.9 b=198.51.100.3; else a=198.51.100.3 b=198.51.100.9; fi
        on $n ip xfrm policy flush
        on $n ip xfrm state flush
        on $n ip addr add $a/24 dev e0 || return 1
        on $n sh -c 'echo 2 >/proc/sys/net/core/xfrm_acq_expires' || return 1
        printf 'spdadd %s %s icmp -P out ipsec esp/transport//require;\nspdadd %s %s icmp -P in ipsec esp/transport//require;\n' \
            $a $b $b $a >"$NEG_DIR/$n.setkey"
        on $n setkey -f "$NEG_DIR/$n.setkey" || return 1
    done
}

# neg_stop NODE: ends the node's key daemon (SIGTERM, its orderly end).
neg_stop() {
    on "$1" sh -c 'for p in /proc/[0-9]*; do [ "$(cat $p/comm 2>/dev/null)" = racoon ] && kill ${p#/proc/}; done; :'
    until_ok 10 sh -c "[ \$(on $1 sh -c 'cat /proc/[0-9]*/comm 2>/dev/null' | grep -cx racoon) -eq 0 ]" >/dev/null
    on "$1" ip xfrm state flush
}

# psk_negotiate NAME KEY-HEX LINES: LINES as diff's key file; KEY-HEX the key
# racoon is expected to read from it for 198.51.100.3.
psk_negotiate() {
    local name=$1 hex=$2 real=no standin=no n
    printf '%s\n' "$3" >"$NEG_DIR/$name.psk"
    printf '198.51.100.9 0x%s\n' "$hex" >"$NEG_DIR/$name.peer.psk"
    chmod 600 "$NEG_DIR/$name.psk" "$NEG_DIR/$name.peer.psk"
    neg_conf "$NEG_DIR/$name.psk" >"$NEG_DIR/$name.conf"
    neg_conf "$NEG_DIR/$name.peer.psk" >"$NEG_DIR/$name.peer.conf"
    for n in diff diffpeer; do neg_stop $n; done
    on diffpeer racoon -f "$NEG_DIR/$name.peer.conf"
    on diff racoon -f "$NEG_DIR/$name.conf"
    sleep 3
    until_ok 15 on diff sh -c 'ping -c 1 -W 1 198.51.100.3 >/dev/null; [ "$(ip xfrm state | grep -c "^src")" -ge 2 ]' \
        >/dev/null && real=yes
    [ "$("$DIFF_STANDIN/racoon" -K 198.51.100.3 -f "$NEG_DIR/$name.conf" 2>/dev/null)" = "$hex" ] && standin=yes
    echo "$name: negotiated with the expected key: real $real, stand-in $standin" >>"$DIFF_DIR/psk-verdicts"
    check "racoon-$name" sh -c "[ $real = $standin ] || { tail -20 /run/syslog.log 2>/dev/null; false; }"
}

psk_rows() {
    must peer-node-started neg_setup || return
    # The tail of a line longer than racoon's 1,023-byte reader: another
    # gateway's key for 198.51.100.3.
    psk_negotiate psk-read-long-line 6576696c6b6579 "192.0.2.77 $(printf '%01011d' 0) 198.51.100.3 evilkey"
    psk_negotiate psk-read-wildcard 6b31 "192.0.2.77 other
* k1"
    psk_negotiate psk-read-hex-and-blanks 6b31 "198.51.100.3 0x6b 31"
    psk_negotiate psk-read-blanks-kept 74776f20776f7264732020 "198.51.100.3   two words  "
    # The first line for a peer is taken, even when no key can be read from it.
    psk_negotiate psk-read-hex-unreadable 6b31 "198.51.100.3 0xabc
198.51.100.3 k1"
    for n in diff diffpeer; do neg_stop $n; done
    node_stop diffpeer
}

scenario_differential() {
    if [ -n "$(missing racoon setkey)" ] || ! [ -x "$DIFF_STANDIN/setkey" ] || ! [ -x "$DIFF_STANDIN/racoon" ] ||
        [ "$REAL_TOOLS" != 1 ]; then
        not_run differential "needs the real tools and the stand-ins in the image:" \
            "$(cat /etc/ipsec-tools.missing 2>/dev/null || echo "stand-ins missing")"
        return
    fi
    begin differential "the stand-ins against the real setkey and racoon"
    rm -rf "$DIFF_DIR"
    mkdir -p "$DIFF_DIR"
    must node-started node_start diff
    if abort_if_failed; then
        setkey_rows
        racoon_rows
        say "racoon verdicts:"
        sed 's/^/   | /' "$DIFF_DIR/racoon-verdicts"
        racoon_life /usr/sbin/racoon >"$DIFF_DIR/life.sbin" 2>&1
        racoon_life "$DIFF_STANDIN/racoon" >"$DIFF_DIR/life.bin" 2>&1
        say "racoon's life: $(cat "$DIFF_DIR/life.sbin")"
        check racoon-start-and-bad-reload diff -u "$DIFF_DIR/life.sbin" "$DIFF_DIR/life.bin"
        psk_rows
        say "key files read:"
        sed 's/^/   | /' "$DIFF_DIR/psk-verdicts"
    fi
    node_stop diff
    end
}
