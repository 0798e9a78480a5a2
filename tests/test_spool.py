"""A trace outlives a killed process: its records are copied to a spool beside the
database while the program runs, and the next sarv command stores the spool of a
process that ended without saving as the trace, the same bytes a save makes."""

import os
import shutil
import signal
import subprocess
import sys
import textwrap
import threading

import msgpack
import pytest

from sarv import _speedups, db
from sarv.profiler import Profiler
from sarv.store import spool
from helpers import TIMEOUT, frame_records, sarv

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="POSIX file locks")

# Calls tick("last mark"), then waits until a spool holds its call and its return (no
# timing: it reads the files), says "ready" and runs on until it is killed. The marks
# are texts found nowhere else in a spool (not a name, path or other value recorded).
WAITS_FOR_ITS_SPOOL = """
import os
import sys
import time


def tick(n):
    return n


def spooled(folder, mark):
    names = os.listdir(folder) if os.path.isdir(folder) else []
    for name in names:
        try:
            with open(os.path.join(folder, name), "rb") as f:
                if f.read().count(mark) >= 2:
                    return True
        except OSError:
            pass
    return False


def wait_spooled(folder, mark):
    tick(mark)
    while not spooled(folder, mark.encode()):
        time.sleep(0.01)


def run_until_killed(folder):
    wait_spooled(folder, "last mark")
    print("ready", flush=True)
    while True:
        time.sleep(0.01)
"""


def _kill_when_ready(args, cwd, path):
    environment = dict(os.environ, SARV_DB=str(path))
    process = subprocess.Popen(
        [sys.executable, "-m", *args], cwd=str(cwd), env=environment, stdout=subprocess.PIPE, text=True
    )
    try:
        for line in process.stdout:
            if "ready" in line:
                break
        # While the process lives its spool is not taken for a trace.
        listed = sarv("traces", "--db", path, cwd=cwd)
        assert "recovered" not in listed.stderr
        assert os.listdir(str(path) + ".spool")
        process.send_signal(signal.SIGKILL)
        process.communicate(timeout=TIMEOUT)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    assert process.returncode == -signal.SIGKILL


def _ticks(path, trace_id):
    document = db.load_trace_document(path, trace_id)
    records = frame_records(document)
    return [(r["locals"] or {}).get("n") for r in records if r["co_name"] == "tick" and r["event"] == "call"], document


@pytest.mark.parametrize("how", ["run", "pytest", "pytest, saves not on disk"])
def test_a_killed_process_leaves_its_trace_to_the_next_command(tmp_path, how):
    folder = str(tmp_path / "t.db.spool")
    if how == "pytest, saves not on disk":
        # A test suite's saves are batched: those still waiting when the process is killed
        # are lost with it, so a finished test's spool is kept until they are on disk.
        # Here they never get there.
        (tmp_path / "conftest.py").write_text(
            "import sarv.db\nimport sarv.store.batching\n\n"
            "sarv.store.batching.save_later = print\nsarv.db.wait_for_saves = lambda *args: False\n"
        )
    if how == "run":
        (tmp_path / "prog.py").write_text(WAITS_FOR_ITS_SPOOL + "\ntick(1)\nrun_until_killed(%r)\n" % folder)
        args = ["sarv", "run", "prog.py"]
    else:
        (tmp_path / "test_killed.py").write_text(
            WAITS_FOR_ITS_SPOOL
            + textwrap.dedent(
                """

                def test_first():
                    tick(1)
                    wait_spooled(%r, "first mark")  # (its trace in a spool before it ends)


                def test_killed():
                    run_until_killed(%r)
                """
                % (folder, folder)
            )
        )
        args = ["pytest", "-s", "-q", "-p", "no:cacheprovider", "--sarv", "test_killed.py"]
    path = tmp_path / "t.db"
    _kill_when_ready(args, tmp_path, path)

    shown = sarv("show", "last", "--db", path, cwd=tmp_path)
    assert shown.returncode == 0, shown.stderr
    assert "recovered" in shown.stderr and "process_ended" in shown.stdout
    assert os.listdir(folder) == []  # stored once, and gone
    traces = db.list_traces(path)
    if how == "run":
        (summary,) = traces
        assert _ticks(path, summary.trace_id)[0] == [1, "last mark"]
    else:
        # (the first test's trace as saved, or, if its save was lost, from its spool)
        by_test = {s.test_name: s for s in traces}
        assert set(by_test) == {"test_killed.py::test_first", "test_killed.py::test_killed"}
        assert _ticks(path, by_test["test_killed.py::test_first"].trace_id)[0] == [1, "first mark"]
        summary = by_test["test_killed.py::test_killed"]
        assert _ticks(path, summary.trace_id)[0] == ["last mark"]
    ticks, document = _ticks(path, summary.trace_id)
    last = document["frames_of_interest"][-1]
    assert last["type"] == "process_ended" and last["how"] == spool.ENDED
    assert last["thread_native_id"] == document["main_thread_id"]
    # The calls still running when it was killed have no return.
    returns = {r["frame_id"] for r in frame_records(document) if r["event"] == "return"}
    calls = {r["co_name"] for r in frame_records(document) if r["event"] == "call" and r["frame_id"] not in returns}
    assert "run_until_killed" in calls


def _suite_under_sarv(folder, conftest, test_file, tests):
    """Runs `tests` (saved as `test_file` beside `conftest`) under pytest --sarv in a process
    of its own; the database's path."""
    (folder / "conftest.py").write_text(conftest)
    (folder / test_file).write_text(WAITS_FOR_ITS_SPOOL + tests)
    db_path = folder / "t.db"
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--sarv", test_file],
        cwd=str(folder),
        env=dict(os.environ, SARV_DB=str(db_path)),
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    return db_path


def test_a_suites_last_spool_kept_for_its_saves_goes_once_they_are_on_disk(tmp_path):
    # The saves are still on their way when the profiler stops (asked without waiting,
    # storage says so): the file is kept, then removed at exit once they are on disk. Left
    # behind, a later command would store it again (in a database made anew meanwhile).
    folder = str(tmp_path / "t.db.spool")
    # (the second test's spool is written after the first's save: the first's file is then
    # kept for it)
    path = _suite_under_sarv(
        tmp_path,
        "import sarv.db\n\nwaited = sarv.db.wait_for_saves\n"
        "sarv.db.wait_for_saves = lambda db_path=None, timeout=None: timeout is None and waited(db_path)\n",
        "test_spooled.py",
        "\n\ndef test_first():\n    tick(1)\n    wait_spooled(%r, 'first mark')\n" % folder
        + "\n\ndef test_second():\n    wait_spooled(%r, 'second mark')\n" % folder,
    )
    assert os.listdir(folder) == []
    by_test = {s.test_name: s for s in db.list_traces(path)}
    assert _ticks(path, by_test["test_spooled.py::test_first"].trace_id)[0] == [1, "first mark"]
    assert _ticks(path, by_test["test_spooled.py::test_second"].trace_id)[0] == ["second mark"]


def test_a_suites_last_test_is_kept_when_its_save_never_reaches_the_disk(tmp_path):
    # The suite ends as usual, but its saves (batched) never reach the disk, as when the
    # process is killed just after: the last test's spool, written before its save, is
    # left for the next command. sarv's flushing thread stops before the test ends, so no
    # flush after the save sets the file aside: the profiler's stop must.
    folder = str(tmp_path / "t.db.spool")
    path = _suite_under_sarv(
        tmp_path,
        "import sarv.db\nimport sarv.store.batching\n\n"
        "sarv.store.batching.save_later = print\nsarv.db.wait_for_saves = lambda *args: False\n",
        "test_last.py",
        "\n\ndef test_last():\n    tick(1)\n    wait_spooled(%r, 'last mark')\n" % folder
        + "    import sarv.profiler\n\n    sarv.profiler._exiting = True\n",
    )
    assert len(os.listdir(folder)) == 1
    listed = sarv("traces", "--db", path, cwd=tmp_path)
    assert listed.returncode == 0 and "recovered" in listed.stderr, listed.stderr
    (summary,) = db.list_traces(path)
    assert summary.test_name == "test_last.py::test_last"
    assert _ticks(path, summary.trace_id)[0] == [1, "last mark"]


def _work(n):
    total = 0
    for i in range(n):
        total += _step(i)
    return total


def _step(i):
    return i * 2


def _threads(count, calls):
    threads = [threading.Thread(target=_work, args=(calls,)) for _ in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


@pytest.mark.parametrize(
    "config",
    [
        {"threading": True},
        {"max_records": 150, "max_records_mode": "ring", "threading": True},
        {"max_records": 150, "max_records_mode": "stop"},
        {"max_bytes": 20000, "max_records_mode": "ring"},
        {"call_budget": 5},
    ],
    ids=["threads", "ring", "stop", "ring-bytes", "budget"],
)
def test_the_spool_assembles_to_the_saved_document(tmp_path, config):
    from sarv.config import load_config

    path = tmp_path / "t.db"
    profiler = Profiler(load_config(dict(config)), db_path=path)
    profiler.start()
    core = profiler.rust_profiler
    # Flushed between pieces of work, so that the caps drop records the spool holds already.
    for i in range(4):
        _work(30 + i)
        _threads(2, 20)
        core.spool_flush()
    (name,) = os.listdir(str(path) + ".spool")
    kept = tmp_path / name
    shutil.copyfile(os.path.join(str(path) + ".spool", name), kept)
    profiler.stop()
    assert os.listdir(str(path) + ".spool") == []  # saved: the spool is removed
    saved = db.load_trace(path, profiler.trace_id)
    trace_id, main_thread, document = _speedups.assemble_spool(kept.read_bytes())
    assert (trace_id, main_thread) == (profiler.trace_id, threading.main_thread().native_id)
    times, decoded = _note_times(saved)
    if times:
        # The note of calls left out gives their time in seconds at the rate the clock's
        # ticks are measured to have when the note is written: the spool's is a little
        # older than the save's. All else is the same.
        assembled_times, assembled = _note_times(document)
        assert assembled == decoded and len(document) == len(saved)
        assert assembled_times == pytest.approx(times, rel=1e-3)
    else:
        assert document == saved
    if "max_records" in config or "max_bytes" in config:
        assert decoded["frames_of_interest"][0]["type"] == "records_dropped"
    if "call_budget" in config or config.get("max_records_mode") == "stop":
        assert times

    # A spool left by a process that died after its save: the stored trace stays as it is.
    shutil.copyfile(kept, os.path.join(str(path) + ".spool", name))
    assert spool.recover(path) == []
    assert os.listdir(str(path) + ".spool") == []
    assert [s.trace_id for s in db.list_traces(path)] == [profiler.trace_id]


def _big(data):
    return len(data)


def test_under_ring_the_spool_stays_near_what_the_buffers_hold(tmp_path):
    from sarv.config import load_config

    path = tmp_path / "t.db"
    folder = str(path) + ".spool"
    config = load_config({"max_bytes": 200_000, "max_records_mode": "ring", "call_budget": 0})
    profiler = Profiler(config, db_path=path)
    profiler.start()
    core = profiler.rust_profiler
    data = ["x" * 1000] * 30  # about 30 kB a record
    largest = 0
    for _ in range(40):  # about 24 MB of records, 600 kB between flushes
        for _ in range(10):
            _big(data)
        if os.listdir(folder):
            largest = max(largest, os.path.getsize(os.path.join(folder, os.listdir(folder)[0])))
        core.spool_flush()
    (name,) = os.listdir(folder)
    with open(os.path.join(folder, name), "rb") as f:
        kept = f.read()
    profiler.stop()
    assert largest < 2 * 200_000 + (4 << 20) + 700_000
    assert _speedups.assemble_spool(kept)[2] == db.load_trace(path, profiler.trace_id)


def _resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads its resident memory")
def test_records_leave_memory_for_the_spool_and_the_save_reads_them_back(tmp_path, monkeypatch):
    from sarv.config import load_config

    path = tmp_path / "t.db"
    folder = str(path) + ".spool"
    profiler = Profiler(load_config({"threading": True, "call_budget": 0, "max_bytes": 0}), db_path=path)
    profiler.start()
    core = profiler.rust_profiler
    data = ["x" * 1000] * 100  # a call and its return: about 66 kB of records

    def record(rounds):
        for _ in range(rounds):
            for _ in range(20):
                _big(data)
            core.spool_flush()  # (not left to the flushing thread: the test never waits for it)

    record(8)  # 10 MB: past the size from which records leave memory
    _threads(2, 50)
    before = _resident()
    record(48)  # 63 MB more
    grown = _resident() - before
    assert grown < 32 << 20, grown  # (kept in memory: 65 MB more here)

    # A save that fails puts the records back, those on disk included; the spool is then
    # written anew from them, and a second try saves them all.
    received = []

    def failing(db_path, trace_id, timeout=60, msgpack=b""):
        received.append(bytes(msgpack))
        raise OSError("no room")

    monkeypatch.setattr(db, "save_trace_in_sqlite", failing)
    with pytest.raises(OSError, match="no room"):
        profiler.stop()
    monkeypatch.undo()
    core.spool_flush()
    (name,) = os.listdir(folder)
    with open(os.path.join(folder, name), "rb") as f:
        kept = f.read()
    profiler.stop()
    assert os.listdir(folder) == []
    saved = db.load_trace(path, profiler.trace_id)
    assert received == [saved]  # (written whole into one bytes object, then in pieces)
    assert _speedups.assemble_spool(kept)[2] == saved
    decoded = msgpack.unpackb(saved, strict_map_key=False)
    calls = [r for r in decoded["frames_of_interest"] if r.get("event") == "call" and r["co_name"] == "_big"]
    assert len(calls) == (8 + 48) * 20 and len(decoded["frames"]) == 2


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads its resident memory")
def test_records_made_faster_than_they_are_flushed_are_written_by_the_thread_that_records(tmp_path, monkeypatch):
    # sarv's flushing thread never runs here (as when the disk takes records slower than
    # they are made): past 32 MB of records in memory, the thread that records writes them.
    from sarv.config import load_config

    monkeypatch.setattr("sarv.profiler._exiting", True)  # (no flushing thread starts, a running one ends)
    path = tmp_path / "t.db"
    folder = str(path) + ".spool"
    profiler = Profiler(load_config({"call_budget": 0, "max_bytes": 0}), db_path=path)
    profiler.start()
    data = ["x" * 1000] * 100  # a call and its return: about 66 kB of records
    for _ in range(200):
        _big(data)
    before = _resident()
    for _ in range(1600):  # 105 MB more
        _big(data)
    grown = _resident() - before
    (name,) = os.listdir(folder)
    written = os.path.getsize(os.path.join(folder, name))
    profiler.stop()
    assert grown < 48 << 20, grown  # (kept in memory: 105 MB more here)
    assert written > 64 << 20, written
    decoded = msgpack.unpackb(db.load_trace(path, profiler.trace_id), strict_map_key=False)
    calls = [r for r in decoded["frames_of_interest"] if r.get("event") == "call" and r["co_name"] == "_big"]
    assert len(calls) == 1800


FILLS_A_SMALL_DISK = """
import resource
import signal
import sys

import sarv.profiler
from sarv.config import load_config

sarv.profiler._exiting = True  # no flushing thread: the thread that records writes the spool
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # (a write past the limit fails with EFBIG)
profiler = sarv.profiler.Profiler(load_config({"call_budget": 0, "max_bytes": 0}), db_path=sys.argv[1])


def big(data):
    return len(data)


data = ["x" * 1000] * 100
profiler.start()
resource.setrlimit(resource.RLIMIT_FSIZE, (12 << 20, resource.RLIM_INFINITY))
for _ in range(1000):  # 66 MB of records, the spool's file stopped at 12 MB
    big(data)
resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
profiler.stop()
"""


def test_a_write_that_fails_in_the_recording_threads_flush_is_said_and_loses_nothing(tmp_path):
    (tmp_path / "prog.py").write_text(FILLS_A_SMALL_DISK)
    path = tmp_path / "t.db"
    result = subprocess.run(
        [sys.executable, "prog.py", str(path)], cwd=str(tmp_path), capture_output=True, text=True, timeout=TIMEOUT
    )
    assert result.returncode == 0, result.stderr
    assert "the spool of trace" in result.stderr and "File too large" in result.stderr, result.stderr
    assert os.listdir(str(path) + ".spool") == []
    (summary,) = db.list_traces(path)
    decoded = msgpack.unpackb(db.load_trace(path, summary.trace_id), strict_map_key=False)
    calls = [r for r in decoded["frames_of_interest"] if r.get("event") == "call" and r["co_name"] == "big"]
    assert len(calls) == 1000


def test_without_a_spool_the_records_stay_in_memory_and_the_end_says_so(tmp_path, caplog):
    path = tmp_path / "t.db"
    (tmp_path / "t.db.spool").write_text("not a folder")
    profiler = Profiler(db_path=path, config=None)
    profiler.start()
    _work(20)
    profiler.stop()
    assert (
        sum(r.get("co_name") == "_step" for r in frame_records(db.load_trace_document(path, profiler.trace_id))) == 40
    )
    (warning,) = [r for r in caplog.records if "spool" in r.getMessage()]
    assert profiler.trace_id in warning.getMessage() and "kept in memory" in warning.getMessage()


def _note_times(document):
    # The document decoded, with the times of its note of calls left out taken out.
    decoded = msgpack.unpackb(document, strict_map_key=False)
    times = []
    for record in decoded["frames_of_interest"][:3]:
        if record.get("type") == "calls_left_out":
            for function in record["functions"]:
                times += [function.pop("total"), function.pop("longest")]
    return times, decoded


def test_a_spool_cut_anywhere_gives_the_records_before_the_cut(tmp_path):
    path = tmp_path / "t.db"
    profiler = Profiler(db_path=path, config=None)
    profiler.config["threading"] = True
    profiler.start()
    core = profiler.rust_profiler
    for _ in range(3):
        _work(5)
        _threads(1, 3)
        core.spool_flush()
    (name,) = os.listdir(str(path) + ".spool")
    with open(os.path.join(str(path) + ".spool", name), "rb") as f:
        data = f.read()
    profiler.stop()
    whole = msgpack.unpackb(_speedups.assemble_spool(data)[2], strict_map_key=False)

    def records(document):
        return [document["frames_of_interest"]] + [document["frames"][t] for t in sorted(document["frames"])]

    full = records(whole)
    assert sum(map(len, full)) > 20
    header_end = None
    for cut in range(len(data) + 1):
        assembled = _speedups.assemble_spool(data[:cut])
        if assembled is None:
            assert header_end is None, cut  # only a file cut inside its header holds nothing
            continue
        header_end = header_end or cut
        document = msgpack.unpackb(assembled[2], strict_map_key=False)
        for part, whole_part in zip(records(document), full):
            assert part == whole_part[: len(part)], cut
    # A tail of zeroes (a file system that lost the last write) or of garbage ends it too.
    for tail in (b"\0" * 64, b"R\xff\xff\xff\x7f" + b"\x01" * 40):
        document = msgpack.unpackb(_speedups.assemble_spool(data + tail)[2], strict_map_key=False)
        assert records(document) == full
