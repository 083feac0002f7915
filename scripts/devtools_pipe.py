"""Headless Chromium driven over --remote-debugging-pipe, for the check scripts: commands go to its
fd 3, answers and events come on its fd 4, each message ended by a NUL byte."""

import fcntl
import json
import os
import signal
import subprocess
import tempfile
import threading
import time

CHROMIUM = "/usr/lib/chromium/chromium"


class Browser:
    """Headless Chromium with a fresh profile; commands go to its fd 3, answers and events come on
    its fd 4, each message ended by a NUL byte."""

    def __init__(self, work, width=1280, height=900, extra_args=()):
        profile = tempfile.mkdtemp(dir=work, prefix="profile-")
        commands_in, self.commands = os.pipe()
        self.answers, answers_out = os.pipe()

        def child_fds():
            # Both ends move above 10 first, so that neither is overwritten when they land on 3 and 4.
            read_end = fcntl.fcntl(commands_in, fcntl.F_DUPFD, 10)
            write_end = fcntl.fcntl(answers_out, fcntl.F_DUPFD, 10)
            os.dup2(read_end, 3)
            os.dup2(write_end, 4)

        self.process = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--hide-scrollbars",
             "--window-size=%d,%d" % (width, height), "--user-data-dir=" + profile,
             "--remote-debugging-pipe"] + list(extra_args) + ["about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            pass_fds=(3, 4), preexec_fn=child_fds, start_new_session=True)
        os.close(commands_in)
        os.close(answers_out)
        self.lock = threading.Condition()
        self.results = {}
        self.next_id = 0
        self.listeners = []
        threading.Thread(target=self.read, daemon=True).start()
        page = next(t for t in self.call("Target.getTargets")["targetInfos"] if t["type"] == "page")
        self.session = self.call("Target.attachToTarget", targetId=page["targetId"], flatten=True)["sessionId"]

    def read(self):
        pending = b""
        while True:
            try:
                block = os.read(self.answers, 1 << 16)
            except OSError:
                block = b""
            if not block:
                os.close(self.answers)
                with self.lock:
                    self.results[None] = "closed"
                    self.lock.notify_all()
                return
            pending += block
            *messages, pending = pending.split(b"\0")
            for message in messages:
                data = json.loads(message)
                if "id" in data:
                    with self.lock:
                        self.results[data["id"]] = data
                        self.lock.notify_all()
                else:
                    for listener in list(self.listeners):
                        listener(data.get("method"), data.get("params", {}))

    def call(self, method, session=None, timeout=60, **params):
        with self.lock:
            self.next_id += 1
            number = self.next_id
        message = {"id": number, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self.commands, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        with self.lock:
            while number not in self.results and None not in self.results:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(method)
                self.lock.wait(left)
            answer = self.results.pop(number, None)
        if answer is None:
            raise RuntimeError("Chromium closed its pipe during " + method)
        if "error" in answer:
            raise RuntimeError("%s: %s" % (method, answer["error"].get("message")))
        return answer.get("result", {})

    def page(self, method, **params):
        return self.call(method, session=self.session, **params)

    def close(self):
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.process.wait()
        os.close(self.commands)
