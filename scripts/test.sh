#!/usr/bin/env bash
# Builds everything and runs every suite, in four stages:
#   native   the distribution's g++, ctest (with the Debian package, lintian,
#            and the manual pages and completion against --help)
#   asan     the same with AddressSanitizer and UndefinedBehaviorSanitizer,
#            then each libFuzzer target of fuzz/ for 20 s (clang, its own
#            build tree; two targets at a time)
#   windows  mingw-w64 i686, ctest under 32-bit Wine on a virtual display
#            (with the portable zip)
#   vm       the distribution's kernel under QEMU: served KT3916 devices and a
#            plain CD-ROM drive through the real SCSI stack, then the Debian
#            package installed there (tests/vm)
# Installs missing Debian packages when run as root; otherwise names them.
# Usage: scripts/test.sh [native] [asan] [windows] [vm]   (default: all four)
# The last line is "N passed, N failed", summed over the stages' ctest runs
# and the vm stage's checks.
set -uo pipefail

# Everything the stages need, installed with apt-get when missing.
PACKAGES=(
    cmake ninja-build g++ libsystemd-dev
    libgtest-dev googletest libbenchmark-dev
    g++-mingw-w64-i686
    wine wine32:i386
    xvfb xauth xdotool imagemagick
    fonts-wine fonts-droid-fallback
    qemu-system-x86 linux-image-amd64 busybox-static cpio kmod sg3-utils jq python3-minimal strace
    dpkg-dev lintian man-db udev bash-completion zip unzip
    clang libfuzzer-14-dev libclang-rt-14-dev
)

cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1
ROOT=$PWD
JOBS=(-j2)

STAGES=("$@")
if [ ${#STAGES[@]} -eq 0 ]; then
    STAGES=(native asan windows vm)
fi
for stage in "${STAGES[@]}"; do
    case $stage in
    native | asan | windows | vm) ;;
    *)
        echo "unknown stage '$stage' (known: native asan windows vm)" >&2
        exit 2
        ;;
    esac
done

install_missing() {
    local missing=() pkg need_i386=0
    for pkg in "${PACKAGES[@]}"; do
        # A removed package whose configuration files remain is still known to
        # dpkg -s; only "install ok installed" counts.
        dpkg -s "$pkg" 2>/dev/null | grep -qx 'Status: install ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    for pkg in "${missing[@]}"; do
        if [[ $pkg == *:i386 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
            need_i386=1
        fi
    done
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages: ${missing[*]}" >&2
        echo "Install them as root, then run this script again:" >&2
        [ $need_i386 -eq 1 ] && echo "  dpkg --add-architecture i386" >&2
        echo "  apt-get update" >&2
        echo "  apt-get install -y ${missing[*]}" >&2
        return 1
    fi
    echo "== installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    if [ $need_i386 -eq 1 ]; then
        dpkg --add-architecture i386 || return 1
    fi
    apt-get update || return 1
    apt-get install -y "${missing[@]}" </dev/null || return 1
}

install_missing || exit 1

TOTAL_PASSED=0
TOTAL_FAILED=0
STATUS=0
SUMMARY=()

# run_ctest BUILD_DIR PREFIX...: runs the build's ctest through the prefix
# command and sets STAGE_PASSED / STAGE_FAILED from its counts.
run_ctest() {
    local dir=$1
    shift
    local log=$dir/ctest.log
    "$@" ctest --test-dir "$dir" --output-on-failure --no-tests=error --timeout 600 \
        </dev/null 2>&1 | tee "$log"
    local rc=${PIPESTATUS[0]}
    local total failed
    total=$(sed -n 's/.* tests failed out of \([0-9]\+\).*/\1/p' "$log" | tail -n1)
    failed=$(sed -n 's/.* \([0-9]\+\) tests failed out of.*/\1/p' "$log" | tail -n1)
    if [ -z "$total" ] || [ -z "$failed" ]; then
        # ctest ended without its counts (no tests, a crash of ctest itself).
        STAGE_PASSED=0
        STAGE_FAILED=1
        return
    fi
    STAGE_PASSED=$((total - failed))
    STAGE_FAILED=$failed
    if [ "$rc" -ne 0 ] && [ "$failed" -eq 0 ]; then
        STAGE_FAILED=1
    fi
}

# stage NAME BUILD_DIR CTEST_PREFIX... -- CMAKE_ARGS...
stage() {
    local name=$1 dir=$ROOT/$2
    shift 2
    local prefix=()
    while [ "$1" != "--" ]; do
        prefix+=("$1")
        shift
    done
    shift
    local start=$SECONDS result warnings=0
    echo
    echo "== $name: configure and build in $dir"
    STAGE_PASSED=0
    STAGE_FAILED=0
    mkdir -p "$dir"
    if ! cmake -G Ninja -S "$ROOT" -B "$dir" "$@" >"$dir/configure.log" 2>&1; then
        cat "$dir/configure.log"
        result="configure FAILED"
        STAGE_FAILED=1
    elif ! nice -n 10 ninja "${JOBS[@]}" -C "$dir" >"$dir/build.log" 2>&1; then
        tail -n 80 "$dir/build.log"
        result="build FAILED"
        STAGE_FAILED=1
    else
        warnings=$(grep -c 'warning:' "$dir/build.log")
        grep -A3 'warning:' "$dir/build.log"
        tail -n 1 "$dir/build.log"
        echo "== $name: tests"
        run_ctest "$dir" "${prefix[@]}"
        if [ "$STAGE_FAILED" -eq 0 ]; then result="ok"; else result="tests FAILED"; fi
    fi
    [ "$STAGE_FAILED" -ne 0 ] && STATUS=1
    TOTAL_PASSED=$((TOTAL_PASSED + STAGE_PASSED))
    TOTAL_FAILED=$((TOTAL_FAILED + STAGE_FAILED))
    SUMMARY+=("$(printf '%-8s %-17s %3d passed, %3d failed, %3d warnings, %4d s' \
        "$name" "$result" "$STAGE_PASSED" "$STAGE_FAILED" "$warnings" $((SECONDS - start)))")
}

# The vm stage: builds what the VM runs (the native programs and their
# Debian package, the Windows program and its GUI driver, the GUI suite's
# Wine prefix), boots the kernel twice and counts the checks of
# tests/vm/vm_checks.sh and of tests/vm/vm_package.sh.
vm_stage() {
    local start=$SECONDS result dir=$ROOT/build-vm share=$ROOT/build-vm/share
    echo
    echo "== vm: build the programs, boot the kernel, run the checks"
    STAGE_PASSED=0
    STAGE_FAILED=0
    mkdir -p "$dir"
    if ! { cmake -G Ninja -S "$ROOT" -B "$ROOT/build-native" -DKT_BUILD_BENCH=ON &&
        nice ninja "${JOBS[@]}" -C "$ROOT/build-native" kt3916flash-cli kt3916flash-emulator kt_package_docs &&
        rm -f "$ROOT"/build-native/kt3916flash_*.deb &&
        (cd "$ROOT/build-native" && cpack -G DEB) &&
        cmake -G Ninja -S "$ROOT" -B "$ROOT/build-win" \
            -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw-i686.cmake" &&
        nice ninja "${JOBS[@]}" -C "$ROOT/build-win" KT3916Flash kt_gui_driver kt3916flash-cli kt_scsi_devicemap &&
        sh "$ROOT/tests/gui/gui_run.sh" setup "$ROOT/build-win/wineprefix-gui"; } >"$dir/build.log" 2>&1; then
        tail -n 40 "$dir/build.log"
        result="build FAILED"
        STAGE_FAILED=1
    else
        # The VM's Wine gets a prefix of its own on the writable share, with
        # drives D: to G: declared CD-ROM drives; the checks point them at
        # the nodes.
        rm -rf "$share"
        mkdir -p "$share"
        cp -a "$ROOT/build-win/wineprefix-gui" "$share/wineprefix"
        for letter in d e f g; do
            WINEPREFIX=$share/wineprefix WINEDEBUG=-all wine reg add 'HKLM\Software\Wine\Drives' \
                /v $letter: /t REG_SZ /d cdrom /f >/dev/null 2>&1
        done
        WINEPREFIX=$share/wineprefix WINEDEBUG=-all wine reg add \
            'HKCU\Software\Wine\AppDefaults\kt3916flash-cli-win98.exe' /v Version /t REG_SZ /d win98 /f \
            >/dev/null 2>&1
        WINEPREFIX=$share/wineprefix wineserver -w
        # The package goes onto an overlay in a VM of its own: no udev
        # daemon may rewrite the nodes that vm_checks.sh sets up by hand.
        local job out rc passed failed
        for job in vm_checks vm_package; do
            out=$share
            [ $job = vm_package ] && out=$dir/package && rm -rf "$out"
            bash "$ROOT/tests/vm/vm_run.sh" "$out" "$ROOT/tests/vm/$job.sh"
            rc=$?
            passed=0
            failed=0
            if [ -f "$out/results.txt" ]; then
                cat "$out/results.txt"
                passed=$(grep -c '^PASS ' "$out/results.txt")
                failed=$(grep -c '^FAIL ' "$out/results.txt")
            fi
            if [ "$rc" -ne 0 ] || [ "$passed" -eq 0 ]; then
                tail -n 30 "$out/console.log"
                [ "$failed" -eq 0 ] && failed=1
            fi
            STAGE_PASSED=$((STAGE_PASSED + passed))
            STAGE_FAILED=$((STAGE_FAILED + failed))
        done
        if [ "$STAGE_FAILED" -eq 0 ]; then result="ok"; else result="checks FAILED"; fi
    fi
    [ "$STAGE_FAILED" -ne 0 ] && STATUS=1
    TOTAL_PASSED=$((TOTAL_PASSED + STAGE_PASSED))
    TOTAL_FAILED=$((TOTAL_FAILED + STAGE_FAILED))
    SUMMARY+=("$(printf '%-8s %-17s %3d passed, %3d failed, %3d warnings, %4d s' \
        vm "$result" "$STAGE_PASSED" "$STAGE_FAILED" 0 $((SECONDS - start)))")
}

for s in "${STAGES[@]}"; do
    case $s in
    native)
        stage native build-native -- -DKT_BUILD_BENCH=ON
        ;;
    asan)
        # Unoptimised: at -O2, GCC 12's null-pointer check reported a null
        # load of a thread_local global whose address cannot be null.
        stage asan build-asan \
            env ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
            -- -DKT_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
        # Every fuzz target is one test: its seeds and regression inputs
        # first, then 20 s of fuzzing; a crash or a broken invariant fails it.
        stage fuzz build-fuzz \
            env CTEST_PARALLEL_LEVEL=2 ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
            -- -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKT_FUZZ=ON -DKT_BUILD_TESTS=OFF \
            -DCMAKE_BUILD_TYPE=Debug
        ;;
    windows)
        # Programs started by test scripts rather than by ctest find the same
        # prefix the build's Wine runner uses.
        export WINEDEBUG=-all WINEPREFIX=$ROOT/build-win/wineprefix
        stage windows build-win xvfb-run -a -s "-screen 0 1280x1024x24" -- \
            -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw-i686.cmake"
        # The prefix's wineserver lingers a few seconds after the last program.
        if [ -d "$WINEPREFIX" ]; then
            wineserver -k >/dev/null 2>&1
        fi
        ;;
    vm)
        vm_stage
        ;;
    esac
done

echo
echo "== summary"
for line in "${SUMMARY[@]}"; do
    echo "$line"
done
echo "$TOTAL_PASSED passed, $TOTAL_FAILED failed"
exit $STATUS
