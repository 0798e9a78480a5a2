"""The interface every trace store has, whatever its backend."""

from __future__ import annotations

import atexit
import os
import threading


class Batch:
    """Saves that share a backend's transaction until `commit` (a backend
    that has none saves each at once). A save into another database than the
    open transaction's commits that one first."""

    __slots__ = ("transaction",)

    def __init__(self) -> None:
        self.transaction = None  # the backend's open transaction, if any

    def commit(self) -> None:
        """Commits the open transaction; raises errors.BatchLost naming the
        traces it held if that fails."""
        transaction, self.transaction = self.transaction, None
        if transaction is not None:
            transaction.commit()


class Store:
    """One trace database. Made by sarv.store.open_store, which picks the
    backend once from the location; the methods neither wait for this
    process's saves handed over (sarv.store.reading does) nor know of them."""

    path: str  # the location as given
    shown: str  # the location as messages give it

    def save(self, trace_id: str, pieces, timeout: float, batch: Batch | None = None) -> int:
        """Stores one document (bytes pieces); the new row's id."""
        raise NotImplementedError

    def list_traces(self, selection, limit, timeout: float) -> list:
        """TraceSummary items of the selected traces, newest save first."""
        raise NotImplementedError

    def count_traces(self, selection, timeout: float) -> int:
        raise NotImplementedError

    def find_trace(self, trace_id: str, timeout: float):
        """The TraceSummary of the newest save of `trace_id`, or None."""
        raise NotImplementedError

    def open_trace(self, trace_id: str, timeout: float):
        """The newest save of `trace_id` as a rows.TraceStream."""
        raise NotImplementedError

    def resolve_trace_id(self, text: str, timeout: float) -> str:
        """The stored trace id that `text` names (see sarv.store.reading)."""
        raise NotImplementedError

    def remove(self, selection, timeout: float, vacuum: bool) -> int:
        """Removes the selected rows and their chunks; how many rows."""
        raise NotImplementedError

    def check(self, timeout: float) -> None:
        """Raises SarvDatabaseError where a save would fail for the store
        itself (not ours, a newer schema, damaged, not writable)."""
        raise NotImplementedError


class Writers:
    """The connections a backend keeps for saving, one per database, in this process:
    made on a first save, taken again while `fresh(writer)` says they are usable, closed
    at exit. Each writer has `pid` (the process that made it) and `close()`."""

    def __init__(self) -> None:
        self.by_key: dict = {}
        self.lock = threading.Lock()
        atexit.register(self.close_all)
        if hasattr(os, "register_at_fork"):
            os.register_at_fork(after_in_child=self._after_fork_in_child)

    def get(self, key, fresh, make):
        with self.lock:
            writer = self.by_key.get(key)
            if writer is not None and fresh(writer):
                return writer
            if writer is not None:
                self.by_key.pop(key, None)
                if writer.pid == os.getpid():
                    writer.close()
            writer = self.by_key[key] = make()
            return writer

    def forget(self, key, writer) -> None:
        """Closes `writer` (after a failure), and makes the next save open a new one."""
        with self.lock:
            if self.by_key.get(key) is writer:
                del self.by_key[key]
        writer.close()

    def close_all(self) -> None:
        with self.lock:
            writers = list(self.by_key.values())
            self.by_key.clear()
        for writer in writers:
            if writer.pid == os.getpid():  # (a forked child leaves its parent's alone)
                with writer.lock:
                    writer.close()

    def _after_fork_in_child(self) -> None:
        # A lock some other thread held at the fork would never be released in the child.
        self.lock = threading.Lock()
