#!/usr/bin/env bash
# Builds the Debian package of a Linux build tree and checks it: the control
# fields, exactly the files it must hold, and lintian without error.
#   deb_check.sh BUILD_DIR VERSION
set -u
build=$1 version=$2
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
deb=$build/kt3916flash_${version}_amd64.deb
[ -f "$deb" ] || { echo "FAIL: no $deb"; exit 1; }
echo "$(basename "$deb"): $(stat -c %s "$deb") bytes"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = kt3916flash ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), the project says $version"
[ "$(field Architecture)" = amd64 ] || fail "Architecture: $(field Architecture)"
# shlibdeps: what the programs link, with the versions they need.
grep -Eq '(^|, )libc6 \(>= [0-9.]+\)' <<<"$(field Depends)" || fail "Depends without libc6 from shlibdeps: $(field Depends)"

expected="-rwxr-xr-x ./usr/bin/kt3916flash-cli
-rwxr-xr-x ./usr/bin/kt3916flash-emulator
-rw-r--r-- ./lib/udev/rules.d/60-kt3916flash.rules
-rw-r--r-- ./usr/share/bash-completion/completions/kt3916flash-cli
-rw-r--r-- ./usr/share/doc/kt3916flash/README.md.gz
-rw-r--r-- ./usr/share/doc/kt3916flash/changelog.gz
-rw-r--r-- ./usr/share/doc/kt3916flash/copyright
-rw-r--r-- ./usr/share/man/man1/kt3916flash-cli.1.gz
-rw-r--r-- ./usr/share/man/man1/kt3916flash-emulator.1.gz"
contents=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $6 }' | LC_ALL=C sort -k2)
if [ "$contents" != "$(LC_ALL=C sort -k2 <<<"$expected")" ]; then
    fail "the package holds:"$'\n'"$contents"$'\n'"expected:"$'\n'"$expected"
fi

command -v lintian >/dev/null || { fail "lintian is not installed"; exit 1; }
lintian --allow-root "$deb" >"$build/lintian.txt" 2>&1
echo "lintian:"
sed 's/^/  /' "$build/lintian.txt"
grep -q '^E: ' "$build/lintian.txt" && fail "lintian reports errors"

echo "deb: $failures failure(s)"
[ $failures -eq 0 ]
