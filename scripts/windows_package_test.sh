#!/usr/bin/env bash
# The Windows zip, as a user gets it:
#
#   windows_package_test.sh BUILD_DIR WINE OUT_DIR
#
# Builds it with CPack into OUT_DIR, checks that it holds exactly the two
# programs, the README and the licence in one folder, unpacks it and runs
# both programs from there under Wine (--version). Run inside the Wine test
# run (scripts/wine_tests.sh), which provides the prefix.
set -euo pipefail

fail() {
    echo "windows_package_test: FAILED: $*" >&2
    exit 1
}

build=$1 wine=$2 out=$3
rm -rf "$out"
mkdir -p "$out"
cpack --config "$build/CPackConfig.cmake" -G ZIP -B "$out" >"$out/cpack.log" ||
    { cat "$out/cpack.log" >&2; fail "cpack"; }
zip=$(ls "$out"/qx17eep-*-windows-x64.zip)
name=$(basename "$zip" .zip)
version=${name#qx17eep-}
version=${version%-windows-x64}
echo "windows_package_test: built $zip"

listing=$(cd "$out" && cmake -E tar tf "$zip" | sort)
expected=$(printf '%s\n' "$name/LICENSE.txt" "$name/README.txt" "$name/qx17ctl.exe" \
    "$name/qx17eep.exe" | sort)
[ "$listing" = "$expected" ] || fail "the zip holds: $listing"
echo "$listing"

(cd "$out" && cmake -E tar xf "$zip")
for program in qx17eep qx17ctl; do
    shown=$("$wine" "$out/$name/$program.exe" --version </dev/null | tr -d '\r')
    [ "$shown" = "$program $version" ] || fail "$program.exe --version said '$shown'"
done
echo "windows_package_test: $zip unpacked and run"
