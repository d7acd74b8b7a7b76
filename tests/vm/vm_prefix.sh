#!/bin/sh
# vm_prefix.sh PREFIX: the Wine prefix the VM's Windows checks start from:
# the GUI suite's (made here unless PREFIX already holds one), with drives D:
# to G: declared CD-ROM drives (the checks point them at the nodes) and the
# console build's Windows 98 copy reported as Windows 98. 32-bit Wine makes
# it: on the host when the host runs 32-bit programs, otherwise in the VM.
set -u
here=$(dirname "$0")
KT_WINE_ARCH=win32 sh "$here/../gui/gui_run.sh" setup "$1" || exit 1
export WINEPREFIX="$1" WINEDEBUG=-all WINEARCH=win32
for letter in d e f g; do
    wine reg add 'HKLM\Software\Wine\Drives' /v $letter: /t REG_SZ /d cdrom /f >/dev/null 2>&1 || exit 1
done
wine reg add 'HKCU\Software\Wine\AppDefaults\kt3916flash-cli-win98.exe' /v Version /t REG_SZ /d win98 /f \
    >/dev/null 2>&1 || exit 1
wineserver -w
