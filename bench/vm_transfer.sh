#!/bin/sh
# The block transfer of a 1 MiB image through the real kernel: kt3916flash-cli
# against sg_raw (sg3-utils) sending the same START STOP UNIT and 18 block
# writes from files, to the same served device in the same run. Run inside
# the test VM, by hand:
#
#   bash tests/vm/vm_run.sh build-vm/bench bench/vm_transfer.sh
#
# and read build-vm/bench/transfer.txt. Each side runs ROUNDS times; the
# tool's time is from its start event (download mode next) to its last block
# event (the 13 s restart wait is not transfer), sg_raw's the loop of its 19
# commands, a process each, as a script would send them.
set -u
SRC=$(cd "$(dirname "$0")/.." && pwd)
CLI=$SRC/build-native/cli/kt3916flash-cli
EMU=$SRC/build-native/emulator/kt3916flash-emulator
OUT=/tmp/out
ROUNDS=${ROUNDS:-5}
W=/tmp/bench
mkdir -p "$W"

modprobe configfs && mount -t configfs configfs /sys/kernel/config
"$EMU" serve --scenario reboot_ms=100 >"$W/nodes" 2>"$W/server.log" &
server=$!
i=0
while [ ! -s "$W/nodes" ] && [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); done
SG=$(awk '{ print $3 }' "$W/nodes")

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

tool_ms=
raw_ms=
for round in $(seq 1 "$ROUNDS"); do
    "$CLI" --json flash "$W/image.bin" --device "$SG" >"$W/flash.json" 2>/dev/null || echo "tool round $round failed"
    ms=$(jq -s '([.[] | select(.event == "block") | .t_ms] | max) - ([.[] | select(.event == "start") | .t_ms] | min)' "$W/flash.json")
    tool_ms="$tool_ms $ms"
    sleep 1  # the device restarts (100 ms) and answers again
    start=$(now_ms)
    sg_raw_round || echo "sg_raw round $round failed"
    raw_ms="$raw_ms $(($(now_ms) - start))"
    sleep 1
done

median() { echo "$@" | tr ' ' '\n' | grep . | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
{
    echo "rounds: $ROUNDS"
    echo "kt3916flash-cli, start event to last block (ms):$tool_ms; median $(median $tool_ms)"
    echo "sg_raw, START STOP UNIT and 18 writes (ms):$raw_ms; median $(median $raw_ms)"
    echo "ratio tool / sg_raw: $(echo "$(median $tool_ms) $(median $raw_ms)" | awk '{ printf "%.2f", $1 / $2 }')"
} | tee "$OUT/transfer.txt"
kill -TERM $server
wait $server
