#!/usr/bin/env bash
# Builds the zip of a Windows build tree and checks it: the two programs and
# README.txt, nothing else; programs that import system DLLs only; README.txt
# in CRLF, with the CLI's own options and exit codes.
#   zip_check.sh BUILD_DIR VERSION PLATFORM OBJDUMP [RUNNER...]
#   (PLATFORM: win32 or win64; RUNNER: Wine's)
set -u
build=$1 version=$2 platform=$3 objdump=$4 here=$(cd "$(dirname "$0")" && pwd)
shift 4
failures=0
fail() { echo "FAIL: $*" && failures=$((failures + 1)); }

cmake --build "$build" --target package >"$build/package.log" 2>&1 || { tail "$build/package.log"; exit 1; }
zip=$build/KT3916Flash-$version-$platform.zip
echo "$zip: $(stat -c %s "$zip") bytes" && rm -rf "$build/zip-check" && unzip -q "$zip" -d "$build/zip-check" || exit 1
cd "$build/zip-check" || exit 1
[ "$(LC_ALL=C ls | xargs)" = "KT3916Flash.exe README.txt kt3916flash-cli.exe" ] || fail "the zip holds" *

# What every Windows since 2000 has in its system folder.
system=" kernel32.dll user32.dll gdi32.dll comctl32.dll comdlg32.dll advapi32.dll shell32.dll ole32.dll msvcrt.dll "
for exe in *.exe; do
    dlls=$("$objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | xargs)
    echo "$exe imports: $dlls"
    for dll in ${dlls:-none}; do [[ $system == *" $dll "* ]] || fail "$exe imports $dll"; done
done

# Every line ends in CR LF, the last one too, and no CR stands alone.
lines=$(grep -c '' README.txt)
[ "$(grep -c $'\r$' README.txt)" = "$lines" ] && [ "$(tr -cd '\r' <README.txt | wc -c)" = "$lines" ] &&
    [ "$(tail -c 2 README.txt | od -An -tx1)" = " 0d 0a" ] || fail "README.txt is not CRLF throughout"
for word in "version $version" /B /F /S /V KT3916FLASH_EMULATE KT3916FLASH_TRANSCRIPT; do
    grep -qF -- "$word" README.txt || fail "README.txt does not mention $word"
done
bash "$here/help_sync.sh" text README.txt --codes -- "$@" ./kt3916flash-cli.exe || fail "README.txt"
[ $failures -eq 0 ]
