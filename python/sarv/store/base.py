"""The interface every trace store has, whatever its backend."""

from __future__ import annotations


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
