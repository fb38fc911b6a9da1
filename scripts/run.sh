#!/bin/bash
# Builds the program and starts it under Wine. With a display (DISPLAY set) the
# window simply opens. Without one, it starts a virtual display, waits for the
# window, saves a screenshot and closes the program as the close box would.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/deps.sh run

cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 --target voskarelle window_driver
build="$root/build/windows-x64"
prefix="$build/wineprefix"
program="$build/src/Voskarelle.exe"

if [ -n "${DISPLAY:-}" ]; then
    exec scripts/wine-exec.sh "$prefix" "$program"
fi

. scripts/display.sh
cleanup() {
    WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
    stop_display
}
trap cleanup EXIT
start_display
driver() { scripts/wine-exec.sh "$prefix" "$build/window_driver.exe" "$@"; }

scripts/wine-exec.sh "$prefix" "$program" &
program_pid=$!
if ! geometry=$(driver wait 120); then
    echo "the window did not appear" >&2
    exit 1
fi
read -r x y w h <<<"$geometry"
shot="$build/voskarelle-window.png"
import -display "$DISPLAY" -window root -crop "${w}x${h}+${x}+${y}" +repage "$shot"
echo "screenshot: $shot"
driver close 30
# Under set -e a bare wait would end the script before the code is told.
status=0
wait "$program_pid" || status=$?
echo "the program closed (exit code $status)"
exit "$status"
