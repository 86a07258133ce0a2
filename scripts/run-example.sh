#!/usr/bin/env bash
# Installs what is missing, builds, and runs the worker in session mode on the example month-end
# session (examples/session.ndjson), with its execution fence in a temporary folder. The result
# pages and the closing "completed" message go to standard output; the exit status is the
# worker's.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
fence_dir="$(mktemp -d)"
trap 'rm -rf "$fence_dir"' EXIT
./build/tallywarden-worker --c5 --execution-fence "$fence_dir/fence" < examples/session.ndjson
