"""The HTML viewer, end to end: traces recorded by real runs, pages written by
the `view` and `export` commands, opened in a headless Chromium and used
through Playwright as a person would (clicks, typing).

Screenshots of the pages are kept in build/artifacts/viewer/ (or
$SARV_ARTIFACTS). Without a browser these tests are skipped, except in CI,
where one must be installed.
"""

import json
import os
import pathlib
import subprocess
import sys
import textwrap

import msgpack
import pytest

from helpers import chromium, new_page, open_page, wait_for
from sarv import db
from sarv.views.export import jsonable

ROOT = pathlib.Path(__file__).resolve().parent.parent
ARTIFACTS = pathlib.Path(os.environ.get("SARV_ARTIFACTS") or ROOT / "build" / "artifacts" / "viewer")
TIMEOUT = 120

PROGRAM = textwrap.dedent(
    """\
    import sys
    import threading

    def fib(n):
        return n if n < 2 else fib(n - 1) + fib(n - 2)

    class Basket:
        def __init__(self, owner):
            self.owner = owner
            self.items = []

        def checkout(self, discount):
            total = sum(self.items)
            paid = total - discount
            self.items = []
            return {"paid": paid, "owner": self.owner}

    def fail(word):
        raise ValueError(word)

    def safe(word):
        try:
            fail(word)
        except ValueError:
            return "caught"

    def worker(note):
        return note.upper()

    def main():
        basket = Basket("</script><script>window.injected = 1</script><img src=x onerror='window.injected = 2'>")
        basket.items = [3, 4, 5]
        basket.checkout(2)
        fib(12)
        safe("zebra-quartz")
        thread = threading.Thread(target=worker, args=("from a thread",), name="helper")
        thread.start()
        thread.join()
        return 0

    sys.exit(main())
    """
)


def sarv(*args, cwd, check=True, env=None):
    result = subprocess.run(
        [sys.executable, "-m", "sarv", *args],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
        env={**{k: v for k, v in os.environ.items() if k != "SARV_DB"}, **(env or {})},
    )
    if check:
        assert result.returncode == 0, result.stderr
    return result


@pytest.fixture(scope="module")
def browser():
    with chromium() as instance:
        yield instance


@pytest.fixture
def page(browser):
    tab = new_page(browser)
    yield tab
    tab.close()


def keep_screenshot(tab, name):
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    path = ARTIFACTS / name
    tab.screenshot(path=str(path))
    assert path.stat().st_size > 10_000  # a real picture, not an empty canvas


def shown(tab):
    """Waits until the call panel shows the call just selected (its values
    are read from the page's compressed data first)."""
    wait_for(tab, "document.getElementById('detail').dataset.state === 'ready'")


def open_call(tab, selector):
    tab.click(selector)
    shown(tab)


def click_row(tab, name, nth=0):
    """Clicks the nth row of the call tree that shows the function `name`,
    which opens its call."""
    tab.evaluate(
        "(() => { for (const e of document.querySelectorAll('[data-pick]')) e.removeAttribute('data-pick');"
        " const found = [...document.querySelectorAll('#tree .row')].filter(r => r.querySelector('.name').innerText === %s);"
        " if (found[%d]) found[%d].setAttribute('data-pick', ''); })()" % (json.dumps(name), nth, nth)
    )
    open_call(tab, "#tree .row[data-pick]")


def type_text(tab, selector, text):
    """Types into a field and presses Enter."""
    tab.focus(selector)
    tab.keyboard.insert_text(text)
    tab.keyboard.press("Enter")


def rows(tab):
    return tab.evaluate("[...document.querySelectorAll('#tree .row')].map(r => r.innerText.replace(/\\s+/g, ' '))")


@pytest.fixture(scope="module")
def program_page(tmp_path_factory):
    folder = tmp_path_factory.mktemp("program")
    (folder / "shop_app.py").write_text(PROGRAM)
    run = sarv("run", "--threading", "--db", "traces.db", "shop_app.py", cwd=folder)
    trace_id = run.stderr.split("trace ", 1)[1].split(":", 1)[0]
    assert "see it in a browser: python -m sarv view %s --open --db %s" % (trace_id, folder / "traces.db") in run.stderr
    # --open hands the page to the default browser: here a script that
    # notes what it was given.
    opener = folder / "opener.sh"
    opener.write_text('#!/bin/sh\necho "$1" > "%s"\n' % (folder / "opened.txt"))
    opener.chmod(0o755)
    view = sarv("view", "last", "--db", "traces.db", "--open", cwd=folder, env={"BROWSER": str(opener) + " %s"})
    page_path = folder / (trace_id + ".html")
    assert view.stderr.strip() == "wrote %s" % page_path
    assert (folder / "opened.txt").read_text().strip() == page_path.as_uri()
    return page_path, trace_id


def test_program_page_tree_timeline_details_and_search(page, program_page):
    path, trace_id = program_page
    html = path.read_text(encoding="utf-8")
    # Self-contained: nothing is fetched from anywhere.
    assert "http://" not in html and "https://" not in html and "src=" not in html.split("sarv-values")[0]
    open_page(page, str(path))
    header = page.evaluate("document.getElementById('header').innerText")
    assert trace_id in header and "shop_app.py" in header and "cli" in header

    # One lane per thread, and the tree lists each thread's calls.
    assert page.evaluate("sarvViewer.timeline.lanes.map(l => l.th.name)") == ["MainThread", "helper"]
    titles = page.evaluate("[...document.querySelectorAll('.thread-title')].map(t => t.innerText)")
    assert titles[1].startswith("helper")
    assert any("__main__.worker" in r for r in rows(page))

    # Open main: fib(12) is one folded row counting its 465 calls.
    click_row(page, "__main__.<module>")
    click_row(page, "__main__.main")
    fib = [r for r in rows(page) if r.startswith("▸ __main__.fib")]
    assert len(fib) == 1 and "×465," in fib[0] and "total" in fib[0], rows(page)

    # A click on checkout: arguments, locals at return with the changed ones
    # marked, the return value; the hostile owner name stays text.
    click_row(page, "__main__.Basket.checkout")
    detail = page.evaluate("document.getElementById('detail').innerText")
    assert "__main__.Basket.checkout" in detail, detail
    assert "shop_app.py:12" in detail and "Called by" in detail and "__main__.main" in detail
    assert "discount\t2" in detail and "__main__.main at line 33" in detail, detail
    changed = page.evaluate("[...document.querySelectorAll('#detail tr.changed th')].map(th => th.innerText)")
    assert sorted(changed) == ["paid", "self", "total"], changed  # self: its items were emptied
    assert "'paid': 10" in detail and "</script><script>window.injected = 1</script>" in detail
    assert page.evaluate("window.injected === undefined && !document.querySelector('#detail img')")
    keep_screenshot(page, "program-call.png")

    # The keyboard walks the tree: down to fib's fold, right opens it.
    for key in ("ArrowDown", "ArrowRight", "ArrowDown"):
        page.keyboard.press(key)
    shown(page)
    assert page.evaluate("document.querySelector('#tree .row.selected .name').innerText") == "__main__.fib"
    assert page.evaluate("document.querySelector('#tree .row.selected .count').innerText").startswith("×464,")
    # Caller links go up: fib(11) to fib(12), then to main.
    open_call(page, "#detail a.caller")
    assert page.evaluate("document.querySelector('#tree .row.selected .count').innerText").startswith("×465,")
    open_call(page, "#detail a.caller")
    assert page.evaluate("document.querySelector('#detail h2').innerText") == "__main__.main"

    # Search by a value: the string passed down to fail().
    type_text(page, "#search", "ZEBRA-quartz")
    wait_for(page, "document.getElementById('search-count').innerText !== ''")
    found = page.evaluate("[...document.querySelectorAll('#results li .name')].map(n => n.innerText)")
    assert found == ["__main__.safe", "__main__.fail"], found
    open_call(page, "#results li:nth-child(2)")
    assert page.evaluate("document.querySelector('#detail h2').innerText") == "__main__.fail"
    assert page.evaluate("document.querySelector('#tree .row.selected .name').innerText") == "__main__.fail"

    # Search by name, and the hot table's figures for fib.
    page.evaluate("document.getElementById('search').value = ''")
    type_text(page, "#search", "fib")
    # 465 by name, and the module, whose locals hold the function.
    wait_for(page, "document.getElementById('search-count').innerText === '466 calls'")
    page.click(".tab[data-tab=hot]")
    fib_row = page.evaluate(
        "[...document.querySelectorAll('#hot tbody tr')].find(r => r.innerText.includes('__main__.fib')).innerText"
    )
    assert "\t465\t" in fib_row, fib_row
    page.click("#hot tbody tr")
    assert page.evaluate("sarvViewer.timeline.highlight !== null")
    keep_screenshot(page, "program-hot.png")


def document_with(records, **extra):
    base = {
        "trace_id": "trc_01J9ZQ4XG7K2M3N4P5Q6R7S8T9",
        "timestamp": 1000.0,
        "command_line_args": ["prog.py"],
        "current_commit_sha": "0123456789abcdef",
        "meta": {"version": "0.1.0", "source": "api"},
        "main_thread_id": 7,
        "frames_of_interest": records,
        "frames": {},
    }
    base.update(extra)
    return base


def frame(event, name, frame_id, ts, **fields):
    record = {
        "type": "frame",
        "event": event,
        "frame_id": frame_id,
        "path": "prog.py:%d" % fields.pop("line", 1),
        "co_name": name,
        "qualname": "prog." + name,
        "arg": None,
        "locals": {},
        "thread": "MainThread",
        "thread_native_id": 7,
        "timestamp": ts,
        "user_code_call_site": None,
    }
    record.update(fields)
    return record


def save(tmp_path, document):
    path = str(tmp_path / "traces.db")
    db.save_trace_in_sqlite(path, document["trace_id"], msgpack=msgpack.packb(document))
    return path


def test_unbalanced_trace_shows_lower_bounds_and_reaches_the_end(page, tmp_path):
    records = [
        # As max_records says what it left out.
        {"type": "records_dropped", "dropped": 12, "max_records": 9, "mode": "ring"},
        # Running before recording began: only its return is in the trace.
        frame("call", "inner", "frm_b", 1000.0),
        frame("return", "inner", "frm_b", 1000.001, arg=1),
        frame("return", "outer", "frm_a", 1000.002, arg=2),
        # Ended by an exception, as a return record may say.
        frame("call", "risky", "frm_r", 1000.0025),
        frame("return", "risky", "frm_r", 1000.0027, end="raised", exception="KeyError('<i>k</i>')"),
        # Still running when recording stopped.
        frame("call", "endless", "frm_c", 1000.003, locals={"n": 1}),
        frame("call", "step", "frm_d", 1000.004),
        frame("return", "step", "frm_d", 1000.005),
        {
            "type": "note",
            "frame_id": None,
            "timestamp": 1000.006,
            "thread": "MainThread",
            "thread_native_id": 7,
            "user_code_call_site": None,
            "text": "<b>bold?</b>",
        },
    ]
    db_path = save(tmp_path, document_with(records))
    out = tmp_path / "page.html"
    result = sarv("export", "last", "--db", db_path, "--format", "html", "-o", str(out), cwd=tmp_path)
    assert "wrote %s (html)" % out in result.stderr
    open_page(page, str(out))
    assert page.evaluate("sarvViewer.model.header.commit") == "0123456789abcdef"
    header = page.evaluate("document.getElementById('header').innerText")
    assert "Dropped\n12 records: the oldest records, to keep within max_records 9" in header
    assert page.evaluate("sarvViewer.model.threads.map(t => t.name)") == ["MainThread"]
    spans = page.evaluate(
        "(() => { const th = sarvViewer.model.threads[0];"
        " return [...th.start].map((s, i) => [sarvViewer.model.fnOf(th, i).name, s, th.end[i], th.flags[i]]); })()"
    )
    by_name = {name: [start, end, flags] for name, start, end, flags in spans}
    assert by_name["prog.outer"] == [0, 2_000_000, 1]  # its start is not known
    assert by_name["prog.inner"] == [0, 1_000_000, 0]
    # The unfinished call runs to the last record, and its time is a bound.
    assert by_name["prog.endless"] == [3_000_000, 6_000_000, 2]
    assert by_name["prog.risky"][2] == 4
    click_row(page, "prog.risky")
    assert "raised" in rows(page)[1]
    assert page.evaluate("document.querySelector('#detail pre.raised').innerText") == "KeyError('<i>k</i>')"
    rows_text = rows(page)
    open_call(page, "#tree .row[data-fn]")
    assert page.evaluate("document.querySelector('#detail .facts dd').innerText").startswith("at least 2.00 ms")
    # The oldest records were dropped: its call record may be among them.
    assert "called before the oldest record kept" in page.evaluate("document.querySelector('#detail .facts').innerText")
    endless = next(i for i, r in enumerate(rows(page)) if "prog.endless" in r)
    assert "at least 3.00 ms" in rows(page)[endless] and "no return" in rows(page)[endless], rows_text
    # The plugin record is a marker; its data is text in the tooltip.
    marker = page.evaluate("sarvViewer.model.threads[0].markers.length")
    assert marker == 1
    assert page.evaluate(
        "sarvViewer.model.pluginData(sarvViewer.model.threads[0].markers[0][2]).then(JSON.stringify)"
    ) == json.dumps({"text": "<b>bold?</b>"}, separators=(",", ":"))

    # A trace without records still makes a page that opens.
    empty = document_with([], trace_id="trc_01J9ZQ4XG7K2M3N4P5Q6R7S8TA", command_line_args=None)
    db.save_trace_in_sqlite(db_path, empty["trace_id"], msgpack=msgpack.packb(empty))
    sarv("view", "8TA", "--db", db_path, "-o", str(out), cwd=tmp_path)
    open_page(page, str(out))
    assert page.evaluate("[sarvViewer.model.callCount, sarvViewer.timeline.lanes.length]") == [0, 0]

    # Failures are one line and a status, as for the other commands.
    missing = sarv("view", "nothing-like-this", "--db", db_path, cwd=tmp_path, check=False)
    assert missing.returncode == 1 and missing.stderr.startswith("sarv: no trace nothing-like-this")
    unwritable = sarv("view", "last", "--db", db_path, "-o", str(tmp_path / "no" / "p.html"), cwd=tmp_path, check=False)
    assert unwritable.returncode == 1
    assert unwritable.stderr == "sarv: cannot write %s: No such file or directory\n" % (tmp_path / "no" / "p.html")


def test_pytest_trace_page_shows_the_test_and_its_outcome(page, tmp_path):
    (tmp_path / "test_sample.py").write_text(
        textwrap.dedent(
            """\
            def total(values):
                return sum(values)

            def test_adds():
                assert total([1, 2]) == 3

            def test_breaks():
                assert total([1, 2]) == 4
            """
        )
    )
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "--sarv", "--sarv-db", "t.db", "test_sample.py"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
    )
    assert result.returncode == 1, result.stdout
    failed = [s for s in db.list_traces(str(tmp_path / "t.db")) if s.test_name == "test_sample.py::test_breaks"]
    assert len(failed) == 1
    assert (
        "sarv: test_sample.py::test_breaks failed: python -m sarv view %s --open --db %s"
        % (failed[0].trace_id, tmp_path / "t.db")
        in result.stdout
    )
    out = tmp_path / "failed.html"
    sarv("view", failed[0].trace_id, "--db", "t.db", "-o", str(out), cwd=tmp_path)
    open_page(page, str(out))
    header = page.evaluate("document.getElementById('header').innerText")
    assert "test_sample.py::test_breaks" in header and "failed" in header and "pytest" in header
    bands = page.evaluate(
        "sarvViewer.model.threads[0].bands.map(b => [sarvViewer.model.texts[b[2]], sarvViewer.model.texts[b[3]]])"
    )
    assert bands == [["test_sample.py::test_breaks", "failed"]]
    assert "test_sample.test_breaks" in " ".join(rows(page))
    keep_screenshot(page, "pytest-failed.png")


def test_big_trace_paints_and_zooms(page, tmp_path):
    # 16,382 calls in a recursive pattern, written straight into the database.
    records = []
    ts = 2000.0
    counter = 0

    def call(depth):
        nonlocal ts, counter
        counter += 1
        frame_id = "frm_%d" % counter
        ts += 1e-6
        records.append(
            frame("call", "f%d" % (depth % 5), frame_id, ts, locals={"depth": depth, "tag": "v%d" % counter})
        )
        if depth < 12:
            for _ in range(2):
                call(depth + 1)
        ts += 1e-6
        records.append(frame("return", "f%d" % (depth % 5), frame_id, ts, arg=depth))

    for _ in range(2):
        call(0)
    assert len(records) > 30_000
    db_path = save(tmp_path, document_with(records))
    out = tmp_path / "big.html"
    sarv("view", "last", "--db", db_path, "-o", str(out), cwd=tmp_path)
    open_page(page, str(out))
    assert page.evaluate("sarvViewer.model.callCount") == len(records) // 2
    # Zoom in at the middle, as the wheel does, and pan; the canvas keeps
    # drawing what is in view.
    page.mouse.move(700, 250)
    for _ in range(10):
        page.mouse.wheel(0, -400)
    wait_for(page, "sarvViewer.timeline.t1 - sarvViewer.timeline.t0 < sarvViewer.model.duration / 100")
    shown = page.evaluate("sarvViewer.timeline.t1 - sarvViewer.timeline.t0")
    page.mouse.move(700, 250)
    page.mouse.down()
    page.mouse.move(500, 250)
    page.mouse.up()
    assert page.evaluate("sarvViewer.timeline.t1 - sarvViewer.timeline.t0") == pytest.approx(shown)
    assert page.evaluate("sarvViewer.timeline.t0") > 0
    type_text(page, "#search", "v12345")  # one call of 16,382 has this tag
    wait_for(page, "document.getElementById('search-count').innerText === '1 call'")
    keep_screenshot(page, "big-zoomed.png")
    # The page's own field names are not what a search finds.
    for word in ("locals", "value", "line"):
        assert page.evaluate("sarvViewer.model.search(%s).then(r => r.total)" % json.dumps(word)) == 0, word


def test_compressed_values_are_read_on_demand_as_the_export_writes_them(page, tmp_path):
    # 3,000 calls of about a kilobyte of values each: several compressed
    # chunks. The last call holds values whose JSON form is not plain.
    records = []
    for k in range(3000):
        ts = 1000.0 + k * 1e-5
        text = "row %05d " % k + "abcdefghij" * 100
        records.append(frame("call", "fill", "frm_%d" % k, ts, line=3, locals={"k": k, "text": text}))
        records.append(frame("return", "fill", "frm_%d" % k, ts + 5e-6, line=3, arg=len(text)))
    odd = {
        "blob": b"\x00\xffzebra",
        "keys": {1: "int", "1": "text", 1.5: "float", 2.0: "whole float", None: "none", False: "false"},
        "floats": [float("nan"), float("inf"), -float("inf"), -0.0, 1e300],
        "__proto__": {"polluted": "yes"},
        "big": 2**53 - 1,  # exact in JavaScript too
        "text": "quokka-needle \u00e9\u4e2d\U0001f600 </script>",
    }
    records.append(frame("call", "odd", "frm_odd", 1001.0, line=9, locals=odd))
    records.append(frame("return", "odd", "frm_odd", 1001.001, line=11, arg={2: "two", "2": "deux"}))
    # An extension value, as the export's module doc writes it.
    records.append(frame("call", "ext", "frm_ext", 1001.002, locals={"ext": msgpack.ExtType(5, b"raw")}))
    records.append(frame("return", "ext", "frm_ext", 1001.003))
    document = document_with(records)
    db_path = save(tmp_path, document)
    out = tmp_path / "values.html"
    sarv("view", "last", "--db", db_path, "-o", str(out), cwd=tmp_path)
    html = out.read_text(encoding="utf-8")
    # The values are in the page compressed: none of their text is there as it is.
    assert "abcdefghij" not in html and "quokka" not in html
    assert len(html) < len(msgpack.packb(document)) / 10

    open_page(page, str(out))
    model = "sarvViewer.model"
    assert page.evaluate(model + ".values.chunks.length") >= 3
    assert page.evaluate(model + ".values._open.size") == 0  # nothing inflated to open the page
    # A search goes through every chunk and lists the calls in call order.
    type_text(page, "#search", "row 02999")
    wait_for(page, "document.getElementById('search-count').innerText === '1 call'")
    page.evaluate("document.getElementById('search').value = ''")
    type_text(page, "#search", "QUOKKA-needle")
    wait_for(page, "document.getElementById('search-count').innerText === '1 call'")
    # Numbers are found as Python writes them.
    for number, calls in (("1e+300", 1), ("1010", 3000)):
        assert page.evaluate(model + ".search(%s).then(r => r.total)" % json.dumps(number)) == calls, number
    open_call(page, "#results li:nth-child(1)")
    assert page.evaluate("document.querySelector('#detail h2').innerText") == "prog.odd"
    detail = page.evaluate("document.getElementById('detail').innerText")
    assert "b64'AP96ZWJyYQ=='" in detail and "'quokka-needle \u00e9\u4e2d\U0001f600 </script>'" in detail, detail
    assert page.evaluate("Object.prototype.polluted === undefined && !document.querySelector('#detail script')")
    # Opening a call inflated its own chunk only.
    assert page.evaluate(model + ".values._open.size") == 1

    # Each call's values as the page decodes them are the export's JSON form
    # of what the trace holds (differentially, for the odd call and others).
    def expected(k):
        call, ret = records[2 * k], records[2 * k + 1]
        return {
            "n": int(call["path"].split(":")[1]),
            "a": call["locals"],
            "l": ret["locals"],
            "t": ret["path"],
            "v": ret["arg"],
        }

    for k in (0, 1499, 2999, 3000):
        shown = page.evaluate(
            "(async () => { const th = %s.threads[0];"
            " return JSON.stringify(await %s.details(th, %d)); })()" % (model, model, k)
        )
        assert json.loads(shown) == jsonable(expected(k)), k
    assert page.evaluate(
        "%s.details(%s.threads[0], 3001).then(d => JSON.stringify(d.a))" % (model, model)
    ) == json.dumps({"ext": {"__ext__": 5, "data": "cmF3"}}, separators=(",", ":"))


LEFT_OUT_PROGRAM = textwrap.dedent(
    """\
    def step(i):
        return i * 2

    def work(n):
        return sum(step(i) for i in range(n))

    work(5)
    """
)


def test_calls_left_out_are_said_and_counted_in_the_hot_functions(page, tmp_path):
    (tmp_path / "budget_app.py").write_text(LEFT_OUT_PROGRAM)
    run = sarv("run", "--db", "traces.db", "budget_app.py", cwd=tmp_path)
    trace_id = run.stderr.split("trace ", 1)[1].split(":", 1)[0]
    db_path = str(tmp_path / "traces.db")
    with db.open_trace(db_path, trace_id) as stored:
        document = msgpack.unpackb(b"".join(stored), raw=False, strict_map_key=False)
    # The record the core writes when a call budget left calls out, built by
    # hand: one function recorded in part, one never recorded.
    left_out = {
        "type": "calls_left_out",
        "budget": 5,
        "functions": [
            {
                "path": "%s:1" % next(r["path"].rsplit(":", 1)[0] for r in document["frames_of_interest"]),
                "co_name": "step",
                "qualname": "__main__.step",
                "calls": 1000,
                "raised": 2,
                "total": 0.5,
                "longest": 0.01,
            },
            {"path": "elsewhere.py:40", "co_name": "hidden", "qualname": None, "calls": 7, "raised": 0},
        ],
    }
    budgeted = dict(document, trace_id="trc_01J9ZQ4XG7K2M3N4P5Q6R7S8TB")
    budgeted["frames_of_interest"] = [left_out] + document["frames_of_interest"]
    db.save_trace_in_sqlite(db_path, budgeted["trace_id"], msgpack=msgpack.packb(budgeted))

    # Without the record the page is what it was; with it, only what the
    # record says is added.
    from sarv.viewer.data import page_data

    plain, plain_values = page_data(document)
    with_record, values = page_data(dict(budgeted, trace_id=document["trace_id"]))
    assert "left_out" not in plain and "left_out" not in plain["header"]
    header_left_out = with_record["header"].pop("left_out")
    assert header_left_out == {"budget": 5, "calls": 1007, "raised": 2, "functions": 2}
    rows = with_record.pop("left_out")
    assert with_record["functions"][: len(plain["functions"])] == plain["functions"]
    extra = with_record["functions"][len(plain["functions"]) :]
    assert [with_record["texts"][name] for name, _, _ in extra] == ["hidden"]
    for key in ("header", "threads", "calls", "values"):
        assert {**with_record, "texts": None, "functions": None}[key] == plain[key], key
    assert values == plain_values
    step = next(i for i, f in enumerate(plain["functions"]) if plain["texts"][f[0]] == "__main__.step")
    assert rows == [[step, 1000, 2, 500_000_000, 10_000_000], [len(plain["functions"]), 7, 0, None, None]]

    out = tmp_path / "budget.html"
    sarv("view", "8TB", "--db", db_path, "-o", str(out), cwd=tmp_path)
    open_page(page, str(out))
    header = page.evaluate("document.getElementById('header').innerText")
    assert "Left out\n1,007 calls of 2 functions past the budget of 5 calls each" in header, header
    page.click(".tab[data-tab=hot]")
    hot = page.evaluate(
        "[...document.querySelectorAll('#hot tbody tr')].map(r => [r.className, r.innerText.replace(/\\s+/g, ' ')])"
    )
    by_name = {text.split(" ")[0]: (cls, text) for cls, text in hot}
    cls, text = by_name["__main__.step"]
    assert "partial" in cls and "1,000 of its calls not recorded (2 raised)" in text and " 1,005 " in text, text
    cls, text = by_name["hidden"]
    assert "partial" in cls and "7 of its calls not recorded, their time not known" in text, text
    assert text.endswith(" 7 ? 0 ns ? ?"), text  # its time is not known, and it has no recorded calls
    assert "partial" not in by_name["__main__.work"][0]
    # Time per function: the recorded calls' durations and the time left out.
    recorded = page.evaluate(
        "(() => { const m = sarvViewer.model, th = m.threads[0]; let sum = 0, max = 0;"
        " for (let i = 0; i < th.count; i++) if (m.fnOf(th, i).name === '__main__.step')"
        " { sum += th.duration(i); max = Math.max(max, th.duration(i)); }"
        " const f = m.functions.find(f => f.name === '__main__.step');"
        " return [sum, max, f.total, f.max, f.calls, f.recorded, f.mean]; })()"
    )
    total_recorded, max_recorded, total, longest, calls, recorded_calls, mean = recorded
    assert recorded_calls == 5 and calls == 1005
    assert total == pytest.approx(total_recorded + 5e8) and longest == max(max_recorded, 1e7)
    assert mean == pytest.approx((total_recorded + 5e8) / 1005)
    keep_screenshot(page, "left-out-hot.png")


def test_progress_of_a_long_read_shows_on_a_terminal_only():
    import io

    from sarv.cli.view import Progress

    class Terminal(io.StringIO):
        def isatty(self):
            return True

    for stream, shown in ((Terminal(), True), (io.StringIO(), False)):
        progress = Progress(stream)
        progress.total = 101_016
        progress.records(4096)  # within its first second: nothing yet
        assert stream.getvalue() == ""
        progress.began -= 2
        progress.records(53_248)
        progress.done()
        if shown:
            # One line rewritten in place, cleared at the end for what follows.
            assert stream.getvalue() == ("\r\x1b[Ksarv: reading the trace: 53,248 of 101,016 records (52%)\r\x1b[K")
        else:
            assert stream.getvalue() == ""


def test_stored_trace_read_undecoded_gives_the_page_of_the_decoded_document():
    import base64
    import zlib

    from sarv.viewer.data import page_data, stored_page_data

    def values_of(texts):
        items = []
        for text in texts:
            reader = msgpack.Unpacker(raw=False, strict_map_key=False)
            reader.feed(zlib.decompress(base64.b64decode(text)))
            items.extend(reader)
        return items

    worker = dict(frame("call", "job", "frm_w", 1000.0005, locals={"n": [1, {"k": b"\x00"}]}), thread_native_id=9)
    records = [
        {"type": "records_dropped", "dropped": 3, "max_records": 9, "mode": "ring"},
        frame("return", "outer", "frm_a", 1000.002, arg={"x": [1.5, None]}),
        frame("call", "risky", "frm_r", 1000.0025, locals={"big": "z" * 3000, 1: "one", "1": "text"}),
        frame("return", "risky", "frm_r", 1000.0027, end="raised", arg=None),
        {
            "type": "exception",
            "frame_id": "frm_r",
            "exception": {"type": "KeyError", "message": "k"},
            "timestamp": 1000.0028,
        },
        {"type": "note", "timestamp": 1000.003, "thread_native_id": 7, "locals": {"kept": 1}, "arg": [2]},
        "not a record",
        dict(frame("call", "twice", "frm_t", 1000.004), locals={"a": 1}, **{"arg": 5}),
        frame("call", "open", "frm_o", 1000.005, locals={"n": float("inf")}),
    ]
    document = document_with(records, frames={"9": [worker, dict(worker, event="return", locals={"done": True})]})
    packed = msgpack.packb(document)
    decoded_structure, decoded_values = page_data(msgpack.unpackb(packed, raw=False, strict_map_key=False))
    # Pieces of every size, so that the end of the bytes fed falls inside
    # each kind of entry, value and header.
    for size in (1, 7, 64, len(packed)):
        pieces = [packed[i : i + size] for i in range(0, len(packed), size)]
        structure, values = stored_page_data(iter(pieces))
        assert structure == decoded_structure, size
        assert values_of(values) == values_of(decoded_values), size
    assert len(values_of(decoded_values)) == decoded_structure["values"]["count"]
    for broken in (packed[:-5], packed + b"\xc0"):
        with pytest.raises(ValueError):
            stored_page_data(broken)
