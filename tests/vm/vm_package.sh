#!/bin/sh
# The Debian package on the real kernel, run inside the test VM by vm_run.sh:
# the package is installed on a writable overlay of the shared root (this
# machine is never touched), the system's udev daemon runs there, and then
#  - a KT3916 served by the installed kt3916flash-emulator, attached before
#    the package (the package's own trigger applies the rule) and another
#    after it (hot-plug), get group plugdev; a plain CD-ROM drive does not;
#  - a member of plugdev, and nothing else, flashes the KT3916 through the
#    installed kt3916flash-cli and cannot open the plain drive;
#  - a user outside the group is told of the package's rule;
#  - man renders the installed pages; the installed completion loads through
#    bash-completion and completes commands and the devices.
#
#   vm_package.sh      (the package is build-native/kt3916flash_*_amd64.deb
#                       of the source tree two levels up)
#
# Results go to /tmp/out/results.txt, "PASS name" or "FAIL name: why".
set -u
SRC=$(cd "$(dirname "$0")/../.." && pwd)
OUT=/tmp/out
RESULTS=$OUT/results.txt
export PATH=/usr/sbin:/usr/bin:/sbin:/bin

pass() { echo "PASS $1" >>"$RESULTS"; }
# Seconds since boot before each step, in $OUT/steps.txt.
step() { echo "$(cut -d' ' -f1 /proc/uptime) $*" >>"$OUT/steps.txt"; }
fail() { echo "FAIL $1: $2" >>"$RESULTS"; }

if [ "${1:-}" != inside ]; then
    : >"$RESULTS"
    : >"$OUT/steps.txt"
    rm -f "$OUT"/*.jsonl  # the servers append
    step overlay
    deb=$(ls "$SRC"/build-native/kt3916flash_*_amd64.deb 2>/dev/null | tail -n 1)
    [ -n "$deb" ] || { fail setup "no package in $SRC/build-native"; exit 0; }
    modprobe overlay && modprobe configfs || { fail setup "overlay or configfs module missing"; exit 0; }
    R=/tmp/overlay/root
    mkdir -p /tmp/overlay/upper /tmp/overlay/work $R
    mount -t overlay overlay -o lowerdir=/,upperdir=/tmp/overlay/upper,workdir=/tmp/overlay/work $R ||
        { fail setup "the overlay of the shared root could not be mounted"; exit 0; }
    mount -t proc proc $R/proc
    mount -t sysfs sysfs $R/sys
    mount -t configfs configfs $R/sys/kernel/config
    mount --rbind /dev $R/dev
    mount -t tmpfs tmpfs $R/run
    mount -t tmpfs tmpfs $R/tmp
    mkdir -p $R/tmp/out
    mount --bind "$OUT" $R/tmp/out
    chroot $R /bin/sh "$0" inside "$deb"
    exit 0
fi

# From here on in the overlay: what dpkg writes stays in the VM's memory.
# The job itself runs chrooted (vm_init.sh), where udevadm would ignore every
# request; in this VM the chroot is the whole system.
export SYSTEMD_IGNORE_CHROOT=1
deb=$2
WORK=/tmp/work
mkdir -p "$WORK"
head -c 524288 /dev/urandom >"$WORK/img512.bin"
chmod 755 "$WORK" && chmod 644 "$WORK/img512.bin"
member() { setpriv --reuid=1000 --regid=1000 --groups=46 "$@"; }  # plugdev
outsider() { setpriv --reuid=1000 --regid=1000 --groups=24 "$@"; }  # cdrom
group_of() { stat -c %G "$1"; }
# No manual page index: man-db's trigger would rebuild it for minutes.
rm -f /var/lib/man-db/auto-update

step udevd
/lib/systemd/systemd-udevd --daemon || fail setup "systemd-udevd did not start"
udevadm trigger --action=add
udevadm settle --timeout=120

# serve NAME EMULATOR: one KT3916; its node line in $WORK/NAME.nodes
# ("D: /dev/srN /dev/sgN H:C:T:L").
serve() {
    step "serve $1"
    "$2" serve --transcript "$OUT/$1.jsonl" >"$WORK/$1.nodes" 2>"$OUT/$1.server.log" &
    echo $! >"$WORK/$1.pid"
    i=0
    until [ -s "$WORK/$1.nodes" ] || [ $i -ge 600 ]; do
        kill -0 "$(cat "$WORK/$1.pid")" 2>/dev/null || break
        sleep 0.1
        i=$((i + 1))
    done
    [ -s "$WORK/$1.nodes" ]
}
node() { awk -v c="$2" '{ print $c }' "$WORK/$1.nodes"; }

# Before the package there is no installed emulator: the build's is the same
# program.
serve before "$SRC/build-native/emulator/kt3916flash-emulator" ||
    fail setup "the KT3916 before the package did not come up: $(cat "$OUT/before.server.log")"
modprobe scsi_debug ptype=5 inq_vendor=OTHERCO inq_product=DVD-ROM-X inq_rev=2.00 ||
    fail setup "scsi_debug could not be loaded"
udevadm settle --timeout=60
PLAIN=$(for d in /sys/bus/scsi/devices/*; do
    grep -q "^OTHERCO" "$d/vendor" 2>/dev/null && ls "$d/scsi_generic" && ls "$d/block"
done | sed 's|^|/dev/|' | tr '\n' ' ')

step install
if dpkg -i "$deb" >"$OUT/dpkg.log" 2>&1; then pass install; else fail install "$(tail -n 5 "$OUT/dpkg.log")"; fi
udevadm settle --timeout=60
serve after kt3916flash-emulator ||
    fail setup "the installed kt3916flash-emulator did not come up: $(cat "$OUT/after.server.log")"
udevadm settle --timeout=60

# The rule: both KT3916s' nodes belong to plugdev, the plain drive's do not.
step checks
wrong=
[ "$(cat "$WORK/before.nodes" "$WORK/after.nodes" | wc -l)" -eq 2 ] || wrong=" (a KT3916 is missing)"
for n in $(node before 2) $(node before 3) $(node after 2) $(node after 3); do
    [ "$(group_of "$n")" = plugdev ] || wrong="$wrong $n:$(group_of "$n")"
done
for n in $PLAIN; do
    [ "$(group_of "$n")" = plugdev ] && wrong="$wrong $n:plugdev"
done
if [ -z "$PLAIN" ] || [ -n "$wrong" ]; then
    fail udev_rule "KT3916 nodes must be group plugdev, the plain drive's ($PLAIN) not; wrong:$wrong"
else
    pass udev_rule
fi

# A member of plugdev flashes, through the installed tool, the device that
# came after the package; the plain drive stays closed to them.
sg=$(node after 3)
member kt3916flash-cli flash "$WORK/img512.bin" --device "$sg" >"$OUT/member_flash.txt" 2>&1
rc=$?
if [ "$(command -v kt3916flash-cli)" != /usr/bin/kt3916flash-cli ]; then
    fail member_flash "kt3916flash-cli is not the installed one: $(command -v kt3916flash-cli)"
elif [ $rc -ne 0 ]; then
    fail member_flash "exit $rc through $sg: $(tail -n 3 "$OUT/member_flash.txt")"
elif [ "$(jq -s '[.[] | select(.cdb[0:2] == "fa" and .result == "good")] | length' "$OUT/after.jsonl")" -ne 9 ]; then
    fail member_flash "the served device did not take the 9 blocks of the image"
else
    pass member_flash
fi
plain_sg=$(echo "$PLAIN" | tr ' ' '\n' | grep sg)
member kt3916flash-cli flash "$WORK/img512.bin" --device "$plain_sg" >"$OUT/member_plain.txt" 2>&1
rc=$?
if [ $rc -eq 0 ] || ! grep -q "cannot open $plain_sg read-write: Permission denied" "$OUT/member_plain.txt"; then
    fail member_plain "exit $rc for the plain drive $plain_sg: $(tail -n 3 "$OUT/member_plain.txt")"
elif grep -q 'udev rule' "$OUT/member_plain.txt"; then
    fail member_plain "the message offers the KT3916 rule for another drive: $(cat "$OUT/member_plain.txt")"
else
    pass member_plain
fi

# Someone outside plugdev learns where access comes from.
outsider kt3916flash-cli flash "$WORK/img512.bin" --device "$(node before 3)" >"$OUT/outsider.txt" 2>&1
rc=$?
expected="Permission denied; add your user to the 'plugdev' group (then log in again) or run as root; the kt3916flash package's udev rule (60-kt3916flash.rules) gives that group"
if [ $rc -eq 0 ] || ! grep -qF "$expected" "$OUT/outsider.txt"; then
    fail outsider "exit $rc, expected the message naming plugdev and the rule: $(cat "$OUT/outsider.txt")"
else
    pass outsider
fi

# The manual pages.
page=$(man -w kt3916flash-cli 2>&1)
MANWIDTH=80 man --warnings -l "$page" >"$OUT/man_cli.txt" 2>"$OUT/man_cli.err"
MANWIDTH=80 man --warnings -l /usr/share/man/man1/kt3916flash-emulator.1.gz >"$OUT/man_emulator.txt" 2>>"$OUT/man_cli.err"
if [ "$page" != /usr/share/man/man1/kt3916flash-cli.1.gz ]; then
    fail man "man -w kt3916flash-cli: $page"
elif [ -s "$OUT/man_cli.err" ]; then
    fail man "man warns: $(head -c 400 "$OUT/man_cli.err")"
elif ! grep -Eq '^ +kt3916flash-cli +- +write a firmware image' "$OUT/man_cli.txt" ||
    ! grep -Eq '^ +kt3916flash-emulator +- +serve emulated' "$OUT/man_emulator.txt"; then
    fail man "the rendered pages lack their NAME lines"
else
    pass man
fi

# The completion, loaded on demand as bash-completion does at the first Tab;
# the devices offered are those the member's own list finds.
loaded=$(bash -c '. /usr/share/bash-completion/bash_completion; _completion_loader kt3916flash-cli; complete -p kt3916flash-cli' 2>&1)
script=/usr/share/bash-completion/completions/kt3916flash-cli
commands=$(bash "$SRC/tests/packaging/complete_line.sh" "$script" "kt3916flash-cli fl" | tr '\n' ' ')
devices=$(member bash "$SRC/tests/packaging/complete_line.sh" "$script" "kt3916flash-cli flash x --device " |
    tr '\n' ' ')
# Expected: the KT3916s of root's list, letters first, then their nodes.
kt_devices=$(kt3916flash-cli list 2>/dev/null | awk -v kt=" $(node before 3) $(node after 3) " '
    index(kt, " " $3 " ") { letters = letters $2 " "; nodes = nodes $3 " " } END { print letters nodes }')
if ! echo "$loaded" | grep -q -- '-F _kt3916flash_cli kt3916flash-cli$'; then
    fail completion "bash-completion did not load it: $loaded"
elif [ "$commands" != "flash " ]; then
    fail completion "'kt3916flash-cli fl<Tab>' offers '$commands'"
elif [ "$(echo "$kt_devices" | wc -w)" -ne 4 ] || [ "$devices" != "$kt_devices" ]; then
    fail completion "'--device <Tab>' offers '$devices', expected the KT3916s '$kt_devices'"
else
    pass completion
fi

for name in before after; do
    kill -TERM "$(cat "$WORK/$name.pid")"
done
wait
step end
exit 0
