"""Fuzzing the MessagePack output: generated programs (call trees with locals, caught
exceptions, generators, long names, far-away line numbers, a second thread) run under the
profiler, and every document that comes out must

* decode with the msgpack package as exactly one object,
* be byte for byte what a small reference encoder of the documented forms writes from the
  decoded values (smallest integer, text, map and array forms, floats always 0xcb, text
  keys), with "arg" and "locals" being exactly the bytes the serialiser returned,
* and tell the story of the program: the calls and returns in order, each return with its
  call's frame_id, each call site naming the caller's activation and line.
"""

import math
import struct
import sys
import threading

import msgpack
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import sarv._sarv
from conftest import record_parts

# --- The reference encoder ---------------------------------------------------------------


def enc_str(text):
    data = text.encode("utf-8", "surrogatepass")
    n = len(data)
    if n < 32:
        head = bytes([0xA0 + n])
    elif n < 256:
        head = b"\xd9" + bytes([n])
    elif n <= 0xFFFF:
        head = b"\xda" + struct.pack(">H", n)
    else:
        head = b"\xdb" + struct.pack(">I", n)
    return head + data


def enc_uint(v):
    assert v >= 0
    if v < 128:
        return bytes([v])
    if v < 256:
        return b"\xcc" + bytes([v])
    if v <= 0xFFFF:
        return b"\xcd" + struct.pack(">H", v)
    if v < 2**32:
        return b"\xce" + struct.pack(">I", v)
    return b"\xcf" + struct.pack(">Q", v)


def enc_int(v):
    if v >= 0:
        return enc_uint(v)
    if v >= -32:
        return struct.pack(">b", v)
    if v >= -128:
        return b"\xd0" + struct.pack(">b", v)
    if v >= -32768:
        return b"\xd1" + struct.pack(">h", v)
    if v >= -(2**31):
        return b"\xd2" + struct.pack(">i", v)
    return b"\xd3" + struct.pack(">q", v)


def enc_header(n, fix, w16, w32):
    if n < 16:
        return bytes([fix + n])
    if n <= 0xFFFF:
        return bytes([w16]) + struct.pack(">H", n)
    return bytes([w32]) + struct.pack(">I", n)


def enc_map(n):
    return enc_header(n, 0x80, 0xDE, 0xDF)


def enc_array(n):
    return enc_header(n, 0x90, 0xDC, 0xDD)


def enc_f64(v):
    return b"\xcb" + struct.pack(">d", v)


def enc_opt_str(text):
    return b"\xc0" if text is None else enc_str(text)


def enc_frame_record(r, raw_arg, raw_locals):
    site = r["user_code_call_site"]
    extra = [k for k in ("end", "resumes") if k in r]  # only on records of other ends, and resumptions
    return b"".join(
        [
            enc_map(12 + len(extra)),
            enc_str("path"),
            enc_str(r["path"]),
            enc_str("co_name"),
            enc_str(r["co_name"]),
            enc_str("qualname"),
            enc_opt_str(r["qualname"]),
            enc_str("event"),
            enc_str(r["event"]),
            enc_str("frame_id"),
            enc_opt_str(r["frame_id"]),
            enc_str("arg"),
            raw_arg,
            enc_str("locals"),
            raw_locals,
            enc_str("thread"),
            enc_str(r["thread"]),
            enc_str("thread_native_id"),
            enc_uint(r["thread_native_id"]),
            enc_str("timestamp"),
            enc_f64(r["timestamp"]),
            enc_str("type"),
            enc_str("frame"),
            enc_str("user_code_call_site"),
            b"\xc0"
            if site is None
            else b"".join(
                [
                    enc_map(2),
                    enc_str("call_frame_id"),
                    enc_str(site["call_frame_id"]),
                    enc_str("line_number"),
                    enc_int(site["line_number"]),
                ]
            ),
        ]
        + [enc_str(k) + enc_str(r[k]) for k in extra]
    )


def enc_document(doc, raw_frames, raw_of_interest):
    """The whole document from its decoded metadata and the records' own bytes."""
    meta = doc["meta"]
    parts = [enc_map(8), enc_str("command_line_args"), enc_array(len(doc["command_line_args"]))]
    parts += [enc_str(a) for a in doc["command_line_args"]]
    parts += [
        enc_str("current_commit_sha"),
        enc_opt_str(doc["current_commit_sha"]),
        enc_str("frames"),
        enc_map(len(raw_frames)),
    ]
    for thread_id, records in raw_frames:
        parts += [enc_uint(thread_id), enc_array(len(records))] + records
    parts += [enc_str("frames_of_interest"), enc_array(len(raw_of_interest))] + raw_of_interest
    parts += [
        enc_str("main_thread_id"),
        enc_uint(doc["main_thread_id"]),
        enc_str("meta"),
        enc_map(3),
        enc_str("version"),
        enc_str(meta["version"]),
        enc_str("source"),
        enc_str(meta["source"]),
        enc_str("use_frame_boundaries"),
        b"\xc3",
        enc_str("timestamp"),
        enc_f64(doc["timestamp"]),
        enc_str("trace_id"),
        enc_str(doc["trace_id"]),
    ]
    return b"".join(parts)


# --- Reading a document with the byte ranges of its parts ---------------------------------


def skip_value(unpacker, data):
    start = unpacker.tell()
    unpacker.skip()
    return data[start : unpacker.tell()]


def read_document(document):
    """(decoded document, [(thread id, [record bytes])], [record bytes]); the document must
    be exactly one object."""
    unpacker = msgpack.Unpacker(strict_map_key=False)
    unpacker.feed(document)
    objects = list(unpacker)
    assert len(objects) == 1 and unpacker.tell() == len(document)
    doc = objects[0]

    unpacker = msgpack.Unpacker(strict_map_key=False)
    unpacker.feed(document)
    raw_frames, raw_of_interest = [], []

    def array():
        return [skip_value(unpacker, document) for _ in range(unpacker.read_array_header())]

    for _ in range(unpacker.read_map_header()):
        key = unpacker.unpack()
        if key == "frames":
            for _ in range(unpacker.read_map_header()):
                thread_id = unpacker.unpack()
                raw_frames.append((thread_id, array()))
        elif key == "frames_of_interest":
            raw_of_interest = array()
        else:
            unpacker.skip()
    return doc, raw_frames, raw_of_interest


# --- Generated programs ------------------------------------------------------------------

FUZZ_ROOT = "/home/u/fuzz"
IDENT = st.text(alphabet="abcdefghijklmnopqrstuvwxyz_", min_size=1, max_size=8)

literals = st.recursive(
    st.one_of(
        st.none(),
        st.booleans(),
        st.integers(),
        st.floats(allow_nan=False),
        st.floats(),
        st.text(max_size=40),
        st.binary(max_size=20),
        st.sampled_from(["x" * 40, "y" * 300, "é" * 20]),
    ),
    lambda inner: st.one_of(
        st.lists(inner, max_size=4), st.tuples(inner, inner), st.dictionaries(st.text(max_size=5), inner, max_size=4)
    ),
    max_leaves=10,
)


@st.composite
def trees(draw, depth=0):
    """A function: its locals, its children (called plainly, raising, or as generators),
    and whether it raises itself."""
    children = []
    if depth < 3:
        for _ in range(draw(st.integers(1 if depth == 0 else 0, 4 if depth < 2 else 1))):
            mode = draw(st.sampled_from(["plain", "plain", "raises", "generator"]))
            children.append((mode, draw(trees(depth + 1))))
    return {
        "locals": draw(st.lists(literals, max_size=3)),
        "children": children,
        "result": draw(literals),
        "yields": draw(st.integers(0, 3)),
        "name_length": draw(st.sampled_from([1, 8, 40, 300])),
        "padding": draw(st.sampled_from([0, 0, 3, 200, 70000])),
    }


def literal(value):
    """Source text that evaluates to value (repr, but for floats that are not finite)."""
    if isinstance(value, float) and not math.isfinite(value):
        return f"float({str(value)!r})"
    if isinstance(value, list):
        return "[" + ", ".join(literal(v) for v in value) + "]"
    if isinstance(value, tuple):
        return "(" + "".join(literal(v) + ", " for v in value) + ")"
    if isinstance(value, dict):
        return "{" + ", ".join(f"{k!r}: {literal(v)}" for k, v in value.items()) + "}"
    return repr(value)


class Program:
    """Python source for a tree, and the events it must produce."""

    def __init__(self, tree):
        self.lines = []
        self.functions = []
        self.root = self.function(tree)

    def function(self, node, mode="plain"):
        index = len(self.functions)
        name = f"f{index}_" + "n" * max(0, node["name_length"] - len(f"f{index}_"))
        info = {"name": name, "mode": mode, "calls": [], "node": node}
        self.functions.append(info)
        children = [(child_mode, self.function(child, child_mode)) for child_mode, child in node["children"]]
        self.lines += [""] * node["padding"]
        self.lines.append(f"def {name}(arg):")
        for i, value in enumerate(node["locals"]):
            self.lines.append(f"    v{i} = {literal(value)}")
        for child_mode, child in children:
            if child_mode == "plain":
                self.lines.append(f"    {child['name']}({len(self.lines)})")
            elif child_mode == "raises":
                self.lines.append("    try:")
                self.lines.append(f"        {child['name']}(0)")
                self.lines.append("    except LookupError:")
                self.lines.append("        pass")
                info["calls"].append(len(self.lines) - 2)
                continue
            else:
                self.lines.append(f"    for _ in {child['name']}(0):")
                self.lines.append("        pass")
                info["calls"].append(len(self.lines) - 1)
                continue
            info["calls"].append(len(self.lines))
        if mode == "generator":
            for _ in range(node["yields"]):
                self.lines.append(f"    yield {literal(node['result'])}")
            if node["yields"] == 0:
                self.lines += ["    return", "    yield"]  # a generator that stops at once
        elif mode == "raises":
            self.lines.append("    raise LookupError('out')")
        else:
            self.lines.append(f"    return {literal(node['result'])}")
        info["children"] = children
        return info

    def source(self):
        return "\n".join(self.lines) + "\n"

    def expected(self, info=None, caller=None):
        """(co_name, event, caller's function info or None, caller's line or None, how it
        ended or whether it resumes) in order."""
        info = info or self.root
        # A generator is called again for each value: its children run in the first round.
        rounds = info["node"]["yields"] + 1 if info["mode"] == "generator" else 1
        out = []
        for round_number in range(rounds):
            out.append((info["name"], "call", caller, "resumes" if round_number else None))
            if round_number == 0:
                for (_mode, child), line in zip(info["children"], info["calls"]):
                    out += self.expected(child, (info, line))
            end = "raised" if info["mode"] == "raises" else "yielded" if round_number < rounds - 1 else None
            out.append((info["name"], "return", caller, end))
        return out


def serialiser(outputs):
    """A deterministic serialiser whose every result is unique: [its sequence number, the
    value as plain data]; `outputs` keeps each result to compare with the records."""

    def plain(value):
        if isinstance(value, (str, bytes, float, bool)) or value is None:
            return value
        if isinstance(value, int):
            return value if -(2**63) <= value < 2**64 else str(value)
        if isinstance(value, (list, tuple)):
            return [plain(v) for v in value]
        if isinstance(value, dict):
            return {str(k): plain(v) for k, v in value.items()}
        return f"<{type(value).__name__}>"

    def dump(value):
        data = msgpack.packb([len(outputs), plain(value)], use_bin_type=True)
        outputs.append(data)
        return data

    return dump


@settings(
    max_examples=120,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow, HealthCheck.data_too_large],
)
@given(
    tree=trees(),
    module_name=st.sampled_from(["app", "app.m" + "o" * 40, "p" * 300]),
    directory=st.sampled_from(["a", "b" * 40, "c" * 300]),
    thread_name=st.sampled_from([5, 31, 32, 255, 256, 1000]).map(lambda n: "t" * n),
    on_thread=st.booleans(),
    lightweight=st.booleans(),
    argv=st.lists(st.text(max_size=40), max_size=20),
)
def test_documents_are_exactly_the_documented_forms(
    recording, monkeypatch, tree, module_name, directory, thread_name, on_thread, lightweight, argv
):
    program = Program(tree)
    filename = f"{FUZZ_ROOT}/{directory}/prog.py"
    namespace = {"__name__": module_name}
    exec(compile(program.source(), filename, "exec"), namespace)
    root = namespace[program.root["name"]]
    outputs = []
    dump = serialiser(outputs)
    serialize = recording.companion.serialize
    saved = serialize.dump_msgpack, serialize.dump_msgpack_lightweight_repr, sys.argv
    serialize.dump_msgpack = serialize.dump_msgpack_lightweight_repr = dump
    sys.argv = argv
    worker_result = {}
    try:
        profiler = recording.profiler(
            {"threading": on_thread, "lightweight_repr": lightweight, "filters": {"ignore_frames": [__file__]}}
        )
        sarv._sarv.register_profiler(profiler)
        try:
            if on_thread:

                def body():
                    threading.current_thread().name = thread_name
                    worker_result["id"] = threading.get_native_id()
                    _run(root)

                worker = threading.Thread(target=body)
                worker.start()
                worker.join(30)
            _run(root)
        finally:
            sarv._sarv.register_noop_profiler()
            threading.setprofile(None)
        document = profiler.rust_profiler.build_trace()
    finally:
        serialize.dump_msgpack, serialize.dump_msgpack_lightweight_repr, sys.argv = saved

    doc, raw_frames, raw_of_interest = read_document(document)
    assert enc_document(doc, raw_frames, raw_of_interest) == document
    traces = [raw_of_interest]
    if on_thread:
        assert [t for t, _ in raw_frames] == [worker_result["id"]]
        traces.append(raw_frames[0][1])
    used = set()
    for raw_records in traces:
        check_records(raw_records, program, filename, module_name, outputs, used)
    assert len(used) == len(outputs)  # every serialiser result is in exactly one record
    count = len(raw_of_interest) + sum(len(records) for _, records in raw_frames)
    event(f"records: {'0' if count == 0 else '1-9' if count < 10 else '10-99' if count < 100 else '100+'}")
    event(f"document: {'< 64 KiB' if len(document) < 65536 else '64 KiB or more'}")


def _run(root):
    try:
        result = root(0)
        if hasattr(result, "__next__"):
            list(result)
    except LookupError:
        pass


def check_records(raw_records, program, filename, module_name, outputs, used):
    # The frame records (the sys.monitoring backend also names every raised exception).
    raw_records = [raw for raw in raw_records if msgpack.unpackb(raw, strict_map_key=False)["type"] == "frame"]
    records = [msgpack.unpackb(raw, strict_map_key=False) for raw in raw_records]
    expected = program.expected()
    assert [(r["co_name"], r["event"]) for r in records] == [(name, event) for name, event, _, _ in expected]
    open_ids = {}
    first_ids = {}
    for raw, record, (name, kind, caller, how) in zip(raw_records, records, expected):
        parts = record_parts(raw)
        for key in ("arg", "locals"):
            number, _ = msgpack.unpackb(parts[key], strict_map_key=False)
            assert parts[key] == outputs[number] and number not in used
            used.add(number)
        assert enc_frame_record(record, parts["arg"], parts["locals"]) == raw
        path, _, line = record["path"].rpartition(":")
        assert path == filename and int(line) > 0
        assert record["qualname"] == f"{module_name}.{name}"
        assert math.isfinite(record["timestamp"])
        if kind == "call":
            open_ids[name] = record["frame_id"]
            if how is None:
                first_ids[name] = record["frame_id"]
                assert "resumes" not in record
            else:
                assert record["resumes"] == first_ids[name]
        else:
            assert record["frame_id"] == open_ids[name]
            assert record.get("end") == how
        if caller is None:
            assert record["user_code_call_site"] is None
        else:
            if caller[1] > 0xFFFF:
                event("call site line beyond 65535")
            caller_info, line = caller
            assert record["user_code_call_site"] == {
                "call_frame_id": open_ids[caller_info["name"]],
                "line_number": line,
            }
