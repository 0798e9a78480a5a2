"""Text views for the command line: the trace listing and the call tree."""

from __future__ import annotations

import dataclasses
import datetime
import re
import sys

from sarv.views.records import NO_CALL, NO_CALL_RING, LeftOut, TraceReader, ended, exception_text, read_document
from sarv.views.tree import Node, TreeView, all_records, function_name, order_threads, walk

__all__ = [
    "DEFAULT_MAX_DEPTH",
    "DEFAULT_MAX_LINES",
    "format_value",
    "render_stored_trace",
    "render_trace",
    "render_traces",
]

DEFAULT_MAX_DEPTH = 30
DEFAULT_MAX_LINES = 400
VALUE_WIDTH = 200
LEFT_OUT_ROWS = 10  # functions named in the summary of calls left out


class _Glyphs:
    def __init__(self, fancy: bool) -> None:
        if fancy:
            self.tee, self.last, self.pipe, self.blank = "├─ ", "└─ ", "│  ", "   "
            self.more, self.ge, self.marker, self.micro, self.dot = "…", "≥", "◆", "µs", "·"
        else:
            self.tee, self.last, self.pipe, self.blank = "|- ", "`- ", "|  ", "   "
            self.more, self.ge, self.marker, self.micro, self.dot = "...", ">=", "*", "us", "-"


def fancy_output(stream) -> bool:
    """Box-drawing characters only where the stream can encode them."""
    encoding = getattr(stream, "encoding", None) or ""
    try:
        "├─│└…≥◆µ·".encode(encoding)
    except (LookupError, UnicodeEncodeError):
        return False
    return True


def _local_time(stamp) -> str:
    if type(stamp) not in (int, float):
        return "?"
    try:
        return datetime.datetime.fromtimestamp(stamp).strftime("%Y-%m-%d %H:%M:%S")
    except (OverflowError, OSError, ValueError):
        return "?"


def _size(n) -> str:
    if type(n) is not int:
        return "?"
    if n < 1024:
        return "%d B" % n
    if n < 1024 * 1024:
        return "%.1f KiB" % (n / 1024)
    return "%.1f MiB" % (n / (1024 * 1024))


def _plural(n: int, word: str) -> str:
    return "{:,} {}{}".format(n, word, "" if n == 1 else "s")


def format_duration(seconds, glyphs: _Glyphs) -> str:
    if seconds is None:
        return "?"
    if seconds < 1e-3:
        return "%.1f %s" % (seconds * 1e6, glyphs.micro)
    if seconds < 1:
        return "%.2f ms" % (seconds * 1e3)
    return "%.3f s" % seconds


# ------------------------------------------------------------------ values


def _short_class(name: str) -> str:
    return name.rsplit(".", 1)[-1] or name


def _value(value, out: list, budget: list, ellipsis: str) -> None:
    """Appends a compact text of a decoded value to out, using at most
    about budget[0] characters."""
    if budget[0] <= 0:
        out.append(ellipsis)
        return
    if isinstance(value, dict):
        cls = value.get("__class__")
        if type(cls) is str:
            out.append(_short_class(cls) + "(")
            budget[0] -= len(out[-1])
            items = [(k, v) for k, v in value.items() if k != "__class__"]
            _pairs(items, out, budget, ellipsis, "=", bare_keys=True)
            out.append(")")
        else:
            out.append("{")
            _pairs(list(value.items()), out, budget, ellipsis, ": ", bare_keys=False)
            out.append("}")
        return
    if isinstance(value, list):
        out.append("[")
        budget[0] -= 1
        for i, item in enumerate(value):
            if i:
                out.append(", ")
            if budget[0] <= 0:
                out.append(ellipsis)
                break
            _value(item, out, budget, ellipsis)
        out.append("]")
        return
    text = repr(value)
    if len(text) > max(budget[0], 8):
        text = text[: max(budget[0], 8)] + ellipsis
    budget[0] -= len(text)
    out.append(text)


def _pairs(items, out, budget, ellipsis, sep, bare_keys) -> None:
    for i, (key, item) in enumerate(items):
        if i:
            out.append(", ")
        if budget[0] <= 0:
            out.append(ellipsis)
            return
        label = key if bare_keys and type(key) is str else repr(key)
        out.append(label + sep)
        budget[0] -= len(label) + len(sep)
        _value(item, out, budget, ellipsis)


def format_value(value, width: int = VALUE_WIDTH, ellipsis: str = "…") -> str:
    out: list = []
    _value(value, out, [width], ellipsis)
    return "".join(out)


def pairs_text(mapping: dict, width: int, ellipsis: str) -> str:
    """Headers and other pairs of texts on one line: "host: example.org, accept: */*"."""
    out = []
    for key, value in mapping.items():
        out.append("%s: %s" % (key, value if type(value) is str else format_value(value, width, ellipsis)))
    text = ", ".join(out)
    return text if len(text) <= width else text[:width] + ellipsis


# Keys of plugin records whose values are seconds, and bytes.
_SECONDS_KEYS = ("duration", "elapsed", "seconds")
_BYTES_KEYS = ("size", "bytes", "max_bytes")


def plugin_text(data: dict, glyphs) -> str:
    """A plugin record's own entries on one line, durations and sizes readable and
    headers as pairs: status=200, duration=1.20 ms, headers=(host: x, accept: */*)."""
    out = []
    for key, value in data.items():
        seconds = key in _SECONDS_KEYS or (type(key) is str and key.endswith("_duration"))
        if seconds and type(value) in (int, float) and value >= 0:
            text = format_duration(value, glyphs)
        elif (key in _BYTES_KEYS or str(key).endswith("_bytes")) and type(value) is int and value >= 0:
            text = _size(value)
        elif key == "headers" and isinstance(value, dict):
            text = "(%s)" % pairs_text(value, VALUE_WIDTH, glyphs.more)
        else:
            text = format_value(value, VALUE_WIDTH, glyphs.more)
        out.append("%s=%s" % (key, text))
    return ", ".join(out)


def _assignments(mapping: dict, width: int, ellipsis: str) -> str:
    out: list = []
    _pairs(list(mapping.items()), out, [width], ellipsis, "=", bare_keys=True)
    return "".join(out)


# ----------------------------------------------------------------- listing


def render_traces(summaries, stream=None, limit_note: int | None = None, db_path=None) -> None:
    """The `traces` table: newest first, one line per stored trace. SIZE is
    the document's, STORED what it takes in the database (compressed); the
    last column is the test's node id, a request's method, path and
    duration (its status under OUTCOME), for a trace of the Python API (with
    `db_path`) what it profiled, its first recorded call, and the command line,
    or else the command line; a forked process's trace names the trace it was
    forked from."""
    stream = stream or sys.stdout
    rows = [("TRACE ID", "SAVED", "SOURCE", "RECORDS", "SIZE", "STORED", "OUTCOME", "TEST OR COMMAND")]
    for s in summaries:
        records = str(s.record_count) if s.record_count is not None else "unreadable"
        rows.append(
            (
                s.trace_id,
                _local_time(s.created),
                s.source or "?",
                records,
                _size(s.size),
                _size(s.stored_size) if s.stored_size is not None else "?",
                s.outcome or (str(s.status) if getattr(s, "status", None) is not None else ""),
                (s.test_name or _request_text(s) or _profiled_text(s, db_path) or s.command or "")
                + (" (forked from %s)" % s.parent_trace_id if getattr(s, "parent_trace_id", None) else ""),
            )
        )
    right = (3, 4, 5)
    widths = [max(len(row[i]) for row in rows) for i in range(7)]
    for row in rows:
        cells = [row[i].rjust(widths[i]) if i in right else row[i].ljust(widths[i]) for i in range(7)]
        print("  ".join(cells + [row[7]]).rstrip(), file=stream)
    if limit_note:
        print("(the %d newest shown; --limit 0 lists all)" % limit_note, file=stream)


# Records of a trace looked at for its first call (markers and notes may come first).
_FIRST_CALL_WITHIN = 16


def _profiled_text(summary, db_path) -> str:
    """'checkout  (app.py)': what a trace of the Python API profiled, named by its first
    recorded call, read from the first records alone; "" for other traces."""
    if db_path is None or summary.source != "api" or not summary.record_count:
        return ""
    from sarv import db
    from sarv.views.stream import DocumentStream

    try:
        with db.open_trace(db_path, summary.trace_id) as stored:
            records = DocumentStream(stored).records(first_only=_FIRST_CALL_WITHIN)
            for seen, (_, record) in enumerate(records, 1):
                if type(record) is dict and record.get("type") == "frame" and record.get("event") == "call":
                    name = function_name(record)
                    return "%s  (%s)" % (name, summary.command) if summary.command else name
                if seen >= _FIRST_CALL_WITHIN:
                    break
    except Exception:  # (a trace that cannot be read is listed as it is)
        return ""
    return ""


def _request_text(summary) -> str:
    method, path = getattr(summary, "method", None), getattr(summary, "path", None)
    if method is None and path is None:
        return ""
    text = "%s %s" % (method or "?", path or "?")
    duration = getattr(summary, "duration", None)
    if duration is not None:
        text += " (%s)" % _duration(duration)
    return text


def _duration(seconds: float) -> str:
    if seconds < 1:
        return "%.1f ms" % (seconds * 1000)
    return "%.2f s" % seconds


# -------------------------------------------------------------------- tree


def render_trace(
    document: dict,
    stream=None,
    *,
    show_locals: bool = False,
    max_depth: int = DEFAULT_MAX_DEPTH,
    max_lines: int = DEFAULT_MAX_LINES,
    fancy: bool | None = None,
    hidden_names=frozenset(),
    cells: bool = False,
) -> None:
    """The call tree of each thread with durations, names and places;
    before it, what the trace left out (calls past the call budget, or
    once a cap stopped recording): how many calls of how many functions,
    and the functions with the most, their calls recorded and left out.

    max_depth and max_lines of 0 mean no limit; what they cut is said in
    the output. `hidden_names`: a module's names not shown among its locals;
    `cells`: consecutive top-level modules of one file are one (a notebook's
    cell, which IPython runs a statement at a time)."""
    view = TreeView(max_depth=max_depth, slim=not show_locals)
    reader = read_document(document, view)
    threads = order_threads([b.finish() for b in view.builders], document.get("main_thread_id"))
    if cells:
        _join_cells(threads)
    recorded = None
    if reader.left_out:
        recorded = dict.fromkeys(_function_keys(reader.left_out), 0)
        for _, record in all_records(document):
            if type(record) is dict and record.get("event") == "call" and record.get("type") == "frame":
                key = (record.get("path"), record.get("co_name"), record.get("qualname"))
                if key in recorded:
                    recorded[key] += 1
    _render(
        document,
        threads,
        stream,
        _TreeOptions(show_locals, max_depth, max_lines, hidden_names),
        fancy=fancy,
        left_out=reader.left_out,
        recorded=recorded,
        ring=reader.ring,
    )


def _join_cells(threads: list) -> None:
    for thread in threads:
        roots = len(thread.roots)
        thread.roots = join_cells(thread.roots)
        if thread.call_count is not None:
            thread.call_count -= roots - len(thread.roots)


class NotebookNames:
    """The names IPython keeps in a notebook's namespace (In, Out, exit, _, _i3, _12, ...),
    which are not a cell's: `hidden`, the shell's own list, and those of every shell."""

    SHELL = frozenset(("In", "Out", "get_ipython", "exit", "quit", "open", "_ih", "_oh", "_dh"))

    def __init__(self, hidden=()) -> None:
        self.hidden = self.SHELL | frozenset(hidden)

    def __contains__(self, name) -> bool:
        if name in self.hidden:
            return True
        return type(name) is str and re.fullmatch(r"_+|_i+|_i?\d+", name) is not None


def join_cells(roots: list) -> list:
    """Roots with each run of top-level `<module>` activations of one file joined into
    one: IPython runs a cell's statements one by one, each as a module of its own."""
    joined: list = []
    for node in roots:
        previous = joined[-1] if joined else None
        if (
            previous is not None
            and node.kind == previous.kind == "frame"
            and node.call is not None
            and previous.call is not None
            and node.call.get("co_name") == previous.call.get("co_name") == "<module>"
            and node.path.rsplit(":", 1)[0] == previous.path.rsplit(":", 1)[0]
            and not node.parts
            and not previous.parts
        ):
            merged = Node(
                "frame",
                call=previous.call,
                ret=node.ret,
                start=previous.start,
                end=node.end,
                children=previous.children + node.children,
                complete=previous.complete and node.complete,
                hidden_below=previous.hidden_below + node.hidden_below,
                hidden_calls_below=previous.hidden_calls_below + node.hidden_calls_below,
            )
            joined[-1] = merged  # from its first statement's start to its last one's end
            continue
        joined.append(node)
    return joined


def _function_keys(left_out: LeftOut) -> list:
    """The functions the summary names, as (path, co_name, qualname)."""
    return [(f["path"], f["co_name"], f["qualname"]) for f in left_out.functions[:LEFT_OUT_ROWS]]


def render_stored_trace(
    db_path,
    trace_id: str,
    stream=None,
    *,
    show_locals: bool = False,
    max_depth: int = DEFAULT_MAX_DEPTH,
    max_lines: int = DEFAULT_MAX_LINES,
    fancy: bool | None = None,
) -> None:
    """`render_trace` of a stored trace, read as a stream: only what the
    output shows is decoded and kept. Once the first thread has more
    activations than fit in max_lines, the rest of the trace is only
    scanned, undecoded, for the returns of the calls on screen (their
    durations) and for the number of calls not shown."""
    from sarv import db
    from sarv.views.stream import DocumentStream

    view = TreeView(max_depth=max_depth, keep=max_lines + 1 if max_lines > 0 else None, slim=not show_locals)
    reader = TraceReader(view)
    with db.open_trace(db_path, trace_id) as stored:
        summary = stored.summary
        document = DocumentStream(stored)
        first = _read_first_thread(reader, document)
        top = document.top
        stopped = first is not None and first.full
        if stopped:
            threads = _past_the_limit(view, first, document)
            total_calls = document.calls
    if stopped:
        top = dict(top)
        top.setdefault("trace_id", summary.trace_id)
        top.setdefault("meta", {"source": summary.source or "?", "version": summary.version or "?"})
        top.setdefault("timestamp", summary.started)
    else:
        if document.skipped_threads:  # the other threads' lists come first: read them again
            with db.open_trace(db_path, trace_id) as stored:
                for buffer_id, record in DocumentStream(stored).records(of_interest=False):
                    reader.add(buffer_id, record)
        threads = order_threads([b.finish() for b in view.builders], top.get("main_thread_id"))
        if _source(top, summary) == NOTEBOOK:
            _join_cells(threads)
        # A thread read in full but with more nodes than kept: the calls not kept below
        # nodes printed are counted in those nodes, which the cut no longer sees.
        full = any(b.full for b in view.builders)
        total_calls = sum(b.t.calls for b in view.builders) if full else None
    _render(
        top,
        threads,
        stream,
        _TreeOptions(
            show_locals, max_depth, max_lines, NotebookNames() if _source(top, summary) == NOTEBOOK else frozenset()
        ),
        fancy=fancy,
        total_calls=total_calls,
        summary=summary if stopped else None,
        left_out=reader.left_out,
        recorded=_recorded(db_path, trace_id, reader.left_out),
        ring=reader.ring,
    )


def _read_first_thread(reader: TraceReader, document):
    """Reads the records of "frames_of_interest" into `reader` until the tree of
    the first thread met is full; returns that thread's builder (None when there
    is no thread). The main thread's id is read last: records of no thread are
    the first thread's."""
    waiting: list = []  # records of no thread (a note of dropped records), for the first thread
    first = None
    for buffer_id, record in document.records(threads=False):
        if first is None and isinstance(record, dict) and record.get("thread_native_id") is None:
            waiting.append(record)
            continue
        if waiting and isinstance(record, dict):
            reader.main_id = record["thread_native_id"]
            for early in waiting:
                reader.add(None, early)
            waiting = []
        t = reader.add(buffer_id, record)
        if first is None and t is not None:
            first = t.state
            reader.main_id = t.key
        if first is not None and first.full:
            break
    if waiting:  # no record of a thread at all
        reader.main_id = document.top.get("main_thread_id")
        for early in waiting:
            reader.add(None, early)
    return first


def _past_the_limit(view: TreeView, first, document) -> list:
    """The trees once the first is full: the rest of the bytes are scanned for the
    returns of the calls open on screen, and for what follows them."""
    open_ids = [node.frame_id for node in first.stack if isinstance(node, Node) and node.frame_id]
    ends, more, after = document.scan_rest(open_ids)
    for node in first.stack:
        if isinstance(node, Node) and more.get(node.frame_id):
            node.cut = True
    first.cut = first.cut or after
    return [first.finish(complete=False, ends=ends)] + [
        b.finish(complete=False) for b in view.builders if b is not first
    ]


def _recorded(db_path, trace_id: str, left_out: LeftOut):
    """The calls recorded of each function the summary of calls left out names,
    counted in the bytes of the whole document (most of its records were not
    decoded, or not kept); None when no calls were left out."""
    if not left_out:
        return None
    from sarv import db
    from sarv.views.stream import call_mark, count_marks

    keys = _function_keys(left_out)
    with db.open_trace(db_path, trace_id) as stored:
        return dict(zip(keys, count_marks(stored, [call_mark(*key) for key in keys])))


NOTEBOOK = "notebook"  # the source of a notebook cell's traces


def _source(top: dict, summary):
    meta = top.get("meta")
    if isinstance(meta, dict) and meta.get("source") is not None:
        return meta["source"]
    return summary.source if summary is not None else None


@dataclasses.dataclass
class _TreeOptions:
    show_locals: bool | str  # "all": with the names usually hidden
    max_depth: int
    max_lines: int
    hidden_names: object = frozenset()  # a module's names not shown among its locals


def _render(
    document: dict,
    threads: list,
    stream,
    options: _TreeOptions,
    *,
    fancy: bool | None,
    total_calls: int | None = None,
    summary=None,
    left_out: LeftOut | None = None,
    recorded: dict | None = None,
    ring: bool = False,
) -> None:
    stream = stream or sys.stdout
    glyphs = _Glyphs(fancy_output(stream) if fancy is None else fancy)
    write = lambda line="": print(line, file=stream)  # noqa: E731
    total = sum(t.records for t in threads) + (left_out.records if left_out is not None else 0)
    if summary is not None and summary.record_count is not None:
        total = summary.record_count

    # The document's own timestamp is when the profiler was made, which in
    # one-trace-per-test mode is the start of the whole session.
    firsts = [t.first for t in threads if t.first is not None]
    marks = [node.record for thread in threads for node, _ in walk(thread.roots) if _is_mark(node)]
    for line in header_lines(
        document, glyphs, began=min(firsts) if firsts else None, records=total, marks=marks, summary=summary
    ):
        write(line)
    if left_out:
        for line in _left_out_lines(left_out, recorded or {}, glyphs):
            write(line)
    if not threads:
        write()
        write("(no records)")
        return
    text = _TreeText(options, glyphs, write, NO_CALL_RING if ring else NO_CALL)
    for thread in threads:
        text.thread(thread)
    text.end(total_calls)


class _TreeText:
    """Writes the call trees, depth first with the guides of each open level,
    until the line limit; then says what was not shown."""

    WIDTH = 10  # of the duration column

    def __init__(self, options: _TreeOptions, glyphs: _Glyphs, write, no_call: str) -> None:
        self.options = options
        self.glyphs = glyphs
        self.write = write
        self.no_call = no_call  # what a call whose call record is missing is said to be
        self.budget = options.max_lines if options.max_lines > 0 else None
        self.pad = " " * (self.WIDTH + 2)
        self.hidden_calls = 0
        self.shown_calls = 0
        self.elided = 0  # calls below the depth limit, said in "more below" lines
        self.cut = False

    def _spend(self) -> None:
        if self.budget is not None:
            self.budget -= 1

    def thread(self, thread) -> None:
        if self.cut:
            self.hidden_calls += thread.calls
            return
        self.write()
        if thread.complete:
            self.write("thread %s (native id %s): %s" % (thread.name, thread.native_id, _plural(thread.calls, "call")))
        else:
            self.write("thread %s (native id %s)" % (thread.name, thread.native_id))
        last_root = len(thread.roots) - 1 if not thread.cut else -1
        stack = [(node, 0, "", i == last_root) for i, node in reversed(list(enumerate(thread.roots)))]
        while stack:
            if self.budget is not None and self.budget <= 0:
                self.hidden_calls += sum((n.kind == "frame") + n.calls_below() for n, _, _, _ in stack)
                self.cut = True
                return
            stack.extend(self._node(*stack.pop()))

    def _node(self, node, depth: int, guide: str, is_last: bool) -> list:
        """Writes a node's lines; returns its children to write, last first."""
        glyphs = self.glyphs
        branch = (glyphs.last if is_last else glyphs.tee) if depth else ""
        child_guide = guide + ((glyphs.blank if is_last else glyphs.pipe) if depth else "")
        if node.kind == "plugin":
            data = node.plugin_data
            extra = "  " + plugin_text(data, glyphs) if data else ""
            self.write(self.pad + guide + branch + "%s %s%s" % (glyphs.marker, node.name, extra))
        else:
            self.shown_calls += 1
            self.write(self._call_line(node, guide + branch))
        self._spend()
        options = self.options
        if options.show_locals and node.kind == "frame":
            detail_guide = self.pad + child_guide + (glyphs.pipe if node.children else glyphs.blank) + " "
            for line in _locals_lines(
                node, glyphs, all_names=options.show_locals == "all", hidden=options.hidden_names
            ):
                self.write(detail_guide + line)
                self._spend()
        if not node.children and not node.hidden_below:
            return []
        if options.max_depth > 0 and depth + 1 >= options.max_depth:
            self.elided += node.calls_below()
            self.write(
                self.pad
                + child_guide
                + glyphs.last
                + "%s %d%s more below (depth limit %d: raise --max-depth)"
                % (glyphs.more, node.count() - 1, "+" if node.partial else "", options.max_depth)
            )
            self._spend()
            return []
        last_index = len(node.children) - 1
        return [
            (node.children[i], depth + 1, child_guide, i == last_index and not node.cut)
            for i in range(last_index, -1, -1)
        ]

    def _call_line(self, node, prefix: str) -> str:
        glyphs = self.glyphs
        duration = format_duration(node.duration, glyphs)
        if not node.complete:
            duration = glyphs.ge + " " + duration
        note = ""
        if node.call is None:
            note = "  (%s)" % self.no_call
        elif node.ret is None:
            note = "  (no return recorded)"
        if node.parts:
            note += "  (%s)" % _plural(len(node.parts), "part")
        kind, exception = ended(node.ret)
        if kind == "raised":
            note += "  raised " + exception_text(exception) if exception is not None else "  raised"
        elif kind in ("exited", "interrupted"):
            note += "  %s (%s)" % (kind, exception_text(exception))  # the program's end, no failure
        elif kind in ("yielded", "awaited"):
            note += "  " + kind  # suspended at the end of the trace
        return duration.rjust(self.WIDTH) + "  " + prefix + node.name + "  " + short_path(node.path) + note

    def end(self, total_calls) -> None:
        if total_calls is not None:
            # The rest of the trace was scanned, not decoded: what was not shown is
            # every call counted there but those on screen or said to be below them.
            self.cut = True
            self.hidden_calls = max(total_calls - self.shown_calls - self.elided, 0)
        if self.cut:
            self.write()
            self.write(
                "%s output cut at %d lines; %d more %s not shown (raise --max-lines, 0 for no limit)"
                % (
                    self.glyphs.more,
                    self.options.max_lines,
                    self.hidden_calls,
                    "call" if self.hidden_calls == 1 else "calls",
                )
            )


# Plugin records the header reads: a test's and a request's start and end.
MARK_TYPES = ("start_test", "end_test", "start_request", "end_request")


def _is_mark(node) -> bool:
    return node.kind == "plugin" and node.record.get("type") in MARK_TYPES


def header_lines(document: dict, glyphs, *, began=None, records=None, marks=(), summary=None) -> list:
    """The lines above a trace's tree (and its table of functions): its id, source,
    version, when it was recorded and how many records; the command line, or for a
    request the request itself; the commit; the test and its outcome. `marks`: the
    trace's plugin records of MARK_TYPES."""
    meta = document.get("meta") if isinstance(document.get("meta"), dict) else {}
    if summary is not None:
        meta = dict({"source": summary.source or "?", "version": summary.version or "?"}, **meta)
    if began is None:
        began = document.get("timestamp") if summary is None else summary.started
    if records is None and summary is not None:
        records = summary.record_count
    lines = ["trace %s" % document.get("trace_id")]
    lines.append(
        "  source %s %s sarv %s %s recorded %s %s %s"
        % (
            meta.get("source", "?"),
            glyphs.dot,
            meta.get("version", "?"),
            glyphs.dot,
            _local_time(began),
            glyphs.dot,
            _plural(records, "record") if records is not None else "? records",
        )
    )
    request = _request_line(marks, glyphs)
    args = document.get("command_line_args")
    if request:
        lines.append("  request: " + request)
        headers = next((m.get("headers") for m in marks if m.get("type") == "start_request"), None)
        if isinstance(headers, dict) and headers:
            lines.append("  headers: " + pairs_text(headers, VALUE_WIDTH, glyphs.more))
    if isinstance(args, list) and args:
        lines.append("  %s: %s" % ("process" if request else "command", " ".join(str(a) for a in args)))
    if document.get("current_commit_sha"):
        lines.append("  commit: %s" % document["current_commit_sha"])
    test = _test_line(marks, summary)
    if test is not None:
        lines.append("  test: " + test)
    return lines


def _test_line(marks, summary):
    """The test's node id and its outcome, from its start and end records or else the
    stored summary; None for a trace of no test."""
    node_id = outcome = None
    for mark in marks:
        if mark.get("type") in ("start_test", "end_test"):
            node_id = node_id or mark.get("node_id")
            if mark.get("type") == "end_test" and mark.get("outcome") is not None:
                outcome = mark["outcome"]
    if summary is not None:
        node_id = node_id or summary.test_name
        outcome = outcome or summary.outcome
    if node_id is None:
        return None
    return "%s%s" % (node_id, " (%s)" % outcome if outcome is not None else "")


def _request_line(marks, glyphs) -> str:
    """GET /items/3?full=1 -> 200 (1.20 ms), from a request's start and end records."""
    start = next((m for m in marks if m.get("type") == "start_request"), None)
    end = next((m for m in marks if m.get("type") == "end_request"), None)
    if start is None and end is None:
        return ""
    either = start or end
    text = "%s %s" % (either.get("method") or "?", either.get("path") or "?")
    query = (start or {}).get("query")
    if type(query) is str and query:
        text += "?" + query
    if end is not None:
        if end.get("status") is not None:
            text += " %s %s" % ("→" if glyphs.tee.startswith("├") else "->", end["status"])
        if type(end.get("duration")) in (int, float):
            text += " (%s)" % format_duration(end["duration"], glyphs)
    return text


# Where installed packages and the standard library live: shown from the package's name.
_INSTALLED = re.compile(r"^.*?[/\\](?:site|dist)-packages[/\\]|^.*?[/\\]lib[/\\](python3\.\d+)[/\\]")


def short_path(path) -> str:
    """A record's path with the folders of installed packages left out:
    .../site-packages/requests/api.py:59 -> requests/api.py:59, and the standard
    library's from its version: /usr/lib/python3.11/json/decoder.py:10 ->
    python3.11/json/decoder.py:10. Other paths as they are."""
    if type(path) is not str:
        return ""
    match = _INSTALLED.match(path)
    if match is None:
        return path
    return (match.group(1) + "/" if match.group(1) else "") + path[match.end() :]


def _left_out_lines(left_out: LeftOut, recorded: dict, glyphs: _Glyphs) -> list:
    """The summary of the calls left out: one line, then the functions with the most."""
    lines = ["  " + left_out.text() + ":"]
    functions = left_out.functions
    raised = any(f["raised"] for f in functions[:LEFT_OUT_ROWS])
    rows = [("RECORDED", "LEFT OUT", "TIME LEFT OUT", "LONGEST") + (("RAISED",) if raised else ())]
    for f in functions[:LEFT_OUT_ROWS]:
        count = recorded.get((f["path"], f["co_name"], f["qualname"]))
        row = (
            "?" if count is None else "{:,}".format(count),
            "{:,}".format(f["calls"]),
            format_duration(f["total"], glyphs),
            format_duration(f["longest"], glyphs),
        )
        rows.append(row + (("{:,}".format(f["raised"]) if f["raised"] else "",) if raised else ()))
    names = ["FUNCTION"] + [
        "%s  %s" % (function_name(f), short_path(f["path"]) or "?") for f in functions[:LEFT_OUT_ROWS]
    ]
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row, name in zip(rows, names):
        lines.append("    " + "  ".join(cell.rjust(width) for cell, width in zip(row, widths)) + "  " + name)
    if any(f["total"] is None for f in functions[:LEFT_OUT_ROWS]):
        # (past a "stop" cap on 3.12+ the interpreter stops reporting generators' resumptions)
        lines.append("    ? time not known: past the cap, a generator's resumptions are not followed")
    rest = functions[LEFT_OUT_ROWS:]
    if rest:
        calls = sum(f["calls"] for f in rest)
        lines.append(
            "    %s and %s more function%s, %s call%s left out"
            % (glyphs.more, len(rest), "" if len(rest) == 1 else "s", "{:,}".format(calls), "" if calls == 1 else "s")
        )
    return lines


def _shown_names(mapping, record, all_names: bool, hidden=frozenset()):
    # Module dunders (__name__, __builtins__, ...), names the interpreter makes (".0",
    # a comprehension's iterator) and a module's `hidden` names (a notebook's own: In,
    # Out, _i1, ...) are noise unless asked for.
    if all_names or not isinstance(mapping, dict):
        return mapping
    module = isinstance(record, dict) and record.get("co_name") == "<module>"
    return {
        k: v
        for k, v in mapping.items()
        if not (
            type(k) is str
            and (k.startswith(".") or (module and ((k.startswith("__") and k.endswith("__")) or k in hidden)))
        )
    }


def _end_line(ret, glyphs) -> str:
    kind, exception = ended(ret)
    if kind == "raised":
        return "raised: " + (exception_text(exception) if exception is not None else "(exception not read)")
    if kind in ("exited", "interrupted"):
        return "%s: %s" % (kind, exception_text(exception))
    return "%s: %s" % (kind, format_value(ret.get("arg"), VALUE_WIDTH, glyphs.more))


def _locals_lines(node, glyphs, all_names: bool = False, hidden=frozenset()) -> list:
    lines = []
    call_locals = _shown_names(node.call.get("locals") if node.call is not None else None, node.call, all_names, hidden)
    # A module's locals are its globals: what it finds there at its start are no arguments.
    module = node.call is not None and node.call.get("co_name") == "<module>"
    if isinstance(call_locals, dict) and call_locals and not module:
        lines.append("arguments: " + _assignments(call_locals, VALUE_WIDTH, glyphs.more))
    base = call_locals if isinstance(call_locals, dict) else {}
    ends = [r for r in node.parts if r is not None] if node.parts else ([node.ret] if node.ret is not None else [])
    for ret in ends:
        ret_locals = _shown_names(ret.get("locals"), ret, all_names, hidden)
        if isinstance(ret_locals, dict):
            changed = {k: v for k, v in ret_locals.items() if k not in base or base[k] != v}
            if changed:
                label = (
                    "locals at return"
                    if ended(ret)[0] in ("returned", "raised", "exited", "interrupted")
                    else "locals then"
                )
                lines.append("%s: %s" % (label, _assignments(changed, VALUE_WIDTH, glyphs.more)))
            base = ret_locals
        lines.append(_end_line(ret, glyphs))
    return lines
