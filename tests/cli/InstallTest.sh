#!/usr/bin/env bash
# Installs a build into a temporary prefix and starts both programs from there.
#   InstallTest.sh BUILD_DIR
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
export HOME=$scratch/home XDG_CACHE_HOME=$scratch/cache XDG_CONFIG_HOME=$scratch/config
mkdir -p "$HOME"
fail() {
    echo "install test: $*" >&2
    exit 1
}

[ -f "$prefix/share/man/man1/pagestow-cli.1" ] || fail "no man page"
[ -f "$prefix/share/bash-completion/completions/pagestow-cli" ] || fail "no bash completion"
version=$("$prefix/bin/pagestow-cli" --version) || fail "pagestow-cli --version failed"
[[ $version == "pagestow-cli "* ]] || fail "unexpected version text: $version"

# The engine modules are found from the installed tree, wherever it was put.
if [ -n "$(ls "$prefix"/lib*/*/pagestow/engines/*chromium* "$prefix"/lib*/pagestow/engines/*chromium* 2>/dev/null)" ]; then
    out=$("$prefix/bin/pagestow-cli" --engine chromium --timeout 5 "http://127.0.0.1:1/" 2>&1 || true)
    if grep -q "module cannot be loaded" <<<"$out"; then
        fail "the chromium module was not found: $out"
    fi
fi
if [ -n "$(ls "$prefix"/lib*/*/pagestow/engines/*webkit* "$prefix"/lib*/pagestow/engines/*webkit* 2>/dev/null)" ]; then
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY "$prefix/bin/pagestow-cli" --engine webkit "http://127.0.0.1:1/" 2>&1 || true)
    [[ $out == *"needs a display"* ]] || fail "the webkit module was not found: $out"
fi

# The window starts and keeps running until it is ended. Xvfb itself may fail to start when
# another program takes the display number it picked, and on a busy machine xvfb-run has failed to
# remove its own temporary folder (its status then hides the window's); either is tried again.
if [ -x "$prefix/bin/pagestow" ]; then
    for attempt in 1 2 3; do
        status=0
        xvfb-run -a -s "-screen 0 1280x1024x24" timeout 10 "$prefix/bin/pagestow" >"$scratch/window.log" 2>&1 || status=$?
        if [ "$status" -eq 124 ] || ! grep -qE "Xvfb failed to start|problem while cleaning up" "$scratch/window.log"; then
            break
        fi
    done
    [ "$status" -eq 124 ] || fail "pagestow ended by itself with status $status: $(cat "$scratch/window.log")"
fi
echo "installed into $prefix; both programs start"
