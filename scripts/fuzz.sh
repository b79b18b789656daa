#!/bin/bash
# Builds the libFuzzer targets (clang, with ASan and UBSan) and runs every
# one of them for SECONDS seconds each (default 60), each on a fresh copy of
# its committed seed corpus, tests/fuzz/corpus/<name> for fuzz_<name>.
# Exits non-zero on the first finding; the input is kept beside the log in
# the build directory (TALVIK_FUZZ_BUILD, default build/fuzz).
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/lib.sh"
root="$(cd "$here/.." && pwd)"
seconds="${1:-60}"
build="${TALVIK_FUZZ_BUILD:-$root/build/fuzz}"

step "fuzz build"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTALVIK_FUZZ=ON >/dev/null || die "configuring the fuzz build failed"
targets=()
for seeds in "$root"/tests/fuzz/corpus/*/; do
    targets+=("fuzz_$(basename "$seeds")")
done
cmake --build "$build" --target "${targets[@]}" -j "$(nproc)" || die "the fuzz build failed"

for seeds in "$root"/tests/fuzz/corpus/*/; do
    name="$(basename "$seeds")"
    step "fuzz_$name ($seconds s)"
    [ -x "$build/bin/fuzz_$name" ] || die "no fuzz target fuzz_$name for the corpus $seeds"
    rm -rf "$build/corpus/$name" && mkdir -p "$build/corpus" && cp -r "$seeds" "$build/corpus/$name"
    "$build/bin/fuzz_$name" -max_total_time="$seconds" -artifact_prefix="$build/$name-" "$build/corpus/$name" \
        >"$build/$name.log" 2>&1 \
        || { tail -n 40 "$build/$name.log"; die "fuzz_$name found a fault; its input is in $build/"; }
    tail -n 1 "$build/$name.log"
done
