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

# Log recovery under libFuzzer for a bounded time, from the real logs.
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
fuzz="$root/build/fuzz/run"
rm -rf "$fuzz" && mkdir -p "$fuzz/corpus"
data="$root/../shared/testdata"
xz -dc "$data/UsrClass.dat.xz" >"$fuzz/UsrClass.dat"
{ printf '\001'; xz -dc "$data/UsrClass.dat.LOG1.xz"; printf 'VOSKLOG2'; xz -dc "$data/UsrClass.dat.LOG2.xz"; } \
    >"$fuzz/corpus/usrclass-logs"
printf '\000' >"$fuzz/corpus/empty"
{ printf '\005'; xz -dc "$data/UsrClass.dat.LOG1.xz"; } >"$fuzz/corpus/usrclass-sealed"
if (cd "$fuzz" && VOSK_FUZZ_BASE="$fuzz/UsrClass.dat" "$root/build/fuzz/log_recovery_fuzz" \
        -max_total_time=60 -rss_limit_mb=4096 -max_len=1200000 -print_final_stats=1 corpus >fuzz.log 2>&1); then
    echo "fuzzing log recovery: $(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$fuzz/fuzz.log")"
else
    tail -40 "$fuzz/fuzz.log"
    echo "fuzzing log recovery found a fault (input saved in $fuzz)" >&2
    status=1
fi

start_display
# Make the Wine prefix before the tests, once, without dialogs.
scripts/wine-exec.sh "$prefix" cmd /c exit >/dev/null 2>&1 || true
ctest --preset windows-x64 || status=1
exit $status
