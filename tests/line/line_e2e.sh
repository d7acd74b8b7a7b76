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
    wait "$(cat "$dir/s1.pid")"
    echo $? >"$dir/s1.rc"
    wait "$(cat "$dir/s2.pid")"
    echo $? >"$dir/s2.rc"
    sleep 1
    stop "$dir/collect.pid"
    for s in s1 s2; do "$CLI" line collect --db "$dir/records.db" --import "$dir/$s.log" >>"$dir/import.out"; done
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
    local line="mqtts://127.0.0.1:$(cat "$dir/broker/port")/L" row
    # name | options | exit | what stderr says
    while IFS='|' read -r row opts want text; do
        # shellcheck disable=SC2086
        "$CLI" line approve fw.bin --line "$line" $opts >"$dir/$row.out" 2>"$dir/$row.err"
        echo "$? $want $text" >"$dir/$row.result"
    done <<ROWS
right|--line-ca $dir/ca.pem --line-credentials $dir/good.cred|0|approved fw.bin
wrong-ca|--line-ca $dir/wrong.pem --line-credentials $dir/good.cred|1|certificate verify failed
wrong-password|--line-ca $dir/ca.pem --line-credentials $dir/bad.cred|1|refused the login
no-login|--line-ca $dir/ca.pem|1|refused the login
ROWS
    KT3916FLASH_LINE_CREDENTIALS=$dir/good.cred station "$dir" s1 "$line" "D+100" --units 1 --line-ca "$dir/ca.pem"
    wait "$(cat "$dir/s1.pid")"
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
    wait "$(cat "$dir/s1.pid")"
    echo $? >"$dir/s1.rc"
    sleep 2
    stop "$dir/collect.pid"
}

for row in shift-clean approval-none approval-other approval-optional approval-changed tls bridge; do mkdir -p $row; done
shift_row shift-clean &
mkdir -p shift-faults && shift_row shift-faults faults &
for row in approval-none approval-other approval-optional approval-changed; do approval_row $row & done
tls_row tls &
bridge_row bridge &
wait

for row in shift-clean shift-faults; do
    check $row '[ "$(cat s1.rc)" -eq 0 ]' "station s1 ends its six units (exit $(cat $row/s1.rc))"
    check $row 'db_equals_logs .' "the database holds each unit record of the logs exactly once ($(log_ids $row | wc -l) records)"
    check $row '[ "$(db_passed .)" -eq "$(passed_units .)" ]' "its passed units are the stations' passed lines ($(passed_units $row))"
    check $row 'grep -q "imported 0 unit records" import.out' "importing the logs afterwards adds nothing"
done
check shift-faults '[ "$(grep -c "\"record\":\"run-start\"" s2.log)" -eq 2 ] && [ "$(passed_units .)" -ge 9 ]' "the killed station was started again and the shift went on"
check shift-clean '[ "$(passed_units .)" -eq 12 ]' "twelve units passed"
for row in approval-none approval-other; do
    check $row '! grep -q " passed " s1.out && ! grep -q "\"record\":\"unit-start\"" s1.log' "no unit is taken"
done
check approval-none 'grep -q "no unit is taken: the line has no approved image" s1.err' "the station says the line has no approval"
check approval-other 'grep -q "the line.s approved image is other.bin" s1.err' "the station names the approved image that differs"
check approval-none 'jq -s -e "any(.[]; .station==\"s1\" and .status.state==\"stopped\" and (.status.why // \"\" | test(\"no approved image\")))" watch.jsonl >/dev/null' "watch shows the held station and why"
check approval-none 'jq -s -e "last(.[] | select(.station==\"s1\")) | .status.state==\"offline\"" watch.jsonl >/dev/null' "watch shows the killed station offline (its last will)"
check approval-optional 'grep -q " passed " s1.out' "--line-without-approval takes the unit"
check approval-changed '[ "$(grep -c " passed " s1.out)" -eq 1 ] && grep -q "no unit is taken: the line.s approved image is other.bin" s1.err' "after the approval changed, the unit in progress ends and no other is taken"
for r in tls/*.result; do
    read -r got want text <"$r"
    check tls "[ $got -eq $want ] && grep -q '$text' $(basename "$r" .result).out $(basename "$r" .result).err" "$(basename "$r" .result): exit $got, says '$text'"
    check tls "[ \$(wc -l <$(basename "$r" .result).err) -le 1 ]" "$(basename "$r" .result): one line on stderr"
done
check tls '[ "$(cat s1.rc)" -eq 0 ] && grep -q " passed " s1.out' "a station joins over TLS with a login from the environment's credentials file"
check bridge '[ "$(cat s1.rc)" -eq 0 ] && db_equals_logs .' "the plant broker's collector gets the line broker's records through the bridge"

echo "line: $failures failed"
[ "$failures" -eq 0 ]
