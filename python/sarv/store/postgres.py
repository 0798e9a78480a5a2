"""Trace stores in a PostgreSQL database: a store shared by many processes and hosts.

A location that is a PostgreSQL URL ("postgresql://user@host/dbname") names
such a store: the tables of sarv.store.schema, named `sarv_traces`,
`sarv_trace_chunks` and `sarv_meta`, in that database (created by the first
save), the same functions and commands. It needs the psycopg package
(`pip install sarv[postgresql]`).
"""

from __future__ import annotations

import os
import threading

from sarv.store import columns, rows
from sarv.store.base import Store, Writers
from sarv.store.errors import NotASarvDatabase, SarvDatabaseError, SchemaVersionError, TraceNotFound
from sarv.store.listeners import note_saved
from sarv.store.locations import shown_url
from sarv.store.schema import (
    APPLICATION,
    SCHEMA_VERSION,
    SUMMARY_COLUMNS,
    Dialect,
    TraceSummary,
    row_insert,
    row_update,
    where,
)

DIALECT = Dialect("%s", "sarv_traces", lambda column: "strpos(%s, %%s) > 0" % column)

_SCHEMA = """
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
_SCHEMA_LOCK = 0x5A52_5601
_SUMMARY = "SELECT %s FROM sarv_traces" % ", ".join(SUMMARY_COLUMNS)
_STREAMED = "SELECT %s, encoding, chunks FROM sarv_traces" % ", ".join(SUMMARY_COLUMNS)


def _module():
    try:
        import psycopg
    except ImportError as exc:
        raise SarvDatabaseError(
            "a PostgreSQL trace database needs the psycopg package (pip install 'sarv[postgresql]'): %s" % exc
        ) from None
    return psycopg


def _error(url: str, exc: Exception) -> SarvDatabaseError:
    message = " ".join(str(exc).split()) or type(exc).__name__
    return SarvDatabaseError("trace database %s: %s" % (shown_url(url), message))


def _connect(url: str, timeout: float):
    psycopg = _module()
    try:
        options = {"connect_timeout": max(1, int(min(timeout, 3600)))} if timeout else {}
        conn = psycopg.connect(url, autocommit=True, **options)
    except psycopg.Error as exc:
        raise SarvDatabaseError(
            "cannot open trace database %s: %s" % (shown_url(url), " ".join(str(exc).split()))
        ) from None
    return conn


def _check(conn, url: str) -> bool:
    """True if the database holds our tables, False if it holds none of them."""
    found = conn.execute(
        "SELECT to_regclass('sarv_traces') IS NOT NULL, to_regclass('sarv_meta') IS NOT NULL"
    ).fetchone()
    if not any(found):
        return False
    if not all(found):
        raise NotASarvDatabase("%s holds a table sarv_traces or sarv_meta that sarv did not make" % shown_url(url))
    meta = dict(conn.execute("SELECT key, value FROM sarv_meta").fetchall())
    if meta.get("application") != APPLICATION:
        raise NotASarvDatabase("%s holds tables named like sarv's that are not a sarv trace store" % shown_url(url))
    if meta.get("schema_version") != str(SCHEMA_VERSION):
        raise SchemaVersionError(
            "%s has trace store schema version %s; this sarv reads version %d"
            % (shown_url(url), meta.get("schema_version"), SCHEMA_VERSION)
        )
    return True


class _Writer:
    """The connection a process saves through, kept open between saves."""

    def __init__(self, url: str, timeout: float) -> None:
        self.lock = threading.Lock()
        self.url = url
        self.pid = os.getpid()
        self.conn = _connect(url, timeout)
        self.schema_ready = False
        self.compressor = None

    def close(self) -> None:
        try:
            self.conn.close()
        except Exception:
            pass


_cache = Writers()


def _writer(url: str, timeout: float) -> _Writer:
    return _cache.get(url, lambda w: w.pid == os.getpid() and not w.conn.closed, lambda: _Writer(url, timeout))


def _forget(writer: _Writer) -> None:
    _cache.forget(writer.url, writer)


def close_connections() -> None:
    """Closes the connections kept for saving (done at exit as well)."""
    _cache.close_all()


class _ChunkWriter(rows.ChunkWriter):
    def store_chunk(self, data) -> None:
        if self.row_id is None:
            self.row_id = self.conn.execute(
                "INSERT INTO sarv_traces (trace_id, created, size, document) VALUES ('', 0, 0, ''::bytea) RETURNING id"
            ).fetchone()[0]
        self.conn.execute(
            "INSERT INTO sarv_trace_chunks (trace_row, seq, data) VALUES (%s, %s, %s)", (self.row_id, self.chunks, data)
        )


def _store(writer: _Writer, url: str, trace_id: str, pieces):
    """Inside a transaction: the schema made if need be, then one trace's rows;
    (derived facts, row id)."""
    conn = writer.conn
    if not writer.schema_ready:
        conn.execute("SELECT pg_advisory_xact_lock(%s)", (_SCHEMA_LOCK,))
        if not _check(conn, url):
            conn.execute(_SCHEMA)
        _check(conn, url)
    if writer.compressor is None:
        writer.compressor = rows.compressor()
    chunks = _ChunkWriter(conn, writer.compressor, None, columns.known_size(pieces))
    derived, values = rows.store_document(trace_id, pieces, chunks)
    if chunks.row_id is None:
        return derived, conn.execute(row_insert("sarv_traces", "%s") + " RETURNING id", values).fetchone()[0]
    conn.execute(row_update("sarv_traces", "%s"), values + (chunks.row_id,))
    return derived, chunks.row_id


class _TraceStream(rows.TraceStream):
    document_query = "SELECT document FROM sarv_traces WHERE id = %s"
    chunk_query = "SELECT data FROM sarv_trace_chunks WHERE trace_row = %s AND seq = %s"


class PostgresStore(Store):
    """A trace store in a PostgreSQL database. A batch of saves is not
    shared here: each save commits at once (the server is another process)."""

    def __init__(self, url: str) -> None:
        self.path = url
        self.shown = shown_url(url)

    def save(self, trace_id: str, pieces, timeout: float, batch=None) -> int:
        url = self.path
        psycopg = _module()
        writer = _writer(url, timeout)
        with writer.lock:
            try:
                with writer.conn.transaction():
                    derived, row_id = _store(writer, url, trace_id, pieces)
                writer.schema_ready = True
            except psycopg.Error as exc:
                _forget(writer)  # a broken connection is not reused
                raise _error(url, exc) from None
            except SarvDatabaseError:
                _forget(writer)
                raise
        note_saved(url, trace_id, row_id, derived)
        return row_id

    def _reading(self, timeout: float):
        """A connection to a store that has our tables, or None when it has none yet."""
        conn = _connect(self.path, timeout)
        psycopg = _module()
        try:
            if _check(conn, self.path):
                return conn
        except psycopg.Error as exc:
            conn.close()
            raise _error(self.path, exc) from None
        except BaseException:
            conn.close()
            raise
        conn.close()
        return None

    def _query(self, timeout: float, query: str, params=(), empty=None):
        """Rows of one query (`empty` when the store has no tables yet)."""
        psycopg = _module()
        conn = self._reading(timeout)
        if conn is None:
            return empty
        try:
            return conn.execute(query, params).fetchall()
        except psycopg.Error as exc:
            raise _error(self.path, exc) from None
        finally:
            conn.close()

    def list_traces(self, selection, limit, timeout: float) -> list:
        conditions, params = where(selection, DIALECT)
        query = _SUMMARY + conditions + " ORDER BY id DESC"
        if limit is not None:
            query += " LIMIT %s"
            params.append(int(limit))
        return [TraceSummary(*row) for row in self._query(timeout, query, params, empty=[])]

    def count_traces(self, selection, timeout: float) -> int:
        conditions, params = where(selection, DIALECT)
        return self._query(timeout, "SELECT count(*) FROM sarv_traces" + conditions, params, [(0,)])[0][0]

    def find_trace(self, trace_id: str, timeout: float):
        found = self._query(timeout, _SUMMARY + " WHERE trace_id = %s ORDER BY id DESC LIMIT 1", (trace_id,), [])
        return TraceSummary(*found[0]) if found else None

    def open_trace(self, trace_id: str, timeout: float):
        psycopg = _module()
        conn = self._reading(timeout)
        if conn is None:
            raise TraceNotFound("no trace %s: %s holds no traces" % (trace_id, self.shown))
        try:
            row = conn.execute(_STREAMED + " WHERE trace_id = %s ORDER BY id DESC LIMIT 1", (trace_id,)).fetchone()
        except psycopg.Error as exc:
            conn.close()
            raise _error(self.path, exc) from None
        if row is None:
            conn.close()
            raise TraceNotFound("no trace %s in %s" % (trace_id, self.shown))
        return _TraceStream(conn, self.shown, TraceSummary(*row[:-2]), row[-2], row[-1])

    def resolve_trace_id(self, text: str, timeout: float) -> str:
        if text == "last":
            found = self._query(timeout, "SELECT trace_id FROM sarv_traces ORDER BY id DESC LIMIT 1", (), [])
            if not found:
                raise TraceNotFound("%s holds no traces" % self.shown)
            return found[0][0]
        found = self._query(
            timeout,
            "SELECT DISTINCT trace_id FROM sarv_traces WHERE trace_id = %s OR left(trace_id, %s) = %s"
            " OR right(trace_id, %s) = %s LIMIT 3",
            (text, len(text), text, len(text), text),
            [],
        )
        ids = [row[0] for row in found]
        if text in ids:
            return text
        if not ids:
            raise TraceNotFound("no trace %s in %s" % (text, self.shown))
        if len(ids) > 1:
            raise TraceNotFound(
                "%s names more than one trace in %s (%s, ...): give more of the id"
                % (text, self.shown, ", ".join(ids[:2]))
            )
        return ids[0]

    def check(self, timeout: float) -> None:
        url = self.path
        psycopg = _module()
        trial = _Writer(url, timeout)  # (a connection of its own, closed after)
        try:
            conn = trial.conn
            conn.execute("BEGIN")
            try:
                # What a save does, rolled back: the tables' check (made where a save would
                # make them), a row of each table written.
                _, row_id = _store(trial, url, "trc_check", [b""])
                conn.execute(
                    "INSERT INTO sarv_trace_chunks (trace_row, seq, data) VALUES (%s, 0, ''::bytea)", (row_id,)
                )
            finally:
                conn.execute("ROLLBACK")
        except psycopg.Error as exc:
            raise _error(url, exc) from None
        finally:
            trial.close()

    def remove(self, selection, timeout: float, vacuum: bool) -> int:
        psycopg = _module()
        conn = self._reading(timeout)
        if conn is None:
            return 0
        conditions, params = where(selection, DIALECT)
        try:
            with conn.transaction():
                found = [r[0] for r in conn.execute("SELECT id FROM sarv_traces" + conditions, params).fetchall()]
                if found:
                    conn.execute("DELETE FROM sarv_trace_chunks WHERE trace_row = ANY(%s)", (found,))
                    conn.execute("DELETE FROM sarv_traces WHERE id = ANY(%s)", (found,))
            return len(found)
        except psycopg.Error as exc:
            raise _error(self.path, exc) from None
        finally:
            conn.close()
