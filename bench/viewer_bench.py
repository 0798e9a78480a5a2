"""The viewer on a large trace: the page written, then opened in headless
Chromium, timed as a person would feel it.

    python bench/viewer_bench.py                      # a Markdown renderer, ~100,000 records
    python bench/viewer_bench.py --records 300000     # another size
    python bench/viewer_bench.py --workload calls     # 500,000 records of small calls
    python bench/viewer_bench.py --baseline 7ec0691   # the page as that commit wrote it, beside
    python bench/viewer_bench.py --callgrind          # instructions of both writers, 10,000 records

Needs Debian's chromium (or SARV_CHROMIUM). Steps and figures:

1. record: `python -m sarv run` of the workload. "markdown" (the default) is
   a small Markdown renderer: a parser and a renderer whose objects hold
   lists and dicts that grow as the document is read (about 2 KB of values
   a record, as a real renderer with its library recorded has); "calls" is
   a loop of small calls with arguments and locals, and a recursive
   function;
2. page: the page written by this tree and by the baseline commit's viewer
   (its viewer package checked out from git into a temporary folder, run
   on this tree's reader of stored traces), alternately, ROUNDS times each:
   wall and CPU time (median), peak memory and the page's size, and their
   ratios; then `python -m sarv view` itself, once;
3. open: Page.navigate until the viewer is ready, and the first frame
   painted after that (the browser's own marks, from navigation start);
4. zoom: 30 wheel steps in and 30 out at the pointer, each waited for a
   painted frame: the timeline's draw time per frame and the longest task
   the browser saw (a task over 50 ms is what people feel as a freeze);
5. use: opening a call (until its values are shown), and a search over
   every value, the first time (every chunk inflated and decoded) and the
   next.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
from helpers import chromium, find_chromium, new_page, open_page, wait_for  # noqa: E402

CALLS_PROGRAM = textwrap.dedent(
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

# About 196 records per section.
MARKDOWN_PROGRAM = r'''import re
import sys


class Node:
    def __init__(self, kind, text="", children=None, attrs=None):
        self.kind = kind
        self.text = text
        self.children = children if children is not None else []
        self.attrs = attrs if attrs is not None else {}


class Document:
    def __init__(self, source):
        self.source = source
        self.blocks = []
        self.refs = {}
        self.stats = {"paragraphs": 0, "items": 0, "code": 0, "headings": 0}


INLINE = re.compile(r"(\*\*[^*]+\*\*|\*[^*]+\*|`[^`]+`|\[[^\]]+\]\[[^\]]+\])")


def escape(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def classify(line):
    if not line.strip():
        return "blank"
    if line.startswith("#"):
        return "heading"
    if line.startswith("- "):
        return "item"
    if line.startswith("    "):
        return "code"
    if line.startswith("[") and "]: " in line:
        return "ref"
    return "text"


def tokens(text):
    out = []
    for part in INLINE.split(text):
        if not part:
            continue
        if part.startswith("**"):
            out.append(("strong", part[2:-2]))
        elif part.startswith("*"):
            out.append(("em", part[1:-1]))
        elif part.startswith("`"):
            out.append(("code", part[1:-1]))
        elif part.startswith("["):
            label, ref = part[1:-1].split("][")
            out.append(("link", label, ref))
        else:
            out.append(("text", part))
    return out


class Parser:
    def __init__(self, document):
        self.doc = document
        self.pending = []
        self.list = None

    def flush(self):
        if self.pending:
            text = " ".join(self.pending)
            node = Node("p", children=tokens(text))
            self.doc.blocks.append(node)
            self.doc.stats["paragraphs"] += 1
            self.pending = []
        self.list = None

    def line(self, number, line):
        kind = classify(line)
        if kind == "blank":
            self.flush()
        elif kind == "heading":
            self.flush()
            level = len(line) - len(line.lstrip("#"))
            title = line[level:].strip()
            node = Node("h", title, tokens(title), {"level": level})
            self.doc.blocks.append(node)
            self.doc.stats["headings"] += 1
        elif kind == "item":
            if self.list is None:
                self.flush()
                self.list = Node("ul")
                self.doc.blocks.append(self.list)
            text = line[2:]
            self.list.children.append(Node("li", children=tokens(text)))
            self.doc.stats["items"] += 1
        elif kind == "code":
            self.flush()
            self.doc.blocks.append(Node("pre", line[4:]))
            self.doc.stats["code"] += 1
        elif kind == "ref":
            label, _, url = line[1:].partition("]: ")
            self.doc.refs[label] = {"url": url, "line": number}
        else:
            self.pending.append(line.strip())
        return kind

    def parse(self):
        for number, line in enumerate(self.doc.source.split("\n")):
            self.line(number, line)
        self.flush()
        return self.doc


class Renderer:
    def __init__(self, blocks, refs):
        self.blocks = blocks
        self.refs = refs
        self.toc = []
        self.ids = {}

    def slug(self, title):
        base = re.sub(r"[^a-z0-9]+", "-", title.lower()).strip("-")
        seen = self.ids.get(base, 0)
        self.ids[base] = seen + 1
        slug = base if not seen else "%s-%d" % (base, seen)
        self.toc.append(slug)
        return slug

    def inline(self, parts):
        html = []
        for part in parts:
            kind = part[0]
            if kind == "text":
                html.append(escape(part[1]))
            elif kind == "link":
                ref = self.refs.get(part[2], {"url": "#"})
                html.append('<a href="%s">%s</a>' % (escape(ref["url"]), escape(part[1])))
            else:
                html.append("<%s>%s</%s>" % (kind, escape(part[1]), kind))
        return "".join(html)

    def block(self, node):
        if node.kind == "h":
            level = node.attrs["level"]
            text = '<h%d id="%s">%s</h%d>' % (level, self.slug(node.text), self.inline(node.children), level)
        elif node.kind == "ul":
            text = "<ul>%s</ul>" % "".join("<li>%s</li>" % self.inline(item.children) for item in node.children)
        elif node.kind == "pre":
            text = "<pre>%s</pre>" % escape(node.text)
        else:
            text = "<p>%s</p>" % self.inline(node.children)
        return text

    def render_all(self, blocks):
        out = [self.block(node) for node in blocks]
        return "\n".join(out)


WORDS = "the parser keeps every block it has read so far and the renderer its output".split()


def source(sections):
    lines = []
    for s in range(sections):
        lines.append("## Section %d: %s" % (s, " ".join(WORDS[s % 5 : s % 5 + 4])))
        lines.append("")
        for p in range(2):
            words = [WORDS[(s * 7 + p * 3 + k) % len(WORDS)] for k in range(24)]
            words[3] = "**%s**" % words[3]
            words[9] = "`%s()`" % words[9]
            words[15] = "[%s][r%d]" % (words[15], s % 12)
            lines.append(" ".join(words[:12]))
            lines.append(" ".join(words[12:]))
            lines.append("")
        for i in range(3):
            lines.append("- item %d of section %d with *emphasis* and `code`" % (i, s))
        lines.append("")
        lines.append("    print(%d)" % s)
        lines.append("")
        if s < 12:
            lines.append("[r%d]: https://example.org/ref/%d" % (s, s))
    return "\n".join(lines)


def main(sections):
    document = Document(source(sections))
    Parser(document).parse()
    html = Renderer(len(document.blocks), document.refs).render_all(document.blocks)
    return len(html)


print(main(int(sys.argv[1])))
'''

# Writes the page of the last trace in a database with the viewer package
# given (this tree's sarv.viewer, or the baseline's copy), as `sarv view` does.
DRIVER = textwrap.dedent(
    """\
    import importlib, sys
    from sarv import db
    viewer = importlib.import_module(sys.argv[1])
    path, out = sys.argv[2], sys.argv[3]
    with db.open_trace(path, db.resolve_trace_id(path, "last")) as stored:
        structure, values = viewer.stored_page_data(stored)
    viewer.write_page(structure, values, out)
    """
)


def run(*args, cwd):
    began = time.perf_counter()
    result = subprocess.run([sys.executable, "-m", "sarv", *args], cwd=cwd, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit("sarv %s failed: %s" % (args[0], result.stderr))
    return time.perf_counter() - began, result.stderr


def timed(command, cwd):
    """(wall seconds, CPU seconds of the process and its threads, peak resident MB)."""
    began = time.perf_counter()
    process = subprocess.Popen(command, cwd=cwd, stderr=subprocess.PIPE, text=True)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - began
    if status != 0:
        sys.exit("%s failed: %s" % (" ".join(command), process.stderr.read()))
    process.stderr.close()
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def baseline_viewer(revision: str, folder: str) -> str:
    """The viewer package of `revision`, as the package `baseline_viewer` in
    `folder` (its own modules imported relatively); returns the folder for
    PYTHONPATH."""
    root = subprocess.run(["git", "rev-parse", "--show-toplevel"], cwd=HERE, capture_output=True, text=True)
    if root.returncode != 0:
        sys.exit("--baseline needs the git checkout of sarv")
    top = root.stdout.strip()
    listing = subprocess.run(
        ["git", "ls-tree", "-r", "--name-only", revision, "python/sarv/viewer/"],
        cwd=top,
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split()
    package = os.path.join(folder, "baseline_viewer")
    for name in listing:
        data = subprocess.run(["git", "show", "%s:%s" % (revision, name)], cwd=top, capture_output=True, check=True)
        target = os.path.join(package, os.path.relpath(name, "python/sarv/viewer"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        text = data.stdout
        if name.endswith(".py"):
            text = text.replace(b"from sarv.viewer.", b"from baseline_viewer.")
        with open(target, "wb") as stream:
            stream.write(text)
    return folder


def write_pages(options, folder, baseline_path):
    """Both writers on the same trace, alternately; prints the medians and
    ratios. Returns the path of this tree's page."""
    with open(os.path.join(folder, "driver.py"), "w") as stream:
        stream.write(DRIVER)
    env_path = os.pathsep.join(filter(None, [baseline_path, os.environ.get("PYTHONPATH")]))
    writers = [("this tree", "sarv.viewer", os.path.join(folder, "page.html"))]
    if baseline_path:
        writers.append(("baseline %s" % options.baseline, "baseline_viewer", os.path.join(folder, "old.html")))
    figures: dict = {name: [] for name, _, _ in writers}
    for _ in range(options.rounds):
        for name, module, out in writers:
            command = [sys.executable, os.path.join(folder, "driver.py"), module, "traces.db", out]
            os.environ["PYTHONPATH"] = env_path
            try:
                figures[name].append(timed(command, folder))
            finally:
                os.environ.pop("PYTHONPATH", None)
    medians = {}
    for name, _, out in writers:
        walls, cpus, peaks = zip(*figures[name])
        medians[name] = (statistics.median(walls), statistics.median(cpus), max(peaks), os.path.getsize(out) / 1e6)
        print(
            "page:   %-20s %5.2f s wall, %5.2f s CPU (median of %d), peak resident %4.0f MB, page %6.1f MB"
            % ((name,) + medians[name][:2] + (options.rounds,) + medians[name][2:])
        )
    if baseline_path:
        new, old = medians["this tree"], medians["baseline %s" % options.baseline]
        print(
            "page:   this tree / baseline: wall %.2f, CPU %.2f, peak resident %.2f, size %.3f"
            % tuple(n / o for n, o in zip(new, old))
        )
    seconds, cpu, peak = timed(
        [sys.executable, "-m", "sarv", "view", "last", "--db", "traces.db", "-o", writers[0][2]], folder
    )
    print("page:   python -m sarv view: %.2f s wall, %.2f s CPU, peak resident %.0f MB" % (seconds, cpu, peak))
    return writers


def callgrind(folder, baseline_path) -> None:
    from callgrind_count import total_instructions

    env = dict(os.environ)
    if baseline_path:
        env["PYTHONPATH"] = baseline_path
    counts = {}
    for module in ("sarv.viewer", "baseline_viewer") if baseline_path else ("sarv.viewer",):
        command = [
            sys.executable,
            os.path.join(folder, "driver.py"),
            module,
            os.path.join(folder, "traces.db"),
            os.path.join(folder, "cg.html"),
        ]
        counts[module] = total_instructions(command, timeout=3600, env=env)
        print("callgrind: %-16s %15s instructions" % (module, "{:,}".format(counts[module])))
    if len(counts) == 2:
        print("callgrind: this tree / baseline %.3f" % (counts["sarv.viewer"] / counts["baseline_viewer"]))


def opened(page, label, path) -> None:
    began = time.perf_counter()
    open_page(page, path, timeout=300)
    wait_for(page, "performance.getEntriesByName('sarv-painted').length", timeout=120)
    wall = time.perf_counter() - began
    marks = page.evaluate(
        "({ready: performance.getEntriesByName('sarv-ready')[0].startTime,"
        " painted: performance.getEntriesByName('sarv-painted')[0].startTime,"
        " calls: sarvViewer.model.callCount, records: sarvViewer.model.header.records,"
        " heap: performance.memory ? performance.memory.usedJSHeapSize : null})"
    )
    print(
        "open:   %-20s %d records (%d calls); ready %.0f ms, first paint %.0f ms after navigation start"
        " (%.2f s measured outside); JS heap %.0f MB"
        % (label, marks["records"], marks["calls"], marks["ready"], marks["painted"], wall, (marks["heap"] or 0) / 1e6)
    )


def zoom(page) -> None:
    page.evaluate(
        "window.benchTasks = []; new PerformanceObserver((list) => { for (const e of list.getEntries())"
        " window.benchTasks.push(e.duration); }).observe({type: 'longtask'}); true"
    )
    draws = []
    began = time.perf_counter()
    page.mouse.move(900, 200)
    for delta in [-300] * 30 + [300] * 30:
        page.mouse.wheel(0, delta)
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


# Timed in the page: from the selection until the panel shows the values (a
# page that reads them at once has no "loading" state).
_OPEN_LAST = """(async () => { const t0 = performance.now(); const th = sarvViewer.model.threads[0];
  sarvViewer.select(th, th.count - 1);
  while (document.getElementById('detail').dataset.state === 'loading') await new Promise((r) => setTimeout(r, 0));
  return performance.now() - t0; })()"""
_SEARCH = """(async () => { const t0 = performance.now();
  const found = await Promise.resolve(sarvViewer.model.search(%s));
  return [found.total, performance.now() - t0]; })()"""


def use(page, label, options) -> None:
    opened_ms = page.evaluate(_OPEN_LAST)
    words = ("Section 300:", "Section 301:") if options.workload == "markdown" else ("row 3000:1", "row 3000:2")
    found, first_ms = page.evaluate(_SEARCH % json.dumps(words[0]))
    again, next_ms = page.evaluate(_SEARCH % json.dumps(words[1]))
    print(
        "use:    %-20s open the last call (tree and timeline follow, values shown) %.0f ms;"
        " value search %.0f ms the first time (%d calls found), %.0f ms the next (%d found)"
        % (label, opened_ms, first_ms, found, next_ms, again)
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--workload", choices=("markdown", "calls"), default="markdown")
    parser.add_argument("--records", type=int, default=100_000, help="about how many records (default 100,000)")
    parser.add_argument("--calls", type=int, default=250_000, help="calls of the 'calls' workload")
    parser.add_argument("--baseline", metavar="REV", default="7ec0691", help="the commit whose page is measured beside")
    parser.add_argument("--no-baseline", action="store_true", help="measure this tree's page only")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--call-budget", type=int, default=0, help="calls recorded per function (default 0: all)")
    parser.add_argument("--callgrind", action="store_true", help="instructions of both writers (10,000 records)")
    parser.add_argument("--no-browser", action="store_true", help="write the pages only")
    parser.add_argument("--keep", metavar="FOLDER", help="work in FOLDER and keep the page there")
    options = parser.parse_args()
    binary = find_chromium()
    if binary is None and not options.no_browser:
        sys.exit("no Chromium found (apt-get install chromium, or set SARV_CHROMIUM)")
    folder = options.keep or tempfile.mkdtemp(prefix="sarv-viewer-bench-")
    os.makedirs(folder, exist_ok=True)
    if options.callgrind:
        options.records = 10_000
    with open(os.path.join(folder, "workload.py"), "w") as stream:
        stream.write(MARKDOWN_PROGRAM if options.workload == "markdown" else CALLS_PROGRAM)
    size = str(max(1, round(options.records / 196))) if options.workload == "markdown" else str(options.calls)
    print(
        "machine: %d cores, load average %.1f, Python %s, %s"
        % (
            os.cpu_count(),
            os.getloadavg()[0],
            sys.version.split()[0],
            subprocess.run([binary, "--version"], capture_output=True, text=True).stdout.strip() if binary else "",
        )
    )
    # Every call recorded (by default): the page of a trace of this many records is what is measured.
    with open(os.path.join(folder, "pyproject.toml"), "w") as stream:
        stream.write("[tool.sarv]\ncall_budget = %d\n" % options.call_budget)
    if os.path.exists(os.path.join(folder, "traces.db")):
        os.unlink(os.path.join(folder, "traces.db"))
    seconds, err = run("run", "--db", "traces.db", "workload.py", size, cwd=folder)
    print("record: %.1f s   %s" % (seconds, err.splitlines()[0]))
    baseline_path = None
    if not options.no_baseline:
        baseline_path = baseline_viewer(options.baseline, os.path.join(folder, "baseline"))
    if options.callgrind:
        with open(os.path.join(folder, "driver.py"), "w") as stream:
            stream.write(DRIVER)
        callgrind(folder, baseline_path)
        return
    writers = write_pages(options, folder, baseline_path)
    if options.no_browser:
        print("pages in %s" % folder)
        return
    with chromium() as browser:
        for label, _, path in writers:
            page = new_page(browser)
            opened(page, label, path)
            if label == "this tree":
                page.screenshot(path=os.path.join(folder, "page-open.png"))
                zoom(page)
            use(page, label, options)
            if label == "this tree":
                page.screenshot(path=os.path.join(folder, "page-used.png"))
            page.close()
    print("page and screenshots in %s" % folder)


if __name__ == "__main__":
    main()
