#!/usr/bin/env bash
# Ctrl-C (SIGINT) on the real kt3916flash-cli: held while the blocks go out,
# immediate while the device restarts; outputs that could block it before
# its first device command, out of reach of Ctrl-C: a --log or --transcript
# FIFO nobody reads is refused at once (exit 2), one with a reader gets every
# line; outputs whose reader stops reading never hold a device; nohup and
# SIGQUIT. Real time, about a minute.
set -u
# Job control: a background job of a script would start with SIGINT ignored,
# and the tool keeps a signal ignored at its start.
set -m
cli=$1
work=$2
mkdir -p "$work" && cd "$work" || exit 1
seq 1 200000 | head -c 524288 >img512.bin
failures=0

# wait_for PID FILE PATTERN [COUNT]: until FILE holds COUNT (1) lines matching
# PATTERN, at most a minute and no longer than PID runs. Signals go at a step
# of the flash rather than at a time on the wall clock, which a slow machine
# (a sanitizer build beside other builds) would move. The file is removed before the run starts: the
# shell may come here before the program's own redirection has emptied it.
wait_for() {
    local i running
    for i in $(seq 600); do
        running=0
        kill -0 "$1" 2>/dev/null && running=1
        [ "$(grep -c -- "$3" "$2" 2>/dev/null)" -ge "${4:-1}" ] && return 0
        [ "$running" = 1 ] || break
        sleep 0.1
    done
    echo "FAIL: $2 never held ${4:-1} line(s) matching $3"
    failures=$((failures + 1))
    return 1
}
BLOCK='"event":"block"'

# run SCENARIO COUNT: starts a flash, sends SIGINT once COUNT blocks went
# out, leaves the exit code in $status and the output in out.txt / err.txt.
run() {
    rm -f out.txt
    "$cli" "--emulate=$1" --json flash img512.bin >out.txt 2>err.txt </dev/null &
    local pid=$!
    wait_for "$pid" out.txt "$BLOCK" "$2"
    kill -INT "$pid"
    wait "$pid"
    status=$?
}

check() {
    if ! eval "$1"; then
        echo "FAIL: $2"
        sed 's/^/  | /' err.txt
        failures=$((failures + 1))
    else
        echo "ok: $2"
    fi
}

# Blocks of 300 ms each: SIGINT after the first lands mid-transfer.
run latency_ms=300 1
check '[ "$status" -eq 130 ]' "mid-transfer interrupt exits 130 (got $status)"
check '[ "$(grep -c "\"event\":\"block\"" out.txt)" -eq 9 ]' "every block still went out"
check 'grep -q "\"event\":\"interrupt\".*held until the transfer ends" out.txt' "the hold is announced"
check 'grep -q "the whole image was sent" out.txt' "the result says the image was sent whole"

# During the restart wait: stops at once, with the warning.
start=$SECONDS
run "" 9
check '[ "$status" -eq 130 ]' "interrupt in the verify wait exits 130 (got $status)"
check '[ $((SECONDS - start)) -lt 6 ]' "it stops at once instead of waiting for the device"
check 'grep -q "may still be updating" out.txt' "the result warns that the device may still be updating"

# SIGTERM while the first survey waits on a slow INQUIRY: the tool's own
# answer, not the default end with status 143. The INQUIRY takes 4 s, so
# the signal at 2 s is inside it even when a loaded machine starts the tool
# late.
"$cli" --emulate=latency_ms=4000 flash img512.bin >out.txt 2>err.txt </dev/null &
pid=$!
sleep 2
kill -TERM "$pid"
wait "$pid"
status=$?
check '[ "$status" -eq 130 ]' "SIGTERM during the survey exits 130 (got $status)"
check 'grep -q "interrupted before the transfer started: nothing was written" err.txt' "it says nothing was written"

# Ctrl-C while a block command takes 1.5 s is announced before that command
# returns.
rm -f out.txt
"$cli" --emulate=latency_ms=1500 --json flash img512.bin >out.txt 2>err.txt </dev/null &
pid=$!
wait_for "$pid" out.txt "$BLOCK"
kill -INT "$pid"
sleep 0.6
check 'grep -q "\"event\":\"interrupt\"" out.txt' "the hold is announced while the command runs"
kill -KILL "$pid" 2>/dev/null
wait "$pid" 2>/dev/null

# A reader that goes away early (| head) must not cut the transfer short.
: >transcript.jsonl
"$cli" --emulate=latency_ms=200 --transcript transcript.jsonl --json flash img512.bin \
    > >(head -c 1 >/dev/null) 2>err.txt </dev/null &
pid=$!
wait_for "$pid" transcript.jsonl '"cdb":"fa'
kill -INT "$pid" 2>/dev/null
wait "$pid"
status=$?
check '[ "$(grep -c "\"cdb\":\"fa" transcript.jsonl)" -eq 9 ]' "a closed stdout leaves the transfer whole (exit $status)"

# An output FIFO with no reader: each run is bounded by timeout, so a hang
# fails the check instead of the suite.
rm -f log.fifo
mkfifo log.fifo
for option in --log --transcript; do
    timeout 10 "$cli" --emulate=reboot_ms=100 "$option" log.fifo flash img512.bin >out.txt 2>err.txt </dev/null
    status=$?
    check '[ "$status" -eq 2 ]' "$option on a FIFO nobody reads exits 2 at once (got $status; 124 is a hang)"
    check 'grep -q "a FIFO that nobody reads" err.txt' "$option on a FIFO nobody reads says so"
done

# With a reader the FIFO is taken and gets every command, as a file would.
cat log.fifo >read.txt &
reader=$!
timeout 60 "$cli" --emulate=reboot_ms=100 --log log.fifo --poll-window 13..14 flash img512.bin >out.txt 2>err.txt \
    </dev/null
status=$?
# A reader still waiting for a writer (the tool never opened the FIFO) gets
# its end of file here; a nonblocking open fails at once when nobody reads.
dd of=log.fifo oflag=nonblock conv=notrunc count=0 2>/dev/null
wait "$reader"
check '[ "$status" -eq 0 ]' "--log on a FIFO with a reader flashes (got $status)"
check '[ "$(grep -c "\"cdb\":\"fa" read.txt)" -eq 9 ]' "the reader gets every block write"

# A reader that never reads holds no device: the transfers run on their
# schedule, the tool then waits for the reader, and a signal ends that wait
# with the loss named and exit 1.
unread() {
    rm -f transcript.jsonl
    result=$(python3 "$(dirname "${BASH_SOURCE[0]}")/unread_output.py" "$@")
}
unread stdout transcript.jsonl 72 SIGTERM "$cli" --emulate=devices=8,reboot_ms=500 --transcript transcript.jsonl \
    --poll-window 13..14 --json flash --all img512.bin
check '[ "$result" = "blocks 72 alive 1 exit 1" ]' "--all --json into a pipe nobody reads: $result"
check 'grep -q "standard output was not read to its end: [0-9]* bytes" err.txt' "what was not written is named"
rm -f log.fifo && mkfifo log.fifo
unread fifo:log.fifo transcript.jsonl 9 SIGINT "$cli" --emulate=reboot_ms=500 --transcript transcript.jsonl \
    --log log.fifo --poll-window 13..14 station img512.bin --expect-identity "KTDEV KT3916 FLASHER" --units 1
check '[ "$result" = "blocks 9 alive 1 exit 1" ]' "a station whose log FIFO is not read: $result"

# A signal ignored at the start stays ignored (nohup); SIGQUIT is held
# through a transfer like Ctrl-C.
rm -f out.txt
(trap '' HUP && exec "$cli" --emulate=latency_ms=300 --json flash img512.bin >out.txt 2>err.txt </dev/null) &
pid=$!
wait_for "$pid" out.txt "$BLOCK"
kill -HUP "$pid"
sleep 0.5
check '! grep -q "\"event\":\"interrupt\"" out.txt' "SIGHUP under nohup is ignored"
kill -QUIT "$pid"
wait "$pid"
status=$?
check '[ "$status" -eq 130 ]' "SIGQUIT is held until the transfer ends (got $status)"
check '[ "$(grep -c "\"event\":\"block\"" out.txt)" -eq 9 ]' "every block went out despite SIGQUIT"

echo "signals: $failures failure(s)"
[ "$failures" -eq 0 ]
