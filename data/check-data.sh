#!/usr/bin/env bash
# Checks the desktop data files: "validate" runs the desktop's own validators and checks every icon
# picture's size; "install" installs them into a fresh prefix and checks what lands where.
set -euo pipefail

mode=$1 source=$2 id=$3 sizes=${4//;/ }

# The width and height of a PNG file, from its header.
png_size() {
    python3 -c 'import struct, sys
data = open(sys.argv[1], "rb").read(24)
assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
print("%dx%d" % struct.unpack(">II", data[16:24]))' "$1"
}

case $mode in
validate)
    for tool in desktop-file-validate appstreamcli; do
        if ! command -v $tool > /dev/null; then
            echo "$tool is not installed: skipped"
            exit 77
        fi
    done
    # Hints are advice; any warning or error fails.
    report=$(desktop-file-validate "$source/$id.desktop" 2>&1) || { echo "$report"; exit 1; }
    if grep -Eq 'warning|error' <<< "$report"; then
        echo "$report"
        exit 1
    fi
    appstreamcli validate --no-net "$source/$id.metainfo.xml"
    for size in $sizes; do
        actual=$(png_size "$source/icons/${size}x${size}/$id.png")
        if [ "$actual" != "${size}x${size}" ]; then
            echo "icons/${size}x${size}/$id.png is $actual"
            exit 1
        fi
    done
    parse_error=$(python3 -c 'import sys, xml.dom.minidom; xml.dom.minidom.parse(sys.argv[1])' \
        "$source/icons/$id.svg" 2>&1) || { echo "the SVG icon is no XML: $parse_error"; exit 1; }
    ;;
install)
    build=$5 datadir=$6
    prefix=$(mktemp -d)
    trap 'rm -rf "$prefix"' EXIT
    cmake --install "$build" --component desktop-data --prefix "$prefix" > /dev/null
    expected="$datadir/applications/$id.desktop
$datadir/icons/hicolor/scalable/apps/$id.svg
$datadir/metainfo/$id.metainfo.xml"
    for size in $sizes; do
        expected+=$'\n'"$datadir/icons/hicolor/${size}x${size}/apps/$id.png"
    done
    actual=$(cd "$prefix" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
    expected=$(LC_ALL=C sort <<< "$expected")
    if [ "$actual" != "$expected" ]; then
        diff <(echo "$expected") <(echo "$actual") || true
        exit 1
    fi
    # What is installed is what the source holds, byte for byte.
    cmp "$source/$id.desktop" "$prefix/$datadir/applications/$id.desktop"
    cmp "$source/icons/256x256/$id.png" "$prefix/$datadir/icons/hicolor/256x256/apps/$id.png"
    ;;
*)
    echo "usage: check-data.sh validate|install SOURCE ID SIZES [BUILD DATADIR]" >&2
    exit 2
    ;;
esac
echo "ok"
