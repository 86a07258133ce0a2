#!/usr/bin/env bash
# Installs what is missing, builds, and runs the worker on an example: one arithmetic request.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
printf '%s' '{"version":1,"command":"sum","left":2,"right":3}' | ./build/tallywarden-worker
