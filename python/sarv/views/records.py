"""One reader of a trace's records, behind every view: the call tree (and so
`show`), the hot list, the Chrome export and the page.

`TraceReader` takes the records one at a time, in document order, and decides
once what each one is, so that every view says the same about every call:

* which thread it belongs to: its own "thread_native_id", else the list it
  came from, else the main thread (None while the document's main thread id
  is not read yet);
* its time: a finite number of seconds, else None;
* what it is: a call, a return, the note naming the exception a call raised,
  a plugin record (markers and notes other than those below), or another
  frame event;
* the record of calls left out past the call budget (`left_out`, merged), and
  the note of records dropped at a cap (`ring`: the oldest were dropped, so a
  return without its call was called before the oldest record kept).

Calls pair with returns by frame id on each thread (`ThreadCalls`): a return
ends the innermost open call of its frame id, the calls opened inside it and
still open lost their return records; a return of no open call was called
before the trace's first record of it. A generator's or coroutine's
resumption is a call record of its own, paired with its own return, and not
a new call (`ThreadCalls.calls` counts calls, not parts). A call that raised
may be followed by the note naming its exception: the reader hands the note
to whatever the view kept of that call.

A view is an object with the methods of `View`; what it builds from them (a
tree, events, columns) is its own.
"""

from __future__ import annotations

import math
from typing import Iterator

__all__ = [
    "CALL",
    "NOTE",
    "NO_CALL",
    "NO_CALL_RING",
    "OTHER",
    "PLUGIN",
    "RETURN",
    "LeftOut",
    "ThreadCalls",
    "TraceReader",
    "View",
    "all_records",
    "ended",
    "exception_text",
    "is_exception_note",
    "is_left_out",
    "is_ring_drop",
    "kind_of",
    "read_document",
    "timestamp",
    "with_exception",
]

CALL, RETURN, NOTE, PLUGIN, OTHER = "call", "return", "note", "plugin", "other"


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


# Calls that raised whose exception's note may still follow, per thread: the note comes
# soon after (once the exception is handled), so a few are enough.
_RAISED_KEPT = 256


def timestamp(record: dict):
    """A record's time in seconds, or None when it has no finite one."""
    value = record.get("timestamp")
    if type(value) in (int, float) and math.isfinite(value):
        return float(value)
    return None


def kind_of(record: dict) -> str:
    if record.get("type") != "frame":
        return NOTE if is_exception_note(record) else PLUGIN
    event = record.get("event")
    if event == "call":
        return CALL
    return RETURN if event == "return" else OTHER


class ThreadCalls:
    """One thread as the reader sees it: the calls open now, outermost first
    (`stack`, what the view made of each, and `ids`, their frame ids), the
    calls counted (`calls`: activations, a generator's parts as one, with the
    returns whose calls were not recorded) and `state`, the view's own."""

    __slots__ = ("key", "state", "stack", "ids", "calls", "raised")

    def __init__(self, key) -> None:
        self.key = key
        self.state = None
        self.stack: list = []
        self.ids: list = []
        self.calls = 0
        self.raised: dict = {}  # frame id -> what the view kept of a call that raised

    def innermost(self, frame_id):
        """The index in `stack` of the innermost open call of `frame_id`, or None."""
        if frame_id is not None:
            ids = self.ids
            for i in range(len(ids) - 1, -1, -1):
                if ids[i] == frame_id:
                    return i
        return None

    def pop(self):
        self.ids.pop()
        return self.stack.pop()

    def _keep_raised(self, frame_id, kept) -> None:
        if kept is None or frame_id is None:
            return
        self.raised[frame_id] = kept
        if len(self.raised) > _RAISED_KEPT:
            del self.raised[next(iter(self.raised))]


class View:
    """What a view is told, record by record; every method may be left as it is here."""

    def thread(self, t: ThreadCalls, record: dict):
        """The view's state of a new thread (`ThreadCalls.state`), made at its first record."""
        return None

    def drop_note(self, record: dict) -> bool:
        """A note of records dropped at a cap: true when the view takes it as no record
        of a thread."""
        return False

    def calls_left_out(self, record: dict) -> None:
        """A record of calls left out (already merged into the reader's `left_out`)."""

    def seen(self, t: ThreadCalls, record: dict, ts, kind: str) -> None:
        """Any record of the thread, before what follows."""

    def note(self, t: ThreadCalls, kept, record: dict, ts) -> None:
        """The note naming the exception a call raised; `kept` is what `returned` kept of
        that call, or None."""

    def plugin(self, t: ThreadCalls, record: dict, ts) -> None:
        pass

    def call(self, t: ThreadCalls, record: dict, ts):
        """A call record: returns what to keep for it while it runs (on `t.stack`)."""
        return None

    def returned(self, t: ThreadCalls, entry, record: dict, ts):
        """The return record of the call `entry` (popped from `t.stack`); returns what to
        hand to `note` if its exception's note follows, or None."""
        return None

    def unreturned(self, t: ThreadCalls, entry) -> None:
        """A call whose return record is missing (popped from `t.stack`): a return of a
        call that was open around it came first."""

    def uncalled(self, t: ThreadCalls, record: dict, ts):
        """A return of no open call: the call came before the trace's first record (or
        before its oldest record kept). Returns as `returned` does."""
        return None


class TraceReader:
    """Reads records into a `View`. `threads`: key -> `ThreadCalls`, in the order
    of their first records."""

    def __init__(self, view: View, main_id=None) -> None:
        self.view = view
        self.main_id = main_id
        self.threads: dict = {}
        self.left_out = LeftOut()
        self.ring = False  # the oldest records were dropped to keep the newest

    def thread_key(self, record: dict, buffer_id):
        key = record.get("thread_native_id")
        if key is None:
            key = buffer_id if buffer_id is not None else self.main_id
        elif type(key) in (dict, list):
            key = repr(key)  # a malformed record: still shown, under a name
        return key

    def add(self, buffer_id, record) -> ThreadCalls | None:
        """Takes one record (buffer id: its list's key in "frames", None for
        "frames_of_interest"); returns its thread, or None for a record of none."""
        if not isinstance(record, dict) or self._of_no_thread(record):
            return None
        view = self.view
        key = self.thread_key(record, buffer_id)
        t = self.threads.get(key)
        if t is None:
            t = self.threads[key] = ThreadCalls(key)
            t.state = view.thread(t, record)
        ts = timestamp(record)
        kind = kind_of(record)
        view.seen(t, record, ts, kind)
        if kind is CALL:
            if "resumes" not in record:  # a generator resumed is the same call, in parts
                t.calls += 1
            entry = view.call(t, record, ts)
            t.stack.append(entry)
            t.ids.append(record.get("frame_id"))
        elif kind is RETURN:
            self._return(t, record, ts)
        elif kind is NOTE:
            view.note(t, t.raised.pop(record.get("frame_id"), None), record, ts)
        elif kind is PLUGIN:
            view.plugin(t, record, ts)
        return t

    def _of_no_thread(self, record: dict) -> bool:
        """Takes the notes of the whole trace: calls left out, records dropped (unless
        the view shows that note in its thread)."""
        if self.left_out.notice(record):
            self.view.calls_left_out(record)
            return True
        if record.get("type") == "records_dropped":
            self.ring = self.ring or record.get("mode") == "ring"
            return self.view.drop_note(record)
        return False

    def _return(self, t: ThreadCalls, record: dict, ts) -> None:
        view = self.view
        frame_id = record.get("frame_id")
        index = t.innermost(frame_id)
        if index is None:
            t.calls += 1
            t._keep_raised(frame_id, view.uncalled(t, record, ts))
            return
        while len(t.stack) > index + 1:
            view.unreturned(t, t.pop())
        t._keep_raised(frame_id, view.returned(t, t.pop(), record, ts))


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


def read_document(document: dict, view: View) -> TraceReader:
    """Reads every record of a decoded document into `view`; returns the reader."""
    reader = TraceReader(view, document.get("main_thread_id"))
    for buffer_id, record in all_records(document):
        reader.add(buffer_id, record)
    return reader
