#!/bin/sh
# End-to-end checks against the real kernel, run inside the test VM by
# vm_run.sh: KT3916 devices served by kt3916flash-emulator (LIO tcm_loop and
# a user backstore) and a plain CD-ROM-class device (scsi_debug), reached by
# kt3916flash-cli through the sg driver and by KT3916Flash.exe through Wine.
#
#   vm_checks.sh       (the source tree is two levels up; its build trees
#                       build-native and build-win hold the programs)
#
# Results go to /tmp/out (the writable share): results.txt has one line per
# check, "PASS name" or "FAIL name: why"; each check leaves its output and
# transcripts beside it. Independent checks run at once: every flash waits
# at least 13 s for the device's restart by design.
set -u
SRC=$(cd "$(dirname "$0")/../.." && pwd)
B=$SRC/build-native
W=$SRC/build-win
CLI=$B/cli/kt3916flash-cli
EMU=$B/emulator/kt3916flash-emulator
OUT=/tmp/out
RESULTS=$OUT/results.txt
WORK=/tmp/vm-work
mkdir -p "$WORK"
: >"$RESULTS"
export PATH=/usr/sbin:/usr/bin:/sbin:/bin

pass() { printf "PASS %s\n" "$1" >>"$RESULTS"; }
fail() { printf "FAIL %s: %s\n" "$1" "$2" >>"$RESULTS"; }

# The kernel side: configfs for the target, and the plain drive.
modprobe configfs && mount -t configfs configfs /sys/kernel/config
modprobe scsi_debug ptype=5 inq_vendor=OTHERCO inq_product=DVD-ROM-X inq_rev=2.00 ||
    fail setup "scsi_debug could not be loaded"

# serve NAME SCENARIO: starts a server with the transcript $OUT/NAME.jsonl and
# waits (up to 3 minutes: a loaded machine slows the emulated kernel) for its
# node lines in $WORK/NAME.nodes ("D: /dev/srN /dev/sgN H:C:T:L").
serve() {
    name=$1 scenario=$2
    count=$(echo "$scenario" | sed -n 's/.*devices=\([0-9]*\).*/\1/p')
    # Made here: the server's own redirection may come after the first look.
    : >"$WORK/$name.nodes"
    "$EMU" serve --scenario "$scenario" --transcript "$OUT/$name.jsonl" \
        >>"$WORK/$name.nodes" 2>"$OUT/$name.server.log" &
    echo $! >"$WORK/$name.pid"
    i=0
    while [ "$(wc -l <"$WORK/$name.nodes")" -lt "${count:-1}" ] && [ $i -lt 1800 ]; do
        kill -0 "$(cat "$WORK/$name.pid")" 2>/dev/null || break
        sleep 0.1
        i=$((i + 1))
    done
    [ "$(wc -l <"$WORK/$name.nodes")" -ge "${count:-1}" ]
}

# node NAME LETTER COLUMN: 2 the block node, 3 the generic node, 4 H:C:T:L.
node() { awk -v d="$2:" -v c="$3" '$1 == d { print $c }' "$WORK/$1.nodes"; }

# tool_commands TRANSCRIPT DRIVE [FIRST_LINE]: the device's own commands
# (INQUIRY, START STOP UNIT, block writes) from the line on, one per line:
# CDB, direction, length, result, sense and data digest.
tool_commands() {
    tail -n +"${3:-1}" "$1" | jq -r --arg d "$2" \
        'select(.drive == $d and (.cdb[0:2] | IN("12", "1b", "fa")))
         | [.cdb, .dir, .len, .result, .sense, (.data_sha256 // "-")] | join(" ")'
}

# reference NAME SCENARIO IMAGE: the commands the same flash sends to the
# in-process emulated device, the behaviour the served device must match.
reference() {
    "$CLI" --emulate="$2" --transcript "$WORK/$1.ref.jsonl" flash "$3" --device D: \
        >/dev/null 2>&1
    tool_commands "$WORK/$1.ref.jsonl" D
}

# same_as_reference NAME TRANSCRIPT DRIVE FIRST_LINE SCENARIO IMAGE
# The comparison starts at START STOP UNIT: before it, the reference run
# checks its transcript file with one more INQUIRY, and the desktop
# program's survey of all drives asks once more than the CLI's of one drive.
same_as_reference() {
    from_download() { sed -n '/^1b/,$p'; }
    tool_commands "$2" "$3" "$4" | from_download >"$WORK/$1.served.cmds"
    reference "$1" "$5" "$6" | from_download >"$WORK/$1.ref.cmds"
    if ! [ -s "$WORK/$1.served.cmds" ]; then
        echo "the server recorded none of the tool's commands"
    elif ! diff "$WORK/$1.ref.cmds" "$WORK/$1.served.cmds" >"$WORK/$1.diff"; then
        echo "the served device received other commands than the emulated one: $(head -c 600 "$WORK/$1.diff")"
    fi
}

lines() { wc -l <"$1"; }

. "$(dirname "$0")/vm_sg3.sh"
. "$(dirname "$0")/vm_wine.sh"
. "$(dirname "$0")/vm_kernel.sh"

# Another program's loopback target in the WWN family the servers use, with
# a ramdisk LUN; 0xabcdef is no running process. Made before any server
# starts, so that every start and stop below could take it.
FOREIGN_WWN=naa.5001405abcdef012
FOREIGN_LUN=/sys/kernel/config/target/loopback/$FOREIGN_WWN/tpgt_1/lun/lun_0
make_foreign_target() {
    core=/sys/kernel/config/target/core/rd_mcp_77/disk0
    modprobe -a target_core_mod tcm_loop && mkdir -p "$core" && echo rd_pages=256 >"$core/control" &&
        echo 1 >"$core/enable" &&
        mkdir -p "$(dirname "$FOREIGN_LUN")" &&
        echo naa.5001405abcdef999 >"/sys/kernel/config/target/loopback/$FOREIGN_WWN/tpgt_1/nexus" &&
        mkdir "$FOREIGN_LUN" && ln -s "$core" "$FOREIGN_LUN/disk0"
}

check_foreign_target() {
    if [ -L "$FOREIGN_LUN/disk0" ]; then
        pass foreign_target
    else
        fail foreign_target "another program's loopback target $FOREIGN_WWN lost its LUN: $(ls \
            /sys/kernel/config/target/loopback 2>&1 | xargs)"
    fi
    rm -f "$FOREIGN_LUN/disk0"
    rmdir "$FOREIGN_LUN" "$(dirname "$(dirname "$FOREIGN_LUN")")" "/sys/kernel/config/target/loopback/$FOREIGN_WWN" \
        /sys/kernel/config/target/core/rd_mcp_77/disk0 /sys/kernel/config/target/core/rd_mcp_77 2>/dev/null
}

# The final block is dropped while the CD-ROM driver is asked to test the
# unit, as udev and desktop pollers do: the run fails, the dropped block is
# never answered as a success.
check_drop_polled() {
    sr=$(node polled D 2)
    "$CLI" --json flash "$WORK/img512.bin" --device "$(node polled D 3)" >"$OUT/drop_polled.json" 2>&1 &
    tool=$!
    i=0
    until tool_commands "$OUT/polled.jsonl" D | grep -q '^fa.* fail ' || [ $i -gt 1200 ]; do
        sleep 0.1
        i=$((i + 1))
    done
    sg_turs "$sr" >/dev/null 2>&1
    sleep 0.5
    sg_turs "$sr" >/dev/null 2>&1
    wait $tool
    rc=$?
    turs=$(jq -r '.cdb[0:2] + " " + .result' "$OUT/polled.jsonl" |
        awk '/^fa fail/ { dropped = 1; next } dropped && /^00 / { n++ } END { print n + 0 }')
    if [ $rc -ne 6 ]; then
        fail drop_polled "exit $rc, expected 6: $(grep '"result"' "$OUT/drop_polled.json")"
    elif [ "$turs" -lt 2 ]; then
        fail drop_polled "the TEST UNIT READY commands did not reach the device during the hold ($turs recorded)"
    else
        pass drop_polled
    fi
}

head -c 524288 /dev/urandom >"$WORK/img512.bin"
head -c 1048576 /dev/urandom >"$WORK/img1m.bin"
chmod 644 "$WORK"/img*.bin

make_foreign_target || fail setup "the foreign loopback target could not be made"
serve main devices=5 || fail setup "the server of five devices did not come up: $(cat "$OUT/main.server.log")"
serve failing fail_block=3 || fail setup "the fail_block server did not come up"
serve silent never_return=1 || fail setup "the never_return server did not come up"
serve slow reboot_ms=15500 || fail setup "the slow restart server did not come up"
serve dropping drop_block=2 || fail setup "the drop_block server did not come up"
serve held devices=1 || fail setup "the server for the exclusive-use checks did not come up"
serve polled drop_block=8 || fail setup "the polled drop_block server did not come up"
serve paused latency_ms=1500 || fail setup "the latency_ms server did not come up"
serve wine devices=3 || fail setup "the server of the Wine drives did not come up"
serve quiet devices=1 || fail setup "the media polling server did not come up"
serve orphan drop_block=2 || fail setup "the killed-run server did not come up"
serve lagging latency_ms=1500 || fail setup "the sg_turs latency server did not come up"
serve replugged replug_ms=14000 || fail setup "the replug_ms server did not come up"
serve moved replug_ms=14000,replug_elsewhere=1 || fail setup "the replug_elsewhere server did not come up"
serve unread devices=1 || fail setup "the server for the unread output did not come up"
PLAIN=$(for d in /sys/bus/scsi/devices/*; do
    grep -q "^OTHERCO" "$d/vendor" 2>/dev/null && ls "$d/scsi_generic"
done | head -n 1)
PLAIN_SR=$(ls "/sys/class/scsi_generic/$PLAIN/device/block" 2>/dev/null | head -n 1)

# a) list: the served KT3916 and the plain drive, each with its identity and node.
check_list() {
    "$CLI" list >"$OUT/list.txt" 2>&1
    rc=$?
    kt=$(node main D 3)
    if [ $rc -ne 0 ]; then
        fail list "exit $rc: $(cat "$OUT/list.txt")"
    elif ! grep -Eq "^[0-9]+ +[D-Z]: +$kt +KTDEV +KT3916 FLASHER +1\.00\$" "$OUT/list.txt"; then
        fail list "no KT3916 line for $kt: $(cat "$OUT/list.txt")"
    elif ! grep -Eq "^[0-9]+ +[D-Z]: +/dev/$PLAIN +OTHERCO +DVD-ROM-X +2\.00\$" "$OUT/list.txt"; then
        fail list "no line for the plain drive /dev/$PLAIN: $(cat "$OUT/list.txt")"
    else
        pass list
    fi
}

# b) flash by --device through the generic node (512 KiB, then 1 MiB) and once
# by the block node's name; the server saw exactly the emulated sequence.
check_flash() {
    name=$1 letter=$2 column=$3 image=$4
    dev=$(node main "$letter" "$column")
    from=$(($(lines "$OUT/main.jsonl") + 1))
    "$CLI" --json flash "$image" --device "$dev" >"$OUT/$name.json" 2>"$OUT/$name.err"
    rc=$?
    if [ $rc -ne 0 ]; then
        fail "$name" "exit $rc through $dev: $(tail -n 3 "$OUT/$name.err")"
        return
    fi
    why=$(same_as_reference "$name" "$OUT/main.jsonl" "$letter" "$from" "" "$image")
    if [ -n "$why" ]; then fail "$name" "$why"; else pass "$name"; fi
}

# A --json reader that never reads holds no device: the nine blocks reach
# the served device, the tool then waits for its reader, and SIGTERM ends
# that wait (exit 1, the loss named).
check_unread_output() {
    result=$(cd "$WORK" && python3 "$SRC/tests/cli/unread_output.py" stdout "$OUT/unread.jsonl" 9 SIGTERM \
        "$CLI" --json flash "$WORK/img512.bin" --device "$(node unread D 3)" 2>&1)
    cp "$WORK/err.txt" "$OUT/unread_output.err" 2>/dev/null
    if [ "$result" != "blocks 9 alive 1 exit 1" ]; then
        fail unread_output "$result: $(tail -n 2 "$OUT/unread_output.err")"
    elif ! grep -q "standard output was not read to its end" "$OUT/unread_output.err"; then
        fail unread_output "the loss was not named: $(tail -n 2 "$OUT/unread_output.err")"
    else
        pass unread_output
    fi
}

check_flash_sequence() {
    check_flash flash_sg_512k D 3 "$WORK/img512.bin"
    check_flash flash_sg_1m D 3 "$WORK/img1m.bin"
}

# c) the plain drive refuses the vendor block write: a part-way failure with
# the device's sense, and nothing sent after the refused block.
check_plain_drive() {
    "$CLI" --json flash "$WORK/img512.bin" --device "/dev/$PLAIN" >"$OUT/plain.json" 2>"$OUT/plain.err"
    rc=$?
    result=$(jq -c 'select(.event == "result")' "$OUT/plain.json")
    blocks=$(jq -s '[.[] | select(.event == "block")] | length' "$OUT/plain.json")
    if [ $rc -ne 6 ]; then
        fail plain_drive "exit $rc, expected 6: $result"
    elif [ "$blocks" -ne 0 ] || [ "$(echo "$result" | jq .blocks_sent)" -ne 0 ]; then
        fail plain_drive "blocks went out after the refused one: $result"
    elif ! echo "$result" | grep -q '05/20/00'; then
        fail plain_drive "the sense (ILLEGAL REQUEST, 05/20/00) is not reported: $result"
    else
        pass plain_drive
    fi
}

# d) faults through the kernel.
check_fail_block() {
    "$CLI" --json flash "$WORK/img512.bin" --device "$(node failing D 3)" >"$OUT/fail_block.json" 2>&1
    rc=$?
    blocks=$(tool_commands "$OUT/failing.jsonl" D | grep -c '^fa')
    last=$(tool_commands "$OUT/failing.jsonl" D | tail -n 1)
    if [ $rc -ne 6 ]; then
        fail fail_block "exit $rc, expected 6"
    elif [ "$blocks" -ne 4 ] || ! echo "$last" | grep -q '^fa.* check 052400 '; then
        fail fail_block "expected 4 block writes, the last refused with 05/24/00; got $blocks, last: $last"
    else
        pass fail_block
    fi
}

check_never_return() {
    "$CLI" --json flash "$WORK/img512.bin" --device "$(node silent D 3)" >"$OUT/never_return.json" 2>&1
    rc=$?
    polls=$(tool_commands "$OUT/silent.jsonl" D | awk '/^fa/ { n = 0; next } /^12/ { n++ } END { print n }')
    becoming=$(tool_commands "$OUT/silent.jsonl" D | awk '/^fa/ { n = 0; next } /^12.* check 020401 / { n++ } END { print n }')
    if [ $rc -ne 7 ]; then
        fail never_return "exit $rc, expected 7"
    elif [ "$polls" -ne 9 ] || [ "$becoming" -ne 9 ]; then
        fail never_return "expected 9 INQUIRY polls answered NOT READY 04/01; got $polls polls, $becoming so answered"
    else
        pass never_return
    fi
}

# A block the device never answers: the kernel's command timer ends it, and
# the tool stops there with a part-way failure.
check_drop_block() {
    "$CLI" --json flash "$WORK/img512.bin" --device "$(node dropping D 3)" >"$OUT/drop_block.json" 2>&1
    rc=$?
    after=$(tool_commands "$OUT/dropping.jsonl" D | awk '/^fa.* fail / { n = 0; dropped = 1; next } dropped && /^fa/ { n++ } END { print n + 0 }')
    if [ $rc -ne 6 ]; then
        fail drop_block "exit $rc, expected 6: $(grep '"result"' "$OUT/drop_block.json")"
    elif [ "$(tool_commands "$OUT/dropping.jsonl" D | grep -c '^fa')" -ne 3 ] || [ "$after" -ne 0 ]; then
        fail drop_block "expected 3 block writes, the last unanswered, nothing after it"
    else
        pass drop_block
    fi
}

check_slow_restart() {
    "$CLI" --json flash "$WORK/img512.bin" --device "$(node slow D 3)" >"$OUT/slow_restart.json" 2>&1
    rc=$?
    polls=$(tool_commands "$OUT/slow.jsonl" D | awk '/^fa/ { s = "" ; next } /^12/ { s = s $4 "," } END { print s }')
    if [ $rc -ne 0 ]; then
        fail slow_restart "exit $rc, expected 0"
    elif [ "$polls" != "check,check,check,good," ]; then
        fail slow_restart "INQUIRY polls after the image were $polls, expected three refused, then good"
    else
        pass slow_restart
    fi
}

check_flash_by_block_node() {
    check_flash flash_sr_1m E 2 "$WORK/img1m.bin"
}

# A unit that drops off the bus for its restart and re-enumerates under a new
# LUN of its target is followed there: the polls go on through its new nodes.
# One that comes back on another target (another SCSI host) is not followed.
check_replug() {
    name=$1 server=$2 scenario=$3
    from=$(($(lines "$OUT/$server.jsonl") + 1))
    "$CLI" --json flash "$WORK/img512.bin" --device "$(node "$server" D 3)" >"$OUT/$name.json" 2>"$OUT/$name.err"
    rc=$?
    result=$(jq -c 'select(.event == "result")' "$OUT/$name.json")
    first=$(jq -s '[.[] | select(.event == "tick" and .answered)][0].tick // 0' "$OUT/$name.json")
    tool_commands "$OUT/$server.jsonl" D "$from" | grep '^fa' >"$WORK/$name.served.fa"
    reference "$name" "$scenario" "$WORK/img512.bin" | grep '^fa' >"$WORK/$name.ref.fa"
    if ! grep -q 'left the bus' "$OUT/$server.server.log" || ! grep -q 'is back' "$OUT/$server.server.log"; then
        fail "$name" "the server did not take the unit off the bus and back: $(tail -n 3 "$OUT/$server.server.log")"
    elif ! diff -q "$WORK/$name.ref.fa" "$WORK/$name.served.fa" >/dev/null || ! [ -s "$WORK/$name.ref.fa" ]; then
        fail "$name" "the block writes differ from the emulated device's"
    elif [ "$name" = replug ]; then
        if [ $rc -ne 0 ] || [ "$(echo "$result" | jq -r .new_revision)" != 1.10 ]; then
            fail replug "exit $rc, expected 0 with revision 1.10: $result"
        elif [ "$first" -le 13 ]; then
            fail replug "tick $first was answered, while the unit was still off the bus"
        else
            pass replug
        fi
    elif [ $rc -ne 7 ] || [ "$first" -ne 0 ]; then
        fail "$name" "exit $rc (first answered tick $first), expected 7 with no answer: $result"
    elif ! echo "$result" | grep -q 'came back elsewhere, which is not followed'; then
        fail "$name" "the failure does not say why: $result"
    else
        pass "$name"
    fi
}

check_replugs() {
    check_replug replug replugged replug_ms=14000
    check_replug replug_elsewhere moved replug_ms=14000,replug_elsewhere=1
}

# The device leaves the bus while the tool waits for its restart: a failure,
# never a success, and no crash.
check_removed_lun() {
    hctl=$(node main F 4)
    "$CLI" --json flash "$WORK/img512.bin" --device "$(node main F 3)" >"$OUT/removed_lun.json" 2>&1 &
    tool=$!
    # Three seconds into the restart (the tool's own tick events say when).
    i=0
    until grep -q '"tick":3,' "$OUT/removed_lun.json" 2>/dev/null || [ $i -gt 600 ]; do
        sleep 0.1
        i=$((i + 1))
    done
    echo 1 >"/sys/bus/scsi/devices/$hctl/delete"
    removed_in_time=no
    [ ! -e "/sys/bus/scsi/devices/$hctl" ] && kill -0 $tool 2>/dev/null && removed_in_time=yes
    wait $tool
    rc=$?
    if [ $removed_in_time != yes ]; then
        fail removed_lun "the device was not removed while the tool waited for its restart"
    elif [ $rc -eq 0 ] || [ $rc -ge 128 ]; then
        fail removed_lun "exit $rc after the device was removed during the wait"
    elif [ $rc -ne 7 ]; then
        fail removed_lun "exit $rc, expected 7 (the device did not come back)"
    else
        pass removed_lun
    fi
}

# hold_node NODE FLAGS OUTPUT: another program (pid $holder) opens NODE with
# FLAGS (Python's) and O_EXCL and keeps it open; OUTPUT says "held" once it has.
hold_node() {
    python3 -c 'import os, sys, time
fd = os.open(sys.argv[1], eval(sys.argv[2]) | os.O_EXCL)
print("held", flush=True)
time.sleep(600)' "$1" "$2" >"$3" 2>&1 &
    holder=$!
    i=0
    until grep -q held "$3" || [ $i -gt 300 ]; do
        sleep 0.1
        i=$((i + 1))
    done
}

# Exclusive use: a node that another program holds exclusively (O_EXCL) is
# busy, exit 11, and the device gets no command; a flash holds its node
# until its verification ends, so a second flash of the same node is busy.
check_exclusive_use() {
    sg=$(node held D 3)
    from=$(($(lines "$OUT/held.jsonl") + 1))
    hold_node "$sg" "os.O_RDWR" "$WORK/holder.out"
    "$CLI" flash "$WORK/img512.bin" --device "$sg" >"$OUT/busy_held.txt" 2>&1
    rc=$?
    kill $holder
    wait $holder 2>/dev/null
    sent=$(tool_commands "$OUT/held.jsonl" D "$from" | grep -c '^1b\|^fa')
    if ! grep -q held "$WORK/holder.out"; then
        fail busy_held "python3 could not hold $sg exclusively: $(cat "$WORK/holder.out")"
    elif [ $rc -ne 11 ]; then
        fail busy_held "exit $rc, expected 11: $(tail -n 3 "$OUT/busy_held.txt")"
    elif ! grep -qF "device busy: in use by another program ($sg)" "$OUT/busy_held.txt"; then
        fail busy_held "the message does not name $sg: $(cat "$OUT/busy_held.txt")"
    elif [ "$sent" -ne 0 ]; then
        fail busy_held "$sent START STOP UNIT or block commands reached the held device"
    else
        pass busy_held
    fi

    from=$(($(lines "$OUT/held.jsonl") + 1))
    "$CLI" --json flash "$WORK/img512.bin" --device "$sg" >"$OUT/busy_first.json" 2>&1 &
    first=$!
    i=0
    until grep -q '"event":"tick"' "$OUT/busy_first.json" 2>/dev/null || [ $i -gt 600 ]; do
        sleep 0.1
        i=$((i + 1))
    done
    "$CLI" flash "$WORK/img512.bin" --device "$sg" >"$OUT/busy_second.txt" 2>&1
    rc_second=$?
    waiting=no
    kill -0 $first 2>/dev/null && waiting=yes
    wait $first
    rc_first=$?
    downloads=$(tool_commands "$OUT/held.jsonl" D "$from" | grep -c '^1b')
    if [ $waiting != yes ]; then
        fail busy_flashing "the first flash was over before the second one ended (exit $rc_first)"
    elif [ $rc_second -ne 11 ]; then
        fail busy_flashing "the second flash: exit $rc_second, expected 11: $(tail -n 3 "$OUT/busy_second.txt")"
    elif [ $rc_first -ne 0 ]; then
        fail busy_flashing "the first flash: exit $rc_first, expected 0"
    elif [ "$downloads" -ne 1 ]; then
        fail busy_flashing "$downloads START STOP UNIT commands, expected the first flash's one"
    else
        pass busy_flashing
    fi
    check_block_node_held
}

# interfere PID TRANSCRIPT FIRST_LINE: once block writes reach the server,
# stops and continues the tool twice and attaches a tracer to all its threads
# once, each while a command is on its way (the server takes 1.5 s for each).
interfere() {
    i=0
    until tail -n +"$3" "$2" | grep -q '"cdb":"fa' || [ $i -gt 1200 ]; do
        sleep 0.1
        i=$((i + 1))
    done
    kill -STOP "$1"
    sleep 2
    kill -CONT "$1"
    sleep 1
    strace -f -p "$1" -o /dev/null 2>/dev/null &
    tracer=$!
    sleep 2
    kill "$tracer"
    wait "$tracer" 2>/dev/null
    kill -STOP "$1"
    sleep 2
    kill -CONT "$1"
}

# check_interrupted NAME SERVER DRIVES ARGS...: a flash stopped, continued and
# traced during its block writes sends each block once, in order, and ends
# in success on every drive.
check_interrupted() {
    name=$1 server=$2 drives=$3
    shift 3
    from=$(($(lines "$OUT/$server.jsonl") + 1))
    "$CLI" flash "$WORK/img512.bin" "$@" >"$OUT/$name.txt" 2>&1 &
    tool=$!
    interfere $tool "$OUT/$server.jsonl" "$from"
    wait $tool
    rc=$?
    why=
    for drive in $drives; do
        writes=$(tool_commands "$OUT/$server.jsonl" "$drive" "$from" | grep -c '^fa')
        if [ "$writes" -ne 9 ]; then
            why="$drive: $writes block writes reached the device, expected 9"
        else
            why=$(same_as_reference "$name.$drive" "$OUT/$server.jsonl" "$drive" "$from" "" "$WORK/img512.bin")
        fi
        [ -n "$why" ] && break
    done
    successes=$(grep -c 'Update success!!' "$OUT/$name.txt")
    if [ $rc -ne 0 ]; then
        fail "$name" "exit $rc: $(tail -n 3 "$OUT/$name.txt")"
    elif [ -n "$why" ]; then
        fail "$name" "$why"
    elif [ "$successes" -lt "$(echo $drives | wc -w)" ]; then
        fail "$name" "not every drive ended in \"Update success!!\": $(tail -n 3 "$OUT/$name.txt")"
    else
        pass "$name"
    fi
}

check_interrupted_one() { check_interrupted interrupted paused D --device "$(node paused D 3)"; }

# The drive's block node is held exclusively while it is flashed: another
# exclusive opener (as a mount is) makes the drive busy and gets it no command.
# After check_exclusive_use, on its device.
check_block_node_held() {
    sr=$(node held D 2)
    from=$(($(lines "$OUT/held.jsonl") + 1))
    hold_node "$sr" "os.O_RDONLY | os.O_NONBLOCK" "$WORK/srholder.out"
    "$CLI" flash "$WORK/img512.bin" --device "$(node held D 3)" >"$OUT/sr_held.txt" 2>&1
    rc=$?
    kill $holder
    wait $holder 2>/dev/null
    sent=$(tool_commands "$OUT/held.jsonl" D "$from" | grep -c '^1b\|^fa')
    if ! grep -q held "$WORK/srholder.out"; then
        fail sr_held "python3 could not hold $sr exclusively: $(cat "$WORK/srholder.out")"
    elif [ $rc -ne 11 ]; then
        fail sr_held "exit $rc, expected 11: $(tail -n 3 "$OUT/sr_held.txt")"
    elif ! grep -qF "device busy: in use by another program" "$OUT/sr_held.txt"; then
        fail sr_held "the drive is not called busy: $(cat "$OUT/sr_held.txt")"
    elif [ "$sent" -ne 0 ]; then
        fail sr_held "$sent START STOP UNIT or block commands reached the drive"
    else
        pass sr_held
    fi
}

# e) permissions: without access the tool names the node and its group; once
# the node belongs to that group (as a udev rule would set it), the member
# flashes.
check_permissions() {
    sg=$(node main G 3)
    cdrom=$(getent group cdrom | cut -d: -f3)
    chgrp cdrom "$sg" && chmod 600 "$sg"
    as_user() { setpriv --reuid=1000 --regid=1000 --groups="$cdrom" "$@"; }
    as_user "$CLI" list >"$OUT/perm_list.txt" 2>&1
    as_user "$CLI" flash "$WORK/img512.bin" --device "$sg" >"$OUT/perm_denied.txt" 2>&1
    rc_denied=$?
    expected="cannot open $sg read-write: Permission denied; add your user to the 'cdrom' group"
    chmod 660 "$sg"
    as_user "$CLI" flash "$WORK/img512.bin" --device "$sg" >"$OUT/perm_granted.txt" 2>&1
    rc_granted=$?
    if ! grep -qF "$expected" "$OUT/perm_list.txt"; then
        fail permissions "list does not say: $expected; it says: $(cat "$OUT/perm_list.txt")"
    elif [ $rc_denied -eq 0 ] || ! grep -qF "$expected" "$OUT/perm_denied.txt"; then
        fail permissions "flash without access: exit $rc_denied, $(tail -n 3 "$OUT/perm_denied.txt")"
    elif [ $rc_granted -ne 0 ]; then
        fail permissions "flash as a member of the group: exit $rc_granted, $(tail -n 3 "$OUT/perm_granted.txt")"
    else
        pass permissions
    fi
}

# f) station mode: a KT3916 attached, flashed, detached, and another attached
# in its place; each unit is flashed exactly once, and the plain drive hears
# one INQUIRY and nothing else. Alone, after the other checks: the station
# asks every drive that appears who it is.
check_station() {
    ident="KTDEV KT3916 STATION"
    "$CLI" --json --log "$OUT/station.log.jsonl" station "$WORK/img512.bin" --expect-identity "$ident" \
        --units 2 >"$OUT/station.json" 2>"$OUT/station.err" &
    station=$!
    for round in 1 2; do
        if ! serve "unit$round" "product=KT3916 STATION"; then
            fail station "the server of unit $round did not come up"
            kill -INT $station
            return
        fi
        i=0
        while [ "$(grep -c "\"event\":\"unit\",.*\"identity\":\"$ident\"" "$OUT/station.json")" -lt $round ] &&
            [ $i -lt 1200 ]; do
            sleep 0.1
            i=$((i + 1))
        done
        pid=$(cat "$WORK/unit$round.pid")
        kill -TERM "$pid"
        wait "$pid"
    done
    i=0
    while kill -0 $station 2>/dev/null && [ $i -lt 600 ]; do
        sleep 0.1
        i=$((i + 1))
    done
    kill -INT $station 2>/dev/null
    wait $station
    rc=$?
    passed=$(grep -c '"result":"passed"' "$OUT/station.json")
    plain=$(jq -r --arg n "/dev/$PLAIN" 'select(.record == null and .node == $n) | .cdb[0:2]' "$OUT/station.log.jsonl" | sort | uniq -c |
        xargs)
    if [ $rc -ne 0 ] || [ "$passed" -ne 2 ]; then
        fail station "exit $rc, $passed units passed: $(cat "$OUT/station.json" "$OUT/station.err" | head -c 800)"
    elif [ "$(grep -c '"cdb":"1b' "$OUT/unit1.jsonl")" -ne 1 ] || [ "$(grep -c '"cdb":"1b' "$OUT/unit2.jsonl")" -ne 1 ]; then
        fail station "a unit was not told exactly once to take an image: $(grep -c '"cdb":"1b' "$OUT"/unit?.jsonl | xargs)"
    elif [ "$plain" != "1 12" ]; then
        fail station "the plain drive received other commands than one INQUIRY: $plain"
    else
        pass station
    fi
}

# The transcripts reach the disk (fdatasync) once the device took its final
# block, before it restarts, and at the end (the CLI's also before the
# transfer); the programs the tools start
# do not inherit them (O_CLOEXEC). Seen by strace, for the server and for
# the CLI's own --transcript.
check_transcript_synced() {
    : >"$WORK/synced.nodes"
    strace -f -qq -e trace=openat,fdatasync -o "$OUT/synced.server.strace" \
        "$EMU" serve --transcript "$OUT/synced.jsonl" >>"$WORK/synced.nodes" 2>"$OUT/synced.server.log" &
    tracer=$! i=0
    while [ ! -s "$WORK/synced.nodes" ] && [ $i -lt 1800 ] && kill -0 $tracer 2>/dev/null; do
        sleep 0.1
        i=$((i + 1))
    done
    "$CLI" flash "$WORK/img512.bin" --device "$(node synced D 3)" >"$OUT/synced.out" 2>&1
    rc=$?
    kill -TERM "$(pgrep -P $tracer)"
    wait $tracer
    strace -f -qq -e trace=openat,fdatasync -o "$OUT/synced.cli.strace" "$CLI" --emulate=reboot_ms=0 \
        --transcript "$WORK/synced.cli.jsonl" flash "$WORK/img512.bin" >"$OUT/synced.cli.out" 2>&1
    cli_rc=$?
    why=
    for side in server cli; do
        trace=$OUT/synced.$side.strace
        # The CLI also syncs the transcript's first line (the INQUIRY that
        # checks it) before it sends the transfer's first command.
        # (A line the writer takes after the end's sync is synced at its close.)
        want=2
        [ $side = cli ] && want=3
        syncs=$(grep -c 'fdatasync(.*= 0' "$trace")
        [ "$syncs" -ge $want ] && [ "$syncs" -le $((want + 1)) ] ||
            why="$why; $side: $syncs fdatasync calls, expected $want (before the transfer, final block, end)"
        grep 'synced.*jsonl' "$trace" | grep -q O_CLOEXEC || why="$why; $side: transcript opened without O_CLOEXEC"
    done
    if [ $rc -ne 0 ] || [ $cli_rc -ne 0 ]; then
        fail transcript_synced "flash exit $rc through the server, $cli_rc emulated"
    elif [ -n "$why" ]; then
        fail transcript_synced "${why#; }"
    else
        pass transcript_synced
    fi
}

# The Wine session and the console build's checks beside the CLI's checks.
wine_session() {
    start_wine
    check_console_nt
    check_console_win98
}

check_list
check_sg3_utils
wine_environment
checks=
for check in check_flash_sequence check_flash_by_block_node check_plain_drive check_fail_block \
    check_never_return check_slow_restart check_drop_block check_drop_polled check_removed_lun check_permissions \
    check_exclusive_use check_interrupted_one check_transcript_synced check_unread_output check_no_media_polling \
    check_killed_run_orphan check_latency_agrees check_replugs wine_session; do
    eval "$check" &
    checks="$checks $!"
done
# The servers run on; wait for the checks alone.
wait $checks
check_desktop

# Every server stops on SIGTERM and removes what it made.
for name in main failing silent slow dropping held polled paused wine unread quiet orphan lagging replugged moved; do
    pid=$(cat "$WORK/$name.pid")
    kill -TERM "$pid"
    wait "$pid" 2>/dev/null
    rc=$?
    [ $rc -eq 0 ] || fail server_stop "$name server exit $rc: $(tail -n 2 "$OUT/$name.server.log")"
done
left=$(ls /sys/kernel/config/target/loopback /sys/kernel/config/target/core 2>/dev/null |
    grep -E 'naa\.5001405|user_3916' | grep -v "$FOREIGN_WWN")
if [ -n "$left" ]; then fail server_stop "configuration left behind: $left"; else pass server_stop; fi
check_station
check_foreign_target
check_namespaced_servers

# --all flashes every drive there is: alone, with only the two slow devices left.
modprobe -r scsi_debug
if serve paused_all devices=2,latency_ms=1500; then
    check_interrupted interrupted_all paused_all "D E" --all
    kill -TERM "$(cat "$WORK/paused_all.pid")"
    wait "$(cat "$WORK/paused_all.pid")" 2>/dev/null
else
    fail interrupted_all "the server of two slow devices did not come up"
fi
exit 0
