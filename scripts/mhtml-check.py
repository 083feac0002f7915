#!/usr/bin/env python3
"""Captures real pages with every engine and --mhtml, opens each MHTML file from disk in headless
Chromium with every request sent to a dead proxy, and prints the share of pixels (1280x900, first
screen) that differ from the live page (ImageMagick `compare -metric AE -fuzz 5%`).

usage: scripts/mhtml-check.py BUILD_DIR [PAGE...]   (pages relative to /usr/share/doc/python3/html)
"""
import functools
import http.server
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading

DOCS = "/usr/share/doc/python3/html"
CHROMIUM = "/usr/lib/chromium/chromium"
PAGES = ["index.html", "tutorial/classes.html", "library/os.path.html", "reference/datamodel.html",
         "howto/logging.html"]
ENGINES = ["static", "chromium", "webkit"]
WIDTH, HEIGHT = 1280, 900


class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def serve():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Quiet, directory=DOCS))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def refused_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def screenshot(address, out, profile, offline):
    args = [CHROMIUM, "--headless", "--disable-gpu", "--hide-scrollbars", "--no-first-run",
            f"--window-size={WIDTH},{HEIGHT}", f"--user-data-dir={profile}", f"--screenshot={out}"]
    if os.geteuid() == 0:
        args.append("--no-sandbox")
    if offline:
        args += [f"--proxy-server=127.0.0.1:{refused_port()}", "--proxy-bypass-list=<-loopback>"]
    subprocess.run(args + [address], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120,
                   check=True)


def differing(a, b):
    run = subprocess.run(["compare", "-metric", "AE", "-fuzz", "5%", a, b, "null:"], capture_output=True,
                         text=True)
    return int(float(run.stderr.split()[0]))


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    cli = os.path.join(build, "bin", "pagestow-cli")
    pages = sys.argv[2:] or PAGES
    server = serve()
    origin = f"http://127.0.0.1:{server.server_address[1]}/"
    work = tempfile.mkdtemp(prefix="mhtml-check-")
    try:
        print(f"{'page':32} " + " ".join(f"{e:>10}" for e in ENGINES))
        for number, page in enumerate(pages):
            live = os.path.join(work, f"live{number}.png")
            screenshot(origin + page, live, os.path.join(work, "profile"), offline=False)
            cells = []
            for engine in ENGINES:
                if engine == "webkit" and not os.environ.get("DISPLAY"):
                    cells.append("no display")
                    continue
                save = os.path.join(work, f"{engine}{number}")
                run = subprocess.run([cli, "--engine", engine, "--mhtml", "--save-dir", save, origin + page],
                                     capture_output=True, text=True, timeout=300)
                last = run.stdout.strip().splitlines()[-1] if run.stdout.strip() else ""
                if run.returncode != 0 or not last.startswith("MHTML文件："):
                    cells.append("failed")
                    continue
                shot = os.path.join(work, f"{engine}{number}.png")
                screenshot("file://" + last[len("MHTML文件："):], shot, os.path.join(work, "profile"), True)
                cells.append(f"{100 * differing(live, shot) / (WIDTH * HEIGHT):9.2f}%")
            print(f"{page:32} " + " ".join(f"{c:>10}" for c in cells), flush=True)
    finally:
        server.shutdown()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
