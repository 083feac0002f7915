#!/usr/bin/env bash
# Builds pagestow-cli (no tests, no benchmarks), serves the bundled demo site (demo/site) on 127.0.0.1 and saves it with
# pagestow-cli into a folder (default ./pagestow-demo), then says where the pages went.
#   scripts/demo.sh [FOLDER]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${PAGESTOW_BUILD_DIR:-$top/build}
out=${1:-$PWD/pagestow-demo}

"$top/scripts/build.sh" programs

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()')
python3 -m http.server "$port" --bind 127.0.0.1 --directory "$top/demo/site" >/dev/null 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true' EXIT

# The server is up once it accepts a connection.
for _ in $(seq 100); do
    if python3 -c 'import socket, sys; socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1)' "$port" 2>/dev/null; then
        break
    fi
    sleep 0.1
done

mkdir -p "$out"
out=$(cd "$out" && pwd)
"$build/bin/pagestow-cli" --save-dir "$out" "http://127.0.0.1:$port/index.html"

capture=$(ls -1dt "$out"/qzwd_* | head -n 1)
echo
echo "The demo page and what it loaded were saved in:"
echo "  $capture"
echo "Open the saved page offline with:"
echo "  xdg-open \"$capture/127.0.0.1/index.html\""
