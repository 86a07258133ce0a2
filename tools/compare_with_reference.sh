#!/bin/sh
# Runs the worker and the Python reference engine on the example session and on generated
# sessions, and reports any difference in their output. The generated sessions cover every host
# style of bench/gen_session.py and sizes from 1 to 10000 entries, each size with several seeds:
# 5 styles x 60 sessions, plus the example. Exits 1 when any output differs, 0 otherwise, and
# also 0 (with a note) when python3 is missing. Sessions run on as many processes as there are
# processors.
# Usage: tools/compare_with_reference.sh [path-to-tallywarden-worker]
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
worker=${1:-$root/build/tallywarden-worker}
if ! command -v python3 >/dev/null 2>&1; then
  echo "python3 not found; skipping the comparison with the reference engine"
  exit 0
fi
if [ ! -x "$worker" ]; then
  echo "worker not found at $worker" >&2
  exit 2
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
started=$(date +%s)

# One comparison: SESSION_FILE NAME [GENERATOR ARGUMENTS...]; with generator arguments the session
# is generated into SESSION_FILE first. Prints "DIFFERENT: NAME" when the outputs differ.
cat > "$work/compare.sh" <<'EOF_COMPARE'
root=$1 worker=$2 session=$3 name=$4
shift 4
if [ $# -gt 0 ]; then python3 "$root/bench/gen_session.py" "$@" --output "$session" || exit 1; fi
"$worker" --c5 --execution-fence "$session.fence" < "$session" > "$session.worker"
python3 "$root/tools/reference_engine.py" "$session" > "$session.reference" 2>/dev/null
cmp -s "$session.worker" "$session.reference" || echo "DIFFERENT: $name"
rm -f "$session.worker" "$session.reference" "$session.fence"
[ "$session" = "$root/examples/session.ndjson" ] || rm -f "$session"
EOF_COMPARE

sizes="1 2 7 23 50 99 100 150 200 201 333 500 777 1000 1500 2000 3000 4000 6000 10000"
{
  echo "$root/examples/session.ndjson examples/session.ndjson"
  k=0
  for style in plain python-default ascii-escaped utf8-compact reordered-crlf; do
    for round in 1 2 3; do
      for n in $sizes; do
        k=$((k + 1))
        seed=$((round * 100000 + n))
        echo "$work/s$k.ndjson $style-$n-seed-$seed --entries $n --seed $seed --style $style"
      done
    done
  done
} > "$work/cases"
count=$(wc -l < "$work/cases")
jobs=$(nproc 2>/dev/null || echo 2)
# Each line of cases holds the arguments of one comparison.
xargs -P "$jobs" -L 1 sh "$work/compare.sh" "$root" "$worker" < "$work/cases" > "$work/report"
status=$?
cat "$work/report"
failures=$(grep -c '^DIFFERENT' "$work/report")
echo "$count sessions compared in $(($(date +%s) - started)) s, $failures different"
[ "$status" -eq 0 ] && [ "$failures" -eq 0 ]
