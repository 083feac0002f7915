#!/usr/bin/env bash
# Installs every Debian package that Pagestow needs to build, run and test.
# Safe to run again: when everything is present it only checks and returns.
set -euo pipefail

packages=(
    # build
    g++ clang cmake ninja-build pkg-config git
    # libraries
    libcurl4-openssl-dev libidn2-dev libgumbo-dev nlohmann-json3-dev libglib2.0-dev
    libjpeg-dev libgif-dev libgtk-3-dev libwebkit2gtk-4.1-dev
    # tests
    libgtest-dev libgmock-dev libcpp-httplib-dev zlib1g-dev python3 xvfb xauth imagemagick
    appstream desktop-file-utils
    # engines, fonts and peers
    chromium fonts-noto-cjk wget ca-certificates
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}" >&2
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
