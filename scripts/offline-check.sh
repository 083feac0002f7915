#!/usr/bin/env bash
# Prints how far offline copies differ from the live pages they were saved from.
#
#   scripts/offline-check.sh [ENGINE...]      (engines: static chromium webkit; default all three)
#
# Serves real pages from Debian packages on this machine: the Python documentation (python3-doc)
# on 127.0.0.1, and a shop page made here from packaged files (an icon of the chromium package, the
# DejaVu fonts, the Python logo) whose stylesheet, images and font come root-relative from 127.0.0.1
# and from a second host, 127.0.0.2, with an @import chain, a <style> element and a style attribute.
# Each page is saved with `pagestow-cli --offline-copy` by every engine, then headless Chromium takes
# a 1280 x 900 screenshot of the live page and of the offline copy opened from file:// inside a
# network namespace without network, and ImageMagick counts the differing pixels. The same is done
# for `wget -p -k` and for Chromium's own single-file save (MHTML through the DevTools protocol).
# Needs root for the network namespace (unshare -n). PAGESTOW_BUILD_DIR picks the build folder;
# PAGESTOW_CHECK_KEEP=1 keeps the work folder with every screenshot.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=${PAGESTOW_BUILD_DIR:-$top/build}
cli=$build/bin/pagestow-cli
chromium=/usr/lib/chromium/chromium
pydoc=/usr/share/doc/python3-doc/html
engines=("$@")
[[ ${#engines[@]} -gt 0 ]] || engines=(static chromium webkit)
pixels=$((1280 * 900))

for need in "$cli" "$chromium" "$pydoc/index.html" /usr/bin/compare; do
    if [[ ! -e $need ]]; then
        echo "offline-check: $need is missing (scripts/install-deps.sh installs what this needs)" >&2
        exit 1
    fi
done
if ! unshare -n true 2>/dev/null; then
    echo "offline-check: cannot make a network namespace (run as root)" >&2
    exit 1
fi

work=$(mktemp -d)
servers=()
cleanup() {
    for pid in "${servers[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    if [[ ${PAGESTOW_CHECK_KEEP:-0} == 1 ]]; then
        echo "work folder kept: $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT
export HOME=$work/home XDG_CACHE_HOME=$work/cache XDG_CONFIG_HOME=$work/config
mkdir -p "$HOME"

free_port() {
    python3 -c 'import socket, sys; s = socket.socket(); s.bind((sys.argv[1], 0)); print(s.getsockname()[1])' "$1"
}

serve() { # host port folder
    # Like a CDN, every answer allows other origins to use it (web fonts need that).
    python3 -c '
import functools, http.server, sys
class Handler(http.server.SimpleHTTPRequestHandler):
    def end_headers(self):
        self.send_header("Access-Control-Allow-Origin", "*")
        super().end_headers()
    def log_message(self, *args):
        pass
handler = functools.partial(Handler, directory=sys.argv[3])
http.server.ThreadingHTTPServer((sys.argv[1], int(sys.argv[2])), handler).serve_forever()
' "$1" "$2" "$3" >/dev/null 2>&1 &
    servers+=($!)
    for _ in $(seq 100); do
        python3 -c 'import socket, sys; socket.create_connection((sys.argv[1], int(sys.argv[2])), 1)' "$1" "$2" \
            2>/dev/null && return 0
        sleep 0.1
    done
    echo "offline-check: the server on $1:$2 did not start" >&2
    exit 1
}

# The shop: its page and assets on 127.0.0.1, its theme, icons and font on 127.0.0.2.
shop=$work/shop
cdn=$work/cdn
mkdir -p "$shop/shop" "$shop/assets" "$cdn/cdn/icons" "$cdn/cdn/fonts"
cp /usr/share/icons/hicolor/64x64/apps/chromium.png "$cdn/cdn/icons/chromium-64.png"
cp /usr/share/icons/hicolor/128x128/apps/chromium.png "$cdn/cdn/icons/chromium-128.png"
cp /usr/share/icons/hicolor/48x48/apps/chromium.png "$shop/assets/badge.png"
cp "$pydoc/_static/py.png" "$shop/assets/logo.png"
cp /usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf "$cdn/cdn/fonts/"
cp /usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf "$cdn/cdn/fonts/"
cdn_port=$(free_port 127.0.0.2)
shop_port=$(free_port 127.0.0.1)
cdn_origin=http://127.0.0.2:$cdn_port
cat >"$shop/shop/index.html" <<EOF
<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Shop</title>
<link rel="stylesheet" href="/assets/site.css">
<link rel="stylesheet" href="$cdn_origin/cdn/theme.css">
<style>.banner { background: #234 url('/assets/logo.png') no-repeat 20px center; }</style>
</head><body>
<div class="banner"><h1>Pagestow shop</h1></div>
<div class="hero"><p>Everything a page loads, saved.</p></div>
<ul class="items">
<li style="background-image: url(/assets/badge.png)">Badge</li>
<li><img src="$cdn_origin/cdn/icons/chromium-64.png" srcset="$cdn_origin/cdn/icons/chromium-64.png 1x, $cdn_origin/cdn/icons/chromium-128.png 2x" width="64" height="64" alt="icon"> Icon</li>
</ul>
<p class="note"><a href="/shop/more.html">More</a></p>
</body></html>
EOF
cat >"$shop/assets/site.css" <<'EOF'
body { margin: 0; font: 16px/1.5 sans-serif; color: #222; }
.banner { height: 120px; color: #fff; padding-left: 110px; }
.banner h1 { margin: 0; line-height: 120px; }
.items li { list-style: none; min-height: 64px; padding-left: 80px; background-repeat: no-repeat; margin: 12px; }
EOF
cat >"$cdn/cdn/theme.css" <<'EOF'
@import url("fonts.css");
.hero { height: 300px; background: #ddd url(icons/chromium-128.png) repeat; font-family: ShopSerif; font-size: 40px; }
.hero p { background: rgba(255,255,255,0.8); margin: 0; padding: 20px; }
.note { font-family: ShopBold; font-size: 30px; padding: 20px; }
EOF
cat >"$cdn/cdn/fonts.css" <<'EOF'
@font-face { font-family: ShopSerif; src: url(fonts/DejaVuSerif.ttf) format("truetype"); }
@font-face { font-family: ShopBold; src: url("fonts/DejaVuSans-Bold.ttf") format("truetype"); }
EOF

pydoc_port=$(free_port 127.0.0.1)
serve 127.0.0.1 "$pydoc_port" "$pydoc"
serve 127.0.0.1 "$shop_port" "$shop"
serve 127.0.0.2 "$cdn_port" "$cdn"

pages=(
    "python-index http://127.0.0.1:$pydoc_port/index.html"
    "python-tutorial http://127.0.0.1:$pydoc_port/tutorial/classes.html"
    "python-library http://127.0.0.1:$pydoc_port/library/os.path.html"
    "shop http://127.0.0.1:$shop_port/shop/index.html"
)

chromium_flags=(--headless --no-first-run --disable-background-networking --disable-component-update
    --disable-sync --disable-quic --disable-default-apps --disable-extensions --disable-domain-reliability
    --no-pings --metrics-recording-only --hide-scrollbars --window-size=1280,900
    --run-all-compositor-stages-before-draw --virtual-time-budget=5000)
[[ $(id -u) -ne 0 ]] || chromium_flags+=(--no-sandbox)

shot() { # address png [offline]
    local profile
    profile=$(mktemp -d "$work/profile.XXXXXX")
    local run=()
    [[ ${3:-} != offline ]] || run=(unshare -n)
    "${run[@]}" "$chromium" "${chromium_flags[@]}" --user-data-dir="$profile" --screenshot="$2" "$1" \
        >/dev/null 2>&1 || true
    rm -rf "$profile"
    [[ -s $2 ]]
}

share() { # live.png copy.png
    local differing
    differing=$(compare -metric AE "$1" "$2" null: 2>&1 >/dev/null || true)
    if [[ ! $differing =~ ^[0-9]+$ ]]; then
        echo "n/a"
        return
    fi
    python3 -c 'import sys; n = int(sys.argv[1]); print(f"{100 * n / int(sys.argv[2]):6.2f}% ({n} px)")' \
        "$differing" "$pixels"
}

# Chromium's own single-file save: Page.captureSnapshot (MHTML) over the DevTools pipe.
mhtml_save() { # address file
    python3 - "$chromium" "$1" "$2" "$work" <<'EOF'
import json, os, subprocess, sys, tempfile, time
chromium, address, target, work = sys.argv[1:5]
profile = tempfile.mkdtemp(dir=work)
to_browser_r, to_browser_w = os.pipe()
from_browser_r, from_browser_w = os.pipe()
# The browser reads fd 3 and writes fd 4; the ends move high first so that no dup2 aliases them.
os.dup2(to_browser_r, 100); os.dup2(from_browser_w, 101)
os.close(to_browser_r); os.close(from_browser_w)
def child():
    os.dup2(100, 3)
    os.dup2(101, 4)
flags = ["--headless", "--remote-debugging-pipe", "--no-first-run", "--disable-background-networking",
         "--disable-component-update", "--disable-sync", "--window-size=1280,900", "--user-data-dir=" + profile]
if os.getuid() == 0:
    flags.append("--no-sandbox")
proc = subprocess.Popen([chromium] + flags + ["about:blank"], pass_fds=(3, 4), preexec_fn=child,
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
os.close(100); os.close(101)
buffer = b""; next_id = 0
def send(method, params=None, session=None):
    global next_id
    next_id += 1
    message = {"id": next_id, "method": method, "params": params or {}}
    if session:
        message["sessionId"] = session
    os.write(to_browser_w, json.dumps(message).encode() + b"\0")
    return next_id
def receive():
    global buffer
    while b"\0" not in buffer:
        chunk = os.read(from_browser_r, 1 << 20)
        if not chunk:
            raise SystemExit("browser closed")
        buffer += chunk
    message, _, buffer = buffer.partition(b"\0")
    return json.loads(message)
def call(method, params=None, session=None):
    wanted = send(method, params, session)
    while True:
        message = receive()
        if message.get("id") == wanted:
            return message.get("result", {})
try:
    target_id = call("Target.createTarget", {"url": "about:blank"})["targetId"]
    session = call("Target.attachToTarget", {"targetId": target_id, "flatten": True})["sessionId"]
    call("Page.enable", session=session)
    call("Page.navigate", {"url": address}, session=session)
    deadline = time.time() + 30
    while time.time() < deadline:
        message = receive()
        if message.get("method") == "Page.loadEventFired":
            break
    time.sleep(1)
    data = call("Page.captureSnapshot", {"format": "mhtml"}, session=session)["data"]
    with open(target, "w", encoding="utf-8", newline="") as out:
        out.write(data)
finally:
    proc.kill(); proc.wait()
EOF
}

printf '%-17s %-22s %s\n' page saved-by "differing pixels (offline copy against live page)"
for entry in "${pages[@]}"; do
    name=${entry%% *}
    address=${entry#* }
    live=$work/$name-live.png
    if ! shot "$address" "$live"; then
        printf '%-17s %-22s %s\n' "$name" "-" "no screenshot of the live page"
        continue
    fi
    for engine in "${engines[@]}"; do
        save=$work/$name-$engine
        mkdir -p "$save"
        run=("$cli" --engine "$engine" --offline-copy --save-dir "$save" "$address")
        [[ $engine != webkit ]] || run=(xvfb-run -a -s "-screen 0 1280x1024x24" "${run[@]}")
        if ! "${run[@]}" >"$save.log" 2>&1; then
            printf '%-17s %-22s %s\n' "$name" "pagestow $engine" "capture failed (see $save.log)"
            continue
        fi
        copy=$(grep -o '离线浏览请打开：.*' "$save.log" | tail -n 1 | sed 's/^离线浏览请打开：//')
        if [[ -z $copy ]] || ! shot "file://$copy" "$save.png" offline; then
            printf '%-17s %-22s %s\n' "$name" "pagestow $engine" "no offline copy to show"
            continue
        fi
        printf '%-17s %-22s %s\n' "$name" "pagestow $engine" "$(share "$live" "$save.png")"
    done

    wget_dir=$work/$name-wget
    if command -v wget >/dev/null && wget -q -p -k -H -E -P "$wget_dir" "$address" 2>/dev/null || [[ -d $wget_dir ]]; then
        host_path=${address#http://}
        page=$wget_dir/${host_path/:/:}
        [[ -f $page ]] || page=$(find "$wget_dir" -name "$(basename "$host_path")*" -type f | head -n 1)
        if [[ -n $page ]] && shot "file://$page" "$wget_dir.png" offline; then
            printf '%-17s %-22s %s\n' "$name" "wget -p -k" "$(share "$live" "$wget_dir.png")"
        else
            printf '%-17s %-22s %s\n' "$name" "wget -p -k" "no page to show"
        fi
    fi

    mhtml=$work/$name.mhtml
    if mhtml_save "$address" "$mhtml" 2>/dev/null && [[ -s $mhtml ]] && shot "file://$mhtml" "$mhtml.png" offline; then
        printf '%-17s %-22s %s\n' "$name" "chromium mhtml" "$(share "$live" "$mhtml.png")"
    else
        printf '%-17s %-22s %s\n' "$name" "chromium mhtml" "could not be saved here"
    fi
done
