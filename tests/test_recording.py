"""Recording real programs: frame records, frame ids, call sites, qualified names and the
reports of events that could not be recorded."""

import logging
import re
import subprocess
import sys
import textwrap
import threading
import types

import msgpack
import pytest

import sarv._sarv
from conftest import MONITORING
from sarv._sarv_testing import get_qualname

FRAME_ID = re.compile(r"frm_[0-9ABCDEFGHJKMNPQRSTVWXYZ]{26}")
FRAME_KEYS = [
    "path",
    "co_name",
    "qualname",
    "event",
    "frame_id",
    "arg",
    "locals",
    "thread",
    "thread_native_id",
    "timestamp",
    "type",
    "user_code_call_site",
]
VIEWS = "/home/u/project/app/views.py"
LOG_FORMAT = (
    "Unexpected exception in Rust.\n    co_filename: %s\n    co_name: %s\n    event: %s\n    frame locals: %s\n"
)


def events(records):
    return [(r["co_name"], r["event"]) for r in frames(records)]


def named(records, co_name):
    return [r for r in frames(records) if r["co_name"] == co_name]


def frames(records):
    """The frame records (the exception records the sys.monitoring backend writes as soon
    as a recorded call raises are left aside)."""
    return [r for r in records if r["type"] == "frame"]


def site(record):
    s = record["user_code_call_site"]
    return None if s is None else (s["call_frame_id"], s["line_number"])


PROGRAM = textwrap.dedent("""\
    def inner(x):
        y = x + 1
        return y

    def outer():
        a = inner(1)  # first call
        b = inner(2)  # second call
        return a + b
""")


def test_frame_records_of_a_program(recording):
    ns = recording.module(PROGRAM)
    result, trace, _ = recording.run(ns["outer"])
    assert result == 5
    assert trace.threads == {}
    assert events(trace.records) == [
        ("outer", "call"),
        ("inner", "call"),
        ("inner", "return"),
        ("inner", "call"),
        ("inner", "return"),
        ("outer", "return"),
    ]
    for raw in trace.raw:
        assert raw[0] == 0x8C
        assert [key for key, _ in msgpack.unpackb(raw, object_pairs_hook=list)] == FRAME_KEYS
        assert b"\xa4type\xa5frame\xb3user_code_call_site" in raw
    outer_call, in1_call, in1_ret, in2_call, in2_ret, outer_ret = trace.records
    line = lambda marker: recording.line(PROGRAM, marker)  # noqa: E731
    assert [r["path"] for r in trace.records] == [
        f"{VIEWS}:{line('def outer')}",
        f"{VIEWS}:{line('def inner')}",
        f"{VIEWS}:{line('return y')}",
        f"{VIEWS}:{line('def inner')}",
        f"{VIEWS}:{line('return y')}",
        f"{VIEWS}:{line('return a + b')}",
    ]
    assert {r["qualname"] for r in (in1_call, in2_ret)} == {"app.views.inner"}
    assert outer_call["qualname"] == "app.views.outer"
    assert [r["arg"] for r in trace.records] == [None, None, 2, None, 3, 5]
    assert in1_call["locals"] == {"x": 1} and in1_ret["locals"] == {"x": 1, "y": 2}
    assert {r["type"] for r in trace.records} == {"frame"}
    assert {r["thread"] for r in trace.records} == {threading.current_thread().name}
    assert {r["thread_native_id"] for r in trace.records} == {threading.get_native_id()}
    assert all(isinstance(r["timestamp"], float) for r in trace.records)

    # One id per activation, shared by its call and return.
    ids = [r["frame_id"] for r in trace.records]
    assert all(FRAME_ID.fullmatch(i) for i in ids)
    assert ids[0] == ids[5] and ids[1] == ids[2] and ids[3] == ids[4]
    assert len({ids[0], ids[1], ids[3]}) == 3

    # The first record has no recorded caller: nil, the record's last byte.
    assert outer_call["user_code_call_site"] is None and trace.raw[0].endswith(b"\xb3user_code_call_site\xc0")
    assert outer_ret["user_code_call_site"] is None
    first, second = (outer_call["frame_id"], line("first call")), (outer_call["frame_id"], line("second call"))
    assert [site(r) for r in (in1_call, in1_ret, in2_call, in2_ret)] == [first, first, second, second]

    # A frame id's ULID time is the millisecond of its call record's timestamp.
    crockford = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"
    for record in (outer_call, in1_call, in2_call):
        millis = 0
        for symbol in record["frame_id"][4:14]:
            millis = millis * 32 + crockford.index(symbol)
        assert abs(millis - record["timestamp"] * 1000) <= 1


GENERATOR = textwrap.dedent("""\
    def numbers():
        yield 1
        yield 2

    def consume():
        total = 0
        for value in numbers():  # loop
            total += value
        return total
""")


def test_each_generator_resumption_is_a_new_activation(recording):
    ns = recording.module(GENERATOR)
    result, trace, _ = recording.run(ns["consume"])
    assert result == 3
    gen = named(trace.records, "numbers")
    assert [r["event"] for r in gen] == ["call", "return"] * 3
    assert [r["arg"] for r in gen[1::2]] == [1, 2, None]
    calls, returns = [r["frame_id"] for r in gen[0::2]], [r["frame_id"] for r in gen[1::2]]
    assert calls == returns and len(set(calls)) == 3
    consume_id = named(trace.records, "consume")[0]["frame_id"]
    assert {site(r) for r in gen} == {(consume_id, recording.line(GENERATOR, "# loop"))}
    # Each part says how it ended and which activation it resumes; the final return is an
    # ordinary record, byte for byte (12 entries, no "end").
    assert [r.get("end") for r in gen[1::2]] == ["yielded", "yielded", None]
    assert [r.get("resumes") for r in gen[0::2]] == [None, calls[0], calls[0]]
    raw = [trace.raw[trace.records.index(r)] for r in gen]
    assert [b[0] for b in raw] == [0x8C, 0x8D, 0x8D, 0x8D, 0x8D, 0x8C]
    assert raw[1].endswith(b"\xa3end\xa7yielded") and raw[2].endswith(b"\xa7resumes\xbe" + calls[0].encode())


ABANDONED = textwrap.dedent("""\
    import threading

    def numbers():
        yield 1
        yield 2

    def abandon(n):
        # Suspended, then dropped (3.12+ closes such a generator without running its
        # frame) or finished on a thread that is not recorded.
        for _ in range(n):
            g = numbers()
            next(g)
            del g
        kept = []
        for _ in range(n):
            kept.append(numbers())
            next(kept[-1])
        worker = threading.Thread(target=lambda: [list(g) for g in kept])
        worker.start()
        worker.join()
        del kept[:]
        for _ in range(n):  # new generators, very likely in the dead ones' memory
            for _ in numbers():
                pass
""")


def test_a_new_generator_never_resumes_an_abandoned_one(recording):
    ns = recording.module(ABANDONED)
    _, trace, _ = recording.run(ns["abandon"], 200)
    calls = [r for r in named(trace.records, "numbers") if r["event"] == "call"]
    fresh = calls[-600:]  # (how many calls closing the dropped ones makes depends on the version)
    assert [r.get("resumes") for r in fresh[0::3]] == [None] * 200
    assert [r.get("resumes") for r in fresh[1::3]] == [r["frame_id"] for r in fresh[0::3]]


EXCEPTIONS = textwrap.dedent("""\
    def fail():
        raise ValueError("boom")

    def middle():
        return fail()

    def after():
        return 1

    def caller():
        try:
            middle()
        except ValueError:
            pass
        return after()  # after
""")


def test_exceptions_keep_the_call_stack_balanced(recording):
    ns = recording.module(EXCEPTIONS)
    result, trace, _ = recording.run(ns["caller"])
    assert result == 1
    assert events(trace.records) == [
        ("caller", "call"),
        ("middle", "call"),
        ("fail", "call"),
        ("fail", "return"),
        ("middle", "return"),
        ("after", "call"),
        ("after", "return"),
        ("caller", "return"),
    ]
    caller_c, middle_c, fail_c, fail_r, middle_r, after_c, after_r, caller_r = frames(trace.records)
    assert fail_c["frame_id"] == fail_r["frame_id"] and middle_c["frame_id"] == middle_r["frame_id"]
    assert fail_r["arg"] is None and site(fail_r) == (middle_c["frame_id"], site(fail_c)[1])
    assert [r.get("end") for r in (fail_r, middle_r, after_r, caller_r)] == ["raised", "raised", None, None]
    expected = (caller_c["frame_id"], recording.line(EXCEPTIONS, "# after"))
    assert site(after_c) == site(after_r) == expected
    assert caller_r["frame_id"] == caller_c["frame_id"] and site(caller_r) is None


ASYNC = textwrap.dedent("""\
    import asyncio

    async def step(n):
        await asyncio.sleep(0)
        return n + 1

    async def ticks():
        for i in range(2):
            await asyncio.sleep(0)
            yield i * 10

    async def main():
        total = await step(1)
        async for t in ticks():
            total += t
        return total
""")


def test_awaits_and_async_yields_are_suspensions(recording):
    ns = recording.module(ASYNC)
    result, trace, _ = recording.run(lambda: ns["asyncio"].run(ns["main"]()))
    assert result == 12
    for name, ends in [
        ("step", ["awaited", None]),
        ("ticks", ["awaited", "yielded", "awaited", "yielded", None]),
    ]:
        parts = named(trace.records, name)
        assert [r["event"] for r in parts] == ["call", "return"] * len(ends)
        assert [r.get("end") for r in parts[1::2]] == ends
        first = parts[0]["frame_id"]
        assert [r.get("resumes") for r in parts[0::2]] == [None] + [first] * (len(ends) - 1)
    # The consumer gets the yielded value, not the interpreter's box around it.
    assert [r["arg"] for r in named(trace.records, "ticks")[1::2] if r.get("end") == "yielded"] == [0, 10]
    assert named(trace.records, "main")[-1]["arg"] == 12 and "end" not in named(trace.records, "main")[-1]


HANDLED = textwrap.dedent("""\
    def note(exc):
        return str(exc)

    def fail(message):
        raise KeyError(message)

    def middle(message):
        return fail(message)

    def swallowed():
        try:
            fail("gone")
        except KeyError:
            pass
        return 1

    def main():
        swallowed()
        try:
            raise ValueError("outer")
        except ValueError:
            try:
                middle("inner")
            except KeyError as exc:
                note(exc)
""")


def test_a_raised_exception_is_named_once_it_is_handled(recording):
    ns = recording.module(HANDLED)
    _, trace, _ = recording.run(ns["main"])
    records = trace.records
    notes = [r for r in records if r["type"] == "exception"]
    raised = {r["frame_id"]: r["co_name"] for r in records if r.get("end") == "raised"}
    assert sorted(raised.values()) == ["fail", "fail", "middle"]
    if MONITORING:
        # Handed the exception as the frame is left: every raising call named at once,
        # right after its record.
        assert [raised[n["frame_id"]] for n in notes] == ["fail", "fail", "middle"]
        assert [n["exception"]["message"] for n in notes] == ["gone", "inner", "inner"]
        assert all(records[records.index(n) - 1]["frame_id"] == n["frame_id"] for n in notes)
    else:
        # Both frames the inner exception left are named when its handler runs, though it
        # runs inside the handler of another; the exception swallowed without a call stays
        # unnamed.
        assert sorted(raised[n["frame_id"]] for n in notes) == ["fail", "middle"]
        assert {n["exception"]["message"] for n in notes} == {"inner"}
        # Written at the handler's first event (here the call of note), before its record.
        note_call = next(i for i, r in enumerate(records) if r.get("co_name") == "note")
        assert [records.index(n) for n in notes] == [note_call - 2, note_call - 1]
    assert {n["exception"]["type"] for n in notes} == {"KeyError"}
    assert list(notes[0]) == ["type", "frame_id", "exception", "thread", "thread_native_id", "timestamp"]


ARGUMENTS = textwrap.dedent("""
    class Loud:
        def __repr__(self):
            return "Loud()"

    def fail(*args):
        raise ValueError(*args)

    def main():
        every = [(42,), (None,), ((1, 2),), (), ("a", 1.5), (Loud(),), (b"\\x00",), ("x" * 1000,), ([1, (2,)],)]
        for args in every:
            try:
                fail(*args)
            except ValueError:
                len(args)  # a handler that calls only a builtin
""")


def test_an_exception_is_shown_as_python_shows_it_without_running_program_code(recording):
    from sarv.views.tree import exception_text

    ns = recording.module(ARGUMENTS)
    _, trace, _ = recording.run(ns["main"])
    notes = [r["exception"] for r in trace.records if r["type"] == "exception"]
    texts = [exception_text(note) for note in notes]
    assert texts[:5] == [
        "ValueError(42)",
        "ValueError(None)",
        "ValueError((1, 2))",
        "ValueError()",
        "ValueError('a', 1.5)",
    ]
    assert re.fullmatch(r"ValueError\(<[\w.]*Loud object>\)", texts[5])  # its __repr__ is the program's code
    assert texts[6:] == ["ValueError(b'\\x00')", "ValueError('%s'\u2026)" % ("x" * 200), "ValueError([1, (2,)])"]
    assert [note["message"] for note in notes[:4]] == ["42", None, None, None]  # str() of one text or number


MODULE_CODE = textwrap.dedent("""\
    def helper(n):
        return n * 2

    value = helper(21)  # module call
""")


def test_module_code_locals_leave_out_builtins(recording):
    namespace = {"__name__": "app.views"}
    code = compile(MODULE_CODE, VIEWS, "exec")
    _, trace, _ = recording.run(exec, code, namespace)
    assert events(trace.records) == [
        ("<module>", "call"),
        ("helper", "call"),
        ("helper", "return"),
        ("<module>", "return"),
    ]
    module_call, helper_call, _, module_ret = trace.records
    assert module_call["qualname"] == "app.views.<module>"
    for record in (module_call, module_ret):
        assert "__builtins__" not in record["locals"]
        assert record["locals"]["__name__"] == "app.views"
    assert module_ret["locals"]["value"] == 42
    assert "__builtins__" in namespace and namespace["value"] == 42
    assert site(helper_call) == (module_call["frame_id"], recording.line(MODULE_CODE, "# module call"))


LIBRARY_CALLER = textwrap.dedent("""\
    import json

    def encode_default(obj):
        return "custom"

    def render():
        return json.dumps({"k": object()}, default=encode_default)  # dumps
""")


@pytest.mark.parametrize("include", [None, ["/json/"]])
def test_library_frames_left_out_unless_included(recording, include):
    ns = recording.module(LIBRARY_CALLER)
    config = {} if include is None else {"filters": {"include_frames": include}}
    result, trace, _ = recording.run(ns["render"], config=config)
    assert result == '{"k": "custom"}'
    json_records = [r for r in trace.records if "/json/" in r["path"]]
    callback = named(trace.records, "encode_default")
    assert [r["event"] for r in callback] == ["call", "return"]
    render_id = named(trace.records, "render")[0]["frame_id"]
    if include is None:
        assert json_records == []
        # Library frames between two user frames are skipped: the nearest recorded caller.
        assert site(callback[0]) == (render_id, recording.line(LIBRARY_CALLER, "# dumps"))
    else:
        assert {"dumps", "encode"} <= {r["co_name"] for r in json_records}
        assert site(callback[0])[0] in {r["frame_id"] for r in json_records}


LATE_START = textwrap.dedent("""\
    def leaf():
        return "leaf"

    def starts_recording(register, profiler):
        register(profiler)
        leaf()
        return 7
""")


def test_return_whose_call_was_not_seen(recording):
    ns = recording.module(LATE_START)
    profiler = recording.profiler()
    try:
        result = ns["starts_recording"](sarv._sarv.register_profiler, profiler)
    finally:
        sarv._sarv.register_noop_profiler()
    assert result == 7
    trace = recording.trace(profiler)
    assert events(trace.records) == [("leaf", "call"), ("leaf", "return"), ("starts_recording", "return")]
    assert site(trace.records[0]) is None
    last, raw = trace.records[-1], trace.raw[-1]
    assert last["frame_id"] is None and last["arg"] == 7 and site(last) is None
    assert b"\xa8frame_id\xc0\xa3arg" in raw
    assert [key for key, _ in msgpack.unpackb(raw, object_pairs_hook=list)] == FRAME_KEYS


GREENLETS = textwrap.dedent("""\
    import greenlet

    def first():
        x = second_g.switch(1)  # first switch
        return second_g.switch(x + 1)  # second switch

    def second(v):
        w = inner(v)
        return first_g.switch(w)

    def inner(q):
        return q + 1

    first_g = greenlet.greenlet(first)
    second_g = greenlet.greenlet(second)
""")


def test_call_site_of_a_return_is_where_the_caller_stands_then(recording):
    """A call's return names its recorded caller at the line the caller is at when it
    returns. Ordinarily that is where it called from; a greenlet's switch runs a frame below
    on the stack meanwhile, so that the caller has moved on."""
    pytest.importorskip("greenlet")
    ns = recording.module(GREENLETS)
    result, trace, _ = recording.run(ns["first_g"].switch)
    assert result == 3
    line = lambda marker: recording.line(GREENLETS, marker)  # noqa: E731
    first_call = named(trace.records, "first")[0]
    second_call, second_ret = named(trace.records, "second")
    inner_call, inner_ret = named(trace.records, "inner")
    assert second_call["event"] == "call" and second_ret["event"] == "return"
    here = first_call["frame_id"]
    assert site(second_call) == (here, line("first switch"))
    assert site(second_ret) == (here, line("second switch"))
    # inner's caller waits for it: the same site at both ends
    assert site(inner_call) == site(inner_ret) == (second_call["frame_id"], line("w = inner(v)"))


HOPPING = textwrap.dedent("""\
    import os

    def probe():
        return 1

    def hop(target):
        probe()
        os.chdir(target)
        probe()
""")


@pytest.mark.parametrize("layout", ["inside", "sibling", "elsewhere", "pseudo"])
def test_path_is_relative_to_the_working_directory(recording, tmp_path, monkeypatch, layout):
    (tmp_path / "pkg").mkdir()
    (tmp_path / "pkg2").mkdir()
    filename, cwd, shown = {
        "inside": (str(tmp_path / "pkg" / "mod.py"), tmp_path, "pkg/mod.py"),
        "sibling": (str(tmp_path / "pkg2" / "mod.py"), tmp_path / "pkg", None),
        "elsewhere": (VIEWS, tmp_path, None),
        "pseudo": ("<stdin>", tmp_path, None),
    }[layout]
    monkeypatch.chdir(cwd)
    ns = recording.module(HOPPING, filename=filename)
    _, trace, _ = recording.run(ns["hop"], "/")
    probes = [r["path"] for r in named(trace.records, "probe") if r["event"] == "call"]
    line = recording.line(HOPPING, "def probe")
    # A change of the working directory shows at once: after chdir("/") the name is relative to "/".
    from_root = filename.lstrip("/") if filename.startswith("/") else filename
    assert probes == [f"{shown or filename}:{line}", f"{from_root}:{line}"]


FD_HOPPING = textwrap.dedent("""\
    import os

    def probe():
        return 1

    def hop(target):
        probe()
        fd = os.open(target, os.O_RDONLY)
        try:
            os.fchdir(fd)
        finally:
            os.close(fd)
        probe()
""")


def test_fchdir_is_seen_like_chdir(recording, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    filename = str(tmp_path / "pkg" / "mod.py")
    ns = recording.module(FD_HOPPING, filename=filename)
    _, trace, _ = recording.run(ns["hop"], "/")
    line = recording.line(FD_HOPPING, "def probe")
    probes = [r["path"] for r in named(trace.records, "probe") if r["event"] == "call"]
    assert probes == [f"pkg/mod.py:{line}", f"{filename.lstrip('/')}:{line}"]


# The Python profiler object of the scripts that run in a subprocess of their own.
SCRIPT_PROFILER = textwrap.dedent("""\
    class P:
        config = {}
        db_path = "unused.sqlite3"
        one_trace_per_test = False
        trace_id = "trc_01ARZ3NDEKTSV4RRFFQ69G5FAV"
        source = "test"
        def __call__(self, *args):
            pass

""")


REFUSED_AUDIT_HOOK = (
    textwrap.dedent("""\
    import os, sys, tempfile, msgpack

    def refuse(event, args):
        if event == "sys.addaudithook":
            raise RuntimeError("no more hooks")

    sys.addaudithook(refuse)
    import sarv._sarv

""")
    + SCRIPT_PROFILER
    + textwrap.dedent("""\

    base = tempfile.mkdtemp()
    os.chdir(base)
    ns = {"__name__": "app.views"}
    src = "import os\\ndef probe():\\n    return 1\\ndef hop():\\n    probe()\\n    os.chdir('/')\\n    probe()\\n"
    exec(compile(src, os.path.join(base, "mod.py"), "exec"), ns)
    p = P()
    sarv._sarv.register_profiler(p)
    ns["hop"]()
    sarv._sarv.register_noop_profiler()
    doc = msgpack.unpackb(p.rust_profiler.build_trace(), strict_map_key=False)
    shown = [r["path"] for r in doc["frames_of_interest"] if r["co_name"] == "probe" and r["event"] == "call"]
    print(shown == ["mod.py:2", os.path.join(base, "mod.py").lstrip("/") + ":2"], shown)
""")
)


def test_working_directory_is_read_every_time_when_changes_cannot_be_watched():
    out = subprocess.run([sys.executable, "-c", REFUSED_AUDIT_HOOK], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("True"), out.stdout


@pytest.mark.parametrize(
    "filename, shown",
    [
        ("/home/u/caf\udce9.py", "/home/u/caf\\xe9.py"),  # an undecodable byte shows as itself
        ("/home/u/odd\ud800.py", "/home/u/odd\\ud800.py"),  # any other lone surrogate
    ],
)
def test_undecodable_file_name_is_still_recorded(recording, filename, shown):
    ns = recording.module("def probe():\n    return 1\n", filename=filename)
    _, trace, _ = recording.run(ns["probe"])
    assert [r["path"] for r in trace.records] == [f"{shown}:1", f"{shown}:2"]


RENAMING = textwrap.dedent("""\
    import threading

    def probe():
        return threading.current_thread().name

    def rename_midway(new):
        first = probe()
        threading.current_thread().name = new
        return first, probe()
""")


def test_thread_name_is_taken_at_the_first_record(recording):
    ns = recording.module(RENAMING)
    original = threading.current_thread().name
    try:
        result, trace, _ = recording.run(ns["rename_midway"], "renamed-later")
    finally:
        threading.current_thread().name = original
    assert result == (original, "renamed-later")
    assert len(trace.records) == 6 and {r["thread"] for r in trace.records} == {original}


@pytest.mark.parametrize("setting, via", [(True, "light"), (False, "full"), (1, "full")])
def test_lightweight_repr_selects_the_serialiser(recording, monkeypatch, setting, via):
    serialize = recording.companion.serialize
    monkeypatch.setattr(serialize, "dump_msgpack", lambda obj: msgpack.packb({"via": "full"}))
    monkeypatch.setattr(serialize, "dump_msgpack_lightweight_repr", lambda obj: msgpack.packb({"via": "light"}))
    ns = recording.module(PROGRAM)
    _, trace, _ = recording.run(ns["outer"], config={"lightweight_repr": setting})
    assert len(trace.records) == 6
    assert {str(r[key]) for r in trace.records for key in ("arg", "locals")} == {str({"via": via})}


# --- qualified names ------------------------------------------------------------------

QUALNAMES = textwrap.dedent("""\
    class Invoice:
        def total(self):
            return 1

    def outer():
        def inner():
            return Invoice().total()
        return inner()

    outer()
""")


def test_qualnames_of_records(recording):
    namespace = {"__name__": "app.models"}
    code = compile(QUALNAMES, "/home/u/project/app/models.py", "exec")
    _, trace, _ = recording.run(exec, code, namespace)
    assert {r["co_name"]: r["qualname"] for r in trace.records} == {
        "<module>": "app.models.<module>",
        "Invoice": "app.models.Invoice",
        "outer": "app.models.outer",
        "inner": "app.models.outer.<locals>.inner",
        "total": "app.models.Invoice.total",
    }


MODELS = textwrap.dedent("""\
    import sys
    from sarv._sarv_testing import get_qualname

    def names():
        # The caller's qualified name, found without and with co_qualname.
        frame = sys._getframe(1)
        out = []
        for use_co_qualname in (False, True):
            try:
                out.append(get_qualname(frame, use_co_qualname))
            except Exception as error:
                out.append(error)
        return tuple(out)

    def compute_total():
        return names()

    class Invoice:
        def __getattribute__(self, name):
            if name == "total":
                raise RuntimeError("attribute hooks must not run")
            return object.__getattribute__(self, name)

        def __getattr__(self, name):
            raise RuntimeError("attribute hooks must not run")

        def total(self):
            return names()

        @property
        def amount(self):
            return names()

        @classmethod
        def build(cls):
            return names()

    class Ledger:
        BODY = names()

    def make_closure():
        def hidden():
            return names()
        return hidden

    def gen():
        yield

    def call_total(invoice):
        return Invoice.total(invoice)

    def call_amount(invoice):
        return invoice.amount

    def call_build():
        return Invoice.build()

    def call_fn(fn):
        return fn()

    def shadowing_caller():
        compute_total = Invoice.build
        return globals()["compute_total"]()

    MODULE_NAMES = names()
""")

OTHER = "def call_other(fn):\n    return fn()\n"


def _unstarted_generator(models, other):
    frame = models["gen"]().gi_frame
    return get_qualname(frame, False), get_qualname(frame, True)


@pytest.mark.parametrize(
    "case, without, with_co_qualname",
    [
        (lambda m, o: m["MODULE_NAMES"], "app.models.<module>", "app.models.<module>"),
        (lambda m, o: o["call_other"](m["compute_total"]), "app.models.compute_total", "app.models.compute_total"),
        (lambda m, o: m["shadowing_caller"](), "app.models.Invoice.build", "app.models.compute_total"),
        (lambda m, o: m["call_total"](m["Invoice"]()), "app.models.Invoice.total", "app.models.Invoice.total"),
        (lambda m, o: m["call_amount"](m["Invoice"]()), "app.models.Invoice.amount", "app.models.Invoice.amount"),
        (lambda m, o: m["call_build"](), "app.models.Invoice.build", "app.models.Invoice.build"),
        (lambda m, o: m["Ledger"].BODY, "app.models.Ledger", "app.models.Ledger"),
        (_unstarted_generator, None, "app.models.gen"),
        (lambda m, o: m["call_fn"](m["make_closure"]()), KeyError, "app.models.make_closure.<locals>.hidden"),
    ],
    ids=[
        "module",
        "global",
        "caller-local-wins",
        "method-via-self",
        "property",
        "classmethod",
        "class-body",
        "no-caller",
        "unreachable-closure",
    ],
)
def test_qualname_lookup_without_co_qualname(recording, case, without, with_co_qualname):
    models = recording.module(MODELS, filename="/home/u/project/app/models.py", name="app.models")
    other = recording.module(OTHER, filename="/home/u/project/app/other.py", name="app.other")
    found, direct = case(models, other)
    if isinstance(without, type):
        assert isinstance(found, without)
    else:
        assert found == without
    assert direct == with_co_qualname


# --- reports of events that could not be recorded ---------------------------------------


class Poison:
    """Refused by the serialiser while armed."""

    armed = True


class Defused(Poison):
    armed = False


def refusing_dump(obj):
    def default(value):
        if isinstance(value, Poison) and value.armed:
            raise ValueError("unencodable")
        return repr(value)

    return msgpack.packb(obj, default=default)


FAILING = textwrap.dedent("""\
    def leaf():
        return 2

    def uses(token):
        return 1

    def all_fail():
        a = uses(Poison())  # every event of uses fails
        return a + leaf()  # after failure

    def call_fails(token):
        token.armed = False
        return leaf()

    def only_call_fails():
        a = call_fails(Poison())  # failed call
        return a + leaf()  # after failed call

    def return_fails(token):
        token.armed = True
        return 1

    def only_return_fails():
        a = return_fails(Defused())  # failed return
        return a + leaf()  # after failed return
""")


@pytest.fixture
def failing(recording, monkeypatch):
    monkeypatch.setattr(recording.companion.serialize, "dump_msgpack", refusing_dump)
    ns = recording.module(FAILING)
    ns["Poison"], ns["Defused"] = Poison, Defused
    return ns


def sarv_warnings(caplog):
    return [r for r in caplog.records if r.name == "sarv"]


def test_failed_events_are_reported_once_each(recording, failing, caplog):
    caplog.set_level(logging.WARNING, logger="sarv")
    result, trace, _ = recording.run(failing["all_fail"])
    assert result == 3
    reports = sarv_warnings(caplog)
    assert [r.args[2] for r in reports] == ["call", "return"]
    for report in reports:
        assert report.levelno == logging.WARNING and report.msg == LOG_FORMAT
        assert report.args[:2] == (VIEWS, "uses") and len(report.args) == 4
        assert isinstance(report.args[3]["token"], Poison)
        assert isinstance(report.exc_info[1], ValueError) and str(report.exc_info[1]) == "unencodable"
        assert report.getMessage().startswith(f"Unexpected exception in Rust.\n    co_filename: {VIEWS}\n")
    assert events(trace.records) == [
        ("all_fail", "call"),
        ("leaf", "call"),
        ("leaf", "return"),
        ("all_fail", "return"),
    ]
    owner = trace.records[0]["frame_id"]
    assert site(trace.records[1]) == (owner, recording.line(FAILING, "# after failure"))


@pytest.mark.parametrize(
    "program, failed_event, expected",
    [
        ("only_call_fails", "call", 4),
        ("only_return_fails", "return", 3),
    ],
)
def test_failed_event_leaves_the_call_stack_sound(recording, failing, caplog, program, failed_event, expected):
    callee = program.replace("only_", "")
    caplog.set_level(logging.WARNING, logger="sarv")
    result, trace, _ = recording.run(failing[program])
    assert result == expected
    assert [(r.args[1], r.args[2]) for r in sarv_warnings(caplog)] == [(callee, failed_event)]
    owner = trace.records[0]
    assert (owner["co_name"], owner["event"]) == (program, "call")
    kept = named(trace.records, callee)
    assert [r["event"] for r in kept] == [{"call": "return", "return": "call"}[failed_event]]
    # The record that was kept carries the activation's own id.
    assert FRAME_ID.fullmatch(kept[0]["frame_id"])
    assert kept[0]["frame_id"] not in {r["frame_id"] for r in trace.records if r is not kept[0]}
    # The caller's next callee, and the caller's own return, see the caller where it is.
    later_leaf = named(trace.records, "leaf")[-2:]
    marker = "# after failed call" if failed_event == "call" else "# after failed return"
    assert [site(r) for r in later_leaf] == [(owner["frame_id"], recording.line(FAILING, marker))] * 2
    assert trace.records[-1]["frame_id"] == owner["frame_id"]


def test_reports_below_the_logger_level_are_not_shown(recording, failing, caplog):
    caplog.set_level(logging.ERROR, logger="sarv")
    result, trace, _ = recording.run(failing["all_fail"])
    assert result == 3 and sarv_warnings(caplog) == []
    assert events(trace.records)[-3:] == [("leaf", "call"), ("leaf", "return"), ("all_fail", "return")]


def test_broken_logging_never_reaches_the_program(recording, failing, monkeypatch):
    def broken(*args, **kwargs):
        raise RuntimeError("logging is broken")

    unraisable = []
    monkeypatch.setattr(logging.getLogger("sarv"), "warning", broken)
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    result, trace, _ = recording.run(failing["all_fail"])
    assert result == 3
    assert [(type(u.exc_value), str(u.exc_value)) for u in unraisable] == [(RuntimeError, "logging is broken")] * 2
    assert events(trace.records)[0] == ("all_fail", "call") and len(trace.records) == 4


KEYBOARD_INTERRUPT = textwrap.dedent("""\
    import logging, signal, sys, time, types
    import msgpack
    import sarv
    # Python's own Ctrl-C handler, even when started with SIGINT ignored (a background job).
    signal.signal(signal.SIGINT, signal.default_int_handler)
    for short in ("serialize", "db", "plugins", "version", "git"):
        sys.modules["sarv." + short] = types.ModuleType("sarv." + short)
    fired = []

    def dump(obj):
        if isinstance(obj, dict) and obj.get("trigger") and not fired:
            fired.append(1)
            raise KeyboardInterrupt
        return msgpack.packb(obj, default=repr)

    sys.modules["sarv.serialize"].dump_msgpack = dump
    sys.modules["sarv.plugins"].load_plugin_data = lambda config: []

    class Profiler:
        config, db_path, one_trace_per_test, source = {}, "x.db", False, "t"
        trace_id = "trc_01J9ZQ4XG7K2M3N4P5Q6R7S8T9"
        def __call__(self, *args):
            pass

    logging.basicConfig(level=logging.WARNING, stream=sys.stdout)
    import sarv._sarv

    def victim(trigger):
        return 1

    profiler = Profiler()
    sarv._sarv.register_profiler(profiler)
    try:
        victim(True)
        for _ in range(1000):
            time.sleep(0.001)
        print("NOT INTERRUPTED")
    except KeyboardInterrupt:
        print("INTERRUPTED", fired)
    sarv._sarv.register_noop_profiler()
""")


def test_keyboard_interrupt_in_the_hook_reaches_the_program(tmp_path):
    script = tmp_path / "interrupted.py"
    script.write_text(KEYBOARD_INTERRUPT)
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "INTERRUPTED [1]" in done.stdout.splitlines()
    assert "Unexpected exception" not in done.stdout + done.stderr


def test_locals_that_are_not_a_dict_are_recorded_as_a_dict(recording):
    # Code run by exec with a mapping of its own as locals has that mapping as f_locals.
    class Namespace:  # a mapping, but not a dict
        def __init__(self):
            self.data = {"seed": 7}

        def __getitem__(self, key):
            return self.data[key]

        def __setitem__(self, key, value):
            self.data[key] = value

        def __delitem__(self, key):
            del self.data[key]

        def keys(self):
            return self.data.keys()

    code = compile("total = seed * 6\n", "/home/u/project/app/script.py", "exec")
    namespace = Namespace()

    def run():
        exec(code, {"__name__": "app.script"}, namespace)

    _, trace, _ = recording.run(run)
    events = [(r["event"], r["locals"]) for r in trace.named(trace.records, "<module>")]
    assert events == [("call", {"seed": 7}), ("return", {"seed": 7, "total": 42})]
    assert namespace.data == {"seed": 7, "total": 42}


UNREADABLE_CWD = (
    textwrap.dedent("""\
    import os, sys, tempfile, msgpack
    import sarv._sarv

""")
    + SCRIPT_PROFILER
    + textwrap.dedent("""\

    ns = {"__name__": "app.views"}
    exec(compile("def probe():\\n    return 1\\n", "/home/u/project/app/views.py", "exec"), ns)
    gone = tempfile.mkdtemp()
    os.chdir(gone)
    os.rmdir(gone)  # the working directory no longer exists: getcwd fails
    p = P()
    sarv._sarv.register_profiler(p)
    result = ns["probe"]()
    sarv._sarv.register_noop_profiler()
    doc = msgpack.unpackb(p.rust_profiler.build_trace(), strict_map_key=False)
    print(result, [r["path"] for r in doc["frames_of_interest"] if r["co_name"] == "probe"])
""")
)


def test_unreadable_working_directory_leaves_file_names_whole():
    out = subprocess.run([sys.executable, "-c", UNREADABLE_CWD], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "1 ['/home/u/project/app/views.py:1', '/home/u/project/app/views.py:2']"


def test_qualified_name_follows_the_module_name_and_the_code(recording):
    # Names are remembered per code object and module globals; a rename between calls, or
    # another module's globals for the same code, must show in the next record.
    ns = recording.module("def probe():\n    return 1\n", name="app.first")

    def run():
        ns["probe"]()
        ns["__name__"] = "app.second"
        ns["probe"]()
        ns["counter"] = 1  # any change of the globals
        ns["probe"]()
        other = dict(ns, __name__="app.third")
        types.FunctionType(ns["probe"].__code__, other)()

    _, trace, _ = recording.run(run)
    calls = [r["qualname"] for r in trace.records if r["co_name"] == "probe" and r["event"] == "call"]
    assert calls == ["app.first.probe", "app.second.probe", "app.second.probe", "app.third.probe"]


@pytest.mark.parametrize(
    "size, header",
    [
        (31, b"\xbf"),
        (32, b"\xd9\x20"),
        (255, b"\xd9\xff"),
        (256, b"\xda\x01\x00"),
        (70000, b"\xdb\x00\x01\x11\x70"),
    ],
)
def test_path_entry_takes_the_smallest_text_form(recording, size, header):
    # "<file>:1" of exactly `size` bytes (the file name is not below the working directory).
    filename = "/nowhere/" + "d" * (size - len("/nowhere/") - len(".py:1")) + ".py"
    ns = recording.module("def f():\n    return 1\n", filename=filename)
    _, trace, _ = recording.run(ns["f"])
    call = trace.raw[0]
    path = f"{filename}:1".encode()
    assert len(path) == size
    assert call.startswith(b"\x8c\xa4path" + header + path + b"\xa7co_name\xa1f")
    assert trace.records[0]["path"] == path.decode()
