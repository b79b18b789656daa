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
cmake --build "$root/build/linux" --target TalvikDeb || die "making the Debian package failed"
deb="$root/build/linux/dist/talvik_$(sed -n 's/^project(Talvik VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")_amd64.deb"
lintian --fail-on error "$deb" || die "lintian reports errors in $deb"
echo "package: $deb"

step "windows build"
cmake -S "$root" -B "$root/build/windows" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DTALVIK_NATIVE_BIN_DIR="$root/build/linux/bin" >/dev/null \
    || die "configuring the Windows build failed"
cmake --build "$root/build/windows" -j "$jobs" || die "the Windows build failed"
cmake --build "$root/build/windows" --target TalvikSetup || die "making the Windows installer failed"
echo "installer: $root/build/windows/dist/TalvikSetup.exe"

step "linux tests"
ctest --test-dir "$root/build/linux" --output-on-failure -j "$jobs" || die "Linux tests failed"

step "debian package: install, use, remove"
"$root/tests/packaging/test_deb_install.sh" "$deb" || die "the Debian package test failed"

step "windows tests (wine)"
ctest --test-dir "$root/build/windows" --output-on-failure || die "Windows tests failed"

step "fuzzing (30 s per target)"
"$here/fuzz.sh" 30 || die "fuzzing failed"

"$here/asan.sh" || die "the AddressSanitizer and UndefinedBehaviorSanitizer stage failed"

step "session, engine and tray notifier tests under ThreadSanitizer"
cmake -S "$root" -B "$root/build/tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTALVIK_BUILD_TOOLS=OFF -DTALVIK_BUILD_BENCHMARKS=OFF \
    -DCMAKE_C_FLAGS=-fsanitize=thread -DCMAKE_CXX_FLAGS=-fsanitize=thread \
    -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread >/dev/null || die "configuring the ThreadSanitizer build failed"
cmake --build "$root/build/tsan" --target session_tests engine_tests service_tests -j "$jobs" \
    || die "the ThreadSanitizer build failed"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
"$root/build/tsan/bin/session_tests" --gtest_brief=1 || die "session tests failed under ThreadSanitizer"
"$root/build/tsan/bin/engine_tests" --gtest_brief=1 || die "engine tests failed under ThreadSanitizer"
"$root/build/tsan/bin/service_tests" --gtest_filter='tray_notifier.*' --gtest_brief=1 \
    || die "tray notifier tests failed under ThreadSanitizer"

echo "all tests passed in $((SECONDS - started)) s"
