"""The rows of a trace store, whatever holds them.

Table `traces` has one row per save: an `id`, the `trace_id` (not unique:
saving the same trace id again adds a row and keeps the earlier ones), the
save time `created` (seconds since the epoch), the document's `size` in
bytes, the listing columns read from the document (see sarv.store.columns),
how the document is stored (`encoding`, `stored_size`, `chunks`) and the
document itself, in `document` when its stored form is small, else in rows
of `trace_chunks`. Table `meta` holds "application" = "sarv" and
"schema_version". Each backend writes these tables in its own dialect; the
conditions that select rows are built here once, from the dialect's words.
"""

from __future__ import annotations

import dataclasses

SCHEMA_VERSION = 2
APPLICATION = "sarv"


@dataclasses.dataclass(frozen=True)
class TraceSummary:
    """One stored trace, as listed by `list_traces` (no document)."""

    row_id: int
    trace_id: str
    created: float
    size: int
    source: str | None
    version: str | None
    started: float | None
    record_count: int | None
    test_name: str | None
    decode_error: str | None
    stored_size: int | None = None  # bytes in the database (compressed)
    command: str | None = None
    outcome: str | None = None
    method: str | None = None  # the request's, for traces of web requests (source "request")
    path: str | None = None
    status: int | None = None
    duration: float | None = None  # seconds
    parent_trace_id: str | None = None  # the trace of the process this one was forked from


# The columns of a TraceSummary, in its order.
SUMMARY_COLUMNS = (
    "id",
    "trace_id",
    "created",
    "size",
    "source",
    "version",
    "started",
    "record_count",
    "test_name",
    "decode_error",
    "stored_size",
    "command",
    "outcome",
    "method",
    "path",
    "status",
    "duration",
    "parent_trace_id",
)

# The columns a save fills, in the order of the values sarv.store.rows.row_values gives.
ROW_COLUMNS = (
    "trace_id",
    "created",
    "size",
    "source",
    "version",
    "started",
    "record_count",
    "test_name",
    "decode_error",
    "document",
    "encoding",
    "stored_size",
    "chunks",
    "command",
    "outcome",
    "method",
    "path",
    "status",
    "duration",
    "parent_trace_id",
)

# Added to older files without a new schema version (older sarv versions name the columns
# they read and write, so they keep working on a file that has them).
REQUEST_COLUMNS = (
    ("method", "TEXT"),
    ("path", "TEXT"),
    ("status", "INTEGER"),
    ("duration", "REAL"),
    ("parent_trace_id", "TEXT"),
)


def row_insert(table: str, mark: str, columns=ROW_COLUMNS) -> str:
    """An INSERT of `columns`; `mark` is the driver's parameter placeholder."""
    return "INSERT INTO %s (%s) VALUES (%s)" % (table, ", ".join(columns), ", ".join([mark] * len(columns)))


def row_update(table: str, mark: str) -> str:
    """An UPDATE of every row column of the row `id` (made early to hold its chunks)."""
    assignments = ", ".join("%s = %s" % (column, mark) for column in ROW_COLUMNS)
    return "UPDATE %s SET %s WHERE id = %s" % (table, assignments, mark)


class Dialect:
    """What a backend's SQL says differently: its parameter placeholder, the
    name of its traces table and its test of text within a column."""

    __slots__ = ("mark", "traces", "contains")

    def __init__(self, mark: str, traces: str, contains) -> None:
        self.mark = mark
        self.traces = traces
        self.contains = contains  # contains(column): a condition with one parameter, the text


@dataclasses.dataclass(frozen=True)
class Selection:
    """Which stored traces: every condition given holds.

    `source`, `test` (contained in the test name), `since` (saved at or after,
    seconds since the epoch), `after_row` (stored after that row id),
    `trace_ids` (any save of these ids); `created_before` and `keep_last`
    (what pruning removes: saved before that time, or other than the
    `keep_last` newest of `source`), either of them when both are given."""

    source: str | None = None
    test: str | None = None
    since: float | None = None
    after_row: int | None = None
    trace_ids: tuple | None = None
    created_before: float | None = None
    keep_last: int | None = None


def where(selection: Selection, dialect: Dialect):
    """(" WHERE ..." or "", parameters) selecting `selection`."""
    mark = dialect.mark
    clauses, params = [], []
    if selection.after_row is not None:
        clauses.append("id > " + mark)
        params.append(int(selection.after_row))
    if selection.source is not None:
        clauses.append("source = " + mark)
        params.append(selection.source)
    if selection.test is not None:
        clauses.append(dialect.contains("test_name"))
        params.append(selection.test)
    if selection.since is not None:
        clauses.append("created >= " + mark)
        params.append(float(selection.since))
    if selection.trace_ids is not None:
        clauses.append("trace_id IN (%s)" % ", ".join([mark] * len(selection.trace_ids)))
        params.extend(selection.trace_ids)
    pruned = []
    if selection.created_before is not None:
        pruned.append("created < " + mark)
        params.append(float(selection.created_before))
    if selection.keep_last is not None:
        of_source = "" if selection.source is None else " WHERE source = " + mark
        pruned.append("id NOT IN (SELECT id FROM %s%s ORDER BY id DESC LIMIT %s)" % (dialect.traces, of_source, mark))
        if selection.source is not None:
            params.append(selection.source)
        params.append(max(int(selection.keep_last), 0))
    if pruned:
        clauses.append("(" + " OR ".join(pruned) + ")")
    return (" WHERE " + " AND ".join(clauses)) if clauses else "", params


_parents: dict = {}  # trace id -> the trace it was forked from (see note_parent)


def note_parent(trace_id: str, parent_trace_id: str) -> None:
    """Records, for this process's coming save of `trace_id`, the trace it forked from."""
    _parents[trace_id] = parent_trace_id


def parent_of(trace_id: str):
    """The trace `trace_id` was forked from, as noted in this process; else None."""
    return _parents.get(trace_id)
