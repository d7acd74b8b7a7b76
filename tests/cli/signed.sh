#!/usr/bin/env bash
# Signed images, end to end: keys and signatures made here with minisign,
# the real kt3916flash-cli on the emulated device. Each refusal must leave
# the device's transcript without any command (or with its one INQUIRY, for
# a device refused by its revision). fail_block=0 ends every transfer that
# does start at its first block, so no row waits for a restart.
# Usage: signed.sh WORKDIR CLI
set -u
work=$1 cli=$(realpath "$2")
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
command -v minisign >/dev/null || { echo "FAIL: minisign is not installed (apt-get install minisign)"; exit 1; }
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

sign() { # KEY IMAGE [minisign options]
    local key=$1 image=$2
    shift 2
    minisign -S -s "$key.key" -m "$image" "$@" >/dev/null 2>&1 </dev/null || fail "minisign could not sign $image"
}
for key in vendor other; do
    minisign -G -W -p "$key.pub" -s "$key.key" >/dev/null 2>&1 </dev/null || fail "minisign -G: $key"
done
mkdir keys config badkeys && cp vendor.pub keys/ && cp vendor.pub config/ && echo "not a key" >keys/README
cp vendor.pub keys/README badkeys/ && mv badkeys/README badkeys/README.pub
seq 1 200000 | head -c 524288 >fw.bin
seq 7 200006 | head -c 524288 >another.bin
sign vendor fw.bin -t "revision=1.10 build 7"
sign vendor another.bin
cp fw.bin legacy.bin && sign vendor legacy.bin -l
cp fw.bin changed.bin && cp fw.bin.minisig changed.bin.minisig
printf '\001' | dd of=changed.bin bs=1 seek=4000 conv=notrunc 2>/dev/null
cp fw.bin foreign.bin && sign other foreign.bin
cp fw.bin comment.bin && sed 's/revision=1.10/revision=1.90/' fw.bin.minisig >comment.bin.minisig
cp fw.bin badrev.bin && sign vendor badrev.bin -t "revision=1.1"
cp fw.bin unsigned.bin
cp fw.bin big.bin && { cat fw.bin.minisig; head -c 65536 /dev/zero; } | head -c 65537 >big.bin.minisig

# NAME | EXIT | SENT: none, inquiry or transfer | stderr (ERE) | log (ERE) | scenario | environment | arguments
rows=$(
    cat <<'EOF'
good|6|transfer|signature good: key [0-9A-F]{16} \(vendor.pub\), trusted comment: revision=1.10 build 7|"record":"unit-start".*"signature":"good","key_id":"[0-9A-F]{16}","trusted_comment":"revision=1.10 build 7"||-|flash fw.bin --trusted-key vendor.pub
good-legacy|6|transfer|signature good||||flash legacy.bin --trusted-key vendor.pub
key-directory|6|transfer|signature good: key [0-9A-F]{16} \(keys/vendor.pub\)||||flash fw.bin --trusted-key keys
run-start-record|6|transfer||"record":"run-start".*"key_id":"[0-9A-F]{16}","trusted_comment":"revision=1.10 build 7"|||flash fw.bin --trusted-key other.pub --trusted-key vendor.pub
changed-byte|12|none|signature changed.bin.minisig does not verify with key [0-9A-F]{16}: the image changed.bin was changed||||flash changed.bin --trusted-key vendor.pub
another-image|12|none|does not verify||||flash fw.bin --trusted-key vendor.pub --signature another.bin.minisig
unknown-key|12|none|signed with key [0-9A-F]{16}, which is not a trusted key; trusted: [0-9A-F]{16} \(vendor.pub\)||||flash foreign.bin --trusted-key vendor.pub
comment-edited|12|none|trusted comment of comment.bin.minisig was changed after signing||||flash comment.bin --trusted-key vendor.pub
comment-edited-station|12|none|was changed after signing||||station comment.bin --trusted-key vendor.pub --expect-identity KTDEV --units 1
oversized-signature|12|none|the signature big.bin.minisig: longer than any minisign file||||flash big.bin --trusted-key vendor.pub
no-signature|12|none|has no signature \(no unsigned.bin.minisig\)||||flash unsigned.bin --trusted-key vendor.pub
bad-revision-word|12|none|revision=1.1: a revision is X.YZ||||flash badrev.bin --trusted-key vendor.pub
allow-unsigned|6|transfer|not signed: it is sent anyway because of --allow-unsigned|"record":"run-start".*"signature":"unsigned, sent because of --allow-unsigned"|||flash unsigned.bin --trusted-key vendor.pub --allow-unsigned
allow-unsigned-bad|12|none|does not verify||||flash changed.bin --trusted-key vendor.pub --allow-unsigned
config-unsigned|12|none|has no signature|||KT3916FLASH_TRUSTED_KEYS=config|flash unsigned.bin
config-good|6|transfer|signature good: key [0-9A-F]{16} \(config/vendor.pub\)|||KT3916FLASH_TRUSTED_KEYS=config|flash fw.bin
config-replaced|12|none|not a trusted key; trusted: [0-9A-F]{16} \(other.pub\)|||KT3916FLASH_TRUSTED_KEYS=config|flash fw.bin --trusted-key other.pub
config-bad-key|12|none|the trusted key badkeys/README.pub: not a minisign public key|||KT3916FLASH_TRUSTED_KEYS=badkeys|flash fw.bin
no-keys|6|transfer||||KT3916FLASH_TRUSTED_KEYS=none|flash unsigned.bin
downgrade|9|inquiry|D: runs revision 1.20, newer than the signed image's revision 1.10; nothing was sent||revision=1.20||flash fw.bin --trusted-key vendor.pub
downgrade-uncomparable|9|inquiry|D: reports revision "2.0a", which cannot be compared||revision=2.0a||flash fw.bin --trusted-key vendor.pub
downgrade-allowed|6|transfer|||revision=1.20||flash fw.bin --trusted-key vendor.pub --allow-older
same-revision|6|transfer|||revision=1.10||flash fw.bin --trusted-key vendor.pub
info-good|0|none|||||info fw.bin --trusted-key vendor.pub
info-unsigned|12|none|has no signature||||info unsigned.bin --trusted-key vendor.pub
EOF
)

while IFS='|' read -r name want sent err log scenario environment args; do
    rm -f transcript.jsonl log.jsonl
    read -ra words <<<"$args"
    emulate=(--emulate=fail_block=0${scenario:+,$scenario} --transcript transcript.jsonl --log log.jsonl)
    [ "${words[0]}" = info ] && emulate=()
    [ "$environment" = - ] && environment=
    # A station that wrongly took the image would wait for units: cut short.
    env ${environment:-KT3916FLASH_TRUSTED_KEYS=none} timeout 20 "$cli" "${emulate[@]}" "${words[@]}" >out.txt \
        2>err.txt </dev/null
    got=$?
    before=$failures
    [ "$got" -eq "$want" ] || fail "$name: exit $got, expected $want"
    [ -z "$err" ] || grep -Eq -- "$err" err.txt || fail "$name: stderr does not say /$err/"
    [ -z "$log" ] || grep -Eq -- "$log" log.jsonl || fail "$name: the log has no /$log/"
    commands=$(grep -c . transcript.jsonl 2>/dev/null)
    inquiries=$(grep -c '"cdb":"12' transcript.jsonl 2>/dev/null)
    blocks=$(grep -c '"cdb":"fa' transcript.jsonl 2>/dev/null)
    case $sent in
    none) [ "${commands:-0}" -eq 0 ] || fail "$name: $commands command(s) reached the device" ;;
    inquiry) [ "${commands:-0}" -eq 1 ] && [ "$inquiries" -eq 1 ] ||
        fail "$name: the device got $commands command(s), expected its one INQUIRY" ;;
    transfer) [ "${blocks:-0}" -ge 1 ] || fail "$name: the transfer did not start" ;;
    esac
    if [ "$failures" -ne "$before" ]; then
        sed 's/^/  | /' err.txt
    else
        echo "ok: $name"
    fi
done <<<"$rows"

# info --json says the signature was refused, and why.
env KT3916FLASH_TRUSTED_KEYS=none "$cli" info unsigned.bin --trusted-key vendor.pub --json >out.txt 2>err.txt </dev/null
grep -q '"signature":"refused","signature_error":"[^"]*has no signature' out.txt ||
    fail "info --json: the refused signature and its reason are not in its line"

# A station skips a unit whose revision is newer than the image's, by name.
env KT3916FLASH_TRUSTED_KEYS=none timeout -s INT 3 "$cli" --emulate=revision=1.20 --transcript transcript.jsonl \
    station fw.bin --trusted-key vendor.pub --expect-identity "KTDEV KT3916 FLASHER" >out.txt 2>err.txt </dev/null
grep -q "skipped (newer-revision): D: runs revision 1.20" out.txt && ! grep -q '"cdb":"1b' transcript.jsonl ||
    fail "station: no newer-revision skip, or the unit was sent more than its INQUIRY"

echo "signed images: $failures failure(s)"
[ "$failures" -eq 0 ]
