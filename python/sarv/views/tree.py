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

__all__ = [
    "NO_CALL",
    "NO_CALL_RING",
    "LeftOut",
    "Node",
    "ThreadBuilder",
    "ThreadTree",
    "add_record",
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


def innermost_open(stack: list, frame_id, id_of=lambda entry: entry.frame_id):
    """The index of the innermost entry of `stack` (calls still open, outermost first)
    whose id is `frame_id`: the call a return record ends; None if none is (the call came
    before the trace's first record). Entries above it are calls whose returns are missing."""
    if frame_id is not None:
        for i in range(len(stack) - 1, -1, -1):
            if id_of(stack[i]) == frame_id:
                return i
    return None


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


def ended(ret: dict | None):
    """How an activation ended, as its return record says: (kind, detail), kind one of
    "returned", "raised", "yielded", "awaited", or for a raise that is no failure
    "exited" (SystemExit of status 0 or None) and "interrupted" (KeyboardInterrupt)
    (detail: the exception entry, or None when it was not read), (None, None) without a
    return record. Records without an "end" entry are ordinary returns."""
    if ret is None:
        return None, None
    kind = ret.get("end")
    exception = ret.get("exception")
    if kind == "raised" or (kind is None and exception is not None):
        return _raise_kind(exception), exception
    if type(kind) is str:
        return kind, exception
    return "returned", None


def _raise_kind(exception) -> str:
    if not isinstance(exception, dict):
        return "raised"
    name = exception.get("type")
    if name == "KeyboardInterrupt":
        return "interrupted"
    if name != "SystemExit":
        return "raised"
    args = exception.get("args")
    if isinstance(args, list):
        status_zero = args == [] or (len(args) == 1 and args[0] in ("0", "None", "False"))
    else:  # a trace from before the arguments were kept: the message is str() of a status
        status_zero = exception.get("message") in (None, "0")
    return "exited" if status_zero else "raised"


def is_exception_note(record: dict) -> bool:
    """The companion record naming the exception a recorded call raised, written once the
    exception was seen handled: {"type": "exception", "frame_id", "exception": {"type",
    "message"}, ...}."""
    return record.get("type") == "exception" and isinstance(record.get("exception"), dict) and "path" not in record


# What a call whose call record is not in the trace is said to be: in ring mode its record
# may be among the oldest, dropped to keep within the caps, while recording went on.
NO_CALL = "called before recording began"
NO_CALL_RING = "called before the oldest record kept (older records were dropped)"


def is_ring_drop(record) -> bool:
    """The note of records dropped to keep the newest (ring mode)."""
    return type(record) is dict and record.get("type") == "records_dropped" and record.get("mode") == "ring"


def is_left_out(record) -> bool:
    """The record of the calls a trace left out: {"type": "calls_left_out", "budget",
    "functions": [{"path", "co_name", "qualname", "calls", "raised", "total", "longest"},
    ...]}. One whose "functions" is not a list is shown as the plugin record it looks
    like rather than read as nothing."""
    return (
        type(record) is dict
        and record.get("type") == "calls_left_out"
        and "event" not in record
        and isinstance(record.get("functions"), list)
    )


def _count(value) -> int:
    return value if type(value) is int and value > 0 else 0


def _seconds(value) -> float | None:
    if type(value) not in (int, float) or not value >= 0 or value == float("inf"):
        return None
    return float(value)


class LeftOut:
    """What the records of calls left out say, merged (a trace has one; a second one adds
    up with the first): `budget` (the calls of each function recorded in full; 0 when
    there was no budget, None when no record said), and `functions`, one dict per
    function ("path", "co_name", "qualname", "calls", "raised", "total" and "longest",
    seconds or None when the record held no usable number), most calls first."""

    def __init__(self) -> None:
        self.budget: int | None = None
        self.records = 0
        self.stopped = False  # the trace says recording stopped at a cap
        self._functions: dict = {}

    def notice(self, record) -> bool:
        """Takes a record of calls left out (true) and notes a cap that stopped recording
        (the note of dropped records says so); other records are for the tree."""
        if is_left_out(record):
            self.take(record)
            return True
        if type(record) is dict and record.get("type") == "records_dropped" and record.get("mode") == "stop":
            self.stopped = True
        return False

    def take(self, record: dict) -> None:
        self.records += 1
        if self.budget is None and type(record.get("budget")) is int and record["budget"] >= 0:
            self.budget = record["budget"]
        for entry in record["functions"]:
            if type(entry) is not dict or not _count(entry.get("calls")):
                continue  # every function named has calls left out: this says nothing
            path, co_name, qualname = entry.get("path"), entry.get("co_name"), entry.get("qualname")
            key = (
                path if type(path) is str else None,
                co_name if type(co_name) is str else None,
                qualname if type(qualname) is str else None,
            )
            total, longest = _seconds(entry.get("total")), _seconds(entry.get("longest"))
            known = self._functions.get(key)
            if known is None:
                self._functions[key] = {
                    "path": key[0],
                    "co_name": key[1],
                    "qualname": key[2],
                    "calls": _count(entry.get("calls")),
                    "raised": _count(entry.get("raised")),
                    "total": total,
                    "longest": longest,
                }
                continue
            known["calls"] += _count(entry.get("calls"))
            known["raised"] += _count(entry.get("raised"))
            known["total"] = None if known["total"] is None or total is None else known["total"] + total
            if longest is not None:
                known["longest"] = longest if known["longest"] is None else max(known["longest"], longest)

    @property
    def functions(self) -> list:
        return sorted(self._functions.values(), key=lambda f: -f["calls"])

    @property
    def calls(self) -> int:
        return sum(f["calls"] for f in self._functions.values())

    def __bool__(self) -> bool:
        """Whether any calls were left out (a record naming none says nothing)."""
        return bool(self._functions)

    def as_dict(self) -> dict:
        """The merged record, without its "type" (for the exports)."""
        return {"budget": self.budget, "functions": self.functions}

    def text(self) -> str:
        """'12,345 calls of 3 functions left out past the call budget (1000 each)'."""
        functions = len(self._functions)
        text = "%s call%s of %s function%s left out" % (
            "{:,}".format(self.calls),
            "" if self.calls == 1 else "s",
            "{:,}".format(functions),
            "" if functions == 1 else "s",
        )
        if self.budget:
            text += " past the call budget ({:,} each)".format(self.budget)
            return text + " or once recording stopped at a cap" if self.stopped else text
        if self.budget == 0 or self.stopped:
            return text + " once recording stopped at a cap"  # the only other reason
        return text


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


def with_exception(ret: dict, note: dict) -> dict:
    return dict(ret, exception=note["exception"])


def exception_text(exception) -> str:
    """The exception as Python's repr() shows it, ValueError(42), from an "exception"
    entry ({"type", "message", "args"}: each argument's repr)."""
    if type(exception) is str and exception:
        return exception  # a record that names it as text
    if not isinstance(exception, dict):
        return "an exception"
    name = exception.get("type") if type(exception.get("type")) is str else "?"
    args = exception.get("args")
    if isinstance(args, list) and all(type(arg) is str for arg in args):
        return "%s(%s)" % (name, ", ".join(args))
    message = exception.get("message")  # older traces: str() of a single argument
    return "%s(%r)" % (name, message) if type(message) is str else "%s()" % name


def _later(a, b):
    if a is None:
        return b
    if b is None:
        return a
    return a if a >= b else b


class ThreadBuilder:
    """The tree of one thread, built record by record.

    `max_depth` (0: no limit): activations deeper than that are not kept,
    only counted in `hidden_below` of their deepest kept caller. `keep`
    (None: no limit): once that many nodes are kept, later ones are only
    counted (`full` is then true). `slim`: kept records lose their values
    ("arg", "locals"), which only `--locals` shows."""

    def __init__(self, native_id, max_depth: int = 0, keep: int | None = None, slim: bool = False) -> None:
        self.native_id = native_id
        self.max_depth = max_depth
        self.keep = keep
        self.slim = slim
        self.roots: list = []
        self.stack: list = []  # open activations: Node or _Hidden
        self.kept = 0
        self.records = 0
        self.calls = 0
        self.first = self.last = None
        self.name = None
        self.cut = False
        self.suspended: dict = {}  # first activation's frame id -> its node, while suspended
        self.raised: dict = {}  # frame id -> node, of recent calls that raised (their exception follows)

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
        depth = len(self.stack)
        if self.stack and isinstance(self.stack[-1], _Hidden):
            return None, self.stack[-1].owner
        owner = self.stack[-1] if self.stack else None
        if self.max_depth and depth >= self.max_depth:
            return None, owner
        if self.full:
            if owner is not None:
                owner.cut = True
            else:
                self.cut = True
            return None, owner
        return (owner.children if owner is not None else self.roots), owner

    def add(self, record: dict) -> None:
        self.records += 1
        if self.name is None and type(record.get("thread")) is str:
            self.name = record["thread"]
        ts = _number(record.get("timestamp"))
        if ts is not None:
            self.first = ts if self.first is None else min(self.first, ts)
            self.last = ts if self.last is None else max(self.last, ts)
            if self.stack:
                top = self.stack[-1]
                top.latest = _later(top.latest, ts)
        if is_exception_note(record):
            node = self.raised.pop(record.get("frame_id"), None)
            if node is not None and node.ret is not None:
                node.ret = with_exception(node.ret, record)
            return
        siblings, owner = self._place()
        if record.get("type") != "frame":
            if siblings is not None:
                siblings.append(Node("plugin", call=record, start=ts, end=ts))
                self.kept += 1
            elif owner is not None:
                owner.hidden_below += 1
            return
        event = record.get("event")
        if event == "call":
            if "resumes" not in record:  # a generator resumed is the same call, in parts
                self.calls += 1
            first = self.suspended.pop(record.get("resumes"), None) if "resumes" in record else None
            if first is not None and siblings is not None and first in siblings[-8:]:
                # Resumed where it last ran (a consumer's loop): one activation, in parts.
                first.open_id = record.get("frame_id")
                first.latest = ts
                first.part_start = ts
                self.stack.append(first)
                return
            if siblings is not None:
                node = Node("frame", call=self._slimmed(record), start=ts, latest=ts)
                siblings.append(node)
                self.kept += 1
            else:
                if owner is not None:
                    owner.hidden_below += 1
                    owner.hidden_calls_below += 1
                node = _Hidden(record.get("frame_id"), ts, owner)
            self.stack.append(node)
            return
        if event != "return":
            return
        index = innermost_open(self.stack, record.get("frame_id"), lambda n: getattr(n, "open_id", None) or n.frame_id)
        if index is not None:
            for j in range(len(self.stack) - 1, index, -1):  # their return records are missing
                self._close(self.stack[j], self.stack[j].latest, self.stack[j - 1], complete=False)
            del self.stack[index + 1 :]
            node = self.stack.pop()
            self._close(node, ts, self.stack[-1] if self.stack else None, ret=record)
            return
        self.calls += 1
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

    def _close(self, node, end, parent, ret=None, complete=True) -> None:
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
                    self.raised[node.ret["frame_id"]] = node
                    if len(self.raised) > 256:
                        del self.raised[next(iter(self.raised))]
            node.complete = complete and node.complete
        if parent is not None:
            parent.latest = _later(parent.latest, end)

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
            if found is not None and _number(found.get("timestamp")) is not None:
                node.end = _number(found["timestamp"])
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
        self.stack = []
        return ThreadTree(
            native_id=self.native_id,
            name=self.name if self.name is not None else "thread %s" % (self.native_id,),
            roots=self.roots,
            records=self.records,
            first=self.first,
            last=self.last,
            call_count=self.calls,
            complete=complete,
            cut=self.cut,
        )


def _build(records: list) -> list:
    builder = ThreadBuilder(None)
    for record in records:
        builder.add(record)
    return builder.finish().roots


def order_threads(threads: list, main_id) -> list:
    threads.sort(key=lambda t: (t.native_id != main_id, t.first if t.first is not None else float("inf")))
    return threads


def build_threads(document: dict, max_depth: int = 0, slim: bool = False) -> list:
    """One `ThreadTree` per thread of the document: the main thread first,
    the others in the order of their first record."""
    main_id = document.get("main_thread_id")
    builders: dict = {}
    for buffer_id, record in all_records(document):
        if is_left_out(record):
            continue  # not a call (see `left_out_of`)
        add_record(builders, buffer_id, record, main_id, max_depth=max_depth, slim=slim)
    return order_threads([b.finish() for b in builders.values()], main_id)


def add_record(builders: dict, buffer_id, record, main_id, **options):
    """Adds a record to the builder of its own thread (made on first use);
    returns that builder, or None for a record that is not a map."""
    if not isinstance(record, dict):
        return None
    thread_id = record.get("thread_native_id")
    if thread_id is None:
        thread_id = buffer_id if buffer_id is not None else main_id
    builder = builders.get(thread_id)
    if builder is None:
        builder = builders[thread_id] = ThreadBuilder(thread_id, **options)
    builder.add(record)
    return builder
