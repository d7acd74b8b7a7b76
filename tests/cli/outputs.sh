#!/usr/bin/env bash
# Outputs that could block the real kt3916flash-cli before its first device
# command, out of reach of Ctrl-C: a --log or --transcript FIFO nobody reads
# is refused at once (exit 2); one with a reader gets every line. Each run is
# bounded by timeout, so a hang fails the check instead of the suite.
set -u
cli=$1
work=$2
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
seq 1 200000 | head -c 524288 >img512.bin
mkfifo log.fifo
failures=0

check() {
    if ! eval "$1"; then
        echo "FAIL: $2"
        sed 's/^/  | /' err.txt
        failures=$((failures + 1))
    else
        echo "ok: $2"
    fi
}

# option OPTION: the output option naming a FIFO with no reader.
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
wait "$reader"
check '[ "$status" -eq 0 ]' "--log on a FIFO with a reader flashes (got $status)"
check '[ "$(grep -c "\"cdb\":\"fa" read.txt)" -eq 9 ]' "the reader gets every block write"

echo "outputs: $failures failure(s)"
[ "$failures" -eq 0 ]
