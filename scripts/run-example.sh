#!/usr/bin/env bash
# Closes the example month end to end: installs what the build needs, if missing, builds the
# worker and its tool alone (into build-example/), generates a three-store retailer's books for
# a month (bench/gen_books.py, about 30,000 entries), plans them into runs (tallywarden plan),
# runs every run on this machine's processors (tallywarden run), and reports the month
# (tallywarden report), printing where the report is. Everything is kept in
# build-example/month/; the build's progress goes to standard error.
#
#   bash scripts/run-example.sh            the month: plan, run, report
#   bash scripts/run-example.sh --session  the worker alone on the example session
#                                          (examples/session.ndjson): its messages on standard
#                                          output, its exit status the script's
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-month}
bash scripts/setup.sh --worker python3
cmake -S . -B build-example -G Ninja -DCMAKE_BUILD_TYPE=Release -DTW_TESTS=OFF -DTW_BENCH=OFF \
  >/dev/null
ninja -C build-example -j"$(nproc)" tallywarden-worker tallywarden >&2

if [ "$mode" = --session ]; then
  fence_dir="$(mktemp -d)"
  trap 'rm -rf "$fence_dir"' EXIT
  exec ./build-example/tallywarden-worker --c5 --execution-fence "$fence_dir/fence" \
    <examples/session.ndjson
fi

tool=./build-example/tallywarden
month=build-example/month
rm -rf "$month"
mkdir -p "$month"
echo "== books: a month of a three-store retailer (bench/gen_books.py)" >&2
python3 bench/gen_books.py --out "$month/books" --seed 1 >&2
echo "== plan" >&2
"$tool" plan --manifest "$month/books/template.json" "$month/books/entries.jsonl" \
  -o "$month/plan" >&2
echo "== run" >&2
"$tool" run "$month/plan"
echo "== report" >&2
"$tool" report "$month/plan" --html "$month/report.html"
echo "The month's report: $PWD/$month/report.html (outputs and summary in $PWD/$month/plan/)"
