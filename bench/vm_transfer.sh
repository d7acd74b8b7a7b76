#!/bin/sh
# The block transfer of a 1 MiB image through the real kernel, inside the test
# VM, by hand:
#
#   bash tests/vm/vm_run.sh build-vm/bench bench/vm_transfer.sh
#
# then read build-vm/bench/transfer.txt. Needs build-native configured with
# -DKT_BUILD_BENCH=ON (for kt3916flash-sg-loop). One server serves four
# devices; ROUNDS interleaved rounds each time:
#   tool     kt3916flash-cli on the first device, from its start event (download
#            mode next) to its last block event: the 13 s restart wait is not
#            transfer
#   loop     kt3916flash-sg-loop: one process sending the same START STOP UNIT
#            and 18 block writes, one SG_IO each, timed around the commands
#   sg_raw   the same 19 commands from files, a process each, as a script would
#   --all    kt3916flash-cli --all over the four devices: from the first start
#            event to the last block event of any device
#   loop x4  four kt3916flash-sg-loop at once, one per device, started on the
#            same millisecond: first command to last answer of any
# and reports tool / loop (goal 1.10 or less) and --all / tool (goal 1.05 or
# less) next to its floor, loop x4 / loop: what the kernel and the server
# alone cost when four devices share this machine's CPUs.
set -u
SRC=$(cd "$(dirname "$0")/.." && pwd)
CLI=$SRC/build-native/cli/kt3916flash-cli
EMU=$SRC/build-native/emulator/kt3916flash-emulator
LOOP=$SRC/build-native/bench/kt3916flash-sg-loop
OUT=/tmp/out
ROUNDS=${ROUNDS:-7}
W=/tmp/bench
mkdir -p "$W"

modprobe configfs && mount -t configfs configfs /sys/kernel/config
"$EMU" serve --scenario reboot_ms=100,devices=4 >"$W/nodes" 2>"$W/server.log" &
server=$!
i=0
while [ "$(wc -l <"$W/nodes")" -lt 4 ] && [ $i -lt 1200 ]; do sleep 0.1; i=$((i + 1)); done
SG=$(awk 'NR == 1 { print $3 }' "$W/nodes")

head -c 1048576 /dev/urandom >"$W/image.bin"
SUM=$(od -An -v -tu1 "$W/image.bin" | awk '{ for (i = 1; i <= NF; i++) s += $i } END { printf "%04x", s % 65536 }')
# 17 whole blocks and a final one with the last 4 KiB (marker 4).
for n in $(seq 0 16); do
    dd if="$W/image.bin" of="$W/block$n" bs=61440 skip=$n count=1 2>/dev/null
done
dd if="$W/image.bin" of="$W/block17" bs=4096 skip=255 count=1 2>/dev/null
truncate -s 61440 "$W/block17"
ck_hi=$(echo "$SUM" | cut -c1-2)
ck_lo=$(echo "$SUM" | cut -c3-4)

now_ms() { date +%s%3N; }

sg_raw_round() {
    sg_raw -R -r 512 "$SG" 1b 00 00 00 02 00 00 00 00 00 00 00 >/dev/null 2>&1 || return 1
    for n in $(seq 0 17); do
        if [ $n -eq 0 ]; then flag=00 marker=00; elif [ $n -eq 17 ]; then flag=01 marker=04; else flag=00 marker=ff; fi
        sg_raw -s 61440 -i "$W/block$n" "$SG" fa 00 00 $flag 00 $marker $ck_hi $ck_lo 00 00 00 00 \
            >/dev/null 2>&1 || return 1
    done
}

# The transfer window of a --json run: first start event to last block event.
window_ms() {
    jq -s '([.[] | select(.event == "block") | .t_ms] | max) - ([.[] | select(.event == "start") | .t_ms] | min)' "$1"
}

tool_ms=
loop_ms=
raw_ms=
all_ms=
loop4_ms=
# Four loops released together; the window on their common wall clock.
loop4_round() {
    at=$(($(now_ms) + 1500))
    pids=
    for sg in $(awk '{ print $3 }' "$W/nodes"); do
        "$LOOP" "$sg" "$W/image.bin" "$at" >"$W/loop4.$(basename "$sg")" &
        pids="$pids $!"
    done
    wait $pids || return 1
    cat "$W"/loop4.* | awk 'NR == 1 || $2 < s { s = $2 } NR == 1 || $3 > e { e = $3 } END { printf "%.1f", e - s }'
}

for round in $(seq 1 "$ROUNDS"); do
    "$CLI" --json flash "$W/image.bin" --device "$SG" >"$W/flash.json" 2>/dev/null || echo "tool round $round failed"
    tool_ms="$tool_ms $(window_ms "$W/flash.json")"
    sleep 1  # the device restarts (100 ms) and answers again
    loop_ms="$loop_ms $("$LOOP" "$SG" "$W/image.bin" || echo "loop round $round failed" >&2)"
    sleep 1
    start=$(now_ms)
    sg_raw_round || echo "sg_raw round $round failed"
    raw_ms="$raw_ms $(($(now_ms) - start))"
    sleep 1
    "$CLI" --json flash "$W/image.bin" --all >"$W/all.json" 2>/dev/null || echo "--all round $round failed"
    [ "$(jq -s '[.[] | select(.event == "start")] | length' "$W/all.json")" -eq 4 ] ||
        echo "--all round $round did not start four transfers"
    all_ms="$all_ms $(window_ms "$W/all.json")"
    sleep 1
    loop4_ms="$loop4_ms $(loop4_round || echo "loop x4 round $round failed" >&2)"
    sleep 1
done

# The system calls on the generic node during one flash (strace, every
# thread): per command queued, the exchange needs one write() and one read(),
# and a poll() while the answer is not there yet.
strace -f -qq -e trace=openat,ioctl,write,read,poll,ppoll -o "$W/strace.txt" \
    "$CLI" --json flash "$W/image.bin" --device "$SG" >/dev/null 2>&1 || echo "traced flash failed"
calls=$(awk -v node="$SG" '
    index($0, "openat(") && index($0, "\"" node "\"") { split($0, r, "= "); fd = r[2] + 0 }
    fd && match($0, /(ioctl|write|read|poll|ppoll)\(\[?\{?(fd=)?[0-9]+/) {
        call = substr($0, RSTART, RLENGTH); name = call; sub(/\(.*/, "", name)
        n = call; gsub(/[^0-9]/, "", n)
        if (n + 0 == fd) count[name]++
    }
    END { for (c in count) printf "%s %d, ", c, count[c] }' "$W/strace.txt")

# SHA-256 speed in this guest (the tool hashes each image twice).
sha=$("$SRC/build-native/bench/kt_bench" --benchmark_filter=BM_Sha256Of1M --benchmark_min_time=0.5 2>/dev/null |
    awk '/^BM_Sha256Of1M/ { $2 = $3 = $4 = $5 = $6 = ""; gsub(/ +/, " "); printf "%s; ", $0 }')

median() { echo "$@" | tr ' ' '\n' | grep . | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { echo "$1 $2" | awk '{ printf "%.2f", $1 / $2 }'; }
{
    echo "rounds: $ROUNDS; $(nproc) CPUs; SHA instructions: $(grep -q -w sha_ni /proc/cpuinfo && echo yes || echo no)"
    echo "kt3916flash-cli, start event to last block (ms):$tool_ms; median $(median $tool_ms)"
    echo "kt3916flash-sg-loop, one SG_IO a command (ms):$loop_ms; median $(median $loop_ms)"
    echo "sg_raw, START STOP UNIT and 18 writes (ms):$raw_ms; median $(median $raw_ms)"
    echo "kt3916flash-cli --all, four devices (ms):$all_ms; median $(median $all_ms)"
    echo "kt3916flash-sg-loop x4, four devices at once (ms):$loop4_ms; median $(median $loop4_ms)"
    echo "ratio tool / loop: $(ratio "$(median $tool_ms)" "$(median $loop_ms)")"
    echo "ratio tool / sg_raw: $(ratio "$(median $tool_ms)" "$(median $raw_ms)")"
    echo "ratio --all over four / one: $(ratio "$(median $all_ms)" "$(median $tool_ms)")"
    echo "floor, loop x4 / loop: $(ratio "$(median $loop4_ms)" "$(median $loop_ms)")"
    echo "SHA-256 of 1 MiB: $sha"
    echo "system calls on $SG during one flash (survey, 19 transfer commands, polls): $calls"
} | tee "$OUT/transfer.txt"
kill -TERM $server
wait $server
