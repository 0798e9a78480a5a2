"""Profiling several threads: which threads are hooked, where their records go, and that
per-thread call stacks and the handler lock hold up under concurrent events."""

import subprocess
import sys
import textwrap
import threading

import msgpack

import sarv._sarv

WORKERS = textwrap.dedent("""\
    import threading
    import time

    HOOK = None

    def leaf(n):
        time.sleep(0.001)  # lets the other threads run in between
        return n

    def branch(n):
        return leaf(n) + leaf(n + 1)

    class Worker(threading.Thread):
        def run(self):
            if HOOK is not None:
                HOOK(None, None, None)
            for n in range(5):
                branch(n)

    def start_workers(count):
        workers = []
        for i in range(count):
            workers.append(Worker(name=f"worker-{i}", daemon=True))
        for worker in workers:
            worker.start()
        for n in range(5):
            branch(n)
        for worker in workers:
            worker.join(timeout=30)
        return workers
""")

BRANCH = [
    ("branch", "call"),
    ("leaf", "call"),
    ("leaf", "return"),
    ("leaf", "call"),
    ("leaf", "return"),
    ("branch", "return"),
]


def events(records):
    return [(r["co_name"], r["event"]) for r in records]


def assert_stacks_stay_per_thread(records):
    ids = {r["frame_id"] for r in records}
    sites = [r["user_code_call_site"] for r in records if r["user_code_call_site"] is not None]
    assert sites and all(s["call_frame_id"] in ids for s in sites)


def run_workers(recording, count, threading_on, self_hooking=False):
    ns = recording.module(WORKERS)
    profiler = recording.profiler({"threading": threading_on})
    sarv._sarv.register_profiler(profiler)
    if self_hooking:
        ns["HOOK"] = profiler.rust_profiler.register_threading_profiler
    try:
        workers = ns["start_workers"](count)
    finally:
        sarv._sarv.register_noop_profiler()
        threading.setprofile(None)
    assert not any(worker.is_alive() for worker in workers)
    return workers, recording.trace(profiler)


def test_threads_started_after_registration_are_recorded_apart(recording):
    workers, trace = run_workers(recording, 3, threading_on=True)
    main_id = threading.main_thread().native_id
    assert trace.doc["main_thread_id"] == main_id
    assert set(trace.threads) == {w.native_id for w in workers}
    for worker in workers:
        records = trace.threads[worker.native_id]
        assert {(r["thread"], r["thread_native_id"]) for r in records} == {(worker.name, worker.native_id)}
        # run's call was the event that switched the thread to the hook: not recorded, so
        # its return has no id.
        assert events(records) == BRANCH * 5 + [("run", "return")]
        assert records[-1]["frame_id"] is None
        assert_stacks_stay_per_thread(records)
    assert {r["thread_native_id"] for r in trace.records} == {main_id}
    assert events(trace.records) == [("start_workers", "call")] + BRANCH * 5 + [("start_workers", "return")]
    assert_stacks_stay_per_thread(trace.records)


def test_threading_switch_waits_for_a_python_event(recording):
    """C-function events can reach the thread's switching function before its run's call
    (3.12+ while another thread is hooked): the switch waits for a Python-level event."""
    profiler = recording.profiler({})
    sarv._sarv.register_profiler(profiler)
    sarv._sarv.register_noop_profiler()
    native = profiler.rust_profiler
    try:
        for event in ("c_call", "c_return", "c_exception"):
            assert native.register_threading_profiler(None, event, None) is None
            assert not native.hooks_this_thread()
        native.register_threading_profiler(None, "call", None)
        assert native.hooks_this_thread()
    finally:
        sarv._sarv.register_noop_profiler()
        sys.setprofile(None)


def test_without_threading_other_threads_are_not_hooked(recording):
    workers, trace = run_workers(recording, 2, threading_on=False)
    assert trace.threads == {}
    assert {r["thread_native_id"] for r in trace.records} == {threading.main_thread().native_id}
    assert events(trace.records) == [("start_workers", "call")] + BRANCH * 5 + [("start_workers", "return")]


def test_without_threading_a_self_hooked_thread_goes_to_frames_of_interest(recording):
    workers, trace = run_workers(recording, 1, threading_on=False, self_hooking=True)
    assert trace.threads == {}
    worker_records = [r for r in trace.records if r["thread_native_id"] == workers[0].native_id]
    assert events(worker_records) == BRANCH * 5 + [("run", "return")]
    assert {r["thread"] for r in worker_records} == {"worker-0"}
    assert_stacks_stay_per_thread(worker_records)
    main_records = [r for r in trace.records if r not in worker_records]
    assert events(main_records) == [("start_workers", "call")] + BRANCH * 5 + [("start_workers", "return")]


STRESS = textwrap.dedent("""\
    import sys, threading, time, types
    import msgpack
    import sarv

    for short in ("serialize", "db", "plugins", "version", "git"):
        sys.modules["sarv." + short] = types.ModuleType("sarv." + short)

    def dump(obj):
        time.sleep(0)  # gives the interpreter lock away inside the hook
        return msgpack.packb(obj, default=repr)

    def matches(frame, event, arg, context):
        time.sleep(0)
        return True

    sys.modules["sarv.serialize"].dump_msgpack = dump
    sys.modules["sarv.plugins"].load_plugin_data = lambda config: [
        {"co_names": ["leaf"], "path_fragment": "", "call_type": "leaf_call", "return_type": "leaf_return",
         "call": matches, "process": lambda frame, event, arg, context: {"arg": arg}},
        {"co_names": ["dumps"], "path_fragment": "json", "call_type": "lib", "return_type": "lib_end"},
    ]
    sys.modules["sarv.version"].__version__ = "0"
    sys.modules["sarv.git"].COMMIT_SHA = None

    class Profiler:
        config = {"threading": True}
        db_path, one_trace_per_test, source = "x.db", False, "stress"
        trace_id = "trc_01J9ZQ4XG7K2M3N4P5Q6R7S8T9"
        def __call__(self, *args):
            pass

    import json
    import sarv._sarv

    def leaf(n):
        return json.dumps(n)

    def branch(n):
        return leaf(n) + leaf(n + 1)

    def work():
        for n in range(ROUNDS):
            branch(n)

    ROUNDS, THREADS = int(sys.argv[2]), int(sys.argv[3])
    profiler = Profiler()
    sarv._sarv.register_profiler(profiler)
    threads = [threading.Thread(target=work, daemon=True) for _ in range(THREADS)]
    for t in threads:
        t.start()
    work()
    for t in threads:
        t.join(timeout=100)
    sarv._sarv.register_noop_profiler()
    assert not any(t.is_alive() for t in threads)
    with open(sys.argv[1], "wb") as out:
        out.write(profiler.rust_profiler.build_trace())
    print("DONE", [t.native_id for t in threads])
""")


def test_many_threads_with_plugins_and_a_yielding_serialiser(tmp_path):
    script, output = tmp_path / "stress.py", tmp_path / "trace.msgpack"
    script.write_text(STRESS)
    rounds, count = 40, 4
    done = subprocess.run(
        [sys.executable, str(script), str(output), str(rounds), str(count)], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    assert "DONE" in done.stdout
    doc = msgpack.unpackb(output.read_bytes(), strict_map_key=False)
    per_thread = dict(doc["frames"])
    assert len(per_thread) == count and doc["main_thread_id"] not in per_thread
    per_thread[doc["main_thread_id"]] = doc["frames_of_interest"]
    for native_id, records in per_thread.items():
        assert {r["thread_native_id"] for r in records} == {native_id}
        frames = [r for r in records if r["type"] == "frame"]
        kinds = [r["type"] for r in records if r["type"] != "frame"]
        calls = rounds * 2
        assert sum(1 for r in frames if r["co_name"] == "leaf") == 2 * calls
        assert kinds.count("leaf_call") == kinds.count("leaf_return") == calls
        assert kinds.count("lib") == kinds.count("lib_end") == calls
        ids = {r["frame_id"] for r in records}
        sites = [r["user_code_call_site"] for r in records if r["user_code_call_site"] is not None]
        assert len(sites) >= 4 * calls and all(s["call_frame_id"] in ids for s in sites)


DAEMON_AFTER_STOP = textwrap.dedent("""\
    import sys, threading, time
    import msgpack
    from sarv import db
    from sarv.config import load_config
    from sarv.profiler import Profiler

    steps = [0]
    recorded = threading.Event()

    def step(n):
        return n + 1

    def spin():
        n = 0
        while True:
            n = step(n)
            steps[0] = n
            if n == 200:
                recorded.set()

    profiler = Profiler(load_config({"db_path": sys.argv[1], "threading": True, "lightweight_repr": True}))
    profiler.start()
    threading.Thread(target=spin, daemon=True).start()
    recorded.wait()  # its first 200 steps, under the profiler (however busy the machine)
    profiler.stop()
    stopped_at = steps[0]
    while steps[0] < stopped_at + 200:  # the daemon goes on running
        time.sleep(0.001)
    after = msgpack.unpackb(profiler.rust_profiler.build_trace(), strict_map_key=False)
    saved = db.load_trace_document(sys.argv[1], profiler.trace_id)
    print(sum(len(r) for r in saved["frames"].values()), sum(len(r) for r in after["frames"].values()))
""")


def test_a_daemon_thread_stops_recording_when_its_profiler_stops(tmp_path):
    # It would otherwise go on recording into the stopped profiler while its trace is
    # saved and until the interpreter exits (records nothing will ever save).
    script = tmp_path / "daemon.py"
    script.write_text(DAEMON_AFTER_STOP)
    done = subprocess.run(
        [sys.executable, str(script), str(tmp_path / "t.sqlite3")], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    saved, after = map(int, done.stdout.split())
    assert saved > 100 and after == 0


FORK_WHILE_HELD = textwrap.dedent("""\
    import os, sys, threading, time, types
    import msgpack

    for short in ("serialize", "db", "plugins", "version", "git"):
        sys.modules["sarv." + short] = types.ModuleType("sarv." + short)

    inside, release = threading.Event(), threading.Event()

    def dump(obj):
        if threading.current_thread().name == "holder" and not inside.is_set():
            inside.set()
            release.wait()  # the interpreter lock let go inside the thread's event
        return msgpack.packb(obj, default=repr)

    sys.modules["sarv.serialize"].dump_msgpack = dump
    sys.modules["sarv.plugins"].load_plugin_data = lambda config: []
    sys.modules["sarv.version"].__version__ = "0"
    sys.modules["sarv.git"].COMMIT_SHA = None

    class Profiler:
        config = {"threading": True}
        db_path, one_trace_per_test, source = "x.db", False, "fork"
        trace_id = "trc_01J9ZQ4XG7K2M3N4P5Q6R7S8T9"
        def __call__(self, *args):
            pass

    import sarv._sarv

    def held(n):
        return n + 1

    def after_fork(n):
        return n * 2

    profiler = Profiler()
    sarv._sarv.register_profiler(profiler)
    holder = threading.Thread(target=held, args=(1,), name="holder")
    holder.start()
    inside.wait()
    pid = os.fork()
    if pid == 0:
        after_fork(3)  # the child's first recorded event: the holder is not in this process
        sarv._sarv.register_noop_profiler()
        with open(sys.argv[1], "wb") as out:
            out.write(profiler.rust_profiler.build_trace())
        os._exit(0)
    release.set()
    holder.join()
    for _ in range(600):  # (a child stuck at its event is killed, not waited for forever)
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        time.sleep(0.1)
    else:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        status = -1
    sarv._sarv.register_noop_profiler()
    print("CHILD", status)
""")


def test_a_child_forked_while_another_thread_is_inside_an_event_records(tmp_path):
    # That thread holds the handler's gate and never lets go of it in the child: the
    # child's first recorded event waited for it forever.
    script, output = tmp_path / "fork.py", tmp_path / "child.msgpack"
    script.write_text(FORK_WHILE_HELD)
    done = subprocess.run(
        [sys.executable, "-W", "ignore::DeprecationWarning", str(script), str(output)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["CHILD", "0"], done.stdout + done.stderr
    doc = msgpack.unpackb(output.read_bytes(), strict_map_key=False)
    records = doc["frames_of_interest"] + [r for rs in dict(doc["frames"]).values() for r in rs]
    assert [r["event"] for r in records if r.get("co_name") == "after_fork"] == ["call", "return"]
