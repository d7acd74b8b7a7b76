#!/bin/sh
# Runs the GUI automation of KT3916Flash.exe under Wine (32-bit, or 64-bit
# with KT_WINE_ARCH=win64).
#
#   gui_run.sh setup PREFIX
#       Creates the Wine prefix of the GUI suite (once per build tree): a
#       1024 x 768 virtual desktop, so that windows get Wine's own frames and
#       one known screen size, and fonts that can show the Traditional
#       Chinese resource texts.
#   gui_run.sh run PREFIX DRIVER EXE SCENARIO OUTDIR
#       Runs one scenario of the driver, on $DISPLAY or on an Xvfb display of
#       its own, and takes the screenshots the driver asks for.
set -u

mode=$1
export WINEPREFIX="$2"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
. "$(dirname "$0")/../../cmake/wine-env.sh"
shift 2

fail() {
    echo "gui_run.sh: $*" >&2
    exit 1
}

# Stamp of what setup does: a prefix made by an older setup is made again.
SETUP_VERSION=2

setup() {
    [ -f "$WINEPREFIX/.kt-gui-ready" ] && [ "$(cat "$WINEPREFIX/.kt-gui-ready")" = "$SETUP_VERSION" ] && return 0
    command -v "$WINE" >/dev/null || fail "$WINE is not installed"
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    "$WINE" wineboot -i >/dev/null 2>&1 || fail "wineboot could not create $WINEPREFIX"
    "$WINESERVER" -w
    # Wine's own fonts (Tahoma, Marlett for the caption buttons, System) are
    # not found by this packaging of Wine unless they sit in the prefix.
    fonts=/usr/share/wine/fonts
    [ -f "$fonts/tahoma.ttf" ] || fail "Wine's fonts are missing ($fonts; Debian package fonts-wine)"
    cp "$fonts"/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
    cjk=/usr/share/fonts/truetype/droid/DroidSansFallbackFull.ttf
    [ -f "$cjk" ] || fail "no font with Chinese glyphs ($cjk; Debian package fonts-droid-fallback)"
    # Dialog and menu fonts fall back to it for the glyphs they lack. The
    # about box's own font is not on the system; Tahoma stands in for it (the
    # fallback font alone has no Latin letters).
    link="DroidSansFallbackFull.ttf,Droid Sans Fallback"
    for face in "Tahoma" "Tahoma Bold" "MS Shell Dlg" "MS Shell Dlg 2" "Microsoft Sans Serif" "MS Sans Serif"; do
        "$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
            /v "$face" /t REG_MULTI_SZ /d "$link" /f >/dev/null 2>&1 || fail "reg add failed"
    done
    for face in "新細明體" "PMingLiU"; do
        "$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' \
            /v "$face" /t REG_SZ /d "Tahoma" /f >/dev/null 2>&1 || fail "reg add failed"
    done
    "$WINE" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /t REG_SZ /d Default /f >/dev/null 2>&1
    "$WINE" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /t REG_SZ /d 1024x768 /f >/dev/null 2>&1
    # A crash ends the program instead of waiting in a dialog.
    "$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    "$WINESERVER" -w
    echo "$SETUP_VERSION" >"$WINEPREFIX/.kt-gui-ready"
}

# Answers the driver's screenshot requests: OUTDIR/NAME.shot-request holds the
# window's rectangle on the virtual desktop as WxH+X+Y; the picture of the
# whole desktop goes to NAME-desktop.png and the window alone to NAME.png.
take_screenshots() {
    outdir=$1
    for request in "$outdir"/*.shot-request; do
        [ -e "$request" ] || continue
        name=$(basename "$request" .shot-request)
        geometry=$(tr -d '\r\n' <"$request")
        desktop=$(xdotool search --name 'Wine desktop' 2>/dev/null | head -n 1)
        if [ -n "$desktop" ]; then
            import -window "$desktop" "$outdir/$name-desktop.png" 2>/dev/null
        else
            import -window root "$outdir/$name-desktop.png" 2>/dev/null
        fi
        convert "$outdir/$name-desktop.png" -crop "$geometry" +repage "$outdir/$name.png" 2>/dev/null
        rm -f "$request"
    done
}

run() {
    driver=$1 exe=$2 scenario=$3 outdir=$4
    command -v import >/dev/null || fail "ImageMagick's import is missing (Debian package imagemagick)"
    command -v xdotool >/dev/null || fail "xdotool is missing (Debian package xdotool)"
    mkdir -p "$outdir"
    rm -f "$outdir"/*.shot-request
    towin() { echo "Z:$1" | tr / '\\'; }
    "$WINE" "$driver" "$scenario" "$(towin "$exe")" "$(towin "$outdir")" &
    pid=$!
    while kill -0 "$pid" 2>/dev/null; do
        take_screenshots "$outdir"
        sleep 0.1
    done
    wait "$pid"
    rc=$?
    # The next scenario starts with a fresh Wine session and desktop, unless
    # the caller keeps one session for several (KT_GUI_KEEP_SESSION=1: under
    # full software emulation a Wine session takes a minute to start).
    if [ -z "${KT_GUI_KEEP_SESSION:-}" ]; then
        "$WINESERVER" -k >/dev/null 2>&1
        "$WINESERVER" -w >/dev/null 2>&1
    fi
    return $rc
}

case $mode in
setup)
    # Scenarios running meanwhile in other build trees have their own prefix.
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        setup
    ) 9>"$WINEPREFIX.lock"
    ;;
run)
    if [ -z "${DISPLAY:-}" ]; then
        command -v xvfb-run >/dev/null || fail "no DISPLAY and no xvfb-run (Debian package xvfb)"
        exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" run "$WINEPREFIX" "$@"
    fi
    run "$@"
    ;;
*)
    fail "unknown mode '$mode'"
    ;;
esac
