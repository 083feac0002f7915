#!/usr/bin/env bash
# Installs what is missing, then configures and builds Pagestow into build/ (or $PAGESTOW_BUILD_DIR).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${PAGESTOW_BUILD_DIR:-$top/build}
"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$build" -G Ninja ${PAGESTOW_CMAKE_ARGS:-} >/dev/null
cmake --build "$build"
