#!/usr/bin/env bash
# A PostgreSQL server of the tests' own, in a folder, for the record tests:
#
#   record_server.sh start DIR    initdb and start it; writes DIR/connection
#   record_server.sh stop DIR     stop it and remove DIR
#   record_server.sh halt DIR     stop it, keeping DIR (a server that goes away)
#   record_server.sh resume DIR   start it again, on the same port
#
# It listens on 127.0.0.1 only, on a free port, with password (SCRAM)
# authentication and no Unix socket. DIR/connection holds the ODBC
# connection string of the role "line" on the database "qx17" (no
# password), DIR/pgpass the password file the driver reads (PGPASSFILE),
# DIR/uri the same as a postgresql:// URI, DIR/admin the superuser's
# connection string. initdb refuses to run as root: under root the server
# runs as "nobody".
set -euo pipefail

action=${1:?usage: record_server.sh start|stop DIR}
dir=${2:?usage: record_server.sh start|stop DIR}

bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
[ -x "$bindir/initdb" ] || { echo "record_server: PostgreSQL's initdb not found" >&2; exit 1; }

as_server() {
    if [ "$(id -u)" -eq 0 ]; then
        setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"
    else
        "$@"
    fi
}

stop() {
    if [ -f "$dir/data/postmaster.pid" ]; then
        as_server "$bindir/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
    fi
    rm -rf "$dir"
}

pg_start() {
    as_server "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
        -o "-c listen_addresses=127.0.0.1 -c port=$1 -c unix_socket_directories=''" \
        start >/dev/null 2>&1
}

case $action in
stop)
    stop
    exit 0
    ;;
halt)
    as_server "$bindir/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null
    exit 0
    ;;
resume)
    pg_start "$(cat "$dir/port")" || { cat "$dir/server.log" >&2; exit 1; }
    exit 0
    ;;
start) ;;
*)
    echo "usage: record_server.sh start|stop DIR" >&2
    exit 2
    ;;
esac

stop
mkdir -p "$dir/data"
chmod 755 "$dir"
admin_password=$(head -c 18 /dev/urandom | base64 | tr -d '/+=')
line_password=$(head -c 18 /dev/urandom | base64 | tr -d '/+=')
printf "%s\n" "$admin_password" >"$dir/admin_password"
chmod 600 "$dir/admin_password"
if [ "$(id -u)" -eq 0 ]; then
    chown -R nobody:nogroup "$dir"
fi
as_server "$bindir/initdb" -D "$dir/data" -U qx17admin --pwfile="$dir/admin_password" \
    --auth-host=scram-sha-256 --auth-local=reject -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1 || {
    cat "$dir/initdb.log" >&2
    exit 1
}

# A free port: the first the server can take from a random start.
port=$((20000 + RANDOM % 20000))
for attempt in $(seq 1 20); do
    if pg_start "$port"; then
        break
    fi
    [ "$attempt" -eq 20 ] && { cat "$dir/server.log" >&2; exit 1; }
    port=$((port + 1 + RANDOM % 100))
done

admin="host=127.0.0.1 port=$port dbname=postgres user=qx17admin"
PGPASSWORD=$admin_password psql -X -q -v ON_ERROR_STOP=1 -d "$admin" <<SQL
CREATE ROLE line LOGIN PASSWORD '$line_password';
CREATE DATABASE qx17 OWNER line;
SQL

echo "$port" >"$dir/port"
umask 077
printf '127.0.0.1:%s:*:line:%s\n127.0.0.1:%s:*:qx17admin:%s\n' \
    "$port" "$line_password" "$port" "$admin_password" >"$dir/pgpass"
printf 'Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=%s;Database=qx17;Uid=line\n' \
    "$port" >"$dir/connection"
printf 'postgresql://line@127.0.0.1:%s/qx17\n' "$port" >"$dir/uri"
printf 'Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=%s;Database=qx17;Uid=qx17admin\n' \
    "$port" >"$dir/admin"
printf '%s\n' "$line_password" >"$dir/line_password"
chmod 644 "$dir/connection" "$dir/uri" "$dir/admin"
echo "record_server: PostgreSQL on 127.0.0.1:$port ($dir)"
