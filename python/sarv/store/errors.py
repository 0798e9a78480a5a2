"""What a trace store raises."""

from __future__ import annotations


class SarvDatabaseError(Exception):
    """A trace database cannot be used."""


class NotASarvDatabase(SarvDatabaseError):
    """The file exists but is not a sarv trace database."""


class SchemaVersionError(SarvDatabaseError):
    """The database was written by a sarv with another storage layout."""


class TraceNotFound(SarvDatabaseError, KeyError):
    """No trace with this id is stored."""

    def __str__(self) -> str:  # KeyError would show the repr of the message
        return str(self.args[0]) if self.args else "trace not found"


class BatchLost(SarvDatabaseError):
    """Traces saved in a transaction that did not commit."""

    def __init__(self, trace_ids, error=None) -> None:
        super().__init__("%s (traces %s)" % (error or "the transaction was rolled back", ", ".join(trace_ids)))
        self.trace_ids = trace_ids
