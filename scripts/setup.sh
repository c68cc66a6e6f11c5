#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need and
# this machine lacks; packages named as arguments are added to the list.
# Does nothing slow when everything is already present.
set -euo pipefail

packages=(
    make cmake ninja-build g++ pkg-config
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    clang libclang-rt-14-dev clang-format
    qt6-base-dev qt6-base-private-dev qt6-serialport-dev libserialport-dev fonts-liberation2
    libcli11-dev nlohmann-json3-dev libssl-dev tmux libcpp-httplib-dev libjs-chart.js tzdata
    prometheus chromium chromium-driver
    unixodbc-dev odbc-postgresql postgresql nftables
    dpkg-dev lintian
    g++-mingw-w64-x86-64 wine wine64 fonts-wine xvfb xauth nsis
    "$@"
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if ((${#missing[@]} == 0)); then
    exit 0
fi

echo "setup: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
