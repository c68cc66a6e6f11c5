#!/usr/bin/env bash
# Runs the editor against the virtual tracker: the tracker on a
# pseudo-terminal, linked as COM1 in a throw-away configuration folder, so the
# user's own settings and port links are never touched. Press "Start" in the
# window to open COM1; the tracker's announcements then arrive.
set -euo pipefail

build=${1:-build}
program="$build/ui/qx17eep"
tracker="$build/tools/tracker_sim/tracker-sim"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "demo: there is no display here. Run 'make demo' in a desktop session" >&2
    echo "      (or under 'xvfb-run -a make demo' to only see that it starts)." >&2
    exit 1
fi

config=$(mktemp -d "${TMPDIR:-/tmp}/qx17-demo.XXXXXX")
tracker_pid=""
cleanup() {
    if [ -n "$tracker_pid" ]; then
        kill "$tracker_pid" 2>/dev/null || true
        wait "$tracker_pid" 2>/dev/null || true
    fi
    rm -rf "$config"
}
trap cleanup EXIT

ports="$config/Kestrowind/QX17EEP/ports"
"$tracker" --link 1 --link-dir "$ports" --real-pace --no-stdin --quiet \
    --log "$config/tracker.log" >"$config/tracker.out" &
tracker_pid=$!

for _ in $(seq 50); do
    [ -e "$ports/com1" ] && break
    sleep 0.1
done
if [ ! -e "$ports/com1" ]; then
    echo "demo: the virtual tracker did not start" >&2
    exit 1
fi

echo "demo: virtual tracker on $(head -n 1 "$config/tracker.out"), linked as COM1"
echo "demo: press Start in the window; the tracker's log is $config/tracker.log"
XDG_CONFIG_HOME="$config" "$program"
