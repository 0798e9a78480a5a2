"""Where a profiler's traces go, and how they are handed over: one object the
caller chooses and hands to the profiler.

    Profiler(config)                                    # SaveNow: stored before stop() returns
    Profiler(config, destination=SaveBatched(db_path))  # a test suite's: with the next saves
    SaveSoon(db_path, wait=False)                       # a web request's: on sarv's writer thread

Every end of a trace is saved through its destination's `save`: the end of a
run or a stop() (the profiler's core saves, and its call arrives at
`sarv.db.save_trace_in_sqlite`, which finds the destination by the database
and the trace id it is given), the end of a test (the core saves at the
test's end marker, the same way) and the end of a request (the middleware
hands the document over itself).

A destination also says whether the profiler copies its records to a spool
beside the database while it records (`spool`), so that a process killed
before its save leaves them for the next sarv command.
"""

from __future__ import annotations

from sarv import db as _db
from sarv.store import batching as _batching

__all__ = ["Destination", "SaveBatched", "SaveNow", "SaveSoon"]


# The store's functions are looked up at each save, in the module whose name the saves
# had before (a stand-in put there by a test, or a program, is the one called).


class Destination:
    """A trace database (a SQLite file's path or a PostgreSQL URL) and a way of
    handing saves to it. `timeout`: the busy timeout in seconds, None for the
    one the profiler's configuration gives (sqlite_busy_timeout)."""

    spool = True  # the profiler's records are copied to a spool while it records

    def __init__(self, db_path, timeout: float | None = None) -> None:
        self.db_path = _db.location(db_path)
        self.timeout = timeout

    def __repr__(self) -> str:
        return "%s(%r)" % (type(self).__name__, self.db_path)

    def save(self, trace_id: str, document, timeout: float | None = None):
        """Hands one trace document (bytes, the core's pieces or a
        DescribedDocument) over; what comes back depends on the kind."""
        raise NotImplementedError

    def wait(self, timeout: float | None = None) -> bool:
        """Waits until the saves handed over to this database are stored (at
        most `timeout` seconds, None: as long as they take); False if some are
        still waiting."""
        return _db.wait_for_saves(self.db_path, timeout)

    def _timeout(self, timeout):
        if self.timeout is not None:
            return self.timeout
        return 60 if timeout is None else timeout


class SaveNow(Destination):
    """Stored in the caller's thread before `save` returns (the new row's id);
    a failure raises (SarvDatabaseError saying why), after the save failure
    listeners heard it."""

    def save(self, trace_id: str, document, timeout: float | None = None) -> int:
        return _batching.save_now(self.db_path, trace_id, self._timeout(timeout), document)


class SaveBatched(Destination):
    """Stored a little later, in one transaction with the next saves the same
    thread makes into the database (or, once they come quickly, by a writer
    process; see sarv.store.batching): one commit for many small traces. A
    failure goes to the save failure listeners; `save` returns None."""

    def save(self, trace_id: str, document, timeout: float | None = None) -> None:
        if self.timeout is not None:
            timeout = self.timeout  # (once a test: without a call for it)
        elif timeout is None:
            timeout = 60
        _batching.save_later(self.db_path, trace_id, document, timeout)


class SaveSoon(Destination):
    """Stored on sarv's writer thread: the caller does not wait for the disk.
    With `wait` False the caller never waits at all: when the saves already
    waiting fill the backlog the trace is not saved (`save` returns False)
    and `dropped(db_path)` is told. `failed(trace_id, error)` hears, on the
    writer thread, a save that failed. Records are not spooled: a request's
    trace is short, and its end is saved at once."""

    spool = False

    def __init__(self, db_path, timeout: float | None = None, *, wait: bool = True, dropped=None, failed=None) -> None:
        super().__init__(db_path, timeout)
        self.wait_when_full = wait
        self.dropped = dropped
        self.failed = failed

    def save(self, trace_id: str, document, timeout: float | None = None) -> bool:
        done = None
        if self.failed is not None:
            failed = self.failed

            def done(error):
                if error is not None:
                    failed(trace_id, error)

        if self.timeout is not None:
            timeout = self.timeout  # (a request's: without a call for it)
        elif timeout is None:
            timeout = 60
        taken = _db.save_soon(self.db_path, trace_id, document, timeout, done, wait=self.wait_when_full)
        if taken is False and self.dropped is not None:
            self.dropped(self.db_path)
        return taken is not False
