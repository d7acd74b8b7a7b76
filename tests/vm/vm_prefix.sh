#!/bin/sh
# vm_prefix.sh PREFIX: the Wine prefix the VM's Windows checks start from:
# the GUI suite's (made here unless PREFIX already holds one), with drives D:
# to G: declared CD-ROM drives (the checks point them at the nodes) and the
# console build's Windows 98 copy reported as Windows 98. 32-bit Wine makes
# it: on the host when the host runs 32-bit programs, otherwise in the VM,
# where each start of a Wine program is slow: one import for the settings.
set -u
here=$(dirname "$0")
KT_WINE_ARCH=win32 sh "$here/../gui/gui_run.sh" setup "$1" || exit 1
export WINEPREFIX="$1" WINEDEBUG=-all WINEARCH=win32
settings=$WINEPREFIX/kt-vm-settings.reg
{
    printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Drives]\r\n'
    for letter in d e f g; do
        printf '"%s:"="cdrom"\r\n' $letter
    done
    printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\kt3916flash-cli-win98.exe]\r\n"Version"="win98"\r\n'
} >"$settings" || exit 1
wine reg import "$(echo "Z:$settings" | tr / '\\')" >/dev/null 2>&1 || exit 1
wineserver -w
