"""Where did this run go differently? Two traces compared.

    from sarv.diff import diff_traces

    result = diff_traces(db_path, "trc_...", "trc_...")
    result.same           # True when the runs went the same way
    result.first          # the first Difference, in the order things happened
    result.first.text     # "price was called with other arguments: line.qty: 3 -> 0"
    result.functions      # FunctionSummary per function: calls, time, added/removed/changed

What never counts as a difference: trace, frame and thread ids, timestamps,
native thread ids, and object addresses in texts (" at 0x7f..."). What does:
a call made in one run only; a call whose arguments differ; a call that
returned another value, raised (another exception), or left other locals;
a plugin record that differs (a test's outcome).

Each trace is read once as it is stored, without decoding its records (see
`sarv.diff.read`); only the records of the differences described are read
again and decoded.
"""

from __future__ import annotations

import array
import bisect
import collections
import contextlib
import dataclasses

from sarv.diff import compare
from sarv.diff.read import FunctionKeys, RecordFetcher, VOLATILE_KEYS, masked, read_trace
from sarv.diff.values import ABSENT, ValueChange, value_changes, value_text
from sarv.exceptions import DiffError

__all__ = [
    "ABSENT",
    "DiffError",
    "Difference",
    "FunctionSummary",
    "TraceDiff",
    "TraceSide",
    "ValueChange",
    "diff_documents",
    "diff_traces",
    "pick_traces",
]

DETAILS = 50  # differences described in full (the rest are counted)
_CHECKED = 2000  # differences read again and compared decoded


@dataclasses.dataclass
class TraceSide:
    """What one of the two traces is."""

    trace_id: str | None
    records: int = 0
    test: str | None = None
    outcome: str | None = None
    command: str | None = None
    left_out: int = 0  # calls counted but not recorded (call budget, caps)
    dropped: int = 0  # records dropped at a cap


@dataclasses.dataclass
class Difference:
    """One point where the runs went differently.

    kind: "only_in_a" / "only_in_b" (a call made in one run only), "arguments",
    "result", "raised" (one run raised, or raised another exception), "locals" (at
    the return), "ended" (returned at another line, or ended otherwise), "outcome"
    (a test's), "record" (another plugin record), "thread" (a thread of one run only).
    function: the called function's name; where: its file and first line; thread:
    the thread's name; callers: the names of its callers, the outermost first;
    call_number: which call of `function` by that caller it is (1 for the first),
    in run A (in run B for a call made in B only); changes: the values that differ
    (ValueChange: path, a, b); text: the difference in one line."""

    kind: str
    function: str
    where: str
    thread: str
    callers: list
    call_number: int
    changes: list
    text: str
    a: object = None  # the (call, return) records of run A, decoded, when read
    b: object = None
    nodes: tuple = (None, None, None)  # (thread pair number, node in A, node in B): for the page
    event: object = dataclasses.field(default=None, repr=False)


@dataclasses.dataclass
class FunctionSummary:
    name: str
    where: str
    calls_a: int = 0
    calls_b: int = 0
    seconds_a: float = 0.0  # time in its calls, those it made included
    seconds_b: float = 0.0
    added: int = 0  # calls made in run B only
    removed: int = 0  # calls made in run A only
    changed: int = 0  # calls made in both that went differently


@dataclasses.dataclass
class TraceDiff:
    a: TraceSide
    b: TraceSide
    first: Difference | None
    differences: list  # the first DETAILS differences, in the order things happened
    count: int  # all differences
    added: int
    removed: int
    changed: int
    functions: list  # FunctionSummary, the functions with differences first, then by time
    notes: list  # what may hide differences (calls left out, records dropped)
    more: bool = False  # more differences than described
    # For the page: the aligned trees, kept when asked for.
    aligned: object = None

    @property
    def same(self) -> bool:
        return self.count == 0 and self.a.outcome == self.b.outcome


def _nth(count: int) -> str:
    suffix = "th" if 10 <= count % 100 <= 20 else {1: "st", 2: "nd", 3: "rd"}.get(count % 10, "th")
    return "%d%s" % (count, suffix)


def _exception_text(exception) -> str:
    from sarv.views.tree import exception_text

    if isinstance(exception, dict) and type(exception.get("message")) is str:
        exception = dict(exception, message=masked(exception["message"]))
    return exception_text(exception)


def _arguments(record, width: int = 70) -> str:
    if not isinstance(record, dict) or not isinstance(record.get("locals"), dict):
        return ""
    from sarv.views.text import format_value

    parts = []
    for name, value in record["locals"].items():
        parts.append("%s=%s" % (name, format_value(value, 30)))
    text = ", ".join(parts)
    return text if len(text) <= width else text[: width - 1] + "…"


def _ending(record, note) -> tuple:
    """(kind, detail) of how a call ended: ("returned", value), ("raised", exception
    text), ("yielded"/"awaited", value), or (None, None) without a return record."""
    if not isinstance(record, dict):
        return None, None
    end = record.get("end")
    if end == "raised":
        exception = note.get("exception") if isinstance(note, dict) else None
        return "raised", _exception_text(exception) if exception is not None else "an exception"
    if type(end) is str and end != "returned":
        return end, record.get("arg")
    return "returned", record.get("arg")


def _line(record) -> str:
    path = record.get("path") if isinstance(record, dict) else None
    return path.rpartition(":")[2] if type(path) is str else "?"


class _Side:
    """One trace being compared: where its records are read from, and what they say."""

    def __init__(self, trace_id, open_pieces, db_path=None) -> None:
        self.trace_id = trace_id
        self.open = open_pieces
        self.db_path = db_path
        self.calls = None

    def read(self, keys: FunctionKeys) -> None:
        with self.open() as pieces:
            self.calls = read_trace(pieces, keys)

    def info(self, summary=None) -> TraceSide:
        test = self.calls.test or {}
        return TraceSide(
            trace_id=self.trace_id,
            records=self.calls.records,
            test=test.get("node_id"),
            outcome=test.get("outcome"),
            command=getattr(summary, "command", None),
            left_out=self.calls.left_out,
            dropped=self.calls.dropped,
        )


def diff_traces(
    db_path, a: str, b: str, details: int = DETAILS, keep_aligned: bool = False, processes: int = 1
) -> TraceDiff:
    """Compares two stored traces (their ids, as stored: see `pick_traces` for the
    other ways of naming them). `processes` 2: the first trace is read in a process of
    its own meanwhile, forked (on Linux, when this process runs no other thread; else
    both are read here)."""
    from sarv import db

    def opener(trace_id):
        return lambda: db.open_trace(db_path, trace_id)

    summaries = []
    for trace_id in (a, b):
        summary = db.find_trace(db_path, trace_id)
        if summary is None:
            raise DiffError("no trace %s in %s" % (trace_id, db.shown_location(db_path)))
        summaries.append(summary)
    sides = _Side(a, opener(a), db_path), _Side(b, opener(b), db_path)
    return _diff(*sides, summaries, details, keep_aligned, processes)


def diff_documents(a: bytes, b: bytes, details: int = DETAILS, keep_aligned: bool = False) -> TraceDiff:
    """Compares two trace documents given as bytes (as `build_trace` returns them)."""

    def opener(document):
        return lambda: contextlib.nullcontext([document])

    return _diff(_Side(None, opener(a)), _Side(None, opener(b)), (None, None), details, keep_aligned)


def _read_alone(db_path, trace_id) -> tuple:
    """A trace read in a process of its own: (TraceCalls, its function keys)."""
    from sarv import db

    keys = FunctionKeys()
    with db.open_trace(db_path, trace_id) as pieces:
        calls = read_trace(pieces, keys)
    for thread in calls.threads:
        thread.children = None  # made again from the parents: less to send
    return calls, keys.keys


def _read(side_a: _Side, side_b: _Side, keys: FunctionKeys, processes: int) -> None:
    if processes < 2 or side_a.db_path is None:
        for side in (side_a, side_b):
            side.read(keys)
        return
    import multiprocessing
    import sys
    import threading

    # Only a forked process hashes as this one does (a fresh interpreter draws its own
    # hash secret, and the two traces' hashes must be comparable); and a process that
    # runs other threads could fork in the middle of what one of them holds.
    if not sys.platform.startswith("linux") or threading.active_count() > 1:
        for side in (side_a, side_b):
            side.read(keys)
        return
    context = multiprocessing.get_context("fork")
    with context.Pool(1) as pool:
        pending = pool.apply_async(_read_alone, (side_a.db_path, side_a.trace_id))
        side_b.read(keys)
        calls, their_keys = pending.get()
    ids = [keys.id(key) for key in their_keys]
    for thread in calls.threads:
        thread.fn = array.array("i", [ids[fn] for fn in thread.fn])
        if thread.kid_start is not None:
            thread.kid_fn = array.array("i", [ids[fn] for fn in thread.kid_fn])
            continue
        children: dict = {-1: []}
        for node, parent in enumerate(thread.parent):
            kids = children.get(parent)
            if kids is None:
                children[parent] = [node]
            else:
                kids.append(node)
        thread.children = children
    calls.seconds = {ids[fn]: spent for fn, spent in calls.seconds.items()}
    side_a.calls = calls


def _diff(side_a: _Side, side_b: _Side, summaries, details: int, keep_aligned: bool, processes: int = 1) -> TraceDiff:
    keys = FunctionKeys()
    try:
        _read(side_a, side_b, keys, processes)
    except ValueError as exc:
        raise DiffError("a trace cannot be read: %s" % exc) from exc
    ca, cb = side_a.calls, side_b.calls
    pairs = compare.pair_threads(ca.threads, cb.threads)
    # The first events are read again and compared decoded: one whose only difference
    # is one that never counts (a thread object's ids) is dropped. Past them, events
    # are counted as their records' bytes say.
    events: list = []  # (pair number, Event)
    counts = {"added": collections.Counter(), "removed": collections.Counter(), "changed": collections.Counter()}
    unchecked = [0]

    for number, pair in enumerate(pairs):

        def on_event(event, number=number, pair=pair):
            if len(events) < _CHECKED:
                events.append((number, event))
            else:
                unchecked[0] += 1
                _count(pair, event, counts)

        compare.walk_pair(pair, on_event)

    checked = [d for d in _describe(events, pairs, side_a, side_b, keys) if d is not None]
    for difference in checked:
        _count(pairs[difference.nodes[0]], difference.event, counts)
    info_a, info_b = side_a.info(summaries[0]), side_b.info(summaries[1])
    if info_a.outcome != info_b.outcome and not any(d.kind == "outcome" for d in checked):
        # (the end of a test whose record was not compared: a trace cut short)
        checked.append(_outcome_difference(info_a, info_b))
    differences = checked[:details]
    total = len(checked) + unchecked[0]
    result = TraceDiff(
        a=info_a,
        b=info_b,
        first=differences[0] if differences else None,
        differences=differences,
        count=total,
        added=sum(counts["added"].values()),
        removed=sum(counts["removed"].values()),
        changed=sum(counts["changed"].values()),
        functions=_functions(keys, ca, cb, counts),
        notes=_notes(info_a, info_b),
        more=total > len(differences),
    )
    if keep_aligned:
        result.aligned = (pairs, keys, side_a, side_b)
    return result


def _count(pair, event, counts) -> None:
    if event.kind == compare.ONLY_A:
        _count_below(pair.a, event.a, counts["removed"])
    elif event.kind == compare.ONLY_B:
        _count_below(pair.b, event.b, counts["added"])
    elif event.kind == compare.RETURN and pair.a.call_hash[event.a] != pair.b.call_hash[event.b]:
        pass  # counted at its call
    elif pair.a is not None:
        counts["changed"][pair.a.fn[event.a]] += 1


def _count_below(thread, node: int, counter) -> None:
    stack = [node]
    fn, kids, plugins = thread.fn, thread.kids, thread.plugins
    while stack:
        n = stack.pop()
        if n not in plugins:
            counter[fn[n]] += 1
        stack.extend(kids(n))


def _outcome_difference(a: TraceSide, b: TraceSide) -> Difference:
    name = a.test or b.test or "the test"
    return Difference(
        kind="outcome",
        function=name,
        where="",
        thread="",
        callers=[],
        call_number=1,
        changes=[ValueChange("outcome", a.outcome or ABSENT, b.outcome or ABSENT)],
        text="%s %s in run A and %s in run B" % (name, a.outcome or "did not end", b.outcome or "did not end"),
    )


def _notes(a: TraceSide, b: TraceSide) -> list:
    notes = []
    for name, side in (("A", a), ("B", b)):
        if side.left_out:
            notes.append(
                "run %s left out %s calls (the call budget, or a cap): what they did is not compared"
                % (name, "{:,}".format(side.left_out))
            )
        if side.dropped:
            notes.append("run %s dropped %s records at a cap" % (name, "{:,}".format(side.dropped)))
    return notes


def _functions(keys: FunctionKeys, ca, cb, counts) -> list:
    """Per function, by name and file: a generator's resumptions, whose records name the
    line they resume at, count with its first call."""
    out: dict = {}
    for fn in set(ca.seconds) | set(cb.seconds) | set().union(*(set(c) for c in counts.values())):
        described = keys.describe(fn)
        if described.get("plugin"):
            continue
        group = keys.group(fn)
        summary = out.get(group)
        if summary is None:
            summary = out[group] = FunctionSummary(described["name"], described["path"])
        calls, seconds = ca.seconds.get(fn, (0, 0.0))
        summary.calls_a += calls
        summary.seconds_a += seconds
        calls, seconds = cb.seconds.get(fn, (0, 0.0))
        summary.calls_b += calls
        summary.seconds_b += seconds
        summary.added += counts["added"][fn]
        summary.removed += counts["removed"][fn]
        summary.changed += counts["changed"][fn]
    return sorted(
        out.values(),
        key=lambda f: (-(f.added + f.removed + f.changed > 0), -max(f.seconds_a, f.seconds_b), f.name),
    )


def _describe(events, pairs, side_a: _Side, side_b: _Side, keys: FunctionKeys) -> list:
    """The events as Differences, their records read again and compared."""
    wanted_a, wanted_b = [], []
    for number, event in events:
        pair = pairs[number]
        if event.a is not None:
            ta = pair.a
            wanted_a += [ta.call_at[event.a], ta.ret_at[event.a], ta.notes.get(event.a)]
        if event.b is not None:
            tb = pair.b
            wanted_b += [tb.call_at[event.b], tb.ret_at[event.b], tb.notes.get(event.b)]
    records_a = RecordFetcher(side_a.open).fetch(wanted_a)
    records_b = RecordFetcher(side_b.open).fetch(wanted_b)
    out = []
    for number, event in events:
        out.append(_difference(number, event, pairs[number], records_a, records_b, keys))
    return out


def _records(thread, node, records) -> tuple:
    if node is None:
        return None, None, None
    get = records.get
    return get(thread.call_at[node]), get(thread.ret_at[node]), get(thread.notes.get(node, -1))


def _call_number(thread, node: int, keys: FunctionKeys) -> int:
    kids, fns, _, _ = thread.kid_columns(thread.parent[node])
    at = bisect.bisect_left(kids, node)  # (calls are numbered in the order they were made)
    # (a loop of a million turns makes as many siblings: each function is looked up once)
    fns = fns[: at + 1]
    group = keys.group(thread.fn[node])
    return max(sum(fns.count(fn) for fn in set(fns) if keys.group(fn) == group), 1)


class _Subject:
    """How a difference names its call: the function, the caller it was called in, and
    which call of that caller's it was (when not the first)."""

    def __init__(self, name: str, place: str, nth: str) -> None:
        self.name, self.place, self.nth = name, place, nth

    def where(self) -> tuple:
        return self.name, self.place, self.nth

    def call(self, record, width: int = 70) -> str:
        return "%s(%s)%s%s" % (self.name, _arguments(record, width), self.place, self.nth)


def _difference(number, event, pair, records_a, records_b, keys) -> Difference | None:
    """An event of the walk as a Difference, or None when what differs never counts."""
    ta, tb = pair.a, pair.b
    thread = ta if event.a is not None else tb
    node = event.a if event.a is not None else event.b
    described = keys.describe(thread.fn[node])
    callers = [keys.describe(ta.fn[a])["name"] for a, _ in event.chain()]
    call_number = _call_number(thread, node, keys)
    subject = _Subject(
        described["name"],
        " in %s" % callers[-1] if callers else "",
        " (its %s call there)" % _nth(call_number) if call_number > 1 else "",
    )
    call_a, ret_a, note_a = _records(ta, event.a, records_a)
    call_b, ret_b, note_b = _records(tb, event.b, records_b)
    if ta is None or tb is None:
        said = ("thread", "thread %s ran in run %s only" % (pair.name, "A" if tb is None else "B"), [])
    elif event.kind in (compare.ONLY_A, compare.ONLY_B):
        said = _only(event.kind == compare.ONLY_A, subject, call_a if event.kind == compare.ONLY_A else call_b)
    elif event.kind == compare.RECORD:
        said = _record_change(subject, call_a, call_b)
    elif event.kind == compare.CALL:
        said = _argument_change(subject, call_a, call_b)
    else:
        said = _ending_change(subject, call_a, (ret_a, note_a), (ret_b, note_b))
    if said is None:
        return None
    kind, text, changes = said
    return Difference(
        kind=kind,
        function=subject.name,
        where=described["path"],
        thread=pair.name,
        callers=callers,
        call_number=call_number,
        changes=changes,
        text=text,
        a=(call_a, ret_a) if event.a is not None else None,
        b=(call_b, ret_b) if event.b is not None else None,
        nodes=(number, event.a, event.b),
        event=event,
    )


def _only(in_a: bool, subject: _Subject, record) -> tuple:
    runs = ("A", "B") if in_a else ("B", "A")
    text = "run %s called %s; run %s did not" % (runs[0], subject.call(record), runs[1])
    return ("only_in_a" if in_a else "only_in_b"), text, []


def _record_change(subject: _Subject, call_a, call_b):
    """A plugin record that differs (a test's end and its outcome)."""
    data_a = {k: v for k, v in (call_a or {}).items() if k not in VOLATILE_KEYS}
    data_b = {k: v for k, v in (call_b or {}).items() if k not in VOLATILE_KEYS}
    changes = value_changes(data_a, data_b)
    if data_a.get("type") == "end_test" and data_a.get("outcome") != data_b.get("outcome"):
        subject.name = data_a.get("node_id") or data_b.get("node_id") or "the test"
        text = "%s %s in run A and %s in run B" % (subject.name, data_a.get("outcome"), data_b.get("outcome"))
        return "outcome", text, changes
    if not changes:
        return None
    text = "the %s record%s differs: %s" % (subject.name, subject.place, "; ".join(c.text() for c in changes[:3]))
    return "record", text, changes


def _argument_change(subject: _Subject, call_a, call_b):
    changes = value_changes((call_a or {}).get("locals", {}), (call_b or {}).get("locals", {}), names=True)
    line_a, line_b = _line_of_caller(call_a), _line_of_caller(call_b)
    if changes:
        listed = "; ".join(c.text() for c in changes[:3])
        return "arguments", "%s%s%s was called with other arguments: %s" % (*subject.where(), listed), changes
    if line_a == line_b:
        return None
    text = "%s was called from line %s in run A and from line %s in run B%s" % (
        subject.name,
        line_a,
        line_b,
        subject.place,
    )
    return "ended", text, changes


def _ending_change(subject: _Subject, call_a, side_a: tuple, side_b: tuple):
    """How the call ended: another value, another exception, other locals, another line."""
    (ret_a, note_a), (ret_b, note_b) = side_a, side_b
    end_a, value_a = _ending(ret_a, note_a)
    end_b, value_b = _ending(ret_b, note_b)
    named = subject.call(call_a, 50)
    if end_a != end_b or (end_a == "raised" and value_a != value_b):
        text_a, text_b = _end_text(end_a, value_a), _end_text(end_b, value_b)
        kind = "raised" if "raised" in (end_a, end_b) else "ended"
        return kind, "%s %s in run A and %s in run B" % (named, text_a, text_b), [ValueChange("ended", text_a, text_b)]
    if end_a != "raised" and value_changes(value_a, value_b, limit=1):
        changes = value_changes(value_a, value_b, path="result")
        text = "%s %s %s -> %s" % (named, end_a or "returned", value_text(value_a), value_text(value_b))
        if len(changes) == 1 and changes[0].path != "result":
            text += " (%s)" % changes[0].text()
        return "result", text, changes
    changes = value_changes((ret_a or {}).get("locals", {}), (ret_b or {}).get("locals", {}), names=True)
    if changes:
        return "locals", "%s ended with other locals: %s" % (named, "; ".join(c.text() for c in changes[:3])), changes
    if _line(ret_a) == _line(ret_b):
        return None
    return "ended", "%s ended at line %s in run A and at line %s in run B" % (named, _line(ret_a), _line(ret_b)), []


def _end_text(kind, value) -> str:
    if kind is None:
        return "did not return"
    if kind == "raised":
        return "raised %s" % value
    return "%s %s" % (kind, value_text(value))


def _line_of_caller(record):
    site = record.get("user_code_call_site") if isinstance(record, dict) else None
    return site.get("line_number") if isinstance(site, dict) else None


def pick_traces(db_path, names: list) -> tuple:
    """The two stored trace ids that the command line names: two trace ids (their
    first or last characters, or "last"), or a test's node id (its newest failing
    trace against its newest passing one, or, given twice, ...). One name alone: a
    test's node id, or the trace of a test (compared with the newest passing trace of
    the same test)."""
    from sarv import db

    if len(names) == 1:
        return _pick_one(db_path, names[0])
    out = []
    for name in names:
        summary = _trace_named(db_path, name)
        if summary is None:
            newest = _newest(db_path, name, None)
            if newest is None:
                raise DiffError("no trace %s and no test of that name in %s" % (name, db.shown_location(db_path)))
            summary = newest
        out.append(summary.trace_id)
    return tuple(out)


def _pick_one(db_path, name: str) -> tuple:
    """The two traces one name means: a test's trace and the newest passing one of the
    same test, or a test's newest passing and newest failing traces."""
    from sarv import db

    summary = _trace_named(db_path, name)
    if summary is not None:
        if not summary.test_name:
            raise DiffError(
                "%s is not a test's trace: give two traces to compare, or a test's node id" % summary.trace_id
            )
        passing = _newest(db_path, summary.test_name, "passed", other_than=summary.trace_id)
        if passing is None:
            raise DiffError("no passing trace of %s to compare %s with" % (summary.test_name, summary.trace_id))
        return passing.trace_id, summary.trace_id
    failing = _newest(db_path, name, "failed") or _newest(db_path, name, "error")
    passing = _newest(db_path, name, "passed")
    if failing is None and passing is None:
        raise DiffError("no trace %s and no test of that name in %s" % (name, db.shown_location(db_path)))
    if failing is None:
        raise DiffError("no failing trace of %s in %s" % (name, db.shown_location(db_path)))
    if passing is None:
        raise DiffError("no passing trace of %s in %s" % (name, db.shown_location(db_path)))
    return passing.trace_id, failing.trace_id


def _trace_named(db_path, name: str):
    from sarv import db

    if "::" in name:
        return None
    try:
        return db.find_trace(db_path, db.resolve_trace_id(db_path, name))
    except db.TraceNotFound:
        return None


def _newest(db_path, test: str, outcome, other_than=None):
    from sarv import db

    for summary in db.list_traces(db_path, test=test):
        if summary.test_name != test or summary.trace_id == other_than:
            continue
        if outcome is None or summary.outcome == outcome:
            return summary
    return None
