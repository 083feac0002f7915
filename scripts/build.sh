#!/usr/bin/env bash
# Installs what is missing, then configures and builds Pagestow into build/ (or $PAGESTOW_BUILD_DIR).
#   build.sh            everything: programs, tests and benchmarks
#   build.sh programs   only pagestow-cli and its engines (no tests, no benchmarks)
# PAGESTOW_CMAKE_ARGS adds configure options; PAGESTOW_DEPS_ARGS picks the package set.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${PAGESTOW_BUILD_DIR:-$top/build}
what=${1:-all}
if [ "$what" = programs ]; then
    # shellcheck disable=SC2086
    "$top/scripts/install-deps.sh" ${PAGESTOW_DEPS_ARGS:-run}
    # shellcheck disable=SC2086
    cmake -S "$top" -B "$build" -G Ninja -DPAGESTOW_BUILD_TESTS=OFF -DPAGESTOW_BUILD_BENCHMARKS=OFF \
        ${PAGESTOW_CMAKE_ARGS:-} >/dev/null
    cmake --build "$build" --target pagestow-cli
else
    "$top/scripts/install-deps.sh" "${PAGESTOW_DEPS_ARGS:-test}"
    # shellcheck disable=SC2086
    cmake -S "$top" -B "$build" -G Ninja -DPAGESTOW_BUILD_TESTS=ON -DPAGESTOW_BUILD_BENCHMARKS=ON \
        ${PAGESTOW_CMAKE_ARGS:-} >/dev/null
    cmake --build "$build"
fi
