"""`sarv diff`: two runs recorded with `sarv run` (or pytest --sarv) into a temporary
database, then compared, by the command and by the Python API."""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

from helpers import TIMEOUT
from helpers import sarv as run_sarv
from sarv.diff import diff_traces, pick_traces

ROOT = pathlib.Path(__file__).resolve().parent.parent

# One value differs, deep in a loop, only when SHIFT is set: quantity(217) returns 0. The
# program's threads, and objects whose texts hold their addresses, go the same way in
# every run.
PROGRAM = textwrap.dedent(
    """
    import os
    import threading


    class Line:
        def __init__(self, sku, qty):
            self.sku = sku
            self.qty = qty


    def quantity(i):
        if i == 217 and os.environ.get("SHIFT"):
            return 0
        return i % 5 + 1


    def cost(line, rate):
        return line.qty * rate


    def add_up(lines):
        total = 0
        for line in lines:
            total += cost(line, 3)
        return total


    def labels(things):
        # Dict keys that are objects are written as their text, address included.
        return {thing: "x" for thing in things}


    def worker(n):
        return sum(range(n))


    def main():
        lines = []
        for i in range(300):
            lines.append(Line("sku-%d" % (i % 7), quantity(i)))
        thread = threading.Thread(target=worker, args=(10,), name="helper")
        thread.start()
        thread.join()
        labels([object(), object()])
        return add_up(lines)


    print(main())
    """
)


def sarv(*args, cwd, env=None):
    # (an empty SHIFT: one of the outer environment never reaches the runs)
    return run_sarv(*args, cwd=cwd, env={"SHIFT": "", **(env or {})})


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """Three runs of the program: two alike, one with the shifted value; (folder,
    database, [trace ids])."""
    folder = tmp_path_factory.mktemp("diff")
    (folder / "program.py").write_text(PROGRAM)
    db_path = folder / "traces.sqlite3"
    ids = []
    for env in ({}, {}, {"SHIFT": "1"}):
        done = sarv("run", "--threading", "--db", db_path, "program.py", cwd=folder, env=env)
        assert done.returncode == 0, done.stderr
        ids.append(done.stderr.split("trace ", 1)[1].split(":", 1)[0])
    return folder, db_path, ids


def test_one_value_deep_in_a_loop_is_the_first_difference(runs):
    folder, db_path, (first, _, shifted) = runs
    done = sarv("diff", first, shifted, "--db", db_path, cwd=folder)
    assert done.returncode == 1, done.stdout + done.stderr
    lines = done.stdout.splitlines()
    headline = next(line for line in lines if line.startswith("First difference:"))
    assert "quantity(i=217)" in headline and "returned 3 -> 0" in headline, done.stdout
    assert "218th call there" in headline, headline
    assert any("__main__.main > __main__.quantity" in line for line in lines), done.stdout

    # The same as data, whether the first trace is read in a process of its own or not.
    result = diff_traces(str(db_path), first, shifted)
    assert diff_traces(str(db_path), first, shifted, processes=2) == result
    assert not result.same and result.first.kind == "result"
    assert result.first.function == "__main__.quantity"
    assert result.first.callers == ["__main__.<module>", "__main__.main"]
    assert result.first.call_number == 218
    assert [(c.path, c.a, c.b) for c in result.first.changes] == [("result", 3, 0)]
    assert result.first.a[0]["locals"] == {"i": 217} == result.first.b[0]["locals"]
    # What followed from it: the Line made from it, the cost of that line, the totals.
    later = [(d.kind, d.function) for d in result.differences[1:]]
    assert ("arguments", "__main__.Line.__init__") in later
    assert ("result", "__main__.cost") in later
    changes = {c.path: (c.a, c.b) for d in result.differences for c in d.changes}
    assert changes["line.qty"] == (3, 0)
    # The threads were paired, and nothing was added or removed.
    assert result.added == result.removed == 0
    by_name = {f.name: f for f in result.functions}
    assert by_name["__main__.quantity"].changed == 1 and by_name["__main__.quantity"].calls_b == 300
    assert by_name["__main__.worker"].changed == 0 and by_name["__main__.worker"].calls_a == 1


def test_two_runs_of_a_deterministic_program_do_not_differ(runs):
    folder, db_path, (first, second, _) = runs
    done = sarv("diff", first, second, "--db", db_path, cwd=folder)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "no difference" in done.stdout
    assert "Time per function" in done.stdout and "__main__.add_up" in done.stdout
    result = diff_traces(str(db_path), first, second)
    assert result.same and result.first is None and result.count == 0


def test_trouble_is_status_2(runs):
    folder, db_path, (first, _, _) = runs
    for args in ((first, "trc_nothing_like_it"), (first,), (first, first, first)):
        done = sarv("diff", *args, "--db", db_path, cwd=folder)
        assert done.returncode == 2, (args, done.stdout, done.stderr)
        assert done.stderr.startswith("sarv: ") and len(done.stderr.splitlines()) == 1, done.stderr
    done = sarv("diff", "last", "last", "--db", folder / "none.sqlite3", cwd=folder)
    assert done.returncode == 2, done.stderr


SUITE = textwrap.dedent(
    """
    import os


    def discount(n):
        if n > 2:
            raise ValueError("too many")
        return n * 2


    def checkout(items):
        return [discount(i) for i in items]


    def test_checkout():
        items = list(map(int, os.environ.get("ITEMS", "1,2,1").split(",")))
        assert checkout(items) == [discount(i) for i in items]
    """
)


def test_a_test_made_to_fail_is_compared_with_its_last_passing_run(tmp_path, monkeypatch):
    (tmp_path / "test_shop.py").write_text(SUITE)
    db_path = tmp_path / "t.db"
    environment = dict(os.environ)
    environment.pop("ITEMS", None)
    command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--sarv", "--sarv-db", str(db_path)]
    passing = subprocess.run(command, cwd=tmp_path, env=environment, capture_output=True, text=True, timeout=TIMEOUT)
    assert passing.returncode == 0, passing.stdout
    assert "sarv diff" not in passing.stdout
    environment["ITEMS"] = "1,3,1"
    failing = subprocess.run(command, cwd=tmp_path, env=environment, capture_output=True, text=True, timeout=TIMEOUT)
    assert failing.returncode == 1, failing.stdout
    # The summary names the command that compares the failure with the last passing run.
    hint = next(line for line in failing.stdout.splitlines() if "sarv diff" in line)
    command = hint.split(": ", 1)[1].split()
    assert command[:4] == ["python", "-m", "sarv", "diff"], hint
    a, b = pick_traces(str(db_path), ["test_shop.py::test_checkout"])
    assert command[4:6] == [a, b]

    done = sarv("diff", "test_shop.py::test_checkout", "--db", db_path, cwd=tmp_path)
    assert done.returncode == 1, done.stdout + done.stderr
    assert "outcome: passed -> failed" in done.stdout
    result = diff_traces(str(db_path), a, b)
    assert (result.a.outcome, result.b.outcome) == ("passed", "failed")
    assert result.first.kind == "arguments" and result.first.function == "test_shop.checkout"
    assert [(c.path, c.a, c.b) for c in result.first.changes] == [("items[1]", 2, 3)]
    kinds = [(d.kind, d.function) for d in result.differences]
    assert ("raised", "test_shop.discount") in kinds
    assert ("outcome", "test_shop.py::test_checkout") in kinds
    # The test's start and end records read by the Python reader the native one follows.
    from sarv import diff as diff_package
    from sarv.diff import read

    monkeypatch.setattr(diff_package, "read_trace", read.read_trace_python)
    assert diff_traces(str(db_path), a, b) == result


def test_the_page_opens_the_first_difference_in_chromium(runs):
    """The two runs side by side in a headless Chromium: the first difference opened
    and selected in the aligned tree, both values shown, the rows marked."""
    from helpers import chromium, new_page, open_page

    folder, db_path, (first, _, shifted) = runs
    page_path = folder / "diff.html"
    done = sarv("diff", first, shifted, "--db", db_path, "-o", page_path, cwd=folder)
    assert done.returncode == 1, done.stderr
    html = page_path.read_text(encoding="utf-8")
    assert "http://" not in html and "https://" not in html and " src=" not in html  # self-contained
    with chromium() as browser:
        tab = new_page(browser)
        open_page(tab, page_path)
        assert tab.evaluate("document.getElementById('detail').dataset.difference") == "0"
        detail = tab.evaluate("document.getElementById('detail').innerText")
        assert "First difference: __main__.quantity(i=217)" in detail, detail
        assert tab.evaluate("[...document.querySelectorAll('#detail table.changes td')].map(td => td.innerText)") == [
            "result",
            "3",
            "0",
        ]
        selected = tab.evaluate("document.querySelector('#tree .row.selected .name').innerText")
        assert selected == "__main__.quantity"
        states = tab.evaluate("[...document.querySelectorAll('#tree .row')].map(r => r.className)")
        assert sum("changed" in s for s in states) >= 3 and any("same" in s for s in states)
        assert tab.evaluate("document.querySelectorAll('#tree .row.fold').length") >= 1
        # The next difference: the Line made from the value.
        tab.click("#next")
        assert "__main__.Line.__init__" in tab.evaluate("document.getElementById('detail').innerText")
        artifacts = pathlib.Path(os.environ.get("SARV_ARTIFACTS") or ROOT / "build" / "artifacts" / "viewer")
        artifacts.mkdir(parents=True, exist_ok=True)
        tab.click("#previous")
        tab.screenshot(path=str(artifacts / "diff-first-difference.png"))
        assert (artifacts / "diff-first-difference.png").stat().st_size > 10_000  # a real picture


def test_records_read_undecoded_are_the_records(runs):
    """The records as the diff reads them (undecoded, split where each ends) are those
    of the document, whatever the pieces the stored trace comes in."""
    import msgpack

    from sarv import db
    from sarv.diff.read import raw_records

    _, db_path, (first, _, _) = runs
    document = db.load_trace(str(db_path), first)
    decoded = msgpack.unpackb(document, raw=False, strict_map_key=False)
    # (in document order: "frames", the other threads' lists, comes first)
    expected = [r for rs in decoded["frames"].values() for r in rs] + list(decoded["frames_of_interest"])
    for size in (1, 7, 100, 4096, len(document)):
        pieces = [document[i : i + size] for i in range(0, len(document), size)]
        records = [
            (offset, msgpack.unpackb(record, raw=False, strict_map_key=False)) for offset, record in raw_records(pieces)
        ]
        assert [record for _, record in records] == expected, size
        # Each offset is where its record begins in the document (the page and the
        # description read records again from there).
        for offset, record in records:
            unpacker = msgpack.Unpacker(raw=False, strict_map_key=False)
            unpacker.feed(document[offset : offset + (1 << 16)])
            assert unpacker.unpack() == record


# Threads, a generator, calls that raise and are handled, a recursion; STEP changes the
# values the generator gives.
VARIED = textwrap.dedent(
    """
    import os
    import threading


    def check(n):
        if n % 4 == 3:
            raise ValueError("bad %d at 0x%x" % (n, id(n)))
        return n


    def numbers(k):
        for i in range(k):
            yield i * int(os.environ.get("STEP") or 1)


    def down(n):
        return 0 if n == 0 else down(n - 1) + 1


    def tally(values):
        total = 0
        for v in values:
            try:
                total += check(v)
            except ValueError:
                total -= 1
        return total


    def worker(n):
        return tally(numbers(n))


    def main():
        threads = [threading.Thread(target=worker, args=(12,), name="w%d" % i) for i in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        return tally(numbers(40)) + down(30)


    print(main())
    """
)


def _with_notes(document: bytes, said: str) -> bytes:
    """The document with the note that names the exception after each call that raised,
    as the core writes it once the exception is handled; its message begins with `said`."""
    import msgpack

    decoded = msgpack.unpackb(document, raw=False, strict_map_key=False)

    def noted(records):
        out = []
        for record in records:
            out.append(record)
            if record.get("end") == "raised" and record.get("frame_id"):
                message = "%s %s at 0x%x" % (said, record["locals"].get("n"), id(record))  # (an address: left out)
                out.append(
                    {
                        "type": "exception",
                        "frame_id": record["frame_id"],
                        "exception": {"type": "ValueError", "message": message, "args": None},
                        "thread": record["thread"],
                        "thread_native_id": record["thread_native_id"],
                        "timestamp": record["timestamp"],
                    }
                )
        return out

    decoded["frames"] = {key: noted(records) for key, records in decoded["frames"].items()}
    decoded["frames_of_interest"] = noted(decoded["frames_of_interest"])
    return msgpack.packb(decoded)


def _trees(traces: list) -> list:
    """What the readers made, as data; each hash as the class of those equal to it across
    all the traces (the two readers hash differently, and must agree on what is equal)."""
    classes: dict = {}
    out = []
    for trace in traces:
        threads = []
        for thread in trace.threads:
            kids = [[list(column) for column in thread.kid_columns(node)[:2]] for node in range(-1, len(thread.fn))]
            hashes = [
                [classes.setdefault((name, value), len(classes)) if value else 0 for value in getattr(thread, name)]
                for name in ("call_hash", "ret_hash", "subtree")
            ]
            arrays = [list(getattr(thread, name)) for name in ("fn", "parent", "call_at", "ret_at", "start", "end")]
            threads.append((thread.name, thread.native_id, thread.first, arrays, hashes, kids))
            threads.append((sorted(thread.plugins), dict(thread.notes)))
        out.append((trace.records, trace.left_out, trace.dropped, trace.test, trace.seconds, threads))
    return out


def test_the_native_reader_reads_as_the_python_one(tmp_path, monkeypatch):
    """The native reader against the Python one it follows, on traces with threads, a
    generator, raised calls and the notes naming what they raised, calls left out by the
    call budget, and records dropped in ring mode: the same trees whatever the pieces the
    document comes in, the same differences, and no crash on a damaged document."""
    import msgpack

    from sarv import db
    from sarv import diff as diff_package
    from sarv.diff import diff_documents, read

    (tmp_path / "varied.py").write_text(VARIED)
    db_path = tmp_path / "t.db"
    documents = []
    for options in (["--call-budget", "5"], ["--max-records", "150", "--max-records-mode", "ring"]):
        for step in ("", "2"):
            done = sarv("run", "--threading", *options, "--db", db_path, "varied.py", cwd=tmp_path, env={"STEP": step})
            assert done.returncode == 0, done.stderr
            documents.append(db.load_trace(str(db_path), done.stderr.split("trace ", 1)[1].split(":", 1)[0]))
    documents += [_with_notes(documents[0], "first"), _with_notes(documents[0], "second")]

    def read_all(reader, size=None):
        keys = read.FunctionKeys()
        return [
            reader([d[i : i + size] for i in range(0, len(d), size)] if size else [d], keys) for d in documents
        ], keys.keys

    python, python_keys = read_all(read.read_trace_python)
    expected = _trees(python)
    for size in (None, 1, 7, 4096):
        native, native_keys = read_all(read.read_trace, size)
        assert native_keys == python_keys and _trees(native) == expected, size
    # What the traces hold that the readers must agree on.
    assert python[0].left_out > 0 and python[2].dropped > 0
    assert any(thread.notes for thread in python[4].threads) and len(python[0].threads) == 3
    assert any(node < 0 for thread in python[2].threads for node in thread.call_at)  # returns without calls

    pairs = [(documents[0], documents[1]), (documents[2], documents[3]), (documents[4], documents[5])]
    native_results = [diff_documents(a, b) for a, b in pairs]
    monkeypatch.setattr(diff_package, "read_trace", read.read_trace_python)
    assert [diff_documents(a, b) for a, b in pairs] == native_results
    assert all(result.count > 0 for result in native_results)
    # Only the exceptions differ there, each as a call that raised another.
    raised = [
        d for d in native_results[2].differences if d.kind == "raised" and "('first" in d.text and "('second" in d.text
    ]
    assert len(raised) == native_results[2].count == len(native_results[2].differences) > 0

    # A document cut short or damaged: an error saying so, never a crash.
    document = documents[4]
    for reader in (read.read_trace, read.read_trace_python):
        with pytest.raises(ValueError):
            reader([document[: len(document) // 2]], read.FunctionKeys())
    for at in range(0, len(document), max(1, len(document) // 300)):
        damaged = document[:at] + bytes([document[at] ^ 0x5A]) + document[at + 1 :]
        try:
            read.read_trace([damaged], read.FunctionKeys())
        except (ValueError, msgpack.UnpackException):
            pass
