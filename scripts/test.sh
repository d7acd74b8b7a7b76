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
# The stages overlap: builds run one after another (two compilers each),
# while the tests of a built stage run in the background and the VM boots as
# soon as the programs it runs are built. Each background part logs to its
# build tree and is shown whole when it ends.
# Installs missing Debian packages when run as root; otherwise names them.
# Usage: scripts/test.sh [native] [asan] [windows] [vm]   (default: all four)
# The last line is "N passed, N failed", summed over the stages' ctest runs
# and the vm stage's checks; a stage that ends without counts fails the run.
set -uo pipefail

# Everything the stages need, installed with apt-get when missing.
PACKAGES=(
    cmake ninja-build g++ libsystemd-dev libssl-dev
    libgtest-dev googletest libbenchmark-dev
    g++-mingw-w64-i686
    wine wine32:i386
    xvfb xauth xdotool imagemagick
    fonts-wine fonts-droid-fallback
    qemu-system-x86 linux-image-amd64 busybox-static cpio kmod sg3-utils jq python3-minimal strace
    dpkg-dev lintian man-db udev bash-completion zip unzip
    clang libfuzzer-14-dev libclang-rt-14-dev clang-format
    mosquitto mosquitto-clients libmosquitto-dev libsqlite3-dev sqlite3 nlohmann-json3-dev openssl
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
    # A mirror in the middle of a sync serves indexes that fail their checksums
    # for a few minutes: wait that out, then install from the indexes that did
    # come (the install says what it cannot find).
    local try
    for try in 1 2 3; do
        apt-get update && break
        echo "== apt-get update failed (try $try of 3)"
        [ $try -lt 3 ] && sleep 60
    done
    apt-get install -y "${missing[@]}" </dev/null || return 1
}

install_missing || exit 1

selected() {
    local s
    for s in "${STAGES[@]}"; do
        [ "$s" = "$1" ] && return 0
    done
    return 1
}

# Each stage leaves one line in RESULTS/NAME.result for the summary:
#   PASSED FAILED WARNINGS BUILD_SECONDS TEST_SECONDS RESULT
RESULTS=$ROOT/build-summary
mkdir -p "$RESULTS"
rm -f "$RESULTS"/*.result
# Only one reader or writer of build-native's Debian package at a time: its
# own check rebuilds it, the vm stage installs it.
DEB_LOCK=$RESULTS/deb.lock
RUN_START=$SECONDS

# Parts of stages that run in the background, by name: each its own process
# group (so that an interrupted run stops them) and its own log.
declare -A JOB_PID JOB_LOG
in_background() {
    local name=$1 log=$2
    shift 2
    set -m
    "$@" >"$log" 2>&1 </dev/null &
    JOB_PID[$name]=$!
    set +m
    JOB_LOG[$name]=$log
}
# finish NAME: waits for that part, then shows its log.
finish() {
    local name=$1
    [ -n "${JOB_PID[$name]:-}" ] || return 0
    wait "${JOB_PID[$name]}"
    unset "JOB_PID[$name]"
    echo
    echo "== $name: ${JOB_LOG[$name]}"
    cat "${JOB_LOG[$name]}"
}
stop_background() {
    local pid
    for pid in "${JOB_PID[@]}"; do
        kill -TERM -- "-$pid" 2>/dev/null
    done
}
trap 'trap - INT TERM; stop_background; exit 130' INT TERM

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

# configure BUILD_DIR CMAKE_ARGS...: once per run, so that no build tree is
# regenerated while a background part reads it.
declare -A CONFIGURED
configure() {
    local dir=$1
    shift
    [ -n "${CONFIGURED[$dir]:-}" ] && return 0
    mkdir -p "$dir"
    cmake -G Ninja -S "$ROOT" -B "$dir" "$@" >"$dir/configure.log" 2>&1 || {
        cat "$dir/configure.log"
        return 1
    }
    CONFIGURED[$dir]=1
}
NATIVE_ARGS=(-DKT_BUILD_BENCH=ON)
WIN_ARGS=(-DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw-i686.cmake")

# build NAME BUILD_DIR CMAKE_ARGS...: configures and builds a stage's tree
# and sets BUILD_SECONDS; a failure is that stage's result.
build() {
    local name=$1 dir=$ROOT/$2 start=$SECONDS
    shift 2
    echo
    echo "== $name: configure and build in $dir"
    if ! configure "$dir" "$@"; then
        echo "0 1 0 $((SECONDS - start)) 0 configure FAILED" >"$RESULTS/$name.result"
        return 1
    fi
    if ! nice -n 10 ninja "${JOBS[@]}" -C "$dir" >"$dir/build.log" 2>&1; then
        tail -n 80 "$dir/build.log"
        echo "0 1 0 $((SECONDS - start)) 0 build FAILED" >"$RESULTS/$name.result"
        return 1
    fi
    grep -A3 'warning:' "$dir/build.log"
    tail -n 1 "$dir/build.log"
    BUILD_SECONDS=$((SECONDS - start))
}

# run_tests NAME BUILD_DIR BUILD_SECONDS CTEST_PREFIX...: the stage's ctest
# and its result line.
run_tests() {
    local name=$1 dir=$ROOT/$2 build_seconds=$3 start=$SECONDS result warnings
    shift 3
    STAGE_PASSED=0
    STAGE_FAILED=0
    run_ctest "$dir" "$@"
    if [ "$STAGE_FAILED" -eq 0 ]; then result="ok"; else result="tests FAILED"; fi
    warnings=$(grep -c 'warning:' "$dir/build.log")
    echo "$STAGE_PASSED $STAGE_FAILED $warnings $build_seconds $((SECONDS - start)) $result" \
        >"$RESULTS/$name.result"
}

# format_check: every C++ file of the tree in the style of .clang-format;
# the files that stray are named with the first lines that would change.
format_check() {
    local files=()
    if git -C "$ROOT" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        mapfile -t files < <(git -C "$ROOT" ls-files '*.cpp' '*.h')
    else
        mapfile -t files < <(cd "$ROOT" && find . -path './build*' -prune -o \( -name '*.cpp' -o -name '*.h' \) -print)
    fi
    (cd "$ROOT" && clang-format --dry-run --Werror "${files[@]}") >"$ROOT/build-native/format.log" 2>&1 && return 0
    grep 'error:' "$ROOT/build-native/format.log" | head -n 20
    return 1
}

# The native tests rebuild the Debian package that the vm stage installs. A
# file out of style fails the stage like a failed test.
native_tests() {
    exec 9>"$DEB_LOCK"
    flock -w 900 9 || echo "waited 15 min for $DEB_LOCK; testing anyway"
    run_tests native build-native "$1" env CTEST_PARALLEL_LEVEL=2
    echo "== native: format check"
    if ! format_check; then
        local passed failed warnings build_seconds test_seconds result
        read -r passed failed warnings build_seconds test_seconds result <"$RESULTS/native.result"
        echo "$passed $((failed + 1)) $warnings $build_seconds $test_seconds format FAILED" >"$RESULTS/native.result"
    fi
}

# The Wine prefixes the Windows tests and the VM's desktop program start
# from, made while the programs compile.
wine_prefixes() {
    mkdir -p "$ROOT/build-win"
    sh "$ROOT/tests/gui/gui_run.sh" setup "$ROOT/build-win/wineprefix-gui" &&
        WINEPREFIX=$ROOT/build-win/wineprefix sh "$ROOT/cmake/wine-run.sh"
}

# The vm stage, first part: builds what the VM runs (the native programs and
# their documents, the Windows programs, the GUI driver and the device-map
# helper) and the VM's Wine prefix, a copy of the GUI suite's on the writable
# share, with drives D: to G: declared CD-ROM drives (the checks point them at
# the nodes) and the console build's Windows 98 copy reported as Windows 98.
vm_build() {
    local share=$ROOT/build-vm/share
    configure "$ROOT/build-native" "${NATIVE_ARGS[@]}" &&
        nice ninja "${JOBS[@]}" -C "$ROOT/build-native" kt3916flash-cli kt3916flash-emulator kt_package_docs &&
        configure "$ROOT/build-win" "${WIN_ARGS[@]}" &&
        nice ninja "${JOBS[@]}" -C "$ROOT/build-win" KT3916Flash kt_gui_driver kt3916flash-cli kt_scsi_devicemap &&
        finish prefixes &&
        rm -rf "$share" &&
        mkdir -p "$share" &&
        cp -a "$ROOT/build-win/wineprefix-gui" "$share/wineprefix" &&
        for letter in d e f g; do
            WINEPREFIX=$share/wineprefix WINEDEBUG=-all wine reg add 'HKLM\Software\Wine\Drives' \
                /v $letter: /t REG_SZ /d cdrom /f >/dev/null 2>&1 || return 1
        done &&
        WINEPREFIX=$share/wineprefix WINEDEBUG=-all wine reg add \
            'HKCU\Software\Wine\AppDefaults\kt3916flash-cli-win98.exe' /v Version /t REG_SZ /d win98 /f \
            >/dev/null 2>&1 &&
        WINEPREFIX=$share/wineprefix wineserver -w
}

# The vm stage, second part: boots the kernel twice and counts the checks of
# tests/vm/vm_checks.sh and of tests/vm/vm_package.sh. The package goes onto
# an overlay in a VM of its own: no udev daemon may rewrite the nodes that
# vm_checks.sh sets up by hand.
vm_boot() {
    local start=$SECONDS build_seconds=$1 dir=$ROOT/build-vm job out rc passed failed
    STAGE_PASSED=0
    STAGE_FAILED=0
    for job in vm_checks vm_package; do
        out=$dir/share
        if [ $job = vm_package ]; then
            out=$dir/package
            rm -rf "$out"
            exec 9>"$DEB_LOCK"
            if ! flock -w 900 9; then
                echo "vm_package: $DEB_LOCK held for 15 min"
                STAGE_FAILED=$((STAGE_FAILED + 1))
                continue
            fi
            rm -f "$ROOT"/build-native/kt3916flash_*.deb
            (cd "$ROOT/build-native" && cpack -G DEB >"$dir/cpack.log" 2>&1) || {
                cat "$dir/cpack.log"
                STAGE_FAILED=$((STAGE_FAILED + 1))
                continue
            }
        fi
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
    echo "$STAGE_PASSED $STAGE_FAILED 0 $build_seconds $((SECONDS - start)) $result" >"$RESULTS/vm.result"
}

if selected windows; then
    # Programs started by test scripts rather than by ctest find the same
    # prefix the build's Wine runner uses.
    export WINEDEBUG=-all WINEPREFIX=$ROOT/build-win/wineprefix
fi
if selected windows || selected vm; then
    in_background prefixes "$RESULTS/prefixes.log" wine_prefixes
fi

# The VM runs longest: it boots as soon as its programs are built.
if selected vm; then
    echo
    echo "== vm: build what the VM runs, then boot it in the background"
    start=$SECONDS
    mkdir -p "$ROOT/build-vm"
    if vm_build >"$ROOT/build-vm/build.log" 2>&1; then
        in_background vm "$ROOT/build-vm/boot.log" vm_boot $((SECONDS - start))
    else
        tail -n 40 "$ROOT/build-vm/build.log"
        echo "0 1 0 $((SECONDS - start)) 0 build FAILED" >"$RESULTS/vm.result"
    fi
fi

if selected native && build native build-native "${NATIVE_ARGS[@]}"; then
    in_background native "$ROOT/build-native/tests.log" native_tests $BUILD_SECONDS
fi

if selected windows && build windows build-win "${WIN_ARGS[@]}"; then
    finish native
    finish prefixes
    in_background windows "$ROOT/build-win/tests.log" \
        run_tests windows build-win $BUILD_SECONDS xvfb-run -a -s "-screen 0 1280x1024x24"
fi

if selected asan; then
    # Unoptimised: at -O2, GCC 12's null-pointer check reported a null load
    # of a thread_local global whose address cannot be null.
    if build asan build-asan -DKT_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug; then
        finish native
        finish windows
        in_background asan "$ROOT/build-asan/tests.log" \
            run_tests asan build-asan $BUILD_SECONDS \
            env CTEST_PARALLEL_LEVEL=2 ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1
    fi
    # Every fuzz target is one test: its seeds and regression inputs first,
    # then 20 s of fuzzing; a crash or a broken invariant fails it.
    if build fuzz build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKT_FUZZ=ON \
        -DKT_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Debug; then
        finish native
        finish windows
        finish asan
        echo
        echo "== fuzz: tests"
        run_tests fuzz build-fuzz $BUILD_SECONDS \
            env CTEST_PARALLEL_LEVEL=2 ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
    fi
fi

finish prefixes
finish native
finish windows
finish asan
finish vm
# The prefix's wineserver lingers a minute after the last program.
if [ -d "${WINEPREFIX:-}" ]; then
    wineserver -k >/dev/null 2>&1
fi

echo
echo "== summary (build and test seconds overlap between stages)"
TOTAL_PASSED=0
TOTAL_FAILED=0
STATUS=0
for name in native asan fuzz windows vm; do
    case $name in
    fuzz) selected asan || continue ;;
    *) selected $name || continue ;;
    esac
    if ! read -r passed failed warnings build_seconds test_seconds result 2>/dev/null <"$RESULTS/$name.result"; then
        # The stage's part ended without its line (killed, or a fault here).
        result="no result" passed=0 failed=1 warnings=0 build_seconds=0 test_seconds=0
    fi
    [ "$failed" -ne 0 ] && STATUS=1
    TOTAL_PASSED=$((TOTAL_PASSED + passed))
    TOTAL_FAILED=$((TOTAL_FAILED + failed))
    printf '%-8s %-17s %3d passed, %3d failed, %3d warnings, build %4d s, tests %4d s\n' \
        "$name" "$result" "$passed" "$failed" "$warnings" "$build_seconds" "$test_seconds"
done
echo "wall $((SECONDS - RUN_START)) s"
echo "$TOTAL_PASSED passed, $TOTAL_FAILED failed"
exit $STATUS
