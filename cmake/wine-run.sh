#!/bin/sh
# Runs a Windows program of the build under 32-bit Wine, in a private prefix
# (the build passes one inside its tree), without Wine's debug chatter.
: "${WINEPREFIX:=$PWD/wineprefix}"
export WINEPREFIX WINEDEBUG=-all WINEARCH=win32 WINEDLLOVERRIDES="mscoree,mshtml="
# The first run creates the prefix; tests started in parallel wait for it
# instead of creating it twice.
if [ ! -f "$WINEPREFIX/.kt-ready" ]; then
    mkdir -p "$WINEPREFIX"
    (
        flock 9
        if [ ! -f "$WINEPREFIX/.kt-ready" ]; then
            wineboot -i >/dev/null 2>&1
            wineserver -w
            touch "$WINEPREFIX/.kt-ready"
        fi
    ) 9>"$WINEPREFIX.lock"
fi
exec wine "$@"
