#!/usr/bin/env python3
"""Checks that pagestow saves what a browser really loads, on real pages shipped in Debian packages.

    scripts/real-pages-check.py [--engines static,chromium,webkit] [--build DIR] [PAGE...]

PAGE is a path below /usr/share/doc (default: the Python documentation's index, a library page,
the tutorial, the module index with its many images, the turtle page and a gtk-doc page). The
folder is served on 127.0.0.1; headless Chromium loads each page while the server logs every
request, then `pagestow-cli --engine E` captures it. For each page and engine the check prints
the share of the resources Chromium loaded and a harvested attribute names (href, src, real_src,
background, srcset candidates; in the page as served for the built-in engine, in Chromium's DOM
after the load for the browser engines) that the capture holds byte for byte as the server sent
them, then every miss by address. Runs itself under xvfb-run when there is no display (the webkit
engine needs one). Exit status 1 when a page misses a file on chromium or webkit, or on static
when the page has no script.
"""

import argparse
import hashlib
import html.parser
import http.server
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import urllib.parse

DOC_ROOT = "/usr/share/doc"
CHROMIUM = "/usr/lib/chromium/chromium"
DEFAULT_PAGES = [
    "python3/html/index.html",
    "python3/html/library/os.html",
    "python3/html/tutorial/index.html",
    "python3/html/py-modindex.html",
    "python3/html/library/turtle.html",
    "../gtk-doc/html/libtasn1/libtasn1-libtasn1.html",
]
ADDRESS_ATTRIBUTES = ("href", "src", "real_src", "background")


class RequestLog:
    def __init__(self):
        self.lock = threading.Lock()
        self.entries = []

    def add(self, path, status):
        with self.lock:
            self.entries.append((path, status))

    def take(self):
        with self.lock:
            entries, self.entries = self.entries, []
        return entries


def make_server(log):
    class Handler(http.server.SimpleHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def __init__(self, *args, **kwargs):
            super().__init__(*args, directory=os.path.dirname(DOC_ROOT), **kwargs)

        def log_request(self, code="-", size="-"):
            try:
                status = int(code)
            except (TypeError, ValueError):
                status = 0
            log.add(urllib.parse.unquote(urllib.parse.urlsplit(self.path).path), status)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


class Harvest(html.parser.HTMLParser):
    """The addresses a page's harvested attributes name, resolved as a browser resolves them."""

    def __init__(self, address):
        super().__init__(convert_charrefs=True)
        self.base = address
        self.values = []
        self.has_script = False

    def handle_starttag(self, tag, attrs):
        if tag == "base":
            for name, value in attrs:
                if name == "href" and value:
                    self.base = urllib.parse.urljoin(self.base, value.strip())
        if tag == "script":
            self.has_script = True
        for name, value in attrs:
            if value is None:
                continue
            if name in ADDRESS_ATTRIBUTES:
                self.values.append(value.strip())
            elif name == "srcset" and tag in ("img", "source"):
                for candidate in value.split(","):
                    parts = candidate.strip().split()
                    if parts:
                        self.values.append(parts[0])

    def addresses(self):
        return {urllib.parse.urldefrag(urllib.parse.urljoin(self.base, v))[0] for v in self.values if v}


def served_path(address, origin):
    if not address.startswith(origin + "/"):
        return None
    return urllib.parse.unquote(urllib.parse.urlsplit(address).path)


def file_of(path):
    return os.path.realpath(os.path.join(os.path.dirname(DOC_ROOT), path.lstrip("/")))


def sha(data):
    return hashlib.sha256(data).hexdigest()


def chromium_loads(address, work, log):
    """Paths Chromium loaded with 200 while loading address, and its DOM after the load event."""
    log.take()
    profile = tempfile.mkdtemp(dir=work)
    result = subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                             "--disable-background-networking", "--window-size=1280,900",
                             "--user-data-dir=" + profile, "--dump-dom", address],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120, check=False)
    return {path for path, status in log.take() if status == 200}, result.stdout.decode("utf-8", "replace")


def capture(cli, engine, address, work, environment):
    out = tempfile.mkdtemp(dir=work, prefix=engine + "-")
    result = subprocess.run([cli, "--engine", engine, "--save-dir", out, "--json", "-q", address],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=300,
                            env=environment, check=False)
    line = result.stdout.decode("utf-8", "replace").strip().splitlines()
    record = json.loads(line[-1]) if line else {}
    hashes = {}
    folder = record.get("capture_folder") or out
    for top, _, files in os.walk(folder):
        for name in files:
            full = os.path.join(top, name)
            with open(full, "rb") as f:
                hashes.setdefault(sha(f.read()), full)
    return record, hashes


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--engines", default="static,chromium,webkit")
    parser.add_argument("--build", default=os.environ.get("PAGESTOW_BUILD_DIR",
                        os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build")))
    parser.add_argument("pages", nargs="*")
    args = parser.parse_args()

    if not os.environ.get("DISPLAY") and shutil.which("xvfb-run") and not os.environ.get("REAL_PAGES_NO_XVFB"):
        os.environ["REAL_PAGES_NO_XVFB"] = "1"
        os.execvp("xvfb-run", ["xvfb-run", "-a", "-s", "-screen 0 1280x1024x24", sys.executable,
                               os.path.abspath(__file__)] + sys.argv[1:])
    cli = os.path.join(args.build, "bin", "pagestow-cli")
    for need in (cli, CHROMIUM):
        if not os.access(need, os.X_OK):
            sys.exit("real-pages-check: %s is missing (build pagestow-cli; scripts/install-deps.sh "
                     "installs chromium)" % need)
    pages = args.pages or DEFAULT_PAGES
    engines = [e for e in args.engines.split(",") if e]

    work = tempfile.mkdtemp(prefix="real-pages-")
    environment = dict(os.environ, HOME=work, XDG_CACHE_HOME=os.path.join(work, ".cache"),
                       NO_PROXY="*", no_proxy="*")
    environment.pop("http_proxy", None)
    log = RequestLog()
    server = make_server(log)
    origin = "http://127.0.0.1:%d" % server.server_address[1]
    prefix = os.path.basename(DOC_ROOT)
    failed = False
    try:
        for page in pages:
            path = os.path.normpath("/" + prefix + "/" + page)
            if not os.path.isfile(file_of(path)):
                print("%s: not installed, skipped" % page)
                continue
            address = origin + urllib.parse.quote(path)
            # The built-in engine harvests the page as served; the browser engines harvest the DOM
            # once the page has loaded, after its scripts changed it.
            source = Harvest(address)
            with open(file_of(path), "rb") as f:
                source.feed(f.read().decode("utf-8", "replace"))
            loaded, dom_text = chromium_loads(address, work, log)
            dom = Harvest(address)
            dom.feed(dom_text)
            print("%s (%d loaded by Chromium%s)" % (page, len(loaded), ", has script" if source.has_script else ""))
            for engine in engines:
                harvest = source if engine == "static" else dom
                named = {served_path(a, origin) for a in harvest.addresses()} - {None}
                wanted = sorted((loaded & named) - {path})
                record, hashes = capture(cli, engine, address, work, environment)
                misses = []
                for resource in wanted:
                    with open(file_of(resource), "rb") as f:
                        if sha(f.read()) not in hashes:
                            misses.append(resource)
                share = 100.0 * (len(wanted) - len(misses)) / len(wanted) if wanted else 100.0
                print("  %-9s %3d/%-3d saved byte-identical (%5.1f%%)  status %s, %s files"
                      % (engine, len(wanted) - len(misses), len(wanted), share,
                         record.get("status", "?"), record.get("files_saved", "?")))
                for miss in misses:
                    print("    missing: %s%s" % (origin, urllib.parse.quote(miss)))
                if misses and (engine != "static" or not source.has_script):
                    failed = True
            sys.stdout.flush()
    finally:
        server.shutdown()
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
