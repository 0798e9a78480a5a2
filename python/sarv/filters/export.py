"""Exports of a decoded trace document.

JSON form of values (both exports): MessagePack values map to JSON as
usual, with these additions, since JSON has no bytes and only text keys:

* bytes -> {"__bytes__": "<base64 text>"} (standard alphabet, padded);
* a map key that is not text -> its JSON text (1 -> "1", None -> "null",
  true -> "true", 1.5 -> "1.5"); a bytes key -> "__bytes__:<base64 text>";
  a key that collides with an earlier one gets "~2", "~3", ... appended;
* NaN and the infinities -> {"__float__": "nan" | "inf" | "-inf"};
* other MessagePack extension values -> {"__ext__": code, "data": "<base64>"}.

Chrome trace event format (`chrome_trace`): what chrome://tracing,
Perfetto (ui.perfetto.dev) and speedscope open. One complete event
("ph": "X") per activation, in call order per thread; "pid" is the main
thread's native id (the process id on Linux), "tid" the native thread id;
"ts" and "dur" are whole microseconds since the first record of the trace.
Activations are made to nest per thread: an event never starts before its
caller or a previous sibling ends, nor ends after its caller (wall-clock
time can step backwards). "args" holds "path", "frame_id", "arguments"
(locals at the call), "locals" (locals at the return), "return_value" and
"call_site". Plugin records are instant events ("ph": "i", thread scope)
named after their type, their own entries in "args". Metadata events name
the process (the trace id) and each thread.
"""

from __future__ import annotations

import base64
import json
import math

from sarv.filters.tree import PLUGIN_BASE_KEYS, build_threads, walk

__all__ = ["chrome_trace", "jsonable", "write_json"]


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


def jsonable(value):
    """A decoded MessagePack value as plain JSON data (see module doc)."""
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


def _micros(seconds, origin) -> int:
    return int(round((seconds - origin) * 1_000_000))


def chrome_trace(document: dict) -> dict:
    threads = build_threads(document)
    stamps = [t.first for t in threads if t.first is not None]
    origin = min(stamps) if stamps else 0.0
    main_id = document.get("main_thread_id")
    pid = main_id if isinstance(main_id, int) else 1
    trace_id = document.get("trace_id")
    events = [
        {"name": "process_name", "ph": "M", "pid": pid, "tid": 0, "args": {"name": "sarv %s" % trace_id}},
    ]
    for thread in threads:
        tid = thread.native_id if isinstance(thread.native_id, int) else 0
        events.append({"name": "thread_name", "ph": "M", "pid": pid, "tid": tid, "args": {"name": thread.name}})
        # Whole microseconds first, then clamping, so that the integers nest.
        span = {}
        for node, _ in walk(thread.roots):
            start = node.start if node.start is not None else (node.end if node.end is not None else origin)
            end = node.end if node.end is not None else start
            span[node] = [_micros(start, origin), _micros(end, origin)]
        _nest(thread.roots, None, span)
        for node, _ in walk(thread.roots):
            start, end = span[node]
            if node.kind == "plugin":
                events.append(
                    {
                        "name": node.name,
                        "cat": "plugin",
                        "ph": "i",
                        "s": "t",
                        "ts": start,
                        "pid": pid,
                        "tid": tid,
                        "args": jsonable({k: v for k, v in node.record.items() if k not in PLUGIN_BASE_KEYS or k == "frame_id"}),
                    }
                )
                continue
            args = {"path": node.path, "frame_id": node.frame_id}
            if node.call is not None:
                args["arguments"] = jsonable(node.call.get("locals"))
                args["call_site"] = jsonable(node.call.get("user_code_call_site"))
            if node.ret is not None:
                args["locals"] = jsonable(node.ret.get("locals"))
                args["return_value"] = jsonable(node.ret.get("arg"))
            if not node.complete:
                args["incomplete"] = "called before recording began" if node.call is None else "no return recorded"
            events.append(
                {
                    "name": node.name,
                    "cat": "python",
                    "ph": "X",
                    "ts": start,
                    "dur": end - start,
                    "pid": pid,
                    "tid": tid,
                    "args": args,
                }
            )
    return {
        "traceEvents": events,
        "displayTimeUnit": "ms",
        "otherData": jsonable(
            {
                "trace_id": trace_id,
                "start_time": origin,
                "command_line_args": document.get("command_line_args"),
                "meta": document.get("meta"),
                "current_commit_sha": document.get("current_commit_sha"),
            }
        ),
    }


def _nest(nodes, parent, span) -> None:
    """Clamp spans so that children lie inside their parent and siblings do
    not overlap (iteratively: call trees can be deep)."""
    work = [(nodes, parent)]
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
                low = end  # the next sibling starts after this one ends
            work.append((node.children, node))
