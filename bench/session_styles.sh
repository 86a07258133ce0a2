#!/usr/bin/env bash
# The whole session of this tree's worker against another build of the worker (the tree before a
# change) and against the I/O floor (bench/io_floor: reads the session, writes the expected
# output), in each of the five host styles of bench/gen_session.py. The three are timed as whole
# processes by bench/alternate_timer, alternately, on the same input, and every output must be
# byte-identical to this tree's. Prints alternate_timer's lines per style, then one table of
# medians, the ratios after/before and after/floor, and the largest peak RSS of this tree's worker.
#
# Usage: bench/session_styles.sh OLD_WORKER [RUNS] [ENTRIES]   (defaults 40 rounds, 10000 entries)
# Builds a Release tree in build-bench/. Timings on a shared machine are noisy: the load average
# is printed before and after; take the medians of a quiet moment.
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -ge 1 ] || { echo "usage: bench/session_styles.sh OLD_WORKER [RUNS] [ENTRIES]" >&2; exit 2; }
old=$(realpath "$1")
runs=${2:-40}
entries=${3:-10000}
build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTW_TESTS=OFF >/dev/null
ninja -C "$build" tallywarden-worker io_floor alternate_timer >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
new="$PWD/$build/tallywarden-worker"
floor="$PWD/$build/bench/io_floor"
timer="$PWD/$build/bench/alternate_timer"
styles="plain python-default ascii-escaped utf8-compact reordered-crlf"

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)   cores: $(nproc)   rounds: $runs"
for style in $styles; do
  session="$work/$style.ndjson"
  python3 bench/gen_session.py --entries "$entries" --seed 1 --style "$style" --output "$session"
  "$new" --c5 --execution-fence "$work/fence" <"$session" >"$work/$style.out"
  echo "-- $style"
  "$timer" --runs "$runs" --input "$session" --expect "$work/$style.out" \
    "before=$old --c5 --execution-fence $work/fence" \
    "after=$new --c5 --execution-fence $work/fence" \
    "floor=$floor $work/$style.out" | tee "$work/$style.times"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"

echo
echo "| style | before | after | floor | after / before | after / floor | peak RSS after |"
echo "|---|---|---|---|---|---|---|"
for style in $styles; do
  awk -v style="$style" '
    { for (i = 1; i < NF; ++i) { if ($i == "median") m[$1] = $(i + 1); if ($i == "RSS") r[$1] = $(i + 1) } }
    END {
      printf "| %s | %.1f ms | %.1f ms | %.1f ms | %.2f | %.2f | %.1f MiB |\n", style,
             m["before"], m["after"], m["floor"], m["after"] / m["before"], m["after"] / m["floor"],
             r["after"]
    }' "$work/$style.times"
done
