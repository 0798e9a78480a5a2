"""However a recorded process ends, its trace is saved: signals, os._exit, exec,
multiprocessing workers (fork, spawn, forkserver) and Python subprocesses, each
end in a real subprocess under `sarv run` or `pytest --sarv`."""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

from sarv import db
from helpers import TIMEOUT, frame_records, sarv, saved_trace

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="POSIX process ends")


def _env(db_path):
    environment = dict(os.environ)
    environment["SARV_DB"] = str(db_path)
    return environment


def _default_signals():
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    signal.signal(signal.SIGHUP, signal.SIG_DFL)


def _start(args, cwd, db_path, **kwargs):
    return subprocess.Popen(
        [sys.executable, "-m", *map(str, args)],
        cwd=str(cwd),
        env=_env(db_path),
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        # A shell may start children with Ctrl-C ignored, nohup with SIGHUP ignored (a program
        # then keeps running, with sarv or without); a terminal user's program has neither.
        preexec_fn=_default_signals,
        **kwargs,
    )


def _finish(process, stdin=None):
    try:
        return process.communicate(stdin, timeout=TIMEOUT)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


def _calls(path, trace_id, name):
    records = frame_records(db.load_trace_document(path, trace_id))
    return [(r["locals"] or {}).get("n") for r in records if r["co_name"] == name and r["event"] == "call"]


# The program says "ready" once it has called tick(1), then ticks until it is ended.
TICKING = textwrap.dedent(
    """
    import os
    import signal
    import sys
    import time


    def tick(n):
        time.sleep(0.005)
        return n


    def on_term(signum, frame):
        mode = sys.argv[1]
        if mode == "exit":
            sys.exit(3)
        signal.signal(signum, signal.SIG_DFL)  # mode "again": die of it, as many servers do
        os.kill(os.getpid(), signum)


    if sys.argv[1] in ("exit", "again"):
        signal.signal(signal.SIGTERM, on_term)
    tick(1)
    print("ready", flush=True)
    n = 2
    while True:
        tick(n)
        n += 1
    """
)


@pytest.mark.parametrize(
    "signum, mode, status",
    [
        (signal.SIGTERM, "plain", -signal.SIGTERM),
        (signal.SIGHUP, "plain", -signal.SIGHUP),
        (signal.SIGTERM, "exit", 3),  # the program's handler runs, and ends it its way
        (signal.SIGTERM, "again", -signal.SIGTERM),
    ],
)
def test_a_signal_saves_the_trace_and_ends_the_process_as_it_would(tmp_path, signum, mode, status):
    (tmp_path / "ticking.py").write_text(TICKING)
    path = tmp_path / "t.db"
    process = _start(["sarv", "run", "ticking.py", mode], tmp_path, path)
    assert process.stdout.readline() == "ready\n"
    process.send_signal(signum)
    out, err = _finish(process)
    assert process.returncode == status, err
    trace_id, count, _ = saved_trace(subprocess.CompletedProcess([], status, out, err))
    ticks = _calls(path, trace_id, "tick")
    assert ticks[:1] == [1] and count > 0
    assert "Traceback" not in err


def test_sigterm_ends_a_program_that_holds_the_interpreter_in_c_as_it_would(tmp_path):
    # No Python code can run, sarv's neither: the process ends by the signal all the same.
    (tmp_path / "stuck.py").write_text('print("ready", flush=True)\nsum(range(10**15))\n')
    process = _start(["sarv", "run", "stuck.py"], tmp_path, tmp_path / "t.db")
    assert process.stdout.readline() == "ready\n"
    process.send_signal(signal.SIGTERM)
    _finish(process)
    assert process.returncode == -signal.SIGTERM


def test_sigterm_during_the_save_after_ctrl_c_keeps_the_trace(tmp_path):
    # The program holds sarv's save until the test has sent SIGTERM.
    (tmp_path / "held.py").write_text(
        TICKING.replace(
            "tick(1)\n",
            textwrap.dedent(
                """
                import sarv.db

                real_save = sarv.db.save_trace_in_sqlite


                def held_save(*args, **kwargs):
                    print("saving", flush=True)
                    sys.stdin.readline()
                    return real_save(*args, **kwargs)


                held_save.streaming_document = True
                sarv.db.save_trace_in_sqlite = held_save
                tick(1)
                """
            ),
        )
    )
    path = tmp_path / "t.db"
    process = _start(["sarv", "run", "held.py", "plain"], tmp_path, path)
    assert process.stdout.readline() == "ready\n"
    process.send_signal(signal.SIGINT)
    assert process.stdout.readline() == "saving\n"
    process.send_signal(signal.SIGTERM)
    process.send_signal(signal.SIGTERM)
    out, err = _finish(process, "go on\n")
    assert process.returncode == -signal.SIGTERM, err
    assert "KeyboardInterrupt" in err
    (summary,) = db.list_traces(path)
    assert _calls(path, summary.trace_id, "tick")[:1] == [1]


EXITING = textwrap.dedent(
    """
    import os
    import sys


    def work(n):
        return n * 2


    def child(n):
        return n + 1


    if __name__ == "__main__":
        work(int(sys.argv[2]) if len(sys.argv) > 2 else 1)
        if sys.argv[1] == "exit":
            os._exit(7)
        if sys.argv[1] == "exec":
            os.execv(sys.executable, [sys.executable, __file__, "child"])
        if sys.argv[1] == "execlp":  # through PATH: folders that do not hold it first
            os.environ["PATH"] = "/nonexistent:" + os.path.dirname(sys.executable)
            os.execlp(os.path.basename(sys.executable), sys.executable, __file__, "child")
        if sys.argv[1] == "child":
            child(5)
            sys.exit(4)
    """
)


@pytest.mark.parametrize("how", ["exit", "exec", "execlp"])
def test_os_exit_and_exec_save_first(tmp_path, how):
    (tmp_path / "exiting.py").write_text(EXITING)
    path = tmp_path / "t.db"
    result = sarv("run", "exiting.py", how, "21", cwd=tmp_path, db_path=path)
    assert result.returncode == (7 if how == "exit" else 4), result.stderr
    parent_id = saved_trace(result)[0]
    assert _calls(path, parent_id, "work") == [21]
    summaries = db.list_traces(path)
    if how == "exit":
        assert len(summaries) == 1
        return
    # The program exec'd is a Python child of the trace: its own trace, linked.
    (child,) = [s for s in summaries if s.trace_id != parent_id]
    assert child.parent_trace_id == parent_id
    assert _calls(path, child.trace_id, "child") == [5]


POOL = textwrap.dedent(
    """
    import multiprocessing
    import sys


    def square(n):
        return n * n


    if __name__ == "__main__":
        context = multiprocessing.get_context(sys.argv[1])
        with context.Pool(2) as pool:  # __exit__ ends the workers with SIGTERM
            print(sum(pool.map(square, range(20), chunksize=1)))
    """
)


def test_pool_workers_ended_by_with_keep_their_traces(tmp_path):
    (tmp_path / "pool.py").write_text(POOL)
    path = tmp_path / "t.db"
    result = sarv("run", "pool.py", "fork", cwd=tmp_path, db_path=path)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "2470\n"
    parent_id = saved_trace(result)[0]
    workers = [s for s in db.list_traces(path) if s.trace_id != parent_id]
    assert len(workers) == 2 and {s.parent_trace_id for s in workers} == {parent_id}
    squared = sorted(n for s in workers for n in _calls(path, s.trace_id, "square"))
    assert squared == list(range(20))


CHILDREN = textwrap.dedent(
    """
    import multiprocessing
    import subprocess
    import sys


    def work(n):
        return n * 3


    if __name__ == "__main__":
        work(0)
        how = sys.argv[1]
        if how == "subprocess":
            code = "import sys; sys.path.insert(0, '.'); import children; children.work(9)"
            subprocess.run([sys.executable, "-c", code], check=True)
        else:
            worker = multiprocessing.get_context(how).Process(target=work, args=(9,))
            worker.start()
            worker.join()
            assert worker.exitcode == 0
    """
)


@pytest.mark.parametrize("how", ["spawn", "forkserver", "subprocess", "no-children"])
def test_python_children_are_traces_of_their_own(tmp_path, how):
    (tmp_path / "children.py").write_text(CHILDREN)
    path = tmp_path / "t.db"
    options = ["--no-children"] if how == "no-children" else []
    result = sarv("run", *options, "children.py", "spawn" if how == "no-children" else how, cwd=tmp_path, db_path=path)
    assert result.returncode == 0, result.stderr
    parent_id = saved_trace(result)[0]
    assert _calls(path, parent_id, "work") == [0]
    children = [s for s in db.list_traces(path) if s.trace_id != parent_id]
    if how == "no-children":
        assert children == []
        return
    (child,) = children  # (multiprocessing's helper processes record nothing)
    assert child.parent_trace_id == parent_id
    assert _calls(path, child.trace_id, "work") == [9]


def test_sigterm_under_pytest_saves_the_running_tests_trace(tmp_path):
    (tmp_path / "test_hangs.py").write_text(
        textwrap.dedent(
            """
            import time


            def step(n):
                return n


            def test_quick():
                step(0)


            def test_hangs():
                step(1)
                print("ready", flush=True)
                while True:
                    time.sleep(0.01)
            """
        )
    )
    path = tmp_path / "t.db"
    process = _start(["pytest", "-s", "-q", "-p", "no:cacheprovider", "--sarv", "test_hangs.py"], tmp_path, path)
    for line in process.stdout:
        if "ready" in line:
            break
    process.send_signal(signal.SIGTERM)
    out, err = _finish(process)
    assert process.returncode == -signal.SIGTERM, out + err
    traces = {s.test_name: s for s in db.list_traces(path)}
    assert set(traces) == {"test_hangs.py::test_quick", "test_hangs.py::test_hangs"}
    assert _calls(path, traces["test_hangs.py::test_hangs"].trace_id, "step") == [1]


# --- Nothing of the program runs inside the hook -----------------------------------------

HOLDING = textwrap.dedent(
    """
    import logging
    import sys
    import threading
    import time

    lock = threading.Lock()


    class Locked(logging.Handler):
        # Takes the lock the program holds around its recorded calls.
        def emit(self, record):
            with lock:
                print("said:", record.getMessage(), flush=True)


    logging.getLogger("sarv").addHandler(Locked())
    time.time = lambda: 0.0  # the program's own clock


    def work(n):
        return n + 1


    with lock:
        for i in range(100):  # past --max-records 20: the cap is reached inside the hook
            work(i)
    print("done", flush=True)
    """
)


def test_warnings_of_the_hook_are_said_outside_it_and_its_clock_is_its_own(tmp_path):
    (tmp_path / "holding.py").write_text(HOLDING)
    path = tmp_path / "t.db"
    before = __import__("time").time()
    result = sarv("run", "--max-records", "20", "holding.py", cwd=tmp_path, db_path=path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "done",
        "said: sarv: max_records (20) reached: no more records are kept",
    ]
    (summary,) = db.list_traces(path)
    document = db.load_trace_document(path, saved_trace(result)[0])
    records = frame_records(document)
    stamps = [r["timestamp"] for r in records] + [document["timestamp"], summary.created]
    assert len(records) == 20 and all(stamp >= before for stamp in stamps)


# --- The program's end does not fail sarv's ----------------------------------------------

ENDING_BADLY = textwrap.dedent(
    """
    import os
    import sys


    def work(n):
        return n


    work(1)
    if sys.argv[1] == "close-fd":
        os.close(2)
    elif sys.argv[1] == "close-stderr":
        sys.stderr.close()
    elif sys.argv[1] == "recursion-limit":
        sys.setrecursionlimit(25)
    """
)


@pytest.mark.parametrize("how", ["close-fd", "close-stderr", "recursion-limit"])
def test_the_programs_exit_status_and_trace_survive_how_it_ends(tmp_path, how):
    (tmp_path / "ending.py").write_text(ENDING_BADLY)
    path = tmp_path / "t.db"
    result = sarv("run", "ending.py", how, cwd=tmp_path, db_path=path)
    assert result.returncode == 0, result.stderr
    (summary,) = db.list_traces(path)
    assert _calls(path, summary.trace_id, "work") == [1]


def test_a_failed_save_is_tried_again_by_stop(tmp_path, monkeypatch):
    import sarv

    def work(n):
        return n * 2

    def failing(*args, **kwargs):
        raise OSError("disk full")

    path = tmp_path / "t.db"
    profiler = sarv.profiling(db_path=str(path))
    monkeypatch.setattr(sarv.db, "save_trace_in_sqlite", failing)
    with pytest.raises(OSError, match="disk full"):
        with profiler:
            work(21)
    monkeypatch.undo()
    profiler.stop()
    assert _calls(path, profiler.trace_id, "work") == [21]
    assert profiler.record_count == len(frame_records(db.load_trace_document(path, profiler.trace_id)))
    profiler.stop()  # saved: nothing more
    assert len(db.list_traces(path)) == 1
