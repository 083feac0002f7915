#!/usr/bin/env python3
"""Checks that the web archives pagestow writes replay in ReplayWeb.page as the live pages look.

    scripts/replay-check.py [--engines static,chromium,webkit] [--build DIR] [--keep DIR] [PAGE...]

PAGE is a path below /usr/share/doc, with a query if the page wants one (default: the Python
documentation's index and library/os.html, and its search page for "fsencode", whose results its
scripts build from searchindex.js and from the pages they fetch). /usr/share is served on two
hosts, 127.0.0.1 and 127.0.0.2, on one port: the pages are taken from 127.0.0.1, which rewrites
every address of the documentation's _static/ folder in them (stylesheets, scripts, pictures) to
127.0.0.2, so that each capture spans two origins.

For each page, headless Chromium (1280 x 900, driven over its DevTools pipe) takes a screenshot of
the live page once it has loaded and the network has been quiet for a while, then
`pagestow-cli --engine E --wacz` captures it. The page servers are then stopped and logging
servers take their two addresses, answering 404 to everything. Each archive is opened in
ReplayWeb.page (npm `replaywebpage`, its ui.js and sw.js served from a third port as an embedding
page with `embed="replayonly"` filling the window), and the replayed page is shot the same way.
The check prints for each page and engine the share of pixels that differ (ImageMagick
`compare -metric AE -fuzz 5%`), the addresses the replayed page asked for that the archive did not
hold (answered 404 by ReplayWeb.page, or failed, for an address the archive's index lacks, or
escaped the replay and reached a logging server), the records of the archive's WARC and the result
of scripts/archive-verify.mjs, which reads them with npm `warcio`'s WARCParser and recomputes every
WARC-Block-Digest and WARC-Payload-Digest and the package's hashes. npm packages go to
$XDG_CACHE_HOME/pagestow-checks/npm. Runs itself under xvfb-run when there is no display (the
webkit engine needs one). --keep DIR keeps the screenshots, difference images and archives there.
Exit status 1 when a replay differs by 1% or more from the live page, or a digest or hash fails.
"""

import argparse
import base64
import gzip
import html
import http.server
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import threading
import time
import urllib.parse
import zipfile

DOC_ROOT = "/usr/share/doc"
from devtools_pipe import CHROMIUM, Browser  # noqa: E402 (beside this script)
DEFAULT_PAGES = [
    "python3/html/index.html",
    "python3/html/library/os.html",
    "python3/html/search.html?q=fsencode",
]
HOSTS = ("127.0.0.1", "127.0.0.2")
MOVED_FOLDER = "/doc/python3/html/_static/"
WIDTH, HEIGHT = 1280, 900
FUZZ = "5%"
LIMIT_PERCENT = 1.0
NOTES_SHOWN = 12
NPM_PACKAGES = {"replaywebpage": "2.5.3", "warcio": "2.4.11"}
SCRIPTS = os.path.dirname(os.path.abspath(__file__))
# The address of a replayed resource: the service worker's scope, the collection, then the
# capture time and a modifier (mp_, cs_, js_, im_, if_, ...) before the original address.
REPLAYED = re.compile(r"/replay/w/(?!api/)[^/]+/(?:[^/]+/)*?(?:\d+|\d*[a-z]{2}_)/(https?:.*)$")


# --- The pages' two hosts ----------------------------------------------------------------------

class Hosts:
    """One handler on 127.0.0.1 and 127.0.0.2 at one port: the pages, or a log of what arrives."""

    def __init__(self, port=0, serve_pages=True):
        self.serve_pages = serve_pages
        self.lock = threading.Lock()
        self.log = []
        handler = type("Handler", (HostHandler,), {"hosts": self})
        # A free port on the first host may be taken on the second: then another is tried.
        tries = 1 if port else 10
        for attempt in range(tries):
            first = http.server.ThreadingHTTPServer((HOSTS[0], port), handler)
            try:
                second = http.server.ThreadingHTTPServer((HOSTS[1], first.server_address[1]), handler)
                break
            except OSError:
                first.server_close()
                if attempt == tries - 1:
                    raise
        self.servers = [first, second]
        self.port = first.server_address[1]
        for server in self.servers:
            server.daemon_threads = True
            threading.Thread(target=server.serve_forever, daemon=True).start()

    def origin(self, host_index=0):
        return "http://%s:%d" % (HOSTS[host_index], self.port)

    def add(self, address, status):
        with self.lock:
            self.log.append((address, status))

    def take(self):
        with self.lock:
            log, self.log = self.log, []
        return log

    def stop(self):
        for server in self.servers:
            server.shutdown()
            server.server_close()


class HostHandler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    hosts = None

    def __init__(self, *args, **kwargs):
        super().__init__(*args, directory=os.path.dirname(DOC_ROOT), **kwargs)

    def address(self):
        return "http://%s:%d%s" % (self.server.server_address[0], self.server.server_address[1], self.path)

    def do_GET(self):
        if not self.hosts.serve_pages:
            return self.answer(404, b"not served after the capture\n", "text/plain")
        path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
        if self.server.server_address[0] == HOSTS[0] and path.endswith(".html"):
            try:
                with open(self.translate_path(self.path), "rb") as f:
                    text = f.read().decode("utf-8")
            except (OSError, UnicodeDecodeError):
                return super().do_GET()
            return self.answer(200, self.moved(text).encode("utf-8"), "text/html; charset=utf-8")
        return super().do_GET()

    def do_HEAD(self):
        if not self.hosts.serve_pages:
            return self.answer(404, b"", "text/plain")
        return super().do_HEAD()

    def do_POST(self):
        self.answer(404 if not self.hosts.serve_pages else 405, b"", "text/plain")

    def moved(self, text):
        """The page with every address into the _static folder pointing at the second host."""
        page = self.address()
        other = "http://%s:%d" % (HOSTS[1], self.server.server_address[1])

        def move(found):
            resolved = urllib.parse.urljoin(page, html.unescape(found.group(3)))
            parts = urllib.parse.urlsplit(resolved)
            if parts.hostname != HOSTS[0] or not parts.path.startswith(MOVED_FOLDER):
                return found.group(0)
            moved = other + urllib.parse.urlunsplit(("", "", parts.path, parts.query, parts.fragment))
            return found.group(1) + found.group(2) + html.escape(moved) + found.group(2)

        return re.sub(r"""(\s(?:href|src)\s*=\s*)(["'])(.*?)\2""", move, text, flags=re.I)

    def answer(self, status, body, content_type):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def log_request(self, code="-", size="-"):
        try:
            status = int(code)
        except (TypeError, ValueError):
            status = 0
        self.hosts.add(self.address(), status)

    def log_message(self, *args):
        pass


# --- The replay's own server -------------------------------------------------------------------

class ReplaySite:
    """A folder served on 127.0.0.1 at a third port, with byte ranges (ReplayWeb.page reads a WACZ
    by ranges)."""

    def __init__(self, folder):
        class Handler(http.server.SimpleHTTPRequestHandler):
            protocol_version = "HTTP/1.1"
            extensions_map = dict(http.server.SimpleHTTPRequestHandler.extensions_map,
                                  **{".js": "text/javascript", ".wacz": "application/wacz+zip"})

            def __init__(self, *args, **kwargs):
                super().__init__(*args, directory=folder, **kwargs)

            def send_head(self):
                # One handler serves every request of a kept-alive connection: no range is left over
                # from a HEAD before.
                self.remaining = None
                asked = re.fullmatch(r"bytes=(\d*)-(\d*)", self.headers.get("Range", "").strip())
                path = self.translate_path(self.path)
                if not asked or not os.path.isfile(path):
                    return super().send_head()
                size = os.path.getsize(path)
                first, last = asked.groups()
                if first:
                    start, end = int(first), min(int(last), size - 1) if last else size - 1
                else:
                    start, end = max(0, size - int(last or 0)), size - 1
                if start > end or start >= size:
                    self.send_error(416)
                    return None
                f = open(path, "rb")
                f.seek(start)
                self.send_response(206)
                self.send_header("Content-Type", self.guess_type(path))
                self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, size))
                self.send_header("Content-Length", str(end - start + 1))
                self.send_header("Accept-Ranges", "bytes")
                self.end_headers()
                self.remaining = end - start + 1
                return f

            def copyfile(self, source, outputfile):
                remaining = getattr(self, "remaining", None)
                if remaining is None:
                    return super().copyfile(source, outputfile)
                while remaining > 0:
                    block = source.read(min(remaining, 1 << 16))
                    if not block:
                        break
                    outputfile.write(block)
                    remaining -= len(block)
                self.remaining = None

            def end_headers(self):
                self.send_header("Cache-Control", "no-store")
                super().end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.origin = "http://127.0.0.1:%d" % self.server.server_address[1]

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


# --- Headless Chromium over its DevTools pipe --------------------------------------------------

class Load:
    """What one page load did, from the page session's events: requests, their answers, frames."""

    def __init__(self):
        self.lock = threading.Lock()
        self.requests = {}
        self.open = set()
        self.frames = {}
        self.stopped = set()
        self.loaded = False
        self.timed_out = False
        self.last = time.monotonic()

    def __call__(self, method, params):
        with self.lock:
            if method == "Network.requestWillBeSent":
                self.requests.setdefault(params["requestId"], {})["url"] = params["request"]["url"]
                self.open.add(params["requestId"])
            elif method == "Network.responseReceived":
                response = params["response"]
                entry = self.requests.setdefault(params["requestId"], {})
                entry["status"] = response.get("status")
                entry["headers"] = {k.lower(): v for k, v in response.get("headers", {}).items()}
            elif method in ("Network.loadingFinished", "Network.loadingFailed"):
                if method == "Network.loadingFailed" and not params.get("canceled"):
                    self.requests.setdefault(params["requestId"], {})["failed"] = params.get("errorText")
                self.open.discard(params["requestId"])
            elif method == "Page.frameNavigated":
                self.frames[params["frame"]["id"]] = params["frame"]["url"]
            elif method == "Page.frameStoppedLoading":
                self.stopped.add(params["frameId"])
            elif method == "Page.loadEventFired":
                self.loaded = True
            else:
                return
            self.last = time.monotonic()

    def settled(self, quiet):
        """Whether nothing started or ended for `quiet` seconds, with no request open (or twice as
        long with some still open: a stream that never ends does not hold the check up)."""
        with self.lock:
            idle = time.monotonic() - self.last
            return idle >= (quiet if not self.open else 2 * quiet)

    def state(self):
        """Where a load stands, for a note when it did not settle."""
        with self.lock:
            replayed = [f for f, url in self.frames.items() if REPLAYED.search(url)]
            busy = sorted(self.requests[r].get("url", "?")[-80:] for r in self.open)
            idle = time.monotonic() - self.last
        if not replayed:
            return "no replayed frame appeared"
        return "replayed frame %s; %d requests open (%s); %.1f s since the last event" % (
            "loaded" if self.replayed_frame_loaded() else "not loaded", len(busy), ", ".join(busy[:3]), idle)

    def replayed_frame_loaded(self):
        with self.lock:
            return any(REPLAYED.search(url) and frame in self.stopped for frame, url in self.frames.items())


def shoot(work, address, png, ready, quiet, bound):
    """Loads address in a fresh headless Chromium, waits until ready(load) and quiet seconds of
    network silence (at most bound seconds), saves a 1280 x 900 screenshot; returns the Load."""
    browser = Browser(work, WIDTH, HEIGHT)
    load = Load()
    browser.listeners.append(load)
    try:
        browser.page("Page.enable")
        browser.page("Network.enable")
        browser.page("Network.setCacheDisabled", cacheDisabled=True)
        browser.page("Emulation.setDeviceMetricsOverride", width=WIDTH, height=HEIGHT,
                     deviceScaleFactor=1, mobile=False)
        browser.page("Page.navigate", url=address)
        deadline = time.monotonic() + bound
        while time.monotonic() < deadline and not (ready(load) and load.settled(quiet)):
            time.sleep(0.2)
        load.timed_out = time.monotonic() >= deadline
        shot = browser.page("Page.captureScreenshot", format="png")
        with open(png, "wb") as f:
            f.write(base64.b64decode(shot["data"]))
    finally:
        browser.close()
    return load


# --- Capture, archive checks, comparison -------------------------------------------------------

def capture(cli, engine, address, wacz, work, environment):
    folder = tempfile.mkdtemp(dir=work, prefix="save-" + engine + "-")
    began = time.monotonic()
    result = subprocess.run([cli, "--engine", engine, "--wacz", wacz, "--save-dir", folder, "-q", address],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300, env=environment,
                            cwd=work, check=False)
    shutil.rmtree(folder, ignore_errors=True)
    message = result.stderr.decode("utf-8", "replace").strip().splitlines()
    return result.returncode, time.monotonic() - began, message[-1] if message else ""


def npm_folder():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "pagestow-checks", "npm")


def npm_packages():
    """ReplayWeb.page's folder (ui.js, sw.js), unpacked once in the cache, and warcio installed there
    (where archive-verify.mjs looks for it), both at the versions this check was made with."""
    folder = npm_folder()
    os.makedirs(folder, exist_ok=True)
    version = NPM_PACKAGES["replaywebpage"]
    replay = os.path.join(folder, "replaywebpage-" + version)
    if not os.path.isfile(os.path.join(replay, "package", "sw.js")):
        subprocess.run(["npm", "pack", "--silent", "replaywebpage@" + version, "--pack-destination", folder],
                       stdout=subprocess.DEVNULL, check=True)
        with tarfile.open(os.path.join(folder, "replaywebpage-%s.tgz" % version)) as packed:
            packed.extractall(replay, **({"filter": "data"} if hasattr(tarfile, "data_filter") else {}))
    warcio = os.path.join(folder, "node_modules", "warcio")
    try:
        with open(os.path.join(warcio, "package.json")) as f:
            installed = json.load(f).get("version")
    except OSError:
        installed = None
    if installed != NPM_PACKAGES["warcio"]:
        subprocess.run(["npm", "install", "--silent", "--no-audit", "--no-fund", "--prefix", folder,
                        "warcio@" + NPM_PACKAGES["warcio"]], stdout=subprocess.DEVNULL, check=True)
    return os.path.join(replay, "package")


def verify_archive(wacz):
    """(records, failures) of one WACZ, by scripts/archive-verify.mjs: it reads every record with
    warcio's WARCParser, recomputes every WARC-Block-Digest and WARC-Payload-Digest, and checks the
    package's hashes and index; it prints "records: N" and a line per mismatch."""
    result = subprocess.run(["node", os.path.join(SCRIPTS, "archive-verify.mjs"), wacz],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, check=False)
    text = result.stdout.decode("utf-8", "replace")
    counted = re.search(r"^records: (\d+)", text, flags=re.M)
    failures = [line for line in text.splitlines() if line.startswith(("mismatch:", "error:"))]
    if result.returncode != 0 and not failures:
        failures.append("archive-verify.mjs exited with %d" % result.returncode)
    return int(counted.group(1)) if counted else 0, failures


def differing_share(live, replayed, difference):
    result = subprocess.run(["compare", "-metric", "AE", "-fuzz", FUZZ, live, replayed, difference],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=False)
    text = result.stderr.decode("utf-8", "replace").strip().split()
    try:
        return 100.0 * float(text[0]) / (WIDTH * HEIGHT)
    except (IndexError, ValueError):
        return 100.0


def archived_addresses(wacz):
    """The addresses the WACZ's index holds, whatever their status."""
    held = set()
    try:
        with zipfile.ZipFile(wacz) as package:
            for line in package.read("indexes/index.cdxj").decode("utf-8", "replace").splitlines():
                at = line.find("{")
                if at >= 0:
                    try:
                        held.add(urllib.parse.urldefrag(json.loads(line[at:]).get("url", ""))[0])
                    except ValueError:
                        pass
    except (OSError, KeyError, zipfile.BadZipFile):
        pass
    return held


def truncated_records(wacz):
    """The addresses of the records marked WARC-Truncated (an engine that could not read a body
    whole writes what it has and says so): the archive holds them, but not as they were sent."""
    truncated = []
    try:
        with zipfile.ZipFile(wacz) as package, package.open("archive/data.warc.gz") as member, \
                gzip.GzipFile(fileobj=member) as warc:
            while True:
                head = b""
                while not head.endswith(b"\r\n\r\n"):
                    line = warc.readline()
                    if not line:
                        return truncated
                    head += line if head or line.strip() else b""
                fields = dict(l.split(":", 1) for l in head.decode("utf-8", "replace").splitlines() if ":" in l)
                fields = {k.strip().lower(): v.strip() for k, v in fields.items()}
                if "warc-truncated" in fields:
                    truncated.append((fields.get("warc-target-uri", "?"), fields["warc-truncated"]))
                warc.read(int(fields.get("content-length", "0")))
    except (OSError, KeyError, ValueError, zipfile.BadZipFile, EOFError):
        return truncated


def replay_misses(load, held, escaped):
    """The original addresses the replayed page asked for that the archive did not hold: a 404 or
    a failure for an address the index lacks (a 404 the index holds was archived as such), and
    every request that reached the pages' hosts."""
    misses = {}
    with load.lock:
        entries = list(load.requests.values())
    for entry in entries:
        found = REPLAYED.search(entry.get("url", ""))
        if not found:
            continue
        original = urllib.parse.urldefrag(found.group(1))[0]
        if original in held:
            continue
        if entry.get("status") == 404:
            misses.setdefault(original, "not in the archive: 404 from the replay")
        elif entry.get("failed"):
            misses.setdefault(original, "not in the archive: failed in the replay, " + entry["failed"])
    for address, _ in escaped:
        misses.setdefault(address, "escaped the replay: reached the page's host")
    return misses


EMBEDDING = """<!doctype html>
<html><head><meta charset="utf-8"><title>replay</title>
<style>html, body {{ margin: 0; padding: 0; height: 100%; overflow: hidden; }}
replay-web-page {{ display: block; width: 100vw; height: 100vh; }}</style>
<script src="ui.js"></script></head>
<body><replay-web-page source="{source}" url="{url}" embed="replayonly" replayBase="./replay/"></replay-web-page>
</body></html>
"""


def take_live(pages, engines, cli, hosts, out, work, environment):
    """A screenshot of each live page, then a capture by each engine; the cases to replay."""
    cases = []
    for number, page in enumerate(pages):
        path, _, query = page.partition("?")
        path = os.path.normpath("/" + os.path.basename(DOC_ROOT) + "/" + path)
        if not os.path.isfile(os.path.join(os.path.dirname(DOC_ROOT), path.lstrip("/"))):
            print("%s: not installed, skipped" % page)
            continue
        address = hosts.origin() + urllib.parse.quote(path) + ("?" + query if query else "")
        name = "page%d" % (number + 1)
        live = os.path.join(out, name + "-live.png")
        hosts.take()
        load = shoot(work, address, live, lambda l: l.loaded, quiet=1.5, bound=60)
        answered = hosts.take()
        print("%s: %s, %d requests live (%d to %s)%s" % (name, page, len(answered),
              sum(1 for a, _ in answered if a.startswith(hosts.origin(1))), HOSTS[1],
              ", timed out waiting" if load.timed_out else ""))
        for engine in engines:
            wacz = os.path.join(out, "%s-%s.wacz" % (name, engine))
            status, seconds, message = capture(cli, engine, address, wacz, work, environment)
            print("  %-8s captured in %5.1f s, exit %d%s" % (engine, seconds, status,
                  (": " + message) if status else ""))
            cases.append({"name": name, "page": page, "address": address, "engine": engine, "wacz": wacz,
                          "live": live, "captured": status == 0 and os.path.isfile(wacz),
                          "differ": None, "misses": {}, "records": 0, "truncated": [], "digests": "no archive", "notes": []})
        sys.stdout.flush()
    return cases


def replay(case, replay_site, site_folder, hosts, work):
    """Opens the case's archive in ReplayWeb.page, and fills in what differs and what is missed."""
    source = os.path.basename(case["wacz"])
    shutil.copy(case["wacz"], os.path.join(site_folder, source))
    embedding = "%s-%s.html" % (case["name"], case["engine"])
    with open(os.path.join(site_folder, embedding), "w") as f:
        f.write(EMBEDDING.format(source=html.escape(source), url=html.escape(case["address"])))
    replayed = case["wacz"][:-len(".wacz")] + "-replay.png"
    hosts.take()
    load = shoot(work, replay_site.origin + "/" + embedding, replayed,
                 lambda l: l.replayed_frame_loaded(), quiet=2.5, bound=120)
    escaped = hosts.take()
    if load.timed_out:
        case["notes"].append("the replayed page had not settled after 120 s: " + load.state())
    case["differ"] = differing_share(case["live"], replayed, replayed[:-len(".png")] + "-difference.png")
    case["misses"] = replay_misses(load, archived_addresses(case["wacz"]), escaped)
    case["truncated"] = truncated_records(case["wacz"])
    case["records"], problems = verify_archive(case["wacz"])
    case["notes"] += problems
    case["digests"] = "FAILED (%d)" % len(problems) if problems else "ok"


def print_table(cases):
    print()
    print("%-6s %-38s %-8s %9s %7s %8s %10s  %s" % ("", "page", "engine", "differ", "misses", "records",
                                                    "truncated", "digests"))
    for case in cases:
        differ = "-" if case["differ"] is None else "%8.2f%%" % case["differ"]
        print("%-6s %-38s %-8s %9s %7d %8d %10d  %s" % (case["name"], case["page"][-38:], case["engine"], differ,
                                                        len(case["misses"]), case["records"],
                                                        len(case["truncated"]), case["digests"]))
    for case in cases:
        if case["misses"] or case["notes"] or case["truncated"]:
            print("%s %s:" % (case["name"], case["engine"]))
            for address, how in sorted(case["misses"].items()):
                print("  missing: %s (%s)" % (address, how))
            for address, why in case["truncated"][:NOTES_SHOWN]:
                print("  truncated (%s): %s" % (why, address))
            if len(case["truncated"]) > NOTES_SHOWN:
                print("  ... and %d more truncated" % (len(case["truncated"]) - NOTES_SHOWN))
            for note in case["notes"][:NOTES_SHOWN]:
                print("  " + note)
            if len(case["notes"]) > NOTES_SHOWN:
                print("  ... and %d more" % (len(case["notes"]) - NOTES_SHOWN))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--engines", default="static,chromium,webkit")
    parser.add_argument("--build", default=os.environ.get("PAGESTOW_BUILD_DIR", os.path.join(SCRIPTS, "..", "build")))
    parser.add_argument("--keep", metavar="DIR", help="keep screenshots, differences and archives in DIR")
    parser.add_argument("pages", nargs="*")
    args = parser.parse_args()

    if not os.environ.get("DISPLAY") and shutil.which("xvfb-run") and not os.environ.get("REPLAY_CHECK_NO_XVFB"):
        os.environ["REPLAY_CHECK_NO_XVFB"] = "1"
        os.execvp("xvfb-run", ["xvfb-run", "-a", "-s", "-screen 0 1280x1024x24", sys.executable,
                               os.path.abspath(__file__)] + sys.argv[1:])
    cli = os.path.join(os.path.abspath(args.build), "bin", "pagestow-cli")
    for need in (cli, CHROMIUM, shutil.which("compare") or "compare", shutil.which("node") or "node",
                 shutil.which("npm") or "npm"):
        if not os.access(need, os.X_OK):
            sys.exit("replay-check: %s is missing (build pagestow-cli; scripts/install-deps.sh installs "
                     "chromium, imagemagick and Node.js)" % need)
    replay_package = npm_packages()
    work = tempfile.mkdtemp(prefix="replay-check-")
    try:
        out = os.path.abspath(args.keep) if args.keep else os.path.join(work, "out")
        site_folder = os.path.join(work, "site")
        os.makedirs(os.path.join(site_folder, "replay"))
        os.makedirs(out, exist_ok=True)
        # ui.js beside the embedding page and beside sw.js: the replay's own frame asks for it there.
        shutil.copy(os.path.join(replay_package, "ui.js"), site_folder)
        shutil.copy(os.path.join(replay_package, "ui.js"), os.path.join(site_folder, "replay"))
        shutil.copy(os.path.join(replay_package, "sw.js"), os.path.join(site_folder, "replay"))
        environment = dict(os.environ, HOME=work, XDG_CACHE_HOME=os.path.join(work, ".cache"),
                           NO_PROXY="*", no_proxy="*")
        environment.pop("http_proxy", None)

        hosts = Hosts()
        port = hosts.port
        print("pages on %s and %s (the _static folder), port %d; fuzz %s, %d x %d"
              % (HOSTS[0], HOSTS[1], port, FUZZ, WIDTH, HEIGHT))
        try:
            cases = take_live(args.pages or DEFAULT_PAGES, [e for e in args.engines.split(",") if e], cli,
                              hosts, out, work, environment)
        finally:
            hosts.stop()

        # The pages' hosts answer 404 from now on and log whatever reaches them.
        try:
            hosts = Hosts(port, serve_pages=False)
        except OSError as error:
            sys.exit("replay-check: port %d cannot be taken again for the logging servers: %s" % (port, error))
        replay_site = ReplaySite(site_folder)
        print("replay on %s (ReplayWeb.page %s); misses are 404s and failures in the replay for addresses "
              "the archive's index lacks, and requests that reach %s or %s port %d"
              % (replay_site.origin, NPM_PACKAGES["replaywebpage"], HOSTS[0], HOSTS[1], port))
        try:
            for case in cases:
                if case["captured"]:
                    replay(case, replay_site, site_folder, hosts, work)
        finally:
            replay_site.stop()
            hosts.stop()
        print_table(cases)
        if args.keep:
            print("screenshots, differences and archives in " + out)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    failed = [c for c in cases if not c["captured"] or c["differ"] >= LIMIT_PERCENT or c["digests"] != "ok"]
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
