"""Reference and memory leaks: repeating a piece of work (registering and dropping
profilers, recording, failing saves, failing plugins, threads coming and going) must leave
the interpreter's objects and the process's memory flat once warmed up, and a dropped
profiler must let go of every frame and value it held.

Each check repeats its work for 20 rounds, measuring after every round (GC-tracked objects,
the interpreter's memory blocks, the C heap, and on debug interpreters the total reference
count), and compares the growth per round over rounds 2 to 5 with the growth after round
5: a leak keeps growing with every round, warm-up (caches, free lists, the first allocation
of a table) does not. SARV_SHOW_LEAK_TRENDS=1 (with pytest -s) prints the measured trends.
"""

import array
import ctypes
import gc
import logging
import os
import sys
import textwrap
import threading
import tracemalloc
import weakref

import msgpack
import pytest

import sarv._sarv

ROUNDS = 20


# --- Measuring ---------------------------------------------------------------------------


class _Mallinfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def _native_heap_probe():
    """Bytes the C allocator has handed out and not got back (glibc), or None elsewhere.
    The core's own buffers and tables live there, where tracemalloc does not look."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _Mallinfo2
    mallinfo2.argtypes = []

    def probe():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return probe


NATIVE_HEAP = _native_heap_probe()


def per_round():
    """Storage for one number per round that allocates nothing while the rounds run (a
    dict or list of ints would itself grow with every round)."""
    return array.array("q", [0] * (ROUNDS + 1))


def _measures():
    """What can be measured here without disturbing it: the interpreter's small-object
    blocks and the C heap where they report (tracemalloc's own tables would grow the C
    heap); otherwise, as under the sanitizers' allocator, tracemalloc's count of Python
    allocations."""
    out = ["objects"]
    if sys.getallocatedblocks() > 0:
        out.append("pymalloc_blocks")
    if NATIVE_HEAP is not None and NATIVE_HEAP() > 0:
        out.append("native_bytes")
    else:
        out.append("python_bytes")
    if hasattr(sys, "gettotalrefcount"):  # interpreters built with Py_DEBUG
        out.append("refs")
    return out


MEASURES = _measures()


# The interpreter's attribute cache keeps up to a few thousand attribute-name strings
# alive; it fills slowly and would pass for a leak. (_clear_type_cache is deprecated from
# 3.14 on: each call's warning, kept by pytest, would itself grow every round.)
_clear_caches = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


def snapshot(marks, number):
    _clear_caches()
    for _ in range(3):
        gc.collect()
    probes = {
        "objects": lambda: len(gc.get_objects()),
        "pymalloc_blocks": sys.getallocatedblocks,
        "native_bytes": NATIVE_HEAP,
        "python_bytes": lambda: tracemalloc.get_traced_memory()[0],
        "refs": getattr(sys, "gettotalrefcount", None),
    }
    for key, values in marks.items():
        values[number] = probes[key]()


class Trend:
    """Growth per round of each measure: the mean over rounds 2→5 (`early`) and over rounds
    5→20 (`late`), and the median of the single rounds' growth after round 5 (`median`)."""

    def __init__(self, marks):
        self.early = {k: (v[5] - v[2]) / 3 for k, v in marks.items()}
        self.late = {k: (v[ROUNDS] - v[5]) / (ROUNDS - 5) for k, v in marks.items()}
        self.median = {
            k: sorted(v[n + 1] - v[n] for n in range(5, ROUNDS))[(ROUNDS - 5) // 2] for k, v in marks.items()
        }

    def show(self, name, **context):
        if os.environ.get("SARV_SHOW_LEAK_TRENDS"):
            detail = ", ".join(f"{k}={v}" for k, v in context.items())
            print(f"\nleak trend of {name} ({detail}); growth per round:")
            for key in self.early:
                print(
                    f"  {key:>15}: rounds 2->5 {self.early[key]:+10.1f}   rounds 5->20 {self.late[key]:+10.1f}"
                    f"   median after 5 {self.median[key]:+8.1f}"
                )

    def assert_flat(self, volume):
        """`volume`: bytes of trace one round produced. Keeping one object per round, or a
        hundredth of what a round recorded, fails; allocator noise stays far below that."""
        message = f"growing per round: rounds 2->5 {self.early}, rounds 5->20 {self.late}, median {self.median}"
        bound = {
            "objects": 1,
            "pymalloc_blocks": 1,
            "refs": 1,
            "native_bytes": max(1024, volume / 100),
            "python_bytes": max(1024, volume / 100),
        }
        assert self.late["objects"] < 1, message
        for key in self.median:
            # A leak grows in the typical round and over the rounds alike. A table that is
            # filled and trimmed by turns (the allocator's, the interpreter's, a cache of
            # weak references) moves the median only; a one-off resize, the mean only.
            assert self.median[key] < bound[key] or self.late[key] < bound[key], message


def measure(work):
    """Runs work(round) for each round and returns the trend of the measures."""
    started = "python_bytes" in MEASURES and not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    # Only the counting handler may see the core's warnings: pytest's log capture keeps
    # every record (with its traceback's frames), on loggers that do not propagate too.
    logger = logging.getLogger("sarv")
    handlers = logger.handlers[:]
    logger.handlers = [h for h in handlers if isinstance(h, WarningCounter)]
    try:
        marks = {key: per_round() for key in MEASURES}
        for number in range(1, ROUNDS + 1):
            work(number)
            snapshot(marks, number)
        return Trend(marks)
    finally:
        logger.handlers = handlers
        if started:
            tracemalloc.stop()


class WarningCounter(logging.Handler):
    count = 0

    def emit(self, record):
        self.count += 1
        self.format(record)  # str() of the frame's locals and the traceback, as a real handler


@pytest.fixture
def sarv_warnings():
    """Counts the core's warnings without keeping them (see measure)."""
    logger = logging.getLogger("sarv")
    counter = WarningCounter(level=logging.WARNING)
    saved = logger.propagate, logger.level
    logger.addHandler(counter)
    logger.propagate = False
    logger.setLevel(logging.WARNING)
    yield counter
    logger.removeHandler(counter)
    logger.propagate, logger.level = saved


PROGRAM = textwrap.dedent("""\
    import threading

    class Payload:
        def __init__(self, n):
            self.n = n
            self.text = "x" * 40

    def leaf(n):
        payload = Payload(n)
        return payload

    def branch(n):
        kept = [leaf(n), leaf(n + 1)]
        return len(kept)

    def gen(n):
        for i in range(n):
            yield leaf(i)

    def test_case(n):
        return sum(branch(i) for i in range(n)) + len(list(gen(3)))

    def run(n):
        total = 0
        for i in range(n):
            total += test_case(3)
        return total

    def run_threads(count, n):
        workers = [threading.Thread(target=run, args=(n,)) for _ in range(count)]
        for worker in workers:
            worker.start()
        run(n)
        for worker in workers:
            worker.join(30)
        return sum(worker.is_alive() for worker in workers)
""")


class Matcher:
    def __call__(self, frame, event, arg, context):
        context["seen"] = context.get("seen", 0) + 1
        return True


def plugin_descriptions(boundaries=False):
    """Plugins with every kind of callable and context; with `boundaries`, each test_case
    call starts a test and each return ends it."""

    def process(frame, event, arg, context):
        out = {"value": repr(arg)[:20]}
        if boundaries:
            out["type"] = "start_test" if event == "call" else "end_test"
        return out

    return [
        {
            "co_names": ["test_case"],
            "path_fragment": "app/",
            "call_type": "t_call",
            "return_type": "t_return",
            "subtype": "plain",
            "call": Matcher(),
            "process": process,
            "build_context": lambda config: {"n": [1]},
        },
        {
            "co_names": ["leaf"],
            "path_fragment": "app/",
            "call_type": "l_call",
            "return_type": "l_return",
            "events": ["return"],
        },
    ]


def record_count(document):
    doc = msgpack.unpackb(document, strict_map_key=False)
    return len(doc["frames_of_interest"]) + sum(len(v) for v in doc["frames"].values())


def hook_on(native):
    """Installs the hook of an existing profiler object on the calling thread."""
    native.register_threading_profiler(None, None, None)


# --- Flat under repetition ---------------------------------------------------------------


def test_registering_and_dropping_profilers_is_flat(recording, monkeypatch, sarv_warnings):
    monkeypatch.setattr(recording.companion.plugins, "load_plugin_data", lambda config: plugin_descriptions())
    ns = recording.module(PROGRAM)
    volume = per_round()

    def work(number):
        total = 0
        for _ in range(10):
            _, trace, profiler = recording.run(ns["run"], 2, config={"threading": True})
            assert any(r["type"] == "t_call" for r in trace.records)
            total += len(trace.document)
        volume[number] = total

    trend = measure(work)
    trend.show("registering and dropping", profilers=10 * ROUNDS, trace_bytes_per_round=volume[ROUNDS])
    trend.assert_flat(volume[ROUNDS])
    assert sarv_warnings.count == 0


def test_recording_many_events_is_flat(recording, sarv_warnings):
    """One profiler for the whole run: its per-thread tables are bounded by the frame
    addresses in use, and every build takes all records."""
    ns = recording.module(PROGRAM)
    profiler = recording.profiler({})
    sarv._sarv.register_profiler(profiler)
    sarv._sarv.register_noop_profiler()
    native = profiler.rust_profiler
    records, volume = per_round(), per_round()

    def work(number):
        hook_on(native)
        try:
            ns["run"](60)
        finally:
            sarv._sarv.register_noop_profiler()
        document = native.build_trace()
        records[number], volume[number] = record_count(document), len(document)

    trend = measure(work)
    trend.show("recording", events_per_round=records[ROUNDS], trace_bytes_per_round=volume[ROUNDS])
    assert records[ROUNDS] > 1000 and set(records[1:]) == {records[ROUNDS]}
    trend.assert_flat(volume[ROUNDS])
    assert sarv_warnings.count == 0


def test_threads_coming_and_going_are_flat(recording, sarv_warnings):
    """Threads that end leave their per-thread state with the profiler until it dies."""
    ns = recording.module(PROGRAM)
    volume = per_round()

    def work(number):
        (alive, trace, profiler) = recording.run(ns["run_threads"], 6, 3, config={"threading": True})
        assert alive == 0 and len(trace.threads) == 6
        volume[number] = len(trace.document)

    trend = measure(work)
    trend.show("threads", threads=6 * ROUNDS, trace_bytes_per_round=volume[ROUNDS])
    trend.assert_flat(volume[ROUNDS])
    assert sarv_warnings.count == 0


def test_failing_saves_and_builds_are_flat(recording, monkeypatch, sarv_warnings):
    """Saves that raise (called from Python, and at test boundaries inside the hook) and
    builds that fail keep their records for the next attempt and leak nothing."""
    ns = recording.module(PROGRAM)
    failed = [0]

    def failing_save(db_path, trace_id, **kwargs):
        failed[0] += 1
        raise OSError("disk full")

    monkeypatch.setattr(
        recording.companion.plugins, "load_plugin_data", lambda config: plugin_descriptions(boundaries=True)
    )
    monkeypatch.setattr(recording.companion.db, "save_trace_in_sqlite", failing_save)
    version = recording.companion.version
    monkeypatch.setattr(version, "__version__", "1.0")  # restored after the test
    volume = per_round()

    def work(number):
        profiler = recording.profiler({}, one_trace_per_test=True)
        sarv._sarv.register_profiler(profiler)
        try:
            ns["run"](20)  # each test_case return ends a test, whose save fails inside the hook
        finally:
            sarv._sarv.register_noop_profiler()
        native = profiler.rust_profiler
        with pytest.raises(OSError, match="disk full"):
            native.save_request_in_db()
        version.__version__ = 12
        with pytest.raises(TypeError):
            native.build_trace()
        version.__version__ = "1.0"
        document = native.build_trace()
        volume[number] = len(document)
        assert record_count(document) > 0  # the failed save and build kept the last test's records
        assert record_count(native.build_trace()) == 0

    trend = measure(work)
    trend.show("failing saves and builds", failed_saves=failed[0], trace_bytes_per_round=volume[ROUNDS])
    assert failed[0] == ROUNDS * 21
    assert sarv_warnings.count == ROUNDS * 20  # every failed save at a boundary is reported
    trend.assert_flat(volume[ROUNDS])


def test_failing_plugins_and_serialiser_are_flat(recording, monkeypatch, sarv_warnings):
    ns = recording.module(PROGRAM)

    def raising_call(frame, event, arg, context):
        raise RuntimeError("predicate broke")

    def list_process(frame, event, arg, context):
        return [1, 2, 3]

    def none_call(frame, event, arg, context):
        return None

    monkeypatch.setattr(
        recording.companion.plugins,
        "load_plugin_data",
        lambda config: [
            {"co_names": ["leaf"], "path_fragment": "", "call_type": "a", "return_type": "b", "call": raising_call},
            {"co_names": ["leaf"], "path_fragment": "", "call_type": "a", "return_type": "b", "process": list_process},
            {"co_names": ["branch"], "path_fragment": "", "call_type": "a", "return_type": "b", "call": none_call},
        ],
    )

    def picky_dump(obj):
        if isinstance(obj, dict) and "payload" in obj:
            raise ValueError("cannot encode a payload")
        return msgpack.packb(obj, default=repr)

    monkeypatch.setattr(recording.companion.serialize, "dump_msgpack", picky_dump)
    volume, reported = per_round(), per_round()

    def work(number):
        before = sarv_warnings.count
        _, trace, _ = recording.run(ns["run"], 10)
        reported[number] = sarv_warnings.count - before
        volume[number] = len(trace.document)
        assert trace.named(trace.records, "leaf") and not any(r["type"] != "frame" for r in trace.records)

    trend = measure(work)
    trend.show(
        "failing plugins and serialiser", warnings_per_round=reported[ROUNDS], trace_bytes_per_round=volume[ROUNDS]
    )
    # Per test_case: 9 leaf activations, whose 18 events fail in 2 plugins each and whose 9
    # returns (the locals hold the payload) fail to encode; 6 branch events fail in 1 plugin.
    assert set(reported[1:]) == {10 * (18 * 2 + 9 + 6)}
    trend.assert_flat(volume[ROUNDS])


# --- What a profiler holds, and when it lets go ------------------------------------------

HOLDER = textwrap.dedent("""\
    import weakref

    class Marker:
        pass

    REFS = []

    def make(n):
        local = Marker()
        REFS.append(weakref.ref(local))
        result = Marker()
        REFS.append(weakref.ref(result))
        return result

    def use(n):
        for i in range(n):
            make(i)
        return n

    def stopped_inside(stop, *held):
        # Recording ends while this activation runs: it stays on the profiler's call stack.
        local = Marker()
        REFS.append(weakref.ref(local))
        stop()
        return held
""")


def test_values_of_finished_calls_are_not_kept(recording):
    """Returned values and the locals of activations that have returned die with the
    program's last reference, while the profiler lives on and holds their records."""
    ns = recording.module(HOLDER)
    profiler = recording.profiler({})
    sarv._sarv.register_profiler(profiler)
    try:
        ns["use"](20)
    finally:
        sarv._sarv.register_noop_profiler()
    gc.collect()
    assert len(ns["REFS"]) == 40 and all(ref() is None for ref in ns["REFS"])
    trace = recording.trace(profiler)
    assert [r["event"] for r in trace.named(trace.records, "make")] == ["call", "return"] * 20


@pytest.mark.parametrize("cycle", ["none", "frame locals", "plugin context", "plugin callable"])
def test_dropped_profiler_releases_its_frames(recording, monkeypatch, cycle):
    """Activations still running when recording stopped stay on the profiler's per-thread
    stacks, by design, until the profiler object dies; then their frames go, even when
    they (or a plugin) refer back to the profiler, forming a reference cycle."""
    holder = {}
    if cycle == "plugin context":
        monkeypatch.setattr(
            recording.companion.plugins,
            "load_plugin_data",
            lambda config: [
                {
                    "co_names": ["x"],
                    "path_fragment": "",
                    "call_type": "a",
                    "return_type": "b",
                    "build_context": lambda config: {"profiler": holder["profiler"]},
                }
            ],
        )
    elif cycle == "plugin callable":
        monkeypatch.setattr(
            recording.companion.plugins,
            "load_plugin_data",
            lambda config: [
                {
                    "co_names": ["x"],
                    "path_fragment": "",
                    "call_type": "a",
                    "return_type": "b",
                    "call": holder["profiler"].__call__,
                }
            ],
        )
    ns = recording.module(HOLDER)
    profiler = holder["profiler"] = recording.profiler({})
    sarv._sarv.register_profiler(profiler)
    held = (profiler,) if cycle == "frame locals" else ()
    ns["stopped_inside"](sarv._sarv.register_noop_profiler, *held)
    del held
    (local,) = ns["REFS"]
    gc.collect()
    assert local() is not None  # kept by the profiler's call stack while the profiler lives

    alive = weakref.ref(profiler)
    holder.clear()
    del profiler
    gc.collect()
    assert alive() is None
    assert local() is None


def test_dropped_profiler_releases_frames_of_ended_threads(recording):
    ns = recording.module(HOLDER)
    profiler = recording.profiler({"threading": True})
    sarv._sarv.register_profiler(profiler)
    try:

        def body():
            ns["use"](1)  # reaches the hook; the thread is switched to the profiler
            ns["stopped_inside"](sarv._sarv.register_noop_profiler, profiler)  # noqa: F821 (deleted later)

        worker = threading.Thread(target=body)
        worker.start()
        worker.join(30)
        assert not worker.is_alive()
    finally:
        sarv._sarv.register_noop_profiler()
        threading.setprofile(None)
    local = ns["REFS"][-1]
    gc.collect()
    assert local() is not None
    trace = recording.trace(profiler)
    assert [r["event"] for r in trace.named(trace.threads[worker.native_id], "stopped_inside")] == ["call"]
    del profiler, body, trace
    gc.collect()
    assert local() is None
