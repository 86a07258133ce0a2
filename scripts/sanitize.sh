#!/usr/bin/env bash
# Builds with clang and runs the whole test suite twice: under AddressSanitizer +
# UndefinedBehaviorSanitizer (build-asan/), then under ThreadSanitizer (build-tsan/). The process
# tests drive the sanitized worker executable too, so a report inside the worker (non-zero exit,
# text on standard error) fails them as well. Any report or failure fails the run.
#
# The TSan run takes every test rather than a selection by name: the threads live in the worker
# (session driver, channel, input and engine threads) and in the process tests, and the rest of
# the suite adds only seconds, so no test that touches threads can be left out by a name pattern.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cmake -S . -B build-asan -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTW_SANITIZE=address,undefined -DTW_BENCH=OFF >/dev/null
ninja -C build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$jobs" </dev/null

echo "== ThreadSanitizer"
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
cmake -S . -B build-tsan -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTW_SANITIZE=thread -DTW_BENCH=OFF >/dev/null
ninja -C build-tsan -j"$jobs"
ctest --test-dir build-tsan --output-on-failure -j"$jobs" </dev/null
