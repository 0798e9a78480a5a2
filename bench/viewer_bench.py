"""The viewer on a large trace: a page of about 500,000 records, opened in
headless Chromium, timed as a person would feel it.

    python bench/viewer_bench.py                  # records the workload, then measures
    python bench/viewer_bench.py --calls 100000   # another size (records = 2 x calls)

Needs Debian's chromium (or SARV_CHROMIUM). Steps and figures:

1. record: `python -m sarv run` of a program that makes CALLS calls (a loop
   of small calls with arguments and locals, and a recursive function);
2. page: `python -m sarv view` wall time and peak memory, and the page's size;
3. open: Page.navigate until the viewer is ready, and the first frame
   painted after that (the browser's own marks, from navigation start);
4. zoom: 30 wheel steps in and 30 out at the pointer, each waited for a
   painted frame: the timeline's draw time per frame and the longest task
   the browser saw (a task over 50 ms is what people feel as a freeze);
5. use: opening a call from the tree, and a search over every value.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import textwrap
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
from browser import Browser, find_chromium  # noqa: E402

PROGRAM = textwrap.dedent(
    """\
    import sys

    def leaf(i, text):
        size = len(text) + i
        return size

    def middle(n, label):
        total = 0
        for i in range(n):
            total += leaf(i, label + str(i))
        return total

    def fib(n):
        return n if n < 2 else fib(n - 1) + fib(n - 2)

    def main(calls):
        done = 0
        rounds = 0
        while done < calls - 30000:
            middle(59, "row %d:" % rounds)
            done += 60
            rounds += 1
        fib(21)  # 28,657 calls
        return rounds

    main(int(sys.argv[1]))
    """
)


def run(*args, cwd):
    began = time.perf_counter()
    result = subprocess.run([sys.executable, "-m", "sarv", *args], cwd=cwd, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit("sarv %s failed: %s" % (args[0], result.stderr))
    return time.perf_counter() - began, result.stderr


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=250_000)
    parser.add_argument("--keep", metavar="FOLDER", help="work in FOLDER and keep the page there")
    options = parser.parse_args()
    binary = find_chromium()
    if binary is None:
        sys.exit("no Chromium found (apt-get install chromium, or set SARV_CHROMIUM)")
    folder = options.keep or tempfile.mkdtemp(prefix="sarv-viewer-bench-")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "workload.py"), "w") as stream:
        stream.write(PROGRAM)
    print(
        "machine: %d cores, %s"
        % (os.cpu_count(), subprocess.run([binary, "--version"], capture_output=True, text=True).stdout.strip())
    )

    seconds, err = run("run", "--db", "traces.db", "workload.py", str(options.calls), cwd=folder)
    print("record: %.1f s   %s" % (seconds, err.splitlines()[0]))
    page_path = os.path.join(folder, "page.html")
    began = time.perf_counter()
    process = subprocess.Popen(
        [sys.executable, "-m", "sarv", "view", "last", "--db", "traces.db", "-o", page_path],
        cwd=folder,
        stderr=subprocess.PIPE,
        text=True,
    )
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - began
    if status != 0:
        sys.exit("sarv view failed: %s" % process.stderr.read())
    print(
        "page:   %.1f s to write (peak resident %.0f MB), %.1f MB"
        % (seconds, usage.ru_maxrss / 1024, os.path.getsize(page_path) / 1e6)
    )

    with Browser(binary, 1400, 900) as browser:
        page = browser.new_page()
        began = time.perf_counter()
        page.open(page_path, timeout=120)
        page.wait_for("performance.getEntriesByName('sarv-painted').length", timeout=60)
        wall = time.perf_counter() - began
        marks = page.evaluate(
            "({ready: performance.getEntriesByName('sarv-ready')[0].startTime,"
            " painted: performance.getEntriesByName('sarv-painted')[0].startTime,"
            " calls: sarvViewer.model.callCount, records: sarvViewer.model.header.records,"
            " heap: performance.memory ? performance.memory.usedJSHeapSize : null})"
        )
        print(
            "open:   %d records (%d calls); ready %.0f ms, first paint %.0f ms after navigation start"
            " (%.2f s measured outside); JS heap %.0f MB"
            % (marks["records"], marks["calls"], marks["ready"], marks["painted"], wall, (marks["heap"] or 0) / 1e6)
        )

        page.screenshot(os.path.join(folder, "page-open.png"))
        page.evaluate(
            "window.benchTasks = []; new PerformanceObserver((list) => { for (const e of list.getEntries())"
            " window.benchTasks.push(e.duration); }).observe({type: 'longtask'}); true"
        )
        draws = []
        began = time.perf_counter()
        for delta in [-300] * 30 + [300] * 30:
            page.call("Input.dispatchMouseEvent", type="mouseWheel", x=900, y=200, deltaX=0, deltaY=delta)
            draws.append(
                page.evaluate(
                    "new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(() =>"
                    " done(sarvViewer.timeline.lastDrawMs))))"
                )
            )
        steps = time.perf_counter() - began
        tasks = page.evaluate("window.benchTasks")
        draws.sort()
        print(
            "zoom:   60 wheel steps in %.2f s (%.0f ms a step, round trip included); draw per frame:"
            " median %.1f ms, max %.1f ms; longest task %.0f ms (%d over 50 ms)"
            % (steps, steps / 60 * 1000, draws[len(draws) // 2], draws[-1], max(tasks, default=0), len(tasks))
        )

        began = time.perf_counter()
        page.evaluate("(() => { const th = sarvViewer.model.threads[0]; sarvViewer.select(th, th.count - 1); })()")
        opened = time.perf_counter() - began
        began = time.perf_counter()
        found = page.evaluate("sarvViewer.model.search('row 3000:1').total")
        searched = time.perf_counter() - began
        began = time.perf_counter()
        again = page.evaluate("sarvViewer.model.search('row 3000:2').total")
        searched_again = time.perf_counter() - began
        print(
            "use:    open the last call (tree and timeline follow) %.0f ms; value search %.0f ms the first time"
            " (%d calls found), %.0f ms the next (%d found)"
            % (opened * 1000, searched * 1000, found, searched_again * 1000, again)
        )
        page.screenshot(os.path.join(folder, "page-used.png"))
    print("page and screenshots in %s" % folder)


if __name__ == "__main__":
    main()
