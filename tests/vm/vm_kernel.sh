# What the kernel itself sends a held drive, what a killed run leaves in the
# driver, and the emulator's servers beside each other and the kernel's
# timer. Sourced by vm_checks.sh (its helpers serve, node, tool_commands,
# pass and fail); the servers quiet, orphan and lagging run by then.

# The sr driver polls for media events every 250 ms: none of its commands
# (GET EVENT STATUS NOTIFICATION 0x4a, TEST UNIT READY 0x00) may reach the
# device between the first and the last block.
check_no_media_polling() {
    sr=$(node quiet D 2)
    echo 250 >"/sys/block/${sr#/dev/}/events_poll_msecs"
    from=$(($(lines "$OUT/quiet.jsonl") + 1))
    "$CLI" --json flash "$WORK/img1m.bin" --device "$(node quiet D 3)" >"$OUT/no_media_polling.json" 2>&1
    rc=$?
    between=$(tail -n +"$from" "$OUT/quiet.jsonl" | jq -r '.cdb[0:2]' |
        awk '/^fa$/ { if (first) { n += pending }; first = 1; pending = 0; next }
             first && /^(4a|00)$/ { pending++ } END { print n + 0 }')
    polled=$(tail -n +"$from" "$OUT/quiet.jsonl" | jq -r '.cdb[0:2]' | grep -c '^4a$')
    if [ $rc -ne 0 ]; then
        fail no_media_polling "exit $rc: $(tail -n 2 "$OUT/no_media_polling.json")"
    elif [ "$between" -ne 0 ]; then
        fail no_media_polling "$between media polls reached the device between its blocks"
    elif [ "$polled" -eq 0 ]; then
        fail no_media_polling "the kernel never polled the drive: the check proves nothing"
    else
        pass no_media_polling
    fi
}

# A run killed while its block write waits for an answer leaves the command
# queued in the sg driver, which lets the next program have the node at
# once (the kernel releases every hold of a killed process, O_EXCL too): the
# killed run can keep nothing, so it is the next flash that must send
# nothing of its own until the kernel's timer (5 s) has ended the dropped
# block; the device's count of commands in its driver is how it can tell.
# The run is killed as soon as the server has taken block 2 (the dropped
# one), watched with nothing heavier than grep and cat: on a loaded machine
# a slower watch missed the 5 s and killed a run whose block had already
# ended, which proves nothing. A server latency would slow the next flash's
# own opening past the timer and prove nothing either.
check_killed_run_orphan() {
    sg=$(node orphan D 3)
    hctl=$(node orphan D 4)
    from=$(($(lines "$OUT/orphan.jsonl") + 1))
    "$CLI" --json flash "$WORK/img512.bin" --device "$sg" >"$OUT/orphan_first.json" 2>&1 &
    first=$!
    i=0
    until tail -n +"$from" "$OUT/orphan.jsonl" | grep -q '"result":"fail"' || [ $i -gt 3600 ]; do
        sleep 0.05
        i=$((i + 1))
    done
    kill -KILL $first
    wait $first 2>/dev/null
    busy=$(cat "/sys/bus/scsi/devices/$hctl/device_busy")
    next_from=$(($(lines "$OUT/orphan.jsonl") + 1))
    "$CLI" --json flash "$WORK/img512.bin" --device "$sg" >"$OUT/orphan_second.json" 2>&1
    rc=$?
    dropped=$(tail -n +"$from" "$OUT/orphan.jsonl" | jq -r 'select(.cdb[0:2] == "fa" and .result == "fail") | .t_ms' |
        tail -n 1)
    next=$(tail -n +"$next_from" "$OUT/orphan.jsonl" |
        jq -r 'select(.cdb[0:2] | IN("12", "1b", "fa")) | select(.result != "fail") | .t_ms' | head -n 1)
    if [ "$busy" -eq 0 ] || [ -z "$dropped" ]; then
        fail killed_run_orphan "the killed run's block was not in the driver when it was killed (device_busy $busy, dropped at ${dropped:-never})"
    elif [ -n "$next" ] && [ $((next - dropped)) -lt 4500 ]; then
        fail killed_run_orphan "the next flash sent its first command $((next - dropped)) ms after the dropped block, while the block was still queued"
    elif [ $rc -ne 0 ] && [ $rc -ne 11 ]; then
        fail killed_run_orphan "the next flash: exit $rc, expected 0 (the block is dropped once) or 11"
    else
        pass killed_run_orphan
    fi
}

# Commands that queue behind a slow device are answered at their own time,
# never run after the kernel has failed them: with sg_turs loops on the
# device, the tool and the transcript agree on every block.
check_latency_agrees() {
    sr=$(node lagging D 2)
    from=$(($(lines "$OUT/lagging.jsonl") + 1))
    "$CLI" --json flash "$WORK/img512.bin" --device "$(node lagging D 3)" >"$OUT/latency_agrees.json" 2>&1 &
    tool=$!
    # From the download command on, the drive is the tool's.
    i=0
    until tail -n +"$from" "$OUT/lagging.jsonl" | jq -r '.cdb[0:2]' | grep -q '^1b$' || [ $i -gt 1200 ]; do
        sleep 0.1
        i=$((i + 1))
    done
    # The sr driver lets one ioctl through at a time; the device's bsg node
    # lets the loops queue commands side by side, as several initiators do.
    target=/dev/bsg/$(node lagging D 4)
    [ -e "$target" ] || target=$sr
    loops=
    for n in 1 2 3 4 5; do
        (while kill -0 $tool 2>/dev/null; do sg_turs -n 1000 "$target" >/dev/null 2>&1; done) &
        loops="$loops $!"
    done
    wait $tool
    rc=$?
    for loop in $loops; do
        pkill -P "$loop" sg_turs
        wait "$loop"
    done
    served=$(tail -n +"$from" "$OUT/lagging.jsonl" | jq -r 'select(.cdb[0:2] == "fa") | .result' | sort | uniq -c | xargs)
    good=$(tail -n +"$from" "$OUT/lagging.jsonl" | jq -r 'select(.cdb[0:2] == "fa" and .result == "good") | .cdb' | wc -l)
    sent=$(jq -r 'select(.event == "result") | .blocks_sent' "$OUT/latency_agrees.json")
    turs=$(tail -n +"$from" "$OUT/lagging.jsonl" | jq -r '.cdb[0:2]' | grep -c '^00$')
    if [ "$turs" -lt 3 ]; then
        fail latency_agrees "the TEST UNIT READY loops did not reach the device ($turs recorded)"
    elif [ "$good" != "$sent" ]; then
        fail latency_agrees "the tool counts ${sent:-no} blocks sent (exit $rc), the device recorded $good good: $served"
    elif [ $rc -ne 0 ]; then
        fail latency_agrees "exit $rc: $(jq -c 'select(.event == "result")' "$OUT/latency_agrees.json")"
    else
        pass latency_agrees
    fi
}

# Two servers in their own mount and pid namespaces (run alone, after the
# other servers are gone), each with a private
# /run: both see themselves as process 1, neither removes the other's device.
check_namespaced_servers() {
    for name in ns1 ns2; do
        : >"$WORK/$name.nodes"
        unshare --mount --pid --fork --mount-proc sh -c \
            'mount -t tmpfs tmpfs /run && exec "$0" serve --scenario devices=1 --transcript "$1"' \
            "$EMU" "$OUT/$name.jsonl" >>"$WORK/$name.nodes" 2>"$OUT/$name.server.log" &
        echo $! >"$WORK/$name.pid"
        i=0
        while [ ! -s "$WORK/$name.nodes" ] && [ $i -lt 1800 ]; do
            kill -0 "$(cat "$WORK/$name.pid")" 2>/dev/null || break
            sleep 0.1
            i=$((i + 1))
        done
    done
    sleep 2
    why=
    if [ "$(node ns1 D 4)" = "$(node ns2 D 4)" ]; then
        why="; both servers name the same device $(node ns1 D 4): the second took the first one's place"
    fi
    stores=$(ls /sys/kernel/config/target/core/user_3916 2>/dev/null | grep -c '^kt3916_')
    [ "$stores" -eq 2 ] || why="$why; $stores backstores in configfs, expected 2"
    for name in ns1 ns2; do
        hctl=$(node "$name" D 4)
        sg=$(node "$name" D 3)
        if [ -z "$hctl" ]; then
            why="$why; $name did not come up: $(tail -n 2 "$OUT/$name.server.log")"
        elif [ ! -e "/sys/bus/scsi/devices/$hctl" ] || ! sg_inq "$sg" 2>/dev/null | grep -q KTDEV; then
            why="$why; $name's device $hctl ($sg) is gone"
        fi
    done
    # unshare ignores SIGTERM itself: the server (its child) is told.
    for name in ns1 ns2; do
        pkill -TERM -P "$(cat "$WORK/$name.pid")"
        wait "$(cat "$WORK/$name.pid")" 2>/dev/null
    done
    if [ -n "$why" ]; then fail namespaced_servers "${why#; }"; else pass namespaced_servers; fi
}
