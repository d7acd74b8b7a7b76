#!/bin/busybox sh
# /init of the test VM's initramfs: load what the 9p root needs, mount the
# machine's root read-only and the results share writable, then run the job
# named on the kernel command line (kt.job=PATH) inside the shared root.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for module in $(cat /modules.list); do
    insmod "/modules/$module" || echo "vm init: insmod $module failed"
done
job= src= jobdir=
for word in $(cat /proc/cmdline); do
    case $word in
    kt.job=*) job=${word#kt.job=} ;;
    kt.src=*) src=${word#kt.src=} ;;
    kt.jobdir=*) jobdir=${word#kt.jobdir=} ;;
    esac
done
R=/newroot
mkdir -p $R
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144,cache=loose hostroot $R ||
    { echo "vm init: cannot mount the shared root"; poweroff -f; }
mount -t proc proc $R/proc
mount -t sysfs sysfs $R/sys
mount -t devtmpfs devtmpfs $R/dev
mkdir -p $R/dev/pts $R/dev/shm
mount -t devpts devpts $R/dev/pts
mount -t tmpfs tmpfs $R/dev/shm
mount -t tmpfs -o size=2g tmpfs $R/tmp
mount -t tmpfs tmpfs $R/run
mount -t tmpfs tmpfs $R/root
# The checkout and the job's folder, again over the tmpfs mounts that hide
# them when they live under /tmp, /root or /run; the job's folder is often
# inside the checkout, and is then already there.
share_again() {
    [ -n "$2" ] || return 0
    [ -d "$R$2/." ] && [ "$1" = jobdir ] && [ -f "$R$job" ] && return 0
    mkdir -p "$R$2" 2>/dev/null
    mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144,cache=loose "$1" "$R$2" ||
        echo "vm init: cannot mount $2"
}
share_again checkout "$src"
share_again jobdir "$jobdir"
mkdir -p $R/tmp/out
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=loose results $R/tmp/out ||
    { echo "vm init: cannot mount the results share"; poweroff -f; }
chroot $R /bin/sh -c "cd /tmp && HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin sh '$job'; echo \$? > /tmp/out/job.rc"
sync
poweroff -f
