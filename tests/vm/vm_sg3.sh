# Sourced by vm_checks.sh: the served KT3916 asked by sg3-utils, as any
# other program on the machine would ask it. A CD-ROM drive without a disc
# answers every question well-formed and says "medium not present" where a
# disc would be needed; the sr driver attached it without complaint.

# sg3 NAME EXPECTED_RC TEXT TOOL ARGS...: runs one tool; a line in $SG3_WHY
# when its exit status or its decoded answer is not the expected one.
sg3() {
    name=$1 want=$2 text=$3
    shift 3
    "$@" >"$OUT/sg3.$name.txt" 2>&1
    rc=$?
    if [ $rc -ne "$want" ]; then
        SG3_WHY="$SG3_WHY; $name: exit $rc, expected $want: $(head -c 300 "$OUT/sg3.$name.txt" | tr '\n' ' ')"
    elif ! grep -qi -- "$text" "$OUT/sg3.$name.txt"; then
        SG3_WHY="$SG3_WHY; $name: no \"$text\" in: $(head -c 300 "$OUT/sg3.$name.txt" | tr '\n' ' ')"
    elif [ "$want" -eq 0 ] && grep -Eqi 'malformed|too short|truncat|bad (field|length)|warning|unexpected|invalid' \
        "$OUT/sg3.$name.txt"; then
        SG3_WHY="$SG3_WHY; $name: complains: $(grep -Ei 'malformed|too short|truncat|bad|warning|unexpected|invalid' \
            "$OUT/sg3.$name.txt" | head -n 2 | tr '\n' ' ')"
    fi
}

# sg3-utils' exit statuses: 0 good, 2 not ready, 5 illegal request, 9
# invalid operation code.
check_sg3_utils() {
    sr=$(node main D 2) sg=$(node main D 3) hctl=$(node main D 4)
    SG3_WHY=
    sg3 inq 0 'Product identification: KT3916 FLASHER' sg_inq "$sr"
    sg3 inq_type 0 'cd/dvd' sg_inq "$sg"
    sg3 turs 2 'medium not present' sg_turs -v "$sr"
    sg3 readcap 2 'medium not present' sg_readcap -v "$sr"
    # MMC has no READ CAPACITY(16): a drive refuses its operation code.
    sg3 readcap16 9 'invalid opcode' sg_readcap -l "$sg"
    sg3 modes 0 'MM capabilities and mechanical status' sg_modes -p 0x2a "$sr"
    sg3 modes6 0 'MM capabilities and mechanical status' sg_modes -6 -p 0x2a "$sg"
    sg3 modes_all 0 'MM capabilities and mechanical status' sg_modes -a "$sr"
    sg3 config 0 'No current profile' sg_get_config "$sr"
    sg3 requests 0 'medium not present' sg_requests "$sr"
    # Standard data only: the device claims no page, and a request for the
    # list of pages is refused as an illegal request, not answered oddly.
    sg3 vpd 5 'illegal request' sg_vpd -p 0 "$sg"
    dmesg >"$OUT/sg3.dmesg.txt"
    if ! grep -q "sr $hctl: .*scsi3-mmc drive" "$OUT/sg3.dmesg.txt"; then
        SG3_WHY="$SG3_WHY; the sr driver did not report the drive's capabilities: $(grep "$hctl" \
            "$OUT/sg3.dmesg.txt" | head -n 4 | tr '\n' ' ')"
    elif grep "$hctl" "$OUT/sg3.dmesg.txt" | grep -Eqi 'error|fail|scsi-1|unable'; then
        SG3_WHY="$SG3_WHY; the kernel complained at attach: $(grep "$hctl" "$OUT/sg3.dmesg.txt" |
            grep -Ei 'error|fail|scsi-1|unable' | head -n 2 | tr '\n' ' ')"
    fi
    if [ -n "$SG3_WHY" ]; then fail sg3_utils "${SG3_WHY#; }"; else pass sg3_utils; fi
}
