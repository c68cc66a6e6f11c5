#!/usr/bin/env bash
# Runs the editor against the virtual tracker: the tracker on a
# pseudo-terminal, linked as COM1 in a throw-away configuration folder, so the
# user's own settings and port links are never touched. Press "Start" in the
# window to open COM1; the tracker's announcements then arrive. Lines typed
# into this terminal go to the tracker as its commands: "replug" plugs in the
# next tracker, which "Auto" then writes.
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
# The tracker's log outlives the demo, for reading afterwards.
log_dir="$(cd "$build" && pwd)/demo"
mkdir -p "$log_dir"
log="$log_dir/tracker.log"
: >"$log"
pids=()
cleanup() {
    exec 3>&- 2>/dev/null || true
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$config"
}
trap cleanup EXIT

# The tracker takes its commands from a pipe that this script holds open and
# feeds with the lines typed here.
mkfifo "$config/tracker.in"
ports="$config/Kestrowind/QX17EEP/ports"
"$tracker" --link 1 --link-dir "$ports" --real-pace --log "$log" \
    <"$config/tracker.in" >"$config/tracker.out" &
pids+=($!)
tracker_pid=$!
exec 3>"$config/tracker.in"

for _ in $(seq 50); do
    [ -e "$ports/com1" ] && break
    sleep 0.1
done
if [ ! -e "$ports/com1" ]; then
    echo "demo: the virtual tracker did not start" >&2
    exit 1
fi
echo "demo: virtual tracker $(head -n 1 "$config/tracker.out") linked as COM1; its log: $log"
# What the tracker answers to the commands, after its first line.
tail -n +2 -f --pid="$tracker_pid" "$config/tracker.out" | sed -u 's/^/tracker: /' &
pids+=($!)

XDG_CONFIG_HOME="$config" "$program" &
window_pid=$!
pids+=("$window_pid")

cat <<TEXT
demo: press Start in the window: COM1 opens and the tracker announces itself.
demo: Read fills the window; change a value and press its Apply, or Write.
demo: To see "Auto" at work, tick Auto, then type  replug  and Enter here:
demo: the next tracker (the next ID, factory memory) is plugged in and
demo: announces itself, and the window writes it ("Auto Write Ok!").
demo: Other commands for the tracker: $tracker --help. Close the window to end.
TEXT

# Lines typed here go to the tracker until the window closes.
while kill -0 "$window_pid" 2>/dev/null; do
    if read -r -t 1 line; then
        printf '%s\n' "$line" >&3
    elif [ $? -le 128 ]; then
        wait "$window_pid" || true  # end of input: just wait for the window
        break
    fi
done
wait "$window_pid" 2>/dev/null || true
