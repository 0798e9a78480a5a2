"""Trace stores in a SQLite file.

The file, its folder and the schema are created by the first save. A trace
holds the program's values, so a folder sarv creates is private to its owner
(mode 700) and so is a database file it creates (600, which SQLite gives its
-wal, -shm and -journal files too); an existing file keeps its mode. Files use
SQLite's write-ahead log so that listing traces does not block a profiled
program that is saving one (and the other way round). A process keeps one
connection per database open for its saves and closes it at exit, which
also removes the log files.

A file written by schema version 1 is upgraded in place by the first save of
this version and read as it is until then. The request columns came later
without a new schema version: the first save of this version adds them, and
readers take NULL for them where a file lacks them.
"""

from __future__ import annotations

import itertools
import operator
import os
import pathlib
import sqlite3
import tempfile
import threading
import time

from sarv.store import columns, rows
from sarv.store.base import Store, Writers
from sarv.store.errors import BatchLost, NotASarvDatabase, SarvDatabaseError, SchemaVersionError, TraceNotFound
from sarv.store.listeners import note_saved
from sarv.store.locations import location
from sarv.store.schema import (
    APPLICATION,
    REQUEST_COLUMNS,
    ROW_COLUMNS,
    SCHEMA_VERSION,
    SUMMARY_COLUMNS,
    Dialect,
    TraceSummary,
    row_insert,
    row_update,
    where,
)

# instr() needs no escaping, as LIKE would for % and _.
DIALECT = Dialect("?", "traces", lambda column: "instr(%s, ?) > 0" % column)
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


def make_folders(folder: str) -> None:
    """Makes `folder` and those missing above it, each private to its owner
    (mode 700 whatever the umask: they will hold the program's values)."""
    missing = []
    while not os.path.isdir(folder):
        missing.append(folder)
        parent = os.path.dirname(folder)
        if parent == folder:
            break
        folder = parent
    for folder in reversed(missing):
        try:
            os.mkdir(folder, 0o700)
        except FileExistsError:
            if not os.path.isdir(folder):
                raise
            continue  # (made meanwhile by another process: its mode is its own)
        os.chmod(folder, 0o700)  # (mkdir's mode went through the umask)


def _connect_for_saving(db_path: str, timeout: float) -> sqlite3.Connection:
    """A connection to the file, which is made (empty, private) if need be."""
    parent = os.path.dirname(os.path.abspath(db_path))
    try:
        make_folders(parent)
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
    try:
        conn = sqlite3.connect(db_path, timeout=_lock_wait(timeout), isolation_level=None, check_same_thread=False)
        conn.execute("PRAGMA page_size = %d" % _PAGE_SIZE)  # a new file only; an existing one keeps its own
        return conn
    except sqlite3.Error as exc:
        raise SarvDatabaseError("cannot open trace database %s: %s" % (db_path, exc)) from exc


# Free bytes below which a reader does not make a write-ahead log's files: the index file
# alone grows by 32 KiB at a time, and failing that, it is left behind.
_READER_ROOM = 1 << 20


def _reading_modes(db_path: str) -> tuple:
    """The ways to open the file for reading, in order of preference: the URI
    query and a statement to run first. None of them writes the database;
    none that could leave files behind is tried."""
    shared = ("?mode=rw", "PRAGMA query_only = 1"), ("?mode=ro", None)
    # As a last resort the file is read as it is on disk, without locks or its log:
    # what a log not written back holds is missed, and a writer elsewhere is not seen.
    immutable = ("?immutable=1", None)
    try:
        with open(db_path, "rb") as file:
            in_wal_mode = file.read(20)[18:20] == b"\x02\x02"
    except OSError:
        in_wal_mode = False  # (opening it says why)
    if not in_wal_mode or os.path.exists(db_path + "-shm"):
        # A file with a rollback journal is read without making any; a log in use is
        # joined, and removed by its last connection.
        return (*shared, immutable)
    # A reader of a file in write-ahead-log mode makes the log and its index (and, opened
    # for writing, removes them as the last connection): only where that can be done and
    # undone. On a read-only mount, in a folder or of a file it may not write, or on a full
    # disk, it would fail ("unable to open database file", "disk I/O error"), leaving
    # empty files behind where it made them.
    folder = os.path.dirname(os.path.abspath(db_path))
    try:
        stats = os.statvfs(folder)
        room = stats.f_bavail * stats.f_frsize >= _READER_ROOM
    except (AttributeError, OSError):
        room = True  # (no statvfs: as before)
    if room and os.access(folder, os.W_OK) and os.access(db_path, os.W_OK):
        return (*shared, immutable)
    return (immutable,)


def _busy(exc: sqlite3.Error) -> bool:
    """Whether the error is another connection's lock (not one to try another mode for)."""
    code = getattr(exc, "sqlite_errorcode", None)
    if code is not None:
        return code & 0xFF in (5, 6)  # SQLITE_BUSY, SQLITE_LOCKED
    return "locked" in str(exc)


def _connect_for_reading(db_path: str, timeout: float) -> sqlite3.Connection:
    """A connection that reads the file and writes nothing: neither the file
    nor files beside it that it would not remove. Opened for writing where
    the file system allows (and told to write nothing): the write-ahead log
    files a reader opens are then removed when it closes, as the last
    connection; a read-only connection leaves them behind."""
    uri = pathlib.Path(os.path.abspath(db_path)).as_uri()
    failure = None
    for query, settings in _reading_modes(db_path):
        conn = None
        try:
            conn = sqlite3.connect(
                uri + query, timeout=timeout, isolation_level=None, uri=True, check_same_thread=False
            )
            if settings is not None:
                conn.execute(settings)
            conn.execute("SELECT 1 FROM sqlite_master LIMIT 1").fetchall()  # (opens the file and its log)
            return conn
        except sqlite3.Error as exc:
            if conn is not None:
                conn.close()
            failure = failure or exc
            if _busy(exc):
                break  # (read through the lock, without it, a reader could see a write half done)
            if _not_a_database(exc):
                raise _wrap_sqlite_error(db_path, exc) from exc
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
    if meta.get("application") != APPLICATION:
        raise NotASarvDatabase("%s is not a sarv trace database" % db_path)
    version = meta.get("schema_version")
    if version not in ("1", str(SCHEMA_VERSION)):
        raise SchemaVersionError(
            "%s has trace database schema version %s; this sarv reads versions 1 to %d"
            % (db_path, version, SCHEMA_VERSION)
        )
    return int(version)


def _not_a_database(exc: sqlite3.Error) -> bool:
    return isinstance(exc, sqlite3.DatabaseError) and "not a database" in str(exc)


def _wrap_sqlite_error(db_path: str, exc: sqlite3.Error) -> SarvDatabaseError:
    if _not_a_database(exc):
        return NotASarvDatabase("%s is not a database: %s" % (db_path, exc))
    return SarvDatabaseError("trace database %s: %s" % (db_path, exc))


class _Writer:
    """The connection a process saves through, kept open between saves (a
    test suite saves a trace per test). Used under its lock only."""

    def __init__(self, db_path: str, timeout: float) -> None:
        self.lock = threading.Lock()
        self.db_path = db_path
        self.pid = os.getpid()
        self.conn = _connect_for_saving(db_path, timeout)
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


_cache = Writers()
_writers = _cache.by_key  # (read by tests)


def _writer(db_path: str, timeout: float) -> _Writer:
    return _cache.get(location(db_path), _Writer.fresh, lambda: _Writer(db_path, timeout))


def _forget_writer(writer: _Writer) -> None:
    _cache.forget(location(writer.db_path), writer)


def close_connections() -> None:
    """Closes the connections kept for saving (done at exit as well); the
    last connection to a database removes its -wal and -shm files."""
    _cache.close_all()


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
        _execute_script(conn, _SCHEMA)
        conn.executemany(
            "INSERT INTO meta (key, value) VALUES (?, ?)",
            [("application", APPLICATION), ("schema_version", str(SCHEMA_VERSION))],
        )
    elif version == 1:
        _execute_script(conn, _UPGRADE_FROM_1)
    if version != 0 and not writer.request_columns:
        present = _columns(conn)
        missing = [(name, kind) for name, kind in REQUEST_COLUMNS if name not in present]
        for name, kind in missing:
            conn.execute("ALTER TABLE traces ADD COLUMN %s %s" % (name, kind))
        # Trusted from now on only once seen committed: this transaction may roll back.
        writer.request_columns = not missing
    if version == SCHEMA_VERSION and writer.request_columns:
        writer.data_version = data_version  # (found complete, not made so by this transaction)
    return version == 0


def _execute_script(conn: sqlite3.Connection, script: str) -> None:
    # One statement at a time: executescript() would commit the write transaction.
    for statement in script.split(";"):
        if statement.strip():
            conn.execute(statement)


def _columns(conn: sqlite3.Connection) -> set:
    return {row[1] for row in conn.execute("PRAGMA table_info(traces)")}


_inserts: dict = {}  # which of ROW_COLUMNS have a value -> the INSERT naming those
_NO_VALUES = (None,) * len(ROW_COLUMNS)


def _insert_row(conn: sqlite3.Connection, values) -> int:
    """Inserts a row of `traces` (the values of ROW_COLUMNS); its id."""
    # Only the columns with a value are named (the others are NULL all the same): sqlite3
    # binds None by looking for an adapter, which makes and drops an AttributeError.
    present = tuple(map(operator.is_not, values, _NO_VALUES))
    statement = _inserts.get(present)
    if statement is None:
        columns = list(itertools.compress(ROW_COLUMNS, present))
        statement = _inserts[present] = row_insert("traces", "?", columns)
    return conn.execute(statement, list(itertools.compress(values, present))).lastrowid


def _drop_if_unusable(writer: _Writer, exc: Exception) -> None:
    """After a failed save: drops a connection that may be what failed."""
    if isinstance(exc, SarvDatabaseError) or writer.identity is None:
        # Not our file (any more), or a connection that never saved: opening it may be
        # what failed.
        _forget_writer(writer)


# Seconds a save waits for another connection's lock before it says so (and waits on).
_LOCK_NOTICE = 1.0
_NOTICE_AGAIN = 60.0  # seconds before the wait for the same file's lock is said again
_noticed: dict = {}  # database path -> when its wait was last said (time.monotonic())


def _lock_wait(timeout: float) -> float:
    """A saving connection's busy timeout: SQLite waits this long at a time
    (see _patiently), the whole of `timeout` when it is short."""
    return min(timeout, _LOCK_NOTICE)


def _set_timeout(writer: _Writer, timeout) -> None:
    if writer.timeout != timeout:
        if _lock_wait(writer.timeout) != _lock_wait(timeout):
            writer.conn.execute("PRAGMA busy_timeout = %d" % int(_lock_wait(timeout) * 1000))
        writer.timeout = timeout


def _notice(text: str) -> None:
    # Straight to standard error: a save may run inside the profile hook, where no code of
    # the program (a logging handler, a replaced sys.stderr) may run.
    data = (text + "\n").encode("utf-8", "backslashreplace")
    try:
        while data:
            data = data[os.write(2, data) :]
    except OSError:
        pass  # (no standard error: the wait goes on unsaid)


def _patiently(writer: _Writer, statement: str, db_path: str) -> None:
    """Runs a statement that takes the file's lock (BEGIN IMMEDIATE, COMMIT,
    VACUUM), waiting up to the writer's timeout for another connection's,
    and saying so once it has waited a second."""
    try:
        writer.conn.execute(statement)
        return
    except sqlite3.OperationalError as exc:
        if not _busy(exc) or writer.timeout <= _LOCK_NOTICE:
            raise
    now = time.monotonic()
    deadline = now + writer.timeout - _LOCK_NOTICE
    if now - _noticed.get(writer.db_path, -1e9) >= _NOTICE_AGAIN:
        # (once a minute at most: the workers of a busy server take the lock in turns)
        _noticed[writer.db_path] = now
        _notice(
            "sarv: the trace database %s is locked by another process; waiting up to %d more seconds"
            % (db_path, round(writer.timeout - _LOCK_NOTICE))
        )
    while True:
        try:
            writer.conn.execute(statement)
            return
        except sqlite3.OperationalError as exc:
            if not _busy(exc) or time.monotonic() >= deadline:
                raise


def _rollback(conn: sqlite3.Connection) -> None:
    if conn.in_transaction:
        try:
            conn.execute("ROLLBACK")
        except sqlite3.Error:
            pass  # closing the connection rolls back as well


class _ChunkWriter(rows.ChunkWriter):
    def store_chunk(self, data) -> None:
        if self.row_id is None:
            if self.before_rows is not None:
                self.before_rows()
            cursor = self.conn.execute("INSERT INTO traces (trace_id, created, size, document) VALUES ('', 0, 0, x'')")
            self.row_id = cursor.lastrowid
        self.conn.execute(
            "INSERT INTO trace_chunks (trace_row, seq, data) VALUES (?, ?, ?)", (self.row_id, self.chunks, data)
        )


def _store_one(writer: _Writer, conn: sqlite3.Connection, trace_id: str, pieces, before_rows=None):
    """Inside a write transaction: one trace's rows; (derived facts, row id).
    `before_rows` is called before the first statement when there are
    several; a single statement that fails leaves nothing behind."""
    if writer.compressor is None:
        writer.compressor = rows.compressor()
    chunks = _ChunkWriter(conn, writer.compressor, before_rows, columns.known_size(pieces))
    derived, values = rows.store_document(trace_id, pieces, chunks)
    if chunks.row_id is None:
        return derived, _insert_row(conn, values)
    conn.execute(row_update("traces", "?"), values + (chunks.row_id,))
    return derived, chunks.row_id


def _settle_file(writer: _Writer, conn: sqlite3.Connection, db_path: str, created_schema: bool) -> None:
    """After the first commit through a connection: the file's journal and identity."""
    if writer.identity is not None:
        return
    if created_schema:
        try:
            # (it waits for readers of the new file, as long as a save would)
            _patiently(writer, "PRAGMA journal_mode=WAL", db_path)
        except sqlite3.Error:
            pass  # e.g. a file system without shared memory: keep the default journal
    try:
        # Saves need not wait for the disk: the log is synced at checkpoints.
        conn.execute("PRAGMA synchronous=NORMAL")
        st = os.stat(db_path)
        writer.identity = (st.st_dev, st.st_ino)
    except (sqlite3.Error, OSError):
        pass


class Transaction:
    """The transaction a Batch of saves shares (one database at a time: a
    save into another commits it and begins anew)."""

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
            _patiently(writer, "BEGIN IMMEDIATE", db_path)
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
            raise BatchLost([trace_id for _, trace_id, _, _ in lost])

    def commit(self) -> None:
        """Commits the open transaction; raises BatchLost naming the traces
        it held if that fails."""
        writer = self.writer
        if writer is None:
            return
        saved, self.saved = self.saved, []
        self.writer = None
        try:
            try:
                _patiently(writer, "COMMIT", self.db_path)
            except sqlite3.Error as exc:
                _rollback(writer.conn)
                error = _wrap_sqlite_error(self.db_path, exc)
                raise BatchLost([trace_id for _, trace_id, _, _ in saved], error) from exc
            for db_path, trace_id, row_id, derived in saved:
                note_saved(db_path, trace_id, row_id, derived)
            _settle_file(writer, writer.conn, self.db_path, self.created_schema)
        finally:
            writer.lock.release()


def _open_for_reading(db_path: str, timeout: float):
    """(read-only connection, schema version), or None if there is no
    database (yet)."""
    if not os.path.exists(db_path):
        return None
    conn = _connect_for_reading(db_path, timeout)
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


# What a file of an older layout lacks is read as this.
_ABSENT = {"stored_size": "length(document)", "encoding": "NULL", "chunks": "0"}


def _select(version: int, conn: sqlite3.Connection, extra=()) -> str:
    """SELECT of a TraceSummary's columns (and `extra` ones) FROM traces."""
    present = _columns(conn)
    if version < 2:
        present -= {"stored_size", "command", "outcome", "encoding", "chunks"}
    if "duration" not in present:
        present -= {"method", "path", "status"}
    chosen = [name if name in present else _ABSENT.get(name, "NULL") for name in SUMMARY_COLUMNS + tuple(extra)]
    return "SELECT %s FROM traces" % ", ".join(chosen)


class _TraceStream(rows.TraceStream):
    document_query = "SELECT document FROM traces WHERE id = ?"
    chunk_query = "SELECT data FROM trace_chunks WHERE trace_row = ? AND seq = ?"

    def database_error(self, exc: Exception):
        return _wrap_sqlite_error(self._db_path, exc) if isinstance(exc, sqlite3.Error) else None


class SqliteStore(Store):
    """A trace store in a SQLite file."""

    def __init__(self, path: str) -> None:
        self.path = self.shown = path

    # ----------------------------------------------------------------- saving

    def save(self, trace_id: str, pieces, timeout: float, batch=None) -> int:
        db_path = self.path
        if batch is not None:
            transaction = batch.transaction
            if transaction is None:
                transaction = batch.transaction = Transaction()
            # The saves of one transaction share its connection, whose file was checked
            # when the transaction began: no stat per save, a system call during which the
            # request threads take the interpreter lock that the writer thread then waits for.
            writer = transaction.writer
            if writer is None or transaction.db_path != db_path:
                writer = _writer(db_path, timeout)
            return transaction.save(writer, db_path, trace_id, timeout, pieces)
        writer = _writer(db_path, timeout)
        with writer.lock:
            conn = writer.conn
            try:
                _set_timeout(writer, timeout)
                try:
                    _patiently(writer, "BEGIN IMMEDIATE", db_path)
                    # Checked at every save: another sarv may have changed the file meanwhile.
                    created_schema = _prepare(writer, conn, db_path)
                    derived, row_id = _store_one(writer, conn, trace_id, pieces)
                    _patiently(writer, "COMMIT", db_path)
                except BaseException:
                    _rollback(conn)
                    raise
                note_saved(db_path, trace_id, row_id, derived)
                _settle_file(writer, conn, db_path, created_schema)
                return row_id
            except sqlite3.Error as exc:
                _drop_if_unusable(writer, exc)
                raise _wrap_sqlite_error(db_path, exc) from exc
            except SarvDatabaseError as exc:
                _drop_if_unusable(writer, exc)
                raise

    # ---------------------------------------------------------------- reading

    def _query(self, timeout: float, run, empty=None):
        """run(conn, version) on a read-only connection; `empty` when there is no database."""
        opened = _open_for_reading(self.path, timeout)
        if opened is None:
            return empty
        conn, version = opened
        try:
            return run(conn, version)
        except sqlite3.Error as exc:
            raise _wrap_sqlite_error(self.path, exc) from exc
        finally:
            conn.close()

    def list_traces(self, selection, limit, timeout: float) -> list:
        def run(conn, version):
            conditions, params = where(selection, DIALECT)
            query = _select(version, conn) + conditions + " ORDER BY id DESC"
            if limit is not None:
                query += " LIMIT ?"
                params.append(int(limit))
            return [TraceSummary(*row) for row in conn.execute(query, params)]

        return self._query(timeout, run, [])

    def count_traces(self, selection, timeout: float) -> int:
        def run(conn, version):
            conditions, params = where(selection, DIALECT)
            return conn.execute("SELECT count(*) FROM traces" + conditions, params).fetchone()[0]

        return self._query(timeout, run, 0)

    def find_trace(self, trace_id: str, timeout: float):
        def run(conn, version):
            query = _select(version, conn) + " WHERE trace_id = ? ORDER BY id DESC LIMIT 1"
            return conn.execute(query, (trace_id,)).fetchone()

        row = self._query(timeout, run)
        return TraceSummary(*row) if row is not None else None

    def open_trace(self, trace_id: str, timeout: float):
        db_path = self.path
        opened = _open_for_reading(db_path, timeout)
        if opened is None:
            raise TraceNotFound("no trace %s: %s holds no traces" % (trace_id, db_path))
        conn, version = opened
        try:
            query = _select(version, conn, ("encoding", "chunks"))
            row = conn.execute(query + " WHERE trace_id = ? ORDER BY id DESC LIMIT 1", (trace_id,)).fetchone()
        except sqlite3.Error as exc:
            conn.close()
            raise _wrap_sqlite_error(db_path, exc) from exc
        if row is None:
            conn.close()
            raise TraceNotFound("no trace %s in %s" % (trace_id, db_path))
        return _TraceStream(conn, db_path, TraceSummary(*row[:-2]), row[-2], row[-1])

    def resolve_trace_id(self, text: str, timeout: float) -> str:
        db_path = self.path

        def run(conn, version):
            if text == "last":
                row = conn.execute("SELECT trace_id FROM traces ORDER BY id DESC LIMIT 1").fetchone()
                if row is None:
                    raise TraceNotFound("%s holds no traces" % db_path)
                return [row]
            if conn.execute("SELECT 1 FROM traces WHERE trace_id = ? LIMIT 1", (text,)).fetchone():
                return [(text,)]
            # LIKE would need escaping of % and _; substr comparisons need none.
            return conn.execute(
                "SELECT DISTINCT trace_id FROM traces WHERE substr(trace_id, 1, ?) = ? OR substr(trace_id, -?) = ?"
                " LIMIT 3",
                (len(text), text, len(text), text),
            ).fetchall()

        found = self._query(timeout, run)
        if found is None:
            raise TraceNotFound("no trace %s: %s holds no traces" % (text, db_path))
        return _one_id(text, [row[0] for row in found], db_path)

    def check(self, timeout: float) -> None:
        db_path = self.path
        if os.path.isdir(db_path):
            raise SarvDatabaseError("%s is a folder" % db_path)
        if not os.path.exists(db_path):
            # Made by the first save: its folder is made now, and tried with a scratch file
            # (permission bits say little to root or on a read-only mount).
            folder = os.path.dirname(os.path.abspath(db_path))
            try:
                make_folders(folder)
                with tempfile.TemporaryFile(dir=folder):
                    pass
            except OSError as exc:
                raise SarvDatabaseError("cannot create trace database %s: %s" % (db_path, exc.strerror or exc)) from exc
            return
        try:
            with open(db_path, "r+b"):  # (SQLite would open it read-only, and say less)
                pass
        except OSError as exc:
            raise SarvDatabaseError("cannot write trace database %s: %s" % (db_path, exc.strerror or exc)) from exc
        writer = _writer(db_path, timeout)
        with writer.lock:
            try:
                _set_timeout(writer, timeout)
                _dry_run(writer, db_path)
            except sqlite3.Error as exc:
                _drop_if_unusable(writer, exc)
                raise _wrap_sqlite_error(db_path, exc) from exc
            except SarvDatabaseError as exc:
                _drop_if_unusable(writer, exc)
                raise

    # --------------------------------------------------------------- removing

    def remove(self, selection, timeout: float, vacuum: bool) -> int:
        db_path = self.path
        if not os.path.exists(db_path):
            return 0
        writer = _writer(db_path, timeout)
        with writer.lock:
            try:
                _set_timeout(writer, timeout)
                return _remove(writer, db_path, selection, vacuum)
            except sqlite3.Error as exc:
                _forget_writer(writer)
                raise _wrap_sqlite_error(db_path, exc) from exc
            except SarvDatabaseError:
                _forget_writer(writer)
                raise


def _dry_run(writer: _Writer, db_path: str) -> None:
    """What a save does, rolled back: its lock, the schema's check (made or
    upgraded where a save would), a row of each table written."""
    conn = writer.conn
    _patiently(writer, "BEGIN IMMEDIATE", db_path)
    try:
        _prepare(writer, conn, db_path)
        _, row_id = _store_one(writer, conn, "trc_check", [b""])
        conn.execute("INSERT INTO trace_chunks (trace_row, seq, data) VALUES (?, 0, x'')", (row_id,))
    finally:
        _rollback(conn)


def _one_id(text: str, ids: list, shown: str) -> str:
    """The one trace id `text` names among the `ids` found for it."""
    if not ids:
        raise TraceNotFound("no trace %s in %s" % (text, shown))
    if len(ids) > 1:
        raise TraceNotFound(
            "%s names more than one trace in %s (%s, ...): give more of the id" % (text, shown, ", ".join(ids[:2]))
        )
    return ids[0]


def _remove(writer: _Writer, db_path: str, selection, vacuum: bool) -> int:
    """Under the writer's lock: removes the selected rows; how many."""
    conn = writer.conn
    _patiently(writer, "BEGIN IMMEDIATE", db_path)
    try:
        version = _schema_version(conn, db_path)
        if version == 0:
            conn.execute("ROLLBACK")
            return 0
        if version == 1:
            _prepare(writer, conn, db_path)
        conditions, params = where(selection, DIALECT)
        found = [r[0] for r in conn.execute("SELECT id FROM traces" + conditions, params)]
        for start in range(0, len(found), 500):
            batch = found[start : start + 500]
            marks = ", ".join("?" * len(batch))
            conn.execute("DELETE FROM trace_chunks WHERE trace_row IN (%s)" % marks, batch)
            conn.execute("DELETE FROM traces WHERE id IN (%s)" % marks, batch)
        conn.execute("COMMIT")
    except BaseException:
        if conn.in_transaction:
            conn.execute("ROLLBACK")
        raise
    if found and (vacuum == "always" or (vacuum and _mostly_free(conn))):
        _patiently(writer, "VACUUM", db_path)  # gives the freed pages back to the file system
    return len(found)


# VACUUM rewrites the whole file (seconds for a few GB): worth it once this share of its pages
# is free. Fewer free pages are reused by the next saves, and the file does not grow until
# they are.
_COMPACT_AT = 0.25


def _mostly_free(conn) -> bool:
    pages = conn.execute("PRAGMA page_count").fetchone()[0]
    free = conn.execute("PRAGMA freelist_count").fetchone()[0]
    return pages > 0 and free >= pages * _COMPACT_AT
