#!/usr/bin/env bash
# make bench: builds the benchmarks in a Release tree (build-bench) and runs
# every one of them; arguments are passed to each benchmark program.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=build-bench
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DHOB_BENCH=ON -DBUILD_TESTING=OFF
cmake --build "$BUILD" -j"$(nproc)"
for program in "$BUILD"/bench/*_bench; do
  [ -x "$program" ] || continue
  echo "== $(basename "$program")"
  "$program" "$@"
done
