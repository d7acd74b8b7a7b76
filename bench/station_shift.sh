#!/usr/bin/env bash
# A shift at an emulated station: UNITS units arrive at DRIVES drives along a
# plug timeline (short restart); every FAIL_EVERY-th unit on every third drive
# is pulled during its restart wait and fails. The real kt3916flash-cli runs
# 'station' with --log and --json, until every unit has ended; then every
# drive stands empty and the station idles as it did before the first unit.
#   bench/station_shift.sh [CLI] [UNITS] [DRIVES]
# Reports units per minute per drive, the station's RSS, open descriptors
# and threads (/proc) idle before the first unit and idle after the last, and
# checks that every unit is in the events once and in the log once (one
# START STOP UNIT on its drive, within its unit's time), unit for unit.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1
CLI=${1:-build-native/cli/kt3916flash-cli}
UNITS=${2:-500}
DRIVES=${3:-23}
FAIL_EVERY=${FAIL_EVERY:-5}
STAY_MS=21000      # a unit stays this long: its flash takes 14 s, 17 s on a busy machine
GAP_MS=2000        # the drive stands empty long enough for a scan to see it
PULLED_MS=4000     # a pulled unit leaves during its restart wait...
PULLED_GAP_MS=22000  # ...and its flash fails at the end of the window
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
seq 1 200000 | head -c 524288 >"$work/image.bin"

# The timeline, and what each arrival should come to (drive, slot, result).
python3 - "$UNITS" "$DRIVES" "$FAIL_EVERY" "$STAY_MS" "$GAP_MS" "$PULLED_MS" "$PULLED_GAP_MS" \
    >"$work/timeline.txt" 3>"$work/expected.txt" <<'PY'
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
PY
timeline=$(cat "$work/timeline.txt")

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
start=$(sample $pid)
begin=$SECONDS
while [ "$(grep -c '"event":"unit"' "$work/events.jsonl")" -lt "$UNITS" ] && kill -0 $pid 2>/dev/null; do sleep 1; done
elapsed=$((SECONDS - begin))
sleep 3 # the last drives empty, the station back to idle
end=$(sample $pid)
kill -INT $pid
wait $pid
status=$?

python3 - "$work" "$DRIVES" "$elapsed" "$start" "$end" "$status" <<'PY'
import json, sys, datetime
work, drives, elapsed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
start, end, status = sys.argv[4].split(), sys.argv[5].split(), int(sys.argv[6])
def when(text):
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").timestamp()
events = [json.loads(l) for l in open(f"{work}/events.jsonl")]
units = [e for e in events if e["event"] == "unit"]
log = [json.loads(l) for l in open(f"{work}/station.log")]
expected = [l.split() for l in open(f"{work}/expected.txt")]
problems = []
# Per drive, the events in the order the units arrived.
per_drive = {}
for u in units:
    per_drive.setdefault(u["device"][0], []).append(u)
for d, us in per_drive.items():
    us.sort(key=lambda u: when(u["time"]))
downloads = {}
for line in log:
    if line["cdb"].startswith("1b"):
        downloads.setdefault(line["drive"], []).append(when(line["time"]))
for letter, slot, result in expected:
    us = per_drive.get(letter, [])
    if int(slot) >= len(us):
        problems.append(f"{letter} unit {slot}: no event")
        continue
    u = us[int(slot)]
    if u["result"] != result:
        problems.append(f"{letter} unit {slot}: {u['result']}, expected {result}: {u['message']}")
    lo = when(u["time"])
    hi = lo + u["duration_ms"] / 1000 + 1
    inside = [t for t in downloads.get(letter, []) if lo - 0.5 <= t <= hi]
    if len(inside) != 1:
        problems.append(f"{letter} unit {slot}: {len(inside)} START STOP UNIT in the log during its flash")
if len(units) != len(expected):
    problems.append(f"{len(units)} unit events for {len(expected)} units")
total_downloads = sum(len(v) for v in downloads.values())
if total_downloads != len(expected):
    problems.append(f"{total_downloads} START STOP UNIT in the log for {len(expected)} units")
keys = [(u["device"], u["time"]) for u in units]
if len(set(keys)) != len(keys):
    problems.append("a unit has two events")
passed = sum(u["result"] == "passed" for u in units)
failed = sum(u["result"] == "failed" for u in units)
print(f"units {len(units)}: {passed} passed, {failed} failed, over {elapsed} s on {drives} drives "
      f"= {len(units) / (elapsed / 60) / drives:.2f} units per minute per drive")
print(f"log lines {len(log)}, START STOP UNIT {total_downloads}; station exit {status}")
print(f"idle before the first unit: RSS {start[0]} KiB, {start[1]} descriptors, {start[2]} threads")
print(f"idle after the last unit:   RSS {end[0]} KiB, {end[1]} descriptors, {end[2]} threads")
for p in problems[:20]:
    print("PROBLEM:", p)
print("log and events agree unit for unit" if not problems else f"{len(problems)} problem(s)")
sys.exit(1 if problems else 0)
PY
