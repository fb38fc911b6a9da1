#!/bin/sh
# Runs a Windows program under Wine in a private prefix: wine-exec.sh PREFIX PROGRAM [ARGS...]
# The prefix is made on first use; code page 932 comes from the Japanese locale.
set -eu
prefix=$1
shift
export WINEPREFIX="$prefix"
export LC_ALL=ja_JP.UTF-8
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree=;mshtml="
if [ -x /usr/lib/wine/wine64 ]; then wine=/usr/lib/wine/wine64; else wine=wine; fi
if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$prefix"
    # Several programs may start at once; only one makes the prefix.
    flock "$prefix.lock" sh -c '[ -f "$WINEPREFIX/system.reg" ] || { wineboot -i >/dev/null 2>&1; wineserver -w; }'
fi
exec "$wine" "$@"
