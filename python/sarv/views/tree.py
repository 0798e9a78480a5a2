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

The record of calls left out ("calls_left_out": calls past the per-function
budget, or past a cap that stops recording, counted but not recorded) is
not a call: it stays out of the trees, and `LeftOut` reads it.
"""

from __future__ import annotations

import dataclasses
from typing import Iterator

from sarv.views.records import (
    NO_CALL,
    NO_CALL_RING,
    NOTE,
    LeftOut,
    ThreadCalls,
    View,
    all_records,
    ended,
    exception_text,
    is_exception_note,
    is_left_out,
    is_ring_drop,
    read_document,
    timestamp,
    with_exception,
)

__all__ = [
    "NO_CALL",
    "NO_CALL_RING",
    "LeftOut",
    "Node",
    "ThreadBuilder",
    "ThreadTree",
    "TreeView",
    "all_records",
    "build_threads",
    "ended",
    "exception_text",
    "function_name",
    "is_exception_note",
    "is_left_out",
    "is_ring_drop",
    "left_out_of",
    "order_threads",
    "walk",
    "with_exception",
]

# Keys every plugin record has; the rest are the plugin's own data.
PLUGIN_BASE_KEYS = frozenset(
    ("frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type", "subtype")
)


@dataclasses.dataclass(eq=False)
class Node:
    kind: str  # "frame" or "plugin"
    call: dict | None = None
    ret: dict | None = None
    start: float | None = None
    end: float | None = None
    children: list = dataclasses.field(default_factory=list)
    complete: bool = True
    hidden_below: int = 0  # records' nodes below this one that were not kept (depth limit)
    hidden_calls_below: int = 0  # of which activations
    partial: bool = False  # hidden_below counts only what was read (the rest was not)
    latest: float | None = None  # the last timestamp seen inside, while open
    cut: bool = False  # more children followed that were not kept (the reader stopped)
    # A generator's or coroutine's later resumptions, folded into its first activation:
    # their return records (how each part ended), and the time spent running in all parts.
    open_id: object = None  # the resumption open now, while it runs
    part_start: float | None = None
    parts: list = dataclasses.field(default_factory=list)
    running: float = 0.0

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
        """Time running: from call to return, or the sum of every resumption's."""
        if self.start is None or self.end is None:
            return None
        if self.parts:
            return self.running
        return max(self.end - self.start, 0.0)

    @property
    def plugin_data(self) -> dict:
        """A plugin record's own entries (node id, outcome, ...)."""
        return {k: v for k, v in self.record.items() if k not in PLUGIN_BASE_KEYS}

    def calls_below(self) -> int:
        """Activations below this one, kept or not."""
        total, stack = self.hidden_calls_below, list(self.children)
        while stack:
            node = stack.pop()
            total += (node.kind == "frame") + node.hidden_calls_below
            stack.extend(node.children)
        return total

    def count(self) -> int:
        """This node and everything below it."""
        total, stack = 0, [self]
        while stack:
            node = stack.pop()
            total += 1 + node.hidden_below
            stack.extend(node.children)
        return total


@dataclasses.dataclass(eq=False)
class ThreadTree:
    native_id: object
    name: str
    roots: list
    records: int
    first: float | None
    last: float | None
    call_count: int | None = None  # activations, kept in the tree or not
    complete: bool = True  # False when the rest of the thread's records were not read
    cut: bool = False  # more top-level activations followed that were not kept

    @property
    def calls(self) -> int:
        if self.call_count is not None:
            return self.call_count
        return sum(1 for node, _ in walk(self.roots) if node.kind == "frame")


def walk(nodes, depth: int = 0) -> Iterator:
    """(node, depth) pairs in call order, parents before children."""
    stack = [(node, depth) for node in reversed(nodes)]
    while stack:
        node, level = stack.pop()
        yield node, level
        stack.extend((child, level + 1) for child in reversed(node.children))


class _Hidden:
    """An open activation that is not kept in the tree: enough to match its
    return and to know when it ran."""

    __slots__ = ("frame_id", "start", "latest", "owner")
    kind = "hidden"

    def __init__(self, frame_id, start, owner) -> None:
        self.frame_id, self.start, self.latest, self.owner = frame_id, start, start, owner


# What a kept node needs of its records when values are not shown.
_SLIM_KEYS = (
    "path",
    "co_name",
    "qualname",
    "event",
    "frame_id",
    "timestamp",
    "type",
    "thread",
    "thread_native_id",
    "end",
    "exception",
    "resumes",
)


def function_name(entry: dict) -> str:
    """The name a call of the function has in the tree."""
    for key in ("qualname", "co_name"):
        if entry.get(key):
            return entry[key]
    return "?"


def left_out_of(document: dict) -> LeftOut | None:
    """The calls a decoded document left out, or None when it says of none."""
    found = LeftOut()
    for _, record in all_records(document):
        found.notice(record)
    return found or None


def _later(a, b):
    if a is None:
        return b
    if b is None:
        return a
    return a if a >= b else b


class ThreadBuilder:
    """The tree of one thread, built from what the reader says of its records
    (`TreeView` hands them over).

    `max_depth` (0: no limit): activations deeper than that are not kept,
    only counted in `hidden_below` of their deepest kept caller. `keep`
    (None: no limit): once that many nodes are kept, later ones are only
    counted (`full` is then true). `slim`: kept records lose their values
    ("arg", "locals"), which only `--locals` shows."""

    def __init__(self, calls: ThreadCalls, max_depth: int = 0, keep: int | None = None, slim: bool = False) -> None:
        self.t = calls
        self.native_id = calls.key
        self.max_depth = max_depth
        self.keep = keep
        self.slim = slim
        self.roots: list = []
        self.kept = 0
        self.records = 0
        self.first = self.last = None
        self.name = None
        self.cut = False
        self.placed = (None, None)  # where the record being read goes (see `_place`)
        self.suspended: dict = {}  # first activation's frame id -> its node, while suspended

    @property
    def stack(self) -> list:
        """Open activations, outermost first: Node or _Hidden."""
        return self.t.stack

    @property
    def full(self) -> bool:
        return self.keep is not None and self.kept >= self.keep

    def _slimmed(self, record: dict) -> dict:
        if not self.slim or record.get("type") != "frame":
            return record
        return {k: record[k] for k in _SLIM_KEYS if k in record}

    def _place(self):
        """(list to append a kept node to, or None; the kept node that
        counts what is not kept, or None)."""
        stack = self.stack
        depth = len(stack)
        if stack and isinstance(stack[-1], _Hidden):
            return None, stack[-1].owner
        owner = stack[-1] if stack else None
        if self.max_depth and depth >= self.max_depth:
            return None, owner
        if self.full:
            if owner is not None:
                owner.cut = True
            else:
                self.cut = True
            return None, owner
        return (owner.children if owner is not None else self.roots), owner

    def seen(self, record: dict, ts, kind: str) -> None:
        self.records += 1
        if self.name is None and type(record.get("thread")) is str:
            self.name = record["thread"]
        if ts is not None:
            self.first = ts if self.first is None else min(self.first, ts)
            self.last = ts if self.last is None else max(self.last, ts)
            if self.stack:
                top = self.stack[-1]
                top.latest = _later(top.latest, ts)
        if kind is not NOTE:
            self.placed = self._place()

    def plugin(self, record: dict, ts) -> None:
        siblings, owner = self.placed
        if siblings is not None:
            siblings.append(Node("plugin", call=record, start=ts, end=ts))
            self.kept += 1
        elif owner is not None:
            owner.hidden_below += 1

    def call(self, record: dict, ts):
        siblings, owner = self.placed
        first = self.suspended.pop(record.get("resumes"), None) if "resumes" in record else None
        if first is not None and siblings is not None and first in siblings[-8:]:
            # Resumed where it last ran (a consumer's loop): one activation, in parts.
            first.open_id = record.get("frame_id")
            first.latest = ts
            first.part_start = ts
            return first
        if siblings is not None:
            node = Node("frame", call=self._slimmed(record), start=ts, latest=ts)
            siblings.append(node)
            self.kept += 1
            return node
        if owner is not None:
            owner.hidden_below += 1
            owner.hidden_calls_below += 1
        return _Hidden(record.get("frame_id"), ts, owner)

    def uncalled(self, record: dict, ts) -> None:
        siblings, owner = self.placed
        if siblings is None:
            if owner is not None:
                owner.hidden_below += 1
                owner.hidden_calls_below += 1
            return
        node = Node("frame", ret=self._slimmed(record), end=ts, complete=False)
        self.kept += 1
        if self.stack:
            parent = self.stack[-1]
            previous = parent.children[-1] if parent.children else None
            node.start = previous.end if previous is not None and previous.end is not None else parent.start
            parent.children.append(node)
        else:
            # It was running before anything else of this thread was
            # recorded, so all of that happened inside it; a test's start
            # marker stays in front.
            keep = 0
            for i, root in enumerate(self.roots):
                if root.kind == "plugin" and root.record.get("type") == "start_test":
                    keep = i + 1
            node.children = self.roots[keep:]
            del self.roots[keep:]
            self.roots.append(node)
            node.start = self.first if self.first is not None else ts
        if node.start is None:
            node.start = ts

    def note(self, node, record: dict) -> None:
        if node.ret is not None:
            node.ret = with_exception(node.ret, record)

    def close(self, node, end, ret=None, complete=True):
        """Ends an activation popped from the stack; returns the node when its
        exception's note may follow."""
        parent = self.stack[-1] if self.stack else None
        raised = None
        if isinstance(node, Node):
            kind = ended(ret)[0] if ret is not None else None
            if node.open_id is not None or kind in ("yielded", "awaited"):
                # A part of a generator's or coroutine's life, all kept in its first node.
                begun = node.part_start if node.open_id is not None else node.start
                node.parts.append(self._slimmed(ret) if ret is not None else None)
                if begun is not None and end is not None:
                    node.running += max(end - begun, 0.0)
                node.open_id = None
                if kind in ("yielded", "awaited") and node.frame_id is not None:
                    self.suspended[node.frame_id] = node
            node.end = end
            node.latest = None
            if ret is not None:
                node.ret = self._slimmed(ret)
                if kind == "raised" and node.ret.get("frame_id") is not None:
                    raised = node
            node.complete = complete and node.complete
        if parent is not None:
            parent.latest = _later(parent.latest, end)
        return raised

    def finish(self, complete: bool = True, ends: dict | None = None, last=None) -> ThreadTree:
        """The tree. Activations still open end at the last timestamp seen
        (or, with `ends`, when their return record, found without decoding
        the records before it, says: {frame_id: record}); `complete` False says the records
        after the last one added were not read."""
        ends = ends or {}
        last = _later(self.last, last)
        for node in reversed(self.stack):
            if not isinstance(node, Node):
                continue
            found = ends.get(node.frame_id)
            if found is not None and timestamp(found) is not None:
                node.end = timestamp(found)
                # Read from the bytes after its "frame_id": the names are its call's.
                names = {k: node.call[k] for k in ("co_name", "qualname") if node.call and k in node.call}
                node.ret = self._slimmed(dict(found, **names))
                if not complete:
                    node.partial = node.hidden_below > 0 or node.partial
            else:
                node.end = last if last is not None else node.start
                node.complete = False
            node.latest = None
        if not complete:
            for node in self.stack:
                if isinstance(node, Node) and node.hidden_below:
                    node.partial = True
        self.t.stack.clear()
        self.t.ids.clear()
        return ThreadTree(
            native_id=self.native_id,
            name=self.name if self.name is not None else "thread %s" % (self.native_id,),
            roots=self.roots,
            records=self.records,
            first=self.first,
            last=self.last,
            call_count=self.t.calls,
            complete=complete,
            cut=self.cut,
        )


class TreeView(View):
    """The trees of a trace's threads, one `ThreadBuilder` each (`builders`, in the
    order of their first records); options as ThreadBuilder's."""

    def __init__(self, **options) -> None:
        self.options = options
        self.builders: list = []

    def thread(self, t: ThreadCalls, record: dict) -> ThreadBuilder:
        builder = ThreadBuilder(t, **self.options)
        self.builders.append(builder)
        return builder

    def seen(self, t, record, ts, kind) -> None:
        t.state.seen(record, ts, kind)

    def note(self, t, kept, record, ts) -> None:
        if kept is not None:
            t.state.note(kept, record)

    def plugin(self, t, record, ts) -> None:
        t.state.plugin(record, ts)

    def call(self, t, record, ts):
        return t.state.call(record, ts)

    def returned(self, t, entry, record, ts):
        return t.state.close(entry, ts, ret=record)

    def unreturned(self, t, entry) -> None:
        t.state.close(entry, entry.latest, complete=False)

    def uncalled(self, t, record, ts) -> None:
        t.state.uncalled(record, ts)


def order_threads(threads: list, main_id) -> list:
    threads.sort(key=lambda t: (t.native_id != main_id, t.first if t.first is not None else float("inf")))
    return threads


def build_threads(document: dict, max_depth: int = 0, slim: bool = False) -> list:
    """One `ThreadTree` per thread of the document: the main thread first,
    the others in the order of their first record."""
    main_id = document.get("main_thread_id")
    view = TreeView(max_depth=max_depth, slim=slim)
    read_document(document, view)
    return order_threads([b.finish() for b in view.builders], main_id)
