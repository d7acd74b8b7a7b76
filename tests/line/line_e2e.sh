#!/usr/bin/env bash
# The line through the real kt3916flash-cli and real mosquitto brokers on
# 127.0.0.1 (free ports, temporary configuration and persistence), emulated
# units with a short restart. The rows of each table run side by side, each
# with brokers of its own; about a minute and a half of real time.
#   line_e2e.sh CLI WORKDIR
set -u
CLI=$(realpath "$1")
WORK=$2
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || exit 1
ID="KTDEV KT3916 FLASHER"
seq 1 200000 | head -c 524288 >fw.bin
seq 7 200000 | head -c 524288 >other.bin
# Rows run in subshells: every process started is listed in a file, and
# the end of the script stops each of them by its id.
: >"$PWD/started.pids"
trap 'while read -r p; do kill -9 "$p" 2>/dev/null; done <"'"$PWD"'/started.pids"' EXIT
started() { echo "$1" >>"$WORK_DIR/started.pids"; }
WORK_DIR=$PWD

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# broker DIR [LISTENER-CONFIG]: writes DIR/broker.conf with a free port
# (DIR/port, @PORT@ in the config) and persistence in DIR, and starts it
# (DIR/pid). broker_start DIR again after broker_stop finds its queues.
broker() {
    local dir=$1 port
    mkdir -p "$dir"
    port=$(free_port)
    echo "$port" >"$dir/port"
    {
        echo "persistence true"
        echo "persistence_location $PWD/$dir/"
        echo "user $(id -un)" # as root it would write as the user mosquitto
        printf '%s\n' "${2:-listener @PORT@ 127.0.0.1
allow_anonymous true}" | sed "s/@PORT@/$port/"
    } >"$dir/broker.conf"
    broker_start "$dir"
}
broker_start() {
    mosquitto -c "$1/broker.conf" >>"$1/broker.log" 2>&1 &
    echo $! >"$1/pid"
    started $!
    local i
    for i in $(seq 50); do
        (exec 3<>"/dev/tcp/127.0.0.1/$(cat "$1/port")") 2>/dev/null && return 0
        sleep 0.1
    done
    echo "broker $1 did not start" >&2
}
broker_stop() { kill "$(cat "$1/pid")"; wait "$(cat "$1/pid")" 2>/dev/null; }
url() { echo "mqtt://127.0.0.1:$(cat "$1/port")/$2"; }

# station DIR NAME URL PLUG [OPTIONS...]: a station in the background on a
# plug timeline of emulated units; its pid in DIR/NAME.pid.
station() {
    local dir=$1 name=$2 line=$3 plug=$4
    shift 4
    "$CLI" "--emulate=devices=3,reboot_ms=100,plug=$plug" station fw.bin --expect-identity "$ID" \
        --log "$dir/$name.log" --line "$line" --station-name "$name" "$@" \
        >>"$dir/$name.out" 2>>"$dir/$name.err" </dev/null &
    echo $! >"$dir/$name.pid"
    started $!
}
collector() {
    "$CLI" line collect --line "$2" --db "$1/records.db" >>"$1/collect.out" 2>>"$1/collect.err" </dev/null &
    echo $! >"$1/collect.pid"
    started $!
}
stop() { kill "-${2:-TERM}" "$(cat "$1")" 2>/dev/null; wait "$(cat "$1")" 2>/dev/null; }

failures=0
check() { # DIR CONDITION TEXT
    if (cd "$1" && eval "$2"); then echo "ok: $1: $3"; else
        echo "FAIL: $1: $3"
        failures=$((failures + 1))
        for f in "$1"/*.err "$1"/*.out; do [ -s "$f" ] && sed "s|^|  $f: |" "$f" | tail -n 8; done
    fi
}

# The unit records of a row's logs and of its database, one id a line.
log_ids() { cat "$1"/*.log | jq -r 'select(.record=="unit-start" or .record=="unit-end") | .id' | sort; }
db_ids() { sqlite3 "$1/records.db" 'SELECT id FROM unit_records ORDER BY id' | sort; }
db_equals_logs() { # DIR: every record once, none missing, none more
    [ "$(log_ids "$1" | uniq -d | wc -l)" -eq 0 ] && [ "$(log_ids "$1" | wc -l)" -gt 0 ] &&
        diff <(log_ids "$1") <(db_ids "$1") >"$1/ids.diff" &&
        [ "$(sqlite3 "$1/records.db" "SELECT count(*) FROM unit_records WHERE source<>'line'")" -eq 0 ]
}
passed_units() { grep -c ' passed ' "$1"/*.out | awk -F: '{ s += $2 } END { print s }'; }
db_passed() { sqlite3 "$1/records.db" "SELECT count(*) FROM units WHERE result='passed'"; }

# Six units on three drives per station: two rounds of a 14 s flash. A unit
# leaves half a second after it answered with its new revision and the next
# one comes a second after that, however slow the machine: a time on the
# wall clock would race a flash that runs slow (a sanitizer build on a busy
# machine).
PLUG="D+300/E+500/F+700/D-updated+500/E-updated+500/F-updated+500/D+updated+1500/E+updated+1500/F+updated+1500"
shift_row() { # NAME [faults]
    local dir=$1
    broker "$dir/broker"
    local line
    line=$(url "$dir/broker" L)
    "$CLI" line approve fw.bin --line "$line" >"$dir/approve.out" 2>"$dir/approve.err"
    collector "$dir" "$line"
    station "$dir" s1 "$line" "$PLUG" --units 6
    station "$dir" s2 "$line" "$PLUG" --units 6
    if [ "${2:-}" = faults ]; then
        # The broker away from 2 s to 10 s (units' start records are written
        # meanwhile), the collector killed from 12 s to 17 s (the first
        # round's end records wait for it at the broker), and station s2
        # killed in its second round, then started for one more.
        sleep 2 && broker_stop "$dir/broker"
        sleep 8 && broker_start "$dir/broker"
        sleep 2 && stop "$dir/collect.pid" KILL
        sleep 5 && collector "$dir" "$line"
        sleep 9 && stop "$dir/s2.pid" KILL
        station "$dir" s2 "$line" "${PLUG%%/D+updated*}" --units 3
    fi
    wait_exit "$dir/s1.pid" 120
    echo $? >"$dir/s1.rc"
    wait_exit "$dir/s2.pid" 120
    echo $? >"$dir/s2.rc"
    sleep 1
    stop "$dir/collect.pid"
    for s in s1 s2; do "$CLI" line collect --db "$dir/records.db" --import "$dir/$s.log" >>"$dir/import.out"; done
    echo '{"record":"unit-end","id":"torn-1","run":"r"}' >"$dir/torn.jsonl"
    "$CLI" line collect --db "$dir/records.db" --import "$dir/torn.jsonl" --station-name s9 >"$dir/torn.out" 2>&1
}

approval_row() { # NAME: what the line approves, and what the stations do
    local dir=$1 line
    broker "$dir/broker"
    line=$(url "$dir/broker" L)
    "$CLI" line watch --json --line "$line" >"$dir/watch.jsonl" 2>"$dir/watch.err" </dev/null &
    echo $! >"$dir/watch.pid"
    started $!
    case $dir in
    approval-none) station "$dir" s1 "$line" "D+100" --units 1 ;;
    approval-other) "$CLI" line approve other.bin --line "$line" >/dev/null && station "$dir" s1 "$line" "D+100" --units 1 ;;
    approval-optional) station "$dir" s1 "$line" "D+100" --units 1 --line-without-approval ;;
    approval-changed)
        "$CLI" line approve fw.bin --line "$line" >/dev/null
        station "$dir" s1 "$line" "D+100/E+6000/F+6200" --units 2
        sleep 3 && "$CLI" line approve other.bin --line "$line" >/dev/null
        ;;
    esac
    sleep 20
    stop "$dir/s1.pid" KILL
    sleep 1
    stop "$dir/watch.pid"
}

tls_row() {
    local dir=$1
    mkdir -p "$dir/broker"
    (
        cd "$dir" || exit 1
        openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=line test CA" -keyout ca.key -out ca.pem
        openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=another CA" -keyout wrong.key -out wrong.pem
        openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" -addext "subjectAltName=IP:127.0.0.1" \
            -keyout broker.key -out broker.csr
        printf 'subjectAltName=IP:127.0.0.1\n' >san.ext
        openssl x509 -req -in broker.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile san.ext \
            -out broker.pem
        touch passwords && chmod 600 passwords && mosquitto_passwd -b passwords station1 right-secret
        printf 'station1\nright-secret\n' >good.cred
        printf 'station1\nwrong-secret\n' >bad.cred
    ) >"$dir/openssl.log" 2>&1
    broker "$dir/broker" "listener @PORT@ 127.0.0.1
cafile $PWD/$dir/ca.pem
certfile $PWD/$dir/broker.pem
keyfile $PWD/$dir/broker.key
allow_anonymous false
password_file $PWD/$dir/passwords"
    broker "$dir/plain"
    local line byname plain row url t0
    line="mqtts://127.0.0.1:$(cat "$dir/broker/port")/L"
    byname="mqtts://localhost:$(cat "$dir/broker/port")/L"
    plain="mqtts://127.0.0.1:$(cat "$dir/plain/port")/L"
    # name | URL | options | exit | what stderr says; each said at once
    while IFS='|' read -r row url opts want text; do
        t0=$(date +%s%N)
        # shellcheck disable=SC2086
        "$CLI" line approve fw.bin --line "$url" $opts >"$dir/$row.out" 2>"$dir/$row.err"
        echo "$? $want $(((($(date +%s%N) - t0) / 1000000))) $text" >"$dir/$row.result"
    done <<ROWS
right|$line|--line-ca $dir/ca.pem --line-credentials $dir/good.cred|0|approved fw.bin
wrong-ca|$line|--line-ca $dir/wrong.pem --line-credentials $dir/good.cred|1|an unknown CA
name-mismatch|$byname|--line-ca $dir/ca.pem --line-credentials $dir/good.cred|1|does not name localhost (a name mismatch
not-tls|$plain|--line-ca $dir/ca.pem|1|does not speak TLS on that port
ca-missing|$line|--line-ca $dir/none.pem --line-credentials $dir/good.cred|1|CA file $dir/none.pem cannot be read: No such file
wrong-password|$line|--line-ca $dir/ca.pem --line-credentials $dir/bad.cred|1|refused the login
no-login|$line|--line-ca $dir/ca.pem|1|refused the login
ROWS
    KT3916FLASH_LINE_CREDENTIALS=$dir/good.cred station "$dir" s1 "$line" "D+100" --units 1 --line-ca "$dir/ca.pem"
    wait_exit "$dir/s1.pid" 120
    echo $? >"$dir/s1.rc"
}

bridge_row() {
    local dir=$1 plant
    broker "$dir/plant"
    plant=$(cat "$dir/plant/port")
    broker "$dir/broker" "listener @PORT@ 127.0.0.1
allow_anonymous true
connection plant
address 127.0.0.1:$plant
topic kt3916/# both 1
cleansession false"
    sleep 1
    "$CLI" line approve fw.bin --line "$(url "$dir/plant" L)" >"$dir/approve.out" 2>"$dir/approve.err"
    collector "$dir" "$(url "$dir/plant" L)"
    station "$dir" s1 "$(url "$dir/broker" L)" "D+500/E+700" --units 2
    wait_exit "$dir/s1.pid" 120
    echo $? >"$dir/s1.rc"
    sleep 2
    stop "$dir/collect.pid"
}

# A station never waits on its line: the broker stops while units come and
# go, the station flashes them, and stops at once on SIGTERM with the broker
# still away. Started again once the broker is back, it sends what the
# collector has not stored.
outage_row() {
    local dir=$1 line t0
    broker "$dir/broker"
    line=$(url "$dir/broker" L)
    "$CLI" line approve fw.bin --line "$line" >"$dir/approve.out" 2>&1
    collector "$dir" "$line"
    station "$dir" s1 "$line" "D+300/E+3000/F+5000"
    sleep 2 && broker_stop "$dir/broker"
    sleep 21
    t0=$(date +%s%N)
    stop "$dir/s1.pid"
    echo $((($(date +%s%N) - t0) / 1000000)) >"$dir/stop.ms"
    broker_start "$dir/broker"
    station "$dir" s1 "$line" "$NEVER"
    wait_for 60 "[ \"\$(log_ids $dir | wc -l)\" -eq \"\$(db_ids $dir | wc -l)\" ]"
    stop "$dir/s1.pid"
    stop "$dir/collect.pid"
}

# wait_exit PIDFILE SECONDS: the process's exit status, or 124 once it had
# to be killed for not ending (a row never hangs the suite).
wait_exit() {
    if wait_for "$2" "! kill -0 $(cat "$1") 2>/dev/null"; then
        wait "$(cat "$1")" 2>/dev/null
    else
        kill -9 "$(cat "$1")" 2>/dev/null
        wait "$(cat "$1")" 2>/dev/null
        return 124
    fi
}

# No unit ever comes: a station that only sends what its log holds.
NEVER="D+86400000/E+86400000/F+86400000"

# wait_for SECONDS CONDITION: polls the condition every half second.
wait_for() {
    local _
    for _ in $(seq $(($1 * 2))); do
        eval "$2" && return 0
        sleep 0.5
    done
    return 1
}

# A backlog of thousands of records (a log with no mark) with the broker's
# default queue of 1000 messages per client: the collector was away while
# the station started, and the database ends with every record.
backlog_row() {
    local dir=$1 line
    broker "$dir/broker"
    line=$(url "$dir/broker" L)
    python3 - "$dir/s1.log" <<'PY'
import json, sys
with open(sys.argv[1], "w") as log:
    for i in range(3000):
        record = {"record": "unit-start" if i % 2 == 0 else "unit-end", "id": f"backlog-{i}", "unit": f"u{i // 2}",
                  "run": "0123456789abcdef", "station": "s1", "time": "2026-12-10T10:00:00.000Z", "device": "D:"}
        if i % 2:
            record.update(result="passed", exit_code=0, duration_ms=13500)
        log.write(json.dumps(record, separators=(",", ":")) + "\n")
PY
    "$CLI" line approve fw.bin --line "$line" >"$dir/approve.out" 2>&1
    collector "$dir" "$line"
    sleep 1 && stop "$dir/collect.pid"
    station "$dir" s1 "$line" "$NEVER"
    sleep 3 && collector "$dir" "$line"
    wait_for 120 "[ \"\$(db_ids $dir | wc -l)\" -ge 3000 ]"
    stop "$dir/s1.pid"
    stop "$dir/collect.pid"
}

# Rotation under a running station: copytruncate, then a rename. Nothing the
# logs held before or after is missing from the database.
rotate_row() {
    local dir=$1 line
    broker "$dir/broker"
    line=$(url "$dir/broker" L)
    "$CLI" line approve fw.bin --line "$line" >"$dir/approve.out" 2>&1
    collector "$dir" "$line"
    station "$dir" s1 "$line" "D+300/E+7000" --units 2
    sleep 4 && cp "$dir/s1.log" "$dir/s1.log.1" && truncate -s 0 "$dir/s1.log"
    wait_exit "$dir/s1.pid" 120
    echo $? >"$dir/s1.rc"
    station "$dir" s2 "$line" "D+300/E+7000" --units 2
    sleep 4 && mv "$dir/s2.log" "$dir/s2.log.1" && : >"$dir/s2.log"
    wait_exit "$dir/s2.pid" 120
    wait_for 20 "[ \"\$(cat $dir/s?.log $dir/s?.log.1 | jq -r 'select(.record==\"unit-start\" or .record==\"unit-end\") | .id' | sort -u | wc -l)\" -eq \"\$(db_ids $dir | wc -l)\" ]"
    stop "$dir/collect.pid"
}

# Messages that are no unit records, and a status meant to take over a
# terminal: the collector keeps them aside and goes on, watch shows them
# harmless and goes on.
hostile_row() {
    local dir=$1 line port t="kt3916/L/station/h1"
    broker "$dir/broker"
    port=$(cat "$dir/broker/port")
    line=$(url "$dir/broker" L)
    collector "$dir" "$line"
    "$CLI" line watch --json --line "$line" >"$dir/watch.jsonl" 2>"$dir/watch.err" </dev/null &
    echo $! >"$dir/watch.pid"
    started $!
    "$CLI" line watch --line "$line" >"$dir/table.out" 2>"$dir/table.err" </dev/null &
    echo $! >"$dir/table.pid"
    started $!
    sleep 1
    local good='{"record":"unit-end","id":"c1","run":"r","station":"h1","time":"t","device":"D:","result":"passed","exit_code":0}'
    pub() { mosquitto_pub -p "$port" -q 1 "$@"; }
    pub -t "$t/unit" -m "$good"
    pub -t "$t/unit" -m "${good/passed/failed}"
    printf '{"record":"unit-end","id":"\xff\xfe"}' | pub -t "$t/unit" -s
    pub -t "$t/unit" -m '{"record":"unit-end","id":"w1","run":"r","time":"t","device":"D:","result":"passed","exit_code":"0"}'
    pub -t "$t/unit" -m '{"record":"unit-start","id":"m1"}'
    head -c 2000000 /dev/zero | tr '\0' 'x' | sed 's/^/{"record":"unit-end","id":"/; s/$/"}/' >"$dir/big.json"
    pub -t "$t/unit" -f "$dir/big.json"
    # Escapes as JSON carries them, which the parser turns into the bytes.
    pub -r -t "$t/status" -m '{"station":"h1","state":"\u001b[2J\u001b]0;owned\u0007waiting","why":"\u009b1m"}'
    printf '{"station":"h2","state":"\xff"}' | pub -r -t "kt3916/L/station/h2/status" -s
    sleep 2
    for p in collect watch table; do kill -0 "$(cat "$dir/$p.pid")" && echo "$p" >>"$dir/alive"; done
    stop "$dir/watch.pid"
    stop "$dir/table.pid"
    stop "$dir/collect.pid"
}

# The collector's database: deleted under it, locked by another program,
# wanted by a second collector, and a record it could not store, which must
# stay with the station until a collector stores it.
db_row() {
    local dir=$1 line
    broker "$dir/broker"
    line=$(url "$dir/broker" L)
    "$CLI" line approve fw.bin --line "$line" >"$dir/approve.out" 2>&1
    mkdir -p "$dir/deleted" "$dir/locked" "$dir/second" "$dir/refused"
    collector "$dir/deleted" "$line"
    sleep 1 && rm "$dir/deleted/records.db"
    wait_exit "$dir/deleted/collect.pid" 10
    echo $? >"$dir/deleted/rc"

    hold_lock() { # DB SECONDS: another writer holds the database
        python3 -c 'import sqlite3, sys, time
c = sqlite3.connect(sys.argv[1], isolation_level=None)
c.execute("CREATE TABLE IF NOT EXISTS other (x)"); c.execute("BEGIN EXCLUSIVE"); c.execute("INSERT INTO other VALUES (1)")
print("locked", flush=True); time.sleep(float(sys.argv[2]))' "$1" "$2"
    }
    hold_lock "$dir/locked/records.db" 8 >"$dir/locked/lock.out" &
    sleep 1
    collector "$dir/locked" "$line"
    wait_exit "$dir/locked/collect.pid" 15
    echo $? >"$dir/locked/rc"

    collector "$dir/second" "$line"
    sleep 1
    timeout 10 "$CLI" line collect --line "$line" --db "$dir/second/records.db" >"$dir/second/two.out" 2>"$dir/second/two.err"
    echo $? >"$dir/second/rc"
    stop "$dir/second/collect.pid"

    collector "$dir/refused" "$line"
    station "$dir/refused" s1 "$line" "D+300"
    sleep 6
    # The unit's end record comes while another writer holds the database.
    hold_lock "$dir/refused/records.db" 16 >"$dir/refused/lock.out" &
    local holder=$!
    wait_exit "$dir/refused/collect.pid" 25
    echo $? >"$dir/refused/rc"
    sleep 1 && stop "$dir/refused/s1.pid"
    wait "$holder"
    collector "$dir/refused" "$line"
    station "$dir/refused" s1 "$line" "$NEVER"
    wait_for 30 "db_equals_logs $dir/refused"
    stop "$dir/refused/s1.pid"
    stop "$dir/refused/collect.pid"
}

# Two stations on one log, and two of one name on the line.
shared_row() {
    local dir=$1 line
    broker "$dir/broker"
    line=$(url "$dir/broker" L)
    "$CLI" line approve fw.bin --line "$line" >"$dir/approve.out" 2>&1
    collector "$dir" "$line"
    for s in s1 s2; do
        "$CLI" "--emulate=devices=2,reboot_ms=100,plug=D+300/E+900" station fw.bin --expect-identity "$ID" \
            --log "$dir/shared.log" --line "$line" --station-name "$s" --units 2 >"$dir/$s.out" 2>"$dir/$s.err" </dev/null &
        echo $! >"$dir/$s.pid"
        started $!
    done
    mkdir -p "$dir/twin"
    station "$dir/twin" s1 "$line" "$NEVER"
    for s in s1 s2; do wait_exit "$dir/$s.pid" 120; done
    stop "$dir/twin/s1.pid"
    wait_for 10 "db_equals_logs $dir"
    stop "$dir/collect.pid"
}

# Names, URLs and the duration a flash records: no broker needed.
names_row() {
    local dir=$1 long
    long=$(head -c 100000 /dev/zero | tr '\0' n)
    "$CLI" --emulate station fw.bin --expect-identity "$ID" --log "$dir/s.log" --line mqtt://127.0.0.1:1/L \
        --station-name "$(printf 'a\tb')" >/dev/null 2>"$dir/tab.err"
    echo $? >"$dir/tab.rc"
    "$CLI" --emulate station fw.bin --expect-identity "$ID" --log "$dir/s.log" --line mqtt://127.0.0.1:1/L \
        --station-name "$long" >/dev/null 2>"$dir/long.err"
    "$CLI" line watch --line 'mqtt://127.0.0.1:1/L?x=1' >/dev/null 2>"$dir/query.err"
    echo $? >"$dir/query.rc"
    "$CLI" --emulate=devices=1,reboot_ms=100 flash fw.bin --log "$dir/flash.log" >/dev/null 2>"$dir/flash.err"
}

for row in shift-clean approval-none approval-other approval-optional approval-changed tls bridge outage backlog \
    rotate hostile db shared names; do mkdir -p $row; done
shift_row shift-clean &
mkdir -p shift-faults && shift_row shift-faults faults &
for row in approval-none approval-other approval-optional approval-changed; do approval_row $row & done
tls_row tls &
bridge_row bridge &
for row in outage backlog rotate hostile db shared names; do ${row}_row $row & done
wait

for row in shift-clean shift-faults; do
    check $row '[ "$(cat s1.rc)" -eq 0 ]' "station s1 ends its six units (exit $(cat $row/s1.rc))"
    check $row 'db_equals_logs .' "the database holds each unit record of the logs exactly once ($(log_ids $row | wc -l) records)"
    check $row '[ "$(db_passed .)" -eq "$(passed_units .)" ]' "its passed units are the stations' passed lines ($(passed_units $row))"
    check $row 'grep -q "imported 0 unit records" import.out' "importing the logs afterwards adds nothing"
    check $row '[ "$(sqlite3 records.db "SELECT topic FROM rejected" | grep -c "^import:.*torn.jsonl$")" -eq 1 ]' "an imported record without a unit record's fields is kept aside"
    check $row '! grep -q "has not stored all" s1.err' "a station whose records were all stored says nothing of the rest"
done
check approval-optional 'grep -q "the line.s collector has not stored all unit records yet" s1.err' "a station ending with records no collector stored says so"
check shift-faults '[ "$(grep -c "\"record\":\"run-start\"" s2.log)" -eq 2 ] && [ "$(passed_units .)" -ge 9 ]' "the killed station was started again and the shift went on"
check shift-clean '[ "$(passed_units .)" -eq 12 ]' "twelve units passed"
for row in approval-none approval-other; do
    check $row '! grep -q " passed " s1.out && ! grep -q "\"record\":\"unit-start\"" s1.log' "no unit is taken"
done
check approval-none 'grep -q "no unit is taken: the line has no approved image" s1.err' "the station says the line has no approval"
check approval-other 'grep -qE "the line.s approved image is other.bin \([0-9A-F]{4} sha256 $(sha256sum ../other.bin | cut -c1-12)\.\.\.\), not this station.s \([0-9A-F]{4} sha256 $(sha256sum ../fw.bin | cut -c1-12)\.\.\.\)" s1.err' "the station names the approved image that differs, and both digests' first 12 digits"
check approval-none 'jq -s -e "any(.[]; .station==\"s1\" and .status.state==\"stopped\" and (.status.why // \"\" | test(\"no approved image\")))" watch.jsonl >/dev/null' "watch shows the held station and why"
check approval-none 'jq -s -e "last(.[] | select(.station==\"s1\")) | .status.state==\"offline\"" watch.jsonl >/dev/null' "watch shows the killed station offline (its last will)"
check approval-optional 'grep -q " passed " s1.out' "--line-without-approval takes the unit"
check approval-changed '[ "$(grep -c " passed " s1.out)" -eq 1 ] && grep -q "no unit is taken: the line.s approved image is other.bin" s1.err' "after the approval changed, the unit in progress ends and no other is taken"
for r in tls/*.result; do
    read -r got want ms text <"$r"
    check tls "[ $got -eq $want ] && grep -qF '$text' $(basename "$r" .result).out $(basename "$r" .result).err && [ $ms -lt 5000 ]" "$(basename "$r" .result): exit $got, says '$text' at once ($ms ms)"
    check tls "[ \$(wc -l <$(basename "$r" .result).err) -le 1 ]" "$(basename "$r" .result): one line on stderr"
done
check tls '[ "$(cat s1.rc)" -eq 0 ] && grep -q " passed " s1.out' "a station joins over TLS with a login from the environment's credentials file"
check bridge '[ "$(cat s1.rc)" -eq 0 ] && db_equals_logs .' "the plant broker's collector gets the line broker's records through the bridge"

check outage '[ "$(grep -c " passed " s1.out)" -eq 3 ]' "the station flashed the units that came while its broker was away ($(grep -c " passed " outage/s1.out))"
check outage '[ "$(cat stop.ms)" -lt 5000 ]' "SIGTERM with the broker away ended the station at once ($(cat outage/stop.ms) ms)"
check outage 'db_equals_logs .' "once the broker was back, the restarted station's records reached the database"
check outage 'grep -q "has not stored all unit records yet" s1.err' "the station said its records wait in the log"
check backlog '[ "$(db_ids . | wc -l)" -eq 3000 ] && diff <(log_ids .) <(db_ids .) >/dev/null' "a backlog of 3000 records arrives whole past the broker's queue of 1000 ($(db_ids backlog | wc -l) stored)"
check backlog '! grep -q "Outgoing messages are being dropped" broker/broker.log' "the broker never had to drop a message: the station keeps few in flight"
check rotate 'grep -q "was cut short" s1.err' "copytruncate is noticed and named"
check rotate '! grep -q "another station named" s1.err s2.err' "a station alone with its name hears no warning of another"
check rotate 'grep -q "renamed away" s2.err && jq -r "select(.record==\"unit-end\") | .result" s2.log | grep -q passed' "a renamed log is followed: the unit after the rename is in the new file"
check rotate 'diff <(cat s?.log s?.log.1 | jq -r "select(.record==\"unit-start\" or .record==\"unit-end\") | .id" | sort -u) <(db_ids .) >/dev/null' "after copytruncate and rename no record is missing ($(db_ids rotate | wc -l) stored)"
check hostile '[ "$(sort alive | tr "\n" " ")" = "collect table watch " ]' "collect and both watches outlive every hostile message"
check hostile '[ "$(sqlite3 records.db "SELECT count(*) FROM unit_records")" -eq 1 ] && [ "$(sqlite3 records.db "SELECT result FROM unit_records WHERE id=\"c1\"")" = passed ]' "only the one unit record is stored, as it came first"
check hostile '[ "$(sqlite3 records.db "SELECT count(*) FROM rejected")" -eq 5 ] && grep -q "1 unit records stored, 0 repeats dropped, 1 conflicts and 4 rejected" collect.out' "the conflict and the four malformed messages are kept aside and counted"
for why in "not valid UTF-8 JSON" "'exit_code' is not an integer" "without 'run'" "larger than 65536 bytes" "a conflict: the record c1"; do
    check hostile "grep -q \"$why\" collect.err && sqlite3 records.db \"SELECT reason FROM rejected\" | grep -q \"$why\"" "kept aside and named: $why"
done
check hostile '! grep -q "$(printf "\033")" table.out && ! grep -q "$(printf "\302\233")" table.out && grep -q "h1" table.out' "watch's table shows the station and no control character it received"
check hostile 'jq -e . watch.jsonl >/dev/null && grep -q "h1" watch.jsonl && grep -q "h2" watch.jsonl' "watch --json writes JSON for each message, invalid UTF-8 too"
check db '[ "$(cat deleted/rc)" -ne 0 ] && grep -q "was deleted" deleted/collect.err' "a deleted database stops the collector and says so"
check db '[ "$(cat locked/rc)" -ne 0 ] && grep -q "locked (another program held it" locked/collect.err' "a locked database is waited for, then named"
check db '[ "$(cat second/rc)" -ne 0 ] && grep -q "another collector stores into .*(process $(cat second/collect.pid) on " second/two.err' "a second collector on one database is refused, naming the first"
check db '[ "$(cat refused/rc)" -ne 0 ] && grep -q "locked" refused/collect.err' "a record the database refused stops the collector with the reason"
check db 'db_equals_logs refused' "the refused record stayed with the station and reached the next collector"
check shared 'db_equals_logs . && [ "$(sqlite3 records.db "SELECT count(*) FROM unit_records WHERE station IS NOT json_extract(json, \"\$.station\")")" -eq 0 ] && [ "$(sqlite3 records.db "SELECT count(*) FROM rejected")" -eq 0 ]' "two stations on one log each send their own records, and no other"
check shared '[ -s shared.log.line-acked.s1 ] && [ -s shared.log.line-acked.s2 ]' "each keeps its own mark"
check shared 'grep -q "another station named s1 is on the line" twin/s1.err s1.err' "a second station of one name is warned of"
check names '[ "$(cat tab.rc)" -eq 2 ] && grep -q "1 to 64 bytes of printable UTF-8 without a space, .*/.*+.*#" tab.err' "a name with a tab is refused with the whole rule"
check names '[ "$(wc -c <long.err)" -lt 400 ]' "a 100,000-character name is cut in the message"
check names '[ "$(cat query.rc)" -eq 2 ] && grep -q "takes no query" query.err' "a URL with a query is refused"
check names '[ "$(jq -s "map(select(.record==\"unit-end\"))[0].duration_ms" flash.log)" -ge 10000 ]' "flash --log records the flash's duration"

echo "line: $failures failed"
[ "$failures" -eq 0 ]
