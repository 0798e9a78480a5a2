"""Reading stored traces. Every reader first waits for the saves this
process handed over into the same database (unless a locked file keeps the
writer waiting longer than a reader waits for a lock), so that what it saved
is there."""

from __future__ import annotations

import os

from sarv.store.backends import open_store
from sarv.store.batching import wait_for_saves
from sarv.store.errors import SarvDatabaseError, TraceNotFound
from sarv.store.rows import TraceStream
from sarv.store.schema import Selection


def _store(db_path, timeout: float):
    db_path = os.fspath(db_path)
    wait_for_saves(db_path, timeout)
    return open_store(db_path)


def list_traces(
    db_path,
    limit: int | None = None,
    timeout: float = 60,
    *,
    source: str | None = None,
    test: str | None = None,
    since: float | None = None,
    after_row: int | None = None,
) -> list:
    """Stored traces, newest save first, as `TraceSummary` items. A database
    that does not exist yet holds no traces. `source` keeps the traces of
    that source ("cli", "pytest", "api", ...), `test` those whose test name
    contains the text, `since` those saved at or after that time (seconds
    since the epoch), `after_row` those stored after that row id."""
    selection = Selection(source=source, test=test, since=since, after_row=after_row)
    return _store(db_path, timeout).list_traces(selection, limit, timeout)


def count_traces(db_path, timeout: float = 60, *, source: str | None = None, after_row: int | None = None) -> int:
    """How many traces list_traces would give with the same filters."""
    return _store(db_path, timeout).count_traces(Selection(source=source, after_row=after_row), timeout)


def find_trace(db_path, trace_id: str, timeout: float = 60):
    """The `TraceSummary` of the newest save of `trace_id`, or None."""
    return _store(db_path, timeout).find_trace(trace_id, timeout)


def open_trace(db_path, trace_id: str, timeout: float = 60) -> TraceStream:
    """The newest save of `trace_id` as a `TraceStream`."""
    return _store(db_path, timeout).open_trace(trace_id, timeout)


def load_trace(db_path, trace_id: str, timeout: float = 60) -> bytes:
    """The document of the newest save of `trace_id`, as it was given."""
    with open_trace(db_path, trace_id, timeout) as stream:
        return b"".join(stream)


def load_trace_document(db_path, trace_id: str, timeout: float = 60) -> dict:
    """`load_trace` decoded: a dict with the document's keys. For large
    traces, prefer reading `open_trace` with msgpack.Unpacker."""
    import msgpack

    document = load_trace(db_path, trace_id, timeout)
    try:
        return msgpack.unpackb(document, raw=False, strict_map_key=False)
    except Exception as exc:
        raise SarvDatabaseError(
            "trace %s in %s cannot be decoded: %s: %s" % (trace_id, os.fspath(db_path), type(exc).__name__, exc)
        ) from exc


def resolve_trace_id(db_path, text: str, timeout: float = 60) -> str:
    """The stored trace id that `text` names: "last" (the newest save), a
    whole trace id, or the start or end of exactly one stored id (ids that
    share a millisecond share their first 14 characters, so the end is the
    handy part to type). Raises `TraceNotFound`, also when the text is
    ambiguous."""
    if type(text) is not str or not text:
        raise TraceNotFound("no trace id given")
    return _store(db_path, timeout).resolve_trace_id(text, timeout)
