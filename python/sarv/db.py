"""Storage of trace documents, as the native core and earlier code reach it.

The store itself is the package sarv.store; this module keeps the names it
had: `save_trace_in_sqlite`, which the profiler's core calls for every save,
and the functions and classes of sarv.store.
"""

from __future__ import annotations

from sarv.store import *  # noqa: F403
from sarv.store import __all__ as _store_names
from sarv.store import batching as _batching
from sarv.store import routes as _routes
from sarv.store.columns import derive as _derive  # noqa: F401
from sarv.store.sqlite import _writer, _writers  # noqa: F401

__all__ = [*_store_names, "save_trace_in_sqlite"]


def save_trace_in_sqlite(db_path, trace_id, timeout=60, msgpack=b""):
    """Store one trace document; returns the id of the new row (what its
    destination's save returns, for a running profiler's trace: see below).

    `msgpack` is the document: bytes, or an iterable of bytes pieces (the
    profiler's core hands documents over in pieces, see
    `streaming_document`). `timeout` is the SQLite busy timeout in seconds:
    how long to wait for another process that is writing the same file.
    A failure raises `SarvDatabaseError` (or TypeError/ValueError for wrong
    arguments) saying why.

    The save of a running profiler's trace goes to the destination that
    profiler was given (sarv.destinations: batched with the next ones for
    a test suite, ...; see sarv.store.routes); any other is stored at once.
    """
    destination = _routes.destination_of(db_path, trace_id)
    if destination is not None:
        return destination.save(trace_id, msgpack, timeout)
    return _batching.save_now(db_path, trace_id, timeout, msgpack)


# The core hands this function the document as an iterator of pieces, instead
# of one bytes object (which would hold a second copy of a large trace).
save_trace_in_sqlite.streaming_document = True


def __getattr__(name):
    # The state of the saves handed over (the writer process, the backlog), as it is now.
    if name in ("_shipper", "_shipping", "_backlog"):
        return getattr(_batching, name)
    raise AttributeError("module 'sarv.db' has no attribute %r" % (name,))
