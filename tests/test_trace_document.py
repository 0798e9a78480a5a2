"""The trace document (build_trace) and its hand-over to storage (save_request_in_db)."""

import struct
import sys
import threading
import time

import msgpack
import pytest

import sarv._sarv

register = sarv._sarv.register_profiler
stop = sarv._sarv.register_noop_profiler

SHA = "0123456789abcdef0123456789abcdef01234567"
TRACE_ID = "trc_01HZY7R8S9T0V1W2X3Y4Z5A6B7"
ARGV = ["prog.py", "--flag", "h\u00e9llo"]

# The document's top level as it must be written, up to the "frames_of_interest" value.
HEAD = (
    b"\x88"
    + b"\xb1command_line_args"
    + b"\x93"
    + b"\xa7prog.py"
    + b"\xa6--flag"
    + b"\xa6h\xc3\xa9llo"
    + b"\xb2current_commit_sha"
    + b"\xd9\x28"
    + SHA.encode()
    + b"\xa6frames"
    + b"\x80"
    + b"\xb2frames_of_interest"
)


def tail(timestamp, trace_id):
    """Everything after the "frames_of_interest" records."""
    return (
        b"\xaemain_thread_id"
        + msgpack.packb(threading.main_thread().native_id)
        + b"\xa4meta"
        + b"\x83"
        + b"\xa7version"
        + b"\xa59.8.7"
        + b"\xa6source"
        + b"\xa6pytest"
        + b"\xb4use_frame_boundaries"
        + b"\xc3"
        + b"\xa9timestamp"
        + b"\xcb"
        + struct.pack(">d", timestamp)
        + b"\xa8trace_id"
        + b"\xbe"
        + trace_id.encode()
    )


def traced(x):
    return x + 1


def split(doc, count_header, count):
    """Checks the fixed bytes around the records; returns the records, decoded."""
    start = HEAD + count_header
    assert doc[: len(start)] == start
    unpacker = msgpack.Unpacker(strict_map_key=False)
    unpacker.feed(doc[len(start) :])
    records = [unpacker.unpack() for _ in range(count)]
    decoded = msgpack.unpackb(doc, strict_map_key=False)
    assert doc[len(start) + unpacker.tell() :] == tail(decoded["timestamp"], TRACE_ID)
    assert decoded["frames_of_interest"] == records
    return records


@pytest.fixture
def meta(companion, monkeypatch):
    monkeypatch.setattr(sys, "argv", list(ARGV))
    monkeypatch.setattr(companion.version, "__version__", "9.8.7")
    monkeypatch.setattr(companion.git, "COMMIT_SHA", SHA)
    monkeypatch.setattr(companion.plugins, "load_plugin_data", lambda config: [])
    return companion


@pytest.fixture
def profiler(make_profiler, meta):
    """A registered profiler with the hook switched off again: tests record explicitly."""
    p = make_profiler(trace_id=TRACE_ID)
    register(p)
    stop()
    return p.rust_profiler


def record_calls(rust_profiler, *values):
    rust_profiler.register_threading_profiler(None, None, None)  # hooks this thread to it
    for value in values:
        traced(value)
    stop()


def test_document_of_an_empty_trace(make_profiler, meta):
    before = time.time()
    p = make_profiler()
    register(p)
    stop()
    after = time.time()
    doc = p.rust_profiler.build_trace()
    assert type(doc) is bytes
    decoded = msgpack.unpackb(doc)
    # The creation time, in seconds since the epoch (a second of slack for clock rounding).
    assert before - 1 <= decoded["timestamp"] <= after + 1
    assert doc == HEAD + b"\x90" + tail(decoded["timestamp"], p.trace_id)
    assert decoded == {
        "command_line_args": ARGV,
        "current_commit_sha": SHA,
        "frames": {},
        "frames_of_interest": [],
        "main_thread_id": threading.main_thread().native_id,
        "meta": {"version": "9.8.7", "source": "pytest", "use_frame_boundaries": True},
        "timestamp": decoded["timestamp"],
        "trace_id": p.trace_id,
    }


@pytest.mark.parametrize("calls, header", [(2, b"\x94"), (8, b"\xdc\x00\x10")])
def test_records_are_spliced_in_and_taken(profiler, calls, header):
    record_calls(profiler, *range(calls))
    first = profiler.build_trace()
    records = split(first, header, 2 * calls)
    assert [(r["co_name"], r["event"]) for r in records] == [("traced", "call"), ("traced", "return")] * calls
    assert [r["locals"]["x"] for r in records] == [i for i in range(calls) for _ in "cr"]
    # Building took the records; the same trace id and creation time stay.
    second = profiler.build_trace()
    assert second == HEAD + b"\x90" + tail(msgpack.unpackb(first)["timestamp"], TRACE_ID)


def test_megabytes_of_records_come_back_whole_and_in_order(make_profiler, meta):
    """Past a megabyte a list of records grows by large chunks, kept for reuse once a
    document is built: records of every round and thread come back exactly."""
    calls = 6000  # about 3 MB of records per thread

    def record_on_this_thread(rust_profiler, base):
        rust_profiler.register_threading_profiler(None, None, None)
        for value in range(base, base + calls):
            traced(value)
        stop()

    p = make_profiler(trace_id=TRACE_ID, config={"threading": True})
    register(p)
    stop()
    for _ in range(3):  # later rounds write into the chunks the earlier ones gave back
        workers = [
            threading.Thread(target=record_on_this_thread, args=(p.rust_profiler, 10_000 * (i + 1))) for i in range(2)
        ]
        for worker in workers:
            worker.start()
        record_on_this_thread(p.rust_profiler, 0)
        for worker in workers:
            worker.join()
        doc = msgpack.unpackb(p.rust_profiler.build_trace(), strict_map_key=False)
        lists = [
            [r for r in records if r["co_name"] == "traced"]
            for records in [doc["frames_of_interest"]] + list(doc["frames"].values())
        ]
        assert len(lists) == 3
        firsts = sorted(records[0]["locals"]["x"] for records in lists)
        assert firsts == [0, 10_000, 20_000]
        for records in lists:
            base = records[0]["locals"]["x"]
            assert [r["locals"]["x"] for r in records] == [base + i for i in range(calls) for _ in "cr"]
            assert [r["event"] for r in records[:2]] == ["call", "return"]


@pytest.mark.parametrize(
    "argv, sha, fragment",
    [
        ([], SHA, b"\xb1command_line_args\x90\xb2current_commit_sha"),
        (("a",), SHA, b"\xb1command_line_args\x91\xa1a\xb2current_commit_sha"),
        (["x" * 32], SHA, b"\xb1command_line_args\x91\xd9\x20" + b"x" * 32 + b"\xb2current_commit_sha"),
        (ARGV, None, b"\xb2current_commit_sha\xc0\xa6frames\x80"),
        (ARGV, "abc", b"\xb2current_commit_sha\xa3abc\xa6frames\x80"),
    ],
)
def test_argv_and_commit_forms(profiler, meta, monkeypatch, argv, sha, fragment):
    monkeypatch.setattr(sys, "argv", argv)
    monkeypatch.setattr(meta.git, "COMMIT_SHA", sha)
    doc = profiler.build_trace()
    assert doc.startswith(b"\x88\xb1command_line_args")
    assert fragment in doc


def test_each_document_reads_the_metadata_as_it_is_then(profiler, meta, monkeypatch):
    # (what was read for one document is kept for the next while the same objects hold it)
    argv = ["prog.py", "--a"]
    monkeypatch.setattr(sys, "argv", argv)

    def header():
        doc = msgpack.unpackb(profiler.build_trace(), strict_map_key=False)
        return doc["command_line_args"], doc["current_commit_sha"], doc["meta"]["version"]

    assert header() == (["prog.py", "--a"], SHA, "9.8.7")
    assert header() == (["prog.py", "--a"], SHA, "9.8.7")
    argv[1] = "--b" + "".join(["c"])  # (a new str object in place of the old)
    assert header() == (["prog.py", "--bc"], SHA, "9.8.7")
    argv.append("-q")
    assert header() == (["prog.py", "--bc", "-q"], SHA, "9.8.7")
    del argv[:2]
    argv.append("-v")
    assert header() == (["-q", "-v"], SHA, "9.8.7")
    monkeypatch.setattr(sys, "argv", ("t",))
    monkeypatch.setattr(meta.git, "COMMIT_SHA", None)
    monkeypatch.setattr(meta.version, "__version__", "1.2.3")
    assert header() == (["t"], None, "1.2.3")
    monkeypatch.setattr(sys, "argv", ["-q", "-v"])
    monkeypatch.setattr(meta.git, "COMMIT_SHA", SHA)
    assert header() == (["-q", "-v"], SHA, "1.2.3")


BROKEN_METADATA = [
    (lambda mp, c: mp.setattr(c.version, "__version__", 3), TypeError, None),
    (lambda mp, c: mp.delattr(c.version, "__version__"), AttributeError, None),
    (lambda mp, c: mp.setitem(sys.modules, "sarv.version", None), ImportError, None),
    (lambda mp, c: mp.setattr(c.git, "COMMIT_SHA", 5), TypeError, None),
    (lambda mp, c: mp.setitem(sys.modules, "sarv.git", None), ImportError, None),
    (lambda mp, c: mp.setattr(sys, "argv", "prog.py --flag"), TypeError, "Can't extract `str` to `Vec`"),
    (lambda mp, c: mp.setattr(sys, "argv", ["prog.py", 1]), TypeError, None),
]


@pytest.mark.parametrize("breaker, error, message", BROKEN_METADATA)
def test_failed_build_keeps_the_records(profiler, meta, monkeypatch, breaker, error, message):
    record_calls(profiler, 1)
    with monkeypatch.context() as mp:
        breaker(mp, meta)
        with pytest.raises(error) as info:
            profiler.build_trace()
    if message is not None:
        assert str(info.value) == message
    assert len(split(profiler.build_trace(), b"\x92", 2)) == 2


class Storage:
    """Stands in for sarv.db.save_trace_in_sqlite."""

    def __init__(self):
        self.calls = []
        self.failure = None

    def __call__(self, *args, **kwargs):
        self.calls.append((args, list(kwargs.items())))
        if self.failure is not None:
            raise self.failure
        return "ignored"

    def document(self, index):
        return dict(self.calls[index][1])["msgpack"]


@pytest.fixture
def storage(meta, monkeypatch):
    store = Storage()
    monkeypatch.setattr(meta.db, "save_trace_in_sqlite", store)
    return store


def test_save_hands_the_document_to_storage(profiler, storage):
    record_calls(profiler, 1)
    assert profiler.save_request_in_db() is None
    [(args, kwargs)] = storage.calls
    assert args == ("/tmp/sarv-test.db", TRACE_ID)
    assert [key for key, _ in kwargs] == ["timeout", "msgpack"]
    timeout, document = (value for _, value in kwargs)
    assert (type(timeout), timeout) == (int, 60)
    assert type(document) is bytes
    assert len(split(document, b"\x92", 2)) == 2
    # Saved records are gone from the buffers; an empty trace is still handed over.
    assert profiler.build_trace() == HEAD + b"\x90" + tail(msgpack.unpackb(document)["timestamp"], args[1])
    profiler.save_request_in_db()
    assert split(storage.document(1), b"\x90", 0) == []


class StorageFull(Exception):
    pass


@pytest.mark.parametrize(
    "breaker, error, reaches_storage",
    [
        (lambda mp, c, store: setattr(store, "failure", StorageFull("disk full")), StorageFull, True),
        (lambda mp, c, store: mp.delattr(c.db, "save_trace_in_sqlite"), AttributeError, False),
        (lambda mp, c, store: mp.setitem(sys.modules, "sarv.db", None), ImportError, False),
        (lambda mp, c, store: mp.setitem(sys.modules, "sarv.version", None), ImportError, False),
        (lambda mp, c, store: mp.setattr(sys, "argv", "prog.py"), TypeError, False),
    ],
)
def test_failed_save_keeps_the_records(profiler, meta, storage, monkeypatch, breaker, error, reaches_storage):
    record_calls(profiler, 1)
    with monkeypatch.context() as mp:
        breaker(mp, meta, storage)
        with pytest.raises(error) as info:
            profiler.save_request_in_db()
    if storage.failure is not None:
        assert info.value is storage.failure
        storage.failure = None
    assert len(storage.calls) == int(reaches_storage)

    # Later records follow the kept ones; the next save holds them all.
    record_calls(profiler, 2)
    profiler.save_request_in_db()
    records = split(storage.document(-1), b"\x94", 4)
    assert [r["locals"]["x"] for r in records] == [1, 1, 2, 2]
    assert profiler.build_trace().startswith(HEAD + b"\x90")


def test_saved_into_a_sqlite_file(make_profiler, meta, tmp_path):
    if not hasattr(meta.db, "load_trace"):
        pytest.skip("sarv.db with load_trace is not importable here (companion package not installed)")
    db_path = tmp_path / "traces.db"
    p = make_profiler(db_path=db_path, trace_id=TRACE_ID)
    register(p)
    stop()
    record_calls(p.rust_profiler, 1)
    p.rust_profiler.save_request_in_db()
    stored = meta.db.load_trace(str(db_path), p.trace_id)
    assert len(split(stored, b"\x92", 2)) == 2


class PieceStorage(Storage):
    """A storage function that takes the document in pieces, reading `read` of them."""

    streaming_document = True

    def __init__(self, read=None):
        super().__init__()
        self.read = read

    def __call__(self, *args, **kwargs):
        pieces = kwargs["msgpack"]
        self.pieces = pieces
        self.sizes = (pieces.size, pieces.record_count)
        taken = [next(pieces) for _ in range(self.read)] if self.read is not None else list(pieces)
        self.taken = taken  # views of the pieces, held past the call
        self.piece_lengths = [len(p) for p in taken]
        kwargs["msgpack"] = b"".join(taken)
        return super().__call__(*args, **kwargs)


@pytest.mark.parametrize("read, failure", [(None, None), (1, StorageFull("disk full after a piece"))])
def test_save_in_pieces_hands_over_the_bytes_of_build_trace(profiler, meta, monkeypatch, read, failure):
    store = PieceStorage(read)
    store.failure = failure
    monkeypatch.setattr(meta.db, "save_trace_in_sqlite", store)
    big = "x" * 3000  # enough records for several pieces of a megabyte
    profiler.register_threading_profiler(None, None, None)
    for i in range(1000):
        echo(big + str(i))
    stop()
    if failure is None:
        profiler.save_request_in_db()
    else:
        with pytest.raises(StorageFull):
            profiler.save_request_in_db()
    document = store.document(0)
    assert store.sizes[1] == 2000
    assert max(store.piece_lengths) <= 1 << 20
    if failure is None:
        assert len(store.piece_lengths) > 3 and store.sizes[0] == len(document)
        records = split(document, b"\xdc\x07\xd0", 2000)
        assert [r["locals"]["x"] for r in records[::2]] == [big + str(i) for i in range(1000)]
        assert list(store.pieces) == []
    else:
        # Nothing of the trace is lost: the next build holds every record, while the pieces
        # kept past the call still read the records that were taken, to the document's end.
        rebuilt = profiler.build_trace()
        assert len(split(rebuilt, b"\xdc\x07\xd0", 2000)) == 2000
        assert len(store.piece_lengths) == 1 and document + b"".join(store.pieces) == rebuilt
    # Pieces held are never refilled for later ones, and stay readable after the call.
    assert b"".join(store.taken) == document


def echo(x):
    return x


def split_head(doc, length):
    assert len(split(doc, b"\xdc\x07\xd0", 2000)) == 2000
    return doc[:length]
