#!/usr/bin/env bash
# Installs what building the worker needs, if missing, builds the worker alone (into
# build-example/), and runs it in session mode on the example month-end session
# (examples/session.ndjson), with its execution fence in a temporary folder. The result pages and
# the closing "completed" message go to standard output; the exit status is the worker's.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --worker
cmake -S . -B build-example -G Ninja -DCMAKE_BUILD_TYPE=Release -DTW_TESTS=OFF -DTW_BENCH=OFF \
  >/dev/null
ninja -C build-example -j"$(nproc)" tallywarden-worker >&2
fence_dir="$(mktemp -d)"
trap 'rm -rf "$fence_dir"' EXIT
./build-example/tallywarden-worker --c5 --execution-fence "$fence_dir/fence" \
  < examples/session.ndjson
