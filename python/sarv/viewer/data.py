"""The trace as the page reads it: compact columns, values kept as text.

`page_data(document)` returns two things:

* the structure, a JSON-ready dict: a header, a table of texts, a table of
  functions and, per thread, one column per field of its calls in call
  order (start and duration in nanoseconds since the trace's first record,
  depth, function, flags), its plugin records and its test bands;
* the values, one line of ASCII JSON per call (arguments, locals at the
  return, return value, call site, ...) and then one per plugin record. The
  page parses a line only when that call is opened, and searches the text
  as it is, so the values of a large trace cost the page nothing until they
  are needed.

Calls are clamped to nest exactly (a call never starts before its caller or
an earlier sibling ends, nor ends after its caller) since wall-clock time
can step backwards. A call with no recorded return that was still running
when recording stopped reaches the end of the trace.
"""

from __future__ import annotations

import base64
import json

from sarv.filters.export import jsonable
from sarv.filters.tree import PLUGIN_BASE_KEYS, build_threads, walk

__all__ = ["FLAG_NO_START", "FLAG_NO_END", "FLAG_RAISED", "page_data", "ended"]

# Flags of a call, as the page reads them.
FLAG_NO_START = 1  # called before recording began: the start is a lower bound
FLAG_NO_END = 2  # no return recorded: the end is a lower bound
FLAG_RAISED = 4  # the call ended with an exception


def ended(ret: dict | None):
    """How a call ended, as its return record says: ("raised", exception)
    for a record with "end": "raised" (or only an "exception" entry), another
    "end" text as it is (a suspension, say), else ("returned", None): records
    without these entries are ordinary returns."""
    if ret is None:
        return None, None
    kind = ret.get("end")
    exception = ret.get("exception")
    if kind == "raised" or (kind is None and exception is not None):
        return "raised", exception
    if type(kind) is str:
        return kind, exception
    return "returned", None


def _dumps(value) -> str:
    # ASCII only, so that the page's character offsets are byte offsets and
    # nothing in the text can end the script element it sits in.
    return json.dumps(value, ensure_ascii=True, allow_nan=False, separators=(",", ":")).replace("<", "\\u003c")


def _bytes_only(value):
    if isinstance(value, (bytes, bytearray)):
        return {"__bytes__": base64.b64encode(value).decode("ascii")}
    raise TypeError("not plain JSON")


_PLAIN = json.JSONEncoder(ensure_ascii=True, allow_nan=False, separators=(",", ":"), default=_bytes_only)


def _value_text(value) -> str:
    """`_dumps(jsonable(value))`, without walking the value in Python when
    the JSON encoder can take it as it is (text keys, finite numbers)."""
    if _text_keys_only(value):
        try:
            return _PLAIN.encode(value).replace("<", "\\u003c")
        except (TypeError, ValueError):  # NaN, infinities, extension values
            pass
    return _dumps(jsonable(value))


def _text_keys_only(value) -> bool:
    # The encoder turns other keys into text itself, where 1 and "1" would
    # then collide; jsonable keeps both.
    stack = [value]
    while stack:
        item = stack.pop()
        if type(item) is dict:
            for key in item:
                if type(key) is not str:
                    return False
            stack.extend(v for v in item.values() if type(v) in (dict, list))
        elif type(item) is list:
            stack.extend(v for v in item if type(v) in (dict, list))
    return True


class _Texts:
    def __init__(self) -> None:
        self.items: list = []
        self.index: dict = {}

    def __call__(self, text) -> int:
        text = "" if text is None else str(text)
        found = self.index.get(text)
        if found is None:
            found = self.index[text] = len(self.items)
            self.items.append(text)
        return found


def _split_path(path: str):
    file, sep, line = path.rpartition(":")
    if sep and line.isdigit():
        return file, int(line)
    return path, 0


def _spans(thread, origin: float, trace_end: float) -> dict:
    """node -> [start, end] in nanoseconds since origin, nested exactly."""
    ns = lambda t: int(round((t - origin) * 1e9))  # noqa: E731
    span: dict = {}
    for node, _ in walk(thread.roots):
        start = node.start if node.start is not None else (node.end if node.end is not None else origin)
        end = node.end if node.end is not None else start
        span[node] = [ns(start), ns(end)]
    # Calls still running when recording stopped: the last call of each level
    # down from the top, as long as none of them returned.
    level = thread.roots
    while level:
        frames = [n for n in level if n.kind == "frame"]
        if not frames or frames[-1].ret is not None:
            break
        span[frames[-1]][1] = ns(trace_end)
        level = frames[-1].children
    work = [(thread.roots, None)]
    while work:
        children, owner = work.pop()
        low = span[owner][0] if owner is not None else None
        high = span[owner][1] if owner is not None else None
        for node in children:
            start, end = span[node]
            if low is not None and start < low:
                start = low
            if high is not None and start > high:
                start = high
            end = max(end, start)
            if high is not None and end > high:
                end = high
            span[node] = [start, end]
            if node.kind == "frame":
                low = end
            work.append((node.children, node))
    return span


def _header(document: dict, threads: list, records: int, origin: float, trace_end: float) -> dict:
    meta = document.get("meta") if isinstance(document.get("meta"), dict) else {}
    args = document.get("command_line_args")
    test_id = outcome = None
    for thread in threads:
        for node, _ in walk(thread.roots):
            if node.kind == "plugin" and node.record.get("type") in ("start_test", "end_test"):
                data = node.plugin_data
                if test_id is None and type(data.get("node_id")) is str:
                    test_id = data["node_id"]
                if node.record.get("type") == "end_test" and data.get("outcome") is not None:
                    outcome = str(data["outcome"])
    return {
        "trace_id": str(document.get("trace_id") or ""),
        "command": [str(a) for a in args] if isinstance(args, list) else None,
        "commit": document.get("current_commit_sha") if type(document.get("current_commit_sha")) is str else None,
        "source": meta.get("source") if type(meta.get("source")) is str else None,
        "version": meta.get("version") if type(meta.get("version")) is str else None,
        "test_id": test_id,
        "outcome": outcome,
        "records": records,
        "started": origin if records else None,
        "duration": int(round((trace_end - origin) * 1e9)),
    }


def page_data(document: dict):
    """(structure, values lines) of a decoded trace document; see module doc."""
    threads = build_threads(document)
    firsts = [t.first for t in threads if t.first is not None]
    lasts = [t.last for t in threads if t.last is not None]
    origin = min(firsts) if firsts else 0.0
    trace_end = max(lasts) if lasts else origin
    texts = _Texts()
    functions: list = []
    function_index: dict = {}
    values: list = []
    plugin_values: list = []
    out_threads = []
    for thread in threads:
        span = _spans(thread, origin, trace_end)
        starts, durations, depths, fns, flags = [], [], [], [], []
        markers, bands = [], []
        open_tests: list = []
        previous = 0
        for node, depth in walk(thread.roots):
            start, end = span[node]
            if node.kind == "plugin":
                record = node.record
                data = {k: v for k, v in record.items() if k not in PLUGIN_BASE_KEYS}
                markers.append([start, texts(node.name), len(plugin_values)])
                plugin_values.append(_value_text(data))
                kind = record.get("type")
                if kind == "start_test":
                    open_tests.append((start, data))
                elif kind == "end_test":
                    began, began_data = open_tests.pop() if open_tests else (None, {})
                    name = data.get("node_id", began_data.get("node_id"))
                    bands.append([began, start, texts(name), texts(data.get("outcome"))])
                continue
            file, line = _split_path(node.path)
            name = node.name
            key = (name, file)
            fn = function_index.get(key)
            if fn is None:
                fn = function_index[key] = len(functions)
                functions.append([texts(name), texts(file), line])
            flag = 0
            if node.call is None:
                flag |= FLAG_NO_START
            if node.ret is None:
                flag |= FLAG_NO_END
            kind, exception = ended(node.ret)
            if kind == "raised":
                flag |= FLAG_RAISED
            starts.append(start - previous)
            previous = start
            durations.append(end - start)
            depths.append(depth)
            fns.append(fn)
            flags.append(flag)
            detail: dict = {"id": node.frame_id, "line": line}
            if node.call is not None:
                detail["args"] = node.call.get("locals")
                detail["site"] = node.call.get("user_code_call_site")
            if node.ret is not None:
                detail["locals"] = node.ret.get("locals")
                detail["at"] = node.ret.get("path")
                if kind == "raised":
                    detail["raised"] = exception
                elif kind != "returned":
                    detail["end"] = kind
                    detail["value"] = node.ret.get("arg")
                else:
                    detail["value"] = node.ret.get("arg")
            values.append(_value_text(detail))
        for began, data in open_tests:  # a test still running when the trace ends
            bands.append([began, int(round((trace_end - origin) * 1e9)), texts(data.get("node_id")), texts(None)])
        out_threads.append(
            {
                "name": thread.name,
                "native_id": thread.native_id if type(thread.native_id) in (int, str) else None,
                "records": thread.records,
                "start": starts,
                "dur": durations,
                "depth": depths,
                "fn": fns,
                "flags": flags,
                "markers": markers,
                "bands": bands,
            }
        )
    records = sum(t.records for t in threads)
    structure = {
        "header": _header(document, threads, records, origin, trace_end),
        "texts": texts.items,
        "functions": functions,
        "threads": out_threads,
        "calls": len(values),
    }
    return structure, values + plugin_values



def dumps(value) -> str:
    """JSON text that is safe inside a script element of the page."""
    return _dumps(value)
