#!/usr/bin/env bash
# Installs, builds and runs every test. Tests that need a display get one from Xvfb.
# Four at a time on two cores: most cases wait on servers, browsers and time-outs, and each is written
# to pass on a busy machine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${PAGESTOW_BUILD_DIR:-$top/build}
"$top/scripts/build.sh"
# Keep caches and shader files of the engines out of the user's home.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export XDG_CACHE_HOME="$scratch/cache"
xvfb-run -a -s "-screen 0 1024x768x24" ctest --test-dir "$build" --output-on-failure -j4 "$@"
