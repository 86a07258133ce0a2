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

echo "windows: tallywarden.exe run -j 2 on a small plan, outputs compared with the Linux run's" >&2
# The plan has a bad session, so both runs end with status 1 and the same explanation. A Wine
# worker that seldom ends oddly after a complete session (see compare_builds.py) is given the
# same allowance: the Windows run is run again once, which reruns only the runs not verified.
plan_work=$(mktemp -d)
trap 'stop_wine; rm -rf "$plan_work"' EXIT
python3 tests/make_plan_folder.py "$plan_work/linux" --tool build/tallywarden --entries 3000 \
  --max-run-entries 1000 --bad 2
cp -r "$plan_work/linux" "$plan_work/windows"
status=0
./build/tallywarden run "$plan_work/linux" -j 2 2>/dev/null || status=$?
[ "$status" = 1 ] || { echo "windows: the Linux run ended with status $status" >&2; exit 1; }
same_outputs() {
  local file name
  for file in "$plan_work/linux/outputs/"*; do
    name=$(basename "$file")
    case $name in
      *.out) cmp -s "$file" "$plan_work/windows/outputs/$name" || return 1 ;;
      *.json) [ "$(sed 's/"seconds":[0-9.e+-]*,//' "$file")" = \
        "$(sed 's/"seconds":[0-9.e+-]*,//' "$plan_work/windows/outputs/$name")" ] || return 1 ;;
    esac
  done
}
for attempt in 1 2; do
  status=0
  "$wine64" "$out/tw/tallywarden.exe" run "$plan_work/windows" -j 2 </dev/null || status=$?
  if [ "$status" = 1 ] && same_outputs; then break; fi
  if [ "$attempt" = 2 ]; then
    echo "windows: tallywarden.exe run ended with status $status; outputs differ from Linux's" >&2
    exit 1
  fi
  echo "windows: tallywarden.exe run ended with status $status or other outputs; run again once" >&2
done
echo "windows: run -j 2 under Wine gives the Linux run's outputs and records" >&2
