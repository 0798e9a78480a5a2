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

from sarv.views.tree import (
    NO_CALL,
    NO_CALL_RING,
    PLUGIN_BASE_KEYS,
    LeftOut,
    all_records,
    ended,
    exception_text,
    is_exception_note,
    is_left_out,
    innermost_open,
    is_ring_drop,
    with_exception,
)

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


def jsonable(value):
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
    __slots__ = ("tid", "stack", "low", "first", "latest", "clock", "held")

    def __init__(self, tid) -> None:
        self.tid = tid
        self.held: dict = {}  # frame id -> (event, return record) of calls that raised, until their note
        self.clock = None  # the time of the thread's previous record
        self.stack: list = []
        self.low = None  # where the next top-level activation may start
        self.first = None
        self.latest = None


class ChromeEvents:
    """Chrome trace events made record by record, in the order of each
    thread's records; `emit` receives every event as it is complete. Times
    are microseconds, with fractions, since `origin`."""

    def __init__(self, top: dict, emit, origin=None) -> None:
        self.emit = emit
        self.origin = origin if origin is not None else _number(top.get("timestamp"))
        main_id = top.get("main_thread_id")
        self.main_id = main_id
        self.pid = main_id if isinstance(main_id, int) else 1
        self.threads: dict = {}
        self.last = None
        self.left_out = LeftOut()
        self.ring = False  # the oldest records were dropped
        emit(
            {
                "name": "process_name",
                "ph": "M",
                "pid": self.pid,
                "tid": 0,
                "args": {"name": "sarv %s" % top.get("trace_id")},
            }
        )

    def _us(self, ts):
        if ts is None:
            return None
        if self.origin is None:
            self.origin = ts
        # A record from before the origin (the clock stepped back) is put at the origin.
        return max(round((ts - self.origin) * 1_000_000, 3), 0.0)

    def add(self, buffer_id, record) -> None:
        if not isinstance(record, dict):
            return
        if is_left_out(record):
            self.left_out.take(record)
            return
        self.ring = self.ring or is_ring_drop(record)
        tid = record.get("thread_native_id")
        if tid is None:
            tid = buffer_id if buffer_id is not None else self.main_id
        thread = self.threads.get(tid)
        if thread is None:
            thread = self.threads[tid] = _Thread(tid)
            name = record.get("thread")
            self.emit(
                {
                    "name": "thread_name",
                    "ph": "M",
                    "pid": self.pid,
                    "tid": self._tid(tid),
                    "args": {"name": name if type(name) is str else "thread %s" % (tid,)},
                }
            )
        t = self._us(_number(record.get("timestamp")))
        if t is not None:
            # Each record a nanosecond after the one before at least: records whose clock
            # readings are equal (or step back) still give spans that nest one way only.
            if thread.clock is not None and t <= thread.clock:
                t = round(thread.clock + 0.001, 3)
            thread.clock = t
            if thread.first is None:
                thread.first = t
            self.last = t if self.last is None else max(self.last, t)
        if is_exception_note(record):
            held = thread.held.pop(record.get("frame_id"), None)
            if held is not None:
                event, ret = held
                self._ending(event["args"], with_exception(ret, record))
                self.emit(event)
        elif thread.held and not (record.get("event") == "return" and ended(record)[0] == "raised"):
            self._release(thread)  # the notes of an exception come before any other record
        stack = thread.stack
        low = stack[-1].low if stack else thread.low
        if record.get("type") != "frame":
            at = t if t is not None else (low if low is not None else 0.0)
            self.emit(
                {
                    "name": _plugin_name(record),
                    "cat": "plugin",
                    "ph": "i",
                    "s": "t",
                    "ts": at,
                    "pid": self.pid,
                    "tid": self._tid(tid),
                    "args": jsonable({k: v for k, v in record.items() if k not in PLUGIN_BASE_KEYS or k == "frame_id"}),
                }
            )
            if stack and t is not None:
                stack[-1].latest = max(stack[-1].latest, t)
            return
        event = record.get("event")
        if event == "call":
            start = t if t is not None else (low if low is not None else 0.0)
            if low is not None and start < low:
                start = low  # wall-clock time stepped back: still after the previous sibling
            stack.append(_Open(start, record))
            return
        if event != "return":
            return
        index = innermost_open(stack, record.get("frame_id"))
        if index is not None:
            while len(stack) > index + 1:  # their return records are missing
                lost = stack.pop()
                self._close(thread, lost, lost.latest, None, "no return recorded")
            self._close(thread, stack.pop(), t, record, None)
            return
        # The call happened before recording began: at the top of the thread,
        # everything recorded before on the thread ran inside it.
        if stack:
            start = stack[-1].low
        else:
            start = thread.first if thread.first is not None else t
        node = _Open(start if start is not None else 0.0, None)
        node.latest = max(node.latest, thread.low) if thread.low is not None and not stack else node.latest
        self._close(thread, node, t, record, NO_CALL_RING if self.ring else NO_CALL)

    @staticmethod
    def _tid(tid):
        return tid if isinstance(tid, int) else 0

    def _close(self, thread, node, end, ret, incomplete) -> None:
        if end is None or end < node.latest:
            end = node.latest
        stack = thread.stack
        if stack:
            parent = stack[-1]
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

    def _release(self, thread) -> None:
        for event, _ in thread.held.values():
            self.emit(event)
        thread.held.clear()

    def finish(self) -> None:
        """Calls without a return run to the end of the trace. They are
        written outermost first, so that spans ending together still nest in
        the order written."""
        for thread in self.threads.values():
            self._release(thread)
            open_nodes = thread.stack
            for depth, node in enumerate(open_nodes):
                thread.stack = open_nodes[:depth]
                self._close(thread, node, self.last, None, "no return recorded")
            thread.stack = []


# Notes without a time (of dropped records, of calls left out) may come before the first
# record of a list that has one.
_ORIGIN_WITHIN = 4


def _origin(records, top):
    """The time events are counted from: the earliest first time of a list (each list
    is in the order of its thread's events), found among its first few records."""
    firsts = []
    looked: dict = {}  # buffer id -> records of it looked at (past the first time found: more)
    for buffer_id, record in records:
        n = looked[buffer_id] = looked.get(buffer_id, 0) + 1
        if n <= _ORIGIN_WITHIN and isinstance(record, dict) and _number(record.get("timestamp")) is not None:
            looked[buffer_id] = _ORIGIN_WITHIN
            firsts.append(_number(record["timestamp"]))
    if firsts:
        return min(firsts)
    return _number(top.get("timestamp"))


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
    chrome = ChromeEvents(document, events.append, _origin(all_records(document), document))
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
        origin = _origin(first.records(first_only=_ORIGIN_WITHIN), first.top)
        top = first.top
    out.write('{"traceEvents":[\n')
    count = [0]

    def emit(event) -> None:
        if count[0]:
            out.write(",\n")
        out.write(_dump(event))
        count[0] += 1

    chrome = ChromeEvents(top, emit, origin)
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

    state = {"keys": set(), "frames": False, "list": False, "items": 0}

    def begin_key(key) -> None:
        end_sections()
        text = _key(key)
        if text in state["keys"]:  # as jsonable does for repeated keys
            n = 2
            while "%s~%d" % (text, n) in state["keys"]:
                n += 1
            text = "%s~%d" % (text, n)
        out.write(("," if state["keys"] else "") + _dump(text) + ":")
        state["keys"].add(text)

    def end_list() -> None:
        if state["list"]:
            out.write("]")
            state["list"] = False

    def end_sections() -> None:
        end_list()
        if state["frames"]:
            out.write("}")
            state["frames"] = False

    def on_entry(key, value) -> None:
        begin_key(key)
        out.write(_dump(jsonable(value)))

    def on_list(thread_id, count) -> None:
        if thread_id == "frames":
            begin_key("frames")
            out.write("{")
            state["frames"], state["items"] = True, 0
        elif state["frames"] and thread_id is not None:
            end_list()
            out.write(("," if state["items"] else "") + _dump(_key(thread_id)) + ":[")
            state["items"] += 1
            state["list"], state["records"] = True, 0
        else:
            begin_key("frames_of_interest")
            out.write("[")
            state["list"], state["records"] = True, 0

    out.write("{")
    for read, (_, record) in enumerate(DocumentStream(pieces).records(on_list=on_list, on_entry=on_entry), 1):
        out.write(("," if state["records"] else "") + _dump(jsonable(record)))
        state["records"] += 1
        if progress is not None and not read & 4095:
            progress(read)
    end_sections()
    out.write("}\n")
