#!/usr/bin/env bash
# make soak: the tool under faults for a while, ending by itself within 20
# minutes, with one table of what was tried and what was seen.
#
#   soak.sh BUILD ASAN_BUILD [SEED]
#
# The window and the production line run side by side (each in its own
# process, so that each one's resident memory is its own); then the killed
# saves, the killed log and the shared record; then the hang-ups, from the AddressSanitizer
# build, whose LeakSanitizer fails the part on a leak at its end.
set -uo pipefail

build=${1:?usage: soak.sh BUILD ASAN_BUILD [SEED]}
asan=${2:?usage: soak.sh BUILD ASAN_BUILD [SEED]}
seed=${3:-$(date +%s)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
start=$(date +%s)
status=0

run() {  # run NAME PROGRAM ARGS...: the part's row into $work/NAME
    local name=$1
    shift
    timeout 1100 "$@" >"$work/$name" 2>"$work/$name.err" ||
        { status=1; [ -s "$work/$name" ] || echo "$name | (no report) | $(tail -n 3 "$work/$name.err" | tr '\n' ' ') | FAIL" >"$work/$name"; }
}

echo "soak: seed $seed"
run window "$build/tools/soak/soak" --part window --seed "$seed" &
window=$!
run serve "$build/tools/soak/soak" --part serve --seed "$seed" &
serve=$!
run line "$build/tools/soak/soak" --part line --seed "$seed"
run kill-saves "$build/tools/soak/soak" --part kill-saves --seed "$seed"
run kill-log "$build/tools/soak/soak" --part kill-log --seed "$seed"
run record "$build/tools/soak/soak" --part record --seed "$seed"
wait "$window" || status=1
wait "$serve" || status=1
run hangups env ASAN_OPTIONS=detect_leaks=1 "$asan/tools/soak/soak" --part hangups

printf '%-26s | %-44s | %-58s | %s\n' "part" "tried" "saw" "result"
for part in window line kill-saves kill-log record serve hangups; do
    cat "$work/$part"
    grep -q '| pass$' "$work/$part" || status=1
done
echo "soak: $(( $(date +%s) - start )) s"
exit "$status"
