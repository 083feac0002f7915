#!/usr/bin/env bash
# Installs the Debian packages Pagestow needs, by what they are needed for:
#   install-deps.sh run [chromium]   building the programs and running them (chromium: its engine too)
#   install-deps.sh test             everything: also the tests, benchmarks, fuzzing and peers (default)
#   install-deps.sh package          everything, and the tools that build and check the Debian package
# Safe to run again: when everything is present it only checks and returns.
set -euo pipefail
set_name=${1:-test}
run_packages=(
    # build
    g++ cmake ninja-build pkg-config
    # libraries
    libcurl4-openssl-dev libidn2-dev libgumbo-dev nlohmann-json3-dev libglib2.0-dev
    libjpeg-dev libgif-dev libgtk-3-dev libwebkit2gtk-4.1-dev zlib1g-dev libbrotli-dev libssl-dev
    # running: certificates for https, python3 for the demo's local server
    ca-certificates python3
)
test_packages=(
    clang git
    # tests
    libgtest-dev libgmock-dev libcpp-httplib-dev xvfb xauth imagemagick
    # the desktop data's validators
    appstream desktop-file-utils
    # engines, fonts and peers
    chromium fonts-noto-cjk wget wget2 parallel
    # the offline-copy check: real pages to serve, and the fonts of the page made from packaged files
    python3-doc fonts-dejavu-core
    # the replay check: Node.js runs warcio and fetches ReplayWeb.page with npm
    nodejs
)
# A Node.js from elsewhere (such as NodeSource's) carries its own npm, which Debian's npm would clash with.
if ! command -v npm >/dev/null; then
    test_packages+=(npm)
fi
package_packages=(debhelper dpkg-dev lintian)
case $set_name in
    run)
        packages=("${run_packages[@]}")
        if [ "${2:-}" = chromium ]; then
            packages+=(chromium)
        fi
        ;;
    test) packages=("${run_packages[@]}" "${test_packages[@]}") ;;
    package) packages=("${run_packages[@]}" "${test_packages[@]}" "${package_packages[@]}") ;;
    *)
        echo "usage: install-deps.sh [run [chromium]|test|package]" >&2
        exit 2
        ;;
esac
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
