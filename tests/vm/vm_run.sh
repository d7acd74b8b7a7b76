#!/usr/bin/env bash
# Boots the distribution's kernel under QEMU (software emulation) with this
# machine's root shared read-only over 9p and runs one job script inside it.
#
#   vm_run.sh WORKDIR JOB [QEMU-ARGS...]
#
# WORKDIR (on this machine) becomes /tmp/out inside the VM, writable; the
# job's exit status lands in WORKDIR/job.rc and is this script's status.
# The console goes to WORKDIR/console.log.
#
# The VM mounts fresh tmpfs on /tmp, /root and /run, which would hide a
# checkout or a job kept there; so the checkout and the job's folder are
# shared again at their own paths, read-only, over those mounts.
set -u
work=$(realpath -m "$1")
job=$(realpath "$2")
shift 2
src=$(cd "$(dirname "$0")/../.." && pwd -P)
jobdir=$(dirname "$job")
for path in "$src" "$jobdir"; do
    # Both travel on the kernel's command line and in QEMU's options.
    case $path in *[[:space:],]*)
        echo "vm_run.sh: cannot share '$path': blanks and commas do not pass to the VM" >&2; exit 1 ;;
    esac
done

kver=$(ls /lib/modules | sort -V | tail -n 1)
kernel=/boot/vmlinuz-$kver
[ -r "$kernel" ] || { echo "vm_run.sh: no kernel at $kernel (package linux-image-amd64)" >&2; exit 1; }
command -v qemu-system-x86_64 >/dev/null || { echo "vm_run.sh: qemu-system-x86_64 missing" >&2; exit 1; }

mkdir -p "$work"
rm -f "$work/job.rc"
initrd=$work/initrd.gz
if [ ! -s "$initrd" ] || [ "$initrd" -ot "$(dirname "$0")/vm_init.sh" ]; then
    tree=$(mktemp -d)
    mkdir -p "$tree"/{bin,proc,sys,dev,modules,newroot}
    cp /bin/busybox "$tree/bin/busybox"
    cp "$(dirname "$0")/vm_init.sh" "$tree/init"
    chmod +x "$tree/init"
    # The modules the 9p root needs, in load order, without duplicates.
    for module in virtio_pci 9pnet_virtio 9p; do
        modprobe -S "$kver" --show-depends "$module" | awk '$1 == "insmod" { print $2 }'
    done | awk '!seen[$0]++' | while read -r path; do
        cp "$path" "$tree/modules/"
        basename "$path" >>"$tree/modules.list"
    done
    (cd "$tree" && find . | cpio -o -H newc --quiet | gzip -1) >"$initrd"
    rm -rf "$tree"
fi

# -cpu max,smap=off: under TCG, 32-bit code (Wine) oopses on IRET with SMAP.
# no_timer_check: on a loaded machine the emulated timer misses the kernel's
# boot-time check, which then panics ("IO-APIC + timer doesn't work").
timeout 900 qemu-system-x86_64 -accel tcg,thread=multi -cpu max,smap=off -smp 2 -m 4096 \
    -nographic -no-reboot -nic none -kernel "$kernel" -initrd "$initrd" \
    -append "console=ttyS0 quiet panic=-1 no_timer_check kt.job=$job kt.src=$src kt.jobdir=$jobdir" \
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
    -virtfs local,path="$src",mount_tag=checkout,security_model=none,readonly=on,multidevs=remap \
    -virtfs local,path="$jobdir",mount_tag=jobdir,security_model=none,readonly=on,multidevs=remap \
    -virtfs local,path="$work",mount_tag=results,security_model=none,multidevs=remap \
    "$@" </dev/null >"$work/console.log" 2>&1
[ -f "$work/job.rc" ] || { echo "vm_run.sh: the job did not finish; see $work/console.log" >&2; exit 1; }
exit "$(cat "$work/job.rc")"
