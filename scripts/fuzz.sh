#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 60) from its seed
# corpus under fuzz/corpus/<target>. Findings are written to build-fuzz/findings/.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
bash scripts/setup.sh
cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTW_FUZZ=ON -DTW_TESTS=OFF -DTW_BENCH=OFF >/dev/null
ninja -C build-fuzz -j"$(nproc)"
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in fuzz/*_fuzz.cc; do targets+=("$(basename "$f" .cc)"); done
fi
mkdir -p build-fuzz/findings
for t in "${targets[@]}"; do
  name=${t%_fuzz}
  seeds=fuzz/corpus/$name
  work=build-fuzz/corpus/$name
  mkdir -p "$work" "$seeds"
  echo "== $t for ${seconds}s"
  ./build-fuzz/"$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix=build-fuzz/findings/"$name"- "$work" "$seeds" 2>&1 | tail -n 12
done
