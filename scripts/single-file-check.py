#!/usr/bin/env python3
"""Measures pagestow's single file against the live page and against SingleFile's command line.

    scripts/single-file-check.py [--engines static,chromium,webkit] [--build DIR] [--no-singlefile]

Pages, served on 127.0.0.1: the Python documentation's index and library/os.html (Debian's
python3-doc), a Bootstrap page made from npm's `bootstrap` (its CSS and JS, components of its own
examples) and a page whose content a script builds. For each page: the live page's screenshot in
headless Chromium at 1280 x 900; then `pagestow-cli --engine E --single-file` for each engine, and
SingleFile's `single-file` (npm `single-file-cli`, installed into
$XDG_CACHE_HOME/pagestow-checks/npm, run with Debian's Chromium); each single file opened from disk
with every request sent to a dead proxy and screenshotted. Prints the share of pixels that differ
(ImageMagick `compare -metric AE -fuzz 5%`), the file's size over the sum of its parts (for
SingleFile: over the bytes the live page loaded, from the server's log) and the time taken.
"""

import argparse
import glob
import http.server
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

CHROMIUM = "/usr/lib/chromium/chromium"
PIXELS = 1280 * 900
DEAD_PROXY = ["--proxy-server=127.0.0.1:9", "--proxy-bypass-list=<-loopback>"]

SCRIPT_PAGE = """<!DOCTYPE html><html><head><meta charset="utf-8"><title>Built</title>
<link rel="stylesheet" href="built.css"></head><body><div id="app"></div>
<script>
const app = document.getElementById('app');
for (let i = 0; i < 40; ++i) {
  const card = document.createElement('div');
  card.className = 'card';
  card.innerHTML = '<h2>Card ' + i + '</h2><p>Built by script at load.</p>';
  app.append(card);
}
</script></body></html>
"""
SCRIPT_CSS = """body { font-family: sans-serif; margin: 20px; }
#app { display: grid; grid-template-columns: repeat(5, 1fr); gap: 10px; }
.card { border: 2px solid #369; border-radius: 8px; padding: 8px; background: #eef; }
"""


class Log:
    def __init__(self):
        self.lock = threading.Lock()
        self.bytes = 0

    def take(self):
        with self.lock:
            value, self.bytes = self.bytes, 0
        return value


def serve(root, log):
    class Handler(http.server.SimpleHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def __init__(self, *args, **kwargs):
            super().__init__(*args, directory=root, **kwargs)

        def log_request(self, code="-", size="-"):
            path = self.translate_path(self.path)
            if str(code) == "200" and os.path.isfile(path):
                with log.lock:
                    log.bytes += os.path.getsize(path)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def screenshot(address, out, work, offline):
    profile = tempfile.mkdtemp(dir=work)
    subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                    "--no-first-run", "--window-size=1280,900", "--virtual-time-budget=5000",
                    "--user-data-dir=" + profile, "--screenshot=" + out]
                   + (DEAD_PROXY if offline else []) + [address],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120, check=False)


def differing(a, b):
    result = subprocess.run(["compare", "-metric", "AE", "-fuzz", "5%", a, b, "null:"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=False)
    try:
        return 100.0 * float(result.stderr.decode().split()[0]) / PIXELS
    except (ValueError, IndexError):
        return float("nan")


def ensure_npm(cache, package):
    prefix = os.path.join(cache, "pagestow-checks", "npm")
    if not os.path.isdir(os.path.join(prefix, "node_modules", package)):
        subprocess.run(["npm", "install", "--prefix", prefix, "--no-audit", "--no-fund", package],
                       stdout=subprocess.DEVNULL, check=True)
    return prefix


def build_site(site, npm):
    os.makedirs(os.path.join(site, "built"))
    with open(os.path.join(site, "built", "index.html"), "w") as f:
        f.write(SCRIPT_PAGE)
    with open(os.path.join(site, "built", "built.css"), "w") as f:
        f.write(SCRIPT_CSS)
    os.symlink("/usr/share/doc/python3/html", os.path.join(site, "python"))
    dist = os.path.join(npm, "node_modules", "bootstrap", "dist")
    if os.path.isdir(dist):
        os.symlink(dist, os.path.join(site, "bootstrap-dist"))
        os.makedirs(os.path.join(site, "bootstrap"))
        with open(os.path.join(site, "bootstrap", "index.html"), "w") as f:
            f.write(BOOTSTRAP_PAGE)


BOOTSTRAP_PAGE = """<!DOCTYPE html><html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1"><title>Album</title>
<link href="../bootstrap-dist/css/bootstrap.min.css" rel="stylesheet"></head><body>
<header data-bs-theme="dark"><div class="navbar navbar-dark bg-dark shadow-sm"><div class="container">
<a href="#" class="navbar-brand"><strong>Album</strong></a>
<button class="navbar-toggler" type="button" data-bs-toggle="collapse" data-bs-target="#h">
<span class="navbar-toggler-icon"></span></button></div></div></header>
<main><section class="py-5 text-center container"><div class="row py-lg-5"><div class="col-lg-6 col-md-8 mx-auto">
<h1 class="fw-light">Album example</h1><p class="lead text-body-secondary">Something short and leading about
the collection below.</p><p><a href="#" class="btn btn-primary my-2">Main call to action</a>
<a href="#" class="btn btn-secondary my-2">Secondary action</a></p></div></div></section>
<div class="album py-5 bg-body-tertiary"><div class="container"><div class="row row-cols-1 row-cols-sm-2 row-cols-md-3 g-3">
""" + "".join("""<div class="col"><div class="card shadow-sm"><div class="card-body"><p class="card-text">Card %d:
a wider card with supporting text below.</p><div class="d-flex justify-content-between align-items-center">
<div class="btn-group"><button type="button" class="btn btn-sm btn-outline-secondary">View</button>
<button type="button" class="btn btn-sm btn-outline-secondary">Edit</button></div>
<small class="text-body-secondary">9 mins</small></div></div></div></div>
""" % i for i in range(9)) + """</div></div></div></main>
<script src="../bootstrap-dist/js/bootstrap.bundle.min.js"></script></body></html>
"""


def run_pagestow(cli, engine, address, work, environment):
    out = tempfile.mkdtemp(dir=work, prefix=engine + "-")
    start = time.monotonic()
    result = subprocess.run([cli, "--engine", engine, "--save-dir", out, "--single-file", address],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=300,
                            env=environment, check=False)
    took = time.monotonic() - start
    match = re.search(r"单个文件：(.*)（(\d+) 字节，所含文件共 (\d+) 字节）", result.stdout.decode("utf-8", "replace"))
    if not match:
        return None, 0, 0, took
    return match.group(1), int(match.group(2)), int(match.group(3)), took


def run_singlefile(npm, address, work, parts):
    out = tempfile.mkdtemp(dir=work, prefix="singlefile-")
    program = os.path.join(npm, "node_modules", ".bin", "single-file")
    start = time.monotonic()
    subprocess.run([program, "--browser-executable-path", CHROMIUM, "--browser-args",
                    '["--no-sandbox","--headless"]', "--output-directory", out, address],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300, check=False)
    took = time.monotonic() - start
    files = glob.glob(os.path.join(out, "*.html"))
    if not files:
        return None, 0, parts, took
    return files[0], os.path.getsize(files[0]), parts, took


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--engines", default="static,chromium,webkit")
    parser.add_argument("--build", default=os.environ.get("PAGESTOW_BUILD_DIR",
                        os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build")))
    parser.add_argument("--no-singlefile", action="store_true", help="skip SingleFile's command line")
    args = parser.parse_args()
    if not os.environ.get("DISPLAY") and shutil.which("xvfb-run") and not os.environ.get("SINGLE_FILE_NO_XVFB"):
        os.environ["SINGLE_FILE_NO_XVFB"] = "1"
        os.execvp("xvfb-run", ["xvfb-run", "-a", "-s", "-screen 0 1280x1024x24", sys.executable,
                               os.path.abspath(__file__)] + sys.argv[1:])
    cli = os.path.join(args.build, "bin", "pagestow-cli")
    for need in (cli, CHROMIUM, shutil.which("compare") or "compare"):
        if not os.access(need, os.X_OK):
            sys.exit("single-file-check: %s is missing" % need)
    cache = os.environ.get("XDG_CACHE_HOME", os.path.expanduser("~/.cache"))
    npm = ensure_npm(cache, "bootstrap")
    if not args.no_singlefile:
        ensure_npm(cache, "single-file-cli")

    work = tempfile.mkdtemp(prefix="single-file-check-")
    site = os.path.join(work, "site")
    build_site(site, npm)
    environment = dict(os.environ, HOME=work, XDG_CACHE_HOME=os.path.join(work, ".cache"),
                       NO_PROXY="*", no_proxy="*")
    environment.pop("http_proxy", None)
    log = Log()
    server = serve(site, log)
    origin = "http://127.0.0.1:%d" % server.server_address[1]
    pages = ["python/index.html", "python/library/os.html", "bootstrap/index.html", "built/index.html"]
    engines = [e for e in args.engines.split(",") if e]
    print("%-24s %-11s %9s %7s %7s" % ("page", "tool", "differ", "size/parts", "time"))
    try:
        for page in pages:
            if not os.path.exists(os.path.join(site, page)):
                print("%-24s not installed, skipped" % page)
                continue
            address = origin + "/" + page
            live = os.path.join(work, "live.png")
            log.take()
            screenshot(address, live, work, offline=False)
            loaded = log.take()
            runs = [(e, lambda e=e: run_pagestow(cli, e, address, work, environment)) for e in engines]
            if not args.no_singlefile:
                runs.append(("SingleFile", lambda: run_singlefile(npm, address, work, loaded)))
            for tool, run in runs:
                file, size, parts, took = run()
                if not file:
                    print("%-24s %-11s no file" % (page, tool))
                    continue
                shot = os.path.join(work, "single.png")
                screenshot("file://" + urllib.parse.quote(file), shot, work, offline=True)
                print("%-24s %-11s %8.2f%% %9.2f %6.1fs" % (page, tool, differing(live, shot),
                      size / parts if parts else float("nan"), took))
                sys.stdout.flush()
    finally:
        server.shutdown()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
