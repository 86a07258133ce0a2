#!/usr/bin/env bash
# Measures the worker against its performance targets and prints the figures:
#
#   1. whole sessions of 100, 2000 and 10000 entries (bench/gen_session.py), the worker and the
#      I/O floor (bench/io_floor.cc) run alternately on the same input; median worker/floor;
#   2. the worker's peak resident memory on the largest session (/usr/bin/time -v);
#   3. start-up: the arithmetic request answered, against /bin/true started the same way;
#   4. engine time on the worst cases the limits allow (bench/engine_bench.cc);
#   5. the stages of the largest session (bench/session_bench.cc);
#   6. the largest session in every host style (bench/gen_session.py --style): its output must be
#      byte-identical in every style; decodeFrame on all its lines (bench/session_bench.cc,
#      processor time, the styles taken in turn, median of the rounds) against the plain style,
#      and the whole session against the I/O floor with its peak memory.
#
# Usage: scripts/bench.sh [RUNS]   (default 30 alternating rounds per comparison)
# Builds a Release tree in build-bench/. Other work on the machine shows in the figures: the load
# averages are printed before and after, and every figure is a median of alternating runs.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-30}

bash scripts/setup.sh
build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTW_TESTS=OFF >/dev/null
ninja -C "$build" -j"$(nproc)" tallywarden-worker io_floor alternate_timer engine_bench \
  session_bench >/dev/null

worker="$PWD/$build/tallywarden-worker"
timer="$PWD/$build/bench/alternate_timer"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fence="$work/fence"

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)   cores: $(nproc)"

# Sessions and the worker's own output for each; every session must end with "completed".
for entries in 100 2000 10000; do
  session="$work/session-$entries.ndjson"
  python3 bench/gen_session.py --entries "$entries" --seed 1 --output "$session"
  status=0
  "$worker" --c5 --execution-fence "$fence" <"$session" >"$work/expected-$entries.out" || status=$?
  last=$(tail -n 1 "$work/expected-$entries.out")
  if [ "$status" -ne 0 ] || [[ "$last" != '{"kind":"completed"'* ]]; then
    echo "bench: the session of $entries entries did not complete (exit status $status)" >&2
    exit 1
  fi
  printf '%6s entries: %4s frames, %8s bytes in, %6s lines, %8s bytes out\n' "$entries" \
    "$(wc -l <"$session")" "$(wc -c <"$session")" "$(wc -l <"$work/expected-$entries.out")" \
    "$(wc -c <"$work/expected-$entries.out")"
done

echo
echo "== Whole sessions: worker against the I/O floor (output drained through a pipe)"
for entries in 100 2000 10000; do
  echo "-- $entries entries"
  "$timer" --runs "$runs" --input "$work/session-$entries.ndjson" \
    --expect "$work/expected-$entries.out" \
    "worker=$worker --c5 --execution-fence $fence" \
    "floor=$PWD/$build/bench/io_floor $work/expected-$entries.out"
done

echo
echo "== Peak resident memory, 10000 entries (largest of 5 runs, /usr/bin/time -v)"
peak=0
for _ in 1 2 3 4 5; do
  kib=$(/usr/bin/time -v "$worker" --c5 --execution-fence "$fence" \
    <"$work/session-10000.ndjson" 2>&1 >/dev/null |
    awk -F': ' '/Maximum resident set size/ {print $2}')
  if [ "$kib" -gt "$peak" ]; then peak=$kib; fi
done
awk -v kib="$peak" 'BEGIN { printf "worker peak RSS %.1f MiB (target: at most 64 MiB)\n", kib / 1024 }'

echo
echo "== Start-up: arithmetic request against /bin/true, same input file"
printf '{"version":1,"command":"sum","left":2,"right":3}' >"$work/sum.json"
answer=$("$worker" <"$work/sum.json")
if [ "$answer" != '{"version":1,"ok":true,"value":5}' ]; then
  echo "bench: unexpected answer to the arithmetic request: $answer" >&2
  exit 1
fi
"$timer" --runs $((runs * 10)) --warmup 20 --input "$work/sum.json" \
  "worker=$worker" "true=/bin/true"

echo
echo "== Engine worst cases (median of 5 repetitions, target: each under 100 ms)"
"$PWD/$build/bench/engine_bench" --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true 2>/dev/null | grep -E '_median|^Benchmark|^-'

echo
echo "== Stages of the 10000-entry session"
"$PWD/$build/bench/session_bench" "$work/session-10000.ndjson" 2>/dev/null |
  grep -E '^BM_|^Benchmark|^-'

echo
echo "== Host styles, 10000 entries"
styles=(plain python-default ascii-escaped utf8-compact reordered-crlf)
for style in "${styles[@]}"; do
  python3 bench/gen_session.py --entries 10000 --seed 1 --style "$style" \
    --output "$work/style-$style.ndjson"
  "$worker" --c5 --execution-fence "$fence" <"$work/style-$style.ndjson" >"$work/style-$style.out"
  if ! cmp -s "$work/style-$style.out" "$work/style-plain.out"; then
    echo "bench: the $style session's output differs from the plain session's" >&2
    exit 1
  fi
done
rounds=$(((runs + 4) / 5))
for _ in $(seq "$rounds"); do
  for style in "${styles[@]}"; do
    "$PWD/$build/bench/session_bench" "$work/style-$style.ndjson" \
      --benchmark_filter='BM_DecodeFrames$' --benchmark_format=csv 2>/dev/null |
      awk -F, -v style="$style" '$1 == "\"BM_DecodeFrames\"" { print style, $4 }'
  done
done >"$work/decode.txt"
echo "decodeFrame on every line, processor time, median of $rounds rounds:"
for style in "${styles[@]}"; do
  awk -v style="$style" '$1 == style { print $2 }' "$work/decode.txt" | sort -g |
    awk -v style="$style" -v bytes="$(wc -c <"$work/style-$style.ndjson")" '
      { t[NR] = $1 }
      END { m = NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2
            printf "%-15s %8d bytes  decode %6.2f ms  %5.0f MB/s\n", style, bytes, m, bytes / m / 1000 }'
done | awk '{ if (NR == 1) plain = $5; printf "%s  ratio to plain %.2f\n", $0, $5 / plain }'
for style in "${styles[@]}"; do
  echo "-- $style: whole session against the I/O floor"
  "$timer" --runs "$runs" --input "$work/style-$style.ndjson" --expect "$work/style-$style.out" \
    "worker=$worker --c5 --execution-fence $fence" \
    "floor=$PWD/$build/bench/io_floor $work/style-$style.out"
done

echo
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
