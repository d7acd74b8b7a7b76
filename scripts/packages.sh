#!/usr/bin/env bash
# The Debian packages of scripts/packages.txt that the given uses need.
#   scripts/packages.sh USE...             prints them, one a line
#   scripts/packages.sh --install USE...   installs the missing ones as root;
#                                          as another user names them and fails
# USE: build, package, test, i386 (see packages.txt).
set -uo pipefail
LIST=$(dirname "${BASH_SOURCE[0]}")/packages.txt

install=0
if [ "${1:-}" = --install ]; then
    install=1
    shift
fi
[ $# -gt 0 ] || {
    echo "usage: $0 [--install] USE... (build package test i386)" >&2
    exit 2
}
for use in "$@"; do
    case $use in
    build | package | test | i386) ;;
    *)
        echo "$0: unknown use '$use' (known: build package test i386)" >&2
        exit 2
        ;;
    esac
done

packages=()
while read -r pkg uses _; do
    case $pkg in '' | '#'*) continue ;; esac
    for use in "$@"; do
        if [[ ,$uses, == *,$use,* ]]; then
            packages+=("$pkg")
            break
        fi
    done
done <"$LIST"

if [ $install -eq 0 ]; then
    printf '%s\n' "${packages[@]}"
    exit 0
fi

missing=()
for pkg in "${packages[@]}"; do
    # A removed package whose configuration files remain is still known to
    # dpkg -s; only "install ok installed" counts.
    dpkg -s "$pkg" 2>/dev/null | grep -qx 'Status: install ok installed' || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0
need_i386=0
for pkg in "${missing[@]}"; do
    if [[ $pkg == *:i386 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        need_i386=1
    fi
done
if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them as root, then run this again:" >&2
    [ $need_i386 -eq 1 ] && echo "  dpkg --add-architecture i386" >&2
    echo "  apt-get update" >&2
    echo "  apt-get install -y ${missing[*]}" >&2
    exit 1
fi
echo "== installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if [ $need_i386 -eq 1 ]; then
    dpkg --add-architecture i386 || exit 1
fi
# A mirror in the middle of a sync serves indexes that fail their checksums
# for a few minutes: wait that out, then install from the indexes that did
# come (the install says what it cannot find).
for try in 1 2 3; do
    apt-get update && break
    echo "== apt-get update failed (try $try of 3)"
    [ $try -lt 3 ] && sleep 60
done
apt-get install -y "${missing[@]}" </dev/null
