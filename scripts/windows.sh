#!/usr/bin/env bash
# The Windows build and its tests, on Debian: installs what is missing, cross-compiles GoogleTest
# and then the worker and its unit tests for Windows with mingw-w64 into build-windows/, and runs
# them under Wine:
#   1. the unit tests built for Windows (the platform seam's Windows file among them);
#   2. the process tests (the Linux build's tests/process_test) driving tallywarden-worker.exe
#      through Wine, all but five (named below);
#   3. the example session and generated sessions of 1 to 10000 entries, whose output, exit
#      status and silence must be those of the Linux build byte for byte (tests/compare_builds.py).
# Wine runs in a prefix of its own in build-windows/; its server is started and the prefix booted
# before any test, and the server is stopped at the end, whatever happened.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh g++-mingw-w64-x86-64-posix wine64 wine googletest
bash scripts/build.sh  # the Linux worker and process tests: the reference and the driver

out=build-windows
toolchain="$root/cmake/mingw-w64-x86_64.cmake"
# Release at -O2: GCC 12 at -O3 warns falsely (-Wrestrict) inside the standard library.
release_flags=(-DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG")

gtest="$root/$out/googletest-install"
if [ ! -f "$gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$out/googletest" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    "${release_flags[@]}" -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest" >/dev/null
  ninja -C "$out/googletest" -j"$(nproc)" install >/dev/null
fi
cmake -S . -B "$out/tw" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" "${release_flags[@]}" \
  -DGTest_DIR="$gtest/lib/cmake/GTest" >/dev/null
ninja -C "$out/tw" -j"$(nproc)"

wine64=$(dpkg -L wine64 | grep '/wine64$' | head -n 1)
wineserver=$(dpkg -L wine64 | grep '/wineserver64$' | head -n 1)
export WINEPREFIX="$root/$out/wine-prefix" WINEDEBUG=-all
mkdir -p "$WINEPREFIX"
# Wine's own processes keep the output of the Wine process that started them open: the server
# and the prefix's services are started here, detached from this script's output.
stop_wine() { "$wineserver" -k >/dev/null 2>&1 || true; "$wineserver" -w >/dev/null 2>&1 || true; }
trap stop_wine EXIT
"$wineserver" -p </dev/null >"$out/wine.log" 2>&1
"$wine64" wineboot -i </dev/null >>"$out/wine.log" 2>&1

echo "windows: unit tests under Wine" >&2
ctest --test-dir "$out/tw" --output-on-failure </dev/null

echo "windows: process tests driving tallywarden-worker.exe under Wine" >&2
# Left out: three fence tests that watch the fence's flock in /proc/locks, one that starts the
# worker under resource limits Wine itself cannot start under, and one that needs the engine to
# outlast a cancel's way in, which a Wine process's pipes make too slow to count on.
linux_only="Fault.ThreadThatCannotStartIsFatal:Fence.SecondWorkerOnAHeldFenceIsRefusedAndTheFirstGoesOn"
linux_only+=":Fence.IsFreeAgainOnceTheHolderEndsNormallyOrNot:Fence.ExistingFileKeepsItsContent"
linux_only+=":Session.CancelDuringALongRunIsAnsweredOnceWithinAbout100Milliseconds"
TW_TEST_WORKER="$root/$out/tw/tallywarden-worker.exe" TW_TEST_WORKER_LAUNCHER="$wine64" \
  ./build/tests/process_test --gtest_filter="-$linux_only" --gtest_brief=1 </dev/null

echo "windows: sessions compared with the Linux build" >&2
python3 tests/compare_builds.py --reference build/tallywarden-worker \
  --candidate "$out/tw/tallywarden-worker.exe" --launcher "$wine64" --jobs "$(nproc)"
