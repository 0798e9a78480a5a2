"""The columns a trace's row says of its document, read from the document's bytes.

The listing columns (`source`, `version`, `started`, `record_count`, `test_name`,
`outcome`, `command`, and for a web request's trace `method`, `path`, `status`
and `duration`, or NULL when the document does not provide them, and
`decode_error` saying why when it cannot be read) come from here alone. A
document the profiler's core describes (its pieces, or a DescribedDocument) is
read from the core's byte layout: its first piece, the entries after the
records and the records at the edges, never the records between. Any other
document is walked record by record, one record in memory at a time.
"""

from __future__ import annotations

import struct

_TEST_NAME_KEYS = ("node_id", "nodeid", "test", "test_name")
_MAX_TEST_NAME = 1000
_MAX_COMMAND = 1000
_MAX_PATH = 2000
READ_SIZE = 1 << 20


class Derived:
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


class Pieces:
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


def derive_from(reader: Pieces) -> Derived:
    """Listing columns, read record by record (one record in memory at a
    time); whatever cannot be read stays NULL and the reason is kept. Only
    test markers are decoded; other records are skipped undecoded."""
    import msgpack

    derived = Derived()
    unpacker = msgpack.Unpacker(reader, raw=False, strict_map_key=False, max_buffer_size=2**31 - 1, read_size=READ_SIZE)
    count = 0
    markers = _Markers(derived)
    take_marker = markers.take

    try:
        entries = unpacker.read_map_header()
        for _ in range(entries):
            key = unpacker.unpack()
            if key in ("frames_of_interest", "frames"):
                count += _count_records(unpacker, key, take_marker)
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


def _count_records(unpacker, key: str, take_marker) -> int:
    """The records of one section, counted; test markers open and close a
    test's trace (after a note of records dropped): the first and last records
    are decoded, the rest only skipped."""
    count = 0
    lists = 1 if key == "frames_of_interest" else unpacker.read_map_header()
    for _ in range(lists):
        if key == "frames":
            unpacker.skip()  # thread id
        n = unpacker.read_array_header()
        count += n
        for i in range(n):
            if i < 3 or i == n - 1:
                take_marker(unpacker.unpack())
            else:
                unpacker.skip()
    return count


class _Markers:
    """Test markers (and a note of dropped records) among the records."""

    def __init__(self, derived: Derived) -> None:
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


def _take_entry(derived: Derived, key, value) -> None:
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


def derive_described(reader: Pieces, document) -> Derived:
    """The listing columns of a document the profiler's core describes
    (`record_count`, `tail_offset`, `edge_records`): only its first piece
    and the entries after the records are decoded, never the records but
    those at the edges."""
    derived = Derived()
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


def derive_whole(whole: bytes, document) -> Derived:
    """derive_described for a document read whole."""
    derived = Derived()
    _take_head(derived, whole)
    _take_tail(derived, whole[document.tail_offset :])
    _take_edges(derived, document)
    return derived


def _take_edges(derived: Derived, document) -> None:
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


def _take_tail(derived: Derived, tail: bytes) -> None:
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


def _take_head(derived: Derived, piece) -> None:
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


def derive(document: bytes) -> Derived:
    return derive_from(Pieces([document], lambda piece: None))


_described_types = {DescribedDocument}


def is_described(document) -> bool:
    """Whether a document says what derive_described reads (the core's pieces do)."""
    kind = type(document)
    if kind in _described_types:
        return True
    names = ("record_count", "tail_offset", "edge_records")
    if all(hasattr(kind, name) for name in names):
        _described_types.add(kind)  # (attributes of the type: every instance has them)
        return True
    return all(hasattr(document, name) for name in names)


def known_size(document):
    """A document's length in bytes when it is known before reading it (bytes, a
    DescribedDocument, the core's pieces, which say their size); else None."""
    if isinstance(document, (bytes, bytearray, DescribedDocument)):
        return len(document)
    return getattr(document, "size", None)


def test_name_in(document):
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
