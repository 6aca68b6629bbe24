#!/usr/bin/env bash
# The tests, in six timed stages:
#   normal  the main job's set-up and a build of everything (build/), then the whole suite
#   asan    the whole suite again under AddressSanitizer + UBSan (build-asan/)
#   tsan    the tests labelled 'concurrency' under ThreadSanitizer (build-tsan/)
#   fuzz    every fuzz target for its number of runs (times WS_FUZZ_SCALE, from
#           seed WS_FUZZ_SEED), two at a time
#   package the Debian packages built, installed with apt-get and run from /usr
#   windows the 32- and 64-bit Windows builds (build-win32/, build-win64/), the
#           tests of both under Wine, the zips and both sample upgrades compared
#           with Linux (scripts/windows.sh)
# A failing test or any sanitizer report, also one from a program a test
# starts (dbupdate), fails the stage; every stage runs. Each stage prints its
# start, one line per test and its end; builds and test output go to log
# files, shown only for what failed. The last line is the verdict of the whole
# run, "N passed, M failed", counting every test of every stage (a stage that
# fails outside its tests, in its build say, counts as one failed), and the
# exit code agrees with it. Name stages to run only those: test.sh asan fuzz
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)
fuzz_scale=${WS_FUZZ_SCALE:-1}
fuzz_seed=${WS_FUZZ_SEED:-1}

# Reports go to files (<dir>/report.<pid>) rather than into the test's
# output, so that none is lost to a test that only checks an exit code.
sanitizer_env() {
    local dir=$1
    rm -rf "$dir"
    mkdir -p "$dir"
    # Allocation stacks are taken by the frame-pointer unwinder (our code is
    # built with frame pointers): the slow one made every allocation several
    # times dearer and the kill tests five times slower. A report's own stack
    # still comes from the full unwinder.
    export ASAN_OPTIONS="log_path=$dir/report:detect_leaks=1:fast_unwind_on_malloc=1:fast_unwind_on_fatal=0:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:strict_string_checks=1"
    export LSAN_OPTIONS="suppressions=$root/sanitizers/lsan.supp:print_suppressions=0"
    export UBSAN_OPTIONS="log_path=$dir/report:print_stacktrace=1:halt_on_error=1:suppressions=$root/sanitizers/ubsan.supp"
    # Debian's Qt is not instrumented: what it does inside (freeing a finished
    # thread's state, its own locking) would otherwise be reported as races
    # with our code. Races between our own accesses are still reported.
    export TSAN_OPTIONS="log_path=$dir/report:halt_on_error=1:second_deadlock_stack=1:ignore_noninstrumented_modules=1:suppressions=$root/sanitizers/tsan.supp"
}

# Prints every report left in the directory; false when there was one.
check_reports() {
    local dir=$1 found=0 empty=0 f
    for f in "$dir"/*; do
        [ -e "$f" ] || continue
        # A program the kill tests SIGKILL while the leak checker's helper
        # runs at its exit can leave the file opened but empty: no report.
        if [ ! -s "$f" ]; then
            empty=$((empty + 1))
            continue
        fi
        found=1
        echo "== Sanitizer report $f"
        head -n 150 "$f"
    done
    [ $empty -eq 0 ] || echo "== $empty empty sanitizer logs (processes killed by the kill tests), ignored"
    return $found
}

# Counts of the current stage's tests, set by run_ctest.
stage_passed=0
stage_failed=0

# Builds quietly: the output goes to <dir>/build.log and its end is shown
# only when the build fails.
build() {
    local dir=$1
    shift
    if ! cmake --build "$dir" -j"$jobs" "$@" >"$dir/build.log" 2>&1; then
        tail -n 60 "$dir/build.log"
        echo "== Build FAILED (whole output in $dir/build.log)"
        return 1
    fi
}

# The programs of the tests CTest selects in a build directory, as --target
# arguments: a test's program is named after the test (ws_add_test, and
# fuzz_<target>[_seeds]); helper programs come as dependencies. Sanitizer
# builds build these only, not the benchmarks.
test_targets() {
    local dir=$1 name targets
    shift
    # A test that runs another test's program with other arguments
    # (tst_uihelpers_noboxes) names no program of its own.
    targets=$(cmake --build "$dir" --target help | sed -n 's/^\.\.\. \([^ ]*\).*/\1/p')
    (cd "$dir" && ctest -N "$@") | sed -n 's/^ *Test *#[0-9]*: *//p' | while read -r name; do
        name=${name#fuzz_}
        name=${name%_seeds}
        grep -qx -- "$name" <<<"$targets" && printf -- '--target %s\n' "$name"
    done | sort -u
}

# Runs CTest in a build directory with the given selection. Its output goes
# to <dir>/ctest.log; shown are one line per test and the summary, and the
# output of every test that failed.
run_ctest() {
    local dir=$1 status=0 summary
    shift
    (cd "$dir" && ctest --output-on-failure -j"$jobs" "$@") >"$dir/ctest.log" 2>&1 || status=1
    if [ $status -eq 0 ]; then
        grep -E '^ *[0-9]+/[0-9]+ Test +#|tests passed' "$dir/ctest.log"
    else
        grep -v -E '^ +Start +[0-9]+: ' "$dir/ctest.log"
    fi
    summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$dir/ctest.log" | tail -n 1)
    if [ -n "$summary" ]; then
        local failed total
        failed=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
        total=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$summary")
        stage_passed=$((stage_passed + total - failed))
        stage_failed=$((stage_failed + failed))
    elif grep -q 'No tests were found' "$dir/ctest.log"; then
        echo "== No tests selected"
        status=1
    fi
    return $status
}

stage_normal() {
    bash scripts/setup.sh || return 1
    run_ctest build -LE '^fuzzing$'
}

stage_asan() {
    cmake --preset asan -DWS_FUZZ_SCALE="$fuzz_scale" -DWS_FUZZ_SEED="$fuzz_seed" >/dev/null || return 1
    # shellcheck disable=SC2046
    build build-asan $(test_targets build-asan) || return 1
    sanitizer_env "$root/build-asan/sanitizer-reports"
    local status=0
    run_ctest build-asan -LE '^fuzzing$' || status=1
    check_reports build-asan/sanitizer-reports || status=1
    return $status
}

# Only the programs of the concurrency tests are built.
stage_tsan() {
    cmake --preset tsan >/dev/null || return 1
    local targets
    targets=$(test_targets build-tsan -L '^concurrency$')
    if [ -z "$targets" ]; then
        echo "No tests labelled 'concurrency' yet."
        return 0
    fi
    # shellcheck disable=SC2086
    build build-tsan $targets || return 1
    sanitizer_env "$root/build-tsan/sanitizer-reports"
    local status=0
    run_ctest build-tsan -L '^concurrency$' || status=1
    check_reports build-tsan/sanitizer-reports || status=1
    return $status
}

# The Debian packages built, installed with apt-get and run from /usr.
stage_package() {
    local status=0
    mkdir -p build
    bash scripts/package-check.sh >build/package-check.log 2>&1 || status=1
    if [ $status -eq 0 ]; then
        grep -E '^== ' build/package-check.log
        stage_passed=1
    else
        tail -n 60 build/package-check.log
        echo "== Package check FAILED (whole output in build/package-check.log)"
    fi
    return $status
}

# The asan stage built the targets; libFuzzer itself ends a target at its
# first report, keeping the input under build-asan/fuzz/artifacts/.
stage_fuzz() {
    cmake --preset asan -DWS_FUZZ_SCALE="$fuzz_scale" -DWS_FUZZ_SEED="$fuzz_seed" >/dev/null || return 1
    local targets
    targets=$(test_targets build-asan -L '^fuzzing$')
    if [ -z "$targets" ]; then
        echo "No fuzz targets found: the fuzz/ set-up is broken."
        return 1
    fi
    # shellcheck disable=SC2086
    build build-asan $targets || return 1
    sanitizer_env "$root/build-asan/sanitizer-reports"
    local status=0
    run_ctest build-asan -L '^fuzzing$' || status=1
    # What each target did.
    awk '/^[0-9]+\/[0-9]+ Test: / { name = $3 } /^Done [0-9]+ runs/ { print "  " name ": " $0 }' \
        build-asan/Testing/Temporary/LastTest.log 2>/dev/null
    check_reports build-asan/sanitizer-reports || status=1
    return $status
}

# scripts/windows.sh leaves each build's counts in build-win32/counts and
# build-win64/counts: "windows <preset>: N programs passed, M failed, ...".
stage_windows() {
    local status=0 counts preset
    rm -f build-win32/counts build-win64/counts
    bash scripts/windows.sh all || status=1
    for preset in win32 win64; do
        counts=$(cat build-$preset/counts 2>/dev/null)
        if [[ $counts =~ ([0-9]+)\ programs\ passed,\ ([0-9]+)\ failed ]]; then
            stage_passed=$((stage_passed + BASH_REMATCH[1]))
            stage_failed=$((stage_failed + BASH_REMATCH[2]))
        fi
    done
    return $status
}

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(normal asan tsan fuzz package windows)
for stage in "${stages[@]}"; do
    if ! declare -F "stage_$stage" >/dev/null; then
        echo "Unknown stage '$stage' (normal, asan, tsan, fuzz, package, windows)" >&2
        exit 2
    fi
done
summary=()
passed=0
failed=0
for stage in "${stages[@]}"; do
    echo "===== Stage $stage: start"
    start=$SECONDS
    stage_passed=0
    stage_failed=0
    if "stage_$stage"; then
        result=passed
    else
        result=FAILED
        # A failure outside the tests (the build, a sanitizer report about
        # no test in particular, the package check) counts as one.
        [ "$stage_failed" -gt 0 ] || stage_failed=1
    fi
    passed=$((passed + stage_passed))
    failed=$((failed + stage_failed))
    line=$(printf '%-7s %-7s %4d s  %d passed, %d failed' "$stage" "$result" $((SECONDS - start)) \
        "$stage_passed" "$stage_failed")
    echo "===== Stage $line"
    summary+=("$line")
done

echo
echo "===== Stages (total $SECONDS s)"
printf '  %s\n' "${summary[@]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
