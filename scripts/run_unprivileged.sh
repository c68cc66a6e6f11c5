#!/usr/bin/env bash
# Runs a test program as the unprivileged user "nobody", the way people run
# the tool: root skips the permission checks and the tty's exclusive mode,
# so a fault there only shows for an ordinary user.
#
#   run_unprivileged.sh [--with FILE]... PROGRAM [ARGS...]
#
# The program, and every FILE it runs in turn, is copied into a fresh folder
# that nobody may use (the build folder may sit under a home that nobody
# cannot enter); QX17_WITH_DIR names that folder and HOME points there. The
# rest of the environment is kept (sanitizer options among it).
# Exits 77, which CTest reports as skipped, when not run as root or when
# setpriv is missing.
set -euo pipefail

with=()
while [ "${1:-}" = --with ]; do
    with+=("$2")
    shift 2
done
program=${1:?usage: run_unprivileged.sh [--with FILE]... PROGRAM [ARGS...]}
shift

if [ "$(id -u)" -ne 0 ] || ! command -v setpriv >/dev/null; then
    echo "run_unprivileged: needs root and setpriv; skipped"
    exit 77
fi

folder=$(mktemp -d /tmp/qx17-unprivileged-XXXXXX)
trap 'rm -rf "$folder"' EXIT
cp "$program" "${with[@]}" "$folder/"
chown -R nobody:nogroup "$folder"
chmod 755 "$folder"

cd "$folder"
HOME="$folder" QX17_WITH_DIR="$folder" setpriv --reuid=nobody --regid=nogroup --clear-groups \
    "./$(basename "$program")" "$@"
