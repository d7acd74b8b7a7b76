#!/usr/bin/env bash
# The README's commands as a newcomer runs them, on a fresh Debian 12:
#   fresh_check.sh CHECKOUT WORK
# A minbase root made with debootstrap from the mirror this machine's own apt
# sources name (kept as a tarball in KT_FRESH_CACHE, /var/cache/kt3916flash
# by default, and reused while it exists), a clone of the checkout's HEAD in
# it, and as root in a chroot: the first command (bash scripts/demo.sh, which
# must end "Update success!!" with exit 0), then the Install section's
# commands as the README shows them, the installed tool's --emulate list and
# its manual page. One line per check, PASS or FAIL, in WORK/results.txt.
# Needs root (debootstrap, chroot, mounts).
set -u
checkout=$(realpath "$1")
work=$(realpath -m "$2")
cache=${KT_FRESH_CACHE:-/var/cache/kt3916flash}
tarball=$cache/bookworm-minbase.tar
root=$work/root
results=$work/results.txt

mkdir -p "$work" "$cache" || exit 1
: >"$results"
pass() { echo "PASS fresh: $1" | tee -a "$results"; }
fail() { echo "FAIL fresh: $1" | tee -a "$results"; }

[ "$(id -u)" -eq 0 ] || { fail "needs root (debootstrap and chroot)"; exit 1; }

# The first Debian mirror of the machine's apt sources (deb822 or one-line),
# with no host name of ours written anywhere.
mirror() {
    local file
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk '/^URIs:/ { uri = $2 } /^Suites:/ && / bookworm( |$)/ && uri { print uri; exit }' "$file"
    done
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        awk '$1 == "deb" && $0 ~ / bookworm / { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' "$file"
    done
}
MIRROR=$(mirror | head -n 1)
[ -n "$MIRROR" ] || { fail "no bookworm mirror in this machine's apt sources"; exit 1; }

if [ ! -s "$tarball" ]; then
    echo "== fresh: debootstrap --variant=minbase bookworm from $MIRROR"
    rm -rf "$work/bootstrap"
    if ! debootstrap --variant=minbase bookworm "$work/bootstrap" "$MIRROR" >"$work/debootstrap.log" 2>&1; then
        tail -n 20 "$work/debootstrap.log"
        fail "debootstrap could not make a Debian 12 root"
        exit 1
    fi
    tar -C "$work/bootstrap" -cf "$tarball.part" . && mv "$tarball.part" "$tarball"
    rm -rf "$work/bootstrap"
fi

unmount_all() {
    local m
    for m in dev/pts proc sys; do
        mountpoint -q "$root/$m" && umount -l "$root/$m"
    done
}
trap unmount_all EXIT
unmount_all
rm -rf "$root" && mkdir -p "$root" && tar -C "$root" -xf "$tarball" || { fail "cannot unpack $tarball"; exit 1; }
cp /etc/resolv.conf "$root/etc/resolv.conf"
# The newcomer answers apt's question with yes.
echo 'APT::Get::Assume-Yes "true";' >"$root/etc/apt/apt.conf.d/90newcomer-says-yes"
mount -t proc proc "$root/proc" && mount -t sysfs sys "$root/sys" && mount -t devpts devpts "$root/dev/pts" ||
    { fail "cannot mount /proc, /sys and /dev/pts in the root"; exit 1; }
git clone --quiet "$checkout" "$root/root/kt3916flash" || { fail "cannot clone $checkout"; exit 1; }

# in_root LOG COMMAND: a login-less root shell in the clone, as a newcomer's.
in_root() {
    local log=$1
    shift
    chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        bash -c "cd /root/kt3916flash && $*" >"$work/$log" 2>&1 </dev/null
}

start=$SECONDS
in_root demo.log 'bash scripts/demo.sh'
rc=$?
if [ $rc -eq 0 ] && grep -q 'Update success!!' "$work/demo.log"; then
    pass "bash scripts/demo.sh exits 0 and the flash ends \"Update success!!\" ($((SECONDS - start)) s)"
else
    tail -n 25 "$work/demo.log"
    fail "bash scripts/demo.sh (exit $rc; see $work/demo.log)"
fi

# The Install section's first block, run as the README shows it (as root,
# so without its sudo).
awk '/^\*\*Debian 12/ { found = 1 } found && /^```/ { if (inside) exit; inside = 1; next } inside' \
    "$checkout/README.md" | sed 's/^sudo //' >"$work/install.sh"
start=$SECONDS
if [ ! -s "$work/install.sh" ]; then
    fail "the README has no Install commands for Debian 12"
elif in_root install.log "set -e; $(tr '\n' ';' <"$work/install.sh")"; then
    pass "the README's Install commands build and install the package ($((SECONDS - start)) s)"
else
    tail -n 25 "$work/install.log"
    fail "the README's Install commands (see $work/install.log)"
fi
if in_root list.log 'kt3916flash-cli --emulate list' && grep -q 'KT3916' "$work/list.log"; then
    pass "the installed kt3916flash-cli --emulate list shows the emulated KT3916"
else
    cat "$work/list.log"
    fail "the installed kt3916flash-cli --emulate list"
fi
if in_root man.log 'man -w kt3916flash-cli'; then
    pass "man -w kt3916flash-cli finds $(cat "$work/man.log")"
else
    cat "$work/man.log"
    fail "man -w kt3916flash-cli"
fi
! grep -q '^FAIL' "$results"
