"""The call tree of a trace: call and return records paired by frame_id.

Each activation that the trace shows becomes a `Node`: its "call" record,
its "return" record, its start and end time (the records' timestamps, in
seconds since the epoch) and the activations it called. Plugin records
become leaves (`Node.kind == "plugin"`) at the place they were recorded.

A trace need not be balanced, and the tree says so instead of guessing:

* a return whose call is not in the trace (the function was already
  running when recording began) gives a node with `call` None; at the top
  of a thread it adopts everything recorded before it on that thread, which
  all ran inside it; its `start` is then the thread's first timestamp, a
  lower bound, and `complete` is False;
* a call without a return (recording stopped first, or the return record
  was lost) ends at the last timestamp seen inside it, `complete` False.

Records are grouped by their own "thread_native_id" and kept in the order
in which they were buffered, which is the order of events on that thread.
"""

from __future__ import annotations

import dataclasses
from typing import Iterator

__all__ = ["Node", "ThreadTree", "all_records", "build_threads", "walk"]

# Keys every plugin record has; the rest are the plugin's own data.
PLUGIN_BASE_KEYS = frozenset(
    ("frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type", "subtype")
)


def _number(value) -> float | None:
    if type(value) in (int, float):
        return float(value)
    return None


@dataclasses.dataclass(eq=False)
class Node:
    kind: str  # "frame" or "plugin"
    call: dict | None = None
    ret: dict | None = None
    start: float | None = None
    end: float | None = None
    children: list = dataclasses.field(default_factory=list)
    complete: bool = True

    @property
    def record(self) -> dict:
        return self.call if self.call is not None else (self.ret or {})

    @property
    def frame_id(self):
        return self.record.get("frame_id")

    @property
    def name(self) -> str:
        if self.kind == "plugin":
            record = self.record
            name = str(record.get("type"))
            if type(record.get("subtype")) is str:
                name += "/" + record["subtype"]
            return name
        for record in (self.call, self.ret):
            if record is not None:
                for key in ("qualname", "co_name"):
                    if type(record.get(key)) is str and record[key]:
                        return record[key]
        return "?"

    @property
    def path(self) -> str:
        for record in (self.call, self.ret):
            if record is not None and type(record.get("path")) is str:
                return record["path"]
        return ""

    @property
    def duration(self) -> float | None:
        if self.start is None or self.end is None:
            return None
        return max(self.end - self.start, 0.0)

    @property
    def plugin_data(self) -> dict:
        """A plugin record's own entries (node id, outcome, ...)."""
        return {k: v for k, v in self.record.items() if k not in PLUGIN_BASE_KEYS}

    def count(self) -> int:
        """This node and everything below it."""
        return 1 + sum(child.count() for child in self.children)


@dataclasses.dataclass(eq=False)
class ThreadTree:
    native_id: object
    name: str
    roots: list
    records: int
    first: float | None
    last: float | None

    @property
    def calls(self) -> int:
        return sum(1 for node, _ in walk(self.roots) if node.kind == "frame")


def walk(nodes, depth: int = 0) -> Iterator:
    """(node, depth) pairs in call order, parents before children."""
    stack = [(node, depth) for node in reversed(nodes)]
    while stack:
        node, level = stack.pop()
        yield node, level
        stack.extend((child, level + 1) for child in reversed(node.children))


def all_records(document: dict) -> Iterator:
    """(buffer thread id or None, record) for every record of a document:
    first "frames_of_interest", then each list of "frames"."""
    of_interest = document.get("frames_of_interest")
    if isinstance(of_interest, list):
        for record in of_interest:
            yield None, record
    frames = document.get("frames")
    if isinstance(frames, dict):
        for thread_id, records in frames.items():
            if isinstance(records, list):
                for record in records:
                    yield thread_id, record


def _last_time(node: Node) -> float | None:
    latest = node.start
    for child, _ in walk(node.children):
        for value in (child.start, child.end):
            if value is not None and (latest is None or value > latest):
                latest = value
    return latest


def _build(records: list) -> list:
    roots: list = []
    stack: list = []
    first = last = None
    for record in records:
        ts = _number(record.get("timestamp"))
        if ts is not None:
            first = ts if first is None else min(first, ts)
            last = ts if last is None else max(last, ts)
        siblings = stack[-1].children if stack else roots
        if record.get("type") != "frame":
            siblings.append(Node("plugin", call=record, start=ts, end=ts))
            continue
        event = record.get("event")
        if event == "call":
            node = Node("frame", call=record, start=ts)
            siblings.append(node)
            stack.append(node)
            continue
        if event != "return":
            continue
        frame_id = record.get("frame_id")
        index = None
        if frame_id is not None:
            for i in range(len(stack) - 1, -1, -1):
                if stack[i].frame_id == frame_id:
                    index = i
                    break
        if index is not None:
            for lost in stack[index + 1:]:  # their return records are missing
                lost.end = _last_time(lost)
                lost.complete = False
            del stack[index + 1:]
            node = stack.pop()
            node.ret = record
            node.end = ts
            continue
        node = Node("frame", ret=record, end=ts, complete=False)
        if stack:
            parent = stack[-1]
            previous = parent.children[-1] if parent.children else None
            node.start = previous.end if previous is not None and previous.end is not None else parent.start
            parent.children.append(node)
        else:
            # It was running before anything else of this thread was
            # recorded, so all of that happened inside it; a test's start
            # marker stays in front.
            keep = 0
            for i, root in enumerate(roots):
                if root.kind == "plugin" and root.record.get("type") == "start_test":
                    keep = i + 1
            node.children = roots[keep:]
            del roots[keep:]
            roots.append(node)
            node.start = first if first is not None else ts
        if node.start is None:
            node.start = ts
    for node in stack:
        node.end = last if last is not None else node.start
        node.complete = False
    return roots


def build_threads(document: dict) -> list:
    """One `ThreadTree` per thread of the document: the main thread first,
    the others in the order of their first record."""
    main_id = document.get("main_thread_id")
    grouped: dict = {}
    for buffer_id, record in all_records(document):
        if not isinstance(record, dict):
            continue
        thread_id = record.get("thread_native_id")
        if thread_id is None:
            thread_id = buffer_id if buffer_id is not None else main_id
        grouped.setdefault(thread_id, []).append(record)
    threads = []
    for thread_id, records in grouped.items():
        names = [r.get("thread") for r in records if type(r.get("thread")) is str]
        stamps = [t for t in (_number(r.get("timestamp")) for r in records) if t is not None]
        threads.append(
            ThreadTree(
                native_id=thread_id,
                name=names[0] if names else "thread %s" % (thread_id,),
                roots=_build(records),
                records=len(records),
                first=min(stamps) if stamps else None,
                last=max(stamps) if stamps else None,
            )
        )
    threads.sort(key=lambda t: (t.native_id != main_id, t.first if t.first is not None else float("inf")))
    return threads
