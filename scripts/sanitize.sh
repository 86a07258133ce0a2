#!/usr/bin/env bash
# Builds with clang and runs the whole test suite under AddressSanitizer + UndefinedBehaviorSanitizer,
# then the session and process tests under ThreadSanitizer. Any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cmake -S . -B build-asan -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTW_SANITIZE=address,undefined -DTW_BENCH=OFF >/dev/null
ninja -C build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$jobs"

export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
cmake -S . -B build-tsan -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTW_SANITIZE=thread -DTW_BENCH=OFF >/dev/null
ninja -C build-tsan -j"$jobs"
ctest --test-dir build-tsan --output-on-failure -j"$jobs" -R "${TSAN_TESTS:-Session|Channel|Frame|Process|Fence|Cli|Arith}"
