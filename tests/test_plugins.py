"""Plugins: loading descriptions from the companion package, and the records that matching
calls and returns produce."""

import logging
import re
import sys
import textwrap
import threading
import types

import msgpack
import pytest

import sarv._sarv

FRAME_ID = re.compile(r"frm_[0-9ABCDEFGHJKMNPQRSTVWXYZ]{26}")
TRACE_ID = re.compile(r"trc_[0-9ABCDEFGHJKMNPQRSTVWXYZ]{26}")
CROCKFORD = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"
DELETE = object()

PROGRAM = textwrap.dedent("""\
    import json
    import time

    def work(n):
        return n + 1

    def twice():
        return work(1) + work(2)  # work calls

    def get():
        return "g"

    def post():
        return "p"

    def a():
        return "a"

    def b():
        return "b"

    def ab():
        return "ab"

    def run_all():
        return get() + post() + a() + b() + ab()

    def serialize():
        return json.dumps([1])  # dumps

    def slow():
        time.sleep(0.01)
        return time.time()

    def leaf():
        return 0

    def test_case():
        return leaf()

    def session():
        leaf()
        test_case()
        return leaf()
""")


def description(**changes):
    desc = {"co_names": ["work"], "path_fragment": "app/", "call_type": "work_call", "return_type": "work_return"}
    for key, value in changes.items():
        if value is DELETE:
            del desc[key]
        else:
            desc[key] = value
    return desc


@pytest.fixture
def with_plugins(recording, monkeypatch):
    """Runs `target` from the test program with the given plugin descriptions loaded."""
    program = recording.module(PROGRAM)

    def run(descriptions, target, config=None, **attrs):
        monkeypatch.setattr(recording.companion.plugins, "load_plugin_data", lambda config: descriptions)
        return recording.run(program[target], config=config, **attrs)

    run.program = program
    return run


def plugin_records(records):
    return [r for r in records if "path" not in r]


def kinds(records):
    return [r["type"] if "path" not in r else (r["co_name"], r["event"]) for r in records]


def site(record):
    s = record["user_code_call_site"]
    return None if s is None else (s["call_frame_id"], s["line_number"])


def raise_value_error(config):
    raise ValueError("bad context")


@pytest.mark.parametrize(
    "descriptions, error, message",
    [
        ([description(co_names=DELETE)], KeyError, "co_names"),
        ([description(path_fragment=DELETE)], KeyError, "path_fragment"),
        ([description(call_type=DELETE)], KeyError, "call_type"),
        ([description(return_type=DELETE)], KeyError, "return_type"),
        ([description(), description(return_type=DELETE)], KeyError, "return_type"),
        ([description(subtype=None)], TypeError, "NoneType"),
        ([description(path_fragment=3)], TypeError, "'int' object cannot be converted to 'PyString'"),
        ([description(co_names=["work", 3])], TypeError, "int"),
        ([description(events="return")], TypeError, "Can't extract `str` to `Vec`"),
        ([description(build_context=lambda config: [1])], TypeError, "'list' object cannot be converted to 'PyDict'"),
        ([description(build_context=raise_value_error)], ValueError, "bad context"),
        ([["work"]], TypeError, "'list' object cannot be converted to 'PyDict'"),
    ],
    ids=[
        "co_names",
        "path_fragment",
        "call_type",
        "return_type",
        "second",
        "subtype-none",
        "fragment-int",
        "name-int",
        "events-str",
        "context-list",
        "context-raises",
        "not-a-dict",
    ],
)
def test_loading_errors_stop_registration(recording, monkeypatch, descriptions, error, message):
    monkeypatch.setattr(recording.companion.plugins, "load_plugin_data", lambda config: descriptions)
    profiler = recording.profiler()
    with pytest.raises(error) as info:
        sarv._sarv.register_profiler(profiler)
    assert message in str(info.value)
    assert sys.getprofile() is None and not hasattr(profiler, "rust_profiler")


@pytest.mark.parametrize(
    "optional",
    [
        {},
        {"subtype": DELETE, "call": None, "process": None, "events": None, "build_context": None},
    ],
)
def test_optional_keys_absent_or_none_load(with_plugins, optional):
    desc = description()
    desc.update({k: v for k, v in optional.items() if v is not DELETE})
    _, trace, _ = with_plugins([desc], "twice")
    assert [r["type"] for r in plugin_records(trace.records)] == ["work_call", "work_return"] * 2
    assert all("subtype" not in r for r in plugin_records(trace.records))


def test_build_context_called_once_per_description(recording, monkeypatch):
    calls = []
    descriptions = [
        description(co_names=[], build_context=lambda config: calls.append(config) or {}),
        description(co_names=["get", "post"], build_context=lambda config: calls.append(config) or {}),
    ]
    monkeypatch.setattr(recording.companion.plugins, "load_plugin_data", lambda config: descriptions)
    profiler = recording.profiler({"marker": 1})
    sarv._sarv.register_profiler(profiler)
    sarv._sarv.register_noop_profiler()
    assert len(calls) == 2 and all(c is profiler.config for c in calls)


def test_names_and_shared_context(with_plugins):
    seen = []

    def call(frame, event, arg, context):
        seen.append((frame.f_code.co_name, event, arg, id(context)))
        return True

    def process(frame, event, arg, context):
        context["count"] += 1
        return {"count": context["count"]}

    descriptions = [
        description(co_names=["get", "post"], build_context=lambda config: {"count": 0}, call=call, process=process),
        description(co_names="ab", call_type="letter", return_type="letter_end"),
    ]
    result, trace, _ = with_plugins(descriptions, "run_all")
    assert result == "gpabab"
    assert [(name, event, arg) for name, event, arg, _ in seen] == [
        ("get", "call", None),
        ("get", "return", "g"),
        ("post", "call", None),
        ("post", "return", "p"),
    ]
    assert len({ctx for *_, ctx in seen}) == 1
    records = plugin_records(trace.records)
    assert [r.get("count") for r in records if r["type"].startswith("work")] == [1, 2, 3, 4]
    # A str of names is taken character by character: "a" and "b" get processors, "ab" none.
    letters = [r for r in records if r["type"].startswith("letter")]
    assert [r["type"] for r in letters] == ["letter", "letter_end"] * 2
    owner = trace.records[0]
    assert owner["co_name"] == "run_all"
    assert {site(r)[0] for r in letters if r["type"] == "letter"} == {owner["frame_id"]}


def test_each_processor_keeps_its_own_ids(with_plugins):
    descriptions = [
        description(call_type="A_call", return_type="A_return"),
        description(call_type="B_call", return_type="B_return"),
    ]
    _, trace, _ = with_plugins(descriptions, "twice")
    activation = ["A_call", "B_call", ("work", "call"), ("work", "return"), "B_return", "A_return"]
    assert kinds(trace.records) == [("twice", "call")] + activation * 2 + [("twice", "return")]
    for first in (1, 7):
        a_call, b_call, frame_call, frame_ret, b_ret, a_ret = trace.records[first : first + 6]
        assert a_call["frame_id"] == a_ret["frame_id"] and b_call["frame_id"] == b_ret["frame_id"]
        assert len({a_call["frame_id"], b_call["frame_id"], frame_call["frame_id"]}) == 3
        assert all(FRAME_ID.fullmatch(r["frame_id"]) for r in (a_call, b_call))
        # Both ends of a plugin's activation name the caller, as the frame's call does.
        caller = (trace.records[0]["frame_id"], site(frame_call)[1])
        assert site(frame_call)[0] == caller[0]
        assert [site(r) for r in (a_call, b_call, b_ret, a_ret)] == [caller] * 4
    assert trace.records[1]["frame_id"] != trace.records[7]["frame_id"]


def ulid_millis(frame_id):
    value = 0
    for char in frame_id[4:14]:
        value = value * 32 + CROCKFORD.index(char)
    return value


@pytest.mark.parametrize("events, produced", [(["return"], ["work_return"]), (["call"], ["work_call"])])
def test_events_limit_what_a_processor_produces(with_plugins, events, produced):
    desc = description(co_names=["slow"], events=events)
    finished, trace, _ = with_plugins([desc], "slow")
    records = plugin_records(trace.records)
    assert [r["type"] for r in records] == produced
    if events == ["return"]:
        # No id was stored at the call: the return's id is made at the return itself.
        assert ulid_millis(records[0]["frame_id"]) >= int(finished * 1000)


@pytest.mark.parametrize(
    "answer, recorded, reported",
    [
        (True, True, False),
        (False, False, False),
        (None, False, True),
        (1, False, True),
    ],
)
def test_call_predicate_answers(with_plugins, caplog, answer, recorded, reported):
    caplog.set_level(logging.WARNING, logger="sarv")
    descriptions = [
        description(call_type="checked", return_type="checked_end", call=lambda *args: answer),
        description(call_type="plain", return_type="plain_end"),
    ]
    _, trace, _ = with_plugins(descriptions, "twice")
    types_seen = [r["type"] for r in plugin_records(trace.records)]
    assert ("checked" in types_seen) is recorded
    assert types_seen.count("plain") == 2  # a failing processor does not stop the next one
    reports = [r for r in caplog.records if r.name == "sarv"]
    if reported:
        assert [(r.args[1], r.args[2]) for r in reports] == [("work", "call"), ("work", "return")] * 2
        assert all(isinstance(r.exc_info[1], TypeError) for r in reports)
    else:
        assert reports == []


@pytest.mark.parametrize(
    "result, merged",
    [
        ([("extra", 1)], None),
        (types.MappingProxyType({"extra": 1}), 1),
        ({"extra": 2}, 2),
    ],
)
def test_process_result_must_be_a_mapping(with_plugins, caplog, result, merged):
    caplog.set_level(logging.WARNING, logger="sarv")
    _, trace, _ = with_plugins([description(process=lambda *args: result)], "twice")
    records = plugin_records(trace.records)
    reports = [r for r in caplog.records if r.name == "sarv"]
    if merged is None:
        assert records == [] and len(reports) == 4
        assert all(isinstance(r.exc_info[1], TypeError) and "Mapping" in str(r.exc_info[1]) for r in reports)
        assert len(trace.records) == 6  # the frames themselves are still recorded
    else:
        assert reports == [] and [r["extra"] for r in records] == [merged] * 4


@pytest.mark.parametrize("subtype", ["sub", None])
def test_plugin_record_layout(with_plugins, recording, subtype):
    extra = {"subtype": subtype} if subtype else {}
    desc = description(process=lambda *args: {"detail": [1, 2], "type": "custom"}, **extra)
    _, trace, _ = with_plugins([desc], "twice")
    twice_id = trace.records[0]["frame_id"]
    line = recording.line(PROGRAM, "# work calls")
    plugin_raw = [raw for raw in trace.raw if b"\xa4path" not in raw]
    assert len(plugin_raw) == 4
    for raw in plugin_raw:
        pairs = msgpack.unpackb(raw, object_pairs_hook=list)
        keys = [key for key, _ in pairs]
        expected = ["frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type"]
        assert keys == expected + (["subtype"] if subtype else []) + ["detail"]
        record = msgpack.unpackb(raw)
        assert record["type"] == "custom" and record["detail"] == [1, 2]
        assert record.get("subtype") == subtype
        assert record["thread"] == threading.current_thread().name
        assert record["thread_native_id"] == threading.get_native_id()
        assert isinstance(record["timestamp"], float) and FRAME_ID.fullmatch(record["frame_id"])
    calls = [r for r in plugin_records(trace.records)][0::2]
    assert [site(r) for r in calls] == [(twice_id, line)] * 2


def test_plugin_records_name_the_thread_as_it_is_now(with_plugins):
    # Frame records keep the name the thread had at its first record; plugin records ask
    # threading at each record.
    thread = threading.current_thread()
    original = thread.name
    names = iter(["renamed-1", "renamed-2", "renamed-3", "renamed-4"])

    def rename(*args):
        thread.name = next(names)
        return {}

    try:
        _, trace, _ = with_plugins([description(process=rename)], "twice")
    finally:
        thread.name = original
    assert [r["thread"] for r in plugin_records(trace.records)] == [original, "renamed-1", "renamed-2", "renamed-3"]
    assert {r["thread"] for r in trace.records if "path" in r} == {original}


def test_plugin_records_take_the_name_a_thread_class_gives(with_plugins):
    # The core reads a thread's name without threading's Python code only where that gives
    # the same answer: a Thread class with a `name` of its own is asked.
    thread = threading.current_thread()
    kind = type(thread)
    thread.__class__ = type("Named", (kind,), {"name": property(lambda self: "named-by-its-class")})
    try:
        _, trace, _ = with_plugins([description()], "twice")
    finally:
        thread.__class__ = kind
    assert [r["thread"] for r in plugin_records(trace.records)] == ["named-by-its-class"] * 4
    assert {r["thread_native_id"] for r in plugin_records(trace.records)} == {threading.get_native_id()}


@pytest.mark.parametrize("fragment, expected", [("json/", ["dumps_call", "dumps_return"]), ("nomatch/", [])])
def test_library_frames_still_produce_plugin_records(with_plugins, recording, fragment, expected):
    desc = description(co_names=["dumps"], path_fragment=fragment, call_type="dumps_call", return_type="dumps_return")
    result, trace, _ = with_plugins([desc], "serialize")
    assert result == "[1]"
    assert kinds(trace.records) == [("serialize", "call")] + expected + [("serialize", "return")]
    owner = trace.records[0]["frame_id"]
    line = recording.line(PROGRAM, "# dumps")
    assert [site(r) for r in plugin_records(trace.records)] == [(owner, line)] * len(expected)


def test_lightweight_repr_applies_to_plugin_records(with_plugins, monkeypatch, recording):
    serialize = recording.companion.serialize
    monkeypatch.setattr(serialize, "dump_msgpack", lambda obj: msgpack.packb("full"))
    monkeypatch.setattr(
        serialize,
        "dump_msgpack_lightweight_repr",
        lambda obj: msgpack.packb(
            {k: v for k, v in obj.items() if k == "type"} if isinstance(obj, dict) and "type" in obj else "light"
        ),
    )
    _, trace, _ = with_plugins([description()], "twice", config={"lightweight_repr": True})
    assert plugin_records(trace.records) == [{"type": "work_call"}, {"type": "work_return"}] * 2


def test_boundaries_from_plugins_cut_one_trace_per_test(with_plugins, recording):
    def boundary(frame, event, arg, context):
        return {"type": "start_test" if event == "call" else "end_test"}

    desc = description(co_names=["test_case"], process=boundary)
    _, trace, profiler = with_plugins([desc], "session", one_trace_per_test=True)
    assert len(recording.saved) == 1
    db_path, trace_id, kwargs = recording.saved[0]
    assert db_path == profiler.db_path and TRACE_ID.fullmatch(trace_id) and trace_id != profiler.trace_id
    assert list(kwargs) == ["timeout", "msgpack"] and kwargs["timeout"] == 60
    saved = msgpack.unpackb(kwargs["msgpack"], strict_map_key=False)
    assert saved["trace_id"] == trace_id
    # The new trace starts with the boundary record and ends with it; earlier records are gone.
    assert kinds(saved["frames_of_interest"]) == [
        "start_test",
        ("test_case", "call"),
        ("leaf", "call"),
        ("leaf", "return"),
        ("test_case", "return"),
        "end_test",
    ]
    assert trace.doc["trace_id"] == trace_id
    assert kinds(trace.records) == [("leaf", "call"), ("leaf", "return"), ("session", "return")]
