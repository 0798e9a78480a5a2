"""A trace document read as a stream: records one at a time, never the whole
document decoded (or even held) at once.

    with db.open_trace(path, trace_id) as stored:
        stream = DocumentStream(stored)
        for thread_id, record in stream.records():
            ...
        stream.top  # the document's other entries: "trace_id", "meta", ...

`thread_id` is the key of the record's list in "frames", or None for
"frames_of_interest". The entries other than the two record lists are in
`top` as soon as they have been read ("command_line_args" and
"current_commit_sha" come before the records, the rest after them).

Call records are also counted in the raw bytes as they go by (`calls`),
and a reader that stops early can still go through the rest of the bytes
without decoding them (`scan_rest`): `show` prints its first screen of a
trace of millions of records that way. `count_marks` counts the call records
of given functions in the bytes of a whole document, and `stored_left_out`
reads the record of the calls a stored trace left out, which comes before
the records of calls.
"""

from __future__ import annotations

import collections

import msgpack

from sarv.exceptions import TruncatedDocument

__all__ = ["CALL_MARK", "DocumentStream", "call_mark", "count_marks", "return_mark", "stored_left_out"]

# The bytes every frame record of a call holds, and those that begin the id of a
# return's frame: "event" and "frame_id" are neighbours in every frame record.
CALL_MARK = b"\xa5event\xa4call\xa8frame_id"
_RETURN_PREFIX = b"\xa5event\xa6return\xa8frame_id\xbe"
_NOTE_PREFIX = b"\xa4type\xa9exception\xa8frame_id\xbe"
RESUMES_MARK = b"\xa7resumes\xbe"  # the last entry of a call record resuming a generator


def return_mark(frame_id: str) -> bytes:
    """The bytes that only the return record of `frame_id` holds."""
    return _RETURN_PREFIX + frame_id.encode("ascii")


def note_mark(frame_id: str) -> bytes:
    """The bytes that begin the note naming the exception the call `frame_id` raised."""
    return _NOTE_PREFIX + frame_id.encode("ascii")


def call_mark(path, co_name, qualname) -> bytes:
    """The bytes that begin every call record of one function (its first entries, then
    the event and the id's key, in the order the core writes them)."""
    pack = msgpack.packb
    return pack("path") + pack(path) + pack("co_name") + pack(co_name) + pack("qualname") + pack(qualname) + CALL_MARK


def count_marks(pieces, marks: list) -> list:
    """How many times each of `marks` is in the bytes of `pieces`, across their joins."""
    counts = [0] * len(marks)
    keep = max((len(mark) for mark in marks), default=1) - 1
    carry = b""
    for piece in pieces:
        if not piece:
            continue
        piece = bytes(piece)
        for i, mark in enumerate(marks):
            # Those across the join with what came before, then those inside this piece.
            edge = len(mark) - 1
            if edge:
                counts[i] += (carry[len(carry) - edge :] + piece[:edge]).count(mark)
            counts[i] += piece.count(mark)
        carry = piece[-keep:] if len(piece) >= keep else (carry + piece)[-keep:]
    return counts


# Opening markers and a note of dropped records may come before the record of the calls
# left out; the first call record or plugin record of a thread says it is not there.
_LEFT_OUT_WITHIN = 4


def stored_left_out(db_path, trace_id: str):
    """The calls the stored trace left out (a `LeftOut`), or None when it says of none.
    Reads the document only up to the first records of "frames_of_interest" (the lists of
    the other threads before them are skipped, undecoded)."""
    from sarv import db
    from sarv.views.tree import LeftOut

    found = LeftOut()
    with db.open_trace(db_path, trace_id) as stored:
        for seen, (_, record) in enumerate(DocumentStream(stored).records(threads=False), 1):
            if not found.notice(record) and (
                seen >= _LEFT_OUT_WITHIN or (type(record) is dict and record.get("type") == "frame")
            ):
                break
    return found or None


class DocumentStream:
    def __init__(self, pieces) -> None:
        if isinstance(pieces, (bytes, bytearray, memoryview)):
            pieces = [bytes(pieces)]
        self._pieces = iter(pieces)
        self.unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, max_buffer_size=2**31 - 1)
        self._held: collections.deque = collections.deque()  # (offset, piece) not yet consumed
        self._fed = 0
        self._carry = b""
        self.calls = 0  # call records in the bytes read so far
        self.top: dict = {}
        self.order: list = []  # the document's keys as read
        self.records_read = 0
        self.skipped_threads = 0  # lists of "frames" skipped by records(threads=False)

    # -- feeding

    def _count(self, piece) -> None:
        keep = len(CALL_MARK) - 1
        # Marks across the boundary with the previous piece, then those inside this one; a
        # generator's resumption is a part of the call it resumes, not a call.
        edge = self._carry + piece[:keep]
        self.calls += edge.count(CALL_MARK) + piece.count(CALL_MARK)
        self.calls -= edge.count(RESUMES_MARK) + piece.count(RESUMES_MARK)
        self._carry = bytes(piece[-keep:]) if len(piece) >= keep else (self._carry + piece)[-keep:]

    def _next_piece(self):
        for piece in self._pieces:
            if piece:
                self._count(piece)
                return piece
        return None

    def _feed(self) -> bool:
        piece = self._next_piece()
        if piece is None:
            return False
        self.unpacker.feed(piece)
        self._held.append((self._fed, piece))
        self._fed += len(piece)
        position = self.unpacker.tell()
        while self._held and self._held[0][0] + len(self._held[0][1]) <= position:
            self._held.popleft()
        return True

    def _call(self, method):
        while True:
            try:
                return method()
            except msgpack.OutOfData:
                if not self._feed():
                    raise TruncatedDocument("the trace document ends early") from None

    # -- records

    def _list(self, thread_id, count, first_only, unpack):
        """The `count` records of one list, (thread id, record) each; with
        `first_only` (true, or a number), only the first (that many) are decoded."""
        for i in range(count):
            if first_only and i >= first_only:
                self._call(self.unpacker.skip)
                continue
            try:
                record = unpack()
            except msgpack.OutOfData:
                record = self._call(unpack)
            self.records_read += 1
            yield thread_id, record

    def records(self, threads: bool = True, of_interest: bool = True, on_list=None, on_entry=None, first_only=False):
        """(thread id or None, record) in document order; the lists not
        wanted are skipped undecoded. `on_list(thread id or None, count)` is
        called before the records of each list, `on_list("frames", count)`
        before the lists of "frames"; `on_entry(key, value)` for each other
        entry, as it is read. `first_only`: only the first record (or the
        first that many) of each list is decoded, the others skipped."""
        unpack = self.unpacker.unpack
        entries = self._call(self.unpacker.read_map_header)
        for _ in range(entries):
            key = self._call(self.unpacker.unpack)
            self.order.append(key)
            if key == "frames" and threads:
                yield from self._threads(on_list, first_only, unpack)
            elif key == "frames_of_interest" and of_interest:
                count = self._call(self.unpacker.read_array_header)
                if on_list is not None:
                    on_list(None, count)
                yield from self._list(None, count, first_only, unpack)
            elif key in ("frames", "frames_of_interest"):
                self._skip(key)
            else:
                self.top[key] = value = self._call(self.unpacker.unpack)
                if on_entry is not None:
                    on_entry(key, value)
        while self._feed():
            pass
        if self.unpacker.tell() != self._fed:
            raise ValueError("trailing bytes after the trace document")

    def _skip(self, key) -> None:
        if key == "frames":
            self.skipped_threads = self._call(self.unpacker.read_map_header)
            for _ in range(2 * self.skipped_threads):
                self._call(self.unpacker.skip)
        else:
            self._call(self.unpacker.skip)

    def _threads(self, on_list, first_only, unpack):
        """The records of every list of "frames"."""
        lists = self._call(self.unpacker.read_map_header)
        if on_list is not None:
            on_list("frames", lists)
        for _ in range(lists):
            thread_id = self._call(self.unpacker.unpack)
            count = self._call(self.unpacker.read_array_header)
            if on_list is not None:
                on_list(thread_id, count)
            yield from self._list(thread_id, count, first_only, unpack)

    # -- the rest, undecoded

    def scan_rest(self, frame_ids: list):
        """Reads the bytes after the last record decoded, without decoding
        them: counts their call records (into `calls`) and finds the return
        records of `frame_ids`, innermost (last) first, as a stack of calls
        returns, and the note naming the exception of each of them that
        raised. Returns ({frame_id: its return record, but for "path",
        "co_name" and "qualname", with "exception" when its note was found},
        {frame_id: whether a call came before its return}, whether a call
        came after the return of the first id, or after the last record
        decoded when `frame_ids` is empty)."""
        window = b"".join(bytes(piece[max(self.unpacker.tell() - offset, 0) :]) for offset, piece in self._held)
        self._held.clear()
        position = 0
        pending = list(frame_ids)
        found: dict = {}
        more: dict = {}
        notes: dict = {}  # frame id -> [the mark of its exception's note, where to look from]
        called = False  # a call record since `position` (or since the last return found)
        while True:
            progressed = True
            while progressed:
                progressed = False
                if pending:
                    mark = return_mark(pending[-1])
                    at = window.find(mark, position)
                    if at >= 0:
                        frame_id = pending.pop()
                        more[frame_id] = called or window.find(CALL_MARK, position, at) >= 0
                        called = False
                        entries, window, position = self._entries(window, at + len(mark), 7, b"\xa3end")
                        if entries is not None:
                            entries["frame_id"] = frame_id
                            entries["event"] = "return"
                            found[frame_id] = entries
                            if entries.get("end") == "raised":
                                notes[frame_id] = [note_mark(frame_id), position]
                        progressed = True
                window, named = self._notes(window, notes, found)
                progressed = progressed or named
            called = called or CALL_MARK in window[position:]
            if not pending and not notes:
                # Only counting is left; a call anywhere after here follows the last return.
                calls = self.calls
                while self._next_piece() is not None:
                    pass
                return found, more, called or self.calls > calls
            piece = self._next_piece()
            if piece is None:
                return found, more, called if not pending else False
            window, position = _slide(window, piece, position, pending, notes)

    def _notes(self, window: bytes, notes: dict, found: dict):
        """Looks in `window` for the notes of `notes` (frame id -> [the mark of its note,
        where to look from]); each found names its call's exception in `found` and leaves
        `notes`. (window, whether any was found)."""
        named = False
        for frame_id, (mark, start) in list(notes.items()):
            at = window.find(mark, start)
            if at >= 0:
                del notes[frame_id]
                entries, window, _ = self._entries(window, at + len(mark), 1)
                if entries is not None and isinstance(entries.get("exception"), dict):
                    found[frame_id]["exception"] = entries["exception"]
                named = True
        return window, named

    def _entries(self, window: bytes, start: int, count: int, optional: bytes = b""):
        """The `count` entries of a record that start at `start` (the seven after a return's
        "frame_id", say), and one more when the bytes after them begin with `optional`
        (a key: a following record begins with a map's header, never a text);
        (dict or None, window, position after them)."""
        unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, max_buffer_size=2**31 - 1)
        unpacker.feed(window[start:])
        entries: dict = {}
        try:
            while True:
                try:
                    if len(entries) == count and optional:
                        at = start + unpacker.tell()
                        while len(window) < at + len(optional):
                            piece = self._next_piece()
                            if piece is None:
                                break
                            window += bytes(piece)
                            unpacker.feed(piece)
                        if window[at : at + len(optional)] == optional:
                            count += 1
                        optional = b""
                    if len(entries) >= count:
                        break
                    key = unpacker.unpack()
                    entries[key] = unpacker.unpack()
                except msgpack.OutOfData:
                    piece = self._next_piece()
                    if piece is None:
                        return None, window, len(window)
                    window += bytes(piece)
                    unpacker.feed(piece)
        except Exception:  # not a record after all: go on after the mark
            return None, window, start
        return entries, window, start + unpacker.tell()


def _slide(window: bytes, piece, position: int, pending: list, notes: dict) -> tuple:
    """(the window moved on to the next piece, keeping only what may still begin a mark
    looked for, the position looked from in it); the notes' positions move with it."""
    keep = max([len(return_mark(pending[-1])) if pending else 0] + [len(m) for m, _ in notes.values()]) - 1
    looking = ([position] if pending else []) + [start for _, start in notes.values()]
    base = max(len(window) - keep, min(looking))
    for note in notes.values():
        note[1] = max(note[1] - base, 0)
    return window[base:] + bytes(piece), max(position - base, 0)
