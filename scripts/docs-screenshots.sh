#!/bin/bash
# Remakes the screenshots in docs/: the empty window (from the run script's
# screenshot mode) and the window in use (taken by the workflow test).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
env -u DISPLAY scripts/run.sh
cp build/windows-x64/voskarelle-window.png docs/window.png

scripts/deps.sh test
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64
build="$root/build/windows-x64"
prefix="$build/wineprefix"
. scripts/display.sh
trap 'WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true; stop_display' EXIT
start_display
VOSK_SCREENSHOT_DIR="Z:$build" scripts/wine-exec.sh "$prefix" "$build/tests/windows_tests.exe" \
    --gtest_filter='WorkflowTest.LoadReadChooseWriteAndUnload'
convert "$build/workflow.bmp" docs/workflow.png
echo "docs/window.png and docs/workflow.png remade"
