#!/usr/bin/env python3
"""Prints how much of a lazily loaded page the browser engines save, and what scrolling costs.

    scripts/lazy-load-check.py [--engines chromium,webkit] [--runs N] [--build DIR] [PAGE...]

PAGE is a path below /usr/share/doc (default: pages of the Python documentation, python3-doc, and
libxslt's internals page, libxslt1-dev, when installed; a page that is not installed is skipped with
a message). Each page is served on 127.0.0.1 in two lazy forms made here: every img given
loading="lazy" (as WordPress writes them), and every img's src moved into data-src, which an
IntersectionObserver moves back as the picture comes into view. The pictures a browser loads when
the page is scrolled to its end are those headless Chromium loads for the page as shipped (eager
images). For each page, form and engine the check prints the share of those pictures the capture
holds byte for byte, with scrolling (the default) and with --no-scroll, the screens the page is
long, and the wall time of pagestow-cli (medians of N runs; "scrolling adds" is the difference).
Goals: 100% saved with scrolling, under 2 s added on a page of 10 screens. Runs itself under
xvfb-run when there is no display (the webkit engine needs one). Exit status 1 when a browser
engine misses a picture with scrolling on.
"""

import argparse
import hashlib
import http.server
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

DOC_ROOT = "/usr/share/doc"
CHROMIUM = "/usr/lib/chromium/chromium"
DEFAULT_PAGES = [
    "python3/html/library/pathlib.html",
    "python3/html/library/hashlib.html",
    "libxslt1-dev/html/internals.html",
]
IMAGE_TYPES = (".png", ".gif", ".jpg", ".jpeg", ".svg", ".webp")
OBSERVER = ("<script>(function () { var seen = new IntersectionObserver(function (entries) {"
            " entries.forEach(function (e) { if (e.isIntersecting) { e.target.src = e.target.dataset.src;"
            " seen.unobserve(e.target); } }); }); document.querySelectorAll('img[data-src]')"
            ".forEach(function (i) { seen.observe(i); }); })();</script>")


def lazy_form(text):
    """Every img with loading="lazy" (a loading attribute of its own replaced)."""
    text = re.sub(r'(<img\b[^>]*?)\s+loading\s*=\s*("[^"]*"|\'[^\']*\'|\S+)', r"\1", text, flags=re.I)
    return re.sub(r"<img\b", '<img loading="lazy"', text, flags=re.I)


def observed_form(text):
    """Every img's src in data-src, moved back by an IntersectionObserver as the picture appears."""
    text = re.sub(r"(<img\b[^>]*?)\s(src\s*=)", r"\1 data-\2", text, flags=re.I)
    at = text.lower().rfind("</body>")
    return text[:at] + OBSERVER + text[at:] if at >= 0 else text + OBSERVER


FORMS = {"lazy": lazy_form, "observer": observed_form}


class Site:
    """/usr/share/doc on 127.0.0.1, with the made forms of a page beside it, logging what is asked."""

    def __init__(self):
        self.made = {}
        self.lock = threading.Lock()
        self.log = []
        site = self

        class Handler(http.server.SimpleHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def __init__(self, *args, **kwargs):
                super().__init__(*args, directory=os.path.dirname(DOC_ROOT), **kwargs)

            def do_GET(self):
                path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
                body = site.made.get(path)
                if body is None:
                    return super().do_GET()
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_request(self, code="-", size="-"):
                with site.lock:
                    site.log.append((urllib.parse.unquote(urllib.parse.urlsplit(self.path).path), str(code)))

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.origin = "http://127.0.0.1:%d" % self.server.server_address[1]

    def take_log(self):
        with self.lock:
            log, self.log = self.log, []
        return log


def sha(data):
    return hashlib.sha256(data).hexdigest()


def file_of(path):
    return os.path.realpath(os.path.join(os.path.dirname(DOC_ROOT), path.lstrip("/")))


MEASURE = ("<script>addEventListener('load', function () { document.documentElement.setAttribute("
           "'data-screens', (document.documentElement.scrollHeight / innerHeight).toFixed(1)); });</script>")


def browser_pictures(site, path, shipped, work):
    """The pictures Chromium loads for the page as shipped (eager), and its length in screens."""
    measured = path[:-len(".html")] + ".measure.html"
    at = shipped.lower().rfind("</body>")
    site.made[measured] = (shipped[:at] + MEASURE + shipped[at:]).encode("utf-8")
    site.take_log()
    profile = tempfile.mkdtemp(dir=work)
    result = subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                             "--disable-background-networking", "--window-size=1280,900",
                             "--user-data-dir=" + profile, "--dump-dom", site.origin + urllib.parse.quote(measured)],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120, check=False)
    found = re.search(r'data-screens="([0-9.]+)"', result.stdout.decode("utf-8", "replace"))
    pictures = {p for p, code in site.take_log() if code == "200" and p.lower().endswith(IMAGE_TYPES)}
    return pictures, float(found.group(1)) if found else 0.0


def capture(cli, engine, address, work, environment, scroll):
    out = tempfile.mkdtemp(dir=work, prefix=engine + "-")
    args = [cli, "--engine", engine, "--save-dir", out, "-q", address]
    if not scroll:
        args.insert(1, "--no-scroll")
    began = time.monotonic()
    result = subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300,
                            env=environment, check=False)
    seconds = time.monotonic() - began
    hashes = set()
    for top, _, files in os.walk(out):
        for name in files:
            with open(os.path.join(top, name), "rb") as f:
                hashes.add(sha(f.read()))
    shutil.rmtree(out, ignore_errors=True)
    return result.returncode, seconds, hashes


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--engines", default="chromium,webkit")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--build", default=os.environ.get("PAGESTOW_BUILD_DIR",
                        os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build")))
    parser.add_argument("pages", nargs="*")
    args = parser.parse_args()

    if not os.environ.get("DISPLAY") and shutil.which("xvfb-run") and not os.environ.get("LAZY_CHECK_NO_XVFB"):
        os.environ["LAZY_CHECK_NO_XVFB"] = "1"
        os.execvp("xvfb-run", ["xvfb-run", "-a", "-s", "-screen 0 1280x1024x24", sys.executable,
                               os.path.abspath(__file__)] + sys.argv[1:])
    cli = os.path.join(args.build, "bin", "pagestow-cli")
    for need in (cli, CHROMIUM):
        if not os.access(need, os.X_OK):
            sys.exit("lazy-load-check: %s is missing (build pagestow-cli; scripts/install-deps.sh "
                     "installs chromium)" % need)
    engines = [e for e in args.engines.split(",") if e]
    work = tempfile.mkdtemp(prefix="lazy-load-")
    environment = dict(os.environ, HOME=work, XDG_CACHE_HOME=os.path.join(work, ".cache"),
                       NO_PROXY="*", no_proxy="*")
    environment.pop("http_proxy", None)
    site = Site()
    prefix = os.path.basename(DOC_ROOT)
    failed = False
    try:
        for page in args.pages or DEFAULT_PAGES:
            path = os.path.normpath("/" + prefix + "/" + page)
            if not os.path.isfile(file_of(path)):
                print("%s: not installed, skipped" % page)
                continue
            with open(file_of(path), "rb") as f:
                shipped = f.read().decode("utf-8", "replace")
            pictures, screens = browser_pictures(site, path, shipped, work)
            wanted = {}
            for picture in pictures:
                with open(file_of(picture), "rb") as f:
                    wanted[picture] = sha(f.read())
            print("%s: %.1f screens, %d pictures a browser loads" % (page, screens, len(wanted)))
            for form, make in FORMS.items():
                made = path[:-len(".html")] + "." + form + ".html"
                site.made[made] = make(shipped).encode("utf-8")
                address = site.origin + urllib.parse.quote(made)
                for engine in engines:
                    shares = {}
                    times = {}
                    for scroll in (True, False):
                        runs = []
                        for _ in range(max(1, args.runs)):
                            status, seconds, hashes = capture(cli, engine, address, work, environment, scroll)
                            runs.append(seconds)
                            shares[scroll] = sum(1 for h in wanted.values() if h in hashes)
                            if status != 0:
                                print("  %s %s: pagestow-cli exited with %d" % (engine, form, status))
                        times[scroll] = statistics.median(runs)
                    total = len(wanted)
                    share = lambda n: "%d/%d %3.0f%%" % (n, total, 100.0 * n / total if total else 100.0)
                    print("  %-8s %-8s saved %-11s (--no-scroll %-11s)  %6.2f s (--no-scroll %5.2f s),"
                          " scrolling adds %+5.2f s"
                          % (form, engine, share(shares[True]), share(shares[False]), times[True],
                             times[False], times[True] - times[False]))
                    if shares[True] < total:
                        failed = True
                    sys.stdout.flush()
    finally:
        site.server.shutdown()
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
