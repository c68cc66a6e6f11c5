#!/usr/bin/env bash
# Two stations on one shared record, one of them qx17ctl.exe under Wine
# (through odbc32), the other the Linux qx17ctl, three ports each, ten
# trackers a port from tracker-sim's scripted line:
#
#   record_two_stations.sh WINE QX17CTL_EXE QX17CTL TRACKER_SIM SERVER_DIR
#
# SERVER_DIR is the tests' PostgreSQL server (scripts/record_server.sh). Both
# lines must end with 0; the record must hold 60 rows, all ok, with 60
# distinct IDs, and every tracker the ID its row says (from the ID bytes of
# the write-all frame in the tracker's log).
set -euo pipefail

[ $# -eq 5 ] || { echo "usage: $0 WINE QX17CTL_EXE QX17CTL TRACKER_SIM SERVER_DIR" >&2; exit 2; }
wine=$1 exe=$2 ctl=$3 sim=$4 server=$5
: "${WINEPREFIX:?run under scripts/wine_tests.sh}"
work=$(mktemp -d "${TMPDIR:-/tmp}/qx17-two-stations.XXXXXX")
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -f "$WINEPREFIX"/dosdevices/com1[5-7]
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

fail() {
    echo "record_two_stations: FAILED: $*" >&2
    for file in linux.err windows.err record.csv; do
        [ -s "$file" ] && { echo "--- $file" >&2; tail -20 "$file" >&2; }
    done
    exit 1
}

export PGPASSFILE=$server/pgpass
connection=$(cat "$server/connection")

{
    printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Kestrowind\\QX17EEP]\r\n'
    printf '"%s"="%s"\r\n' APN two.stations APN_NAME "" APN_PW "" DNS 8.8.8.8 GPRS_TM 30 \
        ID 35712001234567 IP 203.0.113.17 Port 8051 SMS_OBJ "" SMS_INT 10 PW 0000 Listen "" \
        SOS_NO "" LOG_INT 60 TimeZone 480 SleepMode 0
    printf '"%s"=dword:%08x\r\n' GPRS_EN 1 GPRS_TYPE 0 CallReply 0
} >p.reg

# Six scripted lines of ten trackers; the last three reached from Wine as
# COM15 to COM17.
ports=()
for n in 1 2 3 4 5 6; do
    mkfifo "sim$n.out"
    "$sim" --no-stdin --line 10 --announce-ms 200 --log "sim$n.log" >"sim$n.out" &
    pids+=($!)
    read -r port <"sim$n.out"
    ports+=("$port")
    cat "sim$n.out" >/dev/null &
done
for n in 4 5 6; do
    ln -sf "${ports[$((n - 1))]}" "$WINEPREFIX/dosdevices/com$((n + 11))"
done

start=35712000000001
"$ctl" line "${ports[0]}" "${ports[1]}" "${ports[2]}" --profile p.reg --record "$connection" \
    --station linux --id-start "$start" --count 30 >linux.out 2>linux.err &
linux=$!
status=0
"$wine" "$exe" line COM15 COM16 COM17 --profile p.reg --record "$connection" \
    --station windows --id-start "$start" --count 30 >windows.out 2>windows.err || status=$?
[ "$status" -eq 0 ] || fail "the Windows station exited $status"
status=0
wait "$linux" || status=$?
[ "$status" -eq 0 ] || fail "the Linux station exited $status"

"$ctl" record "$connection" --csv >record.csv || fail "record exited $?"
rows=$(tail -n +2 record.csv | wc -l)
[ "$rows" -eq 60 ] || fail "the record holds $rows rows, not 60"
[ "$(tail -n +2 record.csv | cut -d, -f7 | sort -u)" = ok ] || fail "a row that is not ok"
ids=$(tail -n +2 record.csv | cut -d, -f6 | sort -u | wc -l)
[ "$ids" -eq 60 ] || fail "$ids distinct IDs in 60 rows: an ID given twice"
for station in linux windows; do
    [ "$(grep -c "^$station," record.csv)" -eq 30 ] || fail "station $station has not 30 rows"
done
# Each tracker's ID from its log: the write-all frame to 0010 carries the ID
# packed in bytes 107 to 113 (fields 101 to 107 of the log line: time, rx,
# then the frame's bytes), filled with F; a replug brings the next tracker.
names=("${ports[0]}" "${ports[1]}" "${ports[2]}" COM15 COM16 COM17)
for n in 1 2 3 4 5 6; do
    awk -v port="${names[$((n - 1))]}" '
        BEGIN { id = "35712001234567" }
        $2 == "--" && $3 == "replug" { id = $4 }
        $2 == "rx" && $7 == "94" && $8 == "00" && $9 == "10" {
            packed = $101 $102 $103 $104 $105 $106 $107
            sub(/F.*/, "", packed)
            print port "," id "," packed
        }' "sim$n.log"
done | sort -u >held.csv
[ "$(wc -l <held.csv)" -eq 60 ] || fail "$(wc -l <held.csv) trackers written, not 60"
tail -n +2 record.csv | awk -F, '{ print $2 "," $5 "," $6 }' | sort -u >said.csv
diff held.csv said.csv >/dev/null || fail "a tracker holds another ID than its row says: $(diff held.csv said.csv | head -4)"
echo "record_two_stations: 60 trackers on two stations, 60 IDs"
