#!/usr/bin/env bash
# The HTML report of the example session opens in headless Chromium without a console message
# (a refused resource, a script or a parse problem would log one), its screenshot is written, and
# the parsed page holds the verdict, both charts and the tables. Skipped (status 77) without
# Chromium.
#
# Then a generated month of about 30,000 entries is planned, run and reported as one period
# report: the page opens without a console message in under 2 s (median of 3 openings, from the
# start of navigation to the end of the load event, browser start-up not counted), in en and
# pt-BR. With SHOTS_DIR, screenshots of its top, its worklist and its stores are written there.
# Usage: report_chromium.sh WORKER TOOL SOURCE_DIR [SCREENSHOT_COPY [SHOTS_DIR]]
set -euo pipefail
worker=$1 tool=$2 source=$3 copy=${4:-} shots=${5:-}
browser=$(command -v chromium || command -v chromium-browser || true)
if [ -z "$browser" ]; then
  echo "chromium is not installed: skipped"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$worker" --c5 --execution-fence "$work/fence" <"$source/examples/session.ndjson" >"$work/output"
"$tool" report "$work/output" --input "$source/examples/session.ndjson" \
  --html "$work/report.html" >/dev/null

run_browser() {
  timeout 120 "$browser" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$work/profile-$1" --enable-logging=stderr --v=0 "${@:2}" \
    "file://$work/report.html"
}

fail() {
  echo "FAIL: $*"
  exit 1
}

run_browser shot --screenshot="$work/report.png" --window-size=1280,2000 \
  >"$work/shot.out" 2>"$work/shot.err" || fail "chromium --screenshot ended with status $?"
run_browser dom --dump-dom >"$work/dom.html" 2>"$work/dom.err" ||
  fail "chromium --dump-dom ended with status $?"

for log in "$work/shot.err" "$work/dom.err"; do
  if grep -q ':CONSOLE' "$log"; then
    grep ':CONSOLE' "$log"
    fail "the page logged console messages"
  fi
done
[ "$(head -c 8 "$work/report.png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] ||
  fail "no PNG screenshot"
grep -q 'Completed session; the commitment verifies.' "$work/dom.html" || fail "no verdict"
[ "$(grep -o '<svg' "$work/dom.html" | wc -l)" -eq 2 ] || fail "not two charts"
[ "$(grep -o '<table' "$work/dom.html" | wc -l)" -eq 3 ] || fail "not three tables"
grep -q '<title>Reconciliation report: close-2024-05-7K2M9Q4B</title>' "$work/dom.html" ||
  fail "no title"
if [ -n "$copy" ]; then cp "$work/report.png" "$copy"; fi
echo "report opens in chromium: $(wc -c <"$work/report.html") bytes of HTML, no console message"

# The period report of a generated month.
python3 "$source/bench/gen_books.py" --out "$work/books" --month 2024-11 --entries 30000 \
  >/dev/null 2>&1 || fail "gen_books.py failed"
"$tool" plan --manifest "$work/books/template.json" "$work/books/entries.jsonl" -o "$work/plan" \
  >/dev/null || fail "plan failed"
"$tool" run "$work/plan" -j 2 --worker "$worker" >/dev/null 2>&1 || fail "run failed"
"$tool" report "$work/plan" --html "$work/month.html" --csv "$work/csv" >"$work/month.txt" ||
  fail "the month's report is not finished: $(head -5 "$work/month.txt")"
"$tool" report "$work/plan" --html "$work/month-pt.html" --locale pt-BR >/dev/null ||
  fail "the month's pt-BR report is not finished"
timeout 600 python3 "$source/bench/page_timer.py" "$browser" 3 "$work/month.html" \
  "$work/month-pt.html" >"$work/timing.json" || fail "page_timer.py failed"
python3 - "$work/timing.json" <<'CHECK' || fail "the month's page is too slow or logged messages"
import json, sys
timing = json.load(open(sys.argv[1]))
for page, figures in timing["pages"].items():
    print(f"{page.rsplit('/', 1)[-1]}: {figures['bytes']} bytes, load {figures['loadMs']:.0f} ms, "
          f"painted {figures['paintedMs']:.0f} ms")
if timing["messages"]:
    print("console messages:", timing["messages"])
sys.exit(0 if not timing["messages"] and
         all(f["loadMs"] < 2000 for f in timing["pages"].values()) else 1)
CHECK
grep -q 'Close finished' "$work/month.txt" || fail "no verdict in the month's report"
for name in allocations worklist pending totals; do
  [ -s "$work/csv/$name.csv" ] || fail "no $name.csv"
done
if [ -n "$shots" ]; then
  for shot in "h1 900 period-report-top" "#worklist 900 period-report-worklist" \
    "#stores 560 period-report-stores"; do
    set -- $shot
    timeout 120 python3 "$source/bench/page_timer.py" --shot "$browser" "$work/month-pt.html" \
      "$shots/$3.png" "$1" "$2" || fail "no screenshot of $1"
  done
fi
# One output tampered with, another run's output gone: the close is unfinished, both runs named.
python3 - "$work/plan/outputs/run-0002.out" <<'TAMPER'
import re, sys
text = open(sys.argv[1]).read()
at = text.index('"residuals":{"')
digit = text.index(':"', at + 14) + 2
text = text[:digit] + ("2" if text[digit] == "1" else "1") + text[digit + 1:]
open(sys.argv[1], "w").write(text)
TAMPER
rm "$work/plan/outputs/run-0003.out" "$work/plan/outputs/run-0003.json"
status=0
"$tool" report "$work/plan" >"$work/unfinished.txt" || status=$?
[ "$status" -eq 1 ] || fail "an unfinished close ended with status $status"
grep -q 'Close NOT finished' "$work/unfinished.txt" || fail "no unfinished verdict"
grep -q 'run run-0002 is not-verified' "$work/unfinished.txt" || fail "the tampered run is not named"
grep -q 'run run-0003 is missing' "$work/unfinished.txt" || fail "the missing run is not named"
echo "the month's period report opens in chromium: $(head -1 "$work/month.txt")"
