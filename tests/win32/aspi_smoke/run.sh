#!/bin/sh
# run.sh WINE_RUNNER PROGRAM: sets the program's Windows version to Windows 98
# in the prefix, then runs it.
runner=$1
program=$2
name=$(basename "$program")
"$runner" reg add "HKCU\\Software\\Wine\\AppDefaults\\$name" /v Version /d win98 /f >/dev/null 2>&1 || exit 1
exec "$runner" "$program" --gtest_brief=1
