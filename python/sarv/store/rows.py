"""A document as the rows that hold it: compressed as it arrives, cut into
chunks, and read back in pieces. The statements are the backend's own
(`ChunkWriter.store_chunk`, `TraceStream`'s queries).

Documents are stored compressed with zstandard (`encoding` "zstd"), in
`document` when the compressed form is small, else in rows of `trace_chunks`
of 64 KiB each, so that no trace is too large for SQLite (whose values stop
at a gigabyte) and none is held whole in memory, neither when it is saved nor
when it is read. Rows written by schema version 1 (`encoding` NULL) hold the
document as it was given.
"""

from __future__ import annotations

import time

from sarv.store import columns
from sarv.store.errors import SarvDatabaseError
from sarv.store.schema import TraceSummary, parent_of

# Bound at import: a program that replaces time.time does not date its traces.
_now = time.time

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
_READ_SIZE = columns.READ_SIZE


def compressor():
    """A zstandard compressor with sarv's parameters, or None without the package."""
    try:
        import zstandard
    except ImportError:
        return None
    parameters = zstandard.ZstdCompressionParameters(strategy=zstandard.STRATEGY_FAST, **_ZSTD_PARAMETERS)
    return zstandard.ZstdCompressor(compression_params=parameters)


class ChunkWriter:
    """Compresses the document as it arrives and stores the compressed bytes
    in rows of CHUNK_SIZE; the first row is written only once a second one
    follows (a small trace is one row of `traces`). A backend's subclass
    writes the rows (`store_chunk`)."""

    def __init__(self, conn, compressor, before_rows=None, whole_size=None) -> None:
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
            self.store_chunk(self.held)
            self.chunks += 1
        self.held = chunk
        self.stored_size += len(chunk)

    def store_chunk(self, data) -> None:
        """Stores one row of trace_chunks (the backend's statements); the
        first makes the row of `traces` it belongs to (`row_id`)."""
        raise NotImplementedError

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
        self.store_chunk(last)
        self.chunks += 1
        return b""


def store_document(trace_id: str, pieces, chunks: ChunkWriter):
    """Streams the document into `chunks` while reading what the row says of
    it; (those facts, the values of ROW_COLUMNS)."""
    described = columns.is_described(pieces)
    if described and chunks.at_once is not None:
        # A small document (under pytest, every test's) is read in one call: the core's
        # pieces are many for few bytes, and each would be a round through columns.Pieces.
        whole = b"".join(pieces)
        chunks.write(whole)
        derived = columns.derive_whole(whole, pieces)
        return derived, row_values(trace_id, len(whole), derived, chunks)
    reader = columns.Pieces(pieces, chunks.write)
    derived = columns.derive_described(reader, pieces) if described else columns.derive_from(reader)
    return derived, row_values(trace_id, reader.size, derived, chunks)


def row_values(trace_id: str, size: int, derived: columns.Derived, chunks: ChunkWriter) -> tuple:
    """The values of ROW_COLUMNS, once the document went through `chunks`."""
    inline = chunks.finish()
    return (
        trace_id,
        _now(),
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
        parent_of(trace_id),
    )


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

    # The backend's queries, and its errors as the SarvDatabaseError to raise (else None).
    document_query = ""
    chunk_query = ""

    def database_error(self, exc: Exception):
        return None

    def _stored(self, row_id: int, chunks: int):
        row = self._conn.execute(self.document_query, (row_id,)).fetchone()
        if row is not None and row[0]:
            yield row[0]
        if chunks:
            for seq in range(chunks):
                found = self._conn.execute(self.chunk_query, (row_id, seq)).fetchone()
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
            yield from self._decompressed(stored, encoding)
        except SarvDatabaseError:
            raise
        except Exception as exc:  # the driver's errors, zstandard.ZstdError and the like
            error = self.database_error(exc)
            if error is not None:
                raise error from exc
            raise SarvDatabaseError(
                "trace %s in %s cannot be read: %s: %s"
                % (self.summary.trace_id, self._db_path, type(exc).__name__, exc)
            ) from exc

    def _decompressed(self, stored, encoding):
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
