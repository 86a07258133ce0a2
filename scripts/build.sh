#!/usr/bin/env bash
# Configures and builds everything into build/ (CMake + Ninja). Extra arguments go to CMake.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja "$@" >/dev/null
ninja -C build -j"$(nproc)"
