#!/usr/bin/env bash
# Runs every fuzzer of a fuzz build for the same time, each on a working
# copy of its seed corpus (tests/fuzz/corpus/<fuzzer>/), and prints one line
# of figures per fuzzer at the end: executions, executions per second, the
# corpus's size, and whether it found a fault.
#
#   fuzz.sh FUZZ_BUILD SECONDS [JOBS]
#
# With JOBS above 1, each fuzzer runs in libFuzzer's fork mode on that many
# processes at once. FUZZERS="a b" runs only those (all nine by default).
set -euo pipefail

build=${1:?usage: fuzz.sh FUZZ_BUILD SECONDS}
seconds=${2:?usage: fuzz.sh FUZZ_BUILD SECONDS}
jobs=${3:-1}
parallel=()
if [ "$jobs" -gt 1 ]; then
    parallel=(-fork="$jobs")
fi
source_corpus=$(cd "$(dirname "$0")/../tests/fuzz/corpus" && pwd)

# The largest input each one looks at.
declare -A max_len=(
    [find_frame_fuzzer]=2100 [exchange_fuzzer]=1024 [ctl_link_fuzzer]=2048
    [profile_fuzzer]=1024 [conversions_fuzzer]=64 [connection_string_fuzzer]=160
    [log_fuzzer]=1024 [outbox_fuzzer]=1024 [log_import_fuzzer]=1024
)

summary=()
status=0
all="find_frame_fuzzer exchange_fuzzer ctl_link_fuzzer profile_fuzzer conversions_fuzzer
    connection_string_fuzzer log_fuzzer outbox_fuzzer log_import_fuzzer"
for fuzzer in ${FUZZERS:-$all}; do
    corpus="$build/corpus/$fuzzer"
    mkdir -p "$corpus"
    cp -n "$source_corpus/$fuzzer"/* "$corpus/"
    log="$build/$fuzzer.log"
    echo "fuzz: $fuzzer for $seconds s"
    result=ok
    "$build/tests/fuzz/$fuzzer" -max_total_time="$seconds" -max_len="${max_len[$fuzzer]}" \
        "${parallel[@]}" -print_final_stats=1 -artifact_prefix="$build/$fuzzer-" "$corpus" \
        >"$log" 2>&1 || { result=FAULT; status=1; tail -n 40 "$log"; }
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    if [ "$jobs" -gt 1 ]; then
        # Fork mode: the parent's last progress line counts every job's runs;
        # its exec/s is one job's latest, so the rate is taken over the run.
        runs=$(sed -n 's/^#\([0-9][0-9]*\):.*/\1/p' "$log" | tail -n 1)
        took=$(sed -n 's/^#[0-9]*:.* time: \([0-9][0-9]*\)s.*/\1/p' "$log" | tail -n 1)
        rate=$([ -n "$runs" ] && [ "${took:-0}" -gt 0 ] && echo $((runs / took)) || echo "")
    fi
    files=$(find "$corpus" -type f | wc -l)
    summary+=("$(printf '%-20s %12s runs %9s/s  corpus %5s files  %s' "$fuzzer" "${runs:-?}" "${rate:-?}" "$files" "$result")")
done
printf '%s\n' "${summary[@]}"
exit "$status"
