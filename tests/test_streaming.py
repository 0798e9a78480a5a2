"""Stored traces read as streams: show, the exports and the stream reader
give what the readers of a whole decoded document give."""

import gzip
import io
import json
import random
import subprocess
import sys

import msgpack
import pytest

from sarv import db
from sarv.views.export import chrome_trace, jsonable, write_chrome_trace, write_json_document
from sarv.views.stream import DocumentStream
from sarv.views.text import render_stored_trace, render_trace

TRACE_ID = "trc_01J9ZQ4XG7K2M3N4P5Q6R7S8T9"


def make_document(seed=7, calls=3000, threads=(1, 2), lost=0.02):
    """Random nested calls on each thread, some returns missing, one call open
    at the end, a plugin record here and there, and values of every kind."""
    rng = random.Random(seed)
    ids = iter(range(10**9))
    lists = {}
    for tid in threads:
        records, stack, clock = [], [], 1000.0 + tid * 0.01

        def record(event, name, frame_id, **extra):
            nonlocal clock
            clock += rng.uniform(0.2e-6, 5e-6)
            base = {
                "path": "app.py:%d" % (len(name) + 1),
                "co_name": name,
                "qualname": "app." + name,
                "event": event,
                "frame_id": frame_id,
                "arg": extra.pop("arg", None),
                "locals": extra.pop("local_vars", {}),
                "thread": "t%d" % tid,  # noqa: B023 - called only within this thread's round
                "thread_native_id": tid,  # noqa: B023
                "timestamp": clock,
                "type": "frame",
                "user_code_call_site": extra.pop("site", None),
            }
            records.append(base)  # noqa: B023

        for i in range(calls):
            if stack and rng.random() < 0.45:
                name, frame_id = stack.pop()
                if rng.random() < lost:
                    continue  # its return record is lost
                record("return", name, frame_id, arg=rng.choice([1, "x" * rng.randint(0, 50), [1.5, None], b"\x00"]))
            else:
                name, frame_id = "f%d" % rng.randint(0, 20), "frm_%026d" % next(ids)
                site = {"call_frame_id": stack[-1][1], "line_number": 3} if stack else None
                record("call", name, frame_id, site=site, local_vars={"i": i, "s": "v" * (i % 7)})
                stack.append((name, frame_id))
            if rng.random() < 0.01:
                records.append(
                    {
                        "type": "marker",
                        "frame_id": None,
                        "timestamp": clock,
                        "thread": "t%d" % tid,
                        "thread_native_id": tid,
                        "user_code_call_site": None,
                        "n": i,
                    }
                )
        lists[tid] = records
    main = lists.pop(threads[0])
    return {
        "command_line_args": ["app.py", "--go"],
        "current_commit_sha": "abc",
        "frames": lists,
        "frames_of_interest": main,
        "main_thread_id": threads[0],
        "meta": {"version": "0.1.0", "source": "api", "use_frame_boundaries": True},
        "timestamp": 999.5,
        "trace_id": TRACE_ID,
    }


@pytest.fixture(scope="module")
def stored(tmp_path_factory):
    document = make_document()
    path = str(tmp_path_factory.mktemp("streaming") / "t.db")
    packed = msgpack.packb(document)
    db.save_trace_in_sqlite(path, TRACE_ID, msgpack=[packed[i : i + 5000] for i in range(0, len(packed), 5000)])
    return path, document


def rendered(render, *args, **options):
    out = io.StringIO()
    render(*args, out, fancy=False, **options)
    return out.getvalue()


@pytest.mark.parametrize("max_depth", [0, 4, 30])
def test_show_streamed_is_show_of_the_whole_document(stored, max_depth):
    path, document = stored
    for show_locals in (False, True):
        options = {"max_depth": max_depth, "max_lines": 0, "show_locals": show_locals}
        whole = rendered(render_trace, document, **options)
        assert rendered(render_stored_trace, path, TRACE_ID, **options) == whole
        # Cut early: the lines on screen are the same, durations included (the returns of
        # the calls still open when decoding stopped are found in the undecoded rest).
        short = rendered(
            render_stored_trace, path, TRACE_ID, max_depth=max_depth, max_lines=60, show_locals=show_locals
        )
        assert short.splitlines()[6:60] == whole.splitlines()[6:60]
        cut = rendered(render_trace, document, max_depth=max_depth, max_lines=60, show_locals=show_locals)
        assert short.splitlines()[-1] == cut.splitlines()[-1]
        assert "more calls not shown" in short.splitlines()[-1]


def test_exports_streamed_are_the_exports_of_the_whole_document(stored):
    path, document = stored
    out = io.StringIO()
    write_chrome_trace(lambda: db.open_trace(path, TRACE_ID), out)
    streamed = json.loads(out.getvalue())
    whole = json.loads(json.dumps(chrome_trace(document)))
    ordered = lambda events: sorted(events, key=lambda e: (e["tid"], e.get("ts", -1), json.dumps(e)))  # noqa: E731
    assert ordered(streamed.pop("traceEvents")) == ordered(whole.pop("traceEvents"))
    assert streamed == whole
    complete = [e for e in ordered(chrome_trace(document)["traceEvents"]) if e["ph"] == "X"]
    calls = [r for r in document["frames_of_interest"] + document["frames"][2] if r.get("event") == "call"]
    assert sorted(e["args"]["frame_id"] for e in complete if "arguments" in e["args"]) == sorted(
        r["frame_id"] for r in calls
    )
    # Every call nests under the caller its call site names, when rebuilt by time (in a
    # trace without lost returns, whose callees would seem to run inside them).
    balanced = make_document(lost=0)
    complete = [e for e in chrome_trace(balanced)["traceEvents"] if e["ph"] == "X"]
    for tid in (1, 2):
        events = sorted((e for e in complete if e["tid"] == tid), key=lambda e: (e["ts"], -e["dur"]))
        stack = []
        for event in events:
            while stack and not (
                stack[-1]["ts"] <= event["ts"] and event["ts"] + event["dur"] <= stack[-1]["ts"] + stack[-1]["dur"]
            ):
                stack.pop()
            site = event["args"].get("call_site")
            if site and event["args"].get("incomplete") is None:
                assert stack and stack[-1]["args"]["frame_id"] == site["call_frame_id"]
            stack.append(event)
    # An unfinished call runs to the end of the trace.
    lists = [balanced["frames_of_interest"], balanced["frames"][2]]
    first, last = min(r[0]["timestamp"] for r in lists), max(r["timestamp"] for r in lists[0] + lists[1])
    open_ones = [e for e in complete if e["args"].get("incomplete") == "no return recorded"]
    assert open_ones and {round(e["ts"] + e["dur"], 3) for e in open_ones} == {round((last - first) * 1e6, 3)}

    out = io.StringIO()
    with db.open_trace(path, TRACE_ID) as pieces:
        write_json_document(pieces, out)
    assert json.loads(out.getvalue()) == json.loads(json.dumps(jsonable(document)))


def test_stream_reader_takes_pieces_cut_anywhere_and_refuses_damaged_documents():
    document = make_document(seed=3, calls=200)
    packed = msgpack.packb(document)
    for size in (1, 13, 4096):
        reader = DocumentStream(packed[i : i + size] for i in range(0, len(packed), size))
        records = list(reader.records())
        assert [r for _, r in records] == document["frames"][2] + document["frames_of_interest"]
        assert reader.top["trace_id"] == TRACE_ID and reader.order[2:4] == ["frames", "frames_of_interest"]
        assert reader.calls == sum(1 for _, r in records if r.get("event") == "call")
    with pytest.raises(ValueError, match="ends early"):
        list(DocumentStream(packed[:-3]).records())
    with pytest.raises(ValueError, match="trailing"):
        list(DocumentStream(packed + b"\x00").records())


def test_export_to_a_gzip_file(stored, tmp_path):
    path, document = stored
    plain, packed = tmp_path / "t.json", tmp_path / "t.json.gz"
    for target in (plain, packed):
        result = subprocess.run(
            [sys.executable, "-m", "sarv", "export", "last", "--db", path, "-o", str(target)],
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert result.returncode == 0, result.stderr
    with gzip.open(packed, "rt", encoding="utf-8") as f:
        assert json.load(f) == json.loads(plain.read_text())
    assert packed.stat().st_size * 3 < plain.stat().st_size


def test_long_reads_of_hot_and_the_exports_say_how_far_they_are(stored):
    from sarv.views.hot import hot_of_stored_trace

    path, document = stored
    records = len(document["frames_of_interest"]) + sum(len(r) for r in document["frames"].values())

    class Told:
        total = None

        def __init__(self):
            self.read, self.finished = [], False

        def records(self, n):
            self.read.append(n)

        def done(self):
            self.finished = True

    told = Told()
    hot_of_stored_trace(path, TRACE_ID, told)
    assert told.total == records and told.finished
    assert told.read == list(range(4096, records + 1, 4096)) and told.read
    for write in (
        lambda out, progress: write_chrome_trace(lambda: db.open_trace(path, TRACE_ID), out, progress),
        lambda out, progress: write_json_document(db.open_trace(path, TRACE_ID), out, progress),
    ):
        read = []
        write(io.StringIO(), read.append)
        assert read == told.read


JOBS = """
import threading


def step(i):
    return i * 2


def worker():
    for i in range(12):
        step(i)


def main():
    thread = threading.Thread(target=worker, name="helper")
    thread.start()
    thread.join()
    for i in range(3):
        step(i)
"""


def test_calls_left_out_are_summed_up_in_show_and_the_exports(tmp_path):  # noqa: PLR0915 - one trace, every view
    from sarv.views.stream import stored_left_out
    from sarv.profiler import profiling

    path = str(tmp_path / "t.db")
    namespace = {"__name__": "jobs"}
    exec(compile(JOBS, str(tmp_path / "jobs.py"), "exec"), namespace)
    with profiling(db_path=path, threading=True) as profiler:
        namespace["main"]()
    plain = db.load_trace_document(path, profiler.trace_id)
    assert list(plain)[2:4] == ["frames", "frames_of_interest"] and plain["frames"]  # the helper's list first
    steps = [r for _, records in [(0, plain["frames_of_interest"])] + list(plain["frames"].items()) for r in records]
    steps = [r for r in steps if r.get("co_name") == "step" and r.get("event") == "call"]
    assert len(steps) == 15
    step = {"path": steps[0]["path"], "co_name": "step", "qualname": steps[0]["qualname"]}
    record = {
        "type": "calls_left_out",
        "budget": 3,
        "functions": [
            dict(step, calls=1_000_000, raised=2, total=12.5, longest=0.25),
            {"path": "jobs.py:40", "co_name": "hidden", "qualname": None, "calls": 5, "raised": 0, "total": 2e-6,
             "longest": 1e-6},
            "not an entry",
            {"path": "jobs.py:50", "co_name": "odd", "calls": "many"},  # no calls: nothing to say
        ]
        + [dict(step, path="jobs.py:%d" % (60 + i), co_name="f%d" % i, qualname=None, calls=1, raised=0,
                total=0.001, longest=0.001) for i in range(11)],
    }  # fmt: skip
    left_out_id = "trc_01J9ZQ4XG7K2M3N4P5Q6R7S8LO"
    spliced = dict(plain, trace_id=left_out_id, frames_of_interest=[record] + plain["frames_of_interest"])
    db.save_trace_in_sqlite(path, left_out_id, msgpack=msgpack.packb(spliced))

    # Both readers, whole and stopped early, say the same; the tree is the trace's without it.
    options = {"max_depth": 0, "max_lines": 0}
    whole = rendered(render_trace, spliced, **options)
    assert rendered(render_stored_trace, path, left_out_id, **options) == whole
    lines = whole.splitlines()
    at = lines.index("  1,000,016 calls of 13 functions left out past the call budget (3 each):")
    table = lines[at + 1 : lines.index("", at)]
    assert table[0].split() == ["RECORDED", "LEFT", "OUT", "TIME", "LEFT", "OUT", "LONGEST", "RAISED", "FUNCTION"]
    assert table[1].split() == ["15", "1,000,000", "12.500", "s", "250.00", "ms", "2", step["qualname"], step["path"]]
    assert table[2].split() == ["0", "5", "2.0", "us", "1.0", "us", "hidden", "jobs.py:40"]
    assert table[3].split()[:5] == ["0", "1", "1.00", "ms", "1.00"] and len(table) == 12
    assert table[-1] == "    ... and 3 more functions, 3 calls left out"
    before = rendered(render_trace, plain, **options).replace(profiler.trace_id, left_out_id)
    records = sum(len(r) for r in plain["frames"].values()) + len(plain["frames_of_interest"])
    assert "\n".join(lines[:at] + lines[at + len(table) + 1 :]) + "\n" == before.replace(
        "- %d records" % records, "- %d records" % (records + 1)
    )
    assert rendered(render_stored_trace, path, profiler.trace_id, **options) == rendered(render_trace, plain, **options)
    for max_lines in range(3, 16, 2):  # stopped in the first list read, or in the helper's read later
        short = rendered(render_stored_trace, path, left_out_id, max_depth=0, max_lines=max_lines).splitlines()
        cut = rendered(render_trace, spliced, max_depth=0, max_lines=max_lines).splitlines()
        assert short[: at + len(table) + 1] == lines[: at + len(table) + 1]
        assert short[-1] == cut[-1] and "more calls not shown" in cut[-1]
        assert "* calls_left_out" not in "\n".join(short)  # not a plugin record's line either

    # What `run` reads at its end.
    assert stored_left_out(path, left_out_id).text() == lines[at].strip().rstrip(":")
    assert stored_left_out(path, profiler.trace_id) is None

    # The Chrome trace holds it beside the events, not as one; the JSON document as stored.
    chrome = chrome_trace(spliced)
    assert not [e for e in chrome["traceEvents"] if e["name"] == "calls_left_out"]
    assert chrome["traceEvents"] == chrome_trace(dict(plain, trace_id=left_out_id))["traceEvents"]
    left_out = chrome["otherData"]["calls_left_out"]
    assert left_out["budget"] == 3 and len(left_out["functions"]) == 13
    assert left_out["functions"][0] == dict(step, calls=1_000_000, raised=2, total=12.5, longest=0.25)
    assert "calls_left_out" not in chrome_trace(plain)["otherData"]
    out = io.StringIO()
    write_chrome_trace(lambda: db.open_trace(path, left_out_id), out)
    assert json.loads(out.getvalue())["otherData"] == json.loads(json.dumps(chrome["otherData"]))
    out = io.StringIO()
    with db.open_trace(path, left_out_id) as pieces:
        write_json_document(pieces, out)
    assert json.loads(out.getvalue())["frames_of_interest"][0] == record
