#!/usr/bin/env bash
# Runs the Windows build's tests under Wine, in a throw-away prefix inside the
# build folder: created afresh at the start of each run (so no registry value
# or COM link of an earlier run is left), shared by every test of the run,
# its wineserver stopped and the prefix removed at the end. Set
# QX17_KEEP_WINEPREFIX=1 to keep it for a look afterwards.
set -euo pipefail

build=${1:-build-windows}
shift || true

# The window tests need a display: the whole run gets one virtual X display,
# shared by every Wine program of the run.
if [ -z "${DISPLAY:-}" ] && [ -z "${QX17_IN_XVFB:-}" ]; then
    export QX17_IN_XVFB=1
    exec xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24" "$0" "$build" "$@"
fi
export WINEPREFIX="$(cd "$build" && pwd)/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer prompts
export WINEARCH=win64

finish() {
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    if [ "${QX17_KEEP_WINEPREFIX:-0}" != 1 ]; then
        rm -rf "$WINEPREFIX"
    fi
}
trap finish EXIT

rm -rf "$WINEPREFIX"
echo "wine: creating the prefix $WINEPREFIX"
wineboot --init >/dev/null 2>&1
wineserver -w
# Every window of the run inside one Wine virtual desktop: without a window
# manager on the display, Wine would wait two seconds for each top-level
# window it destroys to be withdrawn.
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
wineserver -k >/dev/null 2>&1 || true
wineserver -w
wineserver -p >/dev/null 2>&1 || true  # one server for the whole run
# Start Wine's own services (services.exe, explorer.exe ...) now, away from
# CTest: they outlive the test that would otherwise start them and would hold
# its output pipe open, so CTest would wait for them until the time-out.
wine cmd /c exit </dev/null >/dev/null 2>&1

cd "$build"
ctest --output-on-failure -j "$(nproc)" "$@"
