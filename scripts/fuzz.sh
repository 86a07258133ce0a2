#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 60) from its seed
# corpus under fuzz/corpus/<target> (new inputs go to build-fuzz/corpus/<target>). A crash, a
# sanitizer report, a leak, a timeout or running out of memory is a finding: its input is written
# to build-fuzz/findings/, the log of that run is printed, and the script ends with status 1
# after running the remaining targets.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]   (TARGET as in fuzz/<TARGET>_fuzz.cc or with _fuzz)
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
mkdir -p build-fuzz/findings build-fuzz/logs
failed=()
for t in "${targets[@]}"; do
  name=${t%_fuzz}
  seeds=fuzz/corpus/$name
  work=build-fuzz/corpus/$name
  log=build-fuzz/logs/$name.log
  mkdir -p "$work" "$seeds"
  echo "== ${name}_fuzz for ${seconds}s"
  status=0
  ./build-fuzz/fuzz/"${name}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix=build-fuzz/findings/"$name"- "$work" "$seeds" \
    >"$log" 2>&1 </dev/null || status=$?
  if [ "$status" -ne 0 ]; then
    echo "!! ${name}_fuzz found a problem (exit status $status); its log:"
    tail -n 80 "$log"
    failed+=("$name")
    continue
  fi
  # Last progress line (coverage, features, corpus) and the run count.
  grep -E '^#[0-9]+' "$log" | tail -n 1 || true
  grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$log" || true
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: findings in ${failed[*]} (inputs in build-fuzz/findings/)"
  exit 1
fi
echo "fuzz: ${#targets[@]} targets ran ${seconds}s each without findings"
