#!/usr/bin/env bash
# Runs a command with a Linux test peer on COMn of the Wine prefix:
#
#   scripts/with_com_peer.sh N PEER [PEER ARGS...] --run COMMAND [ARGS...]
#
# PEER is started with "--link N --link-dir $WINEPREFIX/dosdevices" and its
# own arguments; it opens a pseudo-terminal, links its slave side there as
# comN (Wine opens "\\.\COMn" through that link) and prints the slave's path
# on its first line. The command's exit status is the script's; the peer is
# stopped afterwards. The peer's output is kept in a file named by
# QX17_PEER_LOG, when set, for the command to inspect.
set -euo pipefail

n=$1
shift
peer=()
while [ $# -gt 0 ] && [ "$1" != "--run" ]; do
    peer+=("$1")
    shift
done
[ $# -gt 0 ] || { echo "with_com_peer: no --run COMMAND" >&2; exit 2; }
shift

: "${WINEPREFIX:?with_com_peer: WINEPREFIX is not set}"
dosdevices="$WINEPREFIX/dosdevices"
log=${QX17_PEER_LOG:-}
if [ -z "$log" ]; then
    log=$(mktemp)
    own_log=$log
fi

rm -f "$dosdevices/com$n"
"${peer[@]}" --link "$n" --link-dir "$dosdevices" >"$log" 2>&1 &
peer_pid=$!
stop_peer() {
    kill "$peer_pid" 2>/dev/null || true
    wait "$peer_pid" 2>/dev/null || true
    rm -f "$dosdevices/com$n" ${own_log:+"$own_log"}
}
trap stop_peer EXIT

for _ in $(seq 100); do
    [ -L "$dosdevices/com$n" ] && break
    sleep 0.05
done
if [ ! -L "$dosdevices/com$n" ]; then
    echo "with_com_peer: the peer did not link com$n" >&2
    cat "$log" >&2
    exit 1
fi

status=0
"$@" || status=$?
exit "$status"
