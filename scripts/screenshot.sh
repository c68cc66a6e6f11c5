#!/usr/bin/env bash
# Takes a screenshot of the editor's window on a virtual X display (Xvfb) and
# writes it to docs/screenshot-linux.png. Installs the few Debian packages it
# needs when they are missing (as root, or through sudo).
#
#   scripts/screenshot.sh [build-folder] [output.png]
#
# SCALE=2 scripts/screenshot.sh build /tmp/shot-2x.png shows the window at a
# scale factor of 2, as on a dense screen.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
output=${2:-$root/docs/screenshot-linux.png}
scale=${SCALE:-1}

"$root/scripts/setup.sh" xvfb xauth xdotool imagemagick

cd "$root"
if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target qx17eep
program=$(realpath "$build/ui/qx17eep")
mkdir -p "$(dirname "$output")"
output=$(realpath -m "$output")

# The program's settings and port links go to a throw-away folder.
config=$(mktemp -d "${TMPDIR:-/tmp}/qx17-screenshot.XXXXXX")
trap 'rm -rf "$config"' EXIT

# Inside the virtual display: start the program, wait for its window, let it
# draw, capture the window (its client area: there is no window manager, so
# no frame), end the program.
export QX17_PROGRAM="$program" QX17_OUTPUT="$output" QX17_SCALE="$scale" XDG_CONFIG_HOME="$config"
xvfb-run --auto-servernum --server-args="-screen 0 1280x1024x24" bash -c '
    set -euo pipefail
    QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR="$QX17_SCALE" "$QX17_PROGRAM" &
    pid=$!
    trap "kill $pid 2>/dev/null || true; wait $pid 2>/dev/null || true" EXIT
    window=""
    for _ in $(seq 100); do
        window=$(xdotool search --onlyvisible --name "QX17 Parameter Editor" 2>/dev/null | head -n 1 || true)
        [ -n "$window" ] && break
        sleep 0.1
    done
    if [ -z "$window" ]; then
        echo "screenshot: the window did not appear" >&2
        exit 1
    fi
    sleep 1
    import -window "$window" "$QX17_OUTPUT"
'
echo "screenshot: $output ($(identify -format '%wx%h' "$output"))"
