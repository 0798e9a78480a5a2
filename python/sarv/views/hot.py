"""Where a trace's time went, by function: `show --hot`.

Read record by record (a stored trace is never held decoded whole). Calls pair
up by frame id in the reader every view uses (sarv.views.records). For each function, named
by its qualified name, file and the line of its call record (its definition):

* calls: its activations recorded; a generator's or coroutine's resumptions are
  parts of the same call;
* total: time from call to return, summed over its calls, counting a recursive
  function's time once (only its outermost activations), every part of a
  generator's life;
* own: total minus the time of the recorded calls it made. The calls a call
  budget left out are not recorded: their time stays in their caller's own
  time, and the function's row says how many of its own calls were left out
  and how long they took (the trace's `calls_left_out` record);
* a call still open when recording stopped counts up to its thread's last
  record (a lower bound); a return whose call is not in the trace counts as a
  call, without time.
"""

from __future__ import annotations

import dataclasses

from sarv.views.records import NOTE, PLUGIN, LeftOut, ThreadCalls, TraceReader, View, ended

__all__ = ["FunctionTime", "HotFunctions", "SORT_KEYS", "hot_of_stored_trace"]

SORT_KEYS = ("own", "total", "calls")
_MARK_TYPES = ("start_test", "end_test", "start_request", "end_request")


@dataclasses.dataclass
class FunctionTime:
    name: str
    path: str  # "file:line" of its definition, as the trace gives it
    calls: int = 0
    total: float = 0.0
    own: float = 0.0
    open_calls: int = 0  # calls still running when recording stopped (their time a lower bound)
    left_out: int = 0  # calls of it the budget left out
    left_out_time: float | None = 0.0  # their time (None: not known)
    raised: int = 0


class _Open:
    __slots__ = ("key", "frame_id", "first_id", "start", "inner", "counted")

    def __init__(self, key, record: dict, start, counted) -> None:
        self.key, self.frame_id, self.start, self.inner, self.counted = key, record.get("frame_id"), start, 0.0, counted
        self.first_id = record.get("resumes") or self.frame_id  # a generator's first part


class _Thread:
    __slots__ = ("active", "last", "suspended", "now", "frames")

    def __init__(self) -> None:
        self.active: dict = {}  # function key -> its activations open (recursion counted once)
        self.last = None
        # The first part's frame id -> the function, of generators and coroutines suspended
        # (a resumption's record gives the line it resumes at, not the definition's).
        self.suspended: dict = {}
        self.now = None  # the time of the record being read
        self.frames = False  # whether the thread has frame records (others have markers alone)


def _function_key(record: dict) -> tuple:
    name = None
    for key in ("qualname", "co_name"):
        if type(record.get(key)) is str and record[key]:
            name = record[key]
            break
    path = record.get("path")
    return (name or "?", path if type(path) is str else "")


class HotFunctions(View):
    """Takes the records of a trace (`add`), then `rows()`."""

    def __init__(self) -> None:
        self.functions: dict = {}
        self.reader = TraceReader(self)
        self.records = 0
        self.first = self.last = None
        self.marks: list = []  # a test's and a request's start and end records, for the header

    @property
    def left_out(self) -> LeftOut:
        return self.reader.left_out

    @property
    def threads(self) -> list:
        """The threads that ran recorded calls."""
        return [t for t in self.reader.threads.values() if t.state.frames]

    def _function(self, key) -> FunctionTime:
        found = self.functions.get(key)
        if found is None:
            found = self.functions[key] = FunctionTime(name=key[0], path=key[1])
        return found

    def add(self, buffer_id, record) -> None:
        if not isinstance(record, dict):
            return
        self.records += 1
        if record.get("type") in _MARK_TYPES and len(self.marks) < 8:
            self.marks.append(record)
        self.reader.add(buffer_id, record)

    def thread(self, t: ThreadCalls, record: dict) -> _Thread:
        return _Thread()

    def seen(self, t: ThreadCalls, record: dict, ts, kind: str) -> None:
        thread = t.state
        thread.now = ts
        if kind in (NOTE, PLUGIN):
            return
        thread.frames = True
        if ts is not None:
            thread.last = ts if thread.last is None else max(thread.last, ts)
            self.first = ts if self.first is None else min(self.first, ts)
            self.last = ts if self.last is None else max(self.last, ts)

    def note(self, t: ThreadCalls, kept, record: dict, ts) -> None:
        # A raise that is the program's end (SystemExit(0), KeyboardInterrupt) is no failure.
        if kept is not None and ended({"end": "raised", "exception": record["exception"]})[0] != "raised":
            self._function(kept).raised -= 1

    def call(self, t: ThreadCalls, record: dict, ts) -> _Open:
        if "resumes" in record:  # a later part of a generator's call
            key = t.state.suspended.get(record["resumes"]) or _function_key(record)
            counted = False
        else:
            key = _function_key(record)
            self._function(key).calls += 1
            counted = True
        t.state.active[key] = t.state.active.get(key, 0) + 1
        return _Open(key, record, ts, counted)

    def uncalled(self, t: ThreadCalls, record: dict, ts) -> None:
        self._function(_function_key(record)).calls += 1  # called before the trace's first record

    def unreturned(self, t: ThreadCalls, entry: _Open) -> None:
        self._close(t, entry, t.state.now, complete=False)  # its return is missing: it ends here

    def returned(self, t: ThreadCalls, entry: _Open, record: dict, ts):
        end = record.get("end")
        kept = None
        if end == "raised":
            self._function(entry.key).raised += 1
            kept = entry.key  # its exception's note may follow
        if end in ("yielded", "awaited"):
            t.state.suspended[entry.first_id] = entry.key
        else:
            t.state.suspended.pop(entry.first_id, None)
        self._close(t, entry, ts, complete=True)
        return kept

    def _close(self, t: ThreadCalls, entry: _Open, end, complete: bool) -> None:
        function = self._function(entry.key)
        t.state.active[entry.key] -= 1
        if entry.start is None or end is None:
            return
        took = max(end - entry.start, 0.0)
        function.own += max(took - entry.inner, 0.0)
        if not t.state.active[entry.key]:
            function.total += took  # its outermost activation: recursion counted once
        if not complete and entry.counted:
            function.open_calls += 1
        if t.stack:
            t.stack[-1].inner += took

    def finish(self) -> None:
        """Calls still open end at their thread's last record."""
        for t in self.reader.threads.values():
            while t.stack:
                self._close(t, t.pop(), t.state.last, complete=False)
        for entry in self.left_out.functions:
            key = (entry["qualname"] or entry["co_name"] or "?", entry["path"] or "")
            function = self._function(key)
            function.left_out += entry["calls"]
            function.raised += entry["raised"]
            function.left_out_time = (
                None if entry["total"] is None or function.left_out_time is None else function.left_out_time
            )
            if function.left_out_time is not None:
                function.left_out_time += entry["total"]

    def rows(self, sort: str = "own") -> list:
        if sort not in SORT_KEYS:
            raise ValueError("sort by one of %s" % ", ".join(SORT_KEYS))
        key = {
            "own": lambda f: (-f.own, -f.total, f.name),
            "total": lambda f: (-f.total, -f.own, f.name),
            "calls": lambda f: (-(f.calls + f.left_out), -f.own, f.name),
        }[sort]
        return sorted(self.functions.values(), key=key)


def hot_of_stored_trace(db_path, trace_id: str, progress=None) -> tuple:
    """(HotFunctions of the stored trace, its summary, the document's other entries).
    `progress`: told the trace's record count (`total`) and, every few thousand records,
    how many were read (`records(n)`); `done()` at the end."""
    from sarv import db
    from sarv.views.stream import DocumentStream

    hot = HotFunctions()
    with db.open_trace(db_path, trace_id) as stored:
        summary = stored.summary
        if progress is not None:
            progress.total = getattr(summary, "record_count", None)
        reader = DocumentStream(stored)
        for read, (buffer_id, record) in enumerate(reader.records(), 1):
            hot.add(buffer_id, record)
            if progress is not None and not read & 4095:
                progress.records(read)
    if progress is not None:
        progress.done()
    hot.finish()
    return hot, summary, reader.top


def render_hot(
    db_path, trace_id: str, stream=None, *, sort: str = "own", limit: int = 25, fancy=None, progress=None
) -> None:
    """The table of `show --hot`: the trace's header, then its functions, the most
    time first (`sort`: "own", "total" or "calls"); `limit` rows (0: all)."""
    import sys

    from sarv.views.text import _Glyphs, fancy_output, format_duration, header_lines, short_path

    hot, summary, top = hot_of_stored_trace(db_path, trace_id, progress)
    stream = stream or sys.stdout
    glyphs = _Glyphs(fancy_output(stream) if fancy is None else fancy)
    write = lambda line="": print(line, file=stream)  # noqa: E731
    document = dict(top)
    document.setdefault("trace_id", summary.trace_id)
    for line in header_lines(document, glyphs, began=hot.first, records=hot.records, marks=hot.marks):
        write(line)
    rows = hot.rows(sort)
    calls = sum(f.calls for f in rows)
    span = format_duration(hot.last - hot.first, glyphs) if hot.first is not None else "?"
    threads = len(hot.threads)
    write(
        "  {:,} call{} of {:,} function{} recorded over {}{}".format(
            calls,
            "" if calls == 1 else "s",
            sum(1 for f in rows if f.calls),
            "" if sum(1 for f in rows if f.calls) == 1 else "s",
            span,
            " in %d threads" % threads if threads > 1 else "",
        )
    )
    if hot.left_out:
        write("  %s; their time is in their callers' own time" % hot.left_out.text())
    write()
    if not rows:
        write("(no calls recorded)")
        return
    shown = rows[:limit] if limit > 0 else rows
    with_left_out = any(f.left_out for f in rows)
    table = [("OWN", "TOTAL", "CALLS") + (("LEFT OUT",) if with_left_out else ())]
    for f in shown:
        row = (
            format_duration(f.own, glyphs),
            (glyphs.ge + " " if f.open_calls else "") + format_duration(f.total, glyphs),
            "{:,}".format(f.calls),
        )
        if with_left_out:
            if f.left_out:
                took = format_duration(f.left_out_time, glyphs) if f.left_out_time is not None else "?"
                row += ("{:,} ({})".format(f.left_out, took),)
            else:
                row += ("",)
        table.append(row)
    names = ["FUNCTION"] + [
        "%s  %s%s" % (f.name, short_path(f.path), "  (%s raised)" % "{:,}".format(f.raised) if f.raised else "")
        for f in shown
    ]
    widths = [max(len(row[i]) for row in table) for i in range(len(table[0]))]
    for row, name in zip(table, names):
        write("  ".join(cell.rjust(width) for cell, width in zip(row, widths)) + "  " + name)
    if len(shown) < len(rows):
        write()
        write(
            "%s %d more function%s (--limit 0 shows all)"
            % (glyphs.more, len(rows) - len(shown), "" if len(rows) - len(shown) == 1 else "s")
        )
    if any(f.open_calls for f in shown):
        write("(%s: calls still running when recording stopped, counted up to their thread's last record)" % glyphs.ge)
