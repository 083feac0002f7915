#!/usr/bin/env bash
# Builds Pagestow, then saves the pages given into the current folder with pagestow-cli.
#   scripts/run.sh [--engine static|chromium|webkit] [--save-dir DIR] [--timeout SECONDS] [--verbose] ADDRESS...
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${PAGESTOW_BUILD_DIR:-$top/build}
if [ $# -eq 0 ]; then
    cat >&2 <<'USAGE'
usage: scripts/run.sh [--engine static|chromium|webkit] [--save-dir DIR] [--timeout SECONDS] [--verbose] ADDRESS...
Builds Pagestow, then saves each page with its stylesheets, scripts and images into
DIR/qzwd_YYMMDDhhmmRRR/host/directory (DIR defaults to the current folder).
USAGE
    exit 2
fi
"$top/scripts/build.sh"
exec "$build/bin/pagestow-cli" "$@"
