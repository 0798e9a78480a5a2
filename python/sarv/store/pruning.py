"""Removing stored traces: by id, by age, or all but the newest."""

from __future__ import annotations

import os
import time

from sarv.store.backends import open_store
from sarv.store.batching import wait_for_saves
from sarv.store.schema import Selection


def _remove(db_path, selection: Selection, timeout: float, vacuum) -> int:
    db_path = os.fspath(db_path)
    wait_for_saves(db_path, timeout)
    return open_store(db_path).remove(selection, timeout, vacuum)


def delete_traces(db_path, trace_ids, timeout: float = 60, vacuum=True) -> int:
    """Removes every save of the given trace ids; returns the rows removed. `vacuum`: True
    gives a SQLite file's space back to the file system once a quarter of it is free (a
    VACUUM rewrites the whole file), "always" does so now, False never."""
    ids = tuple(trace_ids)
    if not ids:
        return 0
    return _remove(db_path, Selection(trace_ids=ids), timeout, vacuum)


def prune_traces(
    db_path,
    *,
    older_than: float | None = None,
    keep_last: int | None = None,
    source: str | None = None,
    timeout: float = 60,
    vacuum=True,
) -> int:
    """Removes traces saved more than `older_than` seconds ago and/or all but
    the `keep_last` newest (of `source` only, when given); returns the rows
    removed. `vacuum` as for delete_traces."""
    if older_than is None and keep_last is None:
        raise ValueError("prune needs older_than or keep_last")
    before = None if older_than is None else time.time() - float(older_than)
    return _remove(db_path, Selection(source=source, created_before=before, keep_last=keep_last), timeout, vacuum)
