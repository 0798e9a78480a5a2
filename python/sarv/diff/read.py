"""A stored trace read for comparison: one compact call tree per thread.

The records are not decoded on the way: the parts a comparison needs are
read where they are. The core writes every frame record in one layout (path,
co_name, qualname, event, frame_id, arg, locals, thread, thread_native_id,
timestamp, type, user_code_call_site, then "end" or "resumes" when present):
the function is the bytes from "path" to "event", the values those from
"arg" to "thread", and the tail the caller's line and how the call ended.
Ids, timestamps and native thread ids are left out of what is compared, and
so are object addresses in texts (" at 0x7f..."), which differ from run to
run.

A node's call and return are each summed up by a hash of those bytes; two
nodes whose hashes match went the same way. Where they do not, the records
are read again (`RecordFetcher`) and decoded, for the few that are shown.

`read_trace` reads natively (sarv._speedups.read_calls, a loop that makes no
Python object per record); `read_trace_python` is the reference it follows,
and gives the same trees with hashes of Python's own. The two traces of one
comparison are always read by the same one.
"""

from __future__ import annotations

import array
import re
import struct

import msgpack

try:
    from sarv import _speedups
except ImportError:  # pragma: no cover - a build without the extension
    _speedups = None

__all__ = [
    "FunctionKeys",
    "RecordFetcher",
    "ThreadCalls",
    "TraceCalls",
    "raw_records",
    "read_trace",
    "read_trace_python",
]

_ADDRESS = re.compile(rb" at 0x[0-9a-fA-F]{4,}")
_ADDRESS_TEXT = re.compile(r" at 0x[0-9a-fA-F]{4,}")

# Entries of plugin records that differ from run to run whatever the program does.
VOLATILE_KEYS = frozenset(
    ("frame_id", "timestamp", "thread_native_id", "user_code_call_site", "duration", "start", "end_time", "trace_id")
)


def masked(text: str) -> str:
    """A text with object addresses left out."""
    return _ADDRESS_TEXT.sub(" at 0x…", text) if " at 0x" in text else text


def raw_records(pieces):
    """(offset, record bytes) of every record of a document given as bytes pieces,
    undecoded, in document order (the lists of "frames_of_interest" and "frames" as
    they come); offset is where the record begins in the document. The document's
    other entries are skipped."""
    stream = _PieceStream(pieces)
    unpacker, call = stream.unpacker, stream.call
    for _ in range(call(unpacker.read_map_header)):
        key = call(unpacker.unpack)
        if key == "frames_of_interest":
            yield from stream.records(call(unpacker.read_array_header))
        elif key == "frames":
            for _ in range(call(unpacker.read_map_header)):
                call(unpacker.unpack)  # the thread's native id: every record says it too
                yield from stream.records(call(unpacker.read_array_header))
        else:
            call(unpacker.skip)


class _PieceStream:
    """A msgpack reader fed from bytes pieces, which keeps the bytes of the value it is
    in, and where they begin in the document."""

    def __init__(self, pieces) -> None:
        self.unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, max_buffer_size=2**31 - 1)
        self.pieces = iter(pieces)
        self.held, self.base = b"", 0  # the bytes not yet let go, and the document offset of their start

    def more(self, keep_from=None) -> None:
        for piece in self.pieces:
            if piece:
                piece = bytes(piece)
                self.unpacker.feed(piece)
                # What was read is let go. (After running out of data the unpacker's
                # position is past the bytes it tried, not at the start of the value.)
                cut = (keep_from if keep_from is not None else self.unpacker.tell()) - self.base
                held = self.held
                self.held = held[cut:] + piece if cut < len(held) else piece[cut - len(held) :]
                self.base += cut
                return
        raise ValueError("the trace document ends early")

    def call(self, method):
        while True:
            try:
                return method()
            except msgpack.OutOfData:
                self.more()

    def records(self, left: int):
        skip, tell = self.unpacker.skip, self.unpacker.tell
        start = tell()
        while left:
            try:
                while left:
                    skip()
                    end = tell()
                    left -= 1
                    yield start, self.held[start - self.base : end - self.base]
                    start = end
            except msgpack.OutOfData:
                self.more(start)


class FunctionKeys:
    """Function identities shared by the traces compared: the bytes of a call record
    from "path" to "event" (file, first line, names), or a plugin record's kind, as
    small numbers."""

    def __init__(self) -> None:
        self.ids: dict = {}
        self.keys: list = []
        self._described: dict = {}

    def id(self, key) -> int:
        found = self.ids.get(key)
        if found is None:
            found = self.ids[key] = len(self.keys)
            self.keys.append(key)
        return found

    def group(self, fn: int) -> tuple:
        """(name, file) of a function id: the ids of one function's first calls and of a
        generator's resumptions (whose records name the line they resume at) share it."""
        described = self.describe(fn)
        return described["name"], described["path"].rpartition(":")[0] or described["path"]

    def describe(self, fn: int) -> dict:
        """{"name", "path", "co_name", "qualname"} of a function id; plugin records'
        kinds are named "type/subtype"."""
        found = self._described.get(fn)
        if found is not None:
            return found
        key = self.keys[fn]
        if type(key) is tuple:
            found = {"name": key[1], "path": "", "co_name": None, "qualname": None, "plugin": True}
        else:
            try:
                entries = msgpack.unpackb(b"\x83" + key, raw=False)
            except Exception:
                entries = {}
            path = entries.get("path") if type(entries.get("path")) is str else ""
            qualname = entries.get("qualname") if type(entries.get("qualname")) is str else None
            co_name = entries.get("co_name") if type(entries.get("co_name")) is str else None
            found = {"name": qualname or co_name or "?", "path": path, "co_name": co_name, "qualname": qualname}
        self._described[fn] = found
        return found


class ThreadCalls:
    """The calls of one thread, in call order (a pre-order of its tree), as parallel
    arrays indexed by node number."""

    def __init__(self, name: str, native_id) -> None:
        self.name = name
        self.native_id = native_id
        self.fn = array.array("i")  # function id
        self.parent = array.array("i")  # -1 at the top
        self.call_hash = array.array("q")  # 0: no call record
        self.ret_hash = array.array("q")  # 0: no return record
        # Of the whole activation, its calls included (0 while not known): two that match
        # went the same way throughout.
        self.subtree = array.array("q")
        self.sums: list = []  # of the open calls, what their finished calls added up to
        self.call_at = array.array("q")  # where the record begins in the document, -1 when absent
        self.ret_at = array.array("q")
        self.start = array.array("d")
        self.end = array.array("d")
        self.raised: dict = {}  # frame id -> node, of recent calls that raised
        self.plugins: set = set()  # nodes of plugin records (a test's start and end, ...)
        self.notes: dict = {}  # node -> where the note naming what it raised begins
        self.children: dict | None = {-1: []}
        # Or, from the native reader: the calls of node n are kid_list[kid_start[n + 1] :
        # kid_start[n + 2]] (n + 1: those of the top, -1, come first).
        self.kid_start = None
        self.kid_list = None
        # ... and, in the same order, the function, call hash and subtree hash of each:
        # what aligning the calls of a node compares, as slices.
        self.kid_fn = self.kid_hash = self.kid_subtree = None
        self.first = None  # the first timestamp
        self.open: list = []  # (node, frame id bytes) of calls not returned yet
        self.records = 0

    def __len__(self) -> int:
        return len(self.fn)

    def kids(self, node: int):
        if self.kid_start is not None:
            return self.kid_list[self.kid_start[node + 1] : self.kid_start[node + 2]]
        return self.children.get(node, ())

    def kid_columns(self, node: int) -> tuple:
        """(calls, their functions, their call hashes, their subtree hashes) of the calls
        a node made, in order, as arrays."""
        if self.kid_start is not None:
            low, high = self.kid_start[node + 1], self.kid_start[node + 2]
            return tuple(column[low:high] for column in (self.kid_list, self.kid_fn, self.kid_hash, self.kid_subtree))
        kids = self.children.get(node, ())
        return (
            kids,
            array.array("i", map(self.fn.__getitem__, kids)),
            array.array("q", map(self.call_hash.__getitem__, kids)),
            array.array("q", map(self.subtree.__getitem__, kids)),
        )

    def new(self, fn, call_hash, at, ts) -> int:
        node = len(self.fn)
        parent = self.open[-1][0] if self.open else -1
        self.fn.append(fn)
        self.parent.append(parent)
        self.call_hash.append(call_hash)
        self.ret_hash.append(0)
        self.subtree.append(0)
        self.call_at.append(at)
        self.ret_at.append(-1)
        self.start.append(ts)
        self.end.append(ts)
        kids = self.children.get(parent)
        if kids is None:
            self.children[parent] = [node]
        else:
            kids.append(node)
        return node


class TraceCalls:
    """What `read_trace` gives: the threads (the main thread first, then in the order
    of their first record), the document's other entries, and what the trace says it
    did not record."""

    def __init__(self) -> None:
        self.threads: list = []
        self.top: dict = {}
        self.records = 0
        self.left_out = 0  # calls counted but not recorded (call budget, caps)
        self.dropped = 0  # records dropped at a cap
        self.test = None  # {"node_id", "outcome"} of a test's trace
        self.seconds: dict = {}  # function id -> [calls, inclusive seconds]


def _hash(*parts) -> int:
    value = hash(parts)
    return value if value != 0 else 1


def _plain(record: dict) -> tuple:
    out = []
    for key, value in record.items():
        if key in VOLATILE_KEYS:
            continue
        if type(value) is str:
            value = masked(value)
        out.append((key, repr(value)))
    return tuple(out)


def read_trace(pieces, keys: FunctionKeys, main_id=None) -> TraceCalls:
    """Reads a trace document (bytes pieces) into compact call trees: natively when the
    extension has the reader, else as `read_trace_python` does."""
    reader = getattr(_speedups, "read_calls", None)
    if reader is None:  # pragma: no cover - a build without the extension
        return read_trace_python(pieces, keys, main_id)
    trace = TraceCalls()

    def other(offset, record):
        return _other_record(trace, keys, record)

    trace.records, threads, trace.seconds = reader(pieces, keys.ids, keys.keys, other)
    trace.threads = _in_order([_native_thread(item) for item in threads], main_id)
    return trace


_NATIVE_ARRAYS = (
    ("fn", "i"),
    ("parent", "i"),
    ("call_hash", "q"),
    ("ret_hash", "q"),
    ("subtree", "q"),
    ("call_at", "q"),
    ("ret_at", "q"),
    ("start", "d"),
    ("end", "d"),
    ("kid_start", "i"),
    ("kid_list", "i"),
    ("kid_fn", "i"),
    ("kid_hash", "q"),
    ("kid_subtree", "q"),
)


def _native_thread(item: tuple) -> ThreadCalls:
    name, native_id, first, *arrays, plugins, notes = item
    thread = ThreadCalls(name, native_id)
    for (attribute, code), data in zip(_NATIVE_ARRAYS, arrays):
        values = array.array(code)
        values.frombytes(data)
        setattr(thread, attribute, values)
    thread.first, thread.plugins, thread.notes, thread.children = first, set(plugins), notes, None
    return thread


def _in_order(threads: list, main_id) -> list:
    """The main thread first, then the others in the order of their first record."""
    return sorted(threads, key=lambda t: (t.native_id != main_id, t.first if t.first is not None else 0.0))


def _seconds(threads: list) -> dict:
    """Time per function id: its returned calls, from call to return."""
    seconds: dict = {}
    for thread in threads:
        for fn, start, end, returned in zip(thread.fn, thread.start, thread.end, thread.ret_at):
            if returned < 0:
                continue
            spent = seconds.get(fn)
            if spent is None:
                seconds[fn] = [1, end - start]
            else:
                spent[0] += 1
                spent[1] += end - start
    return seconds


_FRAME_KEYS = [
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


class _Frame:
    """The parts of a frame record that are compared, as bytes of the record: the
    function (from "path" to "event"), the values ("arg" and "locals", addresses left
    out), the tail (the caller's line and how the call ended, without "resumes")."""

    __slots__ = ("function", "call", "frame_id", "values", "thread", "native_id", "timestamp", "tail", "raised")


def _entries(record: bytes) -> list:
    """(key, where the key begins, where its value begins, where it ends) of a map."""
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False)
    unpacker.feed(record)
    out = []
    for _ in range(unpacker.read_map_header()):
        key_at = unpacker.tell()
        key = unpacker.unpack()
        value_at = unpacker.tell()
        unpacker.skip()
        out.append((key, key_at, value_at, unpacker.tell()))
    return out


def _frame_parts(record: bytes):
    """A frame record of the layout the core writes, in parts; None for another record."""
    try:
        entries = _entries(record)
        if [e[0] for e in entries[:12]] != _FRAME_KEYS:
            return None
        value = {key: msgpack.unpackb(record[at:end], raw=False) for key, _, at, end in entries[7:9]}
    except Exception:
        return None
    event = record[entries[3][2] : entries[3][3]]
    if event not in (b"\xa4call", b"\xa6return") or type(value["thread"]) is not str:
        return None
    native_id, timestamp_at = value["thread_native_id"], entries[9][2]
    if type(native_id) is not int or native_id < 0 or record[timestamp_at] != 0xCB:
        return None
    frame = _Frame()
    frame.function = record[entries[0][1] : entries[3][1]]
    frame.call = event == b"\xa4call"
    frame_id = record[entries[4][2] : entries[4][3]]
    frame.frame_id = frame_id[1:] if len(frame_id) == 31 and frame_id[0] == 0xBE else None
    frame.values = _ADDRESS.sub(b" at 0x?", record[entries[5][1] : entries[7][1]])
    frame.thread, frame.native_id = value["thread"], native_id
    frame.timestamp = struct.unpack_from(">d", record, timestamp_at + 1)[0]
    _, _, site_at, tail_at = entries[11]
    if record[site_at] == 0x82:  # a caller: its id is left out, its line kept
        tail_at = site_at + _entries(record[site_at:tail_at])[0][3]
    extra = entries[12:]
    tail_end = next((e[1] for e in extra if e[0] == "resumes"), len(record))
    frame.tail = record[tail_at:tail_end]
    frame.raised = any(e[0] == "end" and e[3] <= tail_end and record[e[2] : e[3]] == b"\xa6raised" for e in extra)
    return frame


def read_trace_python(pieces, keys: FunctionKeys, main_id=None) -> TraceCalls:
    """Reads a trace document (bytes pieces) into compact call trees, record by record:
    the reference the native reader follows (its hashes are Python's own)."""
    trace = TraceCalls()
    reader = _Reader(keys)
    for offset, record in raw_records(pieces):
        trace.records += 1
        frame = _frame_parts(record)
        if frame is None:
            reader.other(offset, _other_record(trace, keys, record))
        elif frame.call:
            reader.call(offset, frame)
        else:
            reader.returned(offset, frame)
    threads = threads_in_order(reader.threads)
    trace.seconds = _seconds(threads)
    trace.threads = _in_order(threads, main_id)
    return trace


class _Reader:
    """The trees of `read_trace_python` as they grow."""

    def __init__(self, keys: FunctionKeys) -> None:
        self.keys = keys
        self.threads: dict = {}  # native id -> ThreadCalls, in the order they came

    def thread(self, native_id, name: str) -> ThreadCalls:
        thread = self.threads.get(native_id)
        if thread is None:
            thread = self.threads[native_id] = ThreadCalls(name, native_id)
        return thread

    def call(self, offset: int, frame: _Frame) -> None:
        thread = self.thread(frame.native_id, frame.thread)
        if thread.first is None:
            thread.first = frame.timestamp
        fn = self.keys.id(frame.function)
        node = thread.new(fn, hash((fn, frame.values, frame.tail)) or 1, offset, frame.timestamp)
        thread.open.append((node, frame.frame_id))
        thread.sums.append(0)

    def returned(self, offset: int, frame: _Frame) -> None:
        thread = self.thread(frame.native_id, frame.thread)
        if thread.first is None:
            thread.first = frame.timestamp
        stack, sums, frame_id = thread.open, thread.sums, frame.frame_id
        inner = None
        # Its call is open, most often on top.
        if stack and frame_id is not None and stack[-1][1] == frame_id:
            node = stack.pop()[0]
            inner = sums.pop()
        else:
            index = len(stack) - 1
            while frame_id is not None and index >= 0 and stack[index][1] != frame_id:
                index -= 1
            if index < 0:
                # Its call was not recorded: a node of its own, without a call.
                node = thread.new(self.keys.id(frame.function), 0, -1, thread.first)
            else:
                node = stack[index][0]
                del stack[index:], sums[index:]
        thread.ret_hash[node] = returned = hash((frame.function, frame.values, frame.tail)) or 1
        if inner is not None:
            thread.subtree[node] = whole = hash((thread.call_hash[node], returned, inner)) or 1
            if sums:
                sums[-1] = hash((sums[-1], whole))
        elif sums:
            sums[-1] = 1  # (what it held is not known: no match by subtree)
        thread.ret_at[node] = offset
        thread.end[node] = frame.timestamp
        if frame_id is not None and frame.raised:
            # The exception it raised is named by a note that follows.
            raised = thread.raised
            raised[frame_id] = node
            if len(raised) > 256:
                del raised[next(iter(raised))]

    def other(self, offset: int, said) -> None:
        """What `_other_record` said of a record that is not a frame record."""
        if said is None:
            return
        kind, native_id, name = said[:3]
        thread = self.thread(native_id, name)
        if kind == "note":
            frame_id, noted = said[3:]
            node = thread.raised.pop(frame_id, None) if frame_id is not None else None
            if node is not None:
                thread.ret_hash[node] = _hash(thread.ret_hash[node], noted)
                thread.notes[node] = offset
                _unsettle(thread, node, noted)
            return
        fn, record_hash, ts = said[3:]
        if ts is None:
            ts = thread.first
        if thread.first is None:
            thread.first = ts
        node = thread.new(fn, record_hash, offset, ts if ts is not None else 0.0)
        thread.plugins.add(node)
        thread.subtree[node] = record_hash
        if thread.sums:
            thread.sums[-1] = hash((thread.sums[-1], record_hash))


def _unsettle(thread: ThreadCalls, node: int, noted: int) -> None:
    """A note came after the call it names had returned: the hashes of the calls that
    returned since, which did not know of it, are not known any more (those calls are
    walked into), and the innermost call still open takes the note into its sum."""
    open_at = {open_node: index for index, (open_node, _) in enumerate(thread.open)}
    while node >= 0 and node not in open_at:
        thread.subtree[node] = 0
        node = thread.parent[node]
    if node >= 0:
        index = open_at[node]
        thread.sums[index] = hash((thread.sums[index], noted))


def threads_in_order(threads: dict) -> list:
    seen, out = set(), []
    for thread in threads.values():
        if id(thread) not in seen:
            seen.add(id(thread))
            out.append(thread)
    return out


def _other_record(trace: TraceCalls, keys: FunctionKeys, record: bytes):
    """A record that is not a frame record (a plugin's, such as a test's start and end;
    the exception a call raised; what was left out or dropped), decoded. What the trace
    says of itself is kept in `trace`; what goes into a thread's tree is returned: None,
    ("node", native id, thread name, function id, hash, timestamp or None), or ("note",
    native id, thread name, the frame id of the call that raised or None, hash)."""
    try:
        data = msgpack.unpackb(record, raw=False, strict_map_key=False)
    except Exception:
        return None
    if type(data) is not dict:
        return None
    kind = data.get("type")
    if kind in ("calls_left_out", "records_dropped"):
        _left_out(trace, data)
        return None
    native_id = data.get("thread_native_id")
    native_id = native_id if type(native_id) is int and 0 <= native_id < 2**64 else None
    name = data.get("thread") if type(data.get("thread")) is str else "?"
    if kind == "exception" and "path" not in data and type(data.get("exception")) is dict:
        # Which exception a call raised: it joins the call's return.
        frame_id = data.get("frame_id")
        frame_id = frame_id.encode() if type(frame_id) is str else None
        return ("note", native_id, name, frame_id, _hash(_plain(data["exception"])))
    if kind in ("start_test", "end_test"):
        node_id = data.get("node_id")
        trace.test = dict(trace.test or {})
        if type(node_id) is str:
            trace.test["node_id"] = node_id
        if kind == "end_test" and type(data.get("outcome")) is str:
            trace.test["outcome"] = data["outcome"]
    ts = data.get("timestamp") if type(data.get("timestamp")) is float else None
    function = str(kind) + ("/" + data["subtype"] if type(data.get("subtype")) is str else "")
    fn = keys.id(("plugin", function))
    return ("node", native_id, name, fn, _hash(fn, _plain(data)), ts)


def _left_out(trace: TraceCalls, data: dict) -> None:
    if data.get("type") == "calls_left_out":
        for entry in data.get("functions") or ():
            if type(entry) is dict and type(entry.get("calls")) is int:
                trace.left_out += max(entry["calls"], 0)
    else:
        dropped = data.get("dropped", data.get("count"))
        trace.dropped += dropped if type(dropped) is int else 0


class RecordFetcher:
    """Decoded records of a trace by where they begin, read again from the stored
    document (decompressed again, but not decoded up to them)."""

    def __init__(self, open_pieces) -> None:
        self._open = open_pieces

    def fetch(self, offsets) -> dict:
        wanted = sorted(set(o for o in offsets if o is not None and o >= 0))
        found: dict = {}
        if not wanted:
            return found
        with self._open() as stream:
            pieces = (bytes(piece) for piece in stream if piece)
            buffer, base = b"", 0
            for offset in wanted:
                while base + len(buffer) <= offset:
                    base += len(buffer)
                    buffer = next(pieces, None)
                    if buffer is None:
                        return found
                unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, max_buffer_size=2**31 - 1)
                unpacker.feed(buffer[offset - base :])
                while True:
                    try:
                        found[offset] = unpacker.unpack()
                        break
                    except msgpack.OutOfData:
                        more = next(pieces, None)
                        if more is None:
                            found[offset] = None
                            break
                        unpacker.feed(more)
                        buffer += more
                    except Exception:
                        found[offset] = None
                        break
        return found
