"""Checks a shift's outputs (bench/station_shift.sh): every expected unit in
the events once with its expected result, one START STOP UNIT in the log
within each unit's flash and none outside, the summary agreeing with the
unit events, and the station idle at the end as it was at the start.
    station_shift_check.py WORK DRIVES START END STATUS
WORK holds events.jsonl, station.log, expected.txt and samples.txt;
START and END are "rss_kib fds threads"."""
import datetime
import json
import sys

work, drives = sys.argv[1], int(sys.argv[2])
start, end, status = sys.argv[3].split(), sys.argv[4].split(), int(sys.argv[5])


def when(text):
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").timestamp()


def lines(name):  # a station that died at its start wrote nothing
    try:
        return open(f"{work}/{name}").read().splitlines()
    except FileNotFoundError:
        return []


events = [json.loads(l) for l in lines("events.jsonl")]
units = [e for e in events if e["event"] == "unit"]
summaries = [e for e in events if e["event"] == "summary"]
log = [json.loads(l) for l in lines("station.log")]
expected = [l.split() for l in lines("expected.txt")]
problems = []

# Per drive, the events in the order the units arrived.
per_drive = {}
for u in units:
    per_drive.setdefault(u["device"][0], []).append(u)
for us in per_drive.values():
    us.sort(key=lambda u: when(u["time"]))
downloads = {}
for line in log:
    if line["cdb"].startswith("1b"):
        downloads.setdefault(line["drive"], []).append(when(line["time"]))
expected_per_drive = {}
for letter, slot, result in expected:
    expected_per_drive[letter] = expected_per_drive.get(letter, 0) + 1
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
for letter, us in per_drive.items():
    if len(us) > expected_per_drive.get(letter, 0):
        extra = us[expected_per_drive.get(letter, 0)]
        problems.append(f"{letter}: {len(us)} unit events for {expected_per_drive.get(letter, 0)} units, "
                        f"the first extra found {extra['time']} ({extra['result']})")
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
skipped = sum(u["result"] == "skipped" for u in units)
if len(summaries) != 1:
    problems.append(f"{len(summaries)} summary events")
elif (summaries[0]["passed"], summaries[0]["failed"], summaries[0]["skipped"]) != (passed, failed, skipped):
    problems.append(f"the summary says {summaries[0]['passed']} passed, {summaries[0]['failed']} failed, "
                    f"{summaries[0]['skipped']} skipped; the unit events {passed}, {failed}, {skipped}")
expected_status = 8 if any(r == "failed" for _, _, r in expected) else 0
if status != expected_status:
    problems.append(f"station exit {status}, expected {expected_status}")
# Idle against idle: every descriptor and thread a unit took is given back.
if len(start) != 3 or len(end) != 3:
    problems.insert(0, "the station ended before the shift did")
    start, end = start + ["?"] * (3 - len(start)), end + ["?"] * (3 - len(end))
elif start[1:] != end[1:]:
    problems.append(f"idle descriptors/threads {start[1]}/{start[2]} before, {end[1]}/{end[2]} after")

span = 0.0
if units:
    first = min(when(u["time"]) for u in units)
    last = max(when(u["time"]) + u["duration_ms"] / 1000 for u in units)
    span = last - first
samples = [s for s in (l.split() for l in lines("samples.txt")) if len(s) == 4]
peak = max(samples, key=lambda s: int(s[1]), default=["", "?", "?", "?"])
rate = len(units) / (span / 60) / drives if span else 0.0
print(f"units {len(units)}: {passed} passed, {failed} failed, {skipped} skipped, first found to last ended "
      f"{span:.0f} s on {drives} drives = {rate:.2f} units per minute per drive")
print(f"log lines {len(log)}, START STOP UNIT {total_downloads}; station exit {status}")
print(f"idle before the first unit: RSS {start[0]} KiB, {start[1]} descriptors, {start[2]} threads")
print(f"idle after the last unit:   RSS {end[0]} KiB, {end[1]} descriptors, {end[2]} threads")
print(f"busiest sample:             RSS {peak[1]} KiB, {peak[2]} descriptors, {peak[3]} threads")
for p in problems[:20]:
    print("PROBLEM:", p)
print("log and events agree unit for unit" if not problems else f"{len(problems)} problem(s)")
sys.exit(1 if problems else 0)
