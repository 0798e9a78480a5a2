"""The sys.monitoring backend (3.12+, the default; SARV_MONITORING=0 declines it) against
the profile hook: one program run under each, in a process of its own, gives the same
records."""

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
    tool = [i for i in range(6) if sys.monitoring.get_tool(i) == "sarv"]
    print(json.dumps({"doc": doc, "tool": tool, "hooked": [hooked, after]}, default=repr))
    """
)


def run(tmp_path, monitoring, name, program=PROGRAM):
    """Runs the program with SARV_MONITORING set to `monitoring` (None: unset)."""
    (tmp_path / "skipped_lib.py").write_text(LIBRARY)
    (tmp_path / "prog.py").write_text(program)
    env = dict(os.environ, PYTHONHASHSEED="0")
    env.pop("SARV_MONITORING", None)
    if monitoring is not None:
        env["SARV_MONITORING"] = monitoring
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
    monitored, _ = run(tmp_path, None, "monitored")
    assert hook["tool"] == [] and monitored["tool"] == [3]  # PROFILER_ID (2) left to cProfile
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
    fallen, stderr = run(tmp_path, "1", "fallen", taken)
    hook, _ = run(tmp_path, "0", "hook")
    assert stderr.count("no sys.monitoring tool id is free") == 1
    assert fallen["hooked"] == [True, False] and fallen["tool"] == []
    assert normalised(fallen["doc"]) == normalised(hook["doc"])  # the profile hook's own records


BESIDE_ANOTHER_TOOL = textwrap.dedent(
    """
    import json
    import sys
    import threading

    import msgpack
    import sarv._sarv
    import skipped_lib
    from sarv import db
    from sarv.profiler import Profiler

    M = sys.monitoring
    EVENTS = ("PY_START", "PY_RESUME", "PY_THROW", "PY_RETURN", "PY_YIELD", "PY_UNWIND")
    seen = []


    def coverage_like(code, offset):
        if code.co_name in ("double", "each", "work"):
            seen.append(code.co_name)
        return M.DISABLE  # as coverage does with code it has seen


    M.use_tool_id(M.COVERAGE_ID, "coverage-like")
    M.register_callback(M.COVERAGE_ID, M.events.PY_START, coverage_like)
    M.set_events(M.COVERAGE_ID, M.events.PY_START)


    def double(x):
        return x * 2


    def work():
        return skipped_lib.each([1, 2], double)


    def ours():
        return [i for i in range(6) if M.get_tool(i) == "sarv"]


    def handed_while_stopped(fn):
        # Whatever reaches our tool id while nothing records (our callbacks set aside).
        tool, handed = ours()[0], []
        kept = {e: M.register_callback(tool, getattr(M.events, e), lambda *a, e=e: handed.append(e)) for e in EVENTS}
        try:
            fn()
        finally:
            for e, callback in kept.items():
                M.register_callback(tool, getattr(M.events, e), callback)
        return handed


    def recorded(config, threaded=None):
        global last
        p = last = Profiler(config, db_path=sys.argv[1])
        p.start()
        work()
        if threaded:
            threaded()
        p.stop()
        doc = db.load_trace_document(sys.argv[1], p.trace_id)
        records = doc["frames_of_interest"] + [r for rs in doc["frames"].values() for r in rs]
        return sorted({r["co_name"] for r in records if r["type"] == "frame"})


    out = {}
    work()
    out["other_first"] = sorted(seen)
    out["left_out"] = recorded({"filters": {"ignore_frames": ["skipped_lib"]}})
    out["events_after_stop"] = M.get_events(ours()[0])
    out["handed_after_stop"] = handed_while_stopped(lambda: [work() for _ in range(3)])
    # A profiler that wants what the first left out: switched back on for sarv alone.
    out["wanted"] = recorded({})
    # A hooked thread that ends after the profiler stopped: nothing is handed over after it.
    release, worker_hooked = threading.Event(), []
    worker = threading.Thread(
        target=lambda: (release.wait(), double(1), worker_hooked.append(last.rust_profiler.hooks_this_thread()))
    )
    out["threaded"] = recorded({"threading": True}, threaded=worker.start)
    release.set()
    worker.join()
    out["worker_hooked_after_stop"] = worker_hooked
    work()
    out["events_after_thread"] = M.get_events(ours()[0])
    out["handed_after_thread"] = handed_while_stopped(work)

    # A profiler kept between uses and never stopped, as the middleware keeps one per thread:
    # while it is off the thread, each location is handed over once, then switched off; back
    # on, it records what it wants again.
    kept = Profiler({"filters": {"ignore_frames": ["skipped_lib"]}}, db_path=sys.argv[1])
    sarv._sarv.register_profiler(kept)
    work()
    sarv._sarv.register_noop_profiler()
    sys.setprofile(None)
    tool, handed = ours()[0], []
    for e in EVENTS:
        real = M.register_callback(tool, getattr(M.events, e), None)
        M.register_callback(tool, getattr(M.events, e), lambda *a, real=real: (handed.append(1), real(*a))[1])
    rounds = []
    for _ in range(3):
        before = len(handed)
        work()
        rounds.append(len(handed) - before)
    out["kept_rounds"] = rounds
    kept.rust_profiler.register_threading_profiler(None, None, None)  # back on this thread
    work()
    sarv._sarv.register_noop_profiler()
    sys.setprofile(None)
    trace = msgpack.unpackb(kept.rust_profiler.build_trace())
    out["kept_names"] = [r["co_name"] for r in trace["frames_of_interest"] if r["type"] == "frame"]
    out["other_after"] = sorted(seen)
    print(json.dumps(out))
    """
)


def test_beside_another_tool_and_after_stop(tmp_path):
    out, stderr = run(tmp_path, None, "beside", BESIDE_ANOTHER_TOOL)
    # The other tool switched its locations off: sarv's registrations never turn them back on.
    assert out["other_first"] == out["other_after"] == ["double", "each", "work"]
    assert out["left_out"] == ["double", "work"]
    assert out["wanted"] == ["double", "each", "work"]
    assert {"double", "each", "work"} <= set(out["threaded"])
    # A stopped profiler costs nothing: our events are off and nothing reaches our callbacks.
    assert out["events_after_stop"] == out["events_after_thread"] == 0
    assert out["handed_after_stop"] == out["handed_after_thread"] == []
    assert out["worker_hooked_after_stop"] == [False]  # taken off every thread at stop
    # Kept, not stopped: what runs while it is off the thread is handed over once.
    assert out["kept_rounds"][0] > 0 and out["kept_rounds"][1:] == [0, 0]
    assert out["kept_names"] == ["work", "double", "double", "double", "double", "work"] * 2


TWO_PROFILERS = textwrap.dedent(
    """
    import json
    import sys
    import threading

    import skipped_lib
    from sarv import db
    from sarv.profiler import Profiler


    def double(x):
        return x * 2


    def names(p):
        doc = db.load_trace_document(sys.argv[1], p.trace_id)
        return [r["co_name"] for r in doc["frames_of_interest"] if r["type"] == "frame"]


    out = {}
    first = Profiler({"filters": {"ignore_frames": ["skipped_lib"]}}, db_path=sys.argv[1])
    first.start()
    skipped_lib.each([1], double)  # left out by the only profiler: switched off
    started, go = threading.Event(), threading.Event()


    def other():
        second = Profiler({}, db_path=sys.argv[1])
        second.start()
        started.set()
        go.wait()
        skipped_lib.each([2], double)
        second.stop()
        out["second"] = names(second)


    worker = threading.Thread(target=other)
    worker.start()
    started.wait()
    # Wanted now by the second profiler: the first one's thread must not switch it off again.
    skipped_lib.each([3], double)
    go.set()
    worker.join()
    first.stop()
    out["first"] = names(first)
    print(json.dumps(out))
    """
)


def test_code_one_profiler_leaves_out_stays_on_for_another_that_starts_later(tmp_path):
    out, _ = run(tmp_path, None, "two", TWO_PROFILERS)
    assert out["first"] == ["double", "double", "double", "double"]
    assert out["second"] == ["each", "double", "double", "each"]
