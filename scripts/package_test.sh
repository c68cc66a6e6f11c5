#!/usr/bin/env bash
# The Debian package, as a user gets it:
#
#   package_test.sh BUILD_DIR OUT_DIR           build, check, unpack, run
#   package_test.sh --install OUT_DIR           apt-get install it, run, remove
#
# The first form builds the package with CPack into OUT_DIR, has lintian
# check it (no error allowed), checks its files (each program with a manual
# page that has examples, the guide to qx17ctl where that page says),
# unpacks it into a temporary root and runs the programs from there:
# --version, and qx17ctl read against the packaged virtual tracker. The
# second installs the package built by the first for real; it
# runs only where CI=true and as root (the CI machine is thrown away), and
# exits 77, which CTest reports as skipped, elsewhere.
set -euo pipefail

fail() {
    echo "package_test: FAILED: $*" >&2
    exit 1
}

# Runs `$1/qx17ctl read` against a fresh `$1/qx17-tracker-sim`.
read_tracker() {
    local bin=$1 work
    work=$(mktemp -d)
    "$bin/qx17-tracker-sim" --no-stdin --quiet --no-announce >"$work/sim.out" 2>&1 &
    local sim_pid=$!
    for _ in $(seq 100); do
        [ -s "$work/sim.out" ] && break
        sleep 0.05
    done
    local slave
    slave=$(head -n 1 "$work/sim.out")
    local status=0
    "$bin/qx17ctl" read "$slave" --json >"$work/read.json" 2>"$work/read.err" || status=$?
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    [ "$status" -eq 0 ] || { cat "$work/read.err" >&2; rm -rf "$work"; fail "qx17ctl read exited $status"; }
    grep -q '"ID": "35712001234567"' "$work/read.json" || { rm -rf "$work"; fail "qx17ctl read gave no ID"; }
    rm -rf "$work"
}

versions() {
    local bin=$1 version=$2
    [ "$("$bin/qx17eep" --version)" = "qx17eep $version" ] || fail "qx17eep --version"
    [ "$("$bin/qx17ctl" --version)" = "qx17ctl $version" ] || fail "qx17ctl --version"
    [ "$("$bin/qx17-tracker-sim" --version)" = "qx17-tracker-sim $version" ] ||
        fail "qx17-tracker-sim --version"
}

if [ "${1:-}" = --install ]; then
    out=$2
    if [ "${CI:-}" != true ] || [ "$(id -u)" -ne 0 ]; then
        echo "package_test: installs for real only where CI=true and as root; skipped"
        exit 77
    fi
    deb=$(ls "$out"/qx17eep_*_amd64.deb)
    version=$(dpkg-deb -f "$deb" Version)
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb"
    versions /usr/bin "$version"
    for page in qx17eep qx17ctl qx17-tracker-sim; do
        man -w "$page" >/dev/null || fail "no manual page for $page"
    done
    read_tracker /usr/bin
    DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq qx17eep
    echo "package_test: installed, ran and removed $deb"
    exit 0
fi

build=$1 out=$2
rm -rf "$out"
mkdir -p "$out"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" ||
    { cat "$out/cpack.log" >&2; fail "cpack"; }
deb=$(ls "$out"/qx17eep_*_amd64.deb)
version=$(dpkg-deb -f "$deb" Version)
echo "package_test: built $deb"

lintian --tag-display-limit 0 "$deb" >"$out/lintian.txt" 2>&1 || true
cat "$out/lintian.txt"
! grep -q '^E: ' "$out/lintian.txt" || fail "lintian reports errors"

dpkg-deb -f "$deb" Depends | grep 'libqt6widgets6' >/dev/null || fail "no computed dependency on Qt"
dpkg-deb -f "$deb" Depends | grep 'libodbc2' >/dev/null || fail "no computed dependency on unixODBC"
dpkg-deb -f "$deb" Recommends | grep 'odbc-postgresql' >/dev/null ||
    fail "the PostgreSQL ODBC driver is not recommended"
contents=$(dpkg-deb -c "$deb")
guide=usr/share/doc/qx17eep/qx17ctl.md
for file in usr/bin/qx17eep usr/bin/qx17ctl usr/bin/qx17-tracker-sim \
    usr/share/applications/qx17eep.desktop usr/share/icons/hicolor/scalable/apps/qx17eep.svg \
    usr/share/man/man1/qx17eep.1.gz usr/share/man/man1/qx17ctl.1.gz \
    usr/share/man/man1/qx17-tracker-sim.1.gz usr/share/doc/qx17eep/copyright \
    usr/share/doc/qx17eep/changelog.gz "$guide"; do
    grep " \./$file\$" <<<"$contents" >/dev/null || fail "the package lacks /$file"
done

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
for page in qx17eep qx17ctl qx17-tracker-sim; do
    zcat "$root/usr/share/man/man1/$page.1.gz" | grep -x '\.SH EXAMPLES' >/dev/null ||
        fail "the manual page of $page has no EXAMPLES"
done
# qx17ctl's examples: make a profile, write one tracker, run a line with a log and IDs.
for example in 'qx17ctl read COM1 \-o profile.reg' 'qx17ctl write COM1 profile.reg' \
    'qx17ctl line COM1 COM2 \-\-profile profile.reg \-\-log line.csv'; do
    zcat "$root/usr/share/man/man1/qx17ctl.1.gz" | sed -n '/^\.SH EXAMPLES/,/^\.SH /p' |
        grep -F -- "$example" >/dev/null || fail "qx17ctl's EXAMPLES lack: $example"
done
zcat "$root/usr/share/man/man1/qx17ctl.1.gz" | grep -F "/$guide" >/dev/null ||
    fail "the manual page of qx17ctl does not name /$guide"
cmp -s "$root/$guide" "$(dirname "$0")/../docs/qx17ctl.md" || fail "/$guide is not docs/qx17ctl.md"
versions "$root/usr/bin" "$version"
read_tracker "$root/usr/bin"
echo "package_test: $deb unpacked and run"
