#!/usr/bin/env bash
# Installs what is missing, builds, and runs every unit and process test. Fails on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
ctest --test-dir build --output-on-failure -j"$(nproc)" </dev/null
