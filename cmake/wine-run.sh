#!/bin/sh
# Runs a Windows program of the build under 32-bit Wine, in a private prefix
# inside the build tree, without Wine's debug chatter.
: "${WINEPREFIX:=$PWD/wineprefix}"
export WINEPREFIX WINEDEBUG=-all WINEARCH=win32 WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
fi
exec wine "$@"
