#!/usr/bin/env bash
# The HTML report of the example session opens in headless Chromium without a console message
# (a refused resource, a script or a parse problem would log one), its screenshot is written, and
# the parsed page holds the verdict, both charts and the tables. Skipped (status 77) without
# Chromium.
# Usage: report_chromium.sh WORKER TOOL SOURCE_DIR [SCREENSHOT_COPY]
set -euo pipefail
worker=$1 tool=$2 source=$3 copy=${4:-}
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
