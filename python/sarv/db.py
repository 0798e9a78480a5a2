"""SQLite storage of trace documents.

One file holds any number of traces. Table `traces` has one row per save:
an autoincrement `id`, the `trace_id` (not unique: saving the same trace id
again adds a row and keeps the earlier ones), the save time `created`
(seconds since the epoch), the document's `size` in bytes, columns derived
from the document for listings (`source`, `version`, `started`,
`record_count`, `test_name`, `outcome`, `command`, and for the traces of
web requests `method`, `path`, `status` and `duration`, or NULL when the
document does not provide them, and `decode_error` saying why when it
cannot be read), and the document itself.

Documents are stored compressed with zstandard (`encoding` "zstd"), in
`document` when the compressed form is small, else in rows of
`trace_chunks` of 64 KiB each, so that no trace is too large for
SQLite (whose values stop at a gigabyte) and none is held whole in memory,
neither when it is saved nor when it is read (`open_trace`). Rows written
by schema version 1 (`encoding` NULL) hold the document as it was given;
such a database is upgraded in place by the first save of this version and
read as it is until then. Table `meta` holds "application" = "sarv" and
"schema_version", checked whenever the file is opened. The request columns
came later without a new schema version (older sarv versions name the
columns they read and write, so they keep working on a file that has them):
the first save of this version adds them, and readers take NULL for them
where a file lacks them.

The file, its folder and the schema are created by the first save. A trace
holds the program's values, so a folder sarv creates is private to its owner
(mode 700) and so is a database file it creates (600, which SQLite gives its
-wal, -shm and -journal files too); an existing file keeps its mode. Files use
SQLite's write-ahead log so that listing traces does not block a profiled
program that is saving one (and the other way round). A process keeps one
connection per database open for its saves and closes it at exit, which
also removes the log files.

`save_soon` stores a document on a writer thread instead of the caller's (the
request middleware's way): saves that wait together for one database share a
transaction, one failing without the others; this process's readers, and its
exit, wait for them (`wait_for_saves`). `save_later` (a test suite's, one
save per test) keeps saves waiting for the next ones of the same thread and
runs them together; once they come quickly it sends them to a writer process
(sarv.db_writer), waited for in the same way.

The default location is `.sarv/traces.sqlite3` under the current directory;
the environment variable SARV_DB, when set and not empty, names another file.

A location that is a PostgreSQL URL ("postgresql://user@host/dbname") names
a store shared by many processes and hosts instead: the same tables, named
`sarv_traces`, `sarv_trace_chunks` and `sarv_meta`, in that database
(created by the first save), the same functions and commands. It needs the
psycopg package (`pip install sarv[postgresql]`).
"""

from __future__ import annotations

import _thread
import atexit
import dataclasses
import itertools
import operator
import os
import pathlib
import re
import sqlite3
import struct
import threading
import time

__all__ = [
    "DB_ENV_VAR",
    "DescribedDocument",
    "NotASarvDatabase",
    "SCHEMA_VERSION",
    "SarvDatabaseError",
    "SchemaVersionError",
    "TraceNotFound",
    "TraceSummary",
    "close_connections",
    "default_db_path",
    "is_url",
    "location",
    "delete_traces",
    "find_trace",
    "list_traces",
    "load_trace",
    "load_trace_document",
    "open_trace",
    "prune_traces",
    "resolve_trace_id",
    "save_soon",
    "save_trace_in_sqlite",
    "saved_in_this_process",
    "wait_for_saves",
]

SCHEMA_VERSION = 2
DB_ENV_VAR = "SARV_DB"
_APPLICATION = "sarv"
_TEST_NAME_KEYS = ("node_id", "nodeid", "test", "test_name")
_MAX_TEST_NAME = 1000
_MAX_COMMAND = 1000
# Compressed bytes per stored row: far below SQLite's limit of a gigabyte per value, and
# below malloc's threshold for mapping fresh memory (128 KiB), so that the copies SQLite
# makes of each row reuse the same memory instead of paying a page fault per 4 KiB anew
# (a row of 2 MB cost a save about 1,000 faults, 4 ms on a virtual machine).
CHUNK_SIZE = 64 << 10
# zstd's fastest strategy with a 128 KiB window, a 4K-entry hash table and a search step
# of one (as level -1): a trace's records repeat the keys, names and values of the records
# just before them, which small tables still find, and small tables stay in the CPU's
# cache. Measured on traces of 200-270 MiB: 2.1 GB/s against level 1's 1.5 GB/s, stored
# 6.2-6.4% of the document against 5.3-5.7%.
_ZSTD_PARAMETERS = {
    "window_log": 17,
    "chain_log": 12,
    "hash_log": 12,
    "search_log": 1,
    "min_match": 6,
    "target_length": 1,
}
_READ_SIZE = 1 << 20
# Pages of new files: a stored trace is mostly blobs of compressed bytes, which SQLite
# writes at less than two thirds of the cost in pages of 16 KiB than in its usual 4 KiB.
_PAGE_SIZE = 16384
# (`traces.id` of new files is a plain rowid: AUTOINCREMENT would make every save also
# rewrite a page of sqlite_sequence, a third of what a small trace's commit writes. An id
# is used again only after the newest trace was deleted.)

_SCHEMA = """
CREATE TABLE meta (
    key TEXT PRIMARY KEY,
    value TEXT NOT NULL
);
CREATE TABLE traces (
    id INTEGER PRIMARY KEY,
    trace_id TEXT NOT NULL,
    created REAL NOT NULL,
    size INTEGER NOT NULL,
    source TEXT,
    version TEXT,
    started REAL,
    record_count INTEGER,
    test_name TEXT,
    decode_error TEXT,
    document BLOB NOT NULL,
    encoding TEXT,
    stored_size INTEGER,
    chunks INTEGER NOT NULL DEFAULT 0,
    command TEXT,
    outcome TEXT,
    method TEXT,
    path TEXT,
    status INTEGER,
    duration REAL,
    parent_trace_id TEXT
);
CREATE INDEX traces_by_trace_id ON traces (trace_id, id);
CREATE TABLE trace_chunks (
    trace_row INTEGER NOT NULL,
    seq INTEGER NOT NULL,
    data BLOB NOT NULL,
    PRIMARY KEY (trace_row, seq)
) WITHOUT ROWID;
"""
# Version 1 had the same traces table without the columns from `encoding` on.
_UPGRADE_FROM_1 = """
ALTER TABLE traces ADD COLUMN encoding TEXT;
ALTER TABLE traces ADD COLUMN stored_size INTEGER;
ALTER TABLE traces ADD COLUMN chunks INTEGER NOT NULL DEFAULT 0;
ALTER TABLE traces ADD COLUMN command TEXT;
ALTER TABLE traces ADD COLUMN outcome TEXT;
CREATE TABLE trace_chunks (
    trace_row INTEGER NOT NULL,
    seq INTEGER NOT NULL,
    data BLOB NOT NULL,
    PRIMARY KEY (trace_row, seq)
) WITHOUT ROWID;
UPDATE meta SET value = '2' WHERE key = 'schema_version';
"""
_SUMMARY_COLUMNS = "id, trace_id, created, size, source, version, started, record_count, test_name, decode_error"
_SUMMARY_COLUMNS_2 = ", stored_size, command, outcome"
_SUMMARY_COLUMNS_1 = ", length(document), NULL, NULL"
# Added to older files by the next save.
_REQUEST_COLUMNS = (
    ("method", "TEXT"),
    ("path", "TEXT"),
    ("status", "INTEGER"),
    ("duration", "REAL"),
    ("parent_trace_id", "TEXT"),
)
_SUMMARY_REQUEST = ", method, path, status, duration"
_SUMMARY_NO_REQUEST = ", NULL, NULL, NULL, NULL"
_MAX_PATH = 2000


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
    stored_size: int | None = None  # bytes in the database (compressed)
    command: str | None = None
    outcome: str | None = None
    method: str | None = None  # the request's, for traces of web requests (source "request")
    path: str | None = None
    status: int | None = None
    duration: float | None = None  # seconds
    parent_trace_id: str | None = None  # the trace of the process this one was forked from


_parents: dict = {}  # trace id -> the trace it was forked from (see note_parent)


def note_parent(trace_id: str, parent_trace_id: str) -> None:
    """Records, for this process's coming save of `trace_id`, the trace it forked from."""
    _parents[trace_id] = parent_trace_id


_URL_PREFIXES = ("postgresql://", "postgres://")


def is_url(db_path) -> bool:
    """Whether a trace database location is a PostgreSQL URL (else a file)."""
    return isinstance(db_path, str) and db_path.startswith(_URL_PREFIXES)


def location(db_path) -> str:
    """A location that means the same from any working directory: a file's
    absolute path, or the URL as it is."""
    db_path = os.fspath(db_path)
    known = _locations.get(db_path)
    if known is not None:
        return known
    if is_url(db_path):
        return db_path
    absolute = os.path.abspath(db_path)
    if os.path.isabs(db_path) and len(_locations) < 64:
        _locations[db_path] = absolute  # (a relative path's depends on the working directory)
    return absolute


_locations: dict = {}  # absolute path -> its location, asked at every save


def default_db_path() -> str:
    """$SARV_DB if set and not empty, else .sarv/traces.sqlite3 in the cwd."""
    configured = os.environ.get(DB_ENV_VAR)
    if configured:
        return configured
    return os.path.join(os.getcwd(), ".sarv", "traces.sqlite3")


# ---------------------------------------------------------------------------
# Derived columns


class _Derived:
    """What a trace's row says of its document (the listing columns)."""

    # (a plain class with slots: one is made per save, and a dataclass costs the import
    # a compile of its generated methods)
    __slots__ = (
        "source",
        "version",
        "started",
        "record_count",
        "test_name",
        "outcome",
        "command",
        "method",
        "path",
        "status",
        "duration",
        "decode_error",
        "dropped",
    )

    def __init__(self) -> None:
        self.source = self.version = self.started = self.record_count = self.test_name = None
        self.outcome = self.command = self.method = self.path = self.status = self.duration = None
        self.decode_error = None
        self.dropped = 0  # records dropped for the caps, as the trace says


def _test_name_of(record) -> str | None:
    if type(record) is not dict or record.get("type") not in ("start_test", "end_test"):
        return None
    for key in _TEST_NAME_KEYS:
        value = record.get(key)
        if type(value) is str and value:
            return value[:_MAX_TEST_NAME]
    return None


_NO_BYTES = memoryview(b"")


class _Pieces:
    """A file-like view of a sequence of bytes pieces, for msgpack.Unpacker;
    every piece also goes to `sink` as it is first read."""

    def __init__(self, pieces, sink) -> None:
        self._pieces = iter(pieces)
        self._sink = sink
        self._current = _NO_BYTES
        self._offset = 0
        self.size = 0
        # What stopped the pieces from coming (the source raising, a piece that is not
        # bytes): the save fails, where a document that cannot be decoded is stored.
        self.failure = None

    def _next_piece(self) -> bool:
        # The view of the last piece goes first: the core refills a piece's memory for the
        # next one once nothing refers to it any more.
        self._current, self._offset = _NO_BYTES, 0
        if self.failure is not None:
            raise self.failure
        try:
            for piece in self._pieces:
                if not isinstance(piece, (bytes, bytearray, memoryview)):
                    raise TypeError("a document piece must be bytes, not %s" % type(piece).__name__)
                if not len(piece):
                    continue
                self.size += len(piece)
                self._sink(piece)
                self._current, self._offset = memoryview(piece), 0
                return True
        except Exception as exc:
            self.failure = exc
            raise
        return False

    def read(self, n: int = -1) -> bytes:
        if self._offset >= len(self._current) and not self._next_piece():
            return b""
        if n is None or n < 0:
            n = len(self._current)
        start = self._offset
        self._offset = min(len(self._current), start + n)
        return bytes(self._current[start : self._offset])

    def drain(self) -> bool:
        """Reads what is left; True if there was anything."""
        rest = self._offset < len(self._current)
        self._offset = len(self._current)
        while self._next_piece():
            rest = True
            self._offset = len(self._current)
        return rest


def _derive_from(reader: _Pieces) -> _Derived:
    """Listing columns, read record by record (one record in memory at a
    time); whatever cannot be read stays NULL and the reason is kept. Only
    test markers are decoded; other records are skipped undecoded."""
    import msgpack

    derived = _Derived()
    unpacker = msgpack.Unpacker(
        reader, raw=False, strict_map_key=False, max_buffer_size=2**31 - 1, read_size=_READ_SIZE
    )
    count = 0
    markers = _Markers(derived)
    take_marker = markers.take

    try:
        entries = unpacker.read_map_header()
        for _ in range(entries):
            key = unpacker.unpack()
            if key in ("frames_of_interest", "frames"):
                lists = 1 if key == "frames_of_interest" else unpacker.read_map_header()
                for _ in range(lists):
                    if key == "frames":
                        unpacker.skip()  # thread id
                    n = unpacker.read_array_header()
                    count += n
                    # Test markers open and close a test's trace (after a note of
                    # records dropped): the first and last records are decoded, the
                    # rest only skipped.
                    for i in range(n):
                        if i < 3 or i == n - 1:
                            take_marker(unpacker.unpack())
                        else:
                            unpacker.skip()
            elif key in ("meta", "timestamp", "command_line_args"):
                _take_entry(derived, key, unpacker.unpack())
            else:
                unpacker.skip()
        if reader.drain() or unpacker.tell() != reader.size:
            raise ValueError("trailing bytes after the document")
        derived.record_count = count
    except Exception as exc:  # malformed documents are stored all the same
        if reader.failure is not None:
            raise reader.failure from None
        if reader.size == 0 and not reader.drain():
            derived.decode_error = "empty document"
        else:
            derived.decode_error = "%s: %s" % (type(exc).__name__, exc)
        derived.command = derived.outcome = None
        reader.drain()
    derived.test_name = markers.test_name()
    return derived


class _Markers:
    """Test markers (and a note of dropped records) among the records."""

    def __init__(self, derived: _Derived) -> None:
        self.derived = derived
        self.start_name = self.end_name = None

    def take(self, record) -> None:
        if type(record) is not dict:
            return
        kind = record.get("type")
        if kind == "records_dropped":
            if type(record.get("dropped")) is int:
                self.derived.dropped = record["dropped"]
            return
        if kind == "start_request" or kind == "end_request":
            self._request(record)
            return
        name = _test_name_of(record)
        if name is None:
            return
        if kind == "start_test":
            self.start_name = self.start_name or name
        else:
            self.end_name = self.end_name or name
            outcome = record.get("outcome")
            if type(outcome) is str:
                self.derived.outcome = outcome[:100]

    def test_name(self):
        return self.start_name or self.end_name

    def _request(self, record: dict) -> None:
        # Written by sarv.middleware: the start carries method and path, the end
        # the status and the duration too.
        derived = self.derived
        method, path = record.get("method"), record.get("path")
        if type(method) is str and derived.method is None:
            derived.method = method[:20]
        if type(path) is str and derived.path is None:
            derived.path = path[:_MAX_PATH]
        if record.get("type") == "end_request":
            status, duration = record.get("status"), record.get("duration")
            if type(status) is int and 0 <= status < 1000:
                derived.status = status
            if type(duration) in (int, float) and duration >= 0:
                derived.duration = float(duration)


def _take_entry(derived: _Derived, key, value) -> None:
    if key == "meta" and type(value) is dict:
        source, version = value.get("source"), value.get("version")
        derived.source = source if type(source) is str else None
        derived.version = version if type(version) is str else None
    elif key == "timestamp" and type(value) in (int, float):
        derived.started = float(value)
    elif key == "command_line_args" and type(value) is list and value and all(type(a) is str for a in value):
        derived.command = " ".join(value)[:_MAX_COMMAND]


_MSGPACK = None


def _msgpack():
    # (an import statement run for every save costs it more than the records it decodes)
    global _MSGPACK
    if _MSGPACK is None:
        import msgpack

        _MSGPACK = msgpack
    return _MSGPACK


def _derive_described(reader: _Pieces, document) -> _Derived:
    """The listing columns of a document the profiler's core describes
    (`record_count`, `tail_offset`, `edge_records`): only its first piece
    and the entries after the records are decoded, never the records but
    those at the edges."""
    derived = _Derived()
    tail_offset = document.tail_offset
    tail: list = []
    while reader._next_piece():
        piece = reader._current
        if reader.size == len(piece):
            _take_head(derived, piece)
        start = reader.size - len(piece)
        if reader.size > tail_offset:
            tail.append(bytes(piece[max(tail_offset - start, 0) :]))
        del piece  # (the core refills the memory of a piece no longer viewed)
    _take_tail(derived, b"".join(tail))
    _take_edges(derived, document)
    return derived


def _derive_whole(whole: bytes, document) -> _Derived:
    """_derive_described for a document read whole."""
    derived = _Derived()
    _take_head(derived, whole)
    _take_tail(derived, whole[document.tail_offset :])
    _take_edges(derived, document)
    return derived


def _take_edges(derived: _Derived, document) -> None:
    """The columns the described document's edge records (and request) give."""
    markers = _Markers(derived)
    # (only a DescribedDocument says what its request was: the core's pieces, the usual,
    # would make and drop an AttributeError for each save)
    request = document.request if isinstance(document, DescribedDocument) else None
    if request is not None:
        # What the request's end marker says, from whoever wrote it: its records need
        # not be decoded for it.
        method, path, status, duration = request
        markers.take({"type": "end_request", "method": method, "path": path, "status": status, "duration": duration})
    for record in document.edge_records:
        # Only records of these types count (a request's, a test's, the note of dropped
        # records): one whose bytes hold none of them, such as the first frame's record
        # with its locals, is not decoded.
        # (find, not `in`: bytes.__contains__ first tries the argument as an int, and makes
        # and drops a TypeError each time.)
        if (
            record.find(b"_test") >= 0
            or (request is None and record.find(b"_request") >= 0)
            or record.find(b"records_dropped") >= 0
        ):
            markers.take(_msgpack().unpackb(record, raw=False, strict_map_key=False))
    derived.test_name = markers.test_name()
    derived.record_count = document.record_count


# The tail of the documents a process saves up to the start time, and the source and
# version read from it: only the start time and the trace id differ from one to the next.
_last_tail = (b"", None, None)
_unpack_double = struct.Struct(">d").unpack_from
_TIMESTAMP_KEY = b"\xa9timestamp\xcb"  # the key, then a float64
_TRACE_ID_KEY = b"\xa8trace_id"


def _take_tail(derived: _Derived, tail: bytes) -> None:
    """The document's last four entries ("main_thread_id", "meta",
    "timestamp", "trace_id"), read as a map of four."""
    global _last_tail
    at = tail.find(_TIMESTAMP_KEY)
    end = at + len(_TIMESTAMP_KEY) + 8
    laid_out = at >= 0 and tail.startswith(_TRACE_ID_KEY, end)
    if laid_out and _last_tail[0] == tail[:at]:
        _, derived.source, derived.version = _last_tail
        derived.started = _unpack_double(tail, at + len(_TIMESTAMP_KEY))[0]
        return
    entries = _msgpack().unpackb(b"\x84" + tail, raw=False, strict_map_key=False)
    for key, value in entries.items():
        _take_entry(derived, key, value)
    if laid_out and list(entries) == ["main_thread_id", "meta", "timestamp", "trace_id"]:
        _last_tail = (tail[:at], derived.source, derived.version)


# The head of the documents a process saves (the map's first two entries) and the command
# read from it: the same from one save to the next, and decoding it takes an Unpacker, an
# object of 40 KiB zero-filled at each creation.
_last_head = (b"", None)


def _take_head(derived: _Derived, piece) -> None:
    """The command line, from the document's first piece: its first 64 KiB
    (where any but the longest command lines end), else the whole piece."""
    global _last_head
    head, command = _last_head
    if head and (piece.startswith(head) if type(piece) is bytes else memoryview(piece)[: len(head)] == head):
        derived.command = command
        return
    view = memoryview(piece)
    msgpack = _msgpack()
    for size in (64 << 10, len(piece)):
        unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, max_buffer_size=2**31 - 1)
        unpacker.feed(view[:size])
        try:
            unpacker.read_map_header()
            for _ in range(2):  # "command_line_args", "current_commit_sha"
                key = unpacker.unpack()
                _take_entry(derived, key, unpacker.unpack())
            _last_head = (bytes(view[: unpacker.tell()]), derived.command)
            return
        except msgpack.OutOfData:
            if size >= len(piece):
                return  # a command line longer than a piece: not listed


class DescribedDocument:
    """A whole document (bytes) with what the profiler's core knows of it
    (`sarv._requests.described_trace`): stored as the core's pieces are,
    its records never walked for the row's columns. `request`, when given,
    is what the trace's "end_request" record holds (method, path, status,
    duration): the row's columns are then taken from it, not decoded."""

    __slots__ = ("document", "record_count", "tail_offset", "edge_records", "request")

    def __init__(
        self, document: bytes, record_count: int, tail_offset: int, edge_records: tuple, request: tuple | None = None
    ) -> None:
        self.document = document
        self.record_count = record_count
        self.tail_offset = tail_offset
        self.edge_records = edge_records
        self.request = request

    def __iter__(self):
        return iter((self.document,))

    def __len__(self) -> int:
        return len(self.document)


def _derive(document: bytes) -> _Derived:
    return _derive_from(_Pieces([document], lambda piece: None))


# ---------------------------------------------------------------------------
# Connections


def _connect(db_path: str, timeout: float, create: bool) -> sqlite3.Connection:
    if create:
        parent = os.path.dirname(os.path.abspath(db_path))
        try:
            os.makedirs(parent, mode=0o700, exist_ok=True)
        except OSError as exc:
            raise SarvDatabaseError("cannot create the folder of %s: %s" % (db_path, exc)) from exc
        if db_path != ":memory:":
            try:
                # Made empty here (an empty file is an empty database) so that it starts private.
                os.close(os.open(db_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
            except FileExistsError:
                pass  # (its mode is the owner's choice)
            except OSError as exc:
                raise SarvDatabaseError("cannot create trace database %s: %s" % (db_path, exc)) from exc
        target, uri = db_path, False
    else:
        return _connect_for_reading(db_path, timeout)
    try:
        conn = sqlite3.connect(target, timeout=timeout, isolation_level=None, uri=uri, check_same_thread=False)
        if create:
            conn.execute("PRAGMA page_size = %d" % _PAGE_SIZE)  # a new file only; an existing one keeps its own
        return conn
    except sqlite3.Error as exc:
        raise SarvDatabaseError("cannot open trace database %s: %s" % (db_path, exc)) from exc


def _connect_for_reading(db_path: str, timeout: float) -> sqlite3.Connection:
    # Reading never creates a file. Opened for writing where the file system allows (and
    # told to write nothing): the write-ahead log files a reader opens are then removed
    # when it closes, as the last connection; a read-only connection leaves them behind.
    uri = pathlib.Path(os.path.abspath(db_path)).as_uri()
    failure = None
    for mode, settings in (("rw", "PRAGMA query_only = 1"), ("ro", None)):
        conn = None
        try:
            conn = sqlite3.connect(
                uri + "?mode=" + mode, timeout=timeout, isolation_level=None, uri=True, check_same_thread=False
            )
            if settings is not None:
                conn.execute(settings)
                conn.execute("SELECT 1 FROM sqlite_master LIMIT 1").fetchall()  # (opens the file and its log)
            return conn
        except sqlite3.Error as exc:
            if conn is not None:
                conn.close()
            failure = failure or exc
    raise SarvDatabaseError("cannot open trace database %s: %s" % (db_path, failure)) from failure


def _schema_version(conn: sqlite3.Connection, db_path: str) -> int:
    """The file's schema version (1 or 2), or 0 if it holds no table at all."""
    tables = {row[0] for row in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
    if not tables:
        return 0
    if "meta" not in tables or "traces" not in tables:
        raise NotASarvDatabase("%s is an SQLite database but not a sarv trace database" % db_path)
    try:
        meta = dict(conn.execute("SELECT key, value FROM meta"))
    except sqlite3.Error as exc:
        raise NotASarvDatabase("%s is not a sarv trace database: %s" % (db_path, exc)) from exc
    if meta.get("application") != _APPLICATION:
        raise NotASarvDatabase("%s is not a sarv trace database" % db_path)
    version = meta.get("schema_version")
    if version not in ("1", str(SCHEMA_VERSION)):
        raise SchemaVersionError(
            "%s has trace database schema version %s; this sarv reads versions 1 to %d"
            % (db_path, version, SCHEMA_VERSION)
        )
    return int(version)


def _check_schema(conn: sqlite3.Connection, db_path: str) -> bool:
    """True if the file holds our schema, False if it holds no table at all."""
    return _schema_version(conn, db_path) != 0


def _wrap_sqlite_error(db_path: str, exc: sqlite3.Error) -> SarvDatabaseError:
    if isinstance(exc, sqlite3.DatabaseError) and "not a database" in str(exc):
        return NotASarvDatabase("%s is not a database: %s" % (db_path, exc))
    return SarvDatabaseError("trace database %s: %s" % (db_path, exc))


class _Writer:
    """The connection a process saves through, kept open between saves (a
    test suite saves a trace per test). Used under its lock only."""

    def __init__(self, db_path: str, timeout: float) -> None:
        self.lock = threading.Lock()
        self.db_path = db_path
        self.pid = os.getpid()
        self.conn = _connect(db_path, timeout, create=True)
        self.timeout = timeout
        self.identity = None  # (device, inode) once the schema is known to be there
        self.compressor = None
        self.request_columns = False  # known to be in the file (columns are never removed)
        self.data_version = None  # the file's data version when its schema was last found complete

    def fresh(self) -> bool:
        """Whether this connection still writes into the file at db_path (a
        file removed or replaced since needs a new connection)."""
        if self.pid != os.getpid():
            return False
        if self.identity is None:
            return True
        try:
            st = os.stat(self.db_path)
        except OSError:
            return False
        return (st.st_dev, st.st_ino) == self.identity

    def close(self) -> None:
        try:
            self.conn.close()
        except sqlite3.Error:
            pass


_writers: dict = {}
_writers_lock = threading.Lock()


def _writer(db_path: str, timeout: float) -> _Writer:
    key = location(db_path)
    with _writers_lock:
        writer = _writers.get(key)
        if writer is not None and writer.fresh():
            return writer
        if writer is not None:
            _writers.pop(key, None)
            if writer.pid == os.getpid():
                writer.close()
        writer = _Writer(db_path, timeout)
        _writers[key] = writer
        return writer


def _forget_writer(writer: _Writer) -> None:
    with _writers_lock:
        key = location(writer.db_path)
        if _writers.get(key) is writer:
            del _writers[key]
    writer.close()


def close_connections() -> None:
    """Closes the connections kept for saving (done at exit as well); the
    last connection to a database removes its -wal and -shm files."""
    with _writers_lock:
        writers = list(_writers.values())
        _writers.clear()
    for writer in writers:
        if writer.pid == os.getpid():
            with writer.lock:
                writer.close()


atexit.register(close_connections)


def _prepare(writer: _Writer, conn: sqlite3.Connection, db_path: str) -> bool:
    """Inside a write transaction: creates or upgrades the schema. True if
    the file was new."""
    # Unchanged while no other connection commits to the file: the schema is then the
    # one this connection found complete (a save per test would check it each time).
    data_version = conn.execute("PRAGMA data_version").fetchone()[0]
    if data_version == writer.data_version:
        return False
    version = _schema_version(conn, db_path)
    if version == 0:
        for statement in _SCHEMA.split(";"):
            if statement.strip():
                conn.execute(statement)
        conn.executemany(
            "INSERT INTO meta (key, value) VALUES (?, ?)",
            [("application", _APPLICATION), ("schema_version", str(SCHEMA_VERSION))],
        )
    elif version == 1:
        for statement in _UPGRADE_FROM_1.split(";"):
            if statement.strip():
                conn.execute(statement)
    if version != 0 and not writer.request_columns:
        present = _columns(conn)
        missing = [(name, kind) for name, kind in _REQUEST_COLUMNS if name not in present]
        for name, kind in missing:
            conn.execute("ALTER TABLE traces ADD COLUMN %s %s" % (name, kind))
        # Trusted from now on only once seen committed: this transaction may roll back.
        writer.request_columns = not missing
    if version == SCHEMA_VERSION and writer.request_columns:
        writer.data_version = data_version  # (found complete, not made so by this transaction)
    return version == 0


def _columns(conn: sqlite3.Connection) -> set:
    return {row[1] for row in conn.execute("PRAGMA table_info(traces)")}


def _compressor():
    try:
        import zstandard
    except ImportError:
        return None
    parameters = zstandard.ZstdCompressionParameters(strategy=zstandard.STRATEGY_FAST, **_ZSTD_PARAMETERS)
    return zstandard.ZstdCompressor(compression_params=parameters)


class _ChunkWriter:
    """Compresses the document as it arrives and stores the compressed bytes
    in rows of CHUNK_SIZE; the first row is written only once a second one
    follows (a small trace is one row of `traces`)."""

    def __init__(self, conn: sqlite3.Connection, compressor, before_rows=None, whole_size=None) -> None:
        self.conn = conn
        # Called before the first statement of a save that takes several (its rows of
        # trace_chunks and the row they belong to).
        self.before_rows = before_rows
        # A small document of known size is gathered and compressed in one call, one
        # frame: a chunker costs such a document a tenth more.
        small = whole_size is not None and whole_size <= CHUNK_SIZE // 2
        self.at_once = compressor if small else None
        self.whole = bytearray() if small else None
        self.chunker = compressor.chunker(chunk_size=CHUNK_SIZE) if compressor is not None and not small else None
        self.encoding = "zstd" if compressor is not None else "msgpack"
        self.pending = bytearray()  # the document's bytes not cut into rows yet, uncompressed
        self.held = None  # the latest row's bytes, not stored until it is known not to be the only one
        self.stored_size = 0
        self.chunks = 0
        self.row_id = None

    def write(self, piece) -> None:
        if self.at_once is not None:
            self.whole += piece
            if len(self.whole) > CHUNK_SIZE:  # (larger than it said: streamed after all)
                self.chunker, self.at_once = self.at_once.chunker(chunk_size=CHUNK_SIZE), None
                whole, self.whole = self.whole, None
                self.write(whole)
            return
        if self.chunker is not None:
            for chunk in self.chunker.compress(piece):
                self._add(chunk)
            return
        self.pending += piece
        while len(self.pending) >= CHUNK_SIZE:
            self._cut_pending(CHUNK_SIZE)

    def _cut_pending(self, size: int) -> None:
        self._add(bytes(memoryview(self.pending)[:size]))
        del self.pending[:size]

    def _add(self, chunk) -> None:
        if self.held is not None:
            self._insert_chunk(self.held)
            self.chunks += 1
        self.held = chunk
        self.stored_size += len(chunk)

    def _insert_chunk(self, data) -> None:
        if self.row_id is None:
            if self.before_rows is not None:
                self.before_rows()
            cursor = self.conn.execute("INSERT INTO traces (trace_id, created, size, document) VALUES ('', 0, 0, x'')")
            self.row_id = cursor.lastrowid
        self.conn.execute(
            "INSERT INTO trace_chunks (trace_row, seq, data) VALUES (?, ?, ?)", (self.row_id, self.chunks, data)
        )

    def finish(self):
        """The bytes for the row's `document` column: all of it when it fits
        in one row, else nothing (the rest goes to trace_chunks)."""
        if self.chunker is not None:
            for chunk in self.chunker.finish():
                self._add(chunk)
        if self.at_once is not None:
            self._add(self.at_once.compress(self.whole))  # (an empty document is a frame all the same)
        while self.pending:
            self._cut_pending(min(CHUNK_SIZE, len(self.pending)))
        last, self.held = self.held, None
        if last is None:
            return b""
        if self.row_id is None:
            return last
        self._insert_chunk(last)
        self.chunks += 1
        return b""


# The columns a save fills, in the order of `_store_document`'s values (both stores).
_ROW_COLUMNS = (
    "trace_id",
    "created",
    "size",
    "source",
    "version",
    "started",
    "record_count",
    "test_name",
    "decode_error",
    "document",
    "encoding",
    "stored_size",
    "chunks",
    "command",
    "outcome",
    "method",
    "path",
    "status",
    "duration",
    "parent_trace_id",
)


def _store_document(trace_id: str, pieces, chunks: _ChunkWriter):
    """Streams the document into `chunks` while reading what the row says of
    it; (those facts, the values of _ROW_COLUMNS)."""
    described = _described(pieces)
    if described and chunks.at_once is not None:
        # A small document (under pytest, every test's) is read in one call: the core's
        # pieces are many for few bytes, and each would be a round through _Pieces.
        whole = b"".join(pieces)
        chunks.write(whole)
        derived = _derive_whole(whole, pieces)
        return derived, _row_values(trace_id, len(whole), derived, chunks)
    reader = _Pieces(pieces, chunks.write)
    derived = _derive_described(reader, pieces) if described else _derive_from(reader)
    return derived, _row_values(trace_id, reader.size, derived, chunks)


_described_types = {DescribedDocument}


def _described(document) -> bool:
    """Whether a document says what _derive_described reads (the core's pieces do)."""
    kind = type(document)
    if kind in _described_types:
        return True
    names = ("record_count", "tail_offset", "edge_records")
    if all(hasattr(kind, name) for name in names):
        _described_types.add(kind)  # (attributes of the type: every instance has them)
        return True
    return all(hasattr(document, name) for name in names)


def _row_values(trace_id: str, size: int, derived: _Derived, chunks: _ChunkWriter) -> tuple:
    """The values of _ROW_COLUMNS, once the document went through `chunks`."""
    inline = chunks.finish()
    return (
        trace_id,
        time.time(),
        size,
        derived.source,
        derived.version,
        derived.started,
        derived.record_count,
        derived.test_name,
        derived.decode_error,
        inline,
        chunks.encoding,
        chunks.stored_size,
        chunks.chunks,
        derived.command,
        derived.outcome,
        derived.method,
        derived.path,
        derived.status,
        derived.duration,
        _parents.get(trace_id),
    )


def _row_insert(table: str, mark: str, columns=_ROW_COLUMNS) -> str:
    # `mark`: the driver's parameter placeholder ("?" for sqlite3, "%s" for psycopg)
    return "INSERT INTO %s (%s) VALUES (%s)" % (table, ", ".join(columns), ", ".join([mark] * len(columns)))


_inserts: dict = {}  # which of _ROW_COLUMNS have a value -> the INSERT naming those
_NO_VALUES = (None,) * len(_ROW_COLUMNS)


def _insert_row(conn: sqlite3.Connection, values) -> int:
    """Inserts a row of `traces` (the values of _ROW_COLUMNS); its id."""
    # Only the columns with a value are named (the others are NULL all the same): sqlite3
    # binds None by looking for an adapter, which makes and drops an AttributeError.
    present = tuple(map(operator.is_not, values, _NO_VALUES))
    statement = _inserts.get(present)
    if statement is None:
        columns = list(itertools.compress(_ROW_COLUMNS, present))
        statement = _inserts[present] = _row_insert("traces", "?", columns)
    return conn.execute(statement, list(itertools.compress(values, present))).lastrowid


def _row_update(table: str, mark: str) -> str:
    # for a row made early to hold its chunks
    assignments = ", ".join("%s = %s" % (column, mark) for column in _ROW_COLUMNS)
    return "UPDATE %s SET %s WHERE id = %s" % (table, assignments, mark)


_failure_listeners: list = []
_cut_listeners: list = []
# (db path, trace id) -> (row id, record count, records dropped) of the latest saves of this process, so that
# whoever asked for a save can learn what was stored without opening the file again.
_recent_saves: dict = {}
_RECENT_SAVES = 64


def _note_saved(db_path, trace_id: str, row_id: int, derived: _Derived) -> None:
    _remember_save(db_path, trace_id, row_id, derived.record_count, derived.dropped, derived.test_name)


def _remember_save(db_path, trace_id: str, row_id: int, record_count, dropped, test_name) -> None:
    """A committed save, made here or by the writer process (sarv.db_writer)."""
    key = (location(db_path), trace_id)
    _recent_saves.pop(key, None)
    _recent_saves[key] = (row_id, record_count, dropped)
    while len(_recent_saves) > _RECENT_SAVES:
        del _recent_saves[next(iter(_recent_saves))]
    if dropped:
        _tell(_cut_listeners, db_path, trace_id, test_name, dropped)


def _tell(listeners: list, *args) -> None:
    for listener in list(listeners):
        try:
            listener(*args)
        except Exception:
            pass  # a listener's fault is not the save's


def _discard(listeners: list, listener) -> None:
    try:
        listeners.remove(listener)
    except ValueError:
        pass


def saved_in_this_process(db_path, trace_id: str):
    """(row id, record count, records dropped for the caps) of the
    latest save of `trace_id` into
    `db_path` by this process, if it is among the last few; else None."""
    return _recent_saves.get((location(db_path), trace_id))


def add_save_failure_listener(listener) -> None:
    """`listener(db_path, trace_id, error, test_name)` is called for every
    save that fails (before the error is raised; `test_name` as the
    document's start marker says, or None); the pytest plugin names the
    tests whose traces were not saved."""
    _failure_listeners.append(listener)


def remove_save_failure_listener(listener) -> None:
    _discard(_failure_listeners, listener)


def add_cut_trace_listener(listener) -> None:
    """`listener(db_path, trace_id, test_name, dropped)` is called for every
    stored trace that the caps (max_records, max_bytes) cut, once it is
    committed; the pytest plugin names those tests."""
    _cut_listeners.append(listener)


def remove_cut_trace_listener(listener) -> None:
    _discard(_cut_listeners, listener)


def save_trace_in_sqlite(db_path, trace_id, timeout=60, msgpack=b""):
    """Store one trace document; returns the id of the new row.

    `msgpack` is the document: bytes, or an iterable of bytes pieces (the
    profiler's core hands documents over in pieces, see
    `streaming_document`). `timeout` is the SQLite busy timeout in seconds:
    how long to wait for another process that is writing the same file.
    A failure raises `SarvDatabaseError` (or TypeError/ValueError for wrong
    arguments) saying why.
    """
    if _batching.later:
        _batching.later = False  # (the save's own call, later, is not handed over again)
        try:
            return save_later(db_path, trace_id, msgpack, timeout)
        finally:
            _batching.later = True
    try:
        return _save(db_path, trace_id, timeout, msgpack)
    except Exception as exc:
        _tell_failure_listeners(db_path, trace_id, exc, msgpack)
        raise


# The core hands this function the document as an iterator of pieces, instead
# of one bytes object (which would hold a second copy of a large trace).
save_trace_in_sqlite.streaming_document = True


def _save(db_path, trace_id, timeout, msgpack):
    db_path = os.fspath(db_path)
    if type(trace_id) is not str:
        raise TypeError("trace_id must be a str, not %s" % type(trace_id).__name__)
    if isinstance(msgpack, (bytes, bytearray, memoryview)):
        pieces = [msgpack]
    elif isinstance(msgpack, str) or not hasattr(msgpack, "__iter__"):
        raise TypeError("msgpack must be bytes or an iterable of bytes, not %s" % type(msgpack).__name__)
    else:
        pieces = msgpack
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or timeout < 0:
        raise ValueError("timeout must be a non-negative number of seconds, not %r" % (timeout,))
    if is_url(db_path):
        return _pg_save(db_path, trace_id, timeout, pieces)
    batch = _batching.batch
    if batch is not None:
        # The saves of one transaction share its connection, whose file was checked when
        # the transaction began: no stat per save, a system call during which the request
        # threads take the interpreter lock that the writer thread then waits for.
        writer = batch.writer
        if writer is None or batch.db_path != db_path:
            writer = _writer(db_path, timeout)
        return batch.save(writer, db_path, trace_id, timeout, pieces)
    writer = _writer(db_path, timeout)
    with writer.lock:
        conn = writer.conn
        try:
            _set_timeout(writer, timeout)
            try:
                conn.execute("BEGIN IMMEDIATE")
                # Checked at every save: another sarv may have changed the file meanwhile.
                created_schema = _prepare(writer, conn, db_path)
                derived, row_id = _store_one(writer, conn, trace_id, pieces)
                conn.execute("COMMIT")
            except BaseException:
                _rollback(conn)
                raise
            _note_saved(db_path, trace_id, row_id, derived)
            _settle_file(writer, conn, db_path, created_schema)
            return row_id
        except sqlite3.Error as exc:
            _drop_if_unusable(writer, exc)
            raise _wrap_sqlite_error(db_path, exc) from exc
        except SarvDatabaseError as exc:
            _drop_if_unusable(writer, exc)
            raise


def _drop_if_unusable(writer: _Writer, exc: Exception) -> None:
    """After a failed save: drops a connection that may be what failed."""
    if isinstance(exc, SarvDatabaseError) or writer.identity is None:
        # Not our file (any more), or a connection that never saved: opening it may be
        # what failed.
        _forget_writer(writer)


def _set_timeout(writer: _Writer, timeout) -> None:
    if writer.timeout != timeout:
        writer.conn.execute("PRAGMA busy_timeout = %d" % int(min(timeout, 2**31 // 1000) * 1000))
        writer.timeout = timeout


def _rollback(conn: sqlite3.Connection) -> None:
    if conn.in_transaction:
        try:
            conn.execute("ROLLBACK")
        except sqlite3.Error:
            pass  # closing the connection rolls back as well


def _known_size(document):
    """A document's length in bytes when it is known before reading it (bytes, a
    DescribedDocument, the core's pieces, which say their size); else None."""
    if isinstance(document, (bytes, bytearray, DescribedDocument)):
        return len(document)
    return getattr(document, "size", None)


def _store_one(writer: _Writer, conn: sqlite3.Connection, trace_id: str, pieces, before_rows=None):
    """Inside a write transaction: one trace's rows; (derived facts, row id).
    `before_rows` is called before the first statement when there are
    several; a single statement that fails leaves nothing behind."""
    if writer.compressor is None:
        writer.compressor = _compressor()
    chunks = _ChunkWriter(conn, writer.compressor, before_rows, _known_size(pieces))
    derived, values = _store_document(trace_id, pieces, chunks)
    if chunks.row_id is None:
        return derived, _insert_row(conn, values)
    conn.execute(_row_update("traces", "?"), values + (chunks.row_id,))
    return derived, chunks.row_id


def _settle_file(writer: _Writer, conn: sqlite3.Connection, db_path: str, created_schema: bool) -> None:
    """After the first commit through a connection: the file's journal and identity."""
    if writer.identity is not None:
        return
    if created_schema:
        try:
            conn.execute("PRAGMA journal_mode=WAL")
        except sqlite3.Error:
            pass  # e.g. a file system without shared memory: keep the default journal
    try:
        # Saves need not wait for the disk: the log is synced at checkpoints.
        conn.execute("PRAGMA synchronous=NORMAL")
        st = os.stat(db_path)
        writer.identity = (st.st_dev, st.st_ino)
    except (sqlite3.Error, OSError):
        pass


# ------------------------------------------------------ saving in the background
#
# A web request should not wait for its trace to reach the disk: `save_soon`
# hands a save to one writer thread per process, which runs the saves waiting
# for one database in one transaction (one failing does not take the others
# with it: a save of several statements runs in a savepoint of its own): a save
# waits a moment for others to share its commit, the dearest part of a small
# save. Readers in this process wait for the saves of their database first (and
# hurry them), and so does the exit.

_SAVES_PER_TRANSACTION = 64
_GROUP_COMMIT = 0.002  # seconds the first save waiting waits for others
# Past this many saves waiting, or this many bytes of their documents, whoever hands over a
# save waits for the writer.
_WAITING_SAVES = 256
_WAITING_BYTES = 64 << 20


class _Batching(threading.local):
    batch = None  # the _Batch of the writer thread's current transaction
    later = False  # this thread's saves go through save_later (see saving_later)


_batching = _Batching()


class _Batch:
    """The writer thread's transaction over one database."""

    def __init__(self) -> None:
        self.writer = None  # the _Writer whose lock is held and whose transaction is open
        self.db_path = None
        self.created_schema = False
        self.saved = []  # (db_path, trace_id, row_id, derived), noted once committed
        self.savepoint = False  # the current save opened one

    def save(self, writer: _Writer, db_path: str, trace_id: str, timeout, pieces):
        if self.writer is not None and self.writer is not writer:
            self.commit()  # another database (or the file was replaced): one transaction each
        if self.writer is None:
            self._begin(writer, db_path, timeout)
        conn = writer.conn
        # A save of several statements (a trace stored in chunks) runs in a savepoint of
        # its own, so that failing it takes nothing else with it; a save of one INSERT,
        # the usual, needs none (the two statements cost it more than the INSERT).
        self.savepoint = False
        try:
            try:
                derived, row_id = _store_one(writer, conn, trace_id, pieces, self._open_savepoint)
                if self.savepoint:
                    conn.execute("RELEASE sarv_save")
            except BaseException:
                if self.savepoint and conn.in_transaction:
                    conn.execute("ROLLBACK TO sarv_save")
                    conn.execute("RELEASE sarv_save")
                raise
        except sqlite3.Error as exc:
            if not conn.in_transaction:
                self._abandon()  # SQLite ended the transaction: the saves before are gone too
            raise _wrap_sqlite_error(db_path, exc) from exc
        except BaseException:
            if not conn.in_transaction:
                self._abandon()
            raise
        self.saved.append((db_path, trace_id, row_id, derived))
        return row_id

    def _open_savepoint(self) -> None:
        self.writer.conn.execute("SAVEPOINT sarv_save")
        self.savepoint = True

    def _begin(self, writer: _Writer, db_path: str, timeout) -> None:
        writer.lock.acquire()
        try:
            _set_timeout(writer, timeout)
            writer.conn.execute("BEGIN IMMEDIATE")
            self.created_schema = _prepare(writer, writer.conn, db_path)
        except BaseException as exc:
            _rollback(writer.conn)
            writer.lock.release()
            if isinstance(exc, (sqlite3.Error, SarvDatabaseError)):
                _drop_if_unusable(writer, exc)
            if isinstance(exc, sqlite3.Error):
                raise _wrap_sqlite_error(db_path, exc) from exc
            raise
        self.writer, self.db_path = writer, db_path

    def _abandon(self) -> None:
        writer, self.writer = self.writer, None
        lost, self.saved = self.saved, []
        _rollback(writer.conn)
        writer.lock.release()
        if lost:
            raise _BatchLost([trace_id for _, trace_id, _, _ in lost])

    def commit(self) -> None:
        """Commits the open transaction; raises _BatchLost naming the traces
        it held if that fails."""
        writer = self.writer
        if writer is None:
            return
        saved, self.saved = self.saved, []
        self.writer = None
        try:
            try:
                writer.conn.execute("COMMIT")
            except sqlite3.Error as exc:
                _rollback(writer.conn)
                error = _wrap_sqlite_error(self.db_path, exc)
                raise _BatchLost([trace_id for _, trace_id, _, _ in saved], error) from exc
            for db_path, trace_id, row_id, derived in saved:
                _note_saved(db_path, trace_id, row_id, derived)
            _settle_file(writer, writer.conn, self.db_path, self.created_schema)
        finally:
            writer.lock.release()


class _BatchLost(SarvDatabaseError):
    """Traces saved in a transaction that did not commit."""

    def __init__(self, trace_ids, error=None) -> None:
        super().__init__("%s (traces %s)" % (error or "the transaction was rolled back", ", ".join(trace_ids)))
        self.trace_ids = trace_ids


class _SaveJob:
    """A save waiting for the writer thread or its caller: one object holding what the
    save takes (a test suite makes one per test; closures for its save and its report
    were three more)."""

    __slots__ = ("key", "db_path", "trace_id", "timeout", "document", "done", "since", "size", "patience")

    def __init__(self, db_path, trace_id: str, document, timeout, done, patience=_GROUP_COMMIT) -> None:
        self.key = location(os.fspath(db_path))
        self.db_path, self.trace_id, self.document, self.timeout = db_path, trace_id, document, timeout
        # done(error): what hears how the save went; _REPORT_LOST for save_later's
        self.done = done
        self.size = _known_size(document) or 0
        self.since = time.monotonic()
        self.patience = patience  # how long the writer thread leaves it waiting for company

    def save(self):
        return save_trace_in_sqlite(self.db_path, self.trace_id, self.timeout, self.document)

    def finish(self, error) -> None:
        """Tells `done` how the save went."""
        if self.done is _REPORT_LOST:
            # A save that went through save_trace_in_sqlite was reported there; one lost
            # with the transaction it shared was not.
            if isinstance(error, _BatchLost) and self.trace_id in error.trace_ids:
                _tell_failure_listeners(self.db_path, self.trace_id, error, self.document)
        elif self.done is not None:
            self.done(error)


_REPORT_LOST = object()  # a job's `done` for save_later: a lost transaction goes to the failure listeners


class _Backlog:
    """The saves handed to the writer thread and not done yet."""

    def __init__(self) -> None:
        self.cond = threading.Condition(threading.Lock())
        self.jobs = []  # waiting, in order
        self.size = 0  # the bytes of their documents
        self.running = ()  # the jobs the writer thread has taken
        self.elsewhere = []  # the jobs callers of save_later have taken
        # When save_later was last called, and whether the writer thread waits without a
        # timeout: while a test loop saves, the writer looks now and then for saves left
        # waiting instead of being woken for each (a wake takes the interpreter lock from
        # the tests).
        self.later = -1e9
        self.idle = False
        self.thread_id = None
        self.hurry = 0  # readers waiting: no waiting for more saves to share a commit
        self.closed = False  # the process is exiting: saves are done by their callers


_backlog = _Backlog()


def _writer_takes_jobs(backlog: _Backlog) -> bool:
    """Whether the writer thread runs (started if need be) to take saves; under backlog.cond."""
    if not backlog.closed and backlog.thread_id is None:
        try:
            # A bare thread: a profile hook that threading would give its threads
            # (sarv's own, for requests on worker threads) does not follow it there.
            backlog.thread_id = _thread.start_new_thread(_write_saves, (backlog,))
        except RuntimeError:
            pass  # (no new threads at the interpreter's shutdown)
    return backlog.thread_id is not None and not backlog.closed


def save_soon(db_path, trace_id: str, document, timeout=60, done=None) -> None:
    """Stores a trace document (bytes, or a DescribedDocument) as
    save_trace_in_sqlite does, on sarv's writer thread; `done(error)`
    follows there (error None when the trace was stored, else the
    exception, logged by no one). Saves waiting together for the same
    database are committed at once. In a process that
    is exiting the save is done at once, by the caller."""
    job = _SaveJob(db_path, trace_id, document, timeout, done)
    size = job.size
    backlog = _backlog
    with backlog.cond:
        while (
            not backlog.closed
            and backlog.jobs
            and (len(backlog.jobs) >= _WAITING_SAVES or backlog.size + size > _WAITING_BYTES)
        ):
            backlog.cond.wait()
        if _writer_takes_jobs(backlog):
            backlog.jobs.append(job)
            backlog.size += size
            if len(backlog.jobs) == 1 or len(backlog.jobs) >= _SAVES_PER_TRANSACTION:
                backlog.cond.notify_all()  # (the writer waits for the first, then for a full batch)
            return
    _run_jobs([job])


# A test suite saves a trace after every test: each save's own transaction, whose commit
# writes to the file, costs a small test as much as the rest of its save. save_later
# keeps them waiting for each other, and the thread saving runs them together, in one
# transaction, once there are enough or the oldest has waited long enough; those left
# waiting (after the suite's last test, or before a long one) are done by the writer
# thread, and readers and the exit wait for them as for the others. Batches of a full 64
# cost a small test's save a fifth less than batches of the dozen that 10 ms held: besides
# fewer commits, the save's code and data stay in the caches through the batch.
_CALLER_COMMIT = 0.05  # seconds the oldest save waits for the next ones
_STRAGGLER = 0.1  # seconds before the writer thread takes a save its caller left waiting


def save_later(db_path, trace_id: str, document, timeout=60) -> None:
    """Stores a trace document as save_trace_in_sqlite does, a little later:
    with the next saves of this thread into the same database, in one
    transaction. A failure goes to the save failure listeners."""
    job = _SaveJob(db_path, trace_id, document, timeout, _REPORT_LOST, _STRAGGLER)
    shipper = _shipper
    if shipper is None and (_shipping or _shipping_wanted()) == "always":
        shipper = _start_shipping()
    if shipper is not None:
        if shipper.ship(job):
            return
        if not shipper.dead:
            # (not for the pipe, a large document say: saved here, after those sent before it)
            wait_for_saves(db_path)
    key = job.key
    backlog = _backlog
    due = None
    full = False
    with backlog.cond:
        if not _writer_takes_jobs(backlog):
            due = [job]
        else:
            jobs = backlog.jobs
            jobs.append(job)
            backlog.size += job.size
            # (the oldest save of this database: nearly always the first waiting)
            oldest = jobs[0] if jobs[0].key == key else next(j for j in jobs if j.key == key)
            # (this database's saves are counted only when there are enough saves at all)
            full = len(jobs) >= _SAVES_PER_TRANSACTION and sum(j.key == key for j in jobs) >= _SAVES_PER_TRANSACTION
            if full or backlog.size >= _WAITING_BYTES or job.since - oldest.since >= _CALLER_COMMIT:
                due = [j for j in jobs if j.key == key]
                backlog.jobs = [j for j in jobs if j.key != key]
                backlog.size = sum(j.size for j in backlog.jobs)
                backlog.elsewhere.extend(due)
            elif backlog.idle:
                backlog.cond.notify_all()  # (the writer's timer for a save left waiting)
            backlog.later = job.since
    if due is None:
        return
    if full and shipper is None and _shipping == "auto":
        # Saves come quickly here: the next go to a process of their own (see sarv.db_writer).
        _start_shipping()
    try:
        outcomes = _run_jobs(due)
        # Ctrl-C during the batch ended one save; the others went on. It is the program's.
        for _, error in outcomes:
            if isinstance(error, KeyboardInterrupt):
                raise error
    finally:
        with backlog.cond:
            backlog.elsewhere = [j for j in backlog.elsewhere if j not in due]
            if backlog.hurry:
                backlog.cond.notify_all()  # (readers waiting for these)


# The writer process that save_later sends saves to (a sarv.db_writer.Shipper), once
# started; "auto", "always" or "never" (set from the environment when first needed).
_shipper = None
_shipping = None


def _shipping_wanted() -> str:
    global _shipping
    if _shipping is None:
        from sarv import db_writer

        _shipping = db_writer.wanted()
    return _shipping


def _start_shipping():
    """Starts the writer process (tried once per process); its Shipper, or None."""
    global _shipper, _shipping
    from sarv import db_writer

    _shipping = "never"
    if not _backlog.closed and db_writer.can_start():
        _shipper = db_writer.start()
    return _shipper


def _test_name_in(document):
    """The test named by the start marker among a described document's edge records."""
    msgpack = _msgpack()
    for record in getattr(document, "edge_records", ()):
        if record.find(b"start_test") >= 0:
            try:
                name = _test_name_of(msgpack.unpackb(record, raw=False, strict_map_key=False))
            except Exception:
                continue
            if name is not None:
                return name
    return None


def _tell_failure_listeners(db_path, trace_id, error, document) -> None:
    if _failure_listeners:
        _tell(_failure_listeners, db_path, trace_id, error, _test_name_in(document))


def saving_later(on: bool) -> None:
    """While on, the saves the profiler's core makes on this thread (through
    save_trace_in_sqlite) are handed to save_later."""
    _batching.later = on


def wait_for_saves(db_path=None, timeout=None) -> bool:
    """Waits until the saves handed to the writer thread (into `db_path`, or
    all) are done, for at most `timeout` seconds (None: as long as they
    take); False if some are still waiting."""
    backlog = _backlog
    shipper = _shipper
    if not backlog.jobs and not backlog.running and not backlog.elsewhere and not (shipper and shipper.sent):
        return True
    if backlog.thread_id == _thread.get_ident():
        return False
    key = None if db_path is None else location(os.fspath(db_path))
    deadline = None if timeout is None else time.monotonic() + timeout
    if shipper is not None and not shipper.wait(key, deadline):
        return False
    with backlog.cond:
        backlog.hurry += 1
        backlog.cond.notify_all()
        try:
            while any(key is None or job.key == key for job in (*backlog.jobs, *backlog.running, *backlog.elsewhere)):
                if backlog.jobs and backlog.thread_id is None and not backlog.running:
                    # Their writer is gone: they are done here.
                    orphans, backlog.jobs, backlog.size = backlog.jobs, [], 0
                    backlog.running = orphans
                    break
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    return False
                backlog.cond.wait(left)
            else:
                return True
        finally:
            backlog.hurry -= 1
    try:
        _run_jobs(orphans)
    finally:
        with backlog.cond:
            backlog.running = ()
            backlog.cond.notify_all()
    return True


def _write_saves(backlog: _Backlog) -> None:
    try:
        _write_saves_until_stopped(backlog)
    finally:
        # Whatever stopped it (it is not meant to stop): the next save starts another
        # writer, and whoever waits for saves looks again.
        with backlog.cond:
            backlog.thread_id = None
            backlog.running = ()
            backlog.cond.notify_all()


def _write_saves_until_stopped(backlog: _Backlog) -> None:
    while True:
        send = None  # a Shipper whose saves waited unsent long enough
        with backlog.cond:
            while True:
                while not backlog.jobs:
                    if _shipper is not None and _shipper.straggling(time.monotonic()):
                        send = _shipper
                        break
                    if time.monotonic() - backlog.later < 1:
                        backlog.cond.wait(_STRAGGLER)
                    else:
                        backlog.idle = True
                        try:
                            backlog.cond.wait()
                        finally:
                            backlog.idle = False
                if send is not None or len(backlog.jobs) >= _SAVES_PER_TRANSACTION or backlog.hurry or backlog.closed:
                    break
                # (the first save waiting may have been taken by its caller meanwhile)
                left = backlog.jobs[0].since + backlog.jobs[0].patience - time.monotonic()
                if left <= 0:
                    break
                backlog.cond.wait(left)
            taken = None if send is not None else _take_batch(backlog)
        if taken is None:
            send.flush()
            send.collect()
            continue
        try:
            _run_jobs(taken)
        except BaseException:
            pass  # (reported to each job by _run_jobs; the thread must go on)
        with backlog.cond:
            backlog.running = ()
            backlog.cond.notify_all()


def _take_batch(backlog: _Backlog) -> list:
    """The first waiting saves into one database, taken (under backlog.cond)."""
    key = backlog.jobs[0].key
    taken, left = [], []
    for job in backlog.jobs:
        (taken if job.key == key and len(taken) < _SAVES_PER_TRANSACTION else left).append(job)
    backlog.jobs = left
    backlog.size = sum(job.size for job in left)
    backlog.running = taken
    backlog.cond.notify_all()
    return taken


def _run_jobs(jobs) -> list:
    """Runs the saves in one transaction where the database allows it; each
    job's `done` hears how its own save went. Returns the (job, error)
    outcomes."""
    batch = _Batch() if len(jobs) > 1 and not is_url(jobs[0].key) else None
    outcomes = []
    _batching.batch = batch
    try:
        for job in jobs:
            try:
                job.save()
                outcomes.append((job, None))
            except _BatchLost as exc:
                outcomes = _blame(outcomes, exc)
                outcomes.append((job, exc))
            except BaseException as exc:
                outcomes.append((job, exc))
        if batch is not None:
            try:
                batch.commit()
            except _BatchLost as exc:
                outcomes = _blame(outcomes, exc)
    finally:
        _batching.batch = None
    for job, error in outcomes:
        if job.done is not None:
            try:
                job.finish(error)
            except BaseException:
                pass  # a report that fails must not stop the writer
    return outcomes


def _blame(outcomes, lost: _BatchLost):
    """The outcomes, with the saves a lost transaction held failed by it."""
    ids = set(lost.trace_ids)
    return [(job, lost if job.trace_id in ids else error) for job, error in outcomes]


def _close_backlog() -> None:
    # At exit: the saves handed over are done before the connections close; later ones
    # are done by whoever hands them over.
    wait_for_saves()
    with _backlog.cond:
        _backlog.closed = True
        _backlog.cond.notify_all()
    wait_for_saves()
    if _shipper is not None:
        _shipper.close()  # (after the saves: the writer process ends once it has committed them)


def _backlog_after_fork() -> None:
    # The child has no writer thread, and the saves waiting are the parent's to do. The
    # parent's connections are left alone (see _Writer.fresh); a lock some other thread
    # held at the fork would never be released in the child.
    global _backlog, _writers_lock, _shipper
    if _shipper is not None:
        _shipper.forget()
        _shipper = None
    _backlog = _Backlog()
    _batching.batch = None
    _writers_lock = threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_backlog_after_fork)


def _open_for_reading(db_path, timeout: float):
    """(read-only connection, schema version), or None if there is no
    database (yet)."""
    db_path = os.fspath(db_path)
    # What this process handed to its writer thread is there (unless a locked file keeps
    # the writer waiting longer than a reader waits for a lock).
    wait_for_saves(db_path, timeout)
    if not os.path.exists(db_path):
        return None
    conn = _connect(db_path, timeout, create=False)
    try:
        version = _schema_version(conn, db_path)
        if not version:
            conn.close()
            return None
    except sqlite3.Error as exc:
        conn.close()
        raise _wrap_sqlite_error(db_path, exc) from exc
    except BaseException:
        conn.close()
        raise
    return conn, version


def _select_summary(version: int, conn: sqlite3.Connection) -> str:
    present = _columns(conn) if version >= 2 else set()
    return "SELECT %s%s%s%s FROM traces" % (
        _SUMMARY_COLUMNS,
        _SUMMARY_COLUMNS_2 if version >= 2 else _SUMMARY_COLUMNS_1,
        _SUMMARY_REQUEST if "duration" in present else _SUMMARY_NO_REQUEST,
        ", parent_trace_id" if "parent_trace_id" in present else ", NULL",
    )


def _filters(source=None, test=None, since=None, before=None, version: int = SCHEMA_VERSION, after_row=None):
    clauses, params = [], []
    if after_row is not None:
        clauses.append("id > ?")
        params.append(int(after_row))
    if source is not None:
        clauses.append("source = ?")
        params.append(source)
    if test is not None:
        # instr() needs no escaping, as LIKE would for % and _.
        clauses.append("instr(test_name, ?) > 0")
        params.append(test)
    if since is not None:
        clauses.append("created >= ?")
        params.append(float(since))
    if before is not None:
        clauses.append("created < ?")
        params.append(float(before))
    return (" WHERE " + " AND ".join(clauses)) if clauses else "", params


def list_traces(
    db_path,
    limit: int | None = None,
    timeout: float = 60,
    *,
    source: str | None = None,
    test: str | None = None,
    since: float | None = None,
    after_row: int | None = None,
) -> list:
    """Stored traces, newest save first, as `TraceSummary` items. A database
    that does not exist yet holds no traces. `source` keeps the traces of
    that source ("cli", "pytest", "api", ...), `test` those whose test name
    contains the text, `since` those saved at or after that time (seconds
    since the epoch), `after_row` those stored after that row id."""
    if is_url(db_path):
        return _pg_list(db_path, limit, timeout, source, test, since, after_row)
    opened = _open_for_reading(db_path, timeout)
    if opened is None:
        return []
    conn, version = opened
    try:
        where, params = _filters(source, test, since, after_row=after_row)
        query = _select_summary(version, conn) + where + " ORDER BY id DESC"
        if limit is not None:
            query += " LIMIT ?"
            params.append(int(limit))
        return [TraceSummary(*row) for row in conn.execute(query, params)]
    except sqlite3.Error as exc:
        raise _wrap_sqlite_error(os.fspath(db_path), exc) from exc
    finally:
        conn.close()


def count_traces(db_path, timeout: float = 60, *, source: str | None = None, after_row: int | None = None) -> int:
    """How many traces list_traces would give with the same filters."""
    if is_url(db_path):
        where, params = _pg_filters(source, None, None, after_row)
        return _pg_query(db_path, timeout, "SELECT count(*) FROM sarv_traces" + where, params, [(0,)])[0][0]
    opened = _open_for_reading(db_path, timeout)
    if opened is None:
        return 0
    conn, _ = opened
    try:
        where, params = _filters(source, after_row=after_row)
        return conn.execute("SELECT count(*) FROM traces" + where, params).fetchone()[0]
    except sqlite3.Error as exc:
        raise _wrap_sqlite_error(os.fspath(db_path), exc) from exc
    finally:
        conn.close()


def find_trace(db_path, trace_id: str, timeout: float = 60):
    """The `TraceSummary` of the newest save of `trace_id`, or None."""
    if is_url(db_path):
        return _pg_find(db_path, trace_id, timeout)
    opened = _open_for_reading(db_path, timeout)
    if opened is None:
        return None
    conn, version = opened
    try:
        row = conn.execute(
            _select_summary(version, conn) + " WHERE trace_id = ? ORDER BY id DESC LIMIT 1", (trace_id,)
        ).fetchone()
    except sqlite3.Error as exc:
        raise _wrap_sqlite_error(os.fspath(db_path), exc) from exc
    finally:
        conn.close()
    return TraceSummary(*row) if row is not None else None


class TraceStream:
    """The document of one stored trace, read in pieces of about a megabyte
    (decompressed as they are read): iterate it, or give it to
    msgpack.Unpacker as a file (`read`). Close it (or use `with`) to release
    the database."""

    def __init__(self, conn, db_path: str, summary: TraceSummary, encoding, chunks: int) -> None:
        self.summary = summary
        self._conn = conn
        self._db_path = db_path
        self._pieces = self._generate(summary.row_id, encoding, chunks)
        self._current = b""
        self._offset = 0

    _DOCUMENT_QUERY = "SELECT document FROM traces WHERE id = ?"
    _CHUNK_QUERY = "SELECT data FROM trace_chunks WHERE trace_row = ? AND seq = ?"

    def _stored(self, row_id: int, chunks: int):
        row = self._conn.execute(self._DOCUMENT_QUERY, (row_id,)).fetchone()
        if row is not None and row[0]:
            yield row[0]
        if chunks:
            for seq in range(chunks):
                found = self._conn.execute(self._CHUNK_QUERY, (row_id, seq)).fetchone()
                if found is None:
                    raise SarvDatabaseError(
                        "trace %s in %s is incomplete: part %d of %d is missing"
                        % (self.summary.trace_id, self._db_path, seq + 1, chunks)
                    )
                yield found[0]

    def _generate(self, row_id: int, encoding, chunks: int):
        try:
            stored = self._stored(row_id, chunks)
            if encoding in (None, "msgpack"):
                for data in stored:
                    for start in range(0, len(data), _READ_SIZE):
                        yield bytes(data[start : start + _READ_SIZE])
                return
            if encoding != "zstd":
                raise SarvDatabaseError(
                    "trace %s in %s is stored as %r, which this sarv cannot read"
                    % (self.summary.trace_id, self._db_path, encoding)
                )
            try:
                import zstandard
            except ImportError:
                raise SarvDatabaseError(
                    "trace %s is compressed with zstandard: install the zstandard package to read it"
                    % self.summary.trace_id
                ) from None
            stream = zstandard.ZstdDecompressor().decompressobj()
            for data in stored:
                for start in range(0, len(data), _READ_SIZE // 8):
                    out = stream.decompress(data[start : start + _READ_SIZE // 8])
                    if out:
                        yield out
            if not stream.eof:
                raise SarvDatabaseError("trace %s in %s is truncated" % (self.summary.trace_id, self._db_path))
        except sqlite3.Error as exc:
            raise _wrap_sqlite_error(self._db_path, exc) from exc
        except SarvDatabaseError:
            raise
        except Exception as exc:  # zstandard.ZstdError and the like
            raise SarvDatabaseError(
                "trace %s in %s cannot be read: %s: %s"
                % (self.summary.trace_id, self._db_path, type(exc).__name__, exc)
            ) from exc

    def __iter__(self):
        if self._offset < len(self._current):
            yield self._current[self._offset :]
            self._current, self._offset = b"", 0
        yield from self._pieces

    def read(self, n: int = -1) -> bytes:
        if self._offset >= len(self._current):
            self._current = next(self._pieces, b"")
            self._offset = 0
        if n is None or n < 0:
            n = len(self._current)
        start = self._offset
        self._offset = min(len(self._current), start + n)
        if start == 0 and self._offset == len(self._current):
            return self._current
        return self._current[start : self._offset]

    def close(self) -> None:
        self._pieces.close()
        self._conn.close()

    def __enter__(self) -> "TraceStream":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def open_trace(db_path, trace_id: str, timeout: float = 60) -> TraceStream:
    """The newest save of `trace_id` as a `TraceStream`."""
    db_path = os.fspath(db_path)
    if is_url(db_path):
        return _pg_open_trace(db_path, trace_id, timeout)
    opened = _open_for_reading(db_path, timeout)
    if opened is None:
        raise TraceNotFound("no trace %s: %s holds no traces" % (trace_id, db_path))
    conn, version = opened
    try:
        columns = _select_summary(version, conn).replace(" FROM traces", "")
        extra = ", encoding, chunks" if version >= 2 else ", NULL, 0"
        row = conn.execute(
            columns + extra + " FROM traces WHERE trace_id = ? ORDER BY id DESC LIMIT 1", (trace_id,)
        ).fetchone()
    except sqlite3.Error as exc:
        conn.close()
        raise _wrap_sqlite_error(db_path, exc) from exc
    if row is None:
        conn.close()
        raise TraceNotFound("no trace %s in %s" % (trace_id, db_path))
    return TraceStream(conn, db_path, TraceSummary(*row[:-2]), row[-2], row[-1])


def load_trace(db_path, trace_id: str, timeout: float = 60) -> bytes:
    """The document of the newest save of `trace_id`, as it was given."""
    with open_trace(db_path, trace_id, timeout) as stream:
        return b"".join(stream)


def load_trace_document(db_path, trace_id: str, timeout: float = 60) -> dict:
    """`load_trace` decoded: a dict with the document's keys. For large
    traces, prefer reading `open_trace` with msgpack.Unpacker."""
    import msgpack

    document = load_trace(db_path, trace_id, timeout)
    try:
        return msgpack.unpackb(document, raw=False, strict_map_key=False)
    except Exception as exc:
        raise SarvDatabaseError(
            "trace %s in %s cannot be decoded: %s: %s" % (trace_id, os.fspath(db_path), type(exc).__name__, exc)
        ) from exc


def resolve_trace_id(db_path, text: str, timeout: float = 60) -> str:
    """The stored trace id that `text` names: "last" (the newest save), a
    whole trace id, or the start or end of exactly one stored id (ids that
    share a millisecond share their first 14 characters, so the end is the
    handy part to type). Raises `TraceNotFound`, also when the text is
    ambiguous."""
    if type(text) is not str or not text:
        raise TraceNotFound("no trace id given")
    if is_url(db_path):
        return _pg_resolve(db_path, text, timeout)
    opened = _open_for_reading(db_path, timeout)
    if opened is None:
        raise TraceNotFound("no trace %s: %s holds no traces" % (text, os.fspath(db_path)))
    conn, _ = opened
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
            "SELECT DISTINCT trace_id FROM traces WHERE substr(trace_id, 1, ?) = ? OR substr(trace_id, -?) = ? LIMIT 3",
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


# ---------------------------------------------------------------------------
# Removing traces


def _remove(db_path, where: str, params, timeout: float, vacuum: bool) -> int:
    db_path = os.fspath(db_path)
    wait_for_saves(db_path, timeout)
    if is_url(db_path):
        return _pg_remove(db_path, where, params, timeout)
    if not os.path.exists(db_path):
        return 0
    writer = _writer(db_path, timeout)
    with writer.lock:
        conn = writer.conn
        try:
            conn.execute("BEGIN IMMEDIATE")
            try:
                version = _schema_version(conn, db_path)
                if version == 0:
                    conn.execute("ROLLBACK")
                    return 0
                if version == 1:
                    _prepare(writer, conn, db_path)
                rows = [r[0] for r in conn.execute("SELECT id FROM traces" + where, params)]
                for start in range(0, len(rows), 500):
                    batch = rows[start : start + 500]
                    marks = ", ".join("?" * len(batch))
                    conn.execute("DELETE FROM trace_chunks WHERE trace_row IN (%s)" % marks, batch)
                    conn.execute("DELETE FROM traces WHERE id IN (%s)" % marks, batch)
                conn.execute("COMMIT")
            except BaseException:
                if conn.in_transaction:
                    conn.execute("ROLLBACK")
                raise
            if vacuum and rows:
                conn.execute("VACUUM")  # gives the freed pages back to the file system
            return len(rows)
        except sqlite3.Error as exc:
            _forget_writer(writer)
            raise _wrap_sqlite_error(db_path, exc) from exc
        except SarvDatabaseError:
            _forget_writer(writer)
            raise


def delete_traces(db_path, trace_ids, timeout: float = 60, vacuum: bool = True) -> int:
    """Removes every save of the given trace ids; returns the rows removed."""
    ids = list(trace_ids)
    if not ids:
        return 0
    marks = ", ".join("?" * len(ids))
    return _remove(db_path, " WHERE trace_id IN (%s)" % marks, ids, timeout, vacuum)


def prune_traces(
    db_path,
    *,
    older_than: float | None = None,
    keep_last: int | None = None,
    source: str | None = None,
    timeout: float = 60,
    vacuum: bool = True,
) -> int:
    """Removes traces saved more than `older_than` seconds ago and/or all but
    the `keep_last` newest (of `source` only, when given); returns the rows
    removed."""
    if older_than is None and keep_last is None:
        raise ValueError("prune needs older_than or keep_last")
    clauses, params = [], []
    if source is not None:
        clauses.append("source = ?")
        params.append(source)
    limits = []
    if older_than is not None:
        limits.append("created < ?")
        params.append(time.time() - float(older_than))
    if keep_last is not None:
        inner = "SELECT id FROM traces%s ORDER BY id DESC LIMIT ?" % (" WHERE source = ?" if source is not None else "")
        limits.append("id NOT IN (%s)" % inner)
        if source is not None:
            params.append(source)
        params.append(max(int(keep_last), 0))
    clauses.append("(" + " OR ".join(limits) + ")")
    return _remove(db_path, " WHERE " + " AND ".join(clauses), params, timeout, vacuum)


# ---------------------------------------------------------------------------
# PostgreSQL: a store shared by many processes and hosts

_PG_SCHEMA = """
CREATE TABLE IF NOT EXISTS sarv_meta (
    key TEXT PRIMARY KEY,
    value TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS sarv_traces (
    id BIGSERIAL PRIMARY KEY,
    trace_id TEXT NOT NULL,
    created DOUBLE PRECISION NOT NULL,
    size BIGINT NOT NULL,
    source TEXT,
    version TEXT,
    started DOUBLE PRECISION,
    record_count BIGINT,
    test_name TEXT,
    decode_error TEXT,
    document BYTEA NOT NULL,
    encoding TEXT,
    stored_size BIGINT,
    chunks INTEGER NOT NULL DEFAULT 0,
    command TEXT,
    outcome TEXT,
    method TEXT,
    path TEXT,
    status INTEGER,
    duration DOUBLE PRECISION,
    parent_trace_id TEXT
);
CREATE INDEX IF NOT EXISTS sarv_traces_by_trace_id ON sarv_traces (trace_id, id);
CREATE TABLE IF NOT EXISTS sarv_trace_chunks (
    trace_row BIGINT NOT NULL,
    seq INTEGER NOT NULL,
    data BYTEA NOT NULL,
    PRIMARY KEY (trace_row, seq)
);
INSERT INTO sarv_meta (key, value) VALUES ('application', 'sarv'), ('schema_version', '2')
    ON CONFLICT (key) DO NOTHING
"""
# Serialises the creation of the tables by processes that save their first trace at once
# (CREATE TABLE IF NOT EXISTS alone can fail on a race); any constant of our own.
_PG_SCHEMA_LOCK = 0x5A52_5601
_PG_SUMMARY = "SELECT %s%s%s, parent_trace_id FROM sarv_traces" % (
    _SUMMARY_COLUMNS,
    _SUMMARY_COLUMNS_2,
    _SUMMARY_REQUEST,
)


def _shown(url: str) -> str:
    """The URL without its password, for messages."""
    return re.sub(r"^([a-z]+://[^:/@]*):[^@/]*@", r"\1:***@", url)


def shown_location(db_path) -> str:
    """A trace database's location as messages give it: a PostgreSQL URL without its
    password."""
    db_path = os.fspath(db_path)
    return _shown(db_path) if is_url(db_path) else db_path


def _pg_module():
    try:
        import psycopg
    except ImportError as exc:
        raise SarvDatabaseError(
            "a PostgreSQL trace database needs the psycopg package (pip install 'sarv[postgresql]'): %s" % exc
        ) from None
    return psycopg


def _pg_error(url: str, exc: Exception) -> SarvDatabaseError:
    message = " ".join(str(exc).split()) or type(exc).__name__
    return SarvDatabaseError("trace database %s: %s" % (_shown(url), message))


def _pg_connect(url: str, timeout: float):
    psycopg = _pg_module()
    try:
        options = {"connect_timeout": max(1, int(min(timeout, 3600)))} if timeout else {}
        conn = psycopg.connect(url, autocommit=True, **options)
    except psycopg.Error as exc:
        raise SarvDatabaseError(
            "cannot open trace database %s: %s" % (_shown(url), " ".join(str(exc).split()))
        ) from None
    return conn


def _pg_check(conn, url: str) -> bool:
    """True if the database holds our tables, False if it holds none of them."""
    found = conn.execute(
        "SELECT to_regclass('sarv_traces') IS NOT NULL, to_regclass('sarv_meta') IS NOT NULL"
    ).fetchone()
    if not any(found):
        return False
    if not all(found):
        raise NotASarvDatabase("%s holds a table sarv_traces or sarv_meta that sarv did not make" % _shown(url))
    meta = dict(conn.execute("SELECT key, value FROM sarv_meta").fetchall())
    if meta.get("application") != _APPLICATION:
        raise NotASarvDatabase("%s holds tables named like sarv's that are not a sarv trace store" % _shown(url))
    if meta.get("schema_version") != str(SCHEMA_VERSION):
        raise SchemaVersionError(
            "%s has trace store schema version %s; this sarv reads version %d"
            % (_shown(url), meta.get("schema_version"), SCHEMA_VERSION)
        )
    return True


class _PgWriter:
    """The connection a process saves through, kept open between saves."""

    def __init__(self, url: str, timeout: float) -> None:
        self.lock = threading.Lock()
        self.url = url
        self.pid = os.getpid()
        self.conn = _pg_connect(url, timeout)
        self.schema_ready = False
        self.compressor = None

    def close(self) -> None:
        try:
            self.conn.close()
        except Exception:
            pass


_pg_writers: dict = {}


def _pg_writer(url: str, timeout: float) -> _PgWriter:
    with _writers_lock:
        writer = _pg_writers.get(url)
        if writer is not None and writer.pid == os.getpid() and not writer.conn.closed:
            return writer
        writer = _PgWriter(url, timeout)
        _pg_writers[url] = writer
        return writer


def _pg_forget(writer: _PgWriter) -> None:
    with _writers_lock:
        if _pg_writers.get(writer.url) is writer:
            del _pg_writers[writer.url]
    writer.close()


def _close_pg_writers() -> None:
    with _writers_lock:
        writers = list(_pg_writers.values())
        _pg_writers.clear()
    for writer in writers:
        if writer.pid == os.getpid():
            with writer.lock:
                writer.close()


atexit.register(_close_pg_writers)
# (Exit handlers run last registered first: the saves handed over are done before the
# connections close.)
atexit.register(_close_backlog)


class _PgChunkWriter(_ChunkWriter):
    def _insert_chunk(self, data) -> None:
        if self.row_id is None:
            self.row_id = self.conn.execute(
                "INSERT INTO sarv_traces (trace_id, created, size, document) VALUES ('', 0, 0, ''::bytea) RETURNING id"
            ).fetchone()[0]
        self.conn.execute(
            "INSERT INTO sarv_trace_chunks (trace_row, seq, data) VALUES (%s, %s, %s)", (self.row_id, self.chunks, data)
        )


def _pg_save(url: str, trace_id: str, timeout, pieces) -> int:
    psycopg = _pg_module()
    writer = _pg_writer(url, timeout)
    with writer.lock:
        conn = writer.conn
        try:
            with conn.transaction():
                if not writer.schema_ready:
                    conn.execute("SELECT pg_advisory_xact_lock(%s)", (_PG_SCHEMA_LOCK,))
                    if not _pg_check(conn, url):
                        conn.execute(_PG_SCHEMA)
                    _pg_check(conn, url)
                if writer.compressor is None:
                    writer.compressor = _compressor()
                chunks = _PgChunkWriter(conn, writer.compressor)
                derived, values = _store_document(trace_id, pieces, chunks)
                if chunks.row_id is None:
                    row_id = conn.execute(_row_insert("sarv_traces", "%s") + " RETURNING id", values).fetchone()[0]
                else:
                    row_id = chunks.row_id
                    conn.execute(_row_update("sarv_traces", "%s"), values + (row_id,))
            writer.schema_ready = True
        except psycopg.Error as exc:
            _pg_forget(writer)  # a broken connection is not reused
            raise _pg_error(url, exc) from None
        except SarvDatabaseError:
            _pg_forget(writer)
            raise
    _note_saved(url, trace_id, row_id, derived)
    return row_id


def _pg_reading(url: str, timeout: float):
    """A connection to a store that has our tables, or None when it has none yet."""
    wait_for_saves(url, timeout)
    conn = _pg_connect(url, timeout)
    psycopg = _pg_module()
    try:
        if _pg_check(conn, url):
            return conn
    except psycopg.Error as exc:
        conn.close()
        raise _pg_error(url, exc) from None
    except BaseException:
        conn.close()
        raise
    conn.close()
    return None


def _pg_query(url: str, timeout: float, query: str, params=(), empty=None):
    """Rows of one query (`empty` when the store has no tables yet)."""
    psycopg = _pg_module()
    conn = _pg_reading(url, timeout)
    if conn is None:
        return empty
    try:
        return conn.execute(query, params).fetchall()
    except psycopg.Error as exc:
        raise _pg_error(url, exc) from None
    finally:
        conn.close()


def _pg_filters(source, test, since, after_row):
    clauses, params = [], []
    if after_row is not None:
        clauses.append("id > %s")
        params.append(int(after_row))
    if source is not None:
        clauses.append("source = %s")
        params.append(source)
    if test is not None:
        clauses.append("strpos(test_name, %s) > 0")
        params.append(test)
    if since is not None:
        clauses.append("created >= %s")
        params.append(float(since))
    return ((" WHERE " + " AND ".join(clauses)) if clauses else ""), params


def _pg_list(url, limit, timeout, source, test, since, after_row=None) -> list:
    where, params = _pg_filters(source, test, since, after_row)
    query = _PG_SUMMARY + where + " ORDER BY id DESC"
    if limit is not None:
        query += " LIMIT %s"
        params.append(int(limit))
    return [TraceSummary(*row) for row in _pg_query(url, timeout, query, params, empty=[])]


def _pg_find(url, trace_id, timeout):
    rows = _pg_query(url, timeout, _PG_SUMMARY + " WHERE trace_id = %s ORDER BY id DESC LIMIT 1", (trace_id,), [])
    return TraceSummary(*rows[0]) if rows else None


class _PgTraceStream(TraceStream):
    _DOCUMENT_QUERY = "SELECT document FROM sarv_traces WHERE id = %s"
    _CHUNK_QUERY = "SELECT data FROM sarv_trace_chunks WHERE trace_row = %s AND seq = %s"


def _pg_open_trace(url, trace_id, timeout) -> TraceStream:
    psycopg = _pg_module()
    conn = _pg_reading(url, timeout)
    if conn is None:
        raise TraceNotFound("no trace %s: %s holds no traces" % (trace_id, _shown(url)))
    try:
        row = conn.execute(
            _PG_SUMMARY.replace(" FROM sarv_traces", ", encoding, chunks FROM sarv_traces")
            + " WHERE trace_id = %s ORDER BY id DESC LIMIT 1",
            (trace_id,),
        ).fetchone()
    except psycopg.Error as exc:
        conn.close()
        raise _pg_error(url, exc) from None
    if row is None:
        conn.close()
        raise TraceNotFound("no trace %s in %s" % (trace_id, _shown(url)))
    return _PgTraceStream(conn, _shown(url), TraceSummary(*row[:-2]), row[-2], row[-1])


def _pg_resolve(url, text, timeout) -> str:
    if text == "last":
        rows = _pg_query(url, timeout, "SELECT trace_id FROM sarv_traces ORDER BY id DESC LIMIT 1", (), [])
        if not rows:
            raise TraceNotFound("%s holds no traces" % _shown(url))
        return rows[0][0]
    rows = _pg_query(
        url,
        timeout,
        "SELECT DISTINCT trace_id FROM sarv_traces WHERE trace_id = %s OR left(trace_id, %s) = %s"
        " OR right(trace_id, %s) = %s LIMIT 3",
        (text, len(text), text, len(text), text),
        [],
    )
    ids = [row[0] for row in rows]
    if text in ids:
        return text
    if not ids:
        raise TraceNotFound("no trace %s in %s" % (text, _shown(url)))
    if len(ids) > 1:
        raise TraceNotFound(
            "%s names more than one trace in %s (%s, ...): give more of the id"
            % (text, _shown(url), ", ".join(ids[:2]))
        )
    return ids[0]


def _pg_remove(url, where: str, params, timeout) -> int:
    # The conditions are the SQLite ones of delete_traces and prune_traces, written with
    # "?" and the SQLite table's name.
    where = where.replace("?", "%s").replace("FROM traces", "FROM sarv_traces")
    psycopg = _pg_module()
    conn = _pg_reading(url, timeout)
    if conn is None:
        return 0
    try:
        with conn.transaction():
            rows = [r[0] for r in conn.execute("SELECT id FROM sarv_traces" + where, params).fetchall()]
            if rows:
                conn.execute("DELETE FROM sarv_trace_chunks WHERE trace_row = ANY(%s)", (rows,))
                conn.execute("DELETE FROM sarv_traces WHERE id = ANY(%s)", (rows,))
        return len(rows)
    except psycopg.Error as exc:
        raise _pg_error(url, exc) from None
    finally:
        conn.close()
