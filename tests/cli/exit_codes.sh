#!/usr/bin/env bash
# Exit codes of the real kt3916flash-cli binary, on the emulated devices.
# Usage: exit_codes.sh WORKDIR CLI-COMMAND...   (the command may start with
# an emulator such as Wine's runner). One real-time flash (~14 s).
set -u
work=$1
shift
mkdir -p "$work" && cd "$work" || exit 1
failures=0

seq 1 200000 | head -c 524288 >img512.bin
printf 'abc' >img3.bin

expect() {
    local want=$1
    shift
    "$@" >out.txt 2>err.txt </dev/null
    local got=$?
    if [ "$got" -ne "$want" ]; then
        echo "FAIL: kt3916flash-cli ${*: -4}: exit $got, expected $want"
        sed 's/^/  | /' err.txt
        failures=$((failures + 1))
    else
        echo "ok: exit $got: ${*: -4}"
    fi
}

expect 2 "$@"
expect 2 "$@" flash img512.bin --bogus
expect 2 "$@" --emulate=devices=2 flash img512.bin
expect 2 "$@" --emulate=nonsense=1 list
expect 2 "$@" --emulate=fail_block=18 list
expect 2 "$@" --emulate --transcript --json list
cp img512.bin img512.orig
expect 2 "$@" --emulate --transcript img512.bin flash img512.bin
if ! cmp -s img512.bin img512.orig; then
    echo "FAIL: the transcript was written into the image"
    failures=$((failures + 1))
fi
expect 3 "$@" --emulate=devices=0 flash img512.bin
expect 3 "$@" --emulate flash img512.bin --device F
expect 4 "$@" info missing.bin
expect 5 "$@" --emulate flash img3.bin
expect 6 "$@" --emulate=fail_block=1 flash img512.bin
expect 8 "$@" --emulate=devices=3,fail_block=0 flash --all img512.bin
expect 9 "$@" --emulate flash img512.bin --expect-identity "OTHERCO DVD-ROM-X"
expect 9 "$@" --emulate=devices=2 flash --all img512.bin --expect-revision 2.00
expect 2 "$@" --emulate flash img512.bin --poll-window 12..30
expect 0 "$@" --emulate list

# The one real-time flash: the 500 ms start, 9 blocks, 13 one-second ticks.
expect 0 "$@" --emulate --json flash img512.bin --new-revision 1.10
if ! grep -q '"event":"result".*"result":"success","exit_code":0.*"new_revision":"1.10"' out.txt; then
    echo "FAIL: no success result event in the JSON output"
    failures=$((failures + 1))
fi
blocks=$(grep -c '"event":"block"' out.txt)
ticks=$(grep -c '"event":"tick"' out.txt)
if [ "$blocks" -ne 9 ] || [ "$ticks" -ne 13 ]; then
    echo "FAIL: $blocks block and $ticks tick events, expected 9 and 13"
    failures=$((failures + 1))
fi

# Records that cannot be written make no success.
"$@" --emulate --json list >/dev/full 2>err.txt </dev/null
got=$?
if [ "$got" -ne 1 ] || ! grep -q 'standard output could not be written' err.txt; then
    echo "FAIL: list --json >/dev/full: exit $got, expected 1 and a message"
    failures=$((failures + 1))
fi

# The log reaches the disk after each unit of a station and at the exit
# (natively, where strace sees the calls).
if [ $# -eq 1 ] && command -v strace >/dev/null; then
    rm -f log.jsonl
    strace -f -qq -e trace=fdatasync -o sync.txt timeout -s INT 3 "$@" --emulate=revision=1.10 station img512.bin \
        --expect-identity "KTDEV KT3916 FLASHER" --new-revision 1.10 --log log.jsonl >/dev/null 2>&1 </dev/null
    syncs=$(grep -c '^[0-9]* *fdatasync(' sync.txt)
    if [ "$syncs" -lt 2 ]; then
        echo "FAIL: the station's log was handed to the disk $syncs time(s), expected after the unit and at the exit"
        failures=$((failures + 1))
    fi
fi

echo "exit codes: $failures failure(s)"
[ "$failures" -eq 0 ]
