"""Storage of trace documents: a SQLite file, or a PostgreSQL database shared
by many processes and hosts.

One store holds any number of traces, one row per save (sarv.store.schema);
a document is stored compressed, in chunks (sarv.store.rows), with columns
for listings read from it (sarv.store.columns). `open_store(location)` picks
the backend once, from the location (sarv.store.backends): a SQLite file
(sarv.store.sqlite) or a PostgreSQL URL (sarv.store.postgres), each written
in its own dialect behind one interface (sarv.store.base.Store).

Saves are made at once (`save_now`), soon on a writer thread (`save_soon`, a
web request's) or later in batches (`save_later`, a test suite's), possibly
in a writer process (sarv.store.batching, sarv.store.shipping,
sarv.store.writer_process). A profiler is handed the way its traces are
saved as one object, a destination (sarv.destinations); the core's saves
reach it through sarv.store.routes. Readers (sarv.store.reading) and removals
(sarv.store.pruning) wait for the saves this process handed over.

The default location is `.sarv/traces.sqlite3` under the current directory;
the environment variable SARV_DB, when set and not empty, names another one.

The modules import only downward, in this order: errors, locations, schema,
columns, rows, listeners, base, sqlite, postgres, backends, shipping,
batching, routes, writer_process, reading, pruning; this package's
face imports them.
The native core saves through `sarv.db.save_trace_in_sqlite`.
"""

from __future__ import annotations

from sarv.store.backends import check_store, close_connections, open_store
from sarv.store.base import Store
from sarv.store.batching import save_later, save_now, save_soon, wait_for_saves
from sarv.store.columns import DescribedDocument
from sarv.store.errors import NotASarvDatabase, SarvDatabaseError, SchemaVersionError, TraceNotFound
from sarv.store.listeners import (
    add_cut_trace_listener,
    add_save_failure_listener,
    remove_cut_trace_listener,
    remove_save_failure_listener,
    saved_in_this_process,
)
from sarv.store.locations import DB_ENV_VAR, default_db_path, is_url, location, shown_location
from sarv.store.pruning import delete_traces, prune_traces
from sarv.store.reading import (
    count_traces,
    find_trace,
    list_traces,
    load_trace,
    load_trace_document,
    open_trace,
    resolve_trace_id,
)
from sarv.store.rows import TraceStream
from sarv.store.schema import SCHEMA_VERSION, Selection, TraceSummary, note_parent

__all__ = [
    "DB_ENV_VAR",
    "DescribedDocument",
    "NotASarvDatabase",
    "SCHEMA_VERSION",
    "SarvDatabaseError",
    "SchemaVersionError",
    "Selection",
    "Store",
    "TraceNotFound",
    "TraceStream",
    "TraceSummary",
    "add_cut_trace_listener",
    "add_save_failure_listener",
    "check_store",
    "close_connections",
    "count_traces",
    "default_db_path",
    "delete_traces",
    "find_trace",
    "is_url",
    "list_traces",
    "load_trace",
    "load_trace_document",
    "location",
    "note_parent",
    "open_store",
    "open_trace",
    "prune_traces",
    "remove_cut_trace_listener",
    "remove_save_failure_listener",
    "resolve_trace_id",
    "save_later",
    "save_now",
    "save_soon",
    "saved_in_this_process",
    "shown_location",
    "wait_for_saves",
]
