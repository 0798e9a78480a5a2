"""The trace as the page reads it: compact columns, values kept compressed.

`PageData` takes the records of a trace one at a time (from a stored
trace's stream, or from a decoded document) and keeps only what the page
needs, so a large trace is never held decoded:

* the structure, a JSON-ready dict: a header, a table of texts, a table of
  functions and, per thread, one column per field of its calls in call
  order (start and duration in nanoseconds since the trace's first record,
  depth, function, flags), its plugin records and its test bands;
* the values, one MessagePack map per call ("a" arguments, "l" locals at
  the return, "v" return value or "x" exception as Python shows it, "e" how it ended if not
  by a return or a failing raise, "s" the caller's line, "n" and "t" the lines of the call and
  the return) or per plugin record, numbered in the order they are made
  (each call's and marker's number is in the structure). They are
  packed as they come into chunks of about a megabyte, each compressed
  with zlib (in a second thread, so that it overlaps the reading) and
  written as base64: the page inflates a chunk with the browser's own
  DecompressionStream when a call of it is opened, decodes that call's
  values alone, and turns values into the JSON form of the export
  (sarv.views.export) itself. A stored trace's values are not even
  decoded here (`StoredRecords` carries their bytes), and none is written
  as JSON: decoding, checking and JSON-encoding them was most of the time
  a large page took.

Calls pair up in the reader every view uses (sarv.views.records): by frame
id; a call whose return is missing ends at the last time seen inside it; a
return without its call starts after its previous sibling or, at the top
of a thread, adopts everything the thread recorded before it (after a
test's start). Calls still running when recording stopped reach the end of
the trace. Spans are clamped to nest exactly (a call never starts before
its caller or an earlier sibling ends, nor ends after its caller) since
wall-clock time can step backwards.
"""

from __future__ import annotations

import base64
import json
import math
import zlib

import msgpack

from sarv.views.export import jsonable
from sarv.views.records import ThreadCalls, TraceReader, View, all_records, ended, exception_text, with_exception
from sarv.views.tree import PLUGIN_BASE_KEYS

__all__ = ["FLAG_NO_END", "FLAG_NO_START", "FLAG_RAISED", "PageData", "dumps", "ended", "page_data", "packed_text"]

# Flags of a call, as the page reads them.
FLAG_NO_START = 1  # called before recording began: the start is a lower bound
FLAG_NO_END = 2  # no return recorded: the end is a lower bound
FLAG_RAISED = 4  # the call ended with an exception


def dumps(value) -> str:
    """JSON text in ASCII, so that the page's character offsets are byte
    offsets, and with no "<", so that nothing in it can end the script
    element it sits in."""
    return json.dumps(value, ensure_ascii=True, allow_nan=False, separators=(",", ":")).replace("<", "\\u003c")


_PACK = msgpack.Packer(use_bin_type=True, datetime=False).pack


def _pack(value) -> bytes:
    try:
        return _PACK(value)
    except (TypeError, ValueError, OverflowError):
        # Nested past the packer's limit, or a value the stream cannot have
        # given: shown as the export's JSON text of it, not lost silently.
        try:
            return _PACK(dumps(jsonable(value)))
        except (TypeError, ValueError, RecursionError):
            return _PACK("<a value the page cannot hold>")


def packed_text(value) -> str:
    """base64 of the zlib stream of `value`'s JSON text: how the page holds
    its structure."""
    return base64.b64encode(zlib.compress(dumps(value).encode("ascii"), 6)).decode("ascii")


CHUNK_BYTES = 1 << 20  # packed values per compressed chunk, about
COMPRESS_LEVEL = 1  # level 6 halves the page again but costs twice the time


def _compress(data: bytes) -> str:
    return base64.b64encode(zlib.compress(data, COMPRESS_LEVEL)).decode("ascii")


class _Values:
    """Packed values, numbered in the order they are added, compressed a
    chunk at a time; the chunks past the first are compressed by a second
    thread while the records are read."""

    def __init__(self) -> None:
        self.count = 0
        self.buffer = bytearray()
        self.first = 0  # the number of the buffer's first value
        self.chunks: list = []  # [first number, count, base64 text or a future of it]
        self.pool = None

    def add(self, data: bytes) -> int:
        self.buffer += data
        self.count += 1
        if len(self.buffer) >= CHUNK_BYTES:
            self._seal()
        return self.count - 1

    def _seal(self) -> None:
        if not self.buffer:
            return
        data = bytes(self.buffer)
        self.buffer.clear()
        if self.pool is None:
            from concurrent.futures import ThreadPoolExecutor

            self.pool = ThreadPoolExecutor(max_workers=1, thread_name_prefix="sarv-page")
        # At most a few chunks wait, so that the packed bytes never pile up.
        waiting = [c for c in self.chunks[-4:] if not isinstance(c[2], str)]
        if len(waiting) >= 4:
            waiting[0][2].result()
        self.chunks.append([self.first, self.count - self.first, self.pool.submit(_compress, data)])
        self.first = self.count

    def finish(self):
        """([first number, count] per chunk, the chunks' base64 texts)."""
        try:
            if self.buffer:
                self.chunks.append([self.first, self.count - self.first, _compress(bytes(self.buffer))])
                self.buffer = bytearray()
                self.first = self.count
            texts = [c[2] if isinstance(c[2], str) else c[2].result() for c in self.chunks]
        finally:
            self.close()
        return [c[:2] for c in self.chunks], texts

    def close(self) -> None:
        if self.pool is not None:
            self.pool.shutdown(wait=True, cancel_futures=True)
            self.pool = None


class _Raw(bytes):
    """A value as the document's MessagePack bytes, not decoded: the page
    decodes it when its call is opened."""

    __slots__ = ()


def _plain(value):
    """A value decoded, for what is read whole (plugin records)."""
    if type(value) is _Raw:
        return msgpack.unpackb(value, raw=False, strict_map_key=False)
    return value


_MAP_HEADERS = frozenset(range(0x80, 0x90)) | {0xDE, 0xDF}


class StoredRecords:
    """The records of a stored document, read from its bytes as
    sarv.views.stream.DocumentStream reads them (the same records, in the
    same order, and `top`: the document's other entries), except that the
    "locals" and "arg" entries of a record are its bytes (`_Raw`), skipped
    rather than decoded: the page only carries them."""

    def __init__(self, pieces) -> None:
        if isinstance(pieces, (bytes, bytearray, memoryview)):
            pieces = [bytes(pieces)]
        self._pieces = iter(pieces)
        self.unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, max_buffer_size=2**31 - 1)
        self._buffer = bytearray()  # the bytes fed from offset `_base` on
        self._base = 0
        self._fed = 0
        self.top: dict = {}

    def _feed(self) -> bool:
        for piece in self._pieces:
            if piece:
                self.unpacker.feed(piece)
                self._buffer += piece
                self._fed += len(piece)
                return True
        return False

    def _call(self, method):
        # The unpacker keeps what it has read of a value cut by the end of
        # the bytes fed: called again with more, it goes on from there.
        while True:
            try:
                return method()
            except msgpack.OutOfData:
                if not self._feed():
                    raise ValueError("the trace document ends early") from None

    def records(self):
        """(thread id or None, record) in document order."""
        unpacker = self.unpacker
        for _ in range(self._call(unpacker.read_map_header)):
            key = self._call(unpacker.unpack)
            if key == "frames":
                for _ in range(self._call(unpacker.read_map_header)):
                    thread_id = self._call(unpacker.unpack)
                    for _ in range(self._call(unpacker.read_array_header)):
                        yield thread_id, self._record()
            elif key == "frames_of_interest":
                for _ in range(self._call(unpacker.read_array_header)):
                    yield None, self._record()
            else:
                self.top[key] = self._call(unpacker.unpack)
        while self._feed():
            pass
        if unpacker.tell() != self._fed:
            raise ValueError("trailing bytes after the trace document")

    def _record(self):  # noqa: C901 - one pass over a record, for speed: most of a large page's time is here
        unpacker = self.unpacker
        at = unpacker.tell()
        if at - self._base > 1 << 22:  # the bytes before this record are no longer needed
            del self._buffer[: at - self._base]
            self._base = at
        while at - self._base >= len(self._buffer):
            if not self._feed():
                raise ValueError("the trace document ends early")
        if self._buffer[at - self._base] not in _MAP_HEADERS:
            return self._call(unpacker.unpack)  # not a map: as it is
        entries = self._call(unpacker.read_map_header)
        record: dict = {}
        key = start = None
        done = 0
        while done < entries:
            try:
                if key is None:
                    key = unpacker.unpack()
                if key == "locals" or key == "arg":
                    if start is None:
                        start = unpacker.tell()
                    unpacker.skip()
                    base = self._base
                    record[key] = _Raw(self._buffer[start - base : unpacker.tell() - base])
                    start = None
                else:
                    record[key] = unpacker.unpack()  # a repeated key: the last one stands, as when decoded
                key = None
                done += 1
            except msgpack.OutOfData:
                if not self._feed():
                    raise ValueError("the trace document ends early") from None
        return record


def _count(value) -> int:
    return value if type(value) is int and value > 0 else 0


def _seconds(value):
    if type(value) in (int, float) and math.isfinite(value) and value >= 0:
        return float(value)
    return None


def _split_path(path) -> tuple:
    if type(path) is not str:
        return "", 0
    found = _PATHS.get(path)
    if found is None:
        file, sep, line = path.rpartition(":")
        found = (file, int(line)) if sep and line.isdigit() else (path, 0)
        if len(_PATHS) > 100_000:
            _PATHS.clear()
        _PATHS[path] = found
    return found


_PATHS: dict = {}  # path -> (file, line): a trace names few places, many times


# Keys of a call's values: one letter each, so that searching the values
# finds what the program held, not these names.
def _detail(call: dict | None, ret: dict | None, line: int) -> bytes:
    parts = [_KEYS["n"], _pack(line)]
    if call is not None:
        parts += (_KEYS["a"], _packed(call.get("locals")))
        site = call.get("user_code_call_site")
        if isinstance(site, dict):
            parts += (_KEYS["s"], _pack(site.get("line_number")))
    if ret is not None:
        parts += (_KEYS["l"], _packed(ret.get("locals")), _KEYS["t"], _pack(ret.get("path")))
        kind, exception = ended(ret)
        if kind == "raised":
            parts += (_KEYS["x"], _pack(exception_text(exception) if exception is not None else "(exception not read)"))
        elif kind in ("exited", "interrupted"):  # the program's end, no failure
            parts += (_KEYS["e"], _pack(kind), _KEYS["x"], _pack(exception_text(exception)))
        else:
            if kind != "returned":
                parts += (_KEYS["e"], _pack(kind))
            parts += (_KEYS["v"], _packed(ret.get("arg")))
    # A map of those entries; values read as bytes of the document stay as they are.
    parts.insert(0, bytes((0x80 | len(parts) // 2,)))
    return b"".join(parts)


def _packed(value) -> bytes:
    return value if type(value) is _Raw else _pack(value)


_KEYS = {key: msgpack.packb(key) for key in "naslt" + "xev"}


class _Thread:
    """The calls of one thread, in call order, as they are read."""

    def __init__(self, calls: ThreadCalls) -> None:
        self.calls = calls  # the reader's: the calls open now are on its stack
        self.native_id = calls.key
        self.name = None
        self.records = 0
        self.first = self.last = None
        # One entry per call in each list.
        self.start: list = []
        self.end: list = []
        self.depth: list = []
        self.fn: list = []
        self.flags: list = []
        self.values: list = []  # the number of each call's values; None while it runs
        self.adopt_from = 0  # a return without its call adopts the calls from here on
        self.markers: list = []  # [time, name, values number, type, data]


class PageData(View):
    """Collects a trace record by record; `finish(top)` gives (structure,
    the values' chunks as base64 texts), `top` being the document's other
    entries. `close()` stops its compressing thread early (`finish` does
    it too).

    Open calls are the reader's, one list each: [index, call record, frame id,
    latest time seen inside, end of its last finished child]."""

    def __init__(self) -> None:
        self.reader = TraceReader(self)
        self.names: list = []
        self.name_index: dict = {}
        self.functions: list = []
        self.function_index: dict = {}
        self.function_of: dict = {}  # (qualname, co_name, path) -> (function, line)
        self.values = _Values()
        self.test_id = None
        self.outcome = None
        self.dropped = None  # what max_records left out, as the trace says
        self.left_out = None  # the entries of the records of calls left out
        self.budget = None

    def _text(self, text) -> int:
        text = "" if text is None else str(text)
        found = self.name_index.get(text)
        if found is None:
            found = self.name_index[text] = len(self.names)
            self.names.append(text)
        return found

    def _function(self, record: dict) -> tuple:
        """(function number, line) of a record's function."""
        key = (record.get("qualname"), record.get("co_name"), record.get("path"))
        try:
            found = self.function_of.get(key)
        except TypeError:  # a malformed record: a name that is no text
            found = None
        if found is None:
            found = self._new_function(record)
            try:
                self.function_of[key] = found
            except TypeError:
                pass
        return found

    def _new_function(self, record: dict) -> tuple:
        name = "?"
        for key in ("qualname", "co_name"):
            if type(record.get(key)) is str and record[key]:
                name = record[key]
                break
        file, line = _split_path(record.get("path"))
        key = (name, file)
        fn = self.function_index.get(key)
        if fn is None:
            fn = self.function_index[key] = len(self.functions)
            self.functions.append([self._text(name), self._text(file), line])
        return fn, line

    @property
    def threads(self) -> list:
        return [t.state for t in self.reader.threads.values()]

    def add(self, buffer_id, record, main_id=None) -> None:
        """Takes a record; `main_id`: the main thread's id, when known by now (records of
        no thread are its; else they are until `finish` says which it is)."""
        self.reader.main_id = main_id
        self.reader.add(buffer_id, record)

    def drop_note(self, record: dict) -> bool:
        if record.get("thread_native_id") is not None:
            return False  # a thread's marker
        self.dropped = {k: record.get(k) for k in ("dropped", "max_records", "max_bytes", "mode")}
        return True

    def calls_left_out(self, record: dict) -> None:
        self._left_out(record)

    def thread(self, t: ThreadCalls, record: dict) -> _Thread:
        return _Thread(t)

    def seen(self, t: ThreadCalls, record: dict, ts, kind: str) -> None:
        thread = t.state
        thread.records += 1
        if thread.name is None and type(record.get("thread")) is str:
            thread.name = record["thread"]
        if ts is not None:
            if thread.first is None or ts < thread.first:
                thread.first = ts
            if thread.last is None or ts > thread.last:
                thread.last = ts
            if t.stack:
                top = t.stack[-1]
                if top[3] is None or ts > top[3]:
                    top[3] = ts

    def note(self, t: ThreadCalls, kept, record: dict, ts) -> None:
        if kept is None:
            return
        thread = t.state
        index, call, ret = kept
        ret = with_exception(ret, record)
        if ended(ret)[0] != "raised":
            thread.flags[index] &= ~FLAG_RAISED  # SystemExit(0), KeyboardInterrupt
        detail = _detail(call, ret, _split_path(call.get("path"))[1])
        thread.values[index] = self.values.add(detail)

    def plugin(self, t: ThreadCalls, record: dict, ts) -> None:
        self._plugin(t, record, ts)

    def call(self, t: ThreadCalls, record: dict, ts) -> list:
        thread = t.state
        fn, _ = self._function(record)
        entry = [len(thread.start), record, record.get("frame_id"), ts, None]
        thread.start.append(ts)
        thread.end.append(None)
        thread.depth.append(len(t.stack))
        thread.fn.append(fn)
        thread.flags.append(0)
        thread.values.append(None)
        return entry

    def returned(self, t: ThreadCalls, entry, record: dict, ts):
        return self._close(t, entry, ts, record, complete=True)

    def unreturned(self, t: ThreadCalls, entry) -> None:
        self._close(t, entry, entry[3], None, complete=False)

    def _left_out(self, record: dict) -> None:
        """Keeps what a record of calls left out says; a second record adds
        up with the first. Its functions join the table of functions at the
        end, so that the recorded ones keep their numbers."""
        if self.left_out is None:
            self.left_out = []
            budget = record.get("budget")
            self.budget = budget if type(budget) is int and budget >= 0 else None
        self.left_out.extend(entry for entry in record["functions"] if type(entry) is dict)

    def _left_out_rows(self) -> list:
        """[function, calls, raised, total ns, longest ns] per function, most
        calls first; a time is None when the record holds no usable one."""
        rows: dict = {}
        for entry in self.left_out:
            fn, _ = self._function(entry)
            calls, raised = _count(entry.get("calls")), _count(entry.get("raised"))
            total, longest = _seconds(entry.get("total")), _seconds(entry.get("longest"))
            known = rows.get(fn)
            if known is None:
                rows[fn] = [fn, calls, raised, total, longest]
                continue
            known[1] += calls
            known[2] += raised
            known[3] = None if known[3] is None or total is None else known[3] + total
            if longest is not None:
                known[4] = longest if known[4] is None else max(known[4], longest)
        ns = lambda t: None if t is None else int(round(t * 1e9))  # noqa: E731
        ordered = sorted(rows.values(), key=lambda row: -row[1])
        return [[fn, calls, raised, ns(total), ns(longest)] for fn, calls, raised, total, longest in ordered]

    def _plugin(self, t: ThreadCalls, record: dict, ts) -> None:
        thread = t.state
        kind = record.get("type")
        data = {k: _plain(v) for k, v in record.items() if k not in PLUGIN_BASE_KEYS}
        name = str(kind)
        if type(record.get("subtype")) is str:
            name += "/" + record["subtype"]
        test = None
        if kind in ("start_test", "end_test"):
            test = {"node_id": data.get("node_id"), "outcome": data.get("outcome")}
            if self.test_id is None and type(data.get("node_id")) is str:
                self.test_id = data["node_id"]
            if kind == "end_test" and data.get("outcome") is not None:
                self.outcome = str(data["outcome"])
            if kind == "start_test" and not t.stack:
                thread.adopt_from = len(thread.start)
        thread.markers.append([ts, self._text(name), self.values.add(_pack(data)), kind, test])

    def _close(self, t: ThreadCalls, entry, end, ret, complete: bool):
        """Ends a call popped from the stack; returns what its exception's note needs,
        when one may follow."""
        thread = t.state
        index, call = entry[0], entry[1]
        thread.end[index] = end
        if not complete:
            thread.flags[index] |= FLAG_NO_END
        kept = None
        if ended(ret)[0] == "raised":
            thread.flags[index] |= FLAG_RAISED
            kept = (index, call, ret)
        _, line = _split_path(call.get("path"))
        thread.values[index] = self.values.add(_detail(call, ret, line))
        if t.stack:
            parent = t.stack[-1]
            if end is not None:
                if parent[3] is None or end > parent[3]:
                    parent[3] = end
                parent[4] = end
        return kept

    def uncalled(self, t: ThreadCalls, record: dict, ts) -> None:
        # The call was not recorded: it was running when recording began.
        thread, stack = t.state, t.stack
        fn, line = self._function(record)
        values = self.values.add(_detail(None, record, line))
        if stack:
            parent = stack[-1]
            start = parent[4] if parent[4] is not None else thread.start[parent[0]]
            at, depth = len(thread.start), len(stack)
            if ts is not None:
                if parent[3] is None or ts > parent[3]:
                    parent[3] = ts
                parent[4] = ts
        else:
            # Everything this thread recorded before it (after a test's
            # start) ran inside it.
            start = thread.first if thread.first is not None else ts
            at, depth = thread.adopt_from, 0
            for i in range(at, len(thread.depth)):
                thread.depth[i] += 1
        for column, value in (
            (thread.start, start if start is not None else ts),
            (thread.end, ts),
            (thread.depth, depth),
            (thread.fn, fn),
            (thread.flags, FLAG_NO_START),
            (thread.values, values),
        ):
            column.insert(at, value)

    def finish(self, top: dict):
        main_id = top.get("main_thread_id")
        for thread in self.threads:
            if thread.native_id is None:
                thread.native_id = main_id  # records of no thread, read before the main thread's id
        threads = sorted(
            self.threads,
            key=lambda t: (t.native_id != main_id, t.first if t.first is not None else float("inf")),
        )
        firsts = [t.first for t in threads if t.first is not None]
        lasts = [t.last for t in threads if t.last is not None]
        origin = min(firsts) if firsts else 0.0
        trace_end = max(lasts) if lasts else origin
        ns = lambda t: int(round((t - origin) * 1e9))  # noqa: E731
        out_threads = []
        calls = 0
        meta = top.get("meta") if isinstance(top.get("meta"), dict) else {}
        for thread in threads:
            # Still running when recording stopped: they reach the end.
            while thread.calls.stack:
                self._close(thread.calls, thread.calls.pop(), trace_end, None, complete=False)
            if meta.get("source") == "notebook":
                self._join_cells(thread)
            out_threads.append(self._columns(thread, origin, ns))
            calls += len(thread.start)
        chunks, texts = self.values.finish()
        args = top.get("command_line_args")
        commit = top.get("current_commit_sha")
        records = sum(t.records for t in threads)
        header = {
            "trace_id": str(top.get("trace_id") or ""),
            "command": [str(a) for a in args] if isinstance(args, list) else None,
            "commit": commit if type(commit) is str else None,
            "source": meta.get("source") if type(meta.get("source")) is str else None,
            "version": meta.get("version") if type(meta.get("version")) is str else None,
            "test_id": self.test_id,
            "outcome": self.outcome,
            "records": records,
            "started": origin if records else None,
            "duration": ns(trace_end),
            "dropped": jsonable(self.dropped),
        }
        left_out = None
        if self.left_out is not None:
            # Only a trace that says it left calls out has these entries.
            left_out = self._left_out_rows()
            header["left_out"] = {
                "budget": self.budget,
                "calls": sum(row[1] for row in left_out),
                "raised": sum(row[2] for row in left_out),
                "functions": sum(1 for row in left_out if row[1]),
            }
        structure = {
            "header": header,
            "texts": self.names,
            "functions": self.functions,
            "threads": out_threads,
            "calls": calls,
            "values": {"count": self.values.count, "chunks": chunks},
        }
        if left_out is not None:
            structure["left_out"] = left_out
        return structure, texts

    def close(self) -> None:
        self.values.close()

    def _join_cells(self, thread: _Thread) -> None:
        """A notebook cell's statements, which IPython runs as modules one by one, as one
        call: each run of top-level `<module>` calls of one file joined into the first,
        which ends where the last ends (as the text views show a cell)."""
        keep = []
        first = None  # the top-level module call that the next ones join
        for i in range(len(thread.start)):
            if thread.depth[i] == 0:
                name, file, _ = self.functions[thread.fn[i]]
                module = self.names[name].endswith("<module>")
                if module and first is not None and self.functions[thread.fn[first]][1] == file:
                    if thread.end[i] is not None:
                        thread.end[first] = thread.end[i]
                    thread.flags[first] |= thread.flags[i] & (FLAG_NO_END | FLAG_RAISED)
                    continue
                first = i if module else None
            keep.append(i)
        if len(keep) < len(thread.start):
            for column in ("start", "end", "depth", "fn", "flags", "values"):
                values = getattr(thread, column)
                setattr(thread, column, [values[i] for i in keep])

    def _columns(self, thread: _Thread, origin: float, ns) -> dict:
        count = len(thread.start)
        starts, durations = [], []
        ancestors: list = []  # (start, end) of the open callers, in ns
        lows: list = [None]  # per depth: where the next call may start
        previous = 0
        fallback = ns(thread.first) if thread.first is not None else 0
        for i in range(count):
            depth = thread.depth[i]
            del ancestors[depth:]
            del lows[depth + 1 :]
            s, e = thread.start[i], thread.end[i]
            start = ns(s) if s is not None else (ns(e) if e is not None else fallback)
            end = ns(e) if e is not None else start
            low = lows[depth] if depth < len(lows) else None
            high = ancestors[-1][1] if ancestors else None
            if low is not None and start < low:
                start = low
            if high is not None and start > high:
                start = high
            end = max(end, start)
            if high is not None and end > high:
                end = high
            lows[depth:] = [end, start]  # the next sibling, then the first child
            ancestors.append((start, end))
            starts.append(start - previous)
            previous = start
            durations.append(end - start)
        markers, bands, open_tests = [], [], []
        for ts, name, line, kind, test in thread.markers:
            at = ns(ts) if ts is not None else fallback
            markers.append([at, name, line])
            if kind == "start_test":
                open_tests.append((at, test))
            elif kind == "end_test":
                began, began_test = open_tests.pop() if open_tests else (None, {})
                node_id = test.get("node_id", began_test.get("node_id"))
                bands.append([began, at, self._text(node_id), self._text(test.get("outcome"))])
        for began, test in open_tests:  # a test still running when the trace ends
            bands.append(
                [
                    began,
                    ns(thread.last) if thread.last is not None else began,
                    self._text(test.get("node_id")),
                    self._text(None),
                ]
            )
        native_id = thread.native_id if type(thread.native_id) in (int, str) else None
        return {
            "name": thread.name if thread.name is not None else "thread %s" % (thread.native_id,),
            "native_id": native_id,
            "records": thread.records,
            "start": starts,
            "dur": durations,
            "depth": thread.depth,
            "fn": thread.fn,
            "flags": thread.flags,
            "values": thread.values,
            "markers": markers,
            "bands": bands,
        }


def page_data(document: dict):
    """(structure, values chunks) of a decoded trace document."""
    data = PageData()
    main_id = document.get("main_thread_id")
    try:
        for buffer_id, record in all_records(document):
            data.add(buffer_id, record, main_id)
        return data.finish(document)
    finally:
        data.close()


def stored_page_data(pieces, progress=None):
    """(structure, values chunks) of a stored trace read as a stream (a
    `sarv.db.TraceStream`, or the document's bytes), one record at a time.
    `progress(records read)` is called every few thousand records."""
    stream = StoredRecords(pieces)
    data = PageData()
    try:
        top = stream.top
        for read, (buffer_id, record) in enumerate(stream.records(), 1):
            # The main thread's id, when the document gives it before its records.
            data.add(buffer_id, record, top.get("main_thread_id"))
            if progress is not None and not read & 4095:
                progress(read)
        return data.finish(stream.top)
    finally:
        data.close()
