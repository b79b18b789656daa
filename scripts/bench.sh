#!/bin/bash
# Builds the benchmarks in a Linux release build and runs each of them.
# Arguments are handed to every benchmark (e.g. --benchmark_filter=Parse).
# The tools are built too: bench_session streams from the phone simulator,
# which must lie beside it.
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/lib.sh"
root="$(cd "$here/.." && pwd)"

step "benchmark build"
cmake -S "$root" -B "$root/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DTALVIK_BUILD_BENCHMARKS=ON -DTALVIK_BUILD_TOOLS=ON >/dev/null \
    || die "configuring the benchmark build failed"
cmake --build "$root/build/bench" --target benchmarks -j "$(nproc)" || die "the benchmark build failed"

for bench in "$root"/build/bench/bin/bench_*; do
    step "$(basename "$bench")"
    "$bench" "$@" || die "$(basename "$bench") failed"
done
