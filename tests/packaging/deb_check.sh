#!/usr/bin/env bash
# Builds the Debian package of a Linux build tree and checks it: control
# fields, exactly the files it must hold, and lintian without error.
#   deb_check.sh BUILD_DIR VERSION
set -u
build=$1 version=$2
failures=0
fail() { echo "FAIL: $*" && failures=$((failures + 1)); }

cmake --build "$build" --target package >"$build/package.log" 2>&1 || { tail "$build/package.log"; exit 1; }
deb=$build/kt3916flash_${version}_amd64.deb
echo "$deb: $(stat -c %s "$deb") bytes" || exit 1
fields=$(dpkg-deb -f "$deb" Package Version Architecture | xargs)
[ "$fields" = "Package: kt3916flash Version: $version Architecture: amd64" ] || fail "$fields"
depends=$(dpkg-deb -f "$deb" Depends) # from dpkg-shlibdeps, with versions
[[ $depends =~ (^|, )libc6\ \(\>=\ [0-9.]+\) ]] || fail "Depends: $depends"
[[ $depends =~ (^|, )libssl3\ \(\>=\ [0-9.]+\) ]] || fail "Depends (SHA-256 from libcrypto): $depends"

contents=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $6 }' | LC_ALL=C sort -k2)
expected="-rw-r--r-- ./lib/udev/rules.d/60-kt3916flash.rules
-rwxr-xr-x ./usr/bin/kt3916flash-cli
-rwxr-xr-x ./usr/bin/kt3916flash-emulator
-rw-r--r-- ./usr/share/bash-completion/completions/kt3916flash-cli
-rw-r--r-- ./usr/share/doc/kt3916flash/README.md.gz
-rw-r--r-- ./usr/share/doc/kt3916flash/changelog.gz
-rw-r--r-- ./usr/share/doc/kt3916flash/copyright
-rw-r--r-- ./usr/share/doc/kt3916flash/reference.md
-rw-r--r-- ./usr/share/man/man1/kt3916flash-cli.1.gz
-rw-r--r-- ./usr/share/man/man1/kt3916flash-emulator.1.gz"
[ "$contents" = "$expected" ] || fail "the package holds:"$'\n'"$contents"
# The trusted keys' directory, empty: no signature is required until a key is put there.
dpkg-deb -c "$deb" | grep -q ' \./etc/kt3916flash/trusted-keys/$' || fail "no directory /etc/kt3916flash/trusted-keys/"

# lintian exits 0 unless it reports an error (or cannot run at all).
lintian --allow-root "$deb" >"$build/lintian.txt" 2>&1 || fail "lintian, exit $?:"
cat "$build/lintian.txt"
[ $failures -eq 0 ]
