"""SQLite storage of trace documents.

One file holds any number of traces. Table `traces` has one row per save:
an autoincrement `id`, the `trace_id` (not unique: saving the same trace id
again adds a row and keeps the earlier ones), the save time `created`
(seconds since the epoch), the document's `size` in bytes, columns derived
from the document for listings (`source`, `version`, `started`,
`record_count`, `test_name`, or NULL when the document does not provide them,
and `decode_error` saying why when it cannot be read) and the `document`
itself, stored exactly as given. Table `meta` holds "application" = "sarv"
and "schema_version", checked whenever the file is opened.

The file, its folder and the schema are created by the first save. New
files use SQLite's write-ahead log so that listing traces does not block a
profiled program that is saving one (and the other way round).

The default location is `.sarv/traces.sqlite3` under the current directory;
the environment variable SARV_DB, when set and not empty, names another file.
"""

from __future__ import annotations

import dataclasses
import os
import pathlib
import sqlite3
import time

__all__ = [
    "DB_ENV_VAR",
    "NotASarvDatabase",
    "SCHEMA_VERSION",
    "SarvDatabaseError",
    "SchemaVersionError",
    "TraceNotFound",
    "TraceSummary",
    "default_db_path",
    "find_trace",
    "list_traces",
    "load_trace",
    "load_trace_document",
    "resolve_trace_id",
    "save_trace_in_sqlite",
]

SCHEMA_VERSION = 1
DB_ENV_VAR = "SARV_DB"
_APPLICATION = "sarv"
_TEST_NAME_KEYS = ("node_id", "nodeid", "test", "test_name")
_MAX_TEST_NAME = 1000

_SCHEMA = """
CREATE TABLE meta (
    key TEXT PRIMARY KEY,
    value TEXT NOT NULL
);
CREATE TABLE traces (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    trace_id TEXT NOT NULL,
    created REAL NOT NULL,
    size INTEGER NOT NULL,
    source TEXT,
    version TEXT,
    started REAL,
    record_count INTEGER,
    test_name TEXT,
    decode_error TEXT,
    document BLOB NOT NULL
);
CREATE INDEX traces_by_trace_id ON traces (trace_id, id);
"""
_SELECT_SUMMARY = (
    "SELECT id, trace_id, created, size, source, version, started, record_count,"
    " test_name, decode_error FROM traces"
)


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


@dataclasses.dataclass(frozen=True)
class TraceSummary:
    """One stored trace, as listed by `list_traces` (no document)."""

    row_id: int
    trace_id: str
    created: float
    size: int
    source: str | None
    version: str | None
    started: float | None
    record_count: int | None
    test_name: str | None
    decode_error: str | None


def default_db_path() -> str:
    """$SARV_DB if set and not empty, else .sarv/traces.sqlite3 in the cwd."""
    configured = os.environ.get(DB_ENV_VAR)
    if configured:
        return configured
    return os.path.join(os.getcwd(), ".sarv", "traces.sqlite3")


# ---------------------------------------------------------------------------
# Derived columns


@dataclasses.dataclass
class _Derived:
    source: str | None = None
    version: str | None = None
    started: float | None = None
    record_count: int | None = None
    test_name: str | None = None
    decode_error: str | None = None


def _test_name_of(record) -> str | None:
    if type(record) is not dict or record.get("type") not in ("start_test", "end_test"):
        return None
    for key in _TEST_NAME_KEYS:
        value = record.get(key)
        if type(value) is str and value:
            return value[:_MAX_TEST_NAME]
    return None


def _derive(document: bytes) -> _Derived:
    """Listing columns, read record by record (one record in memory at a
    time); whatever cannot be read stays NULL and the reason is kept."""
    import msgpack

    derived = _Derived()
    if not document:
        derived.decode_error = "empty document"
        return derived
    unpacker = msgpack.Unpacker(
        None,
        raw=False,
        strict_map_key=False,
        max_buffer_size=max(len(document), 1),
    )
    unpacker.feed(document)
    count = 0
    start_name = end_name = None

    def take(record) -> None:
        nonlocal count, start_name, end_name
        count += 1
        if type(record) is dict:
            name = _test_name_of(record)
            if name is not None:
                if record.get("type") == "start_test":
                    start_name = start_name or name
                else:
                    end_name = end_name or name

    try:
        entries = unpacker.read_map_header()
        for _ in range(entries):
            key = unpacker.unpack()
            if key == "frames_of_interest":
                for _ in range(unpacker.read_array_header()):
                    take(unpacker.unpack())
            elif key == "frames":
                for _ in range(unpacker.read_map_header()):
                    unpacker.skip()  # thread id
                    for _ in range(unpacker.read_array_header()):
                        take(unpacker.unpack())
            elif key == "meta":
                meta = unpacker.unpack()
                if type(meta) is dict:
                    source, version = meta.get("source"), meta.get("version")
                    derived.source = source if type(source) is str else None
                    derived.version = version if type(version) is str else None
            elif key == "timestamp":
                started = unpacker.unpack()
                if type(started) in (int, float):
                    derived.started = float(started)
            else:
                unpacker.skip()
        if unpacker.tell() != len(document):
            raise ValueError("trailing bytes after the document")
        derived.record_count = count
    except Exception as exc:  # malformed documents are stored all the same
        derived.decode_error = "%s: %s" % (type(exc).__name__, exc)
    derived.test_name = start_name or end_name
    return derived


# ---------------------------------------------------------------------------
# Connections


def _connect(db_path: str, timeout: float, create: bool) -> sqlite3.Connection:
    if create:
        parent = os.path.dirname(os.path.abspath(db_path))
        try:
            os.makedirs(parent, exist_ok=True)
        except OSError as exc:
            raise SarvDatabaseError("cannot create the folder of %s: %s" % (db_path, exc)) from exc
        target, uri = db_path, False
    else:
        # Reading never creates a file.
        target = pathlib.Path(os.path.abspath(db_path)).as_uri() + "?mode=ro"
        uri = True
    try:
        return sqlite3.connect(target, timeout=timeout, isolation_level=None, uri=uri)
    except sqlite3.Error as exc:
        raise SarvDatabaseError("cannot open trace database %s: %s" % (db_path, exc)) from exc


def _check_schema(conn: sqlite3.Connection, db_path: str) -> bool:
    """True if the file holds our schema, False if it holds no table at all."""
    tables = {row[0] for row in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
    if not tables:
        return False
    if "meta" not in tables or "traces" not in tables:
        raise NotASarvDatabase("%s is an SQLite database but not a sarv trace database" % db_path)
    try:
        meta = dict(conn.execute("SELECT key, value FROM meta"))
    except sqlite3.Error as exc:
        raise NotASarvDatabase("%s is not a sarv trace database: %s" % (db_path, exc)) from exc
    if meta.get("application") != _APPLICATION:
        raise NotASarvDatabase("%s is not a sarv trace database" % db_path)
    version = meta.get("schema_version")
    if version != str(SCHEMA_VERSION):
        raise SchemaVersionError(
            "%s has trace database schema version %s; this sarv reads version %d"
            % (db_path, version, SCHEMA_VERSION)
        )
    return True


def _wrap_sqlite_error(db_path: str, exc: sqlite3.Error) -> SarvDatabaseError:
    if isinstance(exc, sqlite3.DatabaseError) and "not a database" in str(exc):
        return NotASarvDatabase("%s is not a database: %s" % (db_path, exc))
    return SarvDatabaseError("trace database %s: %s" % (db_path, exc))


def save_trace_in_sqlite(db_path, trace_id, timeout=60, msgpack=b""):
    """Store one trace document; returns the id of the new row.

    `timeout` is the SQLite busy timeout in seconds: how long to wait for
    another process that is writing the same file.
    """
    db_path = os.fspath(db_path)
    if type(trace_id) is not str:
        raise TypeError("trace_id must be a str, not %s" % type(trace_id).__name__)
    if not isinstance(msgpack, (bytes, bytearray, memoryview)):
        raise TypeError("msgpack must be bytes, not %s" % type(msgpack).__name__)
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or timeout < 0:
        raise ValueError("timeout must be a non-negative number of seconds, not %r" % (timeout,))
    document = bytes(msgpack)
    derived = _derive(document)
    conn = _connect(db_path, timeout, create=True)
    try:
        try:
            conn.execute("BEGIN IMMEDIATE")
            created_schema = not _check_schema(conn, db_path)
            if created_schema:
                for statement in _SCHEMA.split(";"):
                    if statement.strip():
                        conn.execute(statement)
                conn.executemany(
                    "INSERT INTO meta (key, value) VALUES (?, ?)",
                    [("application", _APPLICATION), ("schema_version", str(SCHEMA_VERSION))],
                )
            cursor = conn.execute(
                "INSERT INTO traces (trace_id, created, size, source, version, started,"
                " record_count, test_name, decode_error, document)"
                " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                (
                    trace_id,
                    time.time(),
                    len(document),
                    derived.source,
                    derived.version,
                    derived.started,
                    derived.record_count,
                    derived.test_name,
                    derived.decode_error,
                    document,
                ),
            )
            row_id = cursor.lastrowid
            conn.execute("COMMIT")
        except BaseException:
            if conn.in_transaction:
                try:
                    conn.execute("ROLLBACK")
                except sqlite3.Error:
                    pass  # closing the connection rolls back as well
            raise
        if created_schema:
            try:
                conn.execute("PRAGMA journal_mode=WAL")
            except sqlite3.Error:
                pass  # e.g. a file system without shared memory: keep the default journal
        return row_id
    except sqlite3.Error as exc:
        raise _wrap_sqlite_error(db_path, exc) from exc
    finally:
        conn.close()


def _open_for_reading(db_path, timeout: float):
    """A read-only connection with a checked schema, or None if there is no
    database (yet)."""
    db_path = os.fspath(db_path)
    if not os.path.exists(db_path):
        return None
    conn = _connect(db_path, timeout, create=False)
    try:
        if not _check_schema(conn, db_path):
            conn.close()
            return None
    except sqlite3.Error as exc:
        conn.close()
        raise _wrap_sqlite_error(db_path, exc) from exc
    except BaseException:
        conn.close()
        raise
    return conn


def list_traces(db_path, limit: int | None = None, timeout: float = 60) -> list:
    """Stored traces, newest save first, as `TraceSummary` items. A database
    that does not exist yet holds no traces."""
    conn = _open_for_reading(db_path, timeout)
    if conn is None:
        return []
    try:
        query = _SELECT_SUMMARY + " ORDER BY id DESC"
        params: tuple = ()
        if limit is not None:
            query += " LIMIT ?"
            params = (int(limit),)
        return [TraceSummary(*row) for row in conn.execute(query, params)]
    except sqlite3.Error as exc:
        raise _wrap_sqlite_error(os.fspath(db_path), exc) from exc
    finally:
        conn.close()


def find_trace(db_path, trace_id: str, timeout: float = 60):
    """The `TraceSummary` of the newest save of `trace_id`, or None."""
    conn = _open_for_reading(db_path, timeout)
    if conn is None:
        return None
    try:
        row = conn.execute(
            _SELECT_SUMMARY + " WHERE trace_id = ? ORDER BY id DESC LIMIT 1", (trace_id,)
        ).fetchone()
    except sqlite3.Error as exc:
        raise _wrap_sqlite_error(os.fspath(db_path), exc) from exc
    finally:
        conn.close()
    return TraceSummary(*row) if row is not None else None


def load_trace(db_path, trace_id: str, timeout: float = 60) -> bytes:
    """The document of the newest save of `trace_id`, exactly as stored."""
    conn = _open_for_reading(db_path, timeout)
    if conn is None:
        raise TraceNotFound("no trace %s: %s holds no traces" % (trace_id, os.fspath(db_path)))
    try:
        row = conn.execute(
            "SELECT document FROM traces WHERE trace_id = ? ORDER BY id DESC LIMIT 1",
            (trace_id,),
        ).fetchone()
    except sqlite3.Error as exc:
        raise _wrap_sqlite_error(os.fspath(db_path), exc) from exc
    finally:
        conn.close()
    if row is None:
        raise TraceNotFound("no trace %s in %s" % (trace_id, os.fspath(db_path)))
    return bytes(row[0])


def load_trace_document(db_path, trace_id: str, timeout: float = 60) -> dict:
    """`load_trace` decoded: a dict with the document's keys."""
    import msgpack

    document = load_trace(db_path, trace_id, timeout)
    try:
        return msgpack.unpackb(document, raw=False, strict_map_key=False)
    except Exception as exc:
        raise SarvDatabaseError(
            "trace %s in %s cannot be decoded: %s: %s"
            % (trace_id, os.fspath(db_path), type(exc).__name__, exc)
        ) from exc


def resolve_trace_id(db_path, text: str, timeout: float = 60) -> str:
    """The stored trace id that `text` names: "last" (the newest save), a
    whole trace id, or the start or end of exactly one stored id (ids that
    share a millisecond share their first 14 characters, so the end is the
    handy part to type). Raises `TraceNotFound`, also when the text is
    ambiguous."""
    if type(text) is not str or not text:
        raise TraceNotFound("no trace id given")
    conn = _open_for_reading(db_path, timeout)
    if conn is None:
        raise TraceNotFound("no trace %s: %s holds no traces" % (text, os.fspath(db_path)))
    try:
        if text == "last":
            row = conn.execute("SELECT trace_id FROM traces ORDER BY id DESC LIMIT 1").fetchone()
            if row is None:
                raise TraceNotFound("%s holds no traces" % os.fspath(db_path))
            return row[0]
        if conn.execute("SELECT 1 FROM traces WHERE trace_id = ? LIMIT 1", (text,)).fetchone():
            return text
        # LIKE would need escaping of % and _; substr comparisons need none.
        rows = conn.execute(
            "SELECT DISTINCT trace_id FROM traces"
            " WHERE substr(trace_id, 1, ?) = ? OR substr(trace_id, -?) = ? LIMIT 3",
            (len(text), text, len(text), text),
        ).fetchall()
    except sqlite3.Error as exc:
        raise _wrap_sqlite_error(os.fspath(db_path), exc) from exc
    finally:
        conn.close()
    if not rows:
        raise TraceNotFound("no trace %s in %s" % (text, os.fspath(db_path)))
    if len(rows) > 1:
        raise TraceNotFound(
            "%s names more than one trace in %s (%s, ...): give more of the id"
            % (text, os.fspath(db_path), ", ".join(row[0] for row in rows[:2]))
        )
    return rows[0][0]
