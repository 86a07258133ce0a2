#!/usr/bin/env bash
# Builds with coverage counters (g++), runs every test, unit and process alike (the worker writes
# its counts before it ends), and prints line and branch coverage per folder with gcovr:
# contracts/, engine/, worker/ and the host tool's tallywarden/. Counters are updated atomically
# (-fprofile-update=atomic, set by TW_COVERAGE), as several threads update them. Test code is
# left out: the *_test.cc files and the test helpers (contracts/test_records.h, engine/testing/).
# Branches that only exceptions take, and branches the compiler marks
# unreachable, are not counted.
# Usage: scripts/coverage.sh [--files]   (--files also lists every file below 100% with the lines
# and branches it misses)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build-cov -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTW_COVERAGE=ON -DTW_BENCH=OFF >/dev/null
ninja -C build-cov -j"$(nproc)"
# Counts of an earlier build would be merged into (or, after a rebuild, clash with) this run's.
find build-cov -name '*.gcda' -delete
if ! ctest --test-dir build-cov -j"$(nproc)" </dev/null >build-cov/ctest.log 2>&1; then
  ctest --test-dir build-cov --rerun-failed --output-on-failure </dev/null
fi
gcovr_args=(--root . --exclude '.*_test\.cc' --exclude 'contracts/test_records\.h'
  --exclude 'engine/testing/' --exclude-throw-branches --exclude-unreachable-branches)
# gcovr checks that it can write its output file by creating it and then deleting it, so it is
# never pointed at /dev/null (as root that would remove the device); the report goes to a
# scratch file and only the summary is printed.
report=$(mktemp)
trap 'rm -f "$report"' EXIT
for dir in contracts engine worker tallywarden; do
  echo "== $dir"
  gcovr "${gcovr_args[@]}" --filter "$dir/" --print-summary -o "$report" build-cov 2>/dev/null |
    grep -E '^(lines|branches):'
  if [ "${1:-}" = "--files" ]; then
    gcovr "${gcovr_args[@]}" --filter "$dir/" build-cov 2>/dev/null | grep -vE ' 100%|^-+$' |
      sed -n '3,$p'
    gcovr "${gcovr_args[@]}" --filter "$dir/" -b build-cov 2>/dev/null | grep -vE ' 100%|--%|^-+$' |
      sed -n '3,$p'
  fi
done
