#!/usr/bin/env bash
# The bash completion of kt3916flash-cli against the built program.
#   completion_test.sh SCRIPT CLI
set -u
script=$1 cli=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d) && cd "$work" || exit 1
trap 'rm -rf "$work"' EXIT
touch fw110.bin
failures=0
expect() {
    local got
    got=$(bash "$here/complete_line.sh" "$script" "$1" | tr '\n' ' ')
    if [ "$got" != "$2" ]; then
        echo "FAIL: '$1<Tab>' offers '$got', expected '$2'"
        failures=$((failures + 1))
    else
        echo "ok: '$1<Tab>' offers '$got'"
    fi
}
expect "$cli " "list info flash "
expect "$cli --json fl" "flash "
expect "$cli --tr" "--transcript "
# The drives come from the program's own list, with the line's --emulate.
expect "$cli --emulate=devices=3 flash x.bin --device " "D: E: F: "
expect "$cli -d E --emulate=devices=2 flash fw" "fw110.bin "
expect "$cli --emulate=devices=2 --device=" "D: E: "
[ $failures -eq 0 ]
