"""Exports of a decoded trace document.

JSON form of values (both exports): MessagePack values map to JSON as
usual, with these additions, since JSON has no bytes and only text keys:

* bytes -> {"__bytes__": "<base64 text>"} (standard alphabet, padded);
* a map key that is not text -> its JSON text (1 -> "1", None -> "null",
  true -> "true", 1.5 -> "1.5"); a bytes key -> "__bytes__:<base64 text>";
  a key that collides with an earlier one gets "~2", "~3", ... appended;
* NaN and the infinities -> {"__float__": "nan" | "inf" | "-inf"};
* other MessagePack extension values -> {"__ext__": code, "data": "<base64>"}.

Chrome trace event format (`chrome_trace`, `write_chrome_trace`): what
chrome://tracing, Perfetto (ui.perfetto.dev) and speedscope open. One
complete event ("ph": "X") per activation, per thread; "pid" is the main
thread's native id (the process id on Linux), "tid" the native thread id;
"ts" and "dur" are microseconds with fractions (to the nanosecond) since
the earliest first record of a thread. Activations nest per thread exactly
as they were called: each record is put at least a nanosecond after the
previous record of its thread (clock readings can be equal, or step back),
an event never starts before its caller or a previous sibling ends, and a
caller ends no sooner than its callees. A call whose return was not
recorded runs to the end of the trace; one whose call was not recorded
starts where its thread's recording did. "args" holds "path", "frame_id",
"arguments" (locals at the call), "locals" (locals at the return),
"return_value" and "call_site", and "incomplete" for the two cases above
("no return recorded"; "called before recording began", or where the trace
dropped its oldest records "called before the oldest record kept (older
records were dropped)"). A call that did not return holds "end" instead of "return_value": "raised"
(with "exception" and "exception_text", ValueError(42), once the note naming
it is read), "exited" or "interrupted" for a SystemExit of status 0 or None
and a KeyboardInterrupt (the program's end, not a failure), or "yielded" /
"awaited" (with "value"); a generator's or
coroutine's resumption holds "resumes", the frame id of its first activation.
Plugin records are instant events ("ph": "i", thread scope) named after
their type, their own entries in "args". Metadata events name the process
(the trace id) and each thread. The record of the calls a trace left out is
no event: "otherData" holds it as "calls_left_out" ({"budget", "functions"},
the record without its "type"), since the time of those calls is in no span
but their callers'. The JSON document holds it among the records, as stored. `write_chrome_trace` writes the events as
the records are read, holding only the calls still open.
"""

from __future__ import annotations

import base64
import json
import math

from sarv.views.records import (
    NO_CALL,
    NO_CALL_RING,
    NOTE,
    RETURN,
    LeftOut,
    ThreadCalls,
    TraceReader,
    View,
    all_records,
    ended,
    exception_text,
    is_ring_drop,
    timestamp,
    with_exception,
)
from sarv.views.tree import PLUGIN_BASE_KEYS

__all__ = [
    "ChromeEvents",
    "chrome_trace",
    "jsonable",
    "write_chrome_trace",
    "write_json",
    "write_json_document",
]


def _b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def _key(key) -> str:
    if isinstance(key, str):
        return key
    if isinstance(key, (bytes, bytearray)):
        return "__bytes__:" + _b64(bytes(key))
    if isinstance(key, float) and not math.isfinite(key):
        return "nan" if math.isnan(key) else ("inf" if key > 0 else "-inf")
    return json.dumps(key)


_PLAIN = (str, int, bool, type(None))


def jsonable(value):  # noqa: C901, PLR0912 - the common forms first, tested in order: it runs once per value
    """A decoded MessagePack value as plain JSON data (see module doc)."""
    kind = type(value)
    if kind in _PLAIN:
        return value
    if kind is dict:
        # The common case first: text keys, plain values (a trace has millions of these).
        for key, item in value.items():
            if type(key) is not str or type(item) not in _PLAIN:
                break
        else:
            return value
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        if math.isfinite(value):
            return value
        return {"__float__": "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")}
    if isinstance(value, (bytes, bytearray, memoryview)):
        return {"__bytes__": _b64(bytes(value))}
    if isinstance(value, dict):
        out = {}
        for key, item in value.items():
            text = _key(key)
            if text in out:
                n = 2
                while "%s~%d" % (text, n) in out:
                    n += 1
                text = "%s~%d" % (text, n)
            out[text] = jsonable(item)
        return out
    if isinstance(value, (list, tuple)):
        return [jsonable(item) for item in value]
    code, data = getattr(value, "code", None), getattr(value, "data", None)
    if isinstance(code, int) and isinstance(data, (bytes, bytearray)):
        return {"__ext__": code, "data": _b64(bytes(data))}
    to_bytes = getattr(value, "to_bytes", None)  # msgpack.Timestamp
    if callable(to_bytes):
        return {"__ext__": -1, "data": _b64(to_bytes())}
    return repr(value)


def write_json(data, stream) -> None:
    json.dump(data, stream, ensure_ascii=False, allow_nan=False, separators=(",", ":"))
    stream.write("\n")


def _number(value):
    return float(value) if type(value) in (int, float) else None


class _Open:
    """An activation whose end is not known yet."""

    __slots__ = ("start", "call", "frame_id", "low", "latest")

    def __init__(self, start, call) -> None:
        self.start = start
        self.call = call
        self.frame_id = call.get("frame_id") if call is not None else None
        self.low = start  # where the next child may start: after the previous one ends
        self.latest = start  # the latest time seen inside


class _Thread:
    __slots__ = ("tid", "low", "first", "clock", "held", "now")

    def __init__(self, tid) -> None:
        self.tid = tid
        self.held: dict = {}  # frame id -> (event, return record) of calls that raised, until their note
        self.clock = None  # the time of the thread's previous record
        self.low = None  # where the next top-level activation may start
        self.first = None
        self.now = None  # the time of the record being read


class ChromeEvents(View):
    """Chrome trace events made record by record, in the order of each
    thread's records; `emit` receives every event as it is complete. Times
    are microseconds, with fractions, since `origin`. `ring`: the trace
    dropped its oldest records (known before its note is read, which comes
    after the other threads' records)."""

    def __init__(self, top: dict, emit, origin=None, ring: bool = False) -> None:
        self.emit = emit
        self.origin = origin if origin is not None else _number(top.get("timestamp"))
        main_id = top.get("main_thread_id")
        self.pid = main_id if isinstance(main_id, int) else 1
        self.last = None
        self.reader = TraceReader(self, main_id)
        self.reader.ring = ring
        emit(
            {
                "name": "process_name",
                "ph": "M",
                "pid": self.pid,
                "tid": 0,
                "args": {"name": "sarv %s" % top.get("trace_id")},
            }
        )

    @property
    def left_out(self) -> LeftOut:
        return self.reader.left_out

    def add(self, buffer_id, record) -> None:
        self.reader.add(buffer_id, record)

    def _us(self, ts):
        if ts is None:
            return None
        if self.origin is None:
            self.origin = ts
        # A record from before the origin (the clock stepped back) is put at the origin.
        return max(round((ts - self.origin) * 1_000_000, 3), 0.0)

    def thread(self, t: ThreadCalls, record: dict) -> _Thread:
        name = record.get("thread")
        self.emit(
            {
                "name": "thread_name",
                "ph": "M",
                "pid": self.pid,
                "tid": self._tid(t.key),
                "args": {"name": name if type(name) is str else "thread %s" % (t.key,)},
            }
        )
        return _Thread(t.key)

    def seen(self, t: ThreadCalls, record: dict, ts, kind: str) -> None:
        thread = t.state
        now = self._us(ts)
        if now is not None:
            # Each record a nanosecond after the one before at least: records whose clock
            # readings are equal (or step back) still give spans that nest one way only.
            if thread.clock is not None and now <= thread.clock:
                now = round(thread.clock + 0.001, 3)
            thread.clock = now
            if thread.first is None:
                thread.first = now
            self.last = now if self.last is None else max(self.last, now)
        thread.now = now
        if kind is not NOTE and thread.held and not (kind is RETURN and ended(record)[0] == "raised"):
            self._release(thread)  # the notes of an exception come before any other record

    def _low(self, t: ThreadCalls):
        return t.stack[-1].low if t.stack else t.state.low

    def note(self, t: ThreadCalls, kept, record: dict, ts) -> None:
        held = t.state.held.pop(record.get("frame_id"), None)
        if held is not None:
            event, ret = held
            self._ending(event["args"], with_exception(ret, record))
            self.emit(event)
        self.plugin(t, record, ts)  # an instant event as well

    def plugin(self, t: ThreadCalls, record: dict, ts) -> None:
        now, low = t.state.now, self._low(t)
        self.emit(
            {
                "name": _plugin_name(record),
                "cat": "plugin",
                "ph": "i",
                "s": "t",
                "ts": now if now is not None else (low if low is not None else 0.0),
                "pid": self.pid,
                "tid": self._tid(t.key),
                "args": jsonable({k: v for k, v in record.items() if k not in PLUGIN_BASE_KEYS or k == "frame_id"}),
            }
        )
        if t.stack and now is not None:
            t.stack[-1].latest = max(t.stack[-1].latest, now)

    def call(self, t: ThreadCalls, record: dict, ts) -> _Open:
        now, low = t.state.now, self._low(t)
        start = now if now is not None else (low if low is not None else 0.0)
        if low is not None and start < low:
            start = low  # wall-clock time stepped back: still after the previous sibling
        return _Open(start, record)

    def returned(self, t: ThreadCalls, entry, record: dict, ts) -> None:
        self._close(t, entry, t.state.now, record, None)

    def unreturned(self, t: ThreadCalls, entry) -> None:
        self._close(t, entry, entry.latest, None, "no return recorded")

    def uncalled(self, t: ThreadCalls, record: dict, ts) -> None:
        # At the top of the thread, everything recorded before on the thread ran inside it.
        thread = t.state
        if t.stack:
            start = t.stack[-1].low
        else:
            start = thread.first if thread.first is not None else thread.now
        node = _Open(start if start is not None else 0.0, None)
        node.latest = max(node.latest, thread.low) if thread.low is not None and not t.stack else node.latest
        self._close(t, node, thread.now, record, NO_CALL_RING if self.reader.ring else NO_CALL)

    @staticmethod
    def _tid(tid):
        return tid if isinstance(tid, int) else 0

    def _close(self, t: ThreadCalls, node, end, ret, incomplete) -> None:
        if end is None or end < node.latest:
            end = node.latest
        thread = t.state
        if t.stack:
            parent = t.stack[-1]
            parent.low = end
            parent.latest = max(parent.latest, end)
        else:
            thread.low = end
        call = node.call
        args = {"path": _path(call, ret), "frame_id": (call or ret or {}).get("frame_id")}
        if call is not None:
            args["arguments"] = jsonable(call.get("locals"))
            args["call_site"] = jsonable(call.get("user_code_call_site"))
            if type(call.get("resumes")) is str:
                args["resumes"] = call["resumes"]  # the generator's first activation
        if ret is not None:
            args["locals"] = jsonable(ret.get("locals"))
            self._ending(args, ret)
        if incomplete is not None:
            args["incomplete"] = incomplete
        event = {
            "name": _frame_name(call, ret),
            "cat": "python",
            "ph": "X",
            "ts": node.start,
            "dur": round(end - node.start, 3),
            "pid": self.pid,
            "tid": self._tid(thread.tid),
            "args": args,
        }
        if ret is not None and args.get("end") == "raised" and args.get("exception") is None and args["frame_id"]:
            # Its exception is named by a note that follows: the event waits for it.
            thread.held[args["frame_id"]] = (event, ret)
            return
        self.emit(event)

    @staticmethod
    def _ending(args: dict, ret: dict) -> None:
        kind, exception = ended(ret)
        if kind == "returned":
            args["return_value"] = jsonable(ret.get("arg"))
            return
        # A raise has no return value (the hook reports None); a suspension's value is
        # what it yielded or awaited.
        args["end"] = kind
        if kind in ("raised", "exited", "interrupted"):
            args["exception"] = jsonable(exception)
            if exception is not None:
                args["exception_text"] = exception_text(exception)
        else:
            args["value"] = jsonable(ret.get("arg"))

    def _release(self, thread: _Thread) -> None:
        for event, _ in thread.held.values():
            self.emit(event)
        thread.held.clear()

    def finish(self) -> None:
        """Calls without a return run to the end of the trace. They are
        written outermost first, so that spans ending together still nest in
        the order written."""
        for t in self.reader.threads.values():
            self._release(t.state)
            open_nodes = t.stack
            for depth, node in enumerate(open_nodes):
                t.stack = open_nodes[:depth]
                self._close(t, node, self.last, None, "no return recorded")
            t.stack, t.ids = [], []


# Notes without a time (of dropped records, of calls left out) may come before the first
# record of a list that has one.
_ORIGIN_WITHIN = 4


def _first_records(records, top) -> tuple:
    """(the time events are counted from, whether the oldest records were dropped), from
    the first few records of each list: the earliest first time of a list (each list is
    in the order of its thread's events), and the note of dropped records, which opens
    the list it is in."""
    firsts = []
    ring = False
    looked: dict = {}  # buffer id -> records of it looked at
    for buffer_id, record in records:
        n = looked[buffer_id] = looked.get(buffer_id, 0) + 1
        if n > _ORIGIN_WITHIN or not isinstance(record, dict):
            continue
        ring = ring or is_ring_drop(record)
        if timestamp(record) is not None:
            looked[buffer_id] = _ORIGIN_WITHIN  # the first time of its list: no more
            firsts.append(timestamp(record))
    return (min(firsts) if firsts else _number(top.get("timestamp"))), ring


def _plugin_name(record) -> str:
    name = str(record.get("type"))
    if type(record.get("subtype")) is str:
        name += "/" + record["subtype"]
    return name


def _frame_name(call, ret) -> str:
    for record in (call, ret):
        if record is not None:
            for key in ("qualname", "co_name"):
                if type(record.get(key)) is str and record[key]:
                    return record[key]
    return "?"


def _path(call, ret) -> str:
    for record in (call, ret):
        if record is not None and type(record.get("path")) is str:
            return record["path"]
    return ""


def _other_data(top: dict, left_out: LeftOut) -> dict:
    data = {
        "trace_id": top.get("trace_id"),
        "start_time": top.get("timestamp"),
        "command_line_args": top.get("command_line_args"),
        "meta": top.get("meta"),
        "current_commit_sha": top.get("current_commit_sha"),
    }
    if left_out:
        data["calls_left_out"] = left_out.as_dict()
    return jsonable(data)


def chrome_trace(document: dict) -> dict:
    """The Chrome trace of a decoded document, as one dict (see
    `write_chrome_trace` for traces too large for that)."""
    events: list = []
    chrome = ChromeEvents(document, events.append, *_first_records(all_records(document), document))
    for buffer_id, record in all_records(document):
        chrome.add(buffer_id, record)
    chrome.finish()
    return {"traceEvents": events, "displayTimeUnit": "ms", "otherData": _other_data(document, chrome.left_out)}


# One encoder for every event: json.dumps with options makes a new one at each call.
_dump = json.JSONEncoder(ensure_ascii=False, allow_nan=False, separators=(",", ":")).encode


def write_chrome_trace(open_stream, out, progress=None) -> None:
    """Writes the Chrome trace of a stored document to the text stream `out`
    as it is read, never holding more than the open calls of each thread.
    `open_stream()` opens the document as pieces of bytes (a `TraceStream`)
    and is called twice: once for the entries after the records, which
    the events need first (the process id, the time origin), once for the
    records. `progress(records read)` is called every few thousand records."""
    from sarv.views.stream import DocumentStream

    with open_stream() as stored:
        first = DocumentStream(stored)
        origin, ring = _first_records(first.records(first_only=_ORIGIN_WITHIN), first.top)
        top = first.top
    out.write('{"traceEvents":[\n')
    count = [0]

    def emit(event) -> None:
        if count[0]:
            out.write(",\n")
        out.write(_dump(event))
        count[0] += 1

    chrome = ChromeEvents(top, emit, origin, ring)
    with open_stream() as stored:
        for read, (buffer_id, record) in enumerate(DocumentStream(stored).records(), 1):
            chrome.add(buffer_id, record)
            if progress is not None and not read & 4095:
                progress(read)
    chrome.finish()
    out.write('\n],"displayTimeUnit":"ms","otherData":%s}\n' % _dump(_other_data(top, chrome.left_out)))


def write_json_document(pieces, out, progress=None) -> None:
    """The whole document as JSON (see the module doc), written as it is
    read from `pieces` (bytes, or an iterable of bytes such as a
    `TraceStream`)."""
    from sarv.views.stream import DocumentStream

    writer = _JsonDocument(out)
    out.write("{")
    records = DocumentStream(pieces).records(on_list=writer.on_list, on_entry=writer.on_entry)
    for read, (_, record) in enumerate(records, 1):
        out.write(("," if writer.records else "") + _dump(jsonable(record)))
        writer.records += 1
        if progress is not None and not read & 4095:
            progress(read)
    writer.end_sections()
    out.write("}\n")


class _JsonDocument:
    """Where `write_json_document` is in the document: the keys written, whether
    in "frames" or in a list of records, and how many records of that list."""

    def __init__(self, out) -> None:
        self.out = out
        self.keys: set = set()
        self.frames = False
        self.list = False
        self.items = 0  # lists of "frames" written
        self.records = 0  # records of the current list written

    def begin_key(self, key) -> None:
        self.end_sections()
        text = _key(key)
        if text in self.keys:  # as jsonable does for repeated keys
            n = 2
            while "%s~%d" % (text, n) in self.keys:
                n += 1
            text = "%s~%d" % (text, n)
        self.out.write(("," if self.keys else "") + _dump(text) + ":")
        self.keys.add(text)

    def end_list(self) -> None:
        if self.list:
            self.out.write("]")
            self.list = False

    def end_sections(self) -> None:
        self.end_list()
        if self.frames:
            self.out.write("}")
            self.frames = False

    def on_entry(self, key, value) -> None:
        self.begin_key(key)
        self.out.write(_dump(jsonable(value)))

    def on_list(self, thread_id, count) -> None:
        if thread_id == "frames":
            self.begin_key("frames")
            self.out.write("{")
            self.frames, self.items = True, 0
        elif self.frames and thread_id is not None:
            self.end_list()
            self.out.write(("," if self.items else "") + _dump(_key(thread_id)) + ":[")
            self.items += 1
            self.list, self.records = True, 0
        else:
            self.begin_key("frames_of_interest")
            self.out.write("[")
            self.list, self.records = True, 0
