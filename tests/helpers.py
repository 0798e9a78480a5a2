"""What several test modules share: running the sarv command, reading what it saved, and
opening the pages it writes in a headless Chromium."""

import contextlib
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

TIMEOUT = 120
SAVED = re.compile(r"^trace (trc_[0-9A-Z]{26}): (\d+) records saved to (.+)$", re.M)


def sarv(*args, cwd, db_path=None, env=None, timeout=TIMEOUT, **kwargs):
    """`python -m sarv ARGS` in `cwd`, saving to `db_path` (else as configured there)."""
    environment = dict(os.environ)
    environment.pop("SARV_DB", None)
    if db_path is not None:
        environment["SARV_DB"] = str(db_path)
    environment.update(env or {})
    return subprocess.run(
        [sys.executable, "-m", "sarv", *map(str, args)],
        cwd=str(cwd),
        env=environment,
        capture_output=True,
        text=True,
        timeout=timeout,
        **kwargs,
    )


def saved_trace(result):
    """(trace id, records, where) of the line `sarv run` ends with."""
    match = SAVED.search(result.stderr)
    assert match, result.stderr
    return match.group(1), int(match.group(2)), match.group(3)


def frame_records(document):
    records = list(document["frames_of_interest"])
    for thread_records in document["frames"].values():
        records.extend(thread_records)
    return [r for r in records if r["type"] == "frame"]


# The sanitizer run preloads its runtimes into every subprocess: the browser and Playwright's
# driver are not what it checks, and would only report their own ways.
_NOT_FOR_THE_BROWSER = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


def find_chromium():
    """The browser binary: $SARV_CHROMIUM, else the first known name on PATH."""
    configured = os.environ.get("SARV_CHROMIUM")
    if configured:
        return configured
    for name in ("chromium", "chromium-browser", "google-chrome", "google-chrome-stable", "chrome"):
        found = shutil.which(name)
        if found:
            return found
    return None


@contextlib.contextmanager
def chromium():
    """The system's Chromium, headless, driven by Playwright (which downloads no browser of
    its own here). Without either the test is skipped, except in CI, which must run it."""
    binary = find_chromium()
    try:
        from playwright.sync_api import sync_playwright
    except ImportError:
        sync_playwright = None
    missing = None
    if binary is None:
        missing = "no Chromium found (install Debian's chromium or set SARV_CHROMIUM)"
    elif sync_playwright is None:
        missing = "Playwright is missing (install the test extras)"
    if missing:
        if os.environ.get("CI"):
            pytest.fail(missing + ": CI must run the pages' tests (.ci/run installs both)")
        pytest.skip(missing)
    kept = {name: os.environ.pop(name) for name in _NOT_FOR_THE_BROWSER if name in os.environ}
    try:
        playwright = sync_playwright().start()  # its driver and the browser inherit this environment
    finally:
        os.environ.update(kept)
    try:
        browser = playwright.chromium.launch(executable_path=binary, args=["--disable-gpu"])
        try:
            yield browser
        finally:
            browser.close()
    finally:
        playwright.stop()


def new_page(browser):
    return browser.new_page(viewport={"width": 1400, "height": 900})


def open_page(page, path, timeout=60):
    """Loads a page file and waits until its script says it has started."""
    page.goto(pathlib.Path(path).resolve().as_uri(), timeout=timeout * 1000)
    wait_for(page, "document.body && document.body.dataset.state", timeout)
    state = page.evaluate("document.body.dataset.state")
    assert state == "ready", "the page did not start: " + page.evaluate("document.body.innerText.slice(0, 500)")


def wait_for(page, expression, timeout=30):
    """Waits until the JavaScript `expression` is true in the page. (Playwright's
    wait_for_function compiles its predicate with eval, which the pages' Content Security
    Policy forbids; what page.evaluate runs is not held to it.)"""
    page.evaluate(
        "new Promise((done, fail) => { const end = Date.now() + %d; const check = () => {"
        " try { if (%s) return done(); } catch (error) { return fail(error); }"
        " if (Date.now() > end) fail(new Error('still false after %d s: ' + %s)); else setTimeout(check, 20); };"
        " check(); })" % (timeout * 1000, expression, timeout, json.dumps(expression))
    )
