#!/usr/bin/env bash
# The cost of a station that waits: CPU time of 'kt3916flash-cli station' over
# a stretch with no unit coming or going, as a share of one core, and the
# commands it sent meanwhile (from its --log: one INQUIRY per device when it
# first appears, none after).
#   bench/station_idle.sh [CLI] [SECONDS]
# Two runs: on this machine's own drives (sysfs, real or none) and on two
# emulated devices that are not the expected ones.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1
CLI=${1:-build-native/cli/kt3916flash-cli}
SECONDS_IDLE=${2:-30}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 524288 /dev/zero >"$work/image.bin"
ticks=$(getconf CLK_TCK)

measure() { # NAME ARGS...
    local name=$1
    shift
    "$CLI" "$@" station "$work/image.bin" --expect-identity "NOBODY EXPECTED" --log "$work/$name.log" \
        >/dev/null 2>&1 &
    local pid=$!
    sleep 1 # start-up and the first scan are not idling
    local before after
    before=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
    sleep "$SECONDS_IDLE"
    after=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
    kill -INT $pid
    wait $pid
    awk -v n="$name" -v t=$((after - before)) -v hz="$ticks" -v s="$SECONDS_IDLE" \
        -v c="$(wc -l <"$work/$name.log")" \
        'BEGIN { printf "%-9s %6.3f%% of one core over %d s, %d commands sent in all\n", n, 100 * t / hz / s, s, c }'
}

measure sysfs
measure emulated --emulate=devices=2
