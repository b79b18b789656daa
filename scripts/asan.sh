#!/bin/bash
# Every Linux test suite in Debug under AddressSanitizer and
# UndefinedBehaviorSanitizer, the end-to-end ones included, in build/asan
# (TALVIK_ASAN_BUILD to change it). The programs the tests start (the
# service, the tray, the phone simulator, camview) are built the same way and
# inherit the options; the first finding ends the process that makes it.
# Arguments go to ctest (-R session_tests runs one suite).
#
# Every report is written to a file of its own in the build directory's
# sanitizer-reports/, so that one made by a program a test started, whose
# output the test keeps to itself, still fails the run and is shown.
# Suppressed is only what lies inside system libraries (tests/sanitizers/);
# their stacks need the slow unwinder, and the crash handler keeps the fatal
# signals.
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/lib.sh"
root="$(cd "$here/.." && pwd)"
build="${TALVIK_ASAN_BUILD:-$root/build/asan}"
started=$SECONDS

step "AddressSanitizer and UndefinedBehaviorSanitizer build (Debug)"
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTALVIK_BUILD_BENCHMARKS=OFF \
    "-DCMAKE_C_FLAGS=$sanitize" "-DCMAKE_CXX_FLAGS=$sanitize" \
    -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined >/dev/null \
    || die "configuring the AddressSanitizer build failed"
cmake --build "$build" -j "$(nproc)" || die "the AddressSanitizer build failed"
built=$SECONDS

step "every Linux test suite under AddressSanitizer and UndefinedBehaviorSanitizer"
reports="$build/sanitizer-reports"
rm -rf "$reports" && mkdir -p "$reports" || die "cannot make $reports"
suppressions="$root/tests/sanitizers"
passed=0
ASAN_OPTIONS="halt_on_error=1 detect_leaks=1 fast_unwind_on_malloc=0 handle_segv=0 handle_sigbus=0 log_path=$reports/report" \
    LSAN_OPTIONS="suppressions=$suppressions/lsan.supp print_suppressions=0" \
    UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1 suppressions=$suppressions/ubsan.supp log_path=$reports/report" \
    ctest --test-dir "$build" --output-on-failure -j "$(nproc)" "$@" || passed=$?
found=("$reports"/*)
if [ -e "${found[0]}" ]; then
    for report in "${found[@]}"; do
        echo "---- $report"
        cat "$report"
    done
    die "AddressSanitizer or UndefinedBehaviorSanitizer reported ${#found[@]} finding(s), above"
fi
[ "$passed" = 0 ] || die "Linux tests failed under AddressSanitizer and UndefinedBehaviorSanitizer"
echo "sanitizer stage: build $((built - started)) s, tests $((SECONDS - built)) s"
