"""sarv.db: storing, listing and loading trace documents in SQLite."""

import os
import sqlite3
import subprocess
import sys
import time

import msgpack
import pytest
import zstandard

from sarv import db
from sarv.store import batching, columns, rows, shipping, sqlite


def document(trace_id="trc_A", records=2, thread_records=1, start_test=None, source="pytest"):
    frames = [{"type": "frame", "event": "call", "co_name": "f%d" % i} for i in range(records)]
    if start_test is not None:
        frames.insert(0, {"type": "start_test", "frame_id": "frm_1", "node_id": start_test})
    return msgpack.packb(
        {
            "command_line_args": ["prog"],
            "current_commit_sha": None,
            "frames": {4242: [{"type": "frame"}] * thread_records} if thread_records else {},
            "frames_of_interest": frames,
            "main_thread_id": 1,
            "meta": {"version": "0.1.0", "source": source, "use_frame_boundaries": True},
            "timestamp": 1700000000.5,
            "trace_id": trace_id,
        }
    )


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "deep" / "er" / "traces.sqlite3")


def test_first_save_creates_folder_schema_and_row(path):
    doc = document(start_test="tests/test_x.py::test_one")
    row = db.save_trace_in_sqlite(path, "trc_A", timeout=5, msgpack=doc)
    assert os.path.isfile(path)
    conn = sqlite3.connect(path)
    assert dict(conn.execute("SELECT key, value FROM meta")) == {
        "application": "sarv",
        "schema_version": str(db.SCHEMA_VERSION),
    }
    conn.close()
    [summary] = db.list_traces(path)
    assert summary.row_id == row
    assert summary.trace_id == "trc_A"
    assert abs(summary.created - time.time()) < 60
    assert summary.size == len(doc)
    assert (summary.source, summary.version, summary.started) == ("pytest", "0.1.0", 1700000000.5)
    assert summary.record_count == 2 + 1 + 1  # main thread, the start_test record, other thread
    assert summary.test_name == "tests/test_x.py::test_one"
    assert summary.decode_error is None
    assert db.load_trace(path, "trc_A") == doc
    assert db.load_trace_document(path, "trc_A")["frames"] == {4242: [{"type": "frame"}]}


def test_saving_an_id_again_keeps_both_and_loads_the_newest(path):
    first, second = document(records=1), document(records=3)
    db.save_trace_in_sqlite(path, "trc_A", msgpack=first)
    db.save_trace_in_sqlite(path, "trc_B", msgpack=document())
    db.save_trace_in_sqlite(path, "trc_A", msgpack=second)
    listed = db.list_traces(path)
    assert [s.trace_id for s in listed] == ["trc_A", "trc_B", "trc_A"]
    assert [s.record_count for s in listed] == [4, 3, 2]
    assert db.load_trace(path, "trc_A") == second
    assert db.find_trace(path, "trc_A").row_id == listed[0].row_id
    assert [s.trace_id for s in db.list_traces(path, limit=1)] == ["trc_A"]
    conn = sqlite3.connect(path)
    stored = [
        (encoding, zstandard.ZstdDecompressor().decompress(bytes(data), max_output_size=1 << 20))
        for encoding, data in conn.execute("SELECT encoding, document FROM traces WHERE trace_id = 'trc_A' ORDER BY id")
    ]
    conn.close()
    assert stored == [("zstd", first), ("zstd", second)]


@pytest.mark.parametrize(
    "doc, error",
    [
        (b"", "empty document"),
        (b"\xc1garbage", "Unexpected type"),
        (document()[:-5], "OutOfData"),
        (document() + b"\x00", "trailing bytes"),
        (msgpack.packb([1, 2]), "Unexpected type"),
        (msgpack.packb({"frames_of_interest": 7, "meta": "x"}), "Unexpected type"),
    ],
)
def test_malformed_documents_are_stored_as_given(path, doc, error):
    db.save_trace_in_sqlite(path, "trc_bad", msgpack=doc)
    [summary] = db.list_traces(path)
    assert summary.record_count is None
    assert error in summary.decode_error
    assert db.load_trace(path, "trc_bad") == doc


def test_test_name_is_taken_defensively():
    records = [
        {"type": "start_test", "node_id": 5},
        {"type": "frame", "node_id": "not a test record"},
        {"type": "end_test", "test": "t::end"},
    ]
    doc = msgpack.packb({"frames_of_interest": records, "frames": {}})
    derived = columns.derive(doc)
    assert derived.test_name == "t::end"
    assert derived.record_count == 3 and derived.decode_error is None


def test_reading_a_missing_database_creates_nothing(tmp_path):
    missing = str(tmp_path / "none.sqlite3")
    assert db.list_traces(missing) == []
    assert db.find_trace(missing, "trc_A") is None
    with pytest.raises(db.TraceNotFound):
        db.load_trace(missing, "trc_A")
    assert not os.path.exists(missing)


_SAVE = """
import os, sys
from sarv import db
sys.path.insert(0, sys.argv[3])
from test_db import document
db.save_trace_in_sqlite(sys.argv[1], sys.argv[2], msgpack=document(sys.argv[2]))
if os.environ.get("KILL"):
    os.kill(os.getpid(), 9)  # (its log not written back into the file, nor removed)
"""
_READ = """
import os, sys
from sarv import db
path = sys.argv[1]
ids = [s.trace_id for s in db.list_traces(path)]
loaded = [db.load_trace_document(path, i)["trace_id"] for i in ids]
print(sys.argv[2], ",".join(ids), ",".join(loaded), ",".join(sorted(os.listdir(os.path.dirname(path)))))
"""
_CHECK = """
import sys
from sarv import db
try:
    db.check_store(sys.argv[1])
    print("check accepted")
except db.SarvDatabaseError as exc:
    print("check refused:", exc)
"""
# Run in a mount namespace of its own (as root, or a user namespace's root): a small tmpfs
# holds the database; filled, then remounted read-only.
_MOUNTS = """
set -e
cd "$1"
mkdir m
mount -t tmpfs -o size=4m tmpfs m
"$2" -c "$SAVE" m/t.db trc_A "$3"
dd if=/dev/zero of=m/fill bs=64k 2>/dev/null || true
"$2" -c "$READ" m/t.db full
rm m/fill
mount -o remount,ro m
"$2" -c "$READ" m/t.db read-only
"$2" -c "$CHECK" m/t.db
mount -o remount,rw m
KILL=1 "$2" -c "$SAVE" m/t.db trc_B "$3" || true
mount -o remount,ro m
"$2" -c "$READ" m/t.db log-left
"""


def test_a_database_on_a_full_disk_or_a_read_only_mount_is_read_and_nothing_left_behind(tmp_path):
    env = dict(os.environ, SAVE=_SAVE, READ=_READ, CHECK=_CHECK)
    env.pop("SARV_DB", None)
    here = os.path.dirname(os.path.abspath(__file__))
    namespace = ["unshare", "--user", "--map-root-user", "--mount"] if os.getuid() else ["unshare", "--mount"]
    try:
        done = subprocess.run(
            namespace + ["sh", "-c", _MOUNTS, "sh", str(tmp_path), sys.executable, here],
            env=env,
            capture_output=True,
            text=True,
            timeout=120,
        )
    except FileNotFoundError:
        done = None
    if done is not None and done.returncode != 0 and not (tmp_path / "m").is_dir():
        # (unshare refused before the script ran: no namespace of our own here, e.g. inside
        # a chroot, whose root is no mount point)
        done = None
    if done is not None:
        assert done.returncode == 0, done.stdout + done.stderr
        assert done.stdout.splitlines() == [
            "full trc_A trc_A fill,t.db",
            "read-only trc_A trc_A t.db",
            "check refused: cannot write trace database m/t.db: Read-only file system",
            # (a read-only file system: the log a killed writer left is read, and stays)
            "log-left trc_B,trc_A trc_B,trc_A t.db,t.db-shm,t.db-wal",
        ]
        return
    if os.getuid() == 0:
        pytest.skip("no mount namespace for a read-only mount, and root writes through permissions")
    # A folder and a file this user may not write: the same path (no log files can be made).
    path = tmp_path / "ro" / "t.db"
    subprocess.run([sys.executable, "-c", _SAVE, str(path), "trc_A", here], env=env, check=True)
    os.chmod(path, 0o444)
    os.chmod(path.parent, 0o555)
    try:
        done = subprocess.run(
            [sys.executable, "-c", _READ, str(path), "chmod"], env=env, capture_output=True, text=True
        )
    finally:
        os.chmod(path.parent, 0o755)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["chmod trc_A trc_A t.db"]


def test_unknown_trace_id(path):
    db.save_trace_in_sqlite(path, "trc_A", msgpack=document())
    with pytest.raises(db.TraceNotFound, match="trc_Z") as info:
        db.load_trace_document(path, "trc_Z")
    assert isinstance(info.value, KeyError)


def test_files_that_are_not_sarv_databases_are_refused_and_left_alone(tmp_path):
    text = tmp_path / "notes.txt"
    text.write_bytes(b"just some text, certainly more than a header's worth " * 20)
    other = tmp_path / "other.sqlite3"
    conn = sqlite3.connect(other)
    conn.execute("CREATE TABLE users (name TEXT)")
    conn.commit()
    conn.close()
    for target in (text, other):
        before = target.read_bytes()
        with pytest.raises(db.NotASarvDatabase):
            db.save_trace_in_sqlite(str(target), "trc_A", msgpack=document())
        with pytest.raises(db.NotASarvDatabase):
            db.list_traces(str(target))
        assert target.read_bytes() == before


def test_other_schema_versions_are_refused(path):
    # (Two saves: the second finds the schema complete and trusts it while no one else
    # writes to the file.)
    for trace_id in ("trc_A", "trc_A2"):
        db.save_trace_in_sqlite(path, trace_id, msgpack=document())
    conn = sqlite3.connect(path)
    conn.execute("UPDATE meta SET value = '99' WHERE key = 'schema_version'")
    conn.commit()
    conn.close()
    with pytest.raises(db.SchemaVersionError, match="99"):
        db.save_trace_in_sqlite(path, "trc_B", msgpack=document())
    with pytest.raises(db.SchemaVersionError):
        db.load_trace(path, "trc_A")


def test_unusable_paths_give_a_database_error(tmp_path):
    with pytest.raises(db.SarvDatabaseError):
        db.save_trace_in_sqlite(str(tmp_path), "trc_A", msgpack=document())  # a folder
    blocker = tmp_path / "file"
    blocker.write_text("x")
    with pytest.raises(db.SarvDatabaseError):
        db.save_trace_in_sqlite(str(blocker / "sub" / "t.sqlite3"), "trc_A", msgpack=document())


def _damage_the_traces_table(path):
    conn = sqlite3.connect(path)
    (page,) = conn.execute("SELECT rootpage FROM sqlite_master WHERE name = 'traces'").fetchone()
    (size,) = conn.execute("PRAGMA page_size").fetchone()
    conn.close()
    with open(path, "r+b") as file:
        file.seek((page - 1) * size)
        file.write(b"\xff" * size)


def _newer_schema(path):
    conn = sqlite3.connect(path)
    conn.execute("UPDATE meta SET value = '3' WHERE key = 'schema_version'")
    conn.commit()
    conn.close()


def _foreign(path):
    os.unlink(path)
    conn = sqlite3.connect(path)
    conn.execute("CREATE TABLE users (name TEXT)")
    conn.commit()
    conn.close()


@pytest.mark.parametrize(
    "spoil, error",
    [
        (None, None),
        (_newer_schema, db.SchemaVersionError),
        (_foreign, db.NotASarvDatabase),
        (_damage_the_traces_table, db.SarvDatabaseError),
        (lambda path: open(path, "wb").write(b"not a database at all " * 100), db.NotASarvDatabase),
        (lambda path: (os.unlink(path), os.mkdir(path)), db.SarvDatabaseError),
    ],
)
def test_the_check_before_saving_refuses_what_a_save_refuses_and_stores_nothing(path, spoil, error):
    db.save_trace_in_sqlite(path, "trc_A", msgpack=document())
    db.close_connections()
    if spoil is not None:
        spoil(path)
    before = None if os.path.isdir(path) else open(path, "rb").read()
    if error is None:
        assert db.check_store(path) is None
    else:
        with pytest.raises(error):
            db.check_store(path)
    assert before is None or open(path, "rb").read() == before
    # A save fails (or goes ahead) alike, and the check stored nothing of its own.
    if error is None:
        db.save_trace_in_sqlite(path, "trc_B", msgpack=document())
        assert [s.trace_id for s in db.list_traces(path)] == ["trc_B", "trc_A"]
    else:
        with pytest.raises(error):
            db.save_trace_in_sqlite(path, "trc_B", msgpack=document())


def test_folders_made_for_a_database_are_private_whatever_the_umask(tmp_path):
    code = (
        "import os, sys\n"
        "from sarv import db\n"
        "os.umask(0)\n"
        "db.check_store(sys.argv[1])\n"
        "db.save_trace_in_sqlite(sys.argv[2], 'trc_A', msgpack=b'\\x80')\n"
    )
    checked, saved = tmp_path / "c1" / "c2" / "t.db", tmp_path / "s1" / "s2" / "t.db"
    subprocess.run([sys.executable, "-c", code, str(checked), str(saved)], check=True, timeout=120)
    for folder in (checked.parent, checked.parent.parent, saved.parent, saved.parent.parent):
        assert folder.stat().st_mode & 0o777 == 0o700, folder
    assert saved.stat().st_mode & 0o777 == 0o600 and not checked.exists()


def test_a_save_waiting_for_a_locked_database_says_so_and_goes_on(path):
    db.save_trace_in_sqlite(path, "trc_A", msgpack=document())
    holder = sqlite3.connect(path, isolation_level=None)
    holder.execute("BEGIN IMMEDIATE")
    code = "import sys\nfrom sarv import db\ndb.save_trace_in_sqlite(sys.argv[1], 'trc_B', msgpack=b'\\x80')\n"
    saver = subprocess.Popen([sys.executable, "-c", code, path], stderr=subprocess.PIPE, text=True)
    try:
        said = saver.stderr.readline()  # (said once it has waited a second; the lock is held until then)
    finally:
        holder.execute("ROLLBACK")
        holder.close()
    rest = saver.communicate(timeout=120)[1]
    assert said.startswith("sarv: the trace database %s is locked by another process" % path), said + rest
    assert saver.returncode == 0, rest
    assert [s.trace_id for s in db.list_traces(path)] == ["trc_B", "trc_A"]


def test_a_locked_database_waits_for_the_busy_timeout_then_fails_without_a_row(path):
    db.save_trace_in_sqlite(path, "trc_A", msgpack=document())
    holder = sqlite3.connect(path, isolation_level=None)
    holder.execute("BEGIN IMMEDIATE")
    try:
        started = time.monotonic()
        with pytest.raises(db.SarvDatabaseError, match="locked"):
            db.save_trace_in_sqlite(path, "trc_B", timeout=0.3, msgpack=document())
        assert time.monotonic() - started >= 0.25
    finally:
        holder.execute("ROLLBACK")
        holder.close()
    assert [s.trace_id for s in db.list_traces(path)] == ["trc_A"]


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"trace_id": 5}, TypeError),
        ({"msgpack": "text"}, TypeError),
        ({"timeout": -1}, ValueError),
        ({"timeout": True}, ValueError),
    ],
)
def test_argument_checks(path, kwargs, error):
    args = {"trace_id": "trc_A", "timeout": 1, "msgpack": document()}
    args.update(kwargs)
    trace_id = args.pop("trace_id")
    with pytest.raises(error):
        db.save_trace_in_sqlite(path, trace_id, **args)
    assert not os.path.exists(path)


def test_default_db_path(monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("SARV_DB", raising=False)
    assert db.default_db_path() == os.path.join(str(tmp_path), ".sarv", "traces.sqlite3")
    monkeypatch.setenv("SARV_DB", "")
    assert db.default_db_path().endswith(os.path.join(".sarv", "traces.sqlite3"))
    monkeypatch.setenv("SARV_DB", "/elsewhere/t.db")
    assert db.default_db_path() == "/elsewhere/t.db"


_SCHEMA_1 = """
CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE traces (
    id INTEGER PRIMARY KEY AUTOINCREMENT, trace_id TEXT NOT NULL, created REAL NOT NULL,
    size INTEGER NOT NULL, source TEXT, version TEXT, started REAL, record_count INTEGER,
    test_name TEXT, decode_error TEXT, document BLOB NOT NULL);
CREATE INDEX traces_by_trace_id ON traces (trace_id, id);
INSERT INTO meta VALUES ('application', 'sarv'), ('schema_version', '1');
"""


def test_traces_of_schema_version_1_stay_readable_and_the_file_is_upgraded_by_a_save(path):
    old = document("trc_OLD", records=5)
    os.makedirs(os.path.dirname(path))
    conn = sqlite3.connect(path)
    conn.executescript(_SCHEMA_1)
    conn.execute(
        "INSERT INTO traces (trace_id, created, size, source, record_count, document) VALUES (?, 1.0, ?, 'cli', 6, ?)",
        ("trc_OLD", len(old), old),
    )
    conn.commit()
    conn.close()
    [summary] = db.list_traces(path)
    assert (summary.trace_id, summary.record_count, summary.stored_size) == ("trc_OLD", 6, len(old))
    assert db.load_trace(path, "trc_OLD") == old
    db.save_trace_in_sqlite(path, "trc_NEW", msgpack=document("trc_NEW"))
    assert [s.trace_id for s in db.list_traces(path)] == ["trc_NEW", "trc_OLD"]
    assert db.load_trace(path, "trc_OLD") == old
    assert db.load_trace_document(path, "trc_NEW")["trace_id"] == "trc_NEW"
    conn = sqlite3.connect(path)
    assert conn.execute("SELECT value FROM meta WHERE key = 'schema_version'").fetchone() == ("2",)
    conn.close()


def test_large_documents_are_stored_in_chunks_and_read_back_in_pieces(path, monkeypatch):
    monkeypatch.setattr(rows, "CHUNK_SIZE", 1000)
    records = [{"type": "frame", "event": "call", "locals": {"x": os.urandom(64)}, "i": i} for i in range(3000)]
    records.insert(0, {"type": "start_test", "node_id": "t.py::test_big"})
    records.append({"type": "end_test", "node_id": "t.py::test_big", "outcome": "failed"})
    whole = msgpack.packb(
        {
            "command_line_args": ["pytest", "-x"],
            "frames": {},
            "frames_of_interest": records,
            "meta": {"source": "pytest"},
        }
    )
    # Handed over in pieces cut anywhere, as the profiler's core does.
    pieces = [whole[i : i + 7777] for i in range(0, len(whole), 7777)]
    db.save_trace_in_sqlite(path, "trc_BIG", msgpack=iter(pieces))
    [summary] = db.list_traces(path)
    assert (summary.size, summary.record_count, summary.test_name) == (len(whole), 3002, "t.py::test_big")
    assert (summary.outcome, summary.command, summary.source) == ("failed", "pytest -x", "pytest")
    conn = sqlite3.connect(path)
    (chunks,) = conn.execute("SELECT count(*) FROM trace_chunks").fetchone()
    conn.close()
    assert chunks == -(-summary.stored_size // 1000) > 100
    with db.open_trace(path, "trc_BIG") as stream:
        unpacker = msgpack.Unpacker(stream, raw=False, read_size=4096)
        assert unpacker.read_map_header() == 4
        assert unpacker.unpack() == "command_line_args" and unpacker.unpack() == ["pytest", "-x"]
    assert db.load_trace(path, "trc_BIG") == whole
    # Removing the trace removes its chunks too.
    assert db.delete_traces(path, ["trc_BIG"]) == 1
    conn = sqlite3.connect(path)
    assert conn.execute("SELECT count(*) FROM trace_chunks").fetchone() == (0,)
    conn.close()


@pytest.mark.skipif(not hasattr(sqlite3.Connection, "setlimit"), reason="needs Python 3.11")
def test_a_failed_save_says_why_tells_the_listeners_and_stores_nothing(path):
    db.save_trace_in_sqlite(path, "trc_A", msgpack=document())
    # The limit SQLite puts on one value (a gigabyte by default), made small.
    sqlite._writer(path, 60).conn.setlimit(sqlite3.SQLITE_LIMIT_LENGTH, 200)
    heard = []
    listener = lambda *args: heard.append(args)  # noqa: E731
    db.add_save_failure_listener(listener)
    try:
        with pytest.raises(db.SarvDatabaseError, match="too big") as info:
            db.save_trace_in_sqlite(path, "trc_B", msgpack=msgpack.packb({"x": os.urandom(1000)}))
    finally:
        db.remove_save_failure_listener(listener)
        db.close_connections()
    assert heard == [(path, "trc_B", info.value, None)]  # (no test named by this document)
    assert path in str(info.value)
    assert [s.trace_id for s in db.list_traces(path)] == ["trc_A"]
    db.save_trace_in_sqlite(path, "trc_C", msgpack=document())  # a new connection, without the limit
    assert [s.trace_id for s in db.list_traces(path)] == ["trc_C", "trc_A"]


def test_prune_and_delete(path, monkeypatch):
    clock = [1000.0]
    monkeypatch.setattr(time, "time", lambda: clock[0])  # (pruning's clock)
    monkeypatch.setattr(rows, "_now", lambda: clock[0], raising=False)  # (the saves', where it is their own)
    for i in range(6):
        clock[0] = 1000.0 + 100 * i
        db.save_trace_in_sqlite(path, "trc_%d" % i, msgpack=document("trc_%d" % i, source="pytest" if i % 2 else "cli"))
    clock[0] = 1550.0
    assert [s.trace_id for s in db.list_traces(path, source="cli")] == ["trc_4", "trc_2", "trc_0"]
    assert [s.trace_id for s in db.list_traces(path, since=1300)] == ["trc_5", "trc_4", "trc_3"]
    assert db.prune_traces(path, older_than=500) == 1  # saved at 1000
    assert db.prune_traces(path, keep_last=1, source="pytest") == 2  # trc_1, trc_3
    assert [s.trace_id for s in db.list_traces(path)] == ["trc_5", "trc_4", "trc_2"]
    assert db.delete_traces(path, ["trc_2", "trc_nope"]) == 1
    assert db.prune_traces(path, keep_last=0) == 2
    assert db.list_traces(path) == []


def test_the_connection_kept_for_saving_is_closed_at_exit_with_its_log_files(path):
    import subprocess
    import sys

    program = (
        "import sys, msgpack\n"
        "from sarv import db\n"
        "for i in range(3):\n"
        "    db.save_trace_in_sqlite(sys.argv[1], 'trc_%d' % i, msgpack=msgpack.packb({'frames_of_interest': []}))\n"
        "import os; print(os.path.exists(sys.argv[1] + '-wal'))\n"
    )
    result = subprocess.run([sys.executable, "-c", program, path], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "True\n"  # open while the program ran
    assert not os.path.exists(path + "-wal") and not os.path.exists(path + "-shm")
    assert [s.trace_id for s in db.list_traces(path)] == ["trc_2", "trc_1", "trc_0"]
    with db.open_trace(path, "trc_1") as stream:
        assert msgpack.unpackb(stream.read()) == {"frames_of_interest": []}
    # Nor do readers leave them behind.
    assert not os.path.exists(path + "-wal") and not os.path.exists(path + "-shm")


def _step(i):
    return i


def test_columns_of_a_document_the_core_describes_are_those_read_from_its_bytes(path):
    from sarv import pytest_plugin
    from sarv.config import load_config
    from sarv.profiler import Profiler

    config = load_config({"db_path": path, "max_records": 50, "max_records_mode": "ring"})
    config["plugins"] = pytest_plugin.plugin_declarations()
    profiler = Profiler(config, source="pytest")
    with profiler:
        pytest_plugin._sarv_test_start("t.py::test_x")
        for i in range(100):
            _step(i)
        pytest_plugin._sarv_test_end("t.py::test_x", "failed")
    [summary] = db.list_traces(path)
    derived = columns.derive(db.load_trace(path, profiler.trace_id))
    assert derived.decode_error is None
    listed = (
        summary.source,
        summary.version,
        summary.started,
        summary.record_count,
        summary.test_name,
        summary.outcome,
        summary.command,
    )
    assert listed == (
        derived.source,
        derived.version,
        derived.started,
        derived.record_count,
        derived.test_name,
        derived.outcome,
        derived.command,
    )
    # The 50 newest records, the test's end marker among them, the note, and the start
    # marker, kept when the records around it went.
    assert (summary.outcome, summary.record_count, profiler.dropped_records) == ("failed", 52, derived.dropped)
    start, note, *_ = db.load_trace_document(path, profiler.trace_id)["frames_of_interest"]
    assert (start["type"], start["node_id"], note["type"]) == ("start_test", "t.py::test_x", "records_dropped")
    assert derived.dropped > 0


@pytest.mark.skipif(not hasattr(sqlite3.Connection, "setlimit"), reason="needs Python 3.11")
def test_saves_handed_to_the_writer_thread_commit_together_and_fail_alone(path, monkeypatch):
    monkeypatch.setattr(rows, "CHUNK_SIZE", 500)
    db.save_trace_in_sqlite(path, "trc_0", msgpack=document("trc_0"))
    big = msgpack.packb({"frames_of_interest": [{"x": os.urandom(64)} for _ in range(200)], "meta": {}})
    # A value SQLite refuses: the failing save's row, after its chunk rows were written.
    sqlite._writer(path, 60).conn.setlimit(sqlite3.SQLITE_LIMIT_LENGTH, 1000)
    broken = "trc_" + "B" * 1500
    refused = "trc_" + "R" * 1500  # the same for a save of one INSERT

    def cut_short():  # a document whose source fails: the save fails, nothing is stored
        yield big[: len(big) // 2]
        raise OSError("the pieces ran out")

    heard = {}
    # The file is held by another writer until every save is handed over: the writer
    # thread then finds them all waiting for one transaction.
    blocker = sqlite3.connect(path, isolation_level=None)
    blocker.execute("BEGIN IMMEDIATE")
    names = ["trc_1", broken, "trc_2", refused, "trc_CUT", "trc_BIG", "trc_3"]
    try:
        for name in names:
            doc = big if name in (broken, "trc_BIG") else cut_short() if name == "trc_CUT" else document(name)
            db.save_soon(path, name, doc, 10, lambda error, name=name: heard.__setitem__(name, error))
        time.sleep(0.2)
        blocker.execute("ROLLBACK")
        blocker.close()
        db.wait_for_saves(path)
    finally:
        db.close_connections()
    assert set(heard) == set(names)
    assert "too big" in str(heard.pop(broken)) and "too big" in str(heard.pop(refused))
    assert isinstance(heard.pop("trc_CUT"), OSError)
    assert set(heard.values()) == {None}
    stored = db.list_traces(path)
    assert sorted(s.trace_id for s in stored) == ["trc_0", "trc_1", "trc_2", "trc_3", "trc_BIG"]
    assert db.load_trace(path, "trc_BIG") == big
    # Nothing of the failed save is left: no placeholder row, no chunks of its own.
    conn = sqlite3.connect(path)
    assert conn.execute("SELECT count(*) FROM traces").fetchone() == (5,)
    assert conn.execute(
        "SELECT count(*) FROM trace_chunks WHERE trace_row NOT IN (SELECT id FROM traces WHERE trace_id != '')"
    ).fetchone() == (0,)
    assert conn.execute("SELECT sum(chunks) FROM traces").fetchone() > (1,)
    conn.close()


def test_saves_handed_to_the_writer_thread_are_stored_at_exit(path):
    code = (
        "import sys, msgpack\n"
        "from sarv import db\n"
        "for i in range(40):\n"
        "    db.save_soon(sys.argv[1], 'trc_%d' % i, msgpack.packb({'trace_id': 'trc_%d' % i}))\n"
    )
    subprocess.run([sys.executable, "-c", code, path], check=True, timeout=120)
    assert len(db.list_traces(path, limit=100)) == 40


def test_saves_made_later_share_a_transaction_and_none_is_left_behind(path, monkeypatch):
    def stored():
        if not os.path.exists(path):
            return []
        conn = sqlite3.connect(path)  # not the readers' API, which waits for the saves
        try:
            return sorted(row[0] for row in conn.execute("SELECT trace_id FROM traces"))
        except sqlite3.OperationalError:
            return []
        finally:
            conn.close()

    monkeypatch.setattr(batching, "_STRAGGLER", 3600.0)  # no writer thread coming to help
    monkeypatch.setattr(batching, "_CALLER_COMMIT", 3600.0)
    monkeypatch.setattr(batching, "_SAVES_PER_TRANSACTION", 3)
    commits = []
    monkeypatch.setattr(
        sqlite.Transaction, "commit", lambda self, real=sqlite.Transaction.commit: (commits.append(1), real(self))[1]
    )
    for name in ("trc_1", "trc_2"):
        db.save_later(path, name, document(name))
    assert stored() == []  # waiting for company
    db.save_later(path, "trc_3", document("trc_3"))  # the third: the caller runs all three
    assert stored() == ["trc_1", "trc_2", "trc_3"] and commits == [1]
    # One left waiting is readable in this process at once...
    db.save_later(path, "trc_4", document("trc_4"))
    assert [s.trace_id for s in db.list_traces(path, limit=1)] == ["trc_4"]
    # ...and otherwise taken by the writer thread once it has waited long enough.
    monkeypatch.setattr(batching, "_STRAGGLER", 0.05)
    db.save_later(path, "trc_5", document("trc_5"))
    with batching._backlog.cond:
        batching._backlog.cond.notify_all()  # (the writer looks every _STRAGGLER seconds: an hour above)
    deadline = time.monotonic() + 10
    while "trc_5" not in stored() and time.monotonic() < deadline:
        time.sleep(0.01)
    assert "trc_5" in stored()


class _SizedPieces:
    """Pieces that state their size, as the profiler's core hands documents over."""

    def __init__(self, document, parts, size=None):
        self.document, self.parts = document, parts
        self.size = len(document) if size is None else size

    def __iter__(self):
        step = -(-len(self.document) // self.parts)
        return iter([self.document[i : i + step] for i in range(0, len(self.document), step)])


@pytest.mark.parametrize("claimed", [None, 10])
def test_a_small_document_in_pieces_is_one_frame_and_a_wrong_size_is_no_harm(path, claimed):
    # (a small one as it says; one that says 10 bytes and holds 160 KB)
    records = [{"type": "frame", "text": os.urandom(20000 if claimed else 2000).hex()} for _ in range(4)]
    doc = msgpack.packb({"frames_of_interest": records})
    db.save_trace_in_sqlite(path, "trc_P", msgpack=_SizedPieces(doc, 3, claimed))
    with db.open_trace(path, "trc_P") as stream:
        assert b"".join(stream) == doc


def test_ctrl_c_during_saves_made_later_reaches_the_program_and_spares_the_others(path, monkeypatch):
    monkeypatch.setattr(batching, "_STRAGGLER", 3600.0)
    monkeypatch.setattr(batching, "_CALLER_COMMIT", 3600.0)
    monkeypatch.setattr(batching, "_SAVES_PER_TRANSACTION", 3)
    real = sqlite._store_one

    def interrupted(writer, conn, trace_id, pieces, before_rows=None):
        if trace_id == "trc_2":
            raise KeyboardInterrupt
        return real(writer, conn, trace_id, pieces, before_rows)

    monkeypatch.setattr(sqlite, "_store_one", interrupted)
    db.save_later(path, "trc_1", document("trc_1"))
    db.save_later(path, "trc_2", document("trc_2"))
    with pytest.raises(KeyboardInterrupt):
        db.save_later(path, "trc_3", document("trc_3"))  # the third runs the batch
    assert sorted(s.trace_id for s in db.list_traces(path)) == ["trc_1", "trc_3"]


def test_the_latest_saves_stay_known_as_saves_go_on(tmp_path, monkeypatch):
    # (the writer process looks each save of a batch of 64 up after its commit)
    from sarv.store import listeners

    monkeypatch.setattr(listeners, "_recent_saves", {})
    path = str(tmp_path / "t.db")
    for n in range(1000):
        listeners.remember_save(path, "trc_%d" % n, n, 1, 0, None)
        listeners.remember_save(path, "trc_%d" % (n - 10), n - 10, 1, 0, None)  # (saved again: now the latest)
        assert len(listeners._recent_saves) < 130
        assert all(db.saved_in_this_process(path, "trc_%d" % k) == (k, 1, 0) for k in range(max(0, n - 62), n + 1))
    assert db.saved_in_this_process(path, "trc_0") is None
    assert db.saved_in_this_process(str(tmp_path / "other.db"), "trc_999") is None


@pytest.mark.skipif(len(getattr(os, "sched_getaffinity", lambda _: ())(0)) < 2, reason="one core: no writer process")
def test_documents_of_every_kind_saved_later_through_the_writer_process(path, monkeypatch):
    monkeypatch.setattr(batching, "_shipping", "always")
    monkeypatch.setattr(batching, "_shipper", None)  # (restored when the test ends: later saves are made here)
    big = document("trc_big", records=40000)  # over the pipe's limit: saved here, after those sent
    assert len(big) > shipping._LARGE
    marked = document("trc_described", start_test="t::one")
    marker = msgpack.packb({"type": "start_test", "frame_id": "frm_1", "node_id": "t::one"})
    described = db.DescribedDocument(marked, 3, marked.index(b"\xaemain_thread_id"), (marker,))
    originals = {name: document(name) for name in ("trc_bytes", "trc_bytearray", "trc_memoryview", "trc_pieces")}
    originals.update(trc_described=marked, trc_big=big)
    kinds = {
        "trc_bytes": originals["trc_bytes"],
        "trc_bytearray": bytearray(originals["trc_bytearray"]),
        "trc_described": described,
        "trc_memoryview": memoryview(originals["trc_memoryview"]),
        "trc_pieces": _SizedPieces(originals["trc_pieces"], 3),
        "trc_big": big,
    }
    try:
        for trace_id, doc in kinds.items():
            db.save_later(path, trace_id, doc)
        assert batching._shipper is not None and batching._shipper.seq == 3  # (the others are saved here)
        assert db.wait_for_saves(path, timeout=60)
        assert not batching._shipper.sent
        for trace_id, original in originals.items():
            with db.open_trace(path, trace_id) as stream:
                assert b"".join(stream) == original, trace_id
            assert db.saved_in_this_process(path, trace_id) is not None
        [summary] = [s for s in db.list_traces(path) if s.trace_id == "trc_described"]
        assert (summary.test_name, summary.record_count) == ("t::one", 3)
    finally:
        if batching._shipper is not None:
            batching._shipper.close()


@pytest.mark.skipif(len(getattr(os, "sched_getaffinity", lambda _: ())(0)) < 2, reason="one core: no writer process")
def test_a_wait_whose_acknowledgements_another_reader_took_ends(path, monkeypatch):
    """wait() saw a save not acknowledged yet; before it could read, another reader (sarv's
    writer thread) took the acknowledgement: the wait ends instead of waiting for ever."""
    import threading

    monkeypatch.setattr(batching, "_shipping", "always")
    monkeypatch.setattr(batching, "_shipper", None)
    db.save_later(path, "trc_1", document("trc_1"))
    shipper = batching._shipper
    try:
        shipper.flush()
        while shipper.sent:
            shipper.collect(1.0)  # (the other reader: the acknowledgement is taken here)
        stale = iter([True])
        real = shipper.waiting_for
        monkeypatch.setattr(shipper, "waiting_for", lambda key: next(stale, None) or real(key))
        waiter = threading.Thread(target=shipper.wait, args=(None, None), daemon=True)
        waiter.start()
        waiter.join(30)
        assert not waiter.is_alive()
    finally:
        shipper.close()
