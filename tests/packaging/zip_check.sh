#!/usr/bin/env bash
# Builds the portable zip of a Windows build tree and checks it: exactly the
# two programs and README.txt, programs that import system DLLs only, and a
# README.txt in CRLF whose options and exit codes are the CLI's own.
#   zip_check.sh BUILD_DIR VERSION OBJDUMP [RUNNER...]
# RUNNER (Wine's, on Linux) starts the zip's kt3916flash-cli.exe for its
# --help.
set -u
build=$1 version=$2 objdump=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

cmake --build "$build" --target package >"$build/package.log" 2>&1 || {
    tail -n 20 "$build/package.log"
    echo "FAIL: cmake --build $build --target package"
    exit 1
}
zip=$build/KT3916Flash-$version-win32.zip
[ -f "$zip" ] || { echo "FAIL: no $zip"; exit 1; }
echo "$(basename "$zip"): $(stat -c %s "$zip") bytes"

names=$(unzip -Z1 "$zip" | LC_ALL=C sort | tr '\n' ' ')
[ "$names" = "KT3916Flash.exe README.txt kt3916flash-cli.exe " ] || fail "the zip holds: $names"
unpacked=$build/zip-check
rm -rf "$unpacked" && mkdir -p "$unpacked" && unzip -q "$zip" -d "$unpacked" || { echo "FAIL: unzip"; exit 1; }

# What every Windows since 2000 has in its system folder.
system_dlls=" kernel32.dll user32.dll gdi32.dll comctl32.dll comdlg32.dll advapi32.dll shell32.dll ole32.dll
 oleaut32.dll msvcrt.dll ws2_32.dll winmm.dll version.dll shlwapi.dll imm32.dll "
for exe in KT3916Flash.exe kt3916flash-cli.exe; do
    [ -f "$unpacked/$exe" ] || continue
    dump=$("$objdump" -p "$unpacked/$exe")
    grep -q 'file format pei-i386' <<<"$dump" || fail "$exe is not a 32-bit Windows program"
    dlls=$(sed -n 's/^\s*DLL Name: //p' <<<"$dump" | tr 'A-Z' 'a-z')
    [ -n "$dlls" ] || fail "$exe: no imports found"
    for dll in $dlls; do
        [[ $system_dlls == *" $dll "* ]] || fail "$exe imports $dll, not a system DLL"
    done
    echo "$exe imports:" $dlls
done

readme=$unpacked/README.txt
if [ -f "$readme" ]; then
    # Every line ends in CR LF, the last one too, and no CR stands alone.
    lf=$(tr -cd '\n' <"$readme" | wc -c)
    crlf=$(grep -c $'\r$' "$readme")
    cr=$(tr -cd '\r' <"$readme" | wc -c)
    [ "$lf" -gt 0 ] && [ "$crlf" -eq "$lf" ] && [ "$cr" -eq "$lf" ] && [ "$(tail -c 2 "$readme" | od -An -tx1)" = " 0d 0a" ] ||
        fail "README.txt is not CRLF throughout: $lf LF, $crlf lines ending CR LF, $cr CR"
    for word in "version $version" /B /F /S /V KT3916FLASH_EMULATE KT3916FLASH_TRANSCRIPT; do
        grep -qF -- "$word" "$readme" || fail "README.txt does not mention $word"
    done
    bash "$here/help_sync.sh" text "$readme" --codes -- "$@" "$unpacked/kt3916flash-cli.exe" ||
        fail "README.txt and kt3916flash-cli.exe --help disagree"
fi

echo "zip: $failures failure(s)"
[ $failures -eq 0 ]
