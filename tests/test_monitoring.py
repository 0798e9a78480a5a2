"""The sys.monitoring backend (3.12+, SARV_MONITORING=1) against the profile hook: one
program run under each, in a process of its own, gives the same records."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(sys.version_info < (3, 12), reason="sys.monitoring is new in 3.12")

LIBRARY = textwrap.dedent(
    """
    import threading


    def start(fn):
        worker = threading.Thread(target=fn, name="worker")
        worker.start()
        worker.join()


    def each(items, fn):
        return [fn(item) for item in items]


    def fails():
        raise KeyError("deep")
    """
)

PROGRAM = textwrap.dedent(
    """
    import asyncio
    import json
    import sys
    import threading

    import skipped_lib
    from sarv import db
    from sarv.profiler import Profiler


    def double(x):
        return x * 2


    def numbers(n):
        for i in range(n):
            yield i


    def echo():
        got = None
        while True:
            try:
                got = yield got
            except ValueError:
                got = "thrown"


    def fail(n):
        raise ValueError("boom %d" % n)


    def swallow():
        try:
            fail(1)
        except ValueError:
            pass
        try:
            skipped_lib.fails()
        except KeyError as exc:
            return str(exc)


    def through():
        try:
            fail(2)
        finally:
            double(3)


    async def tick(n):
        await asyncio.sleep(0)
        return n


    async def agen():
        for i in range(2):
            await asyncio.sleep(0)
            yield i


    async def collect():
        return [await tick(1)] + [x async for x in agen()]


    def work():
        skipped_lib.each([1, 2], double)
        for _ in numbers(3):
            pass
        sum(numbers(2))  # consumed by C code
        g = echo()
        next(g)
        g.send(5)
        g.throw(ValueError)
        g.close()
        swallow()
        try:
            through()
        except ValueError:
            pass
        json.dumps({"a": [1, 2]})
        asyncio.run(collect())


    def in_thread():
        double(7)


    def main():
        work()
        skipped_lib.start(in_thread)


    p = Profiler({"threading": True, "filters": {"ignore_frames": ["skipped_lib"]}}, db_path=sys.argv[1])
    p.start()
    hooked = p.rust_profiler.hooks_this_thread()
    main()
    p.stop()
    after = p.rust_profiler.hooks_this_thread()
    doc = db.load_trace_document(sys.argv[1], p.trace_id)
    print(json.dumps({"doc": doc, "tool": sys.monitoring.get_tool(2), "hooked": [hooked, after]}, default=repr))
    """
)


def run(tmp_path, monitoring, name, program=PROGRAM):
    (tmp_path / "skipped_lib.py").write_text(LIBRARY)
    (tmp_path / "prog.py").write_text(program)
    env = dict(os.environ, SARV_MONITORING=monitoring, PYTHONHASHSEED="0")
    done = subprocess.run(
        [sys.executable, "prog.py", str(tmp_path / f"{name}.db")],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout), done.stderr


def normalised(doc):
    """Per thread name, the records with ids numbered by first appearance and no times;
    the exception records apart, as a set (the profile hook writes each once the exception
    is seen handled, sys.monitoring as soon as the frame is left)."""
    ids = {}

    def rename(value):
        if isinstance(value, str) and value.startswith("frm_"):
            return ids.setdefault(value, "frame-%d" % len(ids))
        if isinstance(value, dict):
            return {k: rename(v) for k, v in value.items() if k not in ("timestamp", "thread_native_id")}
        if isinstance(value, list):
            return [rename(v) for v in value]
        return value

    threads, exceptions = {}, set()
    lists = [doc["frames_of_interest"]] + [doc["frames"][k] for k in sorted(doc["frames"])]
    for records in lists:
        for record in records:
            record = rename(record)
            if record.get("type") == "exception":
                exceptions.add(json.dumps(record, sort_keys=True))
            else:
                threads.setdefault(record["thread"], []).append(record)
    return threads, exceptions


def test_monitoring_records_what_the_profile_hook_records(tmp_path):
    hook, _ = run(tmp_path, "0", "hook")
    monitored, _ = run(tmp_path, "1", "monitored")
    assert hook["tool"] is None and monitored["tool"] == "sarv"
    assert hook["hooked"] == monitored["hooked"] == [True, False]
    threads, exceptions = normalised(monitored["doc"])
    hook_threads, hook_exceptions = normalised(hook["doc"])
    ends = {(r["co_name"], r.get("end")) for r in threads["MainThread"] if r["event"] == "return"}
    assert {
        ("numbers", "yielded"),
        ("echo", "yielded"),
        ("agen", "yielded"),
        ("agen", "awaited"),
        ("tick", "awaited"),
        ("numbers", None),
    } <= ends
    assert [r["arg"] for r in threads["MainThread"] if r["co_name"] == "agen" and r.get("end") == "yielded"] == [0, 1]
    assert threads == hook_threads
    # Handed the exception as a frame is left, the backend names every recorded raiser,
    # also those whose exception is handled with no event the hook could see it at.
    assert hook_exceptions < exceptions
    main = threads["MainThread"]
    named = {r["co_name"] for r in main}
    assert {"double", "numbers", "echo", "fail", "tick", "agen"} <= named
    assert not named & {"each", "fails", "dumps", "in_thread"}  # left out, or of another thread
    assert [(r["co_name"], r["event"]) for r in threads["worker"]] == [
        ("in_thread", "call"),
        ("double", "call"),
        ("double", "return"),
        ("in_thread", "return"),
    ]
    raisers = {r["frame_id"]: r["co_name"] for r in main if r.get("end") == "raised"}
    described = sorted((raisers[json.loads(e)["frame_id"]], json.loads(e)["exception"]["type"]) for e in exceptions)
    assert described == [
        ("echo", "GeneratorExit"),
        ("fail", "ValueError"),
        ("fail", "ValueError"),
        ("through", "ValueError"),
    ]


def test_a_taken_tool_id_falls_back_to_the_profile_hook(tmp_path):
    # Every id sarv would take is another tool's (on the first line: the lines stay the same).
    taken = PROGRAM.replace(
        "import asyncio\n", "import asyncio, sys; [sys.monitoring.use_tool_id(t, 'x') for t in (2, 3, 4)]\n", 1
    )
    taken = taken.replace('"tool": sys.monitoring.get_tool(2)', '"tool": sys.getprofile() is None')
    fallen, stderr = run(tmp_path, "1", "fallen", taken)
    hook, _ = run(tmp_path, "0", "hook")
    assert stderr.count("no sys.monitoring tool id is free") == 1
    assert fallen["hooked"] == [True, False]
    assert normalised(fallen["doc"]) == normalised(hook["doc"])  # the profile hook's own records
