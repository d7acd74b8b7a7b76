# Sourced by vm_checks.sh: the Windows programs under Wine through the real
# kernel. Drives D:, E: and F: of the prefix are the CD-ROM nodes of the
# three KT3916s the "wine" server serves, G: the plain drive's; the programs'
# own Win32 host does the rest. The Wine session starts while the other
# checks run, since under full software emulation that takes a minute.
wine_environment() {
    export WINEPREFIX=$OUT/wineprefix WINEDEBUG=-all WINEARCH=win32 KT_GUI_KEEP_SESSION=1
    export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
    export DISPLAY=:77
}

# map_drive LETTER BLOCK_NODE: the letter's device is the node; its folder
# (a CD-ROM drive without a disc has none to read) is an empty one.
map_drive() {
    mkdir -p "$WORK/cdrom"
    ln -sfn "$2" "$WINEPREFIX/dosdevices/$1::"
    ln -sfn "$WORK/cdrom" "$WINEPREFIX/dosdevices/$1:"
}

start_wine() {
    Xvfb :77 -screen 0 1280x1024x24 -nolisten tcp >"$OUT/xvfb.log" 2>&1 &
    map_drive d "$(node wine D 2)"
    map_drive e "$(node wine E 2)"
    map_drive f "$(node wine F 2)"
    map_drive g "/dev/$PLAIN_SR"
    # Programs run from a tmpfs copy: from the 9p share Wine faulted at once.
    cp "$W/app/win32/KT3916Flash.exe" "$W/tests/gui/kt_gui_driver.exe" "$W/cli/kt3916flash-cli.exe" \
        "$W/tests/win32/kt_scsi_devicemap.exe" "$WORK/"
    # The prefix reports Windows 98 to this name (scripts/test.sh sets it).
    cp "$W/cli/kt3916flash-cli.exe" "$WORK/kt3916flash-cli-win98.exe"
    # A host that runs no 32-bit program leaves the prefix to the VM.
    if [ ! -d "$WINEPREFIX" ]; then
        sh "$SRC/tests/vm/vm_prefix.sh" "$WINEPREFIX" >"$OUT/prefix.log" 2>&1
    fi
    wineserver -p
    wine wineboot >"$OUT/wineboot.log" 2>&1
    hold_desktop
}

# A Wine desktop closes a few seconds after its last program, and every
# program that finds none starts one; under full software emulation on a
# loaded machine that start outlasts what Wine waits for, and the program
# ends without a window ("the explorer process failed to start"). One
# desktop is made for the whole session and held by a program that stays:
# each start of the desktop program, and each console run, finds it there.
hold_desktop() {
    for try in 1 2 3; do
        wine start /min notepad >>"$OUT/desktop_hold.log" 2>&1
        i=0
        while ! pgrep -f 'explorer.exe.*/desktop' >/dev/null && [ $i -lt 1200 ]; do
            sleep 0.1
            i=$((i + 1))
        done
        sleep 2
        pgrep -f 'notepad' >/dev/null && return 0
        echo "try $try: the desktop's holder did not stay" >>"$OUT/desktop_hold.log"
    done
}

winpath() { echo "Z:$1" | tr / '\\'; }

# The console build in NT mode: the list shows every drive with its identity,
# a flash through pass-through sends what the emulated device gets, and a
# wrong identity stops after the INQUIRY.
check_console_nt() {
    run() { name=$1; shift; timeout 600 wine "$WORK/kt3916flash-cli.exe" "$@" </dev/null >"$OUT/$name.txt" 2>&1; rc=$?; }
    run wine_cli_list list
    if [ $rc -ne 0 ]; then
        fail wine_cli_list "exit $rc: $(tr -d '\r' <"$OUT/wine_cli_list.txt")"
    elif ! tr -d '\r' <"$OUT/wine_cli_list.txt" | grep -Eq '^[0-9]+ +F: +\\\\\.\\F: +KTDEV +KT3916 FLASHER +1\.00$'; then
        fail wine_cli_list "no KT3916 line for F: $(tr -d '\r' <"$OUT/wine_cli_list.txt")"
    elif ! tr -d '\r' <"$OUT/wine_cli_list.txt" | grep -Eq '^[0-9]+ +G: +\\\\\.\\G: +OTHERCO +DVD-ROM-X +2\.00$'; then
        fail wine_cli_list "no line for the plain drive on G: $(tr -d '\r' <"$OUT/wine_cli_list.txt")"
    else
        pass wine_cli_list
    fi

    from=$(($(lines "$OUT/wine.jsonl") + 1))
    run wine_cli_flash flash "$(winpath "$WORK/img512.bin")" --device F:
    if [ $rc -ne 0 ]; then
        fail wine_cli_flash "exit $rc: $(tr -d '\r' <"$OUT/wine_cli_flash.txt" | tail -n 3)"
    elif ! grep -qF "exclusive access is not available on this system; other programs may still send commands to F:" \
        "$OUT/wine_cli_flash.txt"; then
        fail wine_cli_flash "no notice that Wine offers no exclusive access: $(tr -d '\r' <"$OUT/wine_cli_flash.txt" | head -n 3)"
    else
        why=$(same_as_reference wine_cli_flash "$OUT/wine.jsonl" F "$from" "" "$WORK/img512.bin")
        if [ -n "$why" ]; then fail wine_cli_flash "$why"; else pass wine_cli_flash; fi
    fi

    run wine_cli_identity --log "$(winpath "$OUT/wine_cli_identity.log.jsonl")" flash \
        "$(winpath "$WORK/img512.bin")" --device G: --expect-identity "KTDEV KT3916 FLASHER"
    sent=$(jq -r '.cdb[0:2] // empty' "$OUT/wine_cli_identity.log.jsonl" 2>/dev/null | sort | uniq -c | xargs)
    if [ $rc -ne 9 ]; then
        fail wine_cli_identity "exit $rc, expected 9: $(tr -d '\r' <"$OUT/wine_cli_identity.txt" | tail -n 3)"
    elif [ "$sent" != "1 12" ]; then
        fail wine_cli_identity "the plain drive received other commands than one INQUIRY: $sent"
    else
        pass wine_cli_identity
    fi
}

# Windows 98 under Wine: its ASPI layer counts the adapters of the session's
# device map, but refuses every request block (SendASPI32Command answers
# SS_INVALID_SRB and writes nothing into the block), so nothing reaches the
# kernel. The console build says there is no device, at once, and the
# served device hears nothing.
check_console_win98() {
    hctl=$(node wine D 4)
    set -- $(echo "$hctl" | tr : ' ')
    timeout 600 wine "$WORK/kt_scsi_devicemap.exe" "$1" "$2" "$3" "$4" "$(node wine D 3)" </dev/null 2>&1 |
        tr -d '\r' >"$OUT/win98_devicemap.txt"
    from=$(($(lines "$OUT/wine.jsonl") + 1))
    timeout 600 wine "$WORK/kt3916flash-cli-win98.exe" list </dev/null >"$OUT/win98_cli_list.txt" 2>&1
    rc=$?
    sent=$(tail -n +"$from" "$OUT/wine.jsonl" | grep -c '"cdb"')
    if ! grep -qx 'support 0x00000101' "$OUT/win98_devicemap.txt"; then
        fail win98_aspi "the layer did not report one adapter from the device map: $(cat "$OUT/win98_devicemap.txt")"
    elif ! grep -qx 'dev_type return 0xE0 status 0x00 type 0x00' "$OUT/win98_devicemap.txt"; then
        fail win98_aspi "the layer answered a device query otherwise than known: $(cat "$OUT/win98_devicemap.txt")"
    elif [ $rc -ne 3 ] || ! grep -q 'No device found' "$OUT/win98_cli_list.txt"; then
        fail win98_aspi "list in Windows 98 mode: exit $rc, expected 3: $(tr -d '\r' <"$OUT/win98_cli_list.txt")"
    elif [ "$sent" -ne 0 ]; then
        fail win98_aspi "$sent commands reached the served device through a layer that refuses every block"
    else
        pass win98_aspi
    fi
}

# served_desktop SCENARIO DRIVE OTHER: one start of the desktop program in
# the session; DRIVE is flashed as the emulated device is, OTHER gets no
# START STOP UNIT and no block.
served_desktop() {
    scenario=$1 drive=$2 other=$3
    from=$(($(lines "$OUT/wine.jsonl") + 1))
    sh "$SRC/tests/gui/gui_run.sh" run "$WINEPREFIX" "$WORK/kt_gui_driver.exe" "$WORK/KT3916Flash.exe" \
        "$scenario" "$WORK/gui" >"$OUT/$scenario.log" 2>&1
    rc=$?
    cp "$WORK/gui/"*.png "$OUT/" 2>/dev/null
    image=$WORK/gui/$([ "$scenario" = served_flash ] && echo served || echo served-s)-512k.bin
    others=$(tool_commands "$OUT/wine.jsonl" "$other" "$from" | grep -c '^1b\|^fa')
    if [ $rc -ne 0 ]; then
        fail "$scenario" "exit $rc: $(tail -n 5 "$OUT/$scenario.log")"
    elif [ "$others" -ne 0 ]; then
        fail "$scenario" "$other: $others START STOP UNIT or block commands reached the drive not chosen"
    else
        why=$(same_as_reference "$scenario" "$OUT/wine.jsonl" "$drive" "$from" "" "$image")
        if [ -n "$why" ]; then fail "$scenario" "$why"; else pass "$scenario"; fi
    fi
}

# Two starts in one session, one after the other, as after a first success:
# /S E: flashes E: alone; the next start surveys all drives and flashes the
# first, D:.
check_desktop() {
    served_desktop served_flash_drive_e E D
    served_desktop served_flash D E
    wineserver -k
}
