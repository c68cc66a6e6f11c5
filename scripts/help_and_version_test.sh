#!/usr/bin/env bash
# Every program of the project answers --help and --version, without a
# display: --help exits 0 with a usage text on stdout, --version exits 0 and
# prints "NAME VERSION" on one line.
#   help_and_version_test.sh VERSION PROGRAM...
# Each PROGRAM may be "wine:PATH.exe", run under $WINE (the Windows build).
set -uo pipefail

version=$1
shift
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
failed=0
fail() {
    echo "help_and_version: FAILED: $*" >&2
    failed=1
}

for program in "$@"; do
    run=("$program")
    if [ "${program#wine:}" != "$program" ]; then
        program=${program#wine:}
        run=("${WINE:?WINE names the wine program}" "$program")
    fi
    name=$(basename "$program" .exe)
    help=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "${run[@]}" --help 2>"$errors")
    status=$?
    [ "$status" -eq 0 ] || fail "$name --help exited $status: $(cat "$errors")"
    grep -qi 'usage' <<<"$help" || fail "$name --help printed no usage: $help"
    grep -q -- '--version' <<<"$help" || fail "$name --help does not list --version"
    said=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "${run[@]}" --version 2>"$errors")
    status=$?
    said=${said%$'\r'}
    [ "$status" -eq 0 ] || fail "$name --version exited $status: $(cat "$errors")"
    [ "$said" = "$name $version" ] || fail "$name --version said '$said', not '$name $version'"
done
[ "$failed" -eq 0 ] && echo "help_and_version: $# programs answer --help and --version"
exit "$failed"
