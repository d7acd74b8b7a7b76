#!/usr/bin/env bash
# A shift at an emulated station: UNITS units arrive at DRIVES drives along a
# plug timeline (short restart); every FAIL_EVERY-th unit on every third drive
# is pulled during its restart wait and fails. The real kt3916flash-cli runs
# 'station' with --log and --json until the timeline's last unit has left;
# then every drive stands empty and the station idles as it did before the
# first unit.
#   bench/station_shift.sh [CLI] [UNITS] [DRIVES]
# Reports units per minute per drive, the station's RSS, open descriptors
# and threads (/proc) idle before the first unit and idle after the last, and
# checks (bench/station_shift_check.py) that every unit is in the events once
# and in the log once (one START STOP UNIT on its drive, within its unit's
# time), unit for unit. SHIFT_KEEP=1 keeps the outputs and prints where.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1
CLI=${1:-build-native/cli/kt3916flash-cli}
UNITS=${2:-500}
DRIVES=${3:-23}
FAIL_EVERY=${FAIL_EVERY:-5}
# A passed unit's flash takes 14 s, 17 s and more on a busy machine; a pulled
# unit's flash fails 22 s after it began, whatever the machine.
STAY_MS=${STAY_MS:-24000}     # a unit stays this long
GAP_MS=2000                   # the drive stands empty long enough for a scan to see it
PULLED_MS=4000                # a pulled unit leaves during its restart wait...
PULLED_GAP_MS=${PULLED_GAP_MS:-26000}  # ...and its drive stays empty until its flash has failed
work=$(mktemp -d)
if [ "${SHIFT_KEEP:-0}" = 1 ]; then echo "outputs in $work"; else trap 'rm -rf "$work"' EXIT; fi
seq 1 200000 | head -c 524288 >"$work/image.bin"

# The timeline, and what each arrival should come to (drive, slot, result).
python3 - "$UNITS" "$DRIVES" "$FAIL_EVERY" "$STAY_MS" "$GAP_MS" "$PULLED_MS" "$PULLED_GAP_MS" \
    >"$work/timeline.txt" 2>"$work/last_ms.txt" 3>"$work/expected.txt" <<'PY'
import os, sys
units, drives, fail_every, stay, gap, pulled, pulled_gap = map(int, sys.argv[1:])
expected = os.fdopen(3, "w")
t = [3000 + 170 * d for d in range(drives)]
slot = [0] * drives
events = []
for n in range(units):
    d = n % drives
    letter = chr(ord("D") + d)
    fails = d % 3 == 0 and slot[d] % fail_every == fail_every - 1
    events.append((t[d], f"{letter}+{t[d]}"))
    leave = t[d] + (pulled if fails else stay)
    events.append((leave, f"{letter}-{leave}"))
    expected.write(f"{letter} {slot[d]} {'failed' if fails else 'passed'}\n")
    t[d] = leave + (pulled_gap if fails else gap)
    slot[d] += 1
print("/".join(e for _, e in sorted(events)))
print(max(t for t, _ in events), file=sys.stderr)
PY
timeline=$(cat "$work/timeline.txt")
last_ms=$(cat "$work/last_ms.txt")

sample() { # PID -> "rss_kib fds threads"
    local rss threads
    rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$1/status")
    threads=$(awk '/^Threads:/ { print $2 }' "/proc/$1/status")
    echo "$rss $(ls "/proc/$1/fd" | wc -l) $threads"
}

"$CLI" "--emulate=devices=$DRIVES,reboot_ms=200,plug=$timeline" station "$work/image.bin" \
    --expect-identity "KTDEV KT3916 FLASHER" --new-revision 1.10 --log "$work/station.log" --json \
    >"$work/events.jsonl" 2>"$work/stderr.txt" &
pid=$!
sleep 1.5
start=$(sample $pid 2>/dev/null)
# Samples through the shift, for its busiest moment.
while kill -0 $pid 2>/dev/null; do echo "$SECONDS $(sample $pid 2>/dev/null)"; sleep 5; done \
    >"$work/samples.txt" 2>/dev/null &
# The timeline bounds the wait: a lost unit fails the checks, never hangs them;
# 3 s after its end the last drives stand empty and the station idles.
deadline=$((SECONDS + (last_ms + 999) / 1000 + 3))
while [ $SECONDS -lt $deadline ] && kill -0 $pid 2>/dev/null; do sleep 1; done
end=$(sample $pid 2>/dev/null)
kill -INT $pid 2>/dev/null
wait $pid
status=$?
wait

python3 bench/station_shift_check.py "$work" "$DRIVES" "$start" "$end" "$status"
