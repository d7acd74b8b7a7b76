#!/usr/bin/env bash
# Builds everything and runs every suite, in five stages:
#   native   the distribution's g++, ctest (with the Debian package, lintian,
#            and the manual pages and completion against --help)
#   asan     the same with AddressSanitizer and UndefinedBehaviorSanitizer,
#            then each libFuzzer target of fuzz/ for 20 s (clang, its own
#            build tree; two targets at a time)
#   windows  mingw-w64 i686, ctest under 32-bit Wine on a virtual display
#            (with the portable zip); on a machine whose kernel runs no
#            32-bit program, mingw-w64 x86_64 under 64-bit Wine instead, and
#            the suites that need 32-bit code are named as skipped
#   vm       the distribution's kernel under QEMU: served KT3916 devices and a
#            plain CD-ROM drive through the real SCSI stack, then the Debian
#            package installed there (tests/vm)
#   fresh    the README's commands in a fresh Debian 12 root (tests/fresh)
# The stages overlap: builds run one after another (two compilers each),
# while the tests of a built stage run in the background, the VM boots as
# soon as the programs it runs are built and the fresh root works from the
# start. Each background part logs to its build tree and is shown whole when
# it ends.
# Installs missing Debian packages (the list: scripts/packages.txt) when run
# as root; otherwise names them.
# Usage: scripts/test.sh [native] [asan] [windows] [vm] [fresh]  (default: all)
# The last line is "N passed, N failed, N skipped", summed over the stages'
# ctest runs and the vm and fresh stages' checks; a stage that ends without
# counts fails the run.
# KT_RUNS_32BIT=0 or 1 stands in for the machine's answer, to rehearse the
# other kind of machine.
set -uo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1
ROOT=$PWD
JOBS=(-j2)

STAGES=("$@")
if [ ${#STAGES[@]} -eq 0 ]; then
    STAGES=(native asan windows vm fresh)
fi
for stage in "${STAGES[@]}"; do
    case $stage in
    native | asan | windows | vm | fresh) ;;
    *)
        echo "unknown stage '$stage' (known: native asan windows vm fresh)" >&2
        exit 2
        ;;
    esac
done

selected() {
    local s
    for s in "${STAGES[@]}"; do
        [ "$s" = "$1" ] && return 0
    done
    return 1
}

# Each stage leaves one line in RESULTS/NAME.result for the summary:
#   PASSED FAILED SKIPPED WARNINGS BUILD_SECONDS TEST_SECONDS RESULT
RESULTS=$ROOT/build-summary
mkdir -p "$RESULTS"
rm -f "$RESULTS"/*.result "$RESULTS"/*.skipped

# Whether this machine's kernel starts 32-bit x86 programs (some kernels are
# built without that): asked by running one, a 96-byte static ELF that makes
# the exit system call with status 42, not guessed from the configuration.
runs_32bit() {
    case ${KT_RUNS_32BIT:-} in
    0) return 1 ;;
    1) return 0 ;;
    esac
    local probe=$RESULTS/probe32 rc
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08' >"$probe"
    printf '\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00' >>"$probe"
    printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00' >>"$probe"
    printf '\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >>"$probe"
    chmod +x "$probe"
    "$probe" 2>/dev/null
    rc=$?
    rm -f "$probe"
    [ $rc -eq 42 ]
}
if runs_32bit; then
    RUNS_32BIT=1
    WIN_ARCH=i686
else
    RUNS_32BIT=0
    WIN_ARCH=x86_64
    echo "== this machine's kernel runs no 32-bit program: the Windows suites run in an x86_64 build under 64-bit Wine"
fi

# What the selected stages need, from the one list. The vm stage's Windows
# programs are the i686 build under the guest's 32-bit Wine, whatever the
# host runs.
USES=(build package test)
if selected vm || { selected windows && [ $RUNS_32BIT -eq 1 ]; }; then
    USES+=(i386)
fi
bash scripts/packages.sh --install "${USES[@]}" || exit 1

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
# The windows stage's build: i686 where 32-bit Wine runs, x86_64 elsewhere.
# The VM's Windows programs are always the i686 build.
VM_WIN_ARGS=(-DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw-i686.cmake")
if [ $WIN_ARCH = i686 ]; then
    WIN_DIR=build-win WINE_ARCH=win32
else
    WIN_DIR=build-win64 WINE_ARCH=win64
fi
WIN_ARGS=(-DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw-$WIN_ARCH.cmake")

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
# from, made while the programs compile: the windows stage's, of its word
# size, and where the host runs 32-bit Wine, the VM's starting point.
wine_prefixes() {
    if selected windows; then
        mkdir -p "$ROOT/$WIN_DIR"
        KT_WINE_ARCH=$WINE_ARCH sh "$ROOT/tests/gui/gui_run.sh" setup "$ROOT/$WIN_DIR/wineprefix-gui" &&
            KT_WINE_ARCH=$WINE_ARCH WINEPREFIX=$ROOT/$WIN_DIR/wineprefix sh "$ROOT/cmake/wine-run.sh" || return 1
    fi
    if selected vm && [ $RUNS_32BIT -eq 1 ]; then
        mkdir -p "$ROOT/build-win"
        KT_WINE_ARCH=win32 sh "$ROOT/tests/gui/gui_run.sh" setup "$ROOT/build-win/wineprefix-gui"
    fi
}

# The vm stage, first part: builds what the VM runs (the native programs and
# their documents, the i686 Windows programs, the GUI driver and the
# device-map helper) and, where the host runs 32-bit programs, the VM's Wine
# prefix on the writable share, from a copy of the GUI suite's
# (tests/vm/vm_prefix.sh); elsewhere the VM makes it.
vm_build() {
    local share=$ROOT/build-vm/share
    configure "$ROOT/build-native" "${NATIVE_ARGS[@]}" &&
        nice ninja "${JOBS[@]}" -C "$ROOT/build-native" kt3916flash-cli kt3916flash-emulator kt_package_docs &&
        configure "$ROOT/build-win" "${VM_WIN_ARGS[@]}" &&
        nice ninja "${JOBS[@]}" -C "$ROOT/build-win" KT3916Flash kt_gui_driver kt3916flash-cli kt_scsi_devicemap &&
        finish prefixes &&
        rm -rf "$share" &&
        mkdir -p "$share" || return 1
    [ $RUNS_32BIT -eq 1 ] || return 0
    cp -a "$ROOT/build-win/wineprefix-gui" "$share/wineprefix" && sh "$ROOT/tests/vm/vm_prefix.sh" "$share/wineprefix"
}

# The fresh stage: the README's commands in a fresh Debian 12 root, from the
# checkout's committed HEAD (tests/fresh/fresh_check.sh).
fresh_stage() {
    local start=$SECONDS dir=$ROOT/build-fresh passed failed result
    if [ "$(id -u)" -ne 0 ]; then
        echo "fresh_check: the fresh root needs root (debootstrap, chroot, mounts)" >"$RESULTS/fresh.skipped"
        echo "0 0 0 0 0 not run" >"$RESULTS/fresh.result"
        return
    fi
    nice bash "$ROOT/tests/fresh/fresh_check.sh" "$ROOT" "$dir"
    passed=$(grep -c '^PASS ' "$dir/results.txt" 2>/dev/null)
    failed=$(grep -c '^FAIL ' "$dir/results.txt" 2>/dev/null)
    [ "${passed:-0}" -eq 0 ] && [ "${failed:-0}" -eq 0 ] && failed=1
    if [ "${failed:-0}" -eq 0 ]; then result="ok"; else result="checks FAILED"; fi
    echo "${passed:-0} ${failed:-0} 0 0 $((SECONDS - start)) $result" >"$RESULTS/fresh.result"
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

# The fresh root downloads and builds at its own pace from the start.
if selected fresh; then
    mkdir -p "$ROOT/build-fresh"
    in_background fresh "$ROOT/build-fresh/stage.log" fresh_stage
fi

if selected windows; then
    # Programs started by test scripts rather than by ctest find the same
    # prefix and Wine that the build's Wine runner uses.
    export WINEDEBUG=-all WINEPREFIX=$ROOT/$WIN_DIR/wineprefix KT_WINE_ARCH=$WINE_ARCH
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

if selected windows && build windows $WIN_DIR "${WIN_ARGS[@]}"; then
    finish native
    finish prefixes
    # What the build left out, by name and why (a 64-bit build has no
    # 32-bit-only path to try).
    if [ -s "$ROOT/$WIN_DIR/skipped-suites.txt" ]; then
        sed 's/$/, and this machine runs no 32-bit program/' "$ROOT/$WIN_DIR/skipped-suites.txt" \
            >"$RESULTS/windows.skipped"
    fi
    in_background windows "$ROOT/$WIN_DIR/tests.log" \
        run_tests windows $WIN_DIR $BUILD_SECONDS xvfb-run -a -s "-screen 0 1280x1024x24"
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
finish fresh
# The prefix's wineserver lingers a minute after the last program.
if [ -d "${WINEPREFIX:-}" ]; then
    (. "$ROOT/cmake/wine-env.sh" && "$WINESERVER" -k >/dev/null 2>&1)
fi

echo
echo "== summary (build and test seconds overlap between stages)"
TOTAL_PASSED=0
TOTAL_FAILED=0
TOTAL_SKIPPED=0
STATUS=0
for name in native asan fuzz windows vm fresh; do
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
    skipped=0
    [ -f "$RESULTS/$name.skipped" ] && skipped=$(wc -l <"$RESULTS/$name.skipped")
    TOTAL_SKIPPED=$((TOTAL_SKIPPED + skipped))
    printf '%-8s %-17s %3d passed, %3d failed, %3d skipped, %3d warnings, build %4d s, tests %4d s\n' \
        "$name" "$result" "$passed" "$failed" "$skipped" "$warnings" "$build_seconds" "$test_seconds"
    [ "$skipped" -eq 0 ] || sed 's/^/         not run: /' "$RESULTS/$name.skipped"
done
echo "wall $((SECONDS - RUN_START)) s"
echo "$TOTAL_PASSED passed, $TOTAL_FAILED failed, $TOTAL_SKIPPED skipped"
exit $STATUS
