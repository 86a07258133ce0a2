#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the deeper checks need, and those named as
# arguments, only those that are missing. With --worker as the first argument, only what building
# the worker alone needs. Runs apt-get as root, or through sudo when that is available; refreshes
# the package lists only when something has to be installed and the install fails without it.
set -euo pipefail

packages=(g++ cmake ninja-build rapidjson-dev libssl-dev)
if [ "${1:-}" = "--worker" ]; then
  shift
else
  packages+=(
    clang-14 clang libgtest-dev googletest libbenchmark-dev
    libclang-rt-14-dev hyperfine gcovr clang-format time
    chromium python3
  )
fi
# Further packages a caller needs (scripts/windows.sh names the Windows build's).
packages+=("$@")

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  if [ "$status" != "install ok installed" ]; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo -n)
else
  echo "setup: missing packages (${missing[*]}) and no way to install them as root" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
install=("${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends
  "${missing[@]}")
echo "setup: installing ${missing[*]}" >&2
if ! "${install[@]}" </dev/null; then
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q </dev/null
  "${install[@]}" </dev/null
fi
