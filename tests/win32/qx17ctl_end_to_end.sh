#!/usr/bin/env bash
# qx17ctl.exe end to end under Wine, through the Win32 serial API, against
# the virtual tracker of the Linux build linked into the prefix as COM4:
#
#   qx17ctl_end_to_end.sh WINE QX17CTL_EXE
#
# Run through with_com_peer.sh, with the tracker announcing itself. The
# production line takes that announcement and logs the tracker; then read
# writes a profile, write gives a changed one back with a new ID, and a last
# read shows both. A device as the log is refused. Every step's exit code and output are checked.
set -euo pipefail

[ $# -eq 2 ] || { echo "usage: $0 WINE QX17CTL_EXE" >&2; exit 2; }
wine=$1 program=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/qx17ctl-e2e.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"  # the files are named relative to it: Wine sees it as Z:\...

fail() {
    echo "qx17ctl_end_to_end: FAILED: $*" >&2
    for file in out err; do
        [ -s "$file" ] && { echo "--- $file" >&2; cat "$file" >&2; }
    done
    exit 1
}

# run EXPECTED_EXIT ARGS...: qx17ctl.exe with stdout in out, stderr in err.
run() {
    local expected=$1 status=0
    shift
    "$wine" "$program" "$@" >out 2>err </dev/null || status=$?
    sed -i 's/\r$//' out err  # a Windows console's line ends
    [ "$status" -eq "$expected" ] || fail "qx17ctl $* exited $status, not $expected"
}

# The tracker announces itself: the line's one tracker, logged, its events
# as JSON Lines on stdout.
# A profile states every value the window saves.
{
    printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Kestrowind\\QX17EEP]\r\n'
    printf '"%s"="%s"\r\n' APN line.apn APN_NAME "" APN_PW "" DNS 8.8.8.8 GPRS_TM 30 \
        ID 35712001234567 IP 203.0.113.17 Port 8051 SMS_OBJ "" SMS_INT 10 PW 0000 Listen "" \
        SOS_NO "" LOG_INT 60 TimeZone 480 SleepMode 0
    printf '"%s"=dword:%08x\r\n' GPRS_EN 1 GPRS_TYPE 0 CallReply 0
} >line.reg
run 0 line COM4 --profile line.reg --log line.csv --count 1 --json
grep -q '^time,port,id_before,id_written,outcome,differences,seconds' line.csv ||
    fail "the log has no header"
# Its events as the Linux program gives them, one JSON object a line.
[ "$(sed 's/^{"event":"\([a-z-]*\)".*/\1/' out | tr '\n' ' ')" = \
    "line-start tracker-start tracker-end line-end " ] || fail "not the line's four events"
grep -q '^{"event":"line-start","time":"[0-9T:-]*Z","format":1,"station":"[^"]*","ports":\["COM4"\],"profile":"line.reg","profile_sha256":"[0-9a-f]\{64\}","rows_to":"log line.csv"}$' out ||
    fail "the line's start is not as documented"
grep -q '^{"event":"tracker-end","time":"[^"]*","port":"COM4","id_before":"35712001234567","id_written":"35712001234567","outcome":"ok","differences":\[\],"seconds":[0-9.e-]*,"started":"[^"]*"}$' out ||
    fail "the tracker's end is not its row"
grep -q '"done":1,"ok":1,"failed":0,.*"exit_code":0}$' out || fail "the line's end is not as documented"
grep -q '^line: 1 tracker: 1 ok' err || fail "the summary is not on stderr"
grep -q ',COM4,35712001234567,35712001234567,ok,,' line.csv || fail "no ok row in the log"
[ -f line.csv.claims ] && [ ! -s line.csv.claims ] || fail "the line's claim was not settled"
run 2 line COM4 --profile line.reg --log NUL --count 1
grep -q 'NUL: not a regular file' err || fail "a device as the log is not refused"

run 0 read COM4 --json -o tracker.reg
grep -q '"APN": "line.apn"' out || fail "read does not show the line's APN"
grep -q '^"ID"="35712001234567"' tracker.reg || fail "the profile lacks the tracker's ID"

sed 's/^"APN"=.*/"APN"="wine.apn"/' tracker.reg >changed.reg
run 0 write COM4 changed.reg --id 42
grep -q 'written and verified, ID 42' out || fail "write did not verify"

run 0 read COM4
grep -q '^APN  *APN  *wine.apn' out || fail "the tracker does not hold the new APN"
grep -q '^Tracker ID  *ID  *42$' out || fail "the tracker does not hold the new ID"

# Wine lists its default COM1 (its links made at run time, COM4 among them,
# it does not list).
run 0 ports
grep -q '^COM1 ' out || fail "ports does not list COM1"
run 3 read COM31
grep -q 'COM31: Error opening serial port' err || fail "no message for a missing port"
# The live page's server is Linux's alone: the Windows program says so.
run 2 record serve "Driver={PostgreSQL Unicode};Server=127.0.0.1;Database=qx17"
grep -q '`record serve` is not available in the Windows program' err ||
    fail "record serve does not say it is not available here"
echo "qx17ctl_end_to_end: passed"
