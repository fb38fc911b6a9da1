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

# The parsers of foreign bytes under libFuzzer for a bounded time each, from
# the real logs, stores and hive.
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
fuzz="$root/build/fuzz/run"
rm -rf "$fuzz" && mkdir -p "$fuzz/log_recovery" "$fuzz/boot_device" "$fuzz/identity"
data="$root/../shared/testdata"
xz -dc "$data/UsrClass.dat.xz" >"$fuzz/UsrClass.dat"
{ printf '\001'; xz -dc "$data/UsrClass.dat.LOG1.xz"; printf 'VOSKLOG2'; xz -dc "$data/UsrClass.dat.LOG2.xz"; } \
    >"$fuzz/log_recovery/usrclass-logs"
printf '\000' >"$fuzz/log_recovery/empty"
{ printf '\005'; xz -dc "$data/UsrClass.dat.LOG1.xz"; } >"$fuzz/log_recovery/usrclass-sealed"
seeds="$root/build/native/tests/fuzz_seeds"
for store in BCD-bios BCD-uefi; do
    xz -dc "$data/$store.xz" >"$fuzz/$store"
    "$seeds" store "$fuzz/$store" "$fuzz/boot_device" >/dev/null
done
"$seeds" ramdisks "$fuzz/boot_device"
xz -dc "$data/SYSTEM_2.xz" >"$fuzz/SYSTEM"
"$seeds" identities "$fuzz/SYSTEM" "$fuzz/identity" >/dev/null
fuzz_one() { # target seconds max-len
    if (cd "$fuzz" && VOSK_FUZZ_BASE="$fuzz/UsrClass.dat" "$root/build/fuzz/$1_fuzz" -max_total_time="$2" \
            -rss_limit_mb=4096 -max_len="$3" -print_final_stats=1 "$1" >"$1.log" 2>&1); then
        echo "fuzzing $1: $(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$fuzz/$1.log")"
    else
        tail -40 "$fuzz/$1.log"
        echo "fuzzing $1 found a fault (input saved in $fuzz)" >&2
        status=1
    fi
}
fuzz_one log_recovery 60 1200000
fuzz_one boot_device 30 4096
fuzz_one identity 20 1024

# The Debian package, installed, used and purged on this machine.
bash tests/package.sh || status=1

start_display
# Make the Wine prefix before the tests, once, without dialogs.
scripts/wine-exec.sh "$prefix" cmd /c exit >/dev/null 2>&1 || true
ctest --preset windows-x64 || status=1
exit $status
