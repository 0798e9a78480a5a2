"""The shared store: a PostgreSQL URL as trace database, checked against the
SQLite store it stands in for, through the commands, and with many writers.

Needs a server: SARV_TEST_POSTGRES is the URL of a database whose user may
create databases (.ci/postgres.sh starts one). Without it the tests skip,
except in CI."""

import os
import subprocess
import sys
import uuid

import msgpack
import pytest

from sarv import db
from sarv.store import postgres, rows

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.fixture
def pg_url():
    """A fresh, empty database on the test server; dropped afterwards."""
    admin_url = os.environ.get("SARV_TEST_POSTGRES")
    try:
        import psycopg
    except ImportError:
        psycopg = None
    if not admin_url or psycopg is None:
        if os.environ.get("CI"):
            pytest.fail("CI runs the PostgreSQL store tests: SARV_TEST_POSTGRES and psycopg are needed")
        pytest.skip("no PostgreSQL server (SARV_TEST_POSTGRES) or no psycopg")
    name = "sarv_t_" + uuid.uuid4().hex[:12]
    with psycopg.connect(admin_url, autocommit=True) as conn:
        conn.execute("CREATE DATABASE %s" % name)
    base, _, _ = admin_url.rpartition("/")
    url = "%s/%s" % (base, name)
    try:
        yield url
    finally:
        postgres.close_connections()
        with psycopg.connect(admin_url, autocommit=True) as conn:
            conn.execute("DROP DATABASE IF EXISTS %s WITH (FORCE)" % name)


def documents(folder):
    """(trace id, document) pairs: recorded traces, a test's, a request's, a malformed one."""
    import sarv

    def work(n):
        return [n] * n

    pairs = []
    for i in range(3):
        with sarv.profiling(db_path=str(folder / "recorded.sqlite3")) as profiler:
            work(i)
        pairs.append(("trc_recorded%d" % i, db.load_trace(profiler.db_path, profiler.trace_id)))
    big = [{"type": "frame", "co_name": "f%d" % i, "blob": os.urandom(64).hex()} for i in range(3000)]
    pairs.append(
        ("trc_big", msgpack.packb({"meta": {"source": "api", "version": "1"}, "frames_of_interest": big, "frames": {}}))
    )
    test_records = [
        {"type": "start_test", "node_id": "tests/test_x.py::test_a"},
        {"type": "end_test", "node_id": "tests/test_x.py::test_a", "outcome": "failed"},
    ]
    pairs.append(
        (
            "trc_test",
            msgpack.packb(
                {"meta": {"source": "pytest", "version": "1"}, "frames_of_interest": test_records, "frames": {}}
            ),
        )
    )
    request_records = [
        {"type": "start_request", "method": "GET", "path": "/a"},
        {"type": "end_request", "method": "GET", "path": "/a", "status": 404, "duration": 0.25},
    ]
    pairs.append(
        (
            "trc_request",
            msgpack.packb(
                {"meta": {"source": "request", "version": "1"}, "frames_of_interest": request_records, "frames": {}}
            ),
        )
    )
    pairs.append(("trc_broken", b"\x93\x01"))
    pairs.append(("trc_request", pairs[-2][1] + b""))  # a second save of one trace id
    return pairs


def comparable(summary):
    fields = (
        dict(vars(summary))
        if not hasattr(summary, "__dataclass_fields__")
        else {name: getattr(summary, name) for name in summary.__dataclass_fields__}
    )
    for name in ("row_id", "created"):
        fields.pop(name)
    return fields


def test_same_results_as_sqlite(tmp_path, pg_url, monkeypatch):
    monkeypatch.setattr(rows, "CHUNK_SIZE", 4096)  # the big trace is stored in many rows
    sqlite_path = str(tmp_path / "t.sqlite3")
    pairs = documents(tmp_path)
    assert db.check_store(pg_url) is None  # (the check before a run makes nothing)
    assert db.list_traces(pg_url) == [] and db.find_trace(pg_url, "trc_big") is None
    for trace_id, document in pairs:
        db.save_trace_in_sqlite(sqlite_path, trace_id, msgpack=document)
        db.save_soon(pg_url, trace_id, document)  # as the request middleware saves
    on_pg = db.list_traces(pg_url)  # (after the writer thread's saves)
    assert [comparable(s) for s in on_pg] == [comparable(s) for s in db.list_traces(sqlite_path)]
    assert db.find_trace(pg_url, "trc_big").stored_size > 4096
    request = db.find_trace(pg_url, "trc_request")
    assert (request.method, request.path, request.status, request.duration) == ("GET", "/a", 404, 0.25)
    for trace_id, document in pairs[:-1]:
        if trace_id != "trc_request":
            assert db.load_trace(pg_url, trace_id) == document
    for kwargs in ({"source": "pytest"}, {"test": "test_a"}, {"limit": 2}, {"since": 0}):
        assert [s.trace_id for s in db.list_traces(pg_url, **kwargs)] == [
            s.trace_id for s in db.list_traces(sqlite_path, **kwargs)
        ]

    def resolved(path, text):
        try:
            return db.resolve_trace_id(path, text)
        except db.TraceNotFound:
            return "not found"

    for text in ("last", "trc_big", "request", "trc_recorded1", "d1", "trc_rec", "nothing"):
        assert resolved(pg_url, text) == resolved(sqlite_path, text), text
    assert resolved(pg_url, "d1") == "trc_recorded1" and resolved(pg_url, "trc_rec") == "not found"
    assert db.prune_traces(pg_url, keep_last=5, source="api") == db.prune_traces(sqlite_path, keep_last=5, source="api")
    assert (
        db.delete_traces(pg_url, ["trc_big", "trc_request"])
        == db.delete_traces(sqlite_path, ["trc_big", "trc_request"])
        == 3
    )
    assert [comparable(s) for s in db.list_traces(pg_url)] == [comparable(s) for s in db.list_traces(sqlite_path)]
    with pytest.raises(db.TraceNotFound):
        db.open_trace(pg_url, "trc_big")
    # A newer layout is refused by the check before a run as by a save.
    import psycopg

    with psycopg.connect(pg_url, autocommit=True) as conn:
        conn.execute("UPDATE sarv_meta SET value = '3' WHERE key = 'schema_version'")
    postgres.close_connections()
    for refused in (
        lambda: db.check_store(pg_url),
        lambda: db.save_trace_in_sqlite(pg_url, "trc_new", msgpack=b"\x80"),
    ):
        with pytest.raises(db.SchemaVersionError):
            refused()


def test_commands_on_a_postgresql_store(tmp_path, pg_url):
    # (The test server trusts loopback: the password is not checked, only never shown.)
    env = dict(os.environ, SARV_DB=pg_url.replace("://postgres@", "://postgres:pw-in-url@"))
    env.pop("CI", None)

    def sarv(*args):
        done = subprocess.run(
            [sys.executable, "-m", "sarv", *args],
            cwd=str(tmp_path),
            env=env,
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert done.returncode == 0, done.stdout + done.stderr
        assert "pw-in-url" not in done.stdout + done.stderr
        return done.stdout

    assert "no traces" in sarv("traces")
    # A test session's traces, saved together, counted and offered from the store.
    (tmp_path / "test_pg.py").write_text("def test_one():\n    assert 1\n\ndef test_two():\n    assert 2\n")
    session = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--sarv", "test_pg.py"],
        cwd=str(tmp_path),
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert "sarv: 2 of 2 tests traced" in session.stdout, session.stdout + session.stderr
    assert "(test_pg.py::test_two)" in session.stdout
    sarv("prune", "--keep-last", "0")
    for _ in range(2):
        sarv("run", os.path.join(ROOT, "examples", "shop.py"))
    listing = sarv("traces")
    assert listing.count("shop.py") == 2
    assert "shop" in sarv("show", "last")
    sarv("export", "last", "-o", str(tmp_path / "t.json"))
    assert (tmp_path / "t.json").stat().st_size > 0
    sarv("prune", "--keep-last", "1")
    assert sarv("traces").count("shop.py") == 1
    sarv("delete", "last")
    assert "no traces" in sarv("traces")
    # A wrong password is an error of one line, without the password.
    wrong = pg_url.replace("postgresql://postgres@", "postgresql://nobody:hunter2@")
    done = subprocess.run(
        [sys.executable, "-m", "sarv", "traces", "--db", wrong],
        cwd=str(tmp_path),
        env=env,
        capture_output=True,
        text=True,
    )
    assert done.returncode != 0 and "hunter2" not in done.stderr and "Traceback" not in done.stderr


WRITER = """
import sys
from sarv import db
import msgpack
url, name, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
for i in range(count):
    records = [{"type": "start_request", "method": "POST", "path": "/%s/%d" % (name, i)}]
    document = msgpack.packb({"meta": {"source": "request", "version": "1"}, "frames_of_interest": records, "frames": {}})
    db.save_trace_in_sqlite(url, "trc_%s_%d" % (name, i), msgpack=document)
"""


def test_concurrent_writers(tmp_path, pg_url):
    """Processes saving at once, the first saves of each racing to create the tables."""
    script = tmp_path / "writer.py"
    script.write_text(WRITER)
    writers = [
        subprocess.Popen([sys.executable, str(script), pg_url, "w%d" % n, "15"], stderr=subprocess.PIPE, text=True)
        for n in range(6)
    ]
    for proc in writers:
        _, err = proc.communicate(timeout=180)
        assert proc.returncode == 0, err
    summaries = db.list_traces(pg_url)
    assert len(summaries) == 90 and len({s.row_id for s in summaries}) == 90
    assert {s.path for s in summaries} == {"/w%d/%d" % (n, i) for n in range(6) for i in range(15)}
