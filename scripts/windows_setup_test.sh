#!/usr/bin/env bash
# The Windows setup, as a user and IT run it, under Wine in a prefix of its
# own (a fresh user's profile):
#
#   windows_setup_test.sh BUILD_DIR WINE OUT_DIR
#
# Builds the setup as make windows-package does (the programs' and the
# setup's file properties carry the version), then: /S installs for the
# user alone (the programs answer, the Start-menu entry and the uninstall
# registration are there, qx17ctl is on the PATH of a new command prompt);
# installing it over itself works; /D=FOLDER picks the folder; the
# uninstaller's /S removes the files, the entry, the PATH entry and the
# registration, and keeps the window's remembered values and a log the user
# made in the program's folder.
set -euo pipefail

fail() {
    echo "windows_setup_test: FAILED: $*" >&2
    exit 1
}

build=$(cd "$1" && pwd) wine=$2 out=$3
rm -rf "$out"
mkdir -p "$out"
cmake --install "$build" --prefix "$build/setup-files" --strip >"$out/install.log" ||
    { cat "$out/install.log" >&2; fail "cmake --install"; }
makensis -V2 "$build/packaging/setup.nsi" >"$out/makensis.log" 2>&1 ||
    { cat "$out/makensis.log" >&2; fail "makensis"; }
setup=$(ls "$build"/qx17eep-*-windows-x64-setup.exe)
version=$(basename "$setup")
version=${version#qx17eep-}
version=${version%-windows-x64-setup.exe}
echo "windows_setup_test: built $setup"
# Each program's file properties, and the setup's, carry the version.
for file in "$setup" "$build/setup-files/qx17eep.exe" "$build/setup-files/qx17ctl.exe"; do
    [ "$(strings -el "$file" | grep -A1 -x FileVersion | sed -n 2p)" = "$version" ] ||
        fail "$(basename "$file") has no FileVersion $version in its properties"
done

export WINEPREFIX="$out/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
"$wine" wineboot --init >/dev/null 2>&1
wineserver -w

w() { "$wine" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\QX17ParameterEditor'
value() {  # value KEY NAME: the registry value's data, or nothing
    w reg query "$1" /v "$2" | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}
profile=$(w cmd /c echo %USERPROFILE%)
unix() { w winepath -u "$1"; }
folder="$(unix "$profile")/AppData/Local/Programs/QX17 Parameter Editor"
menu="$(unix "$profile")/AppData/Roaming/Microsoft/Windows/Start Menu/Programs"

# The window remembered a value before.
w reg add 'HKCU\Software\Kestrowind\QX17EEP' /v APN /d kept.apn /f >/dev/null

# Until the uninstaller, which goes on from a copy of itself, is done.
uninstalled() {
    for _ in $(seq 1 300); do
        [ -z "$(value "$key" DisplayName)" ] && [ ! -e "$1/uninstall.exe" ] && return 0
        sleep 0.1
    done
    return 1
}

for round in first again; do
    "$wine" "$setup" /S </dev/null >/dev/null 2>&1 || fail "the setup /S ($round) exited $?"
    shown=$(w "$folder/qx17ctl.exe" --version)
    [ "$shown" = "qx17ctl $version" ] || fail "the installed qx17ctl.exe said '$shown' ($round)"
    [ -f "$folder/qx17eep.exe" ] || fail "no qx17eep.exe in $folder ($round)"
    [ -f "$menu/QX17 Parameter Editor.lnk" ] || fail "no Start-menu entry ($round)"
    [ "$(value "$key" DisplayName)" = "QX17 Parameter Editor" ] || fail "no registration ($round)"
    [ "$(value "$key" DisplayVersion)" = "$version" ] || fail "the registration's version"
    value "$key" QuietUninstallString | grep -q 'uninstall.exe" /S$' ||
        fail "no quiet uninstall command"
    [ -n "$(value "$key" EstimatedSize)" ] || fail "no size in the registration"
    [ -n "$(value "$key" DisplayIcon)" ] || fail "no icon in the registration"
    shown=$(w cmd /c "qx17ctl --version")
    [ "$shown" = "qx17ctl $version" ] || fail "qx17ctl is not on the PATH of a new prompt: '$shown'"
done
[ "$(value 'HKCU\Environment' Path | grep -o 'QX17 Parameter Editor' | wc -l)" = 1 ] ||
    fail "the PATH holds the folder once: $(value 'HKCU\Environment' Path)"
echo "windows_setup_test: installed twice in $folder"

echo "time,port,id_before,id_written,outcome,differences,seconds" >"$folder/line.csv"
"$wine" "$folder/uninstall.exe" /S </dev/null >/dev/null 2>&1 || fail "the uninstaller /S exited $?"
uninstalled "$folder" || fail "the uninstaller did not finish"
for file in qx17eep.exe qx17ctl.exe README.txt LICENSE.txt uninstall.exe; do
    [ ! -e "$folder/$file" ] || fail "$file is still there"
done
[ -f "$folder/line.csv" ] || fail "the user's log was removed"
[ ! -e "$menu/QX17 Parameter Editor.lnk" ] || fail "the Start-menu entry is still there"
value 'HKCU\Environment' Path | grep -q 'QX17 Parameter Editor' && fail "the PATH entry is still there"
[ "$(value 'HKCU\Software\Kestrowind\QX17EEP' APN)" = "kept.apn" ] ||
    fail "the window's remembered values were not kept"
echo "windows_setup_test: uninstalled, the remembered values and the user's log kept"

# IT's own folder.
"$wine" "$setup" /S '/D=C:\qx17' </dev/null >/dev/null 2>&1 || fail "the setup /S /D exited $?"
shown=$(w 'C:\qx17\qx17ctl.exe' --version)
[ "$shown" = "qx17ctl $version" ] || fail "qx17ctl.exe in /D's folder said '$shown'"
[ "$(value "$key" InstallLocation)" = 'C:\qx17' ] || fail "the registration's folder"
"$wine" 'C:\qx17\uninstall.exe' /S </dev/null >/dev/null 2>&1 || true
uninstalled "$(unix 'C:\qx17')" || fail "the uninstaller of /D's folder did not finish"
echo "windows_setup_test: /D=C:\\qx17 installed and uninstalled"
