#!/usr/bin/env bash
# Installs what is missing, builds, and runs the worker on an example: one arithmetic request.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
fence_dir="$(mktemp -d)" && trap 'rm -rf "$fence_dir"' EXIT && ./build/tallywarden-worker --c5 --execution-fence "$fence_dir/fence" < examples/session.ndjson
