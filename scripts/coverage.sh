#!/usr/bin/env bash
# Builds with coverage instrumentation (g++), runs every test and prints line and branch coverage
# per folder with gcovr.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build-cov -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTW_COVERAGE=ON -DTW_BENCH=OFF >/dev/null
ninja -C build-cov -j"$(nproc)"
find build-cov -name '*.gcda' -delete
ctest --test-dir build-cov -j"$(nproc)" >/dev/null || ctest --test-dir build-cov --rerun-failed --output-on-failure
for dir in contracts engine worker; do
  echo "== $dir"
  gcovr --root . --filter "$dir/" --exclude '.*_test\.cc' --exclude-throw-branches \
    --exclude-unreachable-branches --print-summary -o /dev/null build-cov 2>/dev/null
done
