#!/usr/bin/env bash
# The bash completion of kt3916flash-cli against the built program.
#   completion_test.sh SCRIPT CLI
set -u
here=$(cd "$(dirname "$0")" && pwd) script=$1 cli=$2 failures=0
cd "$(mktemp -d)" && touch fw110.bin || exit 1
expect() {
    local got
    got=$(bash "$here/complete_line.sh" "$script" "$cli $1" | xargs)
    [ "$got" = "$2" ] && echo "ok: '$1' offers '$got'" && return
    echo "FAIL: '$1<Tab>' offers '$got', expected '$2'" && failures=$((failures + 1))
}
expect "" "list info flash station udev-rule line"
expect "line " "approve watch collect serve report"
expect "line approve fw" "fw110.bin"
expect "ud" "udev-rule"
expect "st" "station"
expect "station fw" "fw110.bin"
expect "--units 3 st" "station"
expect "--json fl" "flash"
expect "--tra" "--transcript"
expect "--tru" "--trusted-key"
expect "flash x.bin --expect-" "--expect-identity --expect-revision"
# A revision or a window is typed, not completed, and takes its word.
expect "flash x.bin --new-revision " ""
expect "--poll-window 13..30 fl" "flash"
expect "-d E --emulate=devices=2 flash fw" "fw110.bin"
# The drives come from the program's own list, with the line's --emulate.
expect "--emulate=devices=3 flash x.bin --device " "D: E: F:"
expect "--emulate=devices=2 --device=" "D: E:"
rm -r "$PWD"
[ $failures -eq 0 ]
