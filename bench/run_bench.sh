#!/usr/bin/env bash
# `tallywarden run -j 2` against the minimal launcher (xargs -P 2 over the worker) on the same
# plan: the generated month of about 30,000 entries (bench/gen_books.py) as `tallywarden plan`
# cuts it (tests/make_plan_folder.py),
# timed alternately as whole processes by bench/alternate_timer (median, quartiles). Both write
# every output to a file; `run` also verifies each and writes its record.
#
# Usage: bench/run_bench.sh [ROUNDS [OLD_TOOL]]   (default 15 rounds); builds a Release tree in
# build-bench/. OLD_TOOL, another build's `tallywarden`, is timed as a third launcher on a copy of
# the plan. RUN_BENCH_JOBS sets how many workers each launcher runs at once (default 2). On
# Linux it waits (up to 10 minutes) until the processors have been idle for 2 s, and says how
# much processor time other processes took while it timed.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-15}
jobs=${RUN_BENCH_JOBS:-2}
build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTW_TESTS=OFF >/dev/null
ninja -C "$build" -j"$(nproc)" tallywarden tallywarden-worker alternate_timer >/dev/null
# The plan folder is kept in memory where the system has a memory file system: the benchmark
# writes and removes about 40 MB of outputs a round, and on a disk the time of either launcher
# would depend on the system's writeback of earlier rounds and, on a file system that keeps
# the inodes of files deleted a moment ago from reuse (ext4 without a journal), on how many
# files the round before removed.
# RUN_BENCH_DIR names another folder to work in (a disk's, to see its cost).
memory=${RUN_BENCH_DIR:-/dev/shm}
if [ -d "$memory" ] && [ -w "$memory" ]; then work=$(mktemp -d -p "$memory"); else work=$(mktemp -d); fi
trap 'rm -rf "$work"' EXIT
plan="$work/plan"
tool="$PWD/$build/tallywarden"
python3 tests/make_plan_folder.py "$plan" --tool "$tool"
runs=$(ls "$plan/sessions" | wc -l)
worker="$PWD/$build/tallywarden-worker"
launch="bash $PWD/bench/plan_launchers.sh"

# Both launchers must give the same outputs, and `run` must verify every one.
$launch run "$plan" "$tool" "$worker" "$jobs"
$launch xargs "$plan" "$tool" "$worker" "$jobs"
for session in "$plan"/sessions/*; do
  name=$(basename "$session" .ndjson)
  cmp -s "$plan/outputs/$name.out" "$plan/xargs-outputs/$name.ndjson" ||
    { echo "run_bench: $name's outputs differ" >&2; exit 1; }
done
grep -q "\"completed\":$runs," "$plan/summary.json" ||
  { echo "run_bench: not every one of the $runs runs verified" >&2; exit 1; }
echo "$runs runs, $(cat "$plan"/sessions/* | wc -c) bytes of sessions"

# The timer's ratios are against its last launcher: the minimal one.
arms=("run=$launch run $plan $tool $worker $jobs")
if [ -n "${2:-}" ]; then
  cp -r "$plan" "$work/old-plan"
  rm -rf "$work/old-plan/outputs" "$work/old-plan/locks"
  arms+=("old=$launch run $work/old-plan $2 $worker $jobs")
fi
arms+=("xargs=$launch xargs $plan $tool $worker $jobs")

# Busy and total processor time of the whole system so far, in clock ticks (Linux).
ticks() { awk '/^cpu /{print $2+$3+$4+$7+$8, $2+$3+$4+$5+$6+$7+$8+$9}' /proc/stat 2>/dev/null; }
if [ -r /proc/stat ]; then
  for _ in $(seq 300); do
    read -r busy1 all1 <<<"$(ticks)"; sleep 2; read -r busy2 all2 <<<"$(ticks)"
    [ $(( 100 * (busy2 - busy1) )) -le $(( 8 * (all2 - all1) )) ] && break
  done
fi
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)   cores: $(nproc)"
read -r busyBefore _ <<<"$(ticks)"
childrenBefore=$(awk '{print $16 + $17}' /proc/$$/stat 2>/dev/null || echo 0)
"$PWD/$build/bench/alternate_timer" --runs "$rounds" --warmup 1 --input /dev/null --output null \
  "${arms[@]}" || {
  echo "run_bench: a timed run failed; what it said last, and its runs that did not complete:" >&2
  tail -n 3 "$plan/run-stderr.txt" >&2
  grep -o '{[^{]*"status":"failed"[^}]*}' "$plan/summary.json" >&2 || true
  exit 1
}
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
if [ -r /proc/stat ]; then
  read -r busyAfter _ <<<"$(ticks)"
  children=$(( $(awk '{print $16 + $17}' /proc/$$/stat) - childrenBefore ))
  echo "processor time while timing: $children ticks the benchmark's, $(( busyAfter - busyBefore - children )) other processes' ($(getconf CLK_TCK) ticks a second)"
fi
