#!/usr/bin/env bash
# qx17eep.exe end to end under Wine, against the virtual tracker:
#
#   qx17eep_end_to_end.sh WINE TRACKER_SIM QX17EEP_EXE DRIVER_EXE [COM_NUMBER]
#
# Starts tracker-sim linked into the Wine prefix ($WINEPREFIX) as COMn (COM2
# unless given), its commands taken from a FIFO and its answers read from
# another; starts qx17eep.exe with no saved settings; runs the driver, which
# works the program's window as a user would (Start, Read, a new APN, the
# GPRS group's Apply, WM_CLOSE) and checks the window as it goes. Then checks
# that the program has exited with code 0 and that the tracker's own memory
# holds the new APN, '#'-terminated, where it held the factory "CMNET".
# Every process it started is stopped, and the temporary files and the
# saved settings removed, on every way out.
set -euo pipefail

usage() {
    echo "usage: $0 WINE TRACKER_SIM QX17EEP_EXE DRIVER_EXE [COM_NUMBER]" >&2
    exit 2
}
[ $# -eq 4 ] || [ $# -eq 5 ] || usage
wine=$1 tracker_sim=$2 program=$3 driver=$4 com=${5:-2}
for file in "$tracker_sim" "$program" "$driver"; do
    [ -f "$file" ] || { echo "qx17eep_end_to_end: no file $file" >&2; exit 2; }
done
case $com in
    [1-9] | [12][0-9] | 3[0-2]) ;;
    *) echo "qx17eep_end_to_end: COM_NUMBER must be 1..32, not '$com'" >&2; exit 2 ;;
esac
: "${WINEPREFIX:?qx17eep_end_to_end: WINEPREFIX is not set}"
link="$WINEPREFIX/dosdevices/com$com"

# The APN the driver types; the tracker's memory must hold it afterwards.
apn=internet.e2e
factory_apn=CMNET
apn_address=19
apn_size=32

work=$(mktemp -d "${TMPDIR:-/tmp}/qx17eep-e2e.XXXXXX")
tracker_pid="" program_pid=""

fail() {
    echo "qx17eep_end_to_end: FAILED: $*" >&2
    for log in tracker.log program.log; do
        if [ -s "$work/$log" ]; then
            echo "--- $log" >&2
            cat "$work/$log" >&2
        fi
    done
    exit 1
}

# Bounded waits: a process that will not stop is killed.
stop() {
    local pid=$1
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

cleanup() {
    set +e
    if [ -n "$program_pid" ]; then
        kill "$program_pid" 2>/dev/null
        stop "$program_pid"
    fi
    if [ -n "$tracker_pid" ]; then
        { echo quit >&3; } 2>/dev/null
        exec 3>&- 4<&-
        stop "$tracker_pid"
    fi
    rm -rf "$work"
    # The link tracker-sim made is its own to remove; one left by a killed
    # tracker would mislead the next run.
    [ -L "$link" ] && rm -f "$link"
    timeout 60 "$wine" "$driver" --delete-settings >/dev/null 2>&1 </dev/null
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# A write to a tracker that has gone fails (and the script with it) rather
# than killing the script, which would leave its cleanup undone.
trap '' PIPE

# One command to the tracker; its answer lines (without the closing "ok")
# in the variable `answer`.
tracker_command() {
    answer=""
    echo "$1" >&3 || fail "tracker-sim does not take commands"
    local line
    while IFS= read -r -t 10 -u 4 line; do
        case $line in
            ok) return 0 ;;
            error:*) fail "tracker-sim refused '$1': $line" ;;
            *) answer+="$line"$'\n' ;;
        esac
    done
    fail "tracker-sim did not answer '$1'"
}

# The tracker's APN field as hexadecimal bytes on one line ("43 4D ...") in
# the variable `field`.
read_apn_field() {
    tracker_command "dump $apn_address $apn_size"
    field=$(sed 's/^[0-9A-F]*: //' <<<"$answer" | tr '\n' ' ' | sed 's/ *$//')
}

# The bytes `text#` as dump prints them.
field_bytes() {
    printf '%s#' "$1" | od -An -tx1 -v | tr 'a-f' 'A-F' | tr -s ' \n' '  ' | sed 's/^ //; s/ $//'
}

# The tracker, its commands on one FIFO and its answers on another.
mkfifo "$work/commands" "$work/answers"
rm -f "$link"
"$tracker_sim" --link "$com" --link-dir "$WINEPREFIX/dosdevices" --quiet --no-announce \
    <"$work/commands" >"$work/answers" 2>"$work/tracker.log" &
tracker_pid=$!
exec 3>"$work/commands" 4<"$work/answers"
IFS= read -r -t 10 -u 4 slave || fail "tracker-sim did not start"
[ -L "$link" ] || fail "tracker-sim did not link com$com"
echo "qx17eep_end_to_end: the tracker is on COM$com ($slave)"

# The test's check is only as good as this: the factory APN is seen first.
read_apn_field
[[ $field == "$(field_bytes "$factory_apn")"* ]] ||
    fail "the tracker's APN field is not the factory $factory_apn: $field"

# The Windows programs get none of the FIFOs: only the script talks to the
# tracker, and nothing of Wine holds them open after it.
"$wine" "$driver" --delete-settings 3>&- 4<&- || fail "the saved settings could not be removed"
"$wine" "$program" </dev/null >"$work/program.log" 2>&1 3>&- 4<&- &
program_pid=$!

"$wine" "$driver" --port "COM$com" --apn "$apn" </dev/null 3>&- 4<&- || fail "the driver failed"

# The driver saw the process end; the Unix side of it must end too.
for _ in $(seq 100); do
    kill -0 "$program_pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$program_pid" 2>/dev/null && fail "qx17eep.exe is still running after WM_CLOSE"
status=0
wait "$program_pid" || status=$?
program_pid=""
[ "$status" -eq 0 ] || fail "qx17eep.exe exited with status $status"

read_apn_field
expected=$(field_bytes "$apn")
[[ $field == "$expected"* ]] ||
    fail "the tracker's APN field is not '$apn#' ($expected): $field"
echo "qx17eep_end_to_end: the tracker holds the APN '$apn': $field"
