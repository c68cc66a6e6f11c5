#!/usr/bin/env bash
# Checks that a Windows program needs no DLL beside the system's own: every
# DLL its import table names must be one that every Windows has.
#
#   scripts/check_system_dlls.sh PROGRAM.exe
set -euo pipefail

program=$1
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
allowed=" advapi32.dll bcrypt.dll comctl32.dll gdi32.dll kernel32.dll msvcrt.dll odbc32.dll user32.dll ws2_32.dll "

names=$("$objdump" -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
if [ -z "$names" ]; then
    echo "check_system_dlls: no import table in $program" >&2
    exit 1
fi
status=0
for name in $names; do
    case "$allowed" in
        *" $name "*) echo "system: $name" ;;
        *) echo "check_system_dlls: $program needs $name, not a system DLL" >&2; status=1 ;;
    esac
done
exit "$status"
