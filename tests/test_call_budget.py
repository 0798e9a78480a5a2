"""The call budget: each function's first N calls of a trace recorded in full, the later ones
left out whole (with what they call), counted and timed in the trace's "calls_left_out" note."""

import threading

import pytest
from conftest import MONITORING

SOURCE = """
import collections
import threading

CALLS = collections.Counter()  # (a library's code: not recorded, not counted)

def leaf(x):
    CALLS["leaf"] += 1
    return x + 1

def middle(x):
    CALLS["middle"] += 1
    return leaf(x) + leaf(x)

def fact(n):
    CALLS["fact"] += 1
    return 1 if n <= 1 else n * fact(n - 1)

def gen(n):
    CALLS["gen"] += 1
    for i in range(n):
        yield leaf(i)

def fails(i):
    CALLS["fails"] += 1
    if i % 2:
        raise ValueError(i)
    return i

def deep_fail(i):
    CALLS["deep_fail"] += 1
    try:
        fails(1)
    except ValueError:
        pass
    return fails(i)

def flat(n):
    for i in range(n):
        middle(i)

def recursion(depth):
    fact(depth)

def generators(n, each):
    sums = []
    for _ in range(n):
        sums.append(sum(gen(each)))
    return sums

def consume(each):
    CALLS["consume"] += 1
    return sum(gen(each))

def consumers(n, each):
    return [consume(each) for _ in range(n)]

def raising(n):
    caught = 0
    for i in range(n):
        try:
            deep_fail(i)
        except ValueError:
            caught += 1
    return caught

def mixed():
    flat(5)
    recursion(6)
    generators(2, 3)
    raising(3)

def threads(n):
    workers = [threading.Thread(target=flat, args=(n,)) for _ in range(2)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
"""

# A user's module: its code claims to live in the project.
FILENAME = "/home/u/project/app/budget.py"


def _all_records(trace):
    records = list(trace.records)
    for thread_records in trace.threads.values():
        records.extend(thread_records)
    return records


def _check_consistent(trace, module, budget):
    """What holds of every trace cut by the budget: no call site names a frame that was not
    recorded, every return's frame was called in the trace, no function has more recorded
    calls than the budget allows, and recorded plus left-out calls are the calls made."""
    records = _all_records(trace)
    notes = [r for r in records if r.get("type") == "calls_left_out"]
    assert len(notes) <= 1
    left_out = {f["co_name"]: f for f in notes[0]["functions"]} if notes else {}
    frames = [r for r in records if r.get("type") == "frame"]
    called = {r["frame_id"] for r in frames if r["event"] == "call"}
    for r in frames:
        site = r["user_code_call_site"]
        if site is not None:
            assert site["call_frame_id"] in called, r
        if r["event"] == "return":
            assert r["frame_id"] in called, r
    calls = {}
    for r in frames:
        if r["event"] == "call" and r.get("resumes") is None:
            calls[r["co_name"]] = calls.get(r["co_name"], 0) + 1
    for name, made in module["CALLS"].items():
        recorded = calls.get(name, 0)
        entry = left_out.get(name)
        raised_recorded = sum(
            1 for r in frames if r["co_name"] == name and r["event"] == "return" and r.get("end") == "raised"
        )
        assert recorded <= budget + raised_recorded, (name, recorded)
        assert recorded + (entry["calls"] if entry else 0) == made, (name, recorded, entry, made)
        if entry:
            assert entry["path"].endswith("budget.py:%d" % module[name].__code__.co_firstlineno), entry
            if entry["total"] is not None:  # (None: not timed, see the cap's test)
                assert 0 <= entry["longest"] <= entry["total"]
            assert entry["qualname"].endswith(name)
    return left_out, frames


@pytest.mark.parametrize(
    "shape, args, budget",
    [
        ("flat", (10,), 20),  # leaf called exactly as often as the budget: nothing left out
        ("flat", (11,), 20),
        ("flat", (50,), 7),
        ("recursion", (30,), 10),
        ("generators", (6, 5), 3),
        ("consumers", (6, 5), 3),  # generators resumed inside calls left out
        ("raising", (9,), 4),
    ],
)
def test_the_budget_keeps_first_calls_whole_and_counts_the_rest(recording, shape, args, budget):
    module = recording.module(SOURCE, filename=FILENAME, name="app.budget")
    _, trace, _ = recording.run(module[shape], *args, config={"call_budget": budget})
    left_out, frames = _check_consistent(trace, module, budget)
    made = module["CALLS"]
    if shape == "flat":
        # middle's calls past the budget leave out their calls of leaf: leaf's recorded
        # calls are those made by the recorded calls of middle.
        assert sum(r["co_name"] == "middle" and r["event"] == "call" for r in frames) == min(args[0], budget)
        assert (left_out == {}) == (2 * args[0] <= budget)
    elif shape == "recursion":
        # The outer activations recorded, the innermost ones left out as one subtree, and
        # the recorded ones return in order.
        depths = [r["locals"]["n"] for r in frames if r["co_name"] == "fact" and r["event"] == "call"]
        assert depths == list(range(30, 30 - budget, -1))
        assert left_out["fact"]["calls"] == 30 - budget
    elif shape == "generators":
        # A generator recorded at its start keeps every resumption; one left out keeps none.
        starts = [r for r in frames if r["co_name"] == "gen" and r["event"] == "call" and r.get("resumes") is None]
        assert len(starts) == budget
        resumed = [r for r in frames if r["co_name"] == "gen" and r.get("resumes") is not None]
        assert len(resumed) == budget * args[1]
        assert {r["resumes"] for r in resumed} == {r["frame_id"] for r in starts}
        assert left_out["gen"]["calls"] == made["gen"] - budget
    elif shape == "consumers":
        # The generators of the calls left out ran inside them: their time is part of theirs.
        assert left_out["gen"]["calls"] == left_out["consume"]["calls"] == args[0] - budget
        assert left_out["gen"]["total"] <= left_out["consume"]["total"]
    elif shape == "raising":
        # Calls that raise into recorded code are recorded even past the budget; a raise
        # caught inside a call left out is counted there.
        raised = [r for r in frames if r["co_name"] == "deep_fail" and r.get("end") == "raised"]
        assert [r["locals"]["i"] for r in raised] == [i for i in range(args[0]) if i % 2]
        # deep_fail(4..8) left out: their 10 calls of fails, 7 raising (fails(1) each time,
        # fails(5), fails(7)); and fails(2), left out from the recorded deep_fail(2).
        assert (left_out["fails"]["calls"], left_out["fails"]["raised"]) == (11, 7)


def test_threads_share_the_trace_budget(recording):
    module = recording.module(SOURCE, filename=FILENAME, name="app.budget")
    _, trace, _ = recording.run(module["threads"], 40, config={"call_budget": 25, "threading": True})
    left_out, frames = _check_consistent(trace, module, 25)
    assert sum(r["co_name"] == "middle" and r["event"] == "call" for r in frames) == 25
    assert left_out["middle"]["calls"] == 80 - 25


def test_a_new_trace_starts_every_budget_afresh(recording):
    module = recording.module(SOURCE, filename=FILENAME, name="app.budget")
    profiler = recording.profiler({"call_budget": 5})
    import sarv._sarv as native

    native.register_profiler(profiler)
    try:
        module["flat"](8)
        first = recording.trace(profiler)
        module["flat"](2)
        second = recording.trace(profiler)
    finally:
        native.register_noop_profiler()
        threading.setprofile(None)
    assert [f["calls"] for f in first.records[0]["functions"] if f["co_name"] == "middle"] == [3]
    assert sum(r.get("co_name") == "middle" and r.get("event") == "call" for r in second.records) == 2
    assert all(r.get("type") == "frame" for r in second.records)


@pytest.mark.parametrize(
    "config",
    [{"call_budget": 5}, {"max_records": 40, "max_records_mode": "stop"}],
)
def test_a_restarted_trace_starts_every_budget_and_cap_afresh(recording, config):
    """A request's profiler is kept for the next request (restart_trace, as the web
    middleware does when a trace is dropped or the next request starts): the new trace
    neither inherits the budget spent nor a "stop" cap reached, nor names calls left out
    of the trace before it."""
    import sarv._sarv as native
    from sarv import _requests

    module = recording.module(SOURCE, filename=FILENAME, name="app.budget")
    profiler = recording.profiler(config)
    native.register_profiler(profiler)
    try:
        module["flat"](8)  # 25 calls: past the budget of middle and leaf, past the cap
        _requests.restart_trace(profiler.rust_profiler, "trc_01JF0000000000000000000000")
        module["flat"](2)
        trace = recording.trace(profiler)
    finally:
        native.register_noop_profiler()
        threading.setprofile(None)
    assert trace.doc["trace_id"] == "trc_01JF0000000000000000000000"
    assert sum(r.get("co_name") == "middle" and r.get("event") == "call" for r in trace.records) == 2
    assert sum(r.get("co_name") == "leaf" and r.get("event") == "return" for r in trace.records) == 4
    assert all(r.get("type") == "frame" for r in trace.records)


def test_a_trace_within_the_budget_is_the_trace_without_one(recording):
    """Small programs unchanged: the same records, byte for byte but for ids and times."""

    traces = [
        recording.run(recording.module(SOURCE, filename=FILENAME, name="app.budget")["mixed"], config=config)[1]
        for config in ({}, {"call_budget": 0}, {"call_budget": 100})
    ]

    def stable(trace):
        out = []
        for r in trace.records:
            r = dict(r)
            for key in ("frame_id", "timestamp", "user_code_call_site", "resumes"):
                r.pop(key, None)
            out.append(r)
        return out

    assert stable(traces[0]) == stable(traces[1]) == stable(traces[2])
    assert [len(r) for r in traces[0].raw] == [len(r) for r in traces[2].raw]


def test_a_thread_hooked_again_forgets_calls_left_out_whose_returns_it_missed(recording):
    """The hook taken away inside a call left out (the pytest plugin pauses it, a test may
    install its own): hooked again, the thread records as before."""
    import sarv._sarv as native

    module = recording.module(SOURCE + "\ndef pause(n):\n    if n:\n        PAUSE()\n", filename=FILENAME)
    profiler = recording.profiler({"call_budget": 1})
    module["PAUSE"] = native.register_noop_profiler
    native.register_profiler(profiler)
    try:
        module["pause"](0)  # within the budget
        module["pause"](1)  # left out, and the hook goes before it returns
        profiler.rust_profiler.register_threading_profiler(None, None, None)
        module["leaf"](7)
    finally:
        native.register_noop_profiler()
        threading.setprofile(None)
    frames = [r for r in recording.trace(profiler).records if r.get("type") == "frame"]
    assert [(r["co_name"], r["event"]) for r in frames][-2:] == [("leaf", "call"), ("leaf", "return")]


def test_generators_past_a_stop_cap_are_counted_and_recorded_again_by_the_next_trace(recording):
    """Past a "stop" cap, sys.monitoring switches generators' resumptions off: their calls
    stay counted, their time is not known (None), no call is counted twice, and the next
    trace, whose cap is not reached, records every resumption again."""
    import sarv._sarv as native

    after_cap = "\ndef after_cap(n, each):\n    consumers(n, each)\n    return [sum(gen(each)) for _ in range(n)]\n"
    module = recording.module(SOURCE + after_cap, filename=FILENAME, name="app.budget")
    profiler = recording.profiler({"max_records": 40, "max_records_mode": "stop"})
    native.register_profiler(profiler)
    try:
        # Past the cap, generators resumed inside calls left out, then by a recorded caller.
        module["after_cap"](30, 5)
        first = recording.trace(profiler)
        module["generators"](2, 3)
        second = recording.trace(profiler)
    finally:
        native.register_noop_profiler()
        threading.setprofile(None)
    records = _all_records(first)
    (note,) = [r for r in records if r.get("type") == "calls_left_out"]
    (dropped,) = [r["dropped"] for r in records if r.get("type") == "records_dropped"]
    left_out = {f["co_name"]: f for f in note["functions"]}
    frames = [r for r in records if r.get("type") == "frame"]
    starts = {r["co_name"]: 0 for r in frames}
    for r in frames:
        starts[r["co_name"]] += r["event"] == "call" and r.get("resumes") is None
    assert starts.get("gen", 0) + left_out["gen"]["calls"] == 60
    assert starts.get("consume", 0) + left_out["consume"]["calls"] == 30
    # Each call left out after the end stands for its two records; the cap's own refusals
    # and the returns of calls recorded before it add a few.
    calls = sum(f["calls"] for f in note["functions"])
    assert 2 * calls <= dropped <= 2 * calls + 12
    if MONITORING:
        assert left_out["gen"]["total"] is None and left_out["gen"]["longest"] is None
    assert left_out["consume"]["total"] >= left_out["consume"]["longest"] > 0
    frames = [r for r in second.records if r.get("type") == "frame"]
    resumed = [r for r in frames if r["co_name"] == "gen" and r.get("resumes") is not None]
    assert len(resumed) == 2 * 3
