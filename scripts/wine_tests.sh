#!/usr/bin/env bash
# Runs the Windows build's tests under Wine, in a throw-away prefix inside the
# build folder: created once, reused by later runs, its wineserver stopped at
# the end.
set -euo pipefail

build=${1:-build-windows}
export WINEPREFIX="$(cd "$build" && pwd)/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer prompts
export WINEARCH=win64

trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: creating the prefix $WINEPREFIX"
    wineboot --init >/dev/null 2>&1
    wineserver -w
fi
wineserver -p >/dev/null 2>&1 || true  # keep one server for the whole run

cd "$build"
ctest --output-on-failure -j "$(nproc)"
