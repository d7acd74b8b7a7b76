#!/usr/bin/env bash
# A line's shift: STATIONS stations (processes, each with DRIVES emulated
# drives and a short restart) on one mosquitto broker, ROUNDS units per
# drive, and a collector into SQLite. Reports the records per second the
# collector stored, the broker-to-database delay of each record (a plain
# subscriber's arrival time to the collector's stored_at; median and 99th
# percentile), the stations' and the collector's RSS at the start and the
# end, and checks the database equals the stations' logs, record for record.
#   bench/line_shift.sh [CLI] [STATIONS] [DRIVES] [ROUNDS]
# With 'outage' first, an outage instead: a station's CPU while its broker is
# away, then a backlog of RECORDS unit records (a station's log after an
# outage, the collector away too) under mosquitto's default queue: the time
# until the database holds them all, and the largest RSS of the station and
# the collector meanwhile.
#   bench/line_shift.sh outage [CLI] [RECORDS]
# LINE_KEEP=1 keeps the outputs and prints where.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1
OUTAGE=0
if [ "${1:-}" = outage ]; then
    OUTAGE=1
    shift
    RECORDS=${2:-10000}
fi
CLI=$(realpath "${1:-build-native/cli/kt3916flash-cli}")
STATIONS=${2:-8}
DRIVES=${3:-10}
ROUNDS=${4:-5}
ROUND_MS=${ROUND_MS:-20000}  # a 14 s flash, and room for a busy machine
work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done
    if [ "${LINE_KEEP:-0}" = 1 ]; then echo "outputs in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
seq 1 200000 | head -c 524288 >"$work/fw.bin"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence true\npersistence_location %s/\nuser %s\n' \
    "$port" "$work" "$(id -un)" >"$work/broker.conf"
mosquitto -c "$work/broker.conf" >"$work/broker.log" 2>&1 &
pids+=($!)
sleep 0.5
line="mqtt://127.0.0.1:$port/bench"

rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null; }
# utime + stime of a process, in clock ticks
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

if [ "$OUTAGE" = 1 ]; then
    never="D+86400000/E+86400000/F+86400000"
    python3 - "$work/s1.log" "$RECORDS" <<'PY'
import json, sys
with open(sys.argv[1], "w") as log:
    for i in range(int(sys.argv[2])):
        record = {"record": "unit-start" if i % 2 == 0 else "unit-end", "id": f"b-{i}", "unit": f"u{i // 2}",
                  "run": "0123456789abcdef", "station": "s1", "time": "2026-12-10T10:00:00.000Z", "device": "D:",
                  "node": "/dev/sg1", "identity": "KTDEV KT3916 FLASHER", "checksum": "19C5"}
        if i % 2:
            record.update(result="passed", exit_code=0, duration_ms=13500, blocks_sent=9, blocks=9)
        log.write(json.dumps(record, separators=(",", ":")) + "\n")
PY
    "$CLI" line approve "$work/fw.bin" --line "$line" >/dev/null || exit 1
    # The collector's session exists at the broker; then it is away.
    "$CLI" line collect --line "$line" --db "$work/records.db" >>"$work/collect.out" 2>>"$work/collect.err" &
    collector=$!
    sleep 1
    kill "$collector"
    wait "$collector"
    "$CLI" "--emulate=devices=3,plug=$never" station "$work/fw.bin" --expect-identity "KTDEV KT3916 FLASHER" \
        --log "$work/s1.log" --line "$line" --station-name s1 >"$work/s1.out" 2>"$work/s1.err" </dev/null &
    station=$!
    pids+=("$station")
    sleep 2
    # The broker away for 20 s: the station's CPU meanwhile.
    kill "${pids[0]}"
    wait "${pids[0]}" 2>/dev/null
    sleep 2
    before=$(cpu_ticks "$station")
    sleep 20
    after=$(cpu_ticks "$station")
    hz=$(getconf CLK_TCK)
    echo "station CPU while its broker is away: $(python3 -c "print(f'{($after - $before) / $hz / 20 * 100:.2f}')")% of a core over 20 s"
    mosquitto -c "$work/broker.conf" >>"$work/broker.log" 2>&1 &
    pids+=($!)
    sleep 0.5
    start=$(date +%s%N)
    "$CLI" line collect --line "$line" --db "$work/records.db" >>"$work/collect.out" 2>>"$work/collect.err" &
    collector=$!
    pids+=("$collector")
    max_station=0
    max_collector=0
    stored=0
    while [ "$stored" -lt "$RECORDS" ] && [ $((($(date +%s%N) - start) / 1000000000)) -lt 600 ]; do
        sleep 0.5
        s=$(rss "$station")
        c=$(rss "$collector")
        [ "${s:-0}" -gt "$max_station" ] && max_station=$s
        [ "${c:-0}" -gt "$max_collector" ] && max_collector=$c
        stored=$(sqlite3 "$work/records.db" 'SELECT count(*) FROM unit_records' 2>/dev/null || echo 0)
    done
    elapsed=$((($(date +%s%N) - start) / 1000000))
    echo "backlog of $RECORDS records: $stored in the database after $elapsed ms ($(python3 -c "print(f'{$stored / ($elapsed / 1000):.0f}')") records/s)"
    echo "largest RSS meanwhile: station $max_station KiB, collector $max_collector KiB"
    [ "$stored" -eq "$RECORDS" ]
    exit
fi

timeline=$(python3 - "$DRIVES" "$ROUNDS" "$ROUND_MS" <<'PY'
import sys
drives, rounds, round_ms = map(int, sys.argv[1:])
events = []
for r in range(rounds):
    for d in range(drives):
        at = 300 + r * round_ms + d * 40
        events += [(at, f"{chr(68 + d)}+{at}"), (at + round_ms - 1500, f"{chr(68 + d)}-{at + round_ms - 1500}")]
print("/".join(e for _, e in sorted(events)))
PY
)
units=$((DRIVES * ROUNDS))

"$CLI" line approve "$work/fw.bin" --line "$line" >/dev/null || exit 1
mosquitto_sub -p "$port" -t 'kt3916/bench/station/+/unit' -q 1 -F '%U %p' >"$work/arrivals.txt" &
pids+=($!)
"$CLI" line collect --line "$line" --db "$work/records.db" >"$work/collect.out" 2>"$work/collect.err" &
collector=$!
pids+=($collector)
station_pids=()
for s in $(seq 1 "$STATIONS"); do
    "$CLI" "--emulate=devices=$DRIVES,reboot_ms=200,plug=$timeline" station "$work/fw.bin" \
        --expect-identity "KTDEV KT3916 FLASHER" --units "$units" --log "$work/s$s.log" \
        --line "$line" --station-name "s$s" >"$work/s$s.out" 2>"$work/s$s.err" </dev/null &
    station_pids+=($!)
    pids+=($!)
done
sleep 3
start_rss="collector $(rss "$collector") KiB; stations"
for p in "${station_pids[@]}"; do start_rss+=" $(rss "$p")"; done
# The end: sampled while the last round's units are being flashed.
sleep $((((ROUNDS - 1) * ROUND_MS + 5000) / 1000))
end_rss="collector $(rss "$collector") KiB; stations"
for p in "${station_pids[@]}"; do end_rss+=" $(rss "$p")"; done
failed_stations=0
for p in "${station_pids[@]}"; do wait "$p" || failed_stations=$((failed_stations + 1)); done
sleep 2
kill "$collector"
wait "$collector"

python3 - "$work" "$STATIONS" <<PY
import glob, json, sqlite3, statistics, sys, datetime
work, stations = sys.argv[1], int(sys.argv[2])
def ms(text):
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=datetime.timezone.utc).timestamp() * 1000
logged = []
for log in glob.glob(f"{work}/s*.log"):
    for line in open(log):
        r = json.loads(line)
        if r.get("record") in ("unit-start", "unit-end"):
            logged.append(r["id"])
db = sqlite3.connect(f"{work}/records.db")
rows = dict(db.execute("SELECT id, stored_at FROM unit_records"))
arrived = {}
for line in open(f"{work}/arrivals.txt"):
    at, payload = line.split(" ", 1)
    arrived.setdefault(json.loads(payload)["id"], float(at) * 1000)
delays = sorted(ms(rows[i]) - arrived[i] for i in rows if i in arrived)
stored = sorted(ms(t) for t in rows.values())
passed = db.execute("SELECT count(*) FROM units WHERE result='passed'").fetchone()[0]
span = (stored[-1] - stored[0]) / 1000 if len(stored) > 1 else 0
print(f"stations {stations}, units ended {db.execute('SELECT count(*) FROM units').fetchone()[0]} ({passed} passed), records {len(rows)}")
print(f"records per second stored: {len(rows) / span:.1f} over {span:.0f} s (the shift's own pace)" if span else "no span")
print(f"broker-to-database delay: median {statistics.median(delays):.1f} ms, 99th percentile {delays[int(len(delays) * 0.99) - 1]:.1f} ms")
same = sorted(logged) == sorted(rows) and len(set(logged)) == len(logged)
print(f"database equals the logs: {'yes' if same else 'NO'} ({len(logged)} records in the logs, {len(rows)} in the database)")
sys.exit(0 if same else 1)
PY
rc=$?
echo "RSS at the start: $start_rss KiB"
echo "RSS at the end:   $end_rss KiB"
echo "stations that did not exit 0: $failed_stations"
[ $rc -eq 0 ] && [ $failed_stations -eq 0 ]
