#!/usr/bin/env bash
# The tests, in five timed stages:
#   normal  the main job's set-up and build (build/), then the whole suite
#   asan    the whole suite again under AddressSanitizer + UBSan (build-asan/)
#   tsan    the tests labelled 'concurrency' under ThreadSanitizer (build-tsan/)
#   fuzz    every fuzz target for WS_FUZZ_SECONDS seconds (default 60), two at a time
#   package the Debian packages built, installed with apt-get and run from /usr
#   windows the 32- and 64-bit Windows builds (build-win32/, build-win64/), the
#           64-bit tests under Wine, the zips and the sample upgrade compared
#           with Linux (scripts/windows.sh)
# A failing test or any sanitizer report, also one from a program a test
# starts (dbupdate), fails the stage; every stage runs, and the script exits
# non-zero when any failed. Name stages to run only those: test.sh asan fuzz
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)
fuzz_seconds=${WS_FUZZ_SECONDS:-60}

# Reports go to files (<dir>/report.<pid>) rather than into the test's
# output, so that none is lost to a test that only checks an exit code.
sanitizer_env() {
    local dir=$1
    rm -rf "$dir"
    mkdir -p "$dir"
    export ASAN_OPTIONS="log_path=$dir/report:detect_leaks=1:fast_unwind_on_malloc=0:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:strict_string_checks=1"
    export LSAN_OPTIONS="suppressions=$root/sanitizers/lsan.supp:print_suppressions=0"
    export UBSAN_OPTIONS="log_path=$dir/report:print_stacktrace=1:halt_on_error=1:suppressions=$root/sanitizers/ubsan.supp"
    # Debian's Qt is not instrumented: what it does inside (freeing a finished
    # thread's state, its own locking) would otherwise be reported as races
    # with our code. Races between our own accesses are still reported.
    # The kill tests start the instrumented dbupdate hundreds of times: give
    # each test function more than QtTest's default five minutes.
    export QTEST_FUNCTION_TIMEOUT=1500000
    export TSAN_OPTIONS="log_path=$dir/report:halt_on_error=1:second_deadlock_stack=1:ignore_noninstrumented_modules=1:suppressions=$root/sanitizers/tsan.supp"
}

# Prints every report left in the directory; false when there was one.
check_reports() {
    local dir=$1 found=0 f
    for f in "$dir"/*; do
        [ -e "$f" ] || continue
        # A program the kill tests SIGKILL while the leak checker's helper
        # runs at its exit can leave the file opened but empty: no report.
        if [ ! -s "$f" ]; then
            echo "== Empty sanitizer log $f (a killed process), ignored"
            continue
        fi
        found=1
        echo "== Sanitizer report $f"
        head -n 150 "$f"
    done
    return $found
}

# CTest's summary line of the whole suite, repeated as the script's last line.
suite_summary=""

stage_normal() {
    bash scripts/setup.sh || return 1
    local status=0
    (cd build && ctest --output-on-failure -j"$jobs" -LE '^fuzzing$') | tee build/suite.log || status=1
    suite_summary=$(grep -E '^[0-9]+% tests passed' build/suite.log | tail -n 1)
    return $status
}

stage_asan() {
    cmake --preset asan -DWS_FUZZ_SECONDS="$fuzz_seconds" >/dev/null || return 1
    cmake --build build-asan -j"$jobs" || return 1
    sanitizer_env "$root/build-asan/sanitizer-reports"
    local status=0
    (cd build-asan && ctest --output-on-failure -j"$jobs" -LE '^fuzzing$') || status=1
    check_reports build-asan/sanitizer-reports || status=1
    return $status
}

# Only the programs of the concurrency tests are built: a test's program is
# named after the test (ws_add_test), and helper programs come as dependencies.
stage_tsan() {
    cmake --preset tsan >/dev/null || return 1
    local tests
    tests=$(cd build-tsan && ctest -N -L '^concurrency$' | sed -n 's/^ *Test *#[0-9]*: *//p')
    if [ -z "$tests" ]; then
        echo "No tests labelled 'concurrency' yet."
        return 0
    fi
    # shellcheck disable=SC2086
    cmake --build build-tsan -j"$jobs" --target $tests || return 1
    sanitizer_env "$root/build-tsan/sanitizer-reports"
    local status=0
    (cd build-tsan && ctest --output-on-failure -j"$jobs" -L '^concurrency$') || status=1
    check_reports build-tsan/sanitizer-reports || status=1
    return $status
}

# The asan stage built the targets; libFuzzer itself ends a target at its
# first report, keeping the input under build-asan/fuzz/artifacts/.
# The Debian packages built, installed with apt-get and run from /usr.
stage_package() {
    bash scripts/package-check.sh
}

stage_fuzz() {
    cmake --preset asan -DWS_FUZZ_SECONDS="$fuzz_seconds" >/dev/null || return 1
    cmake --build build-asan -j"$jobs" || return 1
    local targets
    targets=$(cd build-asan && ctest -N -L '^fuzzing$' | sed -n 's/^ *Test *#[0-9]*: *//p')
    if [ -z "$targets" ]; then
        echo "No fuzz targets found: the fuzz/ set-up is broken."
        return 1
    fi
    sanitizer_env "$root/build-asan/sanitizer-reports"
    local status=0
    (cd build-asan && ctest --output-on-failure -j"$jobs" -L '^fuzzing$') || status=1
    # What each target managed in its time.
    awk '/^[0-9]+\/[0-9]+ Test: / { name = $3 } /^Done [0-9]+ runs/ { print "  " name ": " $0 }' \
        build-asan/Testing/Temporary/LastTest.log 2>/dev/null
    check_reports build-asan/sanitizer-reports || status=1
    return $status
}

# Its last lines: CTest's summary of the Wine run and
# "windows: N passed, M failed, K skipped" (K: tests not built for Windows).
stage_windows() {
    bash scripts/windows.sh all
}

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(normal asan tsan fuzz package windows)
summary=()
passed=0
failed=0
for stage in "${stages[@]}"; do
    if ! declare -F "stage_$stage" >/dev/null; then
        echo "Unknown stage '$stage' (normal, asan, tsan, fuzz, package, windows)" >&2
        exit 2
    fi
    echo "===== Stage $stage"
    start=$SECONDS
    if "stage_$stage"; then
        result=passed
        passed=$((passed + 1))
    else
        result=FAILED
        failed=$((failed + 1))
    fi
    line=$(printf '%-7s %-7s %4d s' "$stage" "$result" $((SECONDS - start)))
    echo "===== Stage $line"
    summary+=("$line")
done

echo
echo "===== Stages (total $SECONDS s)"
printf '  %s\n' "${summary[@]}"
echo "Stages: $passed of $((passed + failed)) passed"
# The whole suite's own summary closes the output.
[ -n "$suite_summary" ] && echo "$suite_summary"
[ "$failed" -eq 0 ]
