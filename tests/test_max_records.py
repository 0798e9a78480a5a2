"""max_records: a cap on the records a trace holds, as a ring of the most recent or a stop."""

import logging
import threading

import pytest

import sarv._sarv


def echo(x):
    return x


def calls(n, size=0):
    pad = "p" * size
    for i in range(n):
        echo((i, pad))


def values(records):
    return [
        r["locals"]["x"][0]
        for r in records
        if r.get("type") == "frame" and r["co_name"] == "echo" and r["event"] == "call"
    ]


@pytest.mark.parametrize("mode", ["ring", "stop"])
def test_the_cap_keeps_the_newest_or_the_first_records_and_says_so(recording, caplog, mode):
    caplog.set_level(logging.WARNING, logger="sarv")
    _, trace, profiler = recording.run(calls, 1000, config={"max_records": 101, "max_records_mode": mode})
    marker, *records = trace.records
    # calls() itself makes a call and a return record around the 2000 of echo.
    assert marker == {"type": "records_dropped", "dropped": 2002 - 101, "max_records": 101, "mode": mode}
    if mode == "stop":
        # Past the cap the rest is left out unrecorded: the calls of echo after the 51st
        # (whose call record was the one refused) are counted, not encoded.
        left_out, *records = records
        assert left_out["type"] == "calls_left_out"
        assert [(f["co_name"], f["calls"]) for f in left_out["functions"]] == [("echo", 949)]
    assert len(records) == 101
    kept = values(records)
    assert kept == (list(range(950, 1000)) if mode == "ring" else list(range(0, 50)))
    warnings = [r.getMessage() for r in caplog.records if "max_records" in r.getMessage()]
    assert warnings == [
        "sarv: max_records (101) reached: "
        + ("only the most recent 101 records are kept" if mode == "ring" else "no more records are kept")
    ]
    # The next trace starts afresh.
    assert recording.trace(profiler).records == []


def test_a_ring_over_many_chunks_keeps_exactly_the_newest_and_a_failed_save_keeps_them(recording, monkeypatch):
    config = {"max_records": 3000, "max_records_mode": "ring"}
    profiler = recording.profiler(config)
    sarv._sarv.register_profiler(profiler)
    try:
        calls(20000, size=600)  # records of about 700 bytes: many chunks given back
    finally:
        sarv._sarv.register_noop_profiler()
        threading.setprofile(None)

    def failing(*args, **kwargs):
        raise OSError("disk full")

    monkeypatch.setattr(recording.companion.db, "save_trace_in_sqlite", failing)
    with pytest.raises(OSError):
        profiler.rust_profiler.save_request_in_db()
    marker, *records = recording.trace(profiler).records
    assert (marker["type"], marker["dropped"]) == ("records_dropped", 40002 - 3000)
    assert len(records) == 3000
    assert values(records) == list(range(18501, 20000))  # and the return of 18500


def test_threads_share_the_cap(recording):
    config = {"max_records": 500, "threading": True}

    def work():
        worker = threading.Thread(target=calls, args=(2000,))
        worker.start()
        worker.join()
        calls(100)

    _, trace, _ = recording.run(work, config=config)
    marker = trace.records[0]
    held = len(trace.records) - 1 + sum(len(v) for v in trace.threads.values())
    assert held == 500 and marker["type"] == "records_dropped"
    # The main thread's last calls are among the newest kept.
    assert values(trace.records)[-1] == 99


def test_configuration_is_checked():
    from sarv.config import ConfigError, load_config

    assert load_config({"max_records": 10})["max_records_mode"] == "stop"
    with pytest.raises(ConfigError, match="max_records: expected a whole number"):
        load_config({"max_records": -1})
    with pytest.raises(ConfigError, match='max_records_mode: expected "ring" or "stop"'):
        load_config({"max_records_mode": "oldest"})


def _extend(chain, item):
    return chain + [item]


@pytest.mark.parametrize("mode", ["ring", "stop"])
def test_a_cap_on_bytes_bounds_a_test_of_growing_values_and_keeps_its_markers(tmp_path, mode):
    import msgpack

    from sarv import db, pytest_plugin
    from sarv.config import load_config
    from sarv.profiler import Profiler

    path = str(tmp_path / "t.db")
    config = load_config({"db_path": path, "max_bytes": "64K", "max_records_mode": mode})
    config["plugins"] = pytest_plugin.plugin_declarations()
    profiler = Profiler(config, source="pytest")
    with profiler:
        pytest_plugin._sarv_test_start("t.py::test_grow")
        chain = []
        for i in range(300):  # each call's record holds the chain so far: megabytes in all
            chain = _extend(chain, "v%03d" % i * 20)
        pytest_plugin._sarv_test_end("t.py::test_grow", "passed")
    start, note, *records, end = db.load_trace_document(path, profiler.trace_id)["frames_of_interest"]
    left_out = records.pop(0) if mode == "stop" else None  # the calls past the cap, counted
    if left_out is not None:
        assert left_out["type"] == "calls_left_out"
        assert sum(f["calls"] for f in left_out["functions"]) == 300 - sum(r["event"] == "call" for r in records)
    assert (start["type"], start["node_id"]) == ("start_test", "t.py::test_grow")
    assert (end["type"], end["node_id"], end["outcome"]) == ("end_test", "t.py::test_grow", "passed")
    assert note == {
        "type": "records_dropped",
        "dropped": 600 - len(records),
        "max_records": 0,
        "max_bytes": 65536,
        "mode": mode,
    }
    sizes = [len(msgpack.packb(r)) for r in records]
    held = sum(sizes) + len(msgpack.packb(end))
    if mode == "ring":
        assert 65536 - max(sizes) < held <= 65536
    else:
        assert 65536 - max(sizes) < held - len(msgpack.packb(end)) <= 65536
    items = [r["locals"]["item"] for r in records if r["event"] == "call"]
    assert items[-1 if mode == "ring" else 0] == ("v299" if mode == "ring" else "v000") * 20
    [summary] = db.list_traces(path)
    assert (summary.test_name, summary.outcome, profiler.dropped_records) == (
        "t.py::test_grow",
        "passed",
        note["dropped"],
    )


def test_sizes_are_read_in_powers_of_1024():
    from sarv.config import ConfigError, load_config, parse_size

    assert [parse_size(v) for v in (0, 123, "512", "4K", "4kb", "2 GiB", "1.5m", " 3 T ")] == [
        0,
        123,
        512,
        4096,
        4096,
        2 << 30,
        3 << 19,
        3 << 40,
    ]
    for bad in ("", "-1", "lots", "1e9", "nan", True, 1.5, -4):
        with pytest.raises(ValueError):
            parse_size(bad)
    assert load_config({"max_bytes": "1M"})["max_bytes"] == 1 << 20
    assert load_config({"max_bytes": 0})["max_bytes"] == 0
    with pytest.raises(ConfigError, match="max_bytes: expected a size"):
        load_config({"max_bytes": "16E"})
