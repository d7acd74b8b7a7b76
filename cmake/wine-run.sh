#!/bin/sh
# Runs a Windows program of the build under Wine (32-bit, or 64-bit with
# KT_WINE_ARCH=win64), in a private prefix (the build passes one inside its
# tree), without Wine's debug chatter.
: "${WINEPREFIX:=$PWD/wineprefix}"
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
. "$(dirname "$0")/wine-env.sh"
# The first run creates the prefix; tests started in parallel wait for it
# instead of creating it twice.
if [ ! -f "$WINEPREFIX/.kt-ready" ]; then
    mkdir -p "$WINEPREFIX"
    (
        flock 9
        if [ ! -f "$WINEPREFIX/.kt-ready" ]; then
            "$WINE" wineboot -i >/dev/null 2>&1
            "$WINESERVER" -w
            touch "$WINEPREFIX/.kt-ready"
        fi
    ) 9>"$WINEPREFIX.lock"
fi
# Without a program: only the prefix, made ahead of the tests.
[ $# -eq 0 ] && exit 0
# A wineserver lingers only 3 s after its last client; a run that connects
# while it shuts down fails ("recvmsg: Connection reset by peer"). One that
# lingers a minute spans the pauses between the tests of a stage.
"$WINESERVER" -p60 >/dev/null 2>&1
exec "$WINE" "$@"
