#!/usr/bin/env bash
# Takes a screenshot of the Windows program, qx17eep.exe, under Wine: in a
# Wine virtual desktop on a virtual X display (Xvfb), in a throw-away Wine
# prefix, so the program starts with no saved settings. Writes it to
# docs/screenshot-windows.png unless told otherwise. Builds the program when
# needed and installs the few Debian packages it needs when they are missing
# (as root, or through sudo).
#
#   scripts/screenshot_windows.sh [output.png]
set -euo pipefail

if [ $# -gt 1 ]; then
    echo "usage: $0 [output.png]" >&2
    exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
output=${1:-$root/docs/screenshot-windows.png}
build="build-windows"
desktop_size=700x470

"$root/scripts/setup.sh" xvfb xauth xdotool imagemagick

cd "$root"
if [ ! -f "$build/build.ninja" ]; then
    make --no-print-directory "$build/build.ninja"
fi
cmake --build "$build" --target qx17eep
program=$(realpath "$build/ui/qx17eep.exe")
mkdir -p "$(dirname "$output")"
output=$(realpath -m "$output")

prefix=$(mktemp -d "${TMPDIR:-/tmp}/qx17-wine-screenshot.XXXXXX")
cleanup() {
    WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
    WINEPREFIX="$prefix" wineserver -w >/dev/null 2>&1 || true
    rm -rf "$prefix"
}
trap cleanup EXIT

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer prompts
export QX17_PROGRAM="$program" QX17_OUTPUT="$output" QX17_DESKTOP_SIZE="$desktop_size"

# Inside the virtual display: make the prefix, start the program in a
# virtual desktop, wait until the desktop shows the drawn window (many
# colours, and the same picture twice in a row), then write that picture,
# the desktop alone. There is no window manager, so the desktop has no frame.
xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24" bash -c '
    set -euo pipefail
    echo "screenshot: creating the Wine prefix $WINEPREFIX"
    wineboot --init >/dev/null 2>&1
    wineserver -w
    wine explorer /desktop=qx17,"$QX17_DESKTOP_SIZE" "$QX17_PROGRAM" </dev/null >/dev/null 2>&1 &
    pid=$!
    trap "kill $pid 2>/dev/null || true; wait $pid 2>/dev/null || true" EXIT

    desktop=""
    for _ in $(seq 300); do
        desktop=$(xdotool search --onlyvisible --name "^qx17" 2>/dev/null | head -n 1 || true)
        [ -n "$desktop" ] && break
        sleep 0.1
    done
    if [ -z "$desktop" ]; then
        echo "screenshot: the Wine desktop did not appear" >&2
        exit 1
    fi
    eval "$(xdotool getwindowgeometry --shell "$desktop")"
    crop="${WIDTH}x${HEIGHT}+${X}+${Y}"

    shots=$(mktemp -d)
    trap "kill $pid 2>/dev/null || true; wait $pid 2>/dev/null || true; rm -rf $shots" EXIT
    previous=""
    for i in $(seq 100); do
        sleep 0.3
        import -window root -crop "$crop" +repage "$shots/$i.png"
        colours=$(identify -format "%k" "$shots/$i.png")
        if [ -n "$previous" ] && [ "$colours" -gt 50 ] &&
            [ "$(compare -metric AE "$previous" "$shots/$i.png" null: 2>&1 || true)" = 0 ]; then
            cp "$shots/$i.png" "$QX17_OUTPUT"
            exit 0
        fi
        previous="$shots/$i.png"
    done
    echo "screenshot: the program window did not appear on the desktop" >&2
    exit 1
'
echo "screenshot: $output ($(identify -format '%wx%h' "$output"))"
