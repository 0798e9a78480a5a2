"""What a trace store raises (defined in sarv.exceptions)."""

from __future__ import annotations

from sarv.exceptions import BatchLost, NotASarvDatabase, SarvDatabaseError, SchemaVersionError, TraceNotFound

__all__ = ["BatchLost", "NotASarvDatabase", "SarvDatabaseError", "SchemaVersionError", "TraceNotFound"]
