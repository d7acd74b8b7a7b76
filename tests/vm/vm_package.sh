#!/bin/sh
# The Debian package on the real kernel, run in the test VM by vm_run.sh: it
# is installed on a writable overlay of the shared root (this machine is not
# touched) with the system's udevd running, between a KT3916 served before
# the install (the package's own trigger must reach it) and one served after
# (hot-plug), next to a plain CD-ROM drive. Results: /tmp/out/results.txt,
# "PASS name" or "FAIL name: why"; timings in /tmp/out/steps.txt.
set -u
SRC=$(cd "$(dirname "$0")/../.." && pwd)
OUT=/tmp/out
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
pass() { echo "PASS $1" >>$OUT/results.txt; }
fail() { echo "FAIL $1: $2" >>$OUT/results.txt; }
step() { echo "$(cut -d' ' -f1 /proc/uptime) $1" >>$OUT/steps.txt; }

if [ "${1:-}" != inside ]; then
    : >$OUT/results.txt
    : >$OUT/steps.txt
    rm -f $OUT/*.jsonl # the servers append
    R=/tmp/overlay/root
    mkdir -p /tmp/overlay/upper /tmp/overlay/work $R
    modprobe overlay && modprobe configfs &&
        mount -t overlay overlay -o lowerdir=/,upperdir=/tmp/overlay/upper,workdir=/tmp/overlay/work $R ||
        { fail setup "no overlay of the shared root"; exit 0; }
    mount -t proc proc $R/proc && mount -t sysfs sysfs $R/sys && mount -t configfs configfs $R/sys/kernel/config
    mount --rbind /dev $R/dev && mount -t tmpfs tmpfs $R/run && mount -t tmpfs tmpfs $R/tmp
    mkdir $R/tmp/out && mount --bind $OUT $R/tmp/out
    # A checkout under /tmp or /run is hidden by those mounts: bring it along.
    [ -e "$R$0" ] || { mkdir -p "$R$SRC" && mount --bind "$SRC" "$R$SRC"; } ||
        { fail setup "cannot show the checkout $SRC in the overlay"; exit 0; }
    exec chroot $R /bin/sh "$0" inside
fi

# vm_init.sh runs the job chrooted, and udevadm ignores requests from a chroot.
export SYSTEMD_IGNORE_CHROOT=1
W=/tmp/work
mkdir -m 755 $W && head -c 524288 /dev/urandom >$W/img.bin && chmod 644 $W/img.bin
as() { g=$1 && shift && setpriv --reuid=1000 --regid=1000 --groups=$g "$@"; } # 46 plugdev, 24 cdrom
rm -f /var/lib/man-db/auto-update # man-db's trigger would index every page
step udevd
/lib/systemd/systemd-udevd --daemon && udevadm trigger && udevadm settle || fail setup "udevd"

# serve NAME EMULATOR: one KT3916; $W/NAME gets "D: /dev/srN /dev/sgN H:C:T:L".
serve() {
    step "serve $1"
    "$2" serve --transcript $OUT/$1.jsonl >$W/$1 2>$OUT/$1.log &
    servers="${servers:-} $!" i=0
    while [ ! -s $W/$1 ] && [ $i -lt 600 ] && kill -0 $! 2>/dev/null; do sleep 0.1 && i=$((i + 1)); done
    [ -s $W/$1 ] || fail setup "$2 did not serve: $(cat $OUT/$1.log)"
}
serve before $SRC/build-native/emulator/kt3916flash-emulator # not installed yet: the same program
modprobe scsi_debug ptype=5 inq_vendor=OTHERCO inq_product=DVD-ROM-X || fail setup "scsi_debug"
udevadm settle
plain=$(dirname "$(grep -l ^OTHERCO /sys/bus/scsi/devices/*/vendor)")
plain_sg=/dev/$(ls $plain/scsi_generic) plain_sr=/dev/$(ls $plain/block)
# watch NAME: the kernel's events for sg and sr nodes, into $W/NAME.events.
watch() {
    udevadm monitor --kernel --subsystem-match=scsi_generic --subsystem-match=block >$W/$1.events 2>&1 &
    watcher=$!
    sleep 1
}
# changed NAME: the nodes that got a change or add event, sorted, on one line.
changed() {
    udevadm settle && sleep 1 && kill $watcher && wait $watcher 2>/dev/null
    awk '$2 == "change" || $2 == "add" { n = split($3, p, "/"); print "/dev/" p[n] }' $W/$1.events | sort -u | xargs
}
kt_before=$(cut -d' ' -f2,3 $W/before | tr ' ' '\n' | sort | xargs)
step install
watch install
if dpkg -i $SRC/build-native/kt3916flash_*_amd64.deb >$OUT/dpkg.log 2>&1; then pass install; else
    fail install "$(tail -n 3 $OUT/dpkg.log)"; fi
# The package asks udev again about the KT3916 attached before, and about no other drive.
got=$(changed install)
if [ "$got" = "$kt_before" ]; then pass install_trigger; else
    fail install_trigger "change events for '$got', expected '$kt_before'"; fi
serve after kt3916flash-emulator
udevadm settle
step checks

nodes="$(cut -d' ' -f2,3 $W/before $W/after | xargs) $plain_sr $plain_sg"
groups=$(stat -c %G $nodes | tr '\n' ' ')
if [ "$groups" = "plugdev plugdev plugdev plugdev cdrom cdrom " ]; then pass udev_rule; else
    fail udev_rule "the groups of $nodes are $groups"; fi

# A member of plugdev flashes with the installed tool; the plain drive stays closed.
as 46 kt3916flash-cli flash $W/img.bin --device "$(cut -d' ' -f3 $W/after)" >$OUT/member.txt 2>&1
rc=$?
blocks=$(jq -s '[.[] | select(.cdb[0:2] == "fa" and .result == "good")] | length' $OUT/after.jsonl)
if [ $rc -eq 0 ] && [ "$blocks" -eq 9 ]; then pass member_flash; else
    fail member_flash "exit $rc, $blocks blocks taken: $(tail -n 2 $OUT/member.txt)"; fi
as 46 kt3916flash-cli flash $W/img.bin --device $plain_sg >$OUT/plain.txt 2>&1
rc=$?
# The package's rule covers KT3916s only: the message must not offer it for
# this drive, only a rule of the drive's own identity in case it is one.
if [ $rc -ne 0 ] && grep -q "cannot open $plain_sg read-write: Permission denied" $OUT/plain.txt &&
    ! grep "$plain_sg" $OUT/plain.txt | grep -q '60-kt3916flash.rules' &&
    grep "$plain_sg" $OUT/plain.txt | grep -q "if this is a KT3916, 'kt3916flash-cli udev-rule --device"; then
    pass member_plain; else
    fail member_plain "exit $rc: $(tail -n 2 $OUT/plain.txt)"; fi
as 24 kt3916flash-cli flash $W/img.bin --device "$(cut -d' ' -f3 $W/before)" >$OUT/outsider.txt 2>&1
told="add your user to the 'plugdev' group (then log in again) or run as root; the kt3916flash package's udev rule"
if grep -qF "$told" $OUT/outsider.txt; then pass outsider; else fail outsider "$(tail -n 2 $OUT/outsider.txt)"; fi

# A KT3916 with another identity: root writes the rule udev-rule prints for
# it (the plain drive stands in for one), and the member can then open it.
local_rule=/etc/udev/rules.d/61-kt3916flash-local.rules
kt3916flash-cli udev-rule --device $plain_sg >$local_rule 2>$OUT/udev-rule.err
rc=$?
cp $local_rule $OUT/local.rules
udevadm control --reload-rules && udevadm trigger --action=change $plain_sg $plain_sr && udevadm settle
groups=$(stat -c %G $plain_sg $plain_sr | xargs)
as 46 kt3916flash-cli list >$OUT/local_list.txt 2>&1
if [ $rc -eq 0 ] && [ "$groups" = "plugdev plugdev" ] && grep -q "$plain_sg *OTHERCO *DVD-ROM-X" $OUT/local_list.txt
then pass udev_rule_local; else
    fail udev_rule_local "exit $rc ($(cat $OUT/udev-rule.err)); groups $groups; $(tail -n 2 $OUT/local_list.txt)"; fi
# Without the rule, an add event (as a replug) gives the nodes their default group again.
rm $local_rule
udevadm control --reload-rules && udevadm trigger --action=add $plain_sg $plain_sr && udevadm settle

page=$(man -w kt3916flash-cli)
{ man --warnings -l "$page" && man --warnings -l "${page%-cli.1.gz}-emulator.1.gz"; } >$OUT/man.txt 2>$OUT/man.err
if [ "$page" = /usr/share/man/man1/kt3916flash-cli.1.gz ] && [ ! -s $OUT/man.err ] &&
    grep -Eq '^ +kt3916flash-cli +- +write a firmware image' $OUT/man.txt &&
    grep -Eq '^ +kt3916flash-emulator +- +serve emulated' $OUT/man.txt; then pass man; else
    fail man "man -w: $page; $(head -c 300 $OUT/man.err)"; fi

# The completion as bash-completion loads it at the first Tab; for --device
# it offers the KT3916s of root's list that the member can open.
loaded=$(bash -c '. /usr/share/bash-completion/bash_completion && _completion_loader kt3916flash-cli
    complete -p kt3916flash-cli')
script=/usr/share/bash-completion/completions/kt3916flash-cli
commands=$(bash $SRC/tests/packaging/complete_line.sh $script "kt3916flash-cli fl")
devices=$(as 46 bash $SRC/tests/packaging/complete_line.sh $script "kt3916flash-cli flash x -d " | tr '\n' ' ')
expected=$(kt3916flash-cli list | awk -v kt=" $(cut -d' ' -f3 $W/before $W/after | tr '\n' ' ')" '
    index(kt, " " $3 " ") { letters = letters $2 " "; nodes = nodes $3 " " } END { print letters nodes }')
if [ "${loaded##* -F }" = "_kt3916flash_cli kt3916flash-cli" ] && [ "$commands" = flash ] &&
    [ "$(echo "$expected" | wc -w)" -eq 4 ] && [ "$devices" = "$expected" ]; then pass completion; else
    fail completion "loaded: $loaded; 'fl' offers $commands; '-d' offers '$devices', expected '$expected'"; fi
# Removal takes the rule's access back from the attached KT3916s, and asks
# udev about them only.
kt_all=$(cut -d' ' -f2,3 $W/before $W/after | tr ' ' '\n' | sort | xargs)
step remove
watch remove
dpkg -r kt3916flash >$OUT/dpkg-remove.log 2>&1 || fail remove "$(tail -n 3 $OUT/dpkg-remove.log)"
got=$(changed remove)
groups=$(stat -c %G $kt_all | sort -u | xargs)
if [ "$got" = "$kt_all" ] && [ ! -e /lib/udev/rules.d/60-kt3916flash.rules ] && ! echo "$groups" | grep -q plugdev
then pass remove_trigger; else
    fail remove_trigger "change events for '$got', expected '$kt_all'; groups now: $groups"; fi

kill $servers
wait
step end
