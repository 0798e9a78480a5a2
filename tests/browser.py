"""A headless Chromium driven through the DevTools protocol, for the viewer's
tests and benchmark.

The protocol runs over a pair of pipes (--remote-debugging-pipe): Chromium
reads commands on its file descriptor 3 and writes answers and events on 4,
each message JSON ended by a NUL byte. Nothing but the standard library is
needed.
"""

from __future__ import annotations

import base64
import fcntl
import json
import os
import queue
import shutil
import subprocess
import tempfile
import threading
import time

__all__ = ["Browser", "BrowserError", "find_chromium"]

_NOT_FOR_THE_BROWSER = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")
_NAMES = ("chromium", "chromium-browser", "google-chrome", "google-chrome-stable", "chrome")


class BrowserError(Exception):
    pass


def find_chromium():
    """The browser binary: $SARV_CHROMIUM, else the first known name on PATH."""
    configured = os.environ.get("SARV_CHROMIUM")
    if configured:
        return configured
    for name in _NAMES:
        found = shutil.which(name)
        if found:
            return found
    return None


def _high_fd(fd: int) -> int:
    high = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10)
    os.close(fd)
    return high


class Browser:
    def __init__(self, binary: str, width: int = 1400, height: int = 900) -> None:
        self.profile = tempfile.mkdtemp(prefix="sarv-chromium-")
        commands_read, self._commands = os.pipe()
        self._answers, answers_write = os.pipe()
        # Out of the way of 3 and 4 first, so that placing them there in the
        # child never overwrites one with the other.
        commands_read, answers_write = _high_fd(commands_read), _high_fd(answers_write)

        def child_fds():
            os.dup2(commands_read, 3)
            os.dup2(answers_write, 4)

        args = [
            binary,
            "--headless",
            "--remote-debugging-pipe",
            "--no-sandbox",  # tests run as root in CI
            "--disable-gpu",
            "--disable-dev-shm-usage",
            "--no-first-run",
            "--no-default-browser-check",
            "--disable-extensions",
            "--hide-scrollbars",
            "--user-data-dir=" + self.profile,
            "--window-size=%d,%d" % (width, height),
            "about:blank",
        ]
        # The sanitizer run preloads its runtimes into every subprocess; the
        # browser is not what it checks, and would only report its own ways.
        env = {k: v for k, v in os.environ.items() if k not in _NOT_FOR_THE_BROWSER}
        self.process = subprocess.Popen(
            args,
            env=env,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=None if os.environ.get("SARV_BROWSER_LOG") else subprocess.DEVNULL,
            preexec_fn=child_fds,
            close_fds=False,  # only 3 and 4 are inheritable after child_fds
        )
        os.close(commands_read)
        os.close(answers_write)
        self.width, self.height = width, height
        self._next_id = 0
        self._lock = threading.Lock()
        self._waiting: dict = {}
        self.events: queue.Queue = queue.Queue()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self) -> None:
        pending = b""
        while True:
            try:
                chunk = os.read(self._answers, 1 << 20)
            except OSError:
                chunk = b""
            if not chunk:
                break
            pending += chunk
            *messages, pending = pending.split(b"\0")
            for raw in messages:
                message = json.loads(raw)
                if "id" in message:
                    with self._lock:
                        box = self._waiting.pop(message["id"], None)
                    if box is not None:
                        box.put(message)
                else:
                    self.events.put(message)
        with self._lock:
            for box in self._waiting.values():
                box.put({"error": {"message": "the browser went away"}})
            self._waiting.clear()

    def send(self, method: str, session: str | None = None, timeout: float = 60, **params):
        with self._lock:
            self._next_id += 1
            ident = self._next_id
            box: queue.Queue = queue.Queue()
            self._waiting[ident] = box
        message = {"id": ident, "method": method, "params": params}
        if session is not None:
            message["sessionId"] = session
        os.write(self._commands, json.dumps(message).encode() + b"\0")
        try:
            answer = box.get(timeout=timeout)
        except queue.Empty:
            raise BrowserError("%s: no answer in %s s" % (method, timeout)) from None
        if "error" in answer:
            raise BrowserError("%s: %s" % (method, answer["error"].get("message")))
        return answer.get("result", {})

    def new_page(self) -> "Page":
        target = self.send("Target.createTarget", url="about:blank")["targetId"]
        session = self.send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        page = Page(self, session)
        page.call("Page.enable")
        page.call("Runtime.enable")
        page.call(
            "Emulation.setDeviceMetricsOverride",
            width=self.width,
            height=self.height,
            deviceScaleFactor=1,
            mobile=False,
        )
        return page

    def close(self) -> None:
        try:
            self.send("Browser.close", timeout=10)
        except BrowserError:
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self._commands)
        self._reader.join(timeout=5)
        os.close(self._answers)
        shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


class Page:
    def __init__(self, browser: Browser, session: str) -> None:
        self.browser = browser
        self.session = session

    def call(self, method: str, timeout: float = 60, **params):
        return self.browser.send(method, session=self.session, timeout=timeout, **params)

    def open(self, path: str, timeout: float = 60) -> None:
        """Loads a file and waits until the viewer says it is ready."""
        url = "file://" + os.path.abspath(path)
        self.call("Page.navigate", url=url)
        self.wait_for("document.body && document.body.dataset.state", timeout=timeout)
        state = self.evaluate("document.body.dataset.state")
        if state != "ready":
            raise BrowserError("the page did not start: " + str(self.evaluate("document.body.innerText.slice(0, 500)")))

    def evaluate(self, expression: str, timeout: float = 60):
        result = self.call(
            "Runtime.evaluate", timeout=timeout, expression=expression, returnByValue=True, awaitPromise=True
        )
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            text = details.get("exception", {}).get("description") or details.get("text")
            raise BrowserError("%s: %s" % (expression[:80], text))
        return result["result"].get("value")

    def wait_for(self, expression: str, timeout: float = 10):
        deadline = time.monotonic() + timeout
        while True:
            value = self.evaluate(expression)
            if value:
                return value
            if time.monotonic() > deadline:
                raise BrowserError("still false after %s s: %s" % (timeout, expression))
            time.sleep(0.05)

    def click(self, selector: str) -> None:
        """Clicks the middle of the first element that `selector` matches, as
        a mouse would."""
        box = self.evaluate(
            "(() => { const e = document.querySelector(%s); if (!e) return null; e.scrollIntoView({block: 'center'});"
            " const r = e.getBoundingClientRect(); return [r.left + r.width / 2, r.top + r.height / 2]; })()"
            % json.dumps(selector)
        )
        if box is None:
            raise BrowserError("nothing matches %s" % selector)
        self.click_at(*box)

    def click_at(self, x: float, y: float) -> None:
        for kind in ("mouseMoved", "mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left", clickCount=1)

    def type_text(self, selector: str, text: str) -> None:
        self.evaluate("document.querySelector(%s).focus()" % json.dumps(selector))
        self.call("Input.insertText", text=text)
        self.call("Input.dispatchKeyEvent", type="keyDown", key="Enter", code="Enter", windowsVirtualKeyCode=13)
        self.call("Input.dispatchKeyEvent", type="keyUp", key="Enter", code="Enter", windowsVirtualKeyCode=13)

    def screenshot(self, path: str) -> None:
        data = self.call("Page.captureScreenshot", format="png")["data"]
        with open(path, "wb") as stream:
            stream.write(base64.b64decode(data))
