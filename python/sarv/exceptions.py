"""What sarv raises for reasons of its own, in one module that imports nothing of sarv.

Every class is also importable from where it was first defined: ConfigError from
sarv.config, the database errors from sarv.store.errors (and sarv.store), CommandError
from sarv.cli.common, DiffError from sarv.diff, TruncatedDocument from sarv.views.stream.
"""

from __future__ import annotations

__all__ = [
    "BatchLost",
    "CommandError",
    "ConfigError",
    "DiffError",
    "NotASarvDatabase",
    "SarvDatabaseError",
    "SarvError",
    "SchemaVersionError",
    "TraceNotFound",
    "TruncatedDocument",
]


class SarvError(Exception):
    """The base of every exception here."""


class ConfigError(SarvError, ValueError):
    """An invalid configuration; the message names the key."""


class SarvDatabaseError(SarvError):
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


class CommandError(SarvError):
    """A failure of a sarv command, reported as one line, with an exit status."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


class DiffError(SarvError):
    """The traces cannot be compared (not found, not readable)."""


class TruncatedDocument(SarvError, ValueError):
    """A trace document ends before its last record does."""
