"""A stored trace read for comparison: one compact call tree per thread.

The records are never decoded on the way. The core writes every frame record
in one layout (path, co_name, qualname, event, frame_id, arg, locals, thread,
thread_native_id, timestamp, type, user_code_call_site, then "end" or
"resumes" when present), so the parts a comparison needs are found by their
keys' bytes: the function (the bytes from "path" to "event"), the values (from
"arg" to "thread"), how the call ended and the caller's line. Ids, timestamps
and native thread ids are left out of what is compared, and so are object
addresses in texts (" at 0x7f..."), which differ from run to run.

A node's call and return are each summed up by a hash of those bytes; two
nodes whose hashes match went the same way. Where they do not, the records
are read again (`RecordFetcher`) and decoded, for the few that are shown.
"""

from __future__ import annotations

import array
import re
import struct

import msgpack

__all__ = ["FunctionKeys", "RecordFetcher", "ThreadCalls", "TraceCalls", "read_trace", "raw_records"]

_CALL = b"\xa5event\xa4call\xa8frame_id"
_RETURN = b"\xa5event\xa6return\xa8frame_id"
_ARG = b"\xa3arg"
_THREAD = b"\xa6thread"
_NATIVE_ID = b"\xb0thread_native_id"
_TIMESTAMP = b"\xa9timestamp\xcb"
_SITE_WITH_ID = b"\xa4type\xa5frame\xb3user_code_call_site\x82\xadcall_frame_id\xbe"
_SITE_NONE = b"\xa4type\xa5frame\xb3user_code_call_site\xc0"
_RESUMES = b"\xa7resumes\xbe"
_RAISED = b"\xa3end\xa6raised"
_ADDRESS = re.compile(rb" at 0x[0-9a-fA-F]{4,}")
_ADDRESS_TEXT = re.compile(r" at 0x[0-9a-fA-F]{4,}")
_UINT_SIZE = {0xCC: 2, 0xCD: 3, 0xCE: 5, 0xCF: 9}
_DOUBLE = struct.Struct(">d")

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
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, max_buffer_size=2**31 - 1)
    pieces = iter(pieces)
    state = [b"", 0]  # the bytes not yet let go, and the document offset of their start

    def more(keep_from=None) -> None:
        for piece in pieces:
            if piece:
                piece = bytes(piece)
                unpacker.feed(piece)
                held, base = state
                # What was read is let go. (After running out of data the unpacker's
                # position is past the bytes it tried, not at the start of the value.)
                cut = (keep_from if keep_from is not None else unpacker.tell()) - base
                state[0] = held[cut:] + piece if cut < len(held) else piece[cut - len(held) :]
                state[1] = base + cut
                return
        raise ValueError("the trace document ends early")

    def call(method):
        while True:
            try:
                return method()
            except msgpack.OutOfData:
                more()

    skip, tell = unpacker.skip, unpacker.tell
    for _ in range(call(unpacker.read_map_header)):
        key = call(unpacker.unpack)
        if key == "frames_of_interest":
            lists = [None]
        elif key == "frames":
            lists = range(call(unpacker.read_map_header))
        else:
            call(skip)
            continue
        for _ in lists:
            if key == "frames":
                call(unpacker.unpack)  # the thread's native id: every record says it too
            left = call(unpacker.read_array_header)
            start = tell()
            while left:
                try:
                    held, base = state
                    while left:
                        skip()
                        end = tell()
                        left -= 1
                        yield start, held[start - base : end - base]
                        start = end
                except msgpack.OutOfData:
                    more(start)


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
        self.children: dict = {-1: []}
        self.first = None  # the first timestamp
        self.open: list = []  # (node, frame id bytes) of calls not returned yet
        self.records = 0

    def __len__(self) -> int:
        return len(self.fn)

    def kids(self, node: int) -> list:
        return self.children.get(node, ())

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
    """Reads a trace document (bytes pieces) into compact call trees."""
    trace = TraceCalls()
    threads: dict = {}  # thread entry bytes -> ThreadCalls
    by_native: dict = {}  # native id -> ThreadCalls
    unpack_double = _DOUBLE.unpack_from
    key_ids = keys.ids
    last_entry = thread = stack = children = None
    count = 0
    for offset, record in raw_records(pieces):
        count += 1
        # (slices and compares: bytes.find and startswith parse their arguments at a
        # cost, the more of them the more)
        if record[1:6] != b"\xa4path":
            _other(trace, threads, by_native, keys, record, offset, main_id)
            last_entry = None
            continue
        event_at = record.find(b"\xa5event")
        kind = record[event_at + 6] if event_at > 0 else 0
        if kind == 0xA4:  # "call"
            p = event_at + 20
        elif kind == 0xA6:  # "return"
            p = event_at + 22
        else:
            p = -1
        # The thread's entry is most often the one of the record before: the last place
        # it is found is where it is (no value of the program's comes after it).
        thread_at = record.rfind(last_entry) if last_entry is not None and p > 0 else -1
        ts_at = thread_at + len(last_entry or b"")
        if thread_at > p and record[ts_at : ts_at + 11] == b"\xa9timestamp\xcb":
            other_thread = False
        else:
            other_thread = True
            native_at = record.rfind(b"\xb0thread_native_id")
            ts_at = record.find(b"\xa9timestamp\xcb", native_at)
            thread_at = record.rfind(b"\xa6thread", p, native_at) if p > 0 and native_at > 0 and ts_at > 0 else -1
            if thread_at < 0:
                _other(trace, threads, by_native, keys, record, offset, main_id)
                last_entry = None
                continue
        if record[p] == 0xBE:
            frame_id = record[p + 1 : p + 31]
            values = record[p + 31 : thread_at]
        else:
            frame_id = None
            values = record[p + 1 : thread_at]
        # (bytes.find: `in` first tries the operand as a byte value, and pays for the error)
        if values.find(b" at 0x") >= 0:
            values = _ADDRESS.sub(b" at 0x?", values)
        if other_thread:
            entry = record[thread_at:ts_at]
            thread = threads.get(entry)
            if thread is None:
                thread = _thread_of(trace, threads, by_native, entry, main_id)
            last_entry = entry
            stack, children, fns, starts = thread.open, thread.children, thread.fn, thread.start
            ret_hash, ret_at, ends, call_hash = thread.ret_hash, thread.ret_at, thread.end, thread.call_hash
            subtree, sums, add_subtree = thread.subtree, thread.sums, thread.subtree.append
            add_fn, add_parent, add_call, add_ret = (
                fns.append,
                thread.parent.append,
                thread.call_hash.append,
                ret_hash.append,
            )
            add_call_at, add_ret_at, add_start, add_end = (
                thread.call_at.append,
                ret_at.append,
                starts.append,
                ends.append,
            )
            if thread.first is None:
                thread.first = unpack_double(record, ts_at + 11)[0]
        ts = unpack_double(record, ts_at + 11)[0]
        # After the timestamp: the type, the caller's id (left out) and line, how it ended.
        tail = record[ts_at + 96 :] if record[ts_at + 50] == 0x82 else record[ts_at + 51 :]
        if len(tail) > 36:
            resumes = tail.find(_RESUMES)
            if resumes >= 0:
                tail = tail[:resumes]
        if kind == 0xA4:
            name = record[1:event_at]
            fn = key_ids.get(name)
            if fn is None:
                fn = keys.id(name)
            node = len(fns)
            parent = stack[-1][0] if stack else -1
            add_fn(fn)
            add_parent(parent)
            add_call(hash((fn, values, tail)) or 1)
            add_ret(0)
            add_subtree(0)
            add_call_at(offset)
            add_ret_at(-1)
            add_start(ts)
            add_end(ts)
            kids = children.get(parent)
            if kids is None:
                children[parent] = [node]
            else:
                kids.append(node)
            stack.append((node, frame_id))
            sums.append(0)
            continue
        # A return: its call is open, most often on top.
        if stack and stack[-1][1] == frame_id and frame_id is not None:
            node = stack.pop()[0]
            inner = sums.pop()
        else:
            inner = None
            index = len(stack) - 1
            if frame_id is not None:
                while index >= 0 and stack[index][1] != frame_id:
                    index -= 1
            if index < 0:
                # Its call was not recorded: a node of its own, without a call.
                node = thread.new(keys.id(record[1:event_at]), 0, -1, thread.first)
            else:
                node = stack[index][0]
                del stack[index:]
                del sums[index:]
        ret_hash[node] = returned = hash((record[1:event_at], values, tail)) or 1
        if inner is not None:
            subtree[node] = whole = hash((call_hash[node], returned, inner)) or 1
            if sums:
                sums[-1] = hash((sums[-1], whole))
        elif sums:
            sums[-1] = 1  # (what it held is not known: no match by subtree)
        ret_at[node] = offset
        ends[node] = ts
        # (the caller's line takes 13 to 17 bytes, and without a caller the tail is empty:
        # only a longer one, or one that begins with "end", says how the call ended)
        if frame_id is not None and (len(tail) > 17 or tail[:1] == b"\xa3") and tail.find(_RAISED) >= 0:
            # The exception it raised is named by a note that follows.
            raised = thread.raised
            raised[frame_id] = node
            if len(raised) > 256:
                del raised[next(iter(raised))]
    trace.records = count
    # Time per function: its returned calls, from call to return.
    seconds = trace.seconds
    for thread in threads_in_order(threads):
        for fn, start, end, returned in zip(thread.fn, thread.start, thread.end, thread.ret_at):
            if returned < 0:
                continue
            spent = seconds.get(fn)
            if spent is None:
                seconds[fn] = [1, end - start]
            else:
                spent[0] += 1
                spent[1] += end - start
    trace.threads = sorted(
        threads_in_order(threads), key=lambda t: (t.native_id != main_id, t.first if t.first is not None else 0.0)
    )
    return trace


def threads_in_order(threads: dict) -> list:
    seen, out = set(), []
    for thread in threads.values():
        if id(thread) not in seen:
            seen.add(id(thread))
            out.append(thread)
    return out


def _thread_of(trace, threads, by_native, entry: bytes, main_id) -> ThreadCalls:
    try:
        unpacker = msgpack.Unpacker(raw=False)
        unpacker.feed(entry)
        name = unpacker.unpack() and unpacker.unpack()
        unpacker.unpack()
        native_id = unpacker.unpack()
    except Exception:
        name, native_id = "?", None
    thread = by_native.get(native_id)
    if thread is None:
        thread = by_native[native_id] = ThreadCalls(name if type(name) is str else "?", native_id)
    threads[entry] = thread
    return thread


def _other(trace, threads, by_native, keys, record: bytes, offset: int, main_id) -> None:
    """A record that is not a frame record: a plugin's (a test's start and end, ...),
    the exception a call raised, what was left out or dropped."""
    try:
        data = msgpack.unpackb(record, raw=False, strict_map_key=False)
    except Exception:
        return
    if type(data) is not dict:
        return
    kind = data.get("type")
    if kind == "calls_left_out":
        for entry in data.get("functions") or ():
            if type(entry) is dict and type(entry.get("calls")) is int:
                trace.left_out += max(entry["calls"], 0)
        return
    if kind == "records_dropped":
        dropped = data.get("dropped", data.get("count"))
        trace.dropped += dropped if type(dropped) is int else 0
        return
    native_id = data.get("thread_native_id")
    thread = by_native.get(native_id)
    if thread is None:
        name = data.get("thread") if type(data.get("thread")) is str else "?"
        thread = by_native[native_id] = ThreadCalls(name, native_id)
        threads[("plugin", native_id)] = thread
    if kind == "exception" and "path" not in data and type(data.get("exception")) is dict:
        # Which exception a call raised: it joins the call's return.
        frame_id = data.get("frame_id")
        node = thread.raised.pop(frame_id.encode(), None) if type(frame_id) is str else None
        if node is not None:
            exception = data["exception"]
            thread.ret_hash[node] = _hash(thread.ret_hash[node], _plain(exception))
            thread.notes[node] = offset
        return
    if kind in ("start_test", "end_test"):
        node_id = data.get("node_id")
        trace.test = dict(trace.test or {})
        if type(node_id) is str:
            trace.test["node_id"] = node_id
        if kind == "end_test" and type(data.get("outcome")) is str:
            trace.test["outcome"] = data["outcome"]
    ts = data.get("timestamp") if type(data.get("timestamp")) is float else thread.first
    if thread.first is None:
        thread.first = ts
    name = str(kind)
    if type(data.get("subtype")) is str:
        name += "/" + data["subtype"]
    fn = keys.id(("plugin", name))
    thread.records += 1
    node = thread.new(fn, _hash(fn, _plain(data)), offset, ts if ts is not None else 0.0)
    thread.plugins.add(node)
    thread.subtree[node] = thread.call_hash[node]
    if thread.sums:
        thread.sums[-1] = hash((thread.sums[-1], thread.call_hash[node]))


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
