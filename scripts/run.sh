#!/usr/bin/env bash
# Installs what building and running need, builds pagestow-cli (no tests, no benchmarks), then saves
# the pages given into the current folder with it. Takes every option of pagestow-cli.
#   scripts/run.sh [OPTION]... ADDRESS...
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${PAGESTOW_BUILD_DIR:-$top/build}
if [ $# -eq 0 ]; then
    cat >&2 <<'USAGE'
usage: scripts/run.sh [--engine static|chromium|webkit] [--save-dir DIR] [--timeout SECONDS]
                     [-i FILE] [-j N] [--json] [-q] [--verbose] ADDRESS...
Builds Pagestow, then saves each page with its stylesheets, scripts and images into
DIR/qzwd_YYMMDDhhmmRRR/host/directory (DIR defaults to the current folder).
USAGE
    exit 2
fi
# Chromium is installed only when its engine is asked for.
deps=run
for arg in "$@"; do
    case $arg in
        chromium | --engine=chromium) deps="run chromium" ;;
    esac
done
PAGESTOW_DEPS_ARGS=$deps "$top/scripts/build.sh" programs
exec "$build/bin/pagestow-cli" "$@"
