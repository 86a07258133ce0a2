#!/bin/sh
# Runs the worker and the Python reference engine on the example session and
# on generated sessions, and reports any difference in their output.
# Usage: tools/compare_with_reference.sh [path-to-tallywarden-worker]
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
worker=${1:-$root/build/tallywarden-worker}
if ! command -v python3 >/dev/null 2>&1; then
  echo "python3 not found; skipping"
  exit 0
fi
if [ ! -x "$worker" ]; then
  echo "worker not found at $worker" >&2
  exit 2
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fence=$work/fence
failures=0
count=0

compare() {
  "$worker" --c5 --execution-fence "$fence" < "$1" > "$work/worker.out"
  python3 "$root/tools/reference_engine.py" "$1" > "$work/reference.out" 2>/dev/null
  count=$((count + 1))
  if ! cmp -s "$work/worker.out" "$work/reference.out"; then
    echo "DIFFERENT: $2"
    failures=$((failures + 1))
  fi
}

compare "$root/examples/session.ndjson" "examples/session.ndjson"
for n in 100 2000 10000; do
  for seed in 1 2 3; do
    python3 "$root/bench/gen_session.py" --entries "$n" --seed "$seed" --output "$work/gen.ndjson"
    compare "$work/gen.ndjson" "gen_session --entries $n --seed $seed"
  done
done
echo "$count sessions compared, $failures different"
[ "$failures" -eq 0 ]
