#!/bin/bash
# Builds every preset and runs every test: the native ones (with AddressSanitizer
# and UBSan), then the Windows test program under Wine on a private display.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/deps.sh test

for preset in native cli windows-x64 windows-x86; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done
# The benchmarks must keep building; their figures are not part of the test.
cmake --preset native-bench >/dev/null
cmake --build --preset native-bench

prefix="$root/build/windows-x64/wineprefix"
. scripts/display.sh
cleanup() {
    WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
    stop_display
}
trap cleanup EXIT

status=0
ctest --preset native || status=1

start_display
# Make the Wine prefix before the tests, once, without dialogs.
scripts/wine-exec.sh "$prefix" cmd /c exit >/dev/null 2>&1 || true
ctest --preset windows-x64 || status=1
exit $status
