"""Handing batches to the frame buffers: routing by thread, and the test boundaries of
one-trace-per-test mode, driven with hand-made batches."""

import re
import threading

import msgpack
import pytest

import sarv._sarv_testing as testing

TRACE_ID = re.compile(r"trc_[0-9ABCDEFGHJKMNPQRSTVWXYZ]{26}")


def encoded(*names):
    return [msgpack.packb(name) for name in names]


def decoded(records):
    return [msgpack.unpackb(r) for r in records]


@pytest.fixture
def buffers(recording):
    """Makes profilers of the testing module (hook removed at once) and reads them back."""

    class Buffers:
        def make(self, one_trace_per_test=True, threading_on=False):
            profiler = recording.profiler({"threading": threading_on}, one_trace_per_test=one_trace_per_test)
            testing.register_profiler(profiler)
            testing.register_noop_profiler()
            threading.setprofile(None)
            self.first_trace_id, self.db_path = profiler.trace_id, profiler.db_path
            return profiler.rust_profiler

        @staticmethod
        def push(profiler, event, types, names):
            return testing.push_frames(profiler, event, list(types), encoded(*names))

        @staticmethod
        def state(profiler):
            trace_id, of_interest, per_thread = testing.buffer_state(profiler)
            return trace_id, decoded(of_interest), {tid: decoded(records) for tid, records in per_thread.items()}

        def saves(self):
            out = []
            for db_path, trace_id, kwargs in recording.saved:
                assert db_path == self.db_path and list(kwargs) == ["timeout", "msgpack"]
                assert kwargs["timeout"] == 60
                doc = msgpack.unpackb(kwargs["msgpack"], strict_map_key=False)
                assert doc["trace_id"] == trace_id
                out.append((trace_id, doc["frames_of_interest"], doc["frames"]))
            return out

    return Buffers()


def on_thread(fn):
    """Runs fn on a new thread; returns that thread's native id."""
    out = {}

    def body():
        out["id"] = threading.get_native_id()
        try:
            fn()
        except BaseException as error:  # handed back to the test
            out["error"] = error

    worker = threading.Thread(target=body, daemon=True)
    worker.start()
    worker.join(timeout=30)
    assert not worker.is_alive()
    if "error" in out:
        raise out["error"]
    return out["id"]


def test_empty_batch_stores_nothing_and_needs_no_thread(buffers, monkeypatch):
    p = buffers.make()

    def no_thread():
        raise RuntimeError("current_thread unavailable")

    monkeypatch.setattr(threading, "current_thread", no_thread)
    assert buffers.push(p, "call", [], []) is None
    assert buffers.push(p, "return", [], []) is None
    assert buffers.state(p) == (buffers.first_trace_id, [], {})
    # A non-empty batch needs the thread identity; without it the batch is dropped.
    with pytest.raises(RuntimeError, match="current_thread unavailable"):
        buffers.push(p, "call", ["frame", "end_test"], ["f", "e"])
    assert buffers.state(p) == (buffers.first_trace_id, [], {}) and buffers.saves() == []


@pytest.mark.parametrize(
    "event, types, names, saves, left, new_trace",
    [
        ("return", ["end_test", "frame"], ["e", "f"], [("old", ["old", "f", "e"])], [], False),
        ("return", ["frame", "end_test"], ["f", "e"], [("old", ["old", "e"])], ["f"], False),
        ("call", ["start_test", "frame"], ["s", "f"], [], ["s", "f"], True),
        ("call", ["frame", "start_test", "frame"], ["f1", "s", "f2"], [], ["s", "f2"], True),
        (
            "call",
            ["frame", "end_test", "frame", "end_test"],
            ["f1", "e1", "f2", "e2"],
            [("old", ["old", "f1", "e1"]), ("old", ["f2", "e2"])],
            [],
            False,
        ),
        ("call", ["end_test", "end_test"], ["e1", "e2"], [("old", ["old", "e1"]), ("old", ["e2"])], [], False),
        (
            "call",
            ["start_test", "frame", "end_test", "frame"],
            ["s", "f1", "e", "f2"],
            [("new", ["s", "f1", "e"])],
            ["f2"],
            True,
        ),
        ("call", ["end_test", "start_test", "frame"], ["e", "s", "f"], [("old", ["old", "e"])], ["s", "f"], True),
        ("return", ["start_test", "end_test", "frame"], ["s", "e", "f"], [("old", ["old", "f", "e"])], ["s"], True),
        ("call", ["frame", "other"], ["f", "x"], [], ["old", "f", "x"], False),
        ("return", ["a", "b", "frame"], ["a", "b", "f"], [], ["old", "f", "b", "a"], False),
    ],
)
def test_test_boundaries(buffers, event, types, names, saves, left, new_trace):
    p = buffers.make()
    buffers.push(p, "call", ["frame"], ["old"])
    buffers.push(p, event, types, names)
    trace_id, of_interest, per_thread = buffers.state(p)
    assert of_interest == left and per_thread == {}
    assert TRACE_ID.fullmatch(trace_id) and (trace_id != buffers.first_trace_id) is new_trace
    label = {"old": buffers.first_trace_id, "new": trace_id}
    assert buffers.saves() == [(label[which], records, {}) for which, records in saves]


def test_consecutive_starts_each_open_a_new_trace(buffers):
    p = buffers.make()
    ids = [buffers.first_trace_id]
    for n in (1, 2):
        buffers.push(p, "call", ["start_test", "frame"], [f"s{n}", f"f{n}"])
        ids.append(buffers.state(p)[0])
    assert len(set(ids)) == 3 and all(TRACE_ID.fullmatch(i) for i in ids)
    assert buffers.state(p)[1] == ["s2", "f2"] and buffers.saves() == []


def test_boundaries_are_plain_records_without_one_trace_per_test(buffers):
    p = buffers.make(one_trace_per_test=False)
    buffers.push(p, "call", ["start_test", "frame"], ["s", "f"])
    buffers.push(p, "return", ["end_test", "frame"], ["e", "r"])
    assert buffers.state(p) == (buffers.first_trace_id, ["s", "f", "r", "e"], {})
    assert buffers.saves() == []


def test_failed_save_keeps_the_trace(buffers, recording, monkeypatch):
    p = buffers.make()
    buffers.push(p, "call", ["frame"], ["old"])

    def failing(db_path, trace_id, **kwargs):
        raise OSError("disk full")

    monkeypatch.setattr(recording.companion.db, "save_trace_in_sqlite", failing)
    with pytest.raises(OSError, match="disk full"):
        buffers.push(p, "call", ["frame", "end_test", "frame"], ["f1", "e", "f2"])
    # Records taken for the failed save are back; the rest of the batch is dropped.
    assert buffers.state(p) == (buffers.first_trace_id, ["old", "f1", "e"], {})
    monkeypatch.setattr(
        recording.companion.db,
        "save_trace_in_sqlite",
        lambda db_path, trace_id, **kwargs: recording.saved.append((db_path, trace_id, kwargs)),
    )
    p.save_request_in_db()
    assert buffers.saves() == [(buffers.first_trace_id, ["old", "f1", "e"], {})]


@pytest.mark.parametrize("threading_on", [True, False])
def test_records_are_routed_by_thread(buffers, threading_on):
    p = buffers.make(threading_on=threading_on)
    buffers.push(p, "call", ["frame"], ["m1"])
    worker = on_thread(lambda: buffers.push(p, "call", ["frame", "frame"], ["w1", "w2"]))
    buffers.push(p, "return", ["frame"], ["m2"])
    _, of_interest, per_thread = buffers.state(p)
    if threading_on:
        assert of_interest == ["m1", "m2"] and per_thread == {worker: ["w1", "w2"]}
    else:
        assert of_interest == ["m1", "w1", "w2", "m2"] and per_thread == {}


def test_end_test_on_a_worker_saves_every_thread(buffers):
    p = buffers.make(threading_on=True)
    buffers.push(p, "call", ["frame"], ["m1"])
    worker = on_thread(
        lambda: (
            buffers.push(p, "call", ["frame"], ["w1"]),
            buffers.push(p, "return", ["end_test", "frame"], ["e", "w2"]),
        )
    )
    assert buffers.saves() == [(buffers.first_trace_id, ["m1"], {worker: ["w1", "w2", "e"]})]
    # The worker's list is left in place, empty, after its records were saved.
    assert buffers.state(p) == (buffers.first_trace_id, [], {worker: []})
    doc = msgpack.unpackb(p.build_trace(), strict_map_key=False)
    assert doc["frames"] == {worker: []} and doc["main_thread_id"] == threading.main_thread().native_id
