#!/usr/bin/env python3
"""Measures pagestow's recursive crawl against wget and wget2 on the Python documentation.

    scripts/crawl-check.py [--cli PATH | --build DIR] [--latency MS]... [--widths 1,2]
                           [--quick] [--skip-chromium] [--runs N] [--generated N] [--keep DIR]

Debian's python3-doc (/usr/share/doc/python3/html) is served on 127.0.0.1 below /python/, beside a
generated site of many small pages below /gen/, by a threaded server that holds every response
back for a fixed latency (--latency MS, repeatable; default 0 and 40) and writes it in one send.

1. Pages: `wget -r -l inf -np -p -k` and `pagestow-cli -r --level inf --no-parent --offline-copy`
   from the documentation's index; the sets of HTML pages each saved, as address paths.
2. Links: every a/area/link/img/script/iframe reference (href, src, srcset) of every offline copy
   pagestow wrote either resolves to a file on disk, or is absolute; the broken ones are listed.
3. From disk: a sample of offline copies (the index among them) opened in headless Chromium from
   file:// with every request sent to a dead proxy; the stylesheets, pictures, fonts and scripts
   that failed to load are counted.
4. Speed: wall time, the peak of the summed RSS of the whole process tree (sampled every 0.2 s)
   and the largest single process's peak (/usr/bin/time's %M) of pagestow-cli with --jobs N,
   wget2 with --max-threads=N and wget, at each latency; the chromium engine with --jobs 1 and 2
   on the first pages (--page-limit).
5. Memory: pagestow-cli's RSS (the process tree's sum) over a crawl of the generated site, at 10%,
   50% and 100% of the run.

Prints a table at the end. --quick crawls the tutorial only and a smaller generated site. Exit
status 1 when pagestow missed pages wget saved, wrote a broken link or a page without its offline
copy, linked an original where its offline copy is, or an offline copy failed to load a part from
disk. Python 3 standard library only, plus wget, wget2, /usr/bin/time and Chromium.
docs/speed-and-real-pages.md ("Whole sites") has the figures.
"""

import argparse
import base64
import html.parser
import http.server
import json
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

SCRIPTS = os.path.dirname(os.path.abspath(__file__))
from devtools_pipe import CHROMIUM, Browser  # noqa: E402 (beside this script)
TIME = "/usr/bin/time"
DEAD_PROXY = ["--proxy-server=127.0.0.1:9", "--proxy-bypass-list=<-loopback>"]
DOC_FOLDERS = ["/usr/share/doc/python3/html", "/usr/share/doc/python3-dev/html",
               "/usr/share/doc/python3.11/html"]
SHOWN = 10
SAMPLE_EVERY = 0.2
LINK_TAGS = {"a": ("href",), "area": ("href",), "link": ("href", "imagesrcset"),
             "img": ("src", "srcset"), "script": ("src",), "iframe": ("src",)}
PAGE_SUFFIXES = (".html", ".htm")
# A PNG of one white pixel.
PIXEL = base64.b64decode("iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAIAAACQd1PeAAAADElEQVR4nGP4//8/AAX+Av4N70a4AAAAAElFTkSuQmCC")


# --- The site and its server -------------------------------------------------------------------

def find_docs():
    for folder in DOC_FOLDERS:
        if os.path.isfile(os.path.join(folder, "index.html")):
            return os.path.realpath(folder)
    return None


def generate_site(folder, pages):
    """pages small pages in folders of 100: each links to the next five (wrapping round), shows
    a picture of its own and one all pages share, and uses one stylesheet."""
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "style.css"), "w") as f:
        f.write("body { font-family: sans-serif; background: url(shared.png); }\n")
    with open(os.path.join(folder, "shared.png"), "wb") as f:
        f.write(PIXEL)

    def name(i):
        return "d%02d/p%04d.html" % (i // 100, i)

    text = " ".join("word%d" % w for w in range(600))
    for i in range(pages):
        path = os.path.join(folder, name(i))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        links = "".join('<li><a href="../%s">page %d</a></li>' % (name((i + k) % pages), (i + k) % pages)
                        for k in range(1, 6))
        with open(path, "w") as f:
            f.write('<!DOCTYPE html><html><head><meta charset="utf-8"><title>Page %d</title>'
                    '<link rel="stylesheet" href="../style.css"></head><body><h1>Page %d</h1>'
                    '<img src="p%04d.png" alt=""><img src="../shared.png" alt=""><p>%s</p><ul>%s</ul>'
                    '</body></html>\n' % (i, i, i, text, links))
        with open(path[:-len(".html")] + ".png", "wb") as f:
            f.write(PIXEL)
    with open(os.path.join(folder, "index.html"), "w") as f:
        f.write('<!DOCTYPE html><html><head><meta charset="utf-8"><title>Generated</title></head><body>'
                '<ul>%s</ul></body></html>\n' % "".join('<li><a href="%s">%d</a></li>' % (name(i), i)
                                                      for i in range(min(pages, 10))))


class Site:
    """A folder on 127.0.0.1, one thread a connection, every response held back for `latency`
    seconds and written in one send (headers and body in two writes meet Nagle's algorithm and
    delayed ACKs). Keeps a log of (path, status, content type)."""

    def __init__(self, root):
        self.root = root
        self.latency = 0.0
        self.lock = threading.Lock()
        self.log = []
        handler = type("Handler", (SiteHandler,), {"site": self})
        http.server.ThreadingHTTPServer.request_queue_size = 128
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.server.daemon_threads = True
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.origin = "http://127.0.0.1:%d" % self.server.server_address[1]

    def add(self, path, status, content_type):
        with self.lock:
            self.log.append((path, status, content_type))

    def take(self):
        with self.lock:
            log, self.log = self.log, []
        return log

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


class SiteHandler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    site = None

    def __init__(self, *args, **kwargs):
        super().__init__(*args, directory=self.site.root, **kwargs)

    def setup(self):
        super().setup()
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def do_GET(self):
        self.respond(True)

    def do_HEAD(self):
        self.respond(False)

    def respond(self, with_body):
        if self.site.latency:
            time.sleep(self.site.latency)
        path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
        file = self.translate_path(self.path)
        extra = ""
        if os.path.isdir(file):
            if not path.endswith("/"):
                status, body, content_type = 301, b"", "text/plain"
                extra = "Location: %s/\r\n" % urllib.parse.quote(path)
                file = None
            else:
                file = os.path.join(file, "index.html")
        if file is not None:
            try:
                with open(file, "rb") as f:
                    status, body, content_type = 200, f.read(), self.guess_type(file)
            except OSError:
                status, body, content_type = 404, b"not found\n", "text/plain"
        head = ("HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %d\r\n%s\r\n"
                % (status, self.responses.get(status, ("",))[0], content_type, len(body), extra)).encode()
        try:
            self.wfile.write(head + body if with_body else head)
        except OSError:
            self.close_connection = True
        self.site.add(path, status, content_type)

    def log_message(self, *args):
        pass


# --- Runs, timed and sampled -------------------------------------------------------------------

def process_tree(root):
    """root and every process below it, from the parent fields of /proc/*/stat."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rfind(")") + 2:].split()
        children.setdefault(int(fields[1]), []).append(int(entry))
    tree, todo = [], [root]
    while todo:
        pid = todo.pop()
        tree.append(pid)
        todo.extend(children.get(pid, []))
    return tree


def rss_kb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


class Run:
    """One program run under /usr/bin/time: wall time, return code, the summed RSS of the tree
    below time every SAMPLE_EVERY seconds, the largest single process's peak RSS (time's %M: a
    child forked from this script itself would carry the script's own size into its peak), and
    what it printed."""

    def __init__(self, command, work, environment, timeout):
        self.command = command
        self.stdout_path = tempfile.mktemp(dir=work, prefix="stdout-")
        self.stderr_path = tempfile.mktemp(dir=work, prefix="stderr-")
        peak_path = tempfile.mktemp(dir=work, prefix="time-")
        self.samples = []
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            began = time.monotonic()
            process = subprocess.Popen([TIME, "-f", "%M", "-o", peak_path] + command, stdin=subprocess.DEVNULL,
                                       stdout=out, stderr=err, cwd=work, env=environment, start_new_session=True)
            done = threading.Event()
            sampler = threading.Thread(target=self.sample, args=(process.pid, began, done), daemon=True)
            sampler.start()
            try:
                process.wait(timeout)
                self.timed_out = False
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
                self.timed_out = True
            self.wall = time.monotonic() - began
            done.set()
            sampler.join()
        self.returncode = process.returncode
        try:
            with open(peak_path) as f:
                lines = f.read().split()
            # time says "Command exited with non-zero status N" before the figure.
            self.max_process_kb = int(lines[-1])
        except (OSError, ValueError, IndexError):
            self.max_process_kb = 0
        self.peak_tree_kb = max([kb for _, kb in self.samples] + [0])

    def sample(self, pid, began, done):
        while not done.is_set():
            total = sum(rss_kb(p) for p in process_tree(pid) if p != pid)
            if total:
                self.samples.append((time.monotonic() - began, total))
            done.wait(SAMPLE_EVERY)

    def at(self, share):
        """The tree's RSS at share (0..1) of the run: the last sample at or before that time."""
        if not self.samples:
            return 0
        moment = share * self.samples[-1][0]
        chosen = self.samples[0][1]
        for when, kb in self.samples:
            if when <= moment + 1e-9:
                chosen = kb
        return chosen

    def stdout(self):
        with open(self.stdout_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stderr_tail(self, lines=3):
        with open(self.stderr_path, "rb") as f:
            return " | ".join(f.read().decode("utf-8", "replace").strip().splitlines()[-lines:])


def expected_exit(tool, run, log):
    """Whether a run ended as it should: 0; wget's and wget2's 8 (a server answered an error); or
    pagestow-cli's 1 when the pages its last line counts as failed are those the server answered
    with an error (the documentation links a page Debian does not ship)."""
    if run.returncode == 0:
        return True
    if tool.startswith("wget"):
        return run.returncode == 8
    if run.returncode != 1:
        return False
    with open(run.stderr_path, "rb") as f:
        counted = re.findall(r"crawl: \d+ pages? saved, (\d+) failed", f.read().decode("utf-8", "replace"))
    errors = {path for path, status, _ in log if status >= 400 and not robots(path)}
    return bool(counted) and int(counted[-1]) == len(errors)


def pagestow_command(cli, address, out, jobs, engine="static", extra=()):
    return [cli, "-r", "--level", "inf", "--no-parent", "--offline-copy", "--engine", engine,
            "--jobs", str(jobs), "--save-dir", out] + list(extra) + [address]


def wget_command(address, out):
    return ["wget", "-r", "-l", "inf", "-np", "-p", "-k", "-nv", "-P", out, address]


def wget2_command(address, out, threads):
    return ["wget2", "--recursive", "--level", "inf", "--no-parent", "--page-requisites",
            "--convert-links", "--max-threads=%d" % threads, "-nv", "-P", out, address]


class Runner:
    def __init__(self, cli, work, scratch):
        self.cli = cli
        self.work = work
        self.scratch = scratch
        self.cache = os.path.join(scratch, "engine-cache")
        self.environment = dict(os.environ, HOME=work, XDG_CACHE_HOME=os.path.join(work, ".cache"),
                                PAGESTOW_CACHE_DIR=self.cache, NO_PROXY="*", no_proxy="*")
        for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY"):
            self.environment.pop(name, None)
        self.count = 0

    def folder(self, name):
        self.count += 1
        out = os.path.join(self.scratch, "%02d-%s" % (self.count, name))
        os.makedirs(out)
        return out

    def settle(self):
        """Waits (at most 10 s) until pagestow-cli's engine cache, which it removes in the
        background as it exits, is gone, so that the removal does not land on the next run."""
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                if not os.listdir(self.cache):
                    return
            except FileNotFoundError:
                return
            time.sleep(0.1)

    def run(self, command, timeout):
        self.settle()
        return Run(command, self.work, self.environment, timeout)


# --- What each tool saved ----------------------------------------------------------------------

def is_page(name):
    return name.lower().endswith(PAGE_SUFFIXES) and not re.search(r"\.offline\d*\.html?$", name, re.I)


def is_offline_copy(name):
    return re.search(r"\.offline\d*\.html?$", name, re.I) is not None


def page_path(relative):
    """A saved page's address path, with an index page standing for its folder."""
    path = "/" + relative.replace(os.sep, "/")
    return re.sub(r"/index\.html?$", "/", path)


def files_below(folder):
    found = []
    for here, _, names in os.walk(folder):
        for name in names:
            found.append(os.path.relpath(os.path.join(here, name), folder))
    return found


def wget_saved(out, site):
    """(host folder, pages as paths, every file as a path) of a wget or wget2 run."""
    # wget names the host's folder with the port, wget2 without.
    parts = urllib.parse.urlsplit(site.origin)
    host = os.path.join(out, parts.netloc)
    if not os.path.isdir(host):
        host = os.path.join(out, parts.hostname)
    if not os.path.isdir(host):
        return host, set(), set()
    files = files_below(host)
    return host, {page_path(f) for f in files if is_page(f)}, {"/" + f.replace(os.sep, "/") for f in files}


def pagestow_saved(out):
    """(capture folders, host folder, pages as paths, offline copies, every file as a path)."""
    captures = sorted(glob_dirs(out, "qzwd_"))
    host = os.path.join(captures[0], "127.0.0.1") if captures else os.path.join(out, "missing")
    if not os.path.isdir(host):
        return captures, host, set(), [], set()
    files = files_below(host)
    pages = {page_path(f) for f in files if is_page(f)}
    copies = [os.path.join(host, f) for f in files if is_offline_copy(f)]
    originals = {"/" + f.replace(os.sep, "/") for f in files if not is_offline_copy(f) and
                 not re.search(r"\.offline\d*\.css$", f, re.I)}
    return captures, host, pages, copies, originals


def glob_dirs(folder, prefix):
    try:
        return [os.path.join(folder, n) for n in os.listdir(folder)
                if n.startswith(prefix) and os.path.isdir(os.path.join(folder, n))]
    except OSError:
        return []


def robots(path):
    return path.rstrip("/").endswith("robots.txt")


# --- The links of the saved pages --------------------------------------------------------------

class References(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.found = []

    def handle_starttag(self, tag, attrs):
        names = LINK_TAGS.get(tag)
        if not names:
            return
        if tag == "link":
            # A stylesheet, icon or preload is a part of the page; another relation is a link.
            rel = " ".join(v or "" for n, v in attrs if n == "rel").lower().split()
            tag = "link" if set(rel) & {"stylesheet", "icon", "preload", "modulepreload",
                                         "apple-touch-icon", "shortcut"} else "link-rel"
        for name, value in attrs:
            if name not in names or value is None:
                continue
            if name.endswith("srcset"):
                for candidate in value.split(","):
                    words = candidate.split()
                    if words:
                        self.found.append((tag, name, words[0]))
            else:
                self.found.append((tag, name, value))

    handle_startendtag = handle_starttag


def css_references(file, text):
    """The url() and @import addresses of a stylesheet, as ("css", "url", address)."""
    if not file.lower().endswith(".css"):
        return []
    found = [m.group(2) for m in re.finditer(r"""url\(\s*(["']?)(.*?)\1\s*\)""", text)]
    found += [m.group(2) for m in re.finditer(r"""@import\s+(["'])(.*?)\1""", text)]
    return [("css", "url", f) for f in found if not f.startswith("data:")]


def check_links(files, origin, saved_pages, offline):
    """Counts the references of files: resolved to a file on disk, absolute, or broken; besides,
    the resolved page links that lead to an original instead of its offline copy (when offline),
    the absolute links to one of the saved pages (which should have been made relative) and the
    pictures, scripts and stylesheets still taken from the crawled site (not saved)."""
    result = {"files": len(files), "resolved": 0, "absolute": 0, "broken": [], "to_original": [],
              "absolute_to_saved": [], "absolute_parts": [], "to_page_without_copy": []}
    for file in files:
        with open(file, "rb") as f:
            text = f.read().decode("utf-8", "replace")
        parser = References()
        try:
            if not file.lower().endswith(".css"):
                parser.feed(text)
                parser.close()
        except Exception as error:  # html.parser gives up on very little; say so if it does
            result["broken"].append("%s: not parsed: %s" % (file, error))
            continue
        folder = os.path.dirname(file)
        for tag, name, value in parser.found + css_references(file, text):
            reference = value.strip()
            if not reference or reference.startswith("#"):
                result["resolved"] += 1
                continue
            parts = urllib.parse.urlsplit(reference)
            if parts.scheme and parts.scheme != "file" or reference.startswith("//"):
                result["absolute"] += 1
                absolute = urllib.parse.urljoin(origin + "/", reference)
                if absolute.startswith(origin + "/") and tag in ("a", "area", "iframe"):
                    path = urllib.parse.unquote(urllib.parse.urlsplit(absolute).path)
                    if re.sub(r"/index\.html?$", "/", path) in saved_pages:
                        result["absolute_to_saved"].append("%s: <%s %s=%s>" % (file, tag, name, value))
                elif absolute.startswith(origin + "/") and tag in ("img", "script", "link", "css"):
                    result["absolute_parts"].append("%s: <%s %s=%s>" % (file, tag, name, value))
                continue
            target = urllib.parse.unquote(parts.path) if parts.scheme != "file" else \
                urllib.parse.unquote(parts.path)
            target = os.path.normpath(target if os.path.isabs(target) else os.path.join(folder, target))
            if os.path.isfile(target):
                result["resolved"] += 1
                if offline and tag in ("a", "area", "iframe") and is_page(target):
                    stem, extension = os.path.splitext(target)
                    kind = "to_original" if os.path.isfile(stem + ".offline" + extension) else "to_page_without_copy"
                    result[kind].append("%s: <%s %s=%s>" % (file, tag, name, value))
            else:
                why = "a folder" if os.path.isdir(target) else "missing"
                result["broken"].append("%s: <%s %s=%s> (%s)" % (file, tag, name, value, why))
    return result


# --- Opening offline copies from disk in Chromium ----------------------------------------------

class Load:
    def __init__(self):
        self.lock = threading.Lock()
        self.requests = {}
        self.loaded = False
        self.last = time.monotonic()

    def __call__(self, method, params):
        with self.lock:
            if method == "Network.requestWillBeSent":
                self.requests[params["requestId"]] = {"url": params["request"]["url"],
                                                      "type": params.get("type", "Other")}
            elif method == "Network.responseReceived":
                entry = self.requests.setdefault(params["requestId"], {"url": "?", "type": "Other"})
                entry["status"] = params["response"].get("status")
            elif method == "Network.loadingFailed":
                if not params.get("canceled"):
                    entry = self.requests.setdefault(params["requestId"], {"url": "?", "type": "Other"})
                    entry["failed"] = params.get("errorText")
            elif method == "Page.loadEventFired":
                self.loaded = True
            else:
                return
            self.last = time.monotonic()


def open_from_disk(work, copies, index_copy, count):
    """Opens count offline copies (index_copy first, the rest spread over the sorted list) from
    file:// in one headless Chromium; returns (opened, loads by type, failures by type, notes)."""
    others = sorted(c for c in copies if c != index_copy)
    step = max(1, len(others) // max(1, count - 1))
    sample = ([index_copy] if index_copy else []) + others[::step][:count - (1 if index_copy else 0)]
    loads, failures, notes = {}, {}, []
    browser = Browser(work, extra_args=DEAD_PROXY)
    try:
        browser.page("Page.enable")
        browser.page("Network.enable")
        browser.page("Network.setCacheDisabled", cacheDisabled=True)
        for copy in sample:
            load = Load()
            browser.listeners = [load]
            browser.page("Page.navigate", url="file://" + urllib.parse.quote(copy))
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline and not (load.loaded and time.monotonic() - load.last > 0.5):
                time.sleep(0.1)
            if not load.loaded:
                notes.append("%s: no load event in 20 s" % copy)
            with load.lock:
                entries = list(load.requests.values())
            for entry in entries:
                kind = entry["type"]
                if kind == "Document":
                    continue
                loads[kind] = loads.get(kind, 0) + 1
                if entry.get("failed") or (entry.get("status") or 0) >= 400:
                    failures[kind] = failures.get(kind, 0) + 1
                    notes.append("%s: %s %s (%s)" % (os.path.basename(copy), kind, entry["url"],
                                                     entry.get("failed") or entry.get("status")))
        browser.listeners = []
    finally:
        browser.close()
    return len(sample), loads, failures, notes


# --- The parts of the check --------------------------------------------------------------------

def kb(value):
    return "%.0f MB" % (value / 1024.0) if value >= 1024 else "-"


def shown(line, host):
    """A "file: detail" line with the file relative to the host folder."""
    file, _, detail = line.partition(": ")
    return (os.path.relpath(file, host) if file.startswith(host) else file) + ": " + detail


def examples(paths):
    listed = sorted(paths)[:SHOWN]
    return ", ".join(listed) + (" ..." if len(paths) > SHOWN else "")


def compare_pages(runner, site, address, timeout):
    site.latency = 0
    print("== pages: %s" % address)
    out = runner.folder("wget")
    site.take()
    run = runner.run(wget_command(address, out), timeout)
    wget_log = site.take()
    host, wget_pages, wget_files = wget_saved(out, site)
    print("wget: exit %d, %.1f s, %d requests, %d pages, %d files" % (run.returncode, run.wall, len(wget_log),
          len(wget_pages), len(wget_files)))
    wget_links = check_links([os.path.join(host, f.lstrip("/")) for f in wget_files if is_page(f)],
                             site.origin, wget_pages, offline=False)
    print("wget -k's links: %d resolved, %d absolute, %d broken" % (wget_links["resolved"], wget_links["absolute"],
          len(wget_links["broken"])))

    out = runner.folder("pagestow")
    run = runner.run(pagestow_command(runner.cli, address, out, 1), timeout)
    log = site.take()
    captures, host, pages, copies, files = pagestow_saved(out)
    lines = run.stdout().strip().splitlines()
    last = lines[-1] if lines else ""
    print("pagestow: exit %d, %.1f s, %d requests (%d distinct), %d capture folder(s), %d pages, %d offline "
          "copies, %d files" % (run.returncode, run.wall, len(log), len({p for p, _, _ in log}), len(captures),
                                len(pages), len(copies), len(files)))
    faults = []
    if not expected_exit("pagestow", run, log):
        faults.append("pagestow-cli exited with %d: %s" % (run.returncode, run.stderr_tail()))
    elif run.returncode:
        print("exit %d for the error answers: %s" % (run.returncode, run.stderr_tail(1)))
    if len(captures) != 1:
        faults.append("%d capture folders instead of one" % len(captures))
    print("last line: %s" % last)
    index_copy = None
    if "离线浏览请打开：" in last:
        index_copy = last.split("离线浏览请打开：", 1)[1].strip()
        if not os.path.isfile(index_copy):
            faults.append("the last line names %s, which does not exist" % index_copy)
            index_copy = None
    else:
        faults.append("the last line does not name the start page's offline copy")

    wget_pages = {p for p in wget_pages if not robots(p)}
    pages = {p for p in pages if not robots(p)}
    only_wget, only_pagestow = wget_pages - pages, pages - wget_pages
    print("HTML pages: wget %d, pagestow %d, both %d, only wget %d, only pagestow %d"
          % (len(wget_pages), len(pages), len(wget_pages & pages), len(only_wget), len(only_pagestow)))
    if only_wget:
        print("  only wget: " + examples(only_wget))
        faults.append("%d pages wget saved are missing: %s" % (len(only_wget), examples(only_wget)))
    if only_pagestow:
        print("  only pagestow: " + examples(only_pagestow))
        answers = {}
        for path, status, content_type in log:
            answers.setdefault(re.sub(r"/index\.html?$", "/", path), (status, content_type))
        for path in sorted(only_pagestow)[:SHOWN]:
            status, content_type = answers.get(path, (None, None))
            if status != 200:
                print("    %s was answered %s (%s)" % (path, status, content_type))
    wget_other = {f for f in wget_files if not is_page(f) and not robots(f)}
    other = {f for f in files if not is_page(f) and not robots(f)}
    print("other files: wget %d, pagestow %d, both %d, only wget %d, only pagestow %d"
          % (len(wget_other), len(other), len(wget_other & other), len(wget_other - other), len(other - wget_other)))
    if wget_other - other:
        print("  only wget: " + examples(wget_other - other))
    if other - wget_other:
        print("  only pagestow: " + examples(other - wget_other))
    copy_stems = {re.sub(r"\.offline\d*(\.html?)$", r"\1", c) for c in copies}
    without_copy = sorted(os.path.relpath(os.path.join(host, f.lstrip("/")), host) for f in files
                          if is_page(f) and os.path.join(host, f.lstrip("/")) not in copy_stems)
    if without_copy:
        print("  pages without an offline copy: %d: %s" % (len(without_copy), examples(without_copy)))
        faults.append("%d saved pages have no offline copy: %s" % (len(without_copy), examples(without_copy)))
    duplicates = {}
    for path, status, _ in log:
        duplicates[path] = duplicates.get(path, 0) + 1
    twice = {p: n for p, n in duplicates.items() if n > 1}
    if twice:
        print("  addresses requested more than once: %d (%s)" % (len(twice), examples(
            ["%s x%d" % (p, n) for p, n in sorted(twice.items(), key=lambda i: -i[1])][:SHOWN])))

    stylesheets = [os.path.join(host, f) for f in files_below(host) if re.search(r"\.offline\d*\.css$", f, re.I)]
    links = check_links(copies + stylesheets, site.origin, pages, offline=True)
    print("links of the offline copies (%d pages, %d stylesheets): %d resolved, %d absolute, %d broken"
          % (len(copies), len(stylesheets), links["resolved"], links["absolute"], len(links["broken"])))
    for line in links["broken"][:SHOWN]:
        print("  broken: " + shown(line, host))
    if links["broken"]:
        faults.append("%d broken links in the offline copies" % len(links["broken"]))
    if links["to_original"]:
        print("  page links to an original instead of its offline copy: %d" % len(links["to_original"]))
        for line in links["to_original"][:SHOWN]:
            print("    " + shown(line, host))
        faults.append("%d page links lead to an original instead of its offline copy" % len(links["to_original"]))
    if links["to_page_without_copy"]:
        targets = {os.path.normpath(os.path.join(os.path.dirname(l.partition(": ")[0]),
                   urllib.parse.unquote(urllib.parse.urlsplit(re.search(r"=(.*)>$", l).group(1)).path)))
                   for l in links["to_page_without_copy"]}
        print("  page links to a saved page that has no offline copy: %d, to %d pages: %s"
              % (len(links["to_page_without_copy"]), len(targets), examples([os.path.relpath(t, host) for t in targets])))
    if links["absolute_to_saved"]:
        print("  absolute links to saved pages: %d" % len(links["absolute_to_saved"]))
        for line in links["absolute_to_saved"][:SHOWN]:
            print("    " + shown(line, host))
        faults.append("%d links stay absolute to pages that were saved" % len(links["absolute_to_saved"]))
    if links["absolute_parts"]:
        print("  pictures, scripts and stylesheets still taken from the site: %d" % len(links["absolute_parts"]))
        for line in links["absolute_parts"][:SHOWN]:
            print("    " + shown(line, host))
    sys.stdout.flush()
    return {"wget_pages": len(wget_pages), "pages": len(pages), "both": len(wget_pages & pages),
            "only_wget": len(only_wget), "only_pagestow": len(only_pagestow), "links": links,
            "copies": copies, "index_copy": index_copy, "faults": faults}


def speed(runner, site, address, latencies, widths, runs, timeout):
    rows = []
    for latency in latencies:
        site.latency = latency / 1000.0
        tools = [("pagestow static -j%d" % n, lambda out, n=n: pagestow_command(runner.cli, address, out, n))
                 for n in widths]
        tools += [("wget2 --max-threads=%d" % n, lambda out, n=n: wget2_command(address, out, n)) for n in widths]
        tools.append(("wget", lambda out: wget_command(address, out)))
        measured = {name: [] for name, _ in tools}
        for _ in range(runs):
            for name, command in tools:
                out = runner.folder(re.sub(r"\W+", "_", name))
                site.take()
                run = runner.run(command(out), timeout)
                log = site.take()
                pages = pagestow_saved(out)[2] if name.startswith("pagestow") else wget_saved(out, site)[1]
                run.expected = expected_exit(name, run, log)
                measured[name].append((run, len(log), len(pages)))
                print("  %d ms %-24s %7.2f s  tree %7s  process %7s  %5d requests  %4d pages  exit %d"
                      % (latency, name, run.wall, kb(run.peak_tree_kb), kb(run.max_process_kb), len(log),
                         len(pages), run.returncode))
                sys.stdout.flush()
                shutil.rmtree(out, ignore_errors=True)
        for name, _ in tools:
            results = measured[name]
            rows.append({"latency": latency, "tool": name,
                         "wall": statistics.median(r.wall for r, _, _ in results),
                         "tree": max(r.peak_tree_kb for r, _, _ in results),
                         "process": max(r.max_process_kb for r, _, _ in results),
                         "requests": results[-1][1], "pages": results[-1][2],
                         "failed": any(not r.expected for r, _, _ in results)})
    return rows


def chromium_speed(runner, site, address, limit, timeout):
    site.latency = 0
    rows = []
    for jobs in (1, 2):
        out = runner.folder("chromium-j%d" % jobs)
        site.take()
        run = runner.run(pagestow_command(runner.cli, address, out, jobs, engine="chromium",
                                          extra=["--page-limit", str(limit)]), timeout)
        log = site.take()
        pages = pagestow_saved(out)[2]
        print("  chromium -j%d: %.1f s, tree %s, %d requests, %d pages, exit %d%s"
              % (jobs, run.wall, kb(run.peak_tree_kb), len(log), len(pages), run.returncode,
                 "" if run.returncode == 0 else ": " + run.stderr_tail()))
        sys.stdout.flush()
        rows.append({"jobs": jobs, "wall": run.wall, "tree": run.peak_tree_kb, "pages": len(pages),
                     "failed": run.returncode != 0})
        shutil.rmtree(out, ignore_errors=True)
    return rows


def memory(runner, site, address, generated, timeout):
    site.latency = 0
    rows = []
    for name, command in (("pagestow static -j2", lambda out: pagestow_command(runner.cli, address, out, 2)),
                          ("wget2 --max-threads=2", lambda out: wget2_command(address, out, 2))):
        out = runner.folder(re.sub(r"\W+", "_", name))
        run = runner.run(command(out), timeout)
        pages = pagestow_saved(out)[2] if name.startswith("pagestow") else wget_saved(out, site)[1]
        print("  %-22s %.1f s, %d pages of %d, RSS at 10%% %s, 50%% %s, 100%% %s, peak %s, exit %d"
              % (name, run.wall, len(pages), generated + 1, kb(run.at(0.1)), kb(run.at(0.5)), kb(run.at(1.0)),
                 kb(run.peak_tree_kb), run.returncode))
        sys.stdout.flush()
        rows.append({"tool": name, "wall": run.wall, "pages": len(pages), "at10": run.at(0.1),
                     "at50": run.at(0.5), "at100": run.at(1.0), "peak": run.peak_tree_kb,
                     "failed": run.returncode != 0, "samples": len(run.samples)})
        shutil.rmtree(out, ignore_errors=True)
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cli", help="the pagestow-cli to run (default: BUILD/bin/pagestow-cli)")
    parser.add_argument("--build", default=os.environ.get("PAGESTOW_BUILD_DIR", os.path.join(SCRIPTS, "..", "build")))
    parser.add_argument("--latency", type=int, action="append", metavar="MS",
                        help="latency of every response in ms; repeatable (default 0 and 40)")
    parser.add_argument("--widths", default="1,2", help="--jobs of pagestow-cli and --max-threads of wget2")
    parser.add_argument("--runs", type=int, default=1, help="runs of each speed figure (the median is shown)")
    parser.add_argument("--quick", action="store_true", help="the tutorial only, and 300 generated pages")
    parser.add_argument("--skip-chromium", action="store_true", help="no chromium engine runs and no opening from disk")
    parser.add_argument("--sample", type=int, default=20, help="offline copies opened in Chromium")
    parser.add_argument("--page-limit", type=int, default=60, help="pages of the chromium engine runs")
    parser.add_argument("--generated", type=int, default=1200, help="pages of the generated site")
    parser.add_argument("--timeout", type=int, default=1800, help="bound of one program run in seconds")
    parser.add_argument("--keep", metavar="DIR", help="keep every run's output in DIR")
    args = parser.parse_args()

    cli = os.path.abspath(args.cli or os.path.join(args.build, "bin", "pagestow-cli"))
    needs = [cli, TIME, shutil.which("wget") or "wget", shutil.which("wget2") or "wget2"]
    if not args.skip_chromium:
        needs.append(CHROMIUM)
    for need in needs:
        if not os.access(need, os.X_OK):
            sys.exit("crawl-check: %s is missing (build pagestow-cli; apt install wget wget2 chromium)" % need)
    docs = find_docs()
    if not docs:
        sys.exit("crawl-check: the Python documentation is not installed (apt install python3-doc)")
    latencies = args.latency or [0, 40]
    widths = [int(w) for w in args.widths.split(",") if w]
    generated = 300 if args.quick else args.generated
    sample = min(args.sample, 8) if args.quick else args.sample
    page_limit = min(args.page_limit, 15) if args.quick else args.page_limit

    work = tempfile.mkdtemp(prefix="crawl-check-")
    scratch = os.path.abspath(args.keep) if args.keep else tempfile.mkdtemp(
        prefix="crawl-check-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    os.makedirs(scratch, exist_ok=True)
    site_root = os.path.join(work, "site")
    os.makedirs(site_root)
    os.symlink(docs, os.path.join(site_root, "python"))
    generate_site(os.path.join(site_root, "gen"), generated)
    site = Site(site_root)
    runner = Runner(cli, work, scratch)
    start = "/python/tutorial/index.html" if args.quick else "/python/index.html"
    address = site.origin + start
    print("crawl-check: %s; %s served at %s/python/, %d generated pages at /gen/; %d cores, load %.1f"
          % (cli, docs, site.origin, generated, os.cpu_count(), os.getloadavg()[0]))
    faults = []
    try:
        pages = compare_pages(runner, site, address, args.timeout)
        faults += pages["faults"]
        opened = None
        if not args.skip_chromium and pages["copies"]:
            print("== from disk: %d offline copies in headless Chromium, network off" % sample)
            opened = open_from_disk(work, pages["copies"], pages["index_copy"], sample)
            count, loads, failures, notes = opened
            print("opened %d; loads %s; failed %s" % (count, json.dumps(loads, sort_keys=True),
                                                      json.dumps(failures, sort_keys=True)))
            for note in notes[:SHOWN]:
                print("  " + note)
            if failures:
                faults.append("%d parts failed to load from disk: %s" % (sum(failures.values()),
                                                                         "; ".join(notes[:3])))
        print("== speed: %s, latency %s ms, widths %s, %d run(s) each"
              % (start, ",".join(map(str, latencies)), ",".join(map(str, widths)), args.runs))
        rows = speed(runner, site, address, latencies, widths, args.runs, args.timeout)
        chromium_rows = []
        if not args.skip_chromium:
            print("== chromium engine: --page-limit %d, 0 ms" % page_limit)
            chromium_rows = chromium_speed(runner, site, address, page_limit, args.timeout)
        print("== memory: %d generated pages, 0 ms, RSS of the process tree every %.1f s"
              % (generated, SAMPLE_EVERY))
        memory_rows = memory(runner, site, site.origin + "/gen/index.html", generated, args.timeout)
        if memory_rows and memory_rows[0]["pages"] < generated + 1:
            faults.append("the generated site: pagestow saved %d pages of %d"
                          % (memory_rows[0]["pages"], generated + 1))
    finally:
        site.stop()
        shutil.rmtree(work, ignore_errors=True)
        if not args.keep:
            shutil.rmtree(scratch, ignore_errors=True)

    print()
    print("| pages (%s) | wget | pagestow | both | only wget | only pagestow |" % start)
    print("|---|---|---|---|---|---|")
    print("| HTML pages | %d | %d | %d | %d | %d |" % (pages["wget_pages"], pages["pages"], pages["both"],
                                                      pages["only_wget"], pages["only_pagestow"]))
    links = pages["links"]
    print()
    print("offline copies: %d pages and stylesheets; links resolved %d, absolute %d, broken %d"
          % (links["files"], links["resolved"], links["absolute"], len(links["broken"])))
    if opened:
        print("from disk: %d copies opened, %d loads, %d failed" % (opened[0], sum(opened[1].values()),
                                                                  sum(opened[2].values())))
    print()
    print("| latency | tool | wall | peak RSS, tree | peak RSS, largest process | requests | pages |")
    print("|---|---|---|---|---|---|---|")
    for row in rows:
        print("| %d ms | %s | %.2f s%s | %s | %s | %d | %d |" % (row["latency"], row["tool"], row["wall"],
              " !" if row["failed"] else "", kb(row["tree"]), kb(row["process"]), row["requests"], row["pages"]))
    print("(! a run that failed; wget's and wget2's exit status 8 and pagestow-cli's 1 for the pages a\n"
          " server answered with an error, such as a 404 the pages link, are not marked)")
    if chromium_rows:
        print()
        first, second = chromium_rows[0], chromium_rows[-1]
        print("chromium engine, %d pages: -j1 %.1f s (%s), -j2 %.1f s (%s); speedup %.2f"
              % (page_limit, first["wall"], kb(first["tree"]), second["wall"], kb(second["tree"]),
                 first["wall"] / second["wall"] if second["wall"] else float("nan")))
    print()
    print("| %d generated pages, 0 ms | wall | pages | RSS at 10%% | 50%% | 100%% | peak |" % generated)
    print("|---|---|---|---|---|---|---|")
    for row in memory_rows:
        print("| %s | %.1f s%s | %d | %s | %s | %s | %s |" % (row["tool"], row["wall"], " !" if row["failed"] else "",
              row["pages"], kb(row["at10"]), kb(row["at50"]), kb(row["at100"]), kb(row["peak"])))
    if faults:
        print()
        print("faults:")
        for fault in faults:
            print("  " + fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
