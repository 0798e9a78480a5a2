"""The command line end to end: `python -m sarv run / traces / show / export`
in real subprocesses, each with its own temporary trace database."""

import base64
import collections
import json
import os
import random
import re
import signal
import sqlite3
import subprocess
import sys
import textwrap

import msgpack
import pytest

from conftest import MONITORING
from helpers import TIMEOUT, frame_records, sarv, saved_trace
from sarv import db

DURATION = r"(?:>=|≥)? ?\d+(?:\.\d+)? (?:µs|us|ms|s)"

PROGRAM = textwrap.dedent(
    '''
    import sys
    import threading


    class Basket:
        def __init__(self, owner):
            self.owner = owner
            self.items = []

        def put(self, item):
            self.items.append(item)
            return len(self.items)


    def leaf(n):
        blob = bytes([0, 255, n])
        return n * 2


    def inner(n):
        return leaf(n) + 1


    def outer(n):
        total = 0
        for i in range(n):
            total += inner(i)
        return total


    def worker(basket):
        basket.put("from the worker")


    def main(argv):
        print("argv", argv[1:])
        print("name", __name__)
        basket = Basket("ann")
        basket.put("pear")
        thread = threading.Thread(target=worker, args=(basket,), name="helper-thread")
        thread.start()
        thread.join()
        result = outer(3)
        print("result", result)
        mode = argv[1] if len(argv) > 1 else ""
        if mode == "raise":
            raise ValueError("bad mode")
        if mode == "exit":
            sys.exit(int(argv[2]))
        if mode == "message":
            sys.exit("stopping here")
        return result


    if __name__ == "__main__":
        main(sys.argv)
    '''
)


def line_of(marker, source=PROGRAM):
    return next(n for n, text in enumerate(source.splitlines(), 1) if marker in text)


def only_line(stderr):
    lines = stderr.splitlines()
    assert len(lines) == 1, stderr
    return lines[0]


@pytest.fixture
def project(tmp_path):
    """A folder with the program, and the trace database to use."""
    (tmp_path / "program.py").write_text(PROGRAM)
    return tmp_path


# ------------------------------------------------------------------ run


def test_run_script_keeps_argv_name_output_and_saves_the_trace(project):
    path = project / "traces.sqlite3"
    result = sarv("run", "program.py", "first", "--second", cwd=project, db_path=path)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "argv ['first', '--second']\nname __main__\nresult 9\n"
    trace_id, count, where = saved_trace(result)
    assert os.path.samefile(where, path)

    document = db.load_trace_document(str(path), trace_id)
    assert document["command_line_args"] == ["program.py", "first", "--second"]
    assert document["meta"]["source"] == "cli"
    assert count == len(document["frames_of_interest"]) + sum(map(len, document["frames"].values()))
    records = frame_records(document)
    names = {r["qualname"] for r in records}
    assert {"__main__.main", "__main__.outer", "__main__.inner", "__main__.leaf", "__main__.Basket.put"} <= names
    # Threads are off by default: the worker thread is not recorded.
    assert "__main__.worker" not in names
    # The profiler's own code and the standard library stay out.
    assert not [r["path"] for r in records if "sarv" in r["path"] or "runpy" in r["path"]]
    [leaf_return] = [r for r in records if r["co_name"] == "leaf" and r["event"] == "return"][-1:]
    assert leaf_return["arg"] == 4 and leaf_return["locals"]["n"] == 2


def test_run_options_reach_the_profiler(project):
    path = project / "t.db"
    (project / "vendor" / "lib" / "python_tools").mkdir(parents=True)
    (project / "vendor" / "lib" / "python_tools" / "tools.py").write_text("def tool():\n    return 'made'\n")
    (project / "helpers.py").write_text("def helper(values):\n    return list(values)\n")
    (project / "uses.py").write_text(
        textwrap.dedent(
            """
            import sys, threading
            sys.path.insert(0, "vendor/lib/python_tools")
            import tools, helpers

            def work():
                return helpers.helper([tools.tool()])

            t = threading.Thread(target=work, name="side")
            t.start(); t.join()
            work()
            """
        )
    )

    def records_of(*options):
        result = sarv("run", *options, "uses.py", cwd=project, db_path=path)
        assert result.returncode == 0, result.stderr
        trace_id, _, _ = saved_trace(result)
        return db.load_trace_document(str(path), trace_id)

    plain = records_of()
    assert {r["co_name"] for r in frame_records(plain)} == {"<module>", "work", "helper"}
    assert plain["frames"] == {}

    chosen = records_of("--threading", "--include", "vendor/", "--ignore", "helpers.py", "--lightweight-repr")
    records = frame_records(chosen)
    assert {r["co_name"] for r in records} == {"<module>", "work", "tool"}
    [(thread_id, side)] = chosen["frames"].items()
    assert thread_id != chosen["main_thread_id"] and {r["thread"] for r in side} == {"side"}
    work_return = [r for r in chosen["frames_of_interest"] if r["co_name"] == "work" and r["event"] == "return"]
    assert work_return[0]["arg"] == "<builtins.list>"  # lightweight: the type, not the value


GLOBALS = textwrap.dedent(
    """
    import json

    shown = {}
    for name, value in sorted(globals().items()):
        if name.startswith("__"):
            kind = type(value)
            shown[name] = "%s.%s" % (kind.__module__, kind.__qualname__)
            if isinstance(value, (str, type(None))):
                shown[name] += " " + repr(value)
    print(json.dumps(shown))
    """
)


def test_run_gives_a_script_the_globals_python_gives_it(tmp_path):
    (tmp_path / "globs.py").write_text(GLOBALS)
    env = dict(os.environ)
    env.pop("SARV_DB", None)
    plain = subprocess.run([sys.executable, "globs.py"], cwd=str(tmp_path), env=env, capture_output=True, text=True)
    assert plain.returncode == 0, plain.stderr
    under_sarv = sarv("run", "globs.py", cwd=tmp_path, db_path=tmp_path / "t.db")
    assert under_sarv.returncode == 0, under_sarv.stderr
    assert json.loads(under_sarv.stdout) == json.loads(plain.stdout)
    assert "SourceFileLoader" in json.loads(plain.stdout)["__loader__"]


def test_run_module_like_python_dash_m(project):
    package = project / "shop"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "tool.py").write_text(
        "import sys\n\ndef act(args):\n    return len(args)\n\n"
        "if __name__ == '__main__':\n    print(__name__, sys.argv[0].endswith('tool.py'), sys.argv[1:], act(sys.argv[1:]))\n"
    )
    (package / "__main__.py").write_text("import sys\n\ndef main():\n    return 4\n\nsys.exit(main())\n")
    path = project / "t.db"

    result = sarv("run", "-m", "shop.tool", "a", "--b", cwd=project, db_path=path)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "__main__ True ['a', '--b'] 2\n"
    trace_id, _, _ = saved_trace(result)
    document = db.load_trace_document(str(path), trace_id)
    assert document["command_line_args"][1:] == ["a", "--b"]
    assert [r["event"] for r in frame_records(document) if r["co_name"] == "act"] == ["call", "return"]

    # A package runs its __main__, and its exit status is kept.
    result = sarv("run", "--db", path, "-m", "shop", cwd=project)
    assert result.returncode == 4
    trace_id, _, _ = saved_trace(result)
    assert any(r["co_name"] == "main" for r in frame_records(db.load_trace_document(str(path), trace_id)))


@pytest.mark.parametrize(
    "args, status, in_stderr",
    [
        (
            ["raise"],
            1,
            'line %d, in main\n    raise ValueError("bad mode")\nValueError: bad mode' % line_of("raise ValueError"),
        ),
        (["exit", "3"], 3, ""),
        (["message"], 1, "stopping here"),
    ],
)
def test_run_failing_programs_keep_their_status_and_their_trace(project, args, status, in_stderr):
    path = project / "t.db"
    result = sarv("run", "program.py", *args, cwd=project, db_path=path)
    assert result.returncode == status
    assert in_stderr in result.stderr
    # The traceback starts at the program, as python program.py would show it.
    assert "runpy" not in result.stderr and "/sarv/" not in result.stderr
    trace_id, _, _ = saved_trace(result)
    document = db.load_trace_document(str(path), trace_id)
    main_events = [r["event"] for r in frame_records(document) if r["co_name"] == "main"]
    assert main_events == ["call", "return"]  # the unwinding return is recorded too
    assert document["command_line_args"] == ["program.py"] + args


def test_ctrl_c_stops_the_program_saves_and_exits_130(project):
    (project / "sleeper.py").write_text(
        textwrap.dedent(
            """
            import time

            def tick(i):
                time.sleep(0.02)
                return i

            tick(0)
            print("ready", flush=True)
            i = 1
            while True:
                tick(i)
                i += 1
            """
        )
    )
    path = project / "t.db"
    env = dict(os.environ, SARV_DB=str(path))
    process = subprocess.Popen(
        [sys.executable, "-m", "sarv", "run", "sleeper.py"],
        cwd=str(project),
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        # A shell may start children with Ctrl-C ignored; a terminal user's
        # program would not be.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    try:
        assert process.stdout.readline() == "ready\n"
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=TIMEOUT)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    assert process.returncode == 130, err
    assert "KeyboardInterrupt" in err
    trace_id, count, _ = saved_trace(subprocess.CompletedProcess([], 130, out, err))
    document = db.load_trace_document(str(path), trace_id)
    ticks = [r for r in frame_records(document) if r["co_name"] == "tick"]
    assert ticks and ticks[0]["event"] == "call"
    assert count == len(document["frames_of_interest"])


# ------------------------------------------------------ traces, show


def run_program(project, path, *args):
    result = sarv("run", "program.py", *args, cwd=project, db_path=path)
    assert result.returncode in (0, 1, 3), result.stderr
    return saved_trace(result)[0]


def test_traces_lists_newest_first_with_counts_and_sizes(project):
    path = project / "t.db"
    first = run_program(project, path)
    second = run_program(project, path, "raise")
    result = sarv("traces", cwd=project, db_path=path)
    assert result.returncode == 0 and result.stderr == ""
    header, *rows = result.stdout.splitlines()
    assert header.split() == [
        "TRACE",
        "ID",
        "SAVED",
        "SOURCE",
        "RECORDS",
        "SIZE",
        "STORED",
        "OUTCOME",
        "TEST",
        "OR",
        "COMMAND",
    ]
    assert [row.split()[0] for row in rows] == [second, first]
    for row, trace_id in zip(rows, (second, first)):
        summary = db.find_trace(str(path), trace_id)
        assert re.search(r"\scli\s+%d\s+[\d.]+ (B|KiB)\s+[\d.]+ (B|KiB)\s+program\.py" % summary.record_count, row), row
    assert sarv("ls", "--db", path, cwd=project).stdout == result.stdout

    limited = sarv("traces", "--limit", "1", cwd=project, db_path=path)
    assert limited.stdout.splitlines()[1].startswith(second)
    assert "--limit 0" in limited.stdout and first not in limited.stdout


def test_traces_names_what_an_api_trace_profiled(tmp_path):
    (tmp_path / "app.py").write_text(
        textwrap.dedent(
            """
            import sarv

            def checkout(n):
                return n * 2

            with sarv.profiling():
                checkout(3)

            @sarv.profile
            def handle(x):
                return checkout(x)

            handle(1)
            """
        )
    )
    env = dict(os.environ, SARV_DB=str(tmp_path / "t.db"))
    done = subprocess.run([sys.executable, "app.py"], cwd=str(tmp_path), env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    rows = sarv("traces", cwd=tmp_path, db_path=tmp_path / "t.db").stdout.splitlines()[1:]
    assert [[cell.strip() for cell in row.split("  ")[-2:]] for row in rows] == [
        ["__main__.handle", "(app.py)"],
        ["__main__.checkout", "(app.py)"],
    ]


def test_traces_filters_prune_and_delete(tmp_path):
    import msgpack

    path = tmp_path / "t.db"
    ids = []
    for i, (source, test) in enumerate(
        [("cli", None), ("pytest", "t.py::test_a"), ("pytest", "t.py::test_b"), ("api", None)]
    ):
        records = [{"type": "start_test", "node_id": test}] if test else []
        document = {
            "command_line_args": ["app.py", str(i)],
            "frames": {},
            "frames_of_interest": records,
            "meta": {"source": source},
            "trace_id": "trc_%d" % i,
        }
        ids.append("trc_%d" % i)
        db.save_trace_in_sqlite(str(path), ids[-1], msgpack=msgpack.packb(document))

    def listed(*args):
        result = sarv("traces", *args, cwd=tmp_path, db_path=path)
        assert result.returncode == 0, result.stderr
        return [line.split()[0] for line in result.stdout.splitlines()[1:]]

    assert listed() == ["trc_3", "trc_2", "trc_1", "trc_0"]
    assert listed("--source", "pytest") == ["trc_2", "trc_1"]
    assert listed("--test", "test_a") == ["trc_1"]
    assert listed("--since", "1h") == listed()
    assert (
        sarv("traces", "--since", "2999-01-01", cwd=tmp_path, db_path=path).stdout
        == "no traces that match in %s\n" % path
    )
    assert "app.py 0" in sarv("traces", cwd=tmp_path, db_path=path).stdout
    bad = sarv("traces", "--since", "soon", cwd=tmp_path, db_path=path)
    assert bad.returncode == 2 and "--since: expected an age" in bad.stderr

    assert "needs --older-than" in sarv("prune", cwd=tmp_path, db_path=path).stderr
    assert sarv("prune", "--older-than", "1h", cwd=tmp_path, db_path=path).stdout == "removed 0 traces from %s\n" % path
    assert sarv("prune", "--keep-last", "1", "--source", "pytest", cwd=tmp_path, db_path=path).stdout.startswith(
        "removed 1 trace "
    )
    assert listed() == ["trc_3", "trc_2", "trc_0"]
    deleted = sarv("delete", "_3", "trc_0", cwd=tmp_path, db_path=path)
    assert deleted.returncode == 0 and deleted.stdout == "removed 2 traces from %s\n" % path
    assert listed() == ["trc_2"]
    missing = sarv("delete", "trc_9", cwd=tmp_path, db_path=path)
    assert missing.returncode == 1 and "no trace trc_9" in missing.stderr
    assert listed() == ["trc_2"]


def test_delete_reuses_the_space_and_compacts_once_a_quarter_of_the_file_is_free(tmp_path):
    import msgpack

    path = tmp_path / "t.db"
    noise = random.Random(5)
    for i in range(8):  # eight traces of about 256 KiB that do not compress
        document = {
            "command_line_args": ["app.py"],
            "frames": {},
            "frames_of_interest": [{"type": "note", "data": noise.randbytes(256 * 1024)}],
            "meta": {"source": "api"},
            "trace_id": "trc_%d" % i,
        }
        db.save_trace_in_sqlite(str(path), "trc_%d" % i, msgpack=msgpack.packb(document))

    def pages():
        with sqlite3.connect(str(path)) as conn:
            return conn.execute("PRAGMA page_count").fetchone()[0], conn.execute("PRAGMA freelist_count").fetchone()[0]

    full, _ = pages()
    assert sarv("delete", "trc_0", cwd=tmp_path, db_path=path).returncode == 0
    size, free = pages()
    assert size == full and free > full // 10  # an eighth free: not rewritten, its pages kept for reuse
    sarv("delete", "trc_1", cwd=tmp_path, db_path=path)
    assert pages()[0] == full
    sarv("delete", "trc_2", cwd=tmp_path, db_path=path)  # three eighths free: given back
    size, free = pages()
    assert size < full * 0.7 and free == 0
    before = size
    assert sarv("delete", "trc_3", "--compact", cwd=tmp_path, db_path=path).returncode == 0  # on request, at once
    size, free = pages()
    assert size < before * 0.85 and free == 0
    assert sarv("prune", "--keep-last", "2", "--compact", cwd=tmp_path, db_path=path).stdout.startswith("removed 2 ")
    assert pages()[1] == 0


def tree_lines(text):
    """(indent of the name, name, duration) of each call line of a tree."""
    found = []
    for line in text.splitlines():
        match = re.match(r"^\s*(%s)  ([ │├└─|`-]*)(\S+)  (\S+:\d+)" % DURATION, line)
        if match:
            found.append((len(match.group(2)), match.group(3), match.group(1), match.group(4)))
    return found


def test_show_prints_the_call_tree_with_durations(project):
    path = project / "t.db"
    trace_id = run_program(project, path, "--threading")
    result = sarv("show", trace_id, cwd=project, db_path=path)
    assert result.returncode == 0 and result.stderr == ""
    assert result.stdout.startswith("trace %s\n" % trace_id)
    assert "command: program.py --threading" in result.stdout
    lines = tree_lines(result.stdout)
    depth = {}
    for indent, name, _, _place in lines:
        depth.setdefault(name, indent)
    assert depth["__main__.<module>"] < depth["__main__.main"] < depth["__main__.outer"]
    assert depth["__main__.outer"] < depth["__main__.inner"] < depth["__main__.leaf"]
    assert [name for _, name, _, _ in lines].count("__main__.inner") == 3
    assert ("__main__.outer", "program.py:%d" % line_of("def outer")) in [(n, p) for _, n, _, p in lines]
    # "last" is the newest trace; a unique end of the id works too.
    assert sarv("show", "last", cwd=project, db_path=path).stdout == result.stdout
    assert sarv("show", trace_id[-6:], cwd=project, db_path=path).stdout == result.stdout

    with_values = sarv("show", "last", "--locals", cwd=project, db_path=path).stdout
    assert "arguments: n=3" in with_values
    assert "returned: 9" in with_values
    assert "arguments: self=Basket(), owner='ann'" in with_values
    assert "locals at return: self=Basket(owner='ann', items=['pear'])" in with_values


def test_show_threads_each_get_a_tree(project):
    path = project / "t.db"
    result = sarv("run", "--threading", "program.py", cwd=project, db_path=path)
    trace_id, _, _ = saved_trace(result)
    shown = sarv("show", trace_id, cwd=project, db_path=path).stdout
    main_part, worker_part = shown.split("\nthread helper-thread (native id ")
    assert "thread MainThread (native id " in main_part
    assert "__main__.worker" in worker_part and "__main__.worker" not in main_part
    assert [name for _, name, _, _ in tree_lines(worker_part)] == ["__main__.worker", "__main__.Basket.put"]


def test_show_cuts_long_output_and_says_how_to_see_more(project):
    (project / "deep.py").write_text(
        "def down(n):\n    return n if n == 0 else down(n - 1)\n\nfor _ in range(3):\n    down(40)\n"
    )
    path = project / "t.db"
    sarv("run", "deep.py", cwd=project, db_path=path)

    full = sarv("show", "last", "--max-depth", "0", "--max-lines", "0", cwd=project, db_path=path).stdout
    assert len(tree_lines(full)) == 1 + 3 * 41

    deep = sarv("show", "last", "--max-depth", "5", "--max-lines", "0", cwd=project, db_path=path).stdout
    assert len(tree_lines(deep)) == 1 + 3 * 4
    assert deep.count("37 more below (depth limit 5: raise --max-depth)") == 3

    short = sarv("show", "last", "--max-depth", "0", "--max-lines", "10", cwd=project, db_path=path).stdout
    assert len(tree_lines(short)) == 10
    assert "output cut at 10 lines; %d more calls not shown (raise --max-lines" % (1 + 3 * 41 - 10) in short

    default = sarv("show", "last", cwd=project, db_path=path).stdout
    assert "more below (depth limit 30" in default


# --------------------------------------------------------------- export


def assert_properly_nested(events):
    """Per (pid, tid): complete events either contain one another or do not
    overlap at all, and the tree rebuilt by time puts every call under the
    caller its call site names."""
    by_thread = collections.defaultdict(list)
    for event in events:
        if event["ph"] == "X":
            assert type(event["ts"]) in (int, float) and type(event["dur"]) in (int, float) and event["dur"] >= 0
            by_thread[event["pid"], event["tid"]].append(event)
    for thread_events in by_thread.values():
        stack = []
        for event in sorted(thread_events, key=lambda e: (e["ts"], -e["dur"])):
            end = event["ts"] + event["dur"]
            while stack:
                top = stack[-1]
                if top["ts"] <= event["ts"] and end <= top["ts"] + top["dur"]:
                    break
                assert event["ts"] >= top["ts"] + top["dur"], (top["name"], event["name"])
                stack.pop()
            site = event["args"].get("call_site")
            if site:
                assert stack and stack[-1]["args"]["frame_id"] == site["call_frame_id"], event["name"]
            stack.append(event)
    return by_thread


def test_export_chrome_trace_events(project):
    path = project / "t.db"
    result = sarv("run", "--threading", "program.py", cwd=project, db_path=path)
    trace_id, _, _ = saved_trace(result)
    out = project / "trace.json"
    result = sarv("export", trace_id, "--format", "chrome", "-o", out, cwd=project, db_path=path)
    assert result.returncode == 0, result.stderr
    data = json.loads(out.read_text())
    events = data["traceEvents"]
    by_thread = assert_properly_nested(events)
    document = db.load_trace_document(str(path), trace_id)
    main_id = document["main_thread_id"]
    [worker_id] = document["frames"]
    assert set(by_thread) == {(main_id, main_id), (main_id, worker_id)}
    thread_names = {e["tid"]: e["args"]["name"] for e in events if e["name"] == "thread_name"}
    assert thread_names == {main_id: "MainThread", worker_id: "helper-thread"}
    # One complete event per activation.
    calls = [r for r in frame_records(document) if r["event"] == "call"]
    complete = [e for e in events if e["ph"] == "X"]
    assert len(complete) == len(calls)
    assert sorted(e["args"]["frame_id"] for e in complete) == sorted(r["frame_id"] for r in calls)

    outer = next(e for e in complete if e["name"] == "__main__.outer")
    inner = [e for e in complete if e["name"] == "__main__.inner"]
    assert len(inner) == 3
    for event in inner:
        assert outer["ts"] <= event["ts"] and event["ts"] + event["dur"] <= outer["ts"] + outer["dur"]
    assert outer["args"]["return_value"] == 9
    assert outer["args"]["arguments"] == {"n": 3}
    assert outer["args"]["locals"]["total"] == 9
    assert outer["args"]["path"] == "program.py:%d" % line_of("def outer")
    leaf = next(e for e in complete if e["name"] == "__main__.leaf")
    assert leaf["args"]["locals"]["blob"] == {"__bytes__": base64.b64encode(bytes([0, 255, 0])).decode()}
    assert data["otherData"]["trace_id"] == trace_id


def test_export_json_is_the_whole_document(project):
    path = project / "t.db"
    trace_id = run_program(project, path)
    result = sarv("export", "last", "--format", "json", cwd=project, db_path=path)
    assert result.returncode == 0, result.stderr
    exported = json.loads(result.stdout)
    document = db.load_trace_document(str(path), trace_id)
    assert set(exported) == set(document)
    assert exported["trace_id"] == trace_id
    assert len(exported["frames_of_interest"]) == len(document["frames_of_interest"])
    leaf = next(r for r in exported["frames_of_interest"] if r["co_name"] == "leaf" and r["event"] == "return")
    assert base64.b64decode(leaf["locals"]["blob"]["__bytes__"]) == bytes([0, 255, 0])
    original = next(
        r for r in document["frames_of_interest"] if r["frame_id"] == leaf["frame_id"] and r["event"] == "return"
    )
    assert leaf["timestamp"] == original["timestamp"] and leaf["path"] == original["path"]


# ---------------------------------------------------------- configuration


def test_the_database_is_found_upwards_as_git_finds_its_folder(tmp_path):
    root = tmp_path / "project"
    (root / "src" / "deep").mkdir(parents=True)
    (root / "pyproject.toml").write_text("[project]\nname = 'p'\n\n[tool.sarv]\nthreading = false\n")
    (root / "src" / "job.py").write_text("def work():\n    return 1\n\nwork()\n")
    # The project's root is named by its pyproject.toml: a run from a subfolder saves there.
    result = sarv("run", "job.py", cwd=root / "src")
    assert result.returncode == 0, result.stderr
    trace_id, _, saved_to = saved_trace(result)
    assert os.path.samefile(saved_to, root / ".sarv" / "traces.sqlite3")
    assert "--db" not in result.stderr  # the commands it suggests find that database too
    shown = sarv("show", "last", cwd=root / "src" / "deep")
    assert shown.returncode == 0 and "__main__.work" in shown.stdout and trace_id in shown.stdout, shown.stderr
    # Without a pyproject.toml, the nearest .sarv folder upwards.
    (root / "pyproject.toml").unlink()
    assert trace_id in sarv("traces", cwd=root / "src" / "deep").stdout
    # Nothing upwards: the current folder, as before.
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    assert (
        "no trace database at %s" % (elsewhere / ".sarv" / "traces.sqlite3")
        in sarv("show", "last", cwd=elsewhere).stderr
    )


def test_pyproject_configuration_and_its_errors(project):
    (project / "pyproject.toml").write_text('[tool.sarv]\ndb_path = "store/traces.db"\nthreading = true\n')
    result = sarv("run", "program.py", cwd=project)
    assert result.returncode == 0, result.stderr
    trace_id, _, where = saved_trace(result)
    assert os.path.samefile(where, project / "store" / "traces.db")
    assert db.load_trace_document(str(project / "store" / "traces.db"), trace_id)["frames"]
    # The read commands find the same database.
    assert trace_id in sarv("traces", cwd=project).stdout
    # --no-threading beats the file, SARV_DB beats the file, --db beats both.
    result = sarv("run", "--no-threading", "program.py", cwd=project, db_path=project / "env.db")
    trace_id, _, where = saved_trace(result)
    assert os.path.samefile(where, project / "env.db")
    assert db.load_trace_document(str(project / "env.db"), trace_id)["frames"] == {}

    marker = project / "ran.txt"
    (project / "touch.py").write_text("open('ran.txt', 'w').close()\n")
    found = project / ".sarv" / "traces.sqlite3"  # where the project's traces are when none is named
    trace_id = saved_trace(sarv("run", "--db", found, "program.py", cwd=project))[0]
    (project / "pyproject.toml").write_text("[tool.sarv]\nthreadin = true\n")
    result = sarv("run", "touch.py", cwd=project)
    assert result.returncode == 2
    assert re.fullmatch(
        r"sarv: configuration error: threadin: unknown key \(did you mean threading\?\) "
        r"\(in .*pyproject.toml \[tool.sarv\]\)",
        only_line(result.stderr),
    )
    assert not marker.exists()
    # Reading traces goes on, the error said; removing them does not.
    listed = sarv("traces", cwd=project)
    assert listed.returncode == 0 and trace_id in listed.stdout, listed.stderr
    assert "sarv: configuration error: threadin: unknown key (did you mean threading?)" in listed.stderr
    assert sarv("show", "last", cwd=project).returncode == 0
    refused = sarv("prune", "--keep-last", "0", cwd=project)
    assert refused.returncode == 2 and "configuration error" in refused.stderr
    assert trace_id in sarv("traces", cwd=project).stdout
    assert sarv("traces", "--limit", "-1", cwd=project).stderr == "sarv: --limit must be 0 or more\n"
    (project / "pyproject.toml").write_text(
        '[[tool.sarv.plugins]]\nfunctions = ["f"]\npath_fragment = ""\ncall_type = "a"\n'
        'return_type = "b"\nprocess = "no_such_module_here:f"\n'
    )
    result = sarv("run", "touch.py", cwd=project, db_path=project / "t.db")
    assert result.returncode == 2
    assert only_line(result.stderr).startswith("sarv: configuration error: plugins[0].process: cannot import")
    assert not marker.exists()


# ------------------------------------------------------------ errors


@pytest.fixture(scope="module")
def broken_places(tmp_path_factory):
    """A folder with two stored traces and files that are not trace databases."""
    folder = tmp_path_factory.mktemp("errors")
    (folder / "program.py").write_text(PROGRAM)
    path = folder / "t.db"
    run_program(folder, path)
    run_program(folder, path)
    (folder / "garbage.db").write_bytes(b"this is not sqlite at all" * 100)
    conn = sqlite3.connect(str(folder / "other.sqlite3"))
    conn.execute("CREATE TABLE t (x)")
    conn.commit()
    conn.close()
    return folder


@pytest.mark.parametrize(
    "args, pattern",
    [
        (["run", "missing.py"], r"cannot run missing.py: no such file"),
        (["run", "-m", "no_such_module_xyz"], r"cannot run module no_such_module_xyz: No module named .*"),
        (["run", "-m", "json.no_such_part"], r"cannot run module json.no_such_part: No module named .*"),
        (["run"], r"a script or -m module is needed"),
        (["run", "--threading=3", "program.py"], r".*--threading.*"),
        (["show", "trc_NOPE"], r"no trace trc_NOPE in .*t\.db"),
        (["show", "trc_"], r"trc_ names more than one trace in .*: give more of the id"),
        (["show", "last", "--db", "nowhere.db"], r"no trace database at nowhere\.db.*"),
        (["show", "last", "--db", "garbage.db"], r"garbage\.db is not a database.*"),
        (["traces", "--db", "other.sqlite3"], r"other\.sqlite3 is an SQLite database but not a sarv trace database"),
        (["export", "last", "--db", "."], r"\. is a folder, not a trace database"),
        (
            ["export", "last", "-o", "no/such/dir/x.json"],
            r"cannot write no/such/dir/x\.json: No such file or directory",
        ),
        (["show", "last", "--max-lines", "-1"], r"--max-lines must be 0 or more"),
        (["export", "last", "--format", "svg"], r"argument --format: invalid choice.*"),
        (["frobnicate"], r"argument COMMAND: invalid choice: 'frobnicate'.*"),
        ([], r"a command is needed: run, traces, show, export, view, prune or delete .*"),
    ],
)
def test_every_error_is_one_line_and_a_failure_status(broken_places, args, pattern):
    result = sarv(*args, cwd=broken_places, db_path=broken_places / "t.db")
    assert result.returncode != 0
    assert re.fullmatch("sarv: " + pattern, only_line(result.stderr)), result.stderr
    assert result.stdout == ""


# ------------------------------------------- unbalanced and odd traces


def frame(event, name, frame_id, ts, arg=None, local_vars=None, thread=("MainThread", 1)):
    return {
        "path": "app.py:%d" % (len(name) + 1),
        "co_name": name,
        "qualname": "app." + name,
        "event": event,
        "frame_id": frame_id,
        "arg": arg,
        "locals": local_vars if local_vars is not None else {},
        "thread": thread[0],
        "thread_native_id": thread[1],
        "timestamp": ts,
        "type": "frame",
        "user_code_call_site": None,
    }


def stored(tmp_path, records, other_threads=None):
    import msgpack

    document = {
        "command_line_args": ["app.py"],
        "current_commit_sha": None,
        "frames": other_threads or {},
        "frames_of_interest": records,
        "main_thread_id": 1,
        "meta": {"version": "0.1.0", "source": "api", "use_frame_boundaries": True},
        "timestamp": 100.0,
        "trace_id": "trc_01J9ZQ4XG7K2M3N4P5Q6R7S8T9",
    }
    path = tmp_path / "odd.db"
    db.save_trace_in_sqlite(str(path), document["trace_id"], timeout=5, msgpack=msgpack.packb(document))
    return path


def test_unbalanced_traces_are_shown_and_exported_as_they_are(tmp_path):
    marker = {
        "frame_id": "frm_m",
        "timestamp": 100.0025,
        "thread": "MainThread",
        "thread_native_id": 1,
        "user_code_call_site": None,
        "type": "request_start",
        "subtype": "http",
        "url": "/items",
    }
    records = [
        frame("call", "early", "frm_a", 100.001),
        marker,
        frame("return", "early", "frm_a", 100.003, arg=1),
        # "started" was running when recording began: a return without a call.
        frame("return", "started", None, 100.004, arg="done"),
        frame("call", "later", "frm_b", 100.005),
        # Wall-clock time stepped back inside "later".
        frame("call", "stepped", "frm_c", 100.0045),
        frame("return", "stepped", "frm_c", 100.0090),
        frame("return", "later", "frm_b", 100.008),
        # "open" never returned before recording stopped.
        frame("call", "open", "frm_d", 100.010, local_vars={"key": b"\x00\x01", 7: float("nan")}),
        frame("call", "inside", "frm_e", 100.011),
        frame("return", "inside", "frm_e", 100.012),
    ]
    path = stored(tmp_path, records)
    shown = sarv("show", "last", "--db", path, "--locals", cwd=tmp_path)
    assert shown.returncode == 0, shown.stderr
    lines = tree_lines(shown.stdout)
    assert [(indent, name) for indent, name, _, _ in lines] == [
        (0, "app.started"),
        (3, "app.early"),
        (0, "app.later"),
        (3, "app.stepped"),
        (0, "app.open"),
        (3, "app.inside"),
    ]
    text = shown.stdout
    assert re.search(r"(≥|>=) 3\.00 ms  app\.started  app\.py:8  \(called before recording began\)", text)
    assert re.search(r"(≥|>=) 2\.00 ms  app\.open  app\.py:5  \(no return recorded\)", text)
    assert re.search(r"(◆|\*) request_start/http  url='/items'", text)
    assert "arguments: key=b'\\x00\\x01', 7=nan" in text

    out = tmp_path / "odd.json"
    assert sarv("export", "last", "--db", path, "-o", out, cwd=tmp_path).returncode == 0
    events = json.loads(out.read_text())["traceEvents"]
    assert_properly_nested(events)
    complete = {e["name"]: e for e in events if e["ph"] == "X"}
    assert complete["app.started"]["ts"] == 0 and complete["app.started"]["dur"] == 3000
    assert complete["app.started"]["args"]["incomplete"] == "called before recording began"
    assert complete["app.open"]["args"]["incomplete"] == "no return recorded"
    assert complete["app.open"]["args"]["arguments"] == {"key": {"__bytes__": "AAE="}, "7": {"__float__": "nan"}}
    # The step back is clamped into the caller: a nanosecond after its start, and the caller
    # ends a nanosecond after it.
    later, stepped = complete["app.later"], complete["app.stepped"]
    assert stepped["ts"] == round(later["ts"] + 0.001, 3) and round(stepped["ts"] + stepped["dur"], 3) == 8000
    assert round(later["ts"] + later["dur"], 3) == 8000.001
    [instant] = [e for e in events if e["ph"] == "i"]
    assert instant["name"] == "request_start/http" and instant["args"]["url"] == "/items"
    assert instant["ts"] == 1500 and instant["s"] == "t"

    # A time that is no finite number is none, and a thread id that is neither a number nor a
    # text still names a thread: every view reads them alike.
    (tmp_path / "worse").mkdir()
    worse = stored(
        tmp_path / "worse",
        [
            frame("call", "endless", "frm_a", 100.001),
            frame("return", "endless", "frm_a", float("inf")),
            frame("call", "odd", "frm_b", 100.002, thread=("odd", [7])),
            frame("return", "odd", "frm_b", 100.003, thread=("odd", [7])),
        ],
    )
    for args in (["show"], ["show", "--hot"], ["export"], ["export", "--format", "html"]):
        result = sarv(args[0], "last", *args[1:], "--db", worse, cwd=tmp_path)
        assert result.returncode == 0, (args, result.stderr)
        assert "app.endless" in result.stdout or args[-1] == "html", args
    assert "thread odd (native id [7]): 1 call" in sarv("show", "last", "--db", worse, cwd=tmp_path).stdout


def test_show_says_the_request_its_query_headers_durations_and_sizes_on_one_line_each(tmp_path):
    base = {"frame_id": None, "thread": "MainThread", "thread_native_id": 1, "user_code_call_site": None}
    records = [
        {"type": "records_dropped", "dropped": 3, "max_records": 0, "max_bytes": 4096, "mode": "stop"},
        dict(
            base,
            type="start_request",
            timestamp=100.001,
            method="GET",
            path="/items/3",
            query="full=1&page=2",
            headers={"host": "shop.example", "accept": "*/*"},
        ),
        frame("call", "item", "frm_a", 100.002),
        frame("return", "item", "frm_a", 100.003, arg=1),
        dict(
            base,
            type="end_request",
            timestamp=100.004,
            method="GET",
            path="/items/3",
            status=200,
            duration=0.0027351,
            own_duration=0.0011,
        ),
    ]
    path = stored(tmp_path, records)
    text = sarv("show", "last", "--db", path, cwd=tmp_path).stdout
    head = text.split("\nthread ")[0]
    assert re.search(r"^  request: GET /items/3\?full=1&page=2 (→|->) 200 \(2\.74 ms\)$", head, re.M), text
    assert "\n  headers: host: shop.example, accept: */*\n" in head
    assert "\n  process: app.py" in head and "command:" not in head
    assert "headers=(host: shop.example, accept: */*)" in text
    assert "status=200, duration=2.74 ms, own_duration=1.10 ms" in text and "0.0027351" not in text
    assert "max_bytes=4.0 KiB" in text


def test_records_are_grouped_by_their_own_thread(tmp_path):
    worker = ("worker", 2)
    path = stored(
        tmp_path,
        [frame("call", "main_side", "frm_1", 10.0), frame("return", "main_side", "frm_1", 10.5)],
        other_threads={
            2: [frame("call", "w", "frm_2", 10.1, thread=worker), frame("return", "w", "frm_2", 10.2, thread=worker)]
        },
    )
    out = tmp_path / "t.json"
    assert sarv("export", "last", "--db", path, "-o", out, cwd=tmp_path).returncode == 0
    events = json.loads(out.read_text())["traceEvents"]
    assert {(e["name"], e["tid"], e["ts"], e["dur"]) for e in events if e["ph"] == "X"} == {
        ("app.main_side", 1, 0, 500000),
        ("app.w", 2, 100000, 100000),
    }


def test_run_with_max_records_keeps_the_newest_and_says_so(tmp_path):
    (tmp_path / "loop.py").write_text("def step(i):\n    return i\n\nfor i in range(500):\n    step(i)\n")
    path = tmp_path / "t.db"
    result = sarv(
        "run",
        "--max-records",
        "40",
        "--max-bytes",
        "0",
        "--max-records-mode",
        "ring",
        "loop.py",
        cwd=tmp_path,
        db_path=path,
    )
    assert result.returncode == 0, result.stderr
    trace_id, count, _ = saved_trace(result)
    assert count == 41  # the 40 newest and the note of those dropped
    assert "sarv: max_records (40) reached: only the most recent 40 records are kept" in result.stderr
    assert "sarv: 962 records were dropped past max_records (40), ring" in result.stderr
    document = db.load_trace_document(str(path), trace_id)
    assert document["frames_of_interest"][0] == {
        "type": "records_dropped",
        "dropped": 962,
        "max_records": 40,
        "mode": "ring",
    }
    assert [r["locals"]["i"] for r in document["frames_of_interest"][1:] if r.get("event") == "call"] == list(
        range(481, 500)
    )
    shown = sarv("show", trace_id, cwd=tmp_path, db_path=path).stdout
    assert "records_dropped  dropped=962, max_records=40, mode='ring'" in shown.split("thread MainThread")[1]
    assert shown.count("\nthread ") == 1
    # The module's call record was among the oldest, dropped while recording went on.
    [module] = [line for line in shown.splitlines() if "__main__.<module>" in line]
    assert module.endswith("(called before the oldest record kept (older records were dropped))")
    events = json.loads(sarv("export", trace_id, cwd=tmp_path, db_path=path).stdout)["traceEvents"]
    [module_event] = [e for e in events if e["name"] == "__main__.<module>"]
    assert module_event["args"]["incomplete"] == "called before the oldest record kept (older records were dropped)"
    # Another thread's too, though the note of dropped records follows that thread's records.
    (tmp_path / "worker.py").write_text(
        "import threading\n\ndef step(i):\n    return i\n\ndef worker():\n    for i in range(300):\n        step(i)\n\n"
        "thread = threading.Thread(target=worker)\nthread.start()\nthread.join()\n"
    )
    ring = ("--max-records", "40", "--max-bytes", "0", "--max-records-mode", "ring")
    threaded = saved_trace(sarv("run", "--threading", *ring, "worker.py", cwd=tmp_path, db_path=path))[0]
    shown = sarv("show", threaded, cwd=tmp_path, db_path=path).stdout
    [worker] = [line for line in shown.splitlines() if "__main__.worker" in line]
    assert worker.endswith("(called before the oldest record kept (older records were dropped))")
    events = json.loads(sarv("export", threaded, cwd=tmp_path, db_path=path).stdout)["traceEvents"]
    [worker_event] = [e for e in events if e["name"] == "__main__.worker"]
    assert worker_event["args"]["incomplete"] == "called before the oldest record kept (older records were dropped)"
    stopped = sarv("run", "--max-records", "40", "--max-records-mode", "stop", "loop.py", cwd=tmp_path, db_path=path)
    assert "no more records are kept" in stopped.stderr and "max_records (40) or max_bytes (" in stopped.stderr
    assert "), stop\n" in stopped.stderr
    # A cap on bytes: the newest records within it.
    by_size = sarv("run", "--max-bytes", "4K", "--max-records-mode", "ring", "loop.py", cwd=tmp_path, db_path=path)
    assert (
        "sarv: max_bytes (4096) reached: only the most recent records, 4096 bytes at most, are kept" in by_size.stderr
    )
    note, *records = db.load_trace_document(str(path), saved_trace(by_size)[0])["frames_of_interest"]
    assert note["max_bytes"] == 4096 and note["dropped"] == 1002 - len(records)
    assert 3500 < sum(len(msgpack.packb(r)) for r in records) <= 4096
    assert records[-1]["event"] == "return" and records[-1]["co_name"] == "<module>"
    refused = sarv("run", "--max-bytes", "lots", "loop.py", cwd=tmp_path).stderr
    assert "max_bytes: expected a size such as 512M or 2GiB (0 for no limit), got 'lots'" in refused


def test_a_damaged_document_is_one_line_from_show_and_export(tmp_path):
    path = tmp_path / "t.db"
    db.save_trace_in_sqlite(str(path), "trc_bad", msgpack=b"\x88\xb1command_line_args\x91\xa1x\xc1")
    for args in (
        ["show", "last"],
        ["export", "last", "-o", tmp_path / "x.json"],
        ["export", "last", "--format", "json"],
    ):
        result = sarv(*args, cwd=tmp_path, db_path=path)
        assert result.returncode == 1
        assert re.fullmatch(
            r"sarv: trace trc_bad in \S+ cannot be decoded: FormatError\n", result.stderr.splitlines(True)[-1]
        )
    assert not (tmp_path / "x.json").exists()


FORKING = textwrap.dedent(
    """
    import multiprocessing
    import os


    def work(n):
        return n * 2


    def child_main():
        work(1)


    def main():
        pid = os.fork()
        if pid == 0:
            child_main()
            os._exit(0)
        work(2)
        os.waitpid(pid, 0)
        worker = multiprocessing.get_context("fork").Process(target=work, args=(5,))
        worker.start()
        worker.join()
        work(3)


    if __name__ == "__main__":
        main()
    """
)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_forked_workers_are_traces_of_their_own(tmp_path):
    (tmp_path / "forking.py").write_text(FORKING)
    path = tmp_path / "t.db"
    result = sarv("run", "forking.py", cwd=tmp_path, db_path=path)
    assert result.returncode == 0, result.stderr
    parent_id = saved_trace(result)[0]
    summaries = db.list_traces(path)
    assert len({s.trace_id for s in summaries}) == len(summaries) == 3
    calls = {}
    frame_ids = []
    for summary in summaries:
        records = frame_records(db.load_trace_document(path, summary.trace_id))
        frame_ids += [r["frame_id"] for r in records if r["event"] == "call"]
        calls[summary.trace_id] = sorted(
            (r["co_name"], (r["locals"] or {}).get("n")) for r in records if r["event"] == "call"
        )
    # Each process's trace holds its own calls only: the children's copies of the parent's
    # buffered records are not saved again.
    assert calls.pop(parent_id) == [("<module>", None), ("main", None), ("work", 2), ("work", 3)]
    assert sorted(calls.values()) == [[("child_main", None), ("work", 1)], [("work", 5)]]
    # A child draws ids from a generator of its own, not a copy of the parent's.
    assert len(set(frame_ids)) == len(frame_ids)
    assert sorted(s.parent_trace_id or "" for s in summaries) == ["", parent_id, parent_id]
    listing = sarv("traces", cwd=tmp_path, db_path=path).stdout
    assert listing.count("(forked from %s)" % parent_id) == 2


def test_run_speaks_up_before_and_after_the_program(tmp_path):
    folder = tmp_path / "lib" / "python3" / "app"
    folder.mkdir(parents=True)
    (folder / "data.txt").write_text("found")
    (folder / "prog.py").write_text(
        textwrap.dedent(
            """
            import os
            import threading

            def work():
                return 1

            thread = threading.Thread(target=work, name="side-worker")
            thread.start()
            thread.join()
            os.chdir(os.path.dirname(os.path.dirname(__file__)))
            print(open(os.path.join(os.path.dirname(__file__), "data.txt")).read())
            import sys
            print(sys.argv[0])
            """
        )
    )
    script = os.path.join("lib", "python3", "app", "prog.py")
    result = sarv("run", script, cwd=tmp_path, db_path=tmp_path / "t.db")
    # __file__ is absolute, as Python makes it: the program finds its data after chdir;
    # sys.argv[0] stays as given.
    assert result.returncode == 0 and result.stdout == "found\n%s\n" % script, result.stderr
    assert saved_trace(result)[1] == 0
    assert "no frame was recorded: %s is under a path containing 'lib/python'" % (folder / "prog.py") in result.stderr
    assert "--include %s" % folder in result.stderr
    assert "1 thread ran unrecorded (side-worker); record it with --threading" in result.stderr

    # A database path that cannot take the trace fails before the program runs.
    (tmp_path / "notes.db").write_text("not a database")
    sqlite3.connect(str(tmp_path / "other.db")).execute("CREATE TABLE items (name TEXT)").connection.close()
    (tmp_path / "marker.py").write_text("open('ran', 'w').close()\n")
    problems = [("notes.db", "notes.db is not a database"), (".", "is a folder"), ("other.db", "not a sarv trace")]
    for db_path, problem in problems:
        result = sarv("run", "--db", db_path, "marker.py", cwd=tmp_path)
        assert result.returncode == 2 and problem in result.stderr
    assert not (tmp_path / "ran").exists()
    result = sarv("run", "--threading", "--db", "t.db", "marker.py", cwd=tmp_path)
    assert result.returncode == 0 and "sarv:" not in result.stderr  # frames recorded, threads followed


ENDINGS = textwrap.dedent(
    """
    import asyncio
    import logging


    def numbers(n):
        for i in range(n):
            yield i * 10


    def fail(x):
        raise ValueError("boom %d" % x)


    def guarded():
        try:
            fail(1)
        except ValueError as exc:
            logging.getLogger("app").debug("caught %s", exc)
            return "caught"


    async def step(n):
        await asyncio.sleep(0)
        return n + 1


    def main():
        total = sum(numbers(3))
        guarded()
        return asyncio.run(step(total))


    if __name__ == "__main__":
        main()
    """
)


def test_show_and_export_say_how_each_call_ended(tmp_path):
    (tmp_path / "endings.py").write_text(ENDINGS)
    result = sarv("run", "endings.py", cwd=tmp_path, db_path=tmp_path / "t.db")
    trace_id = saved_trace(result)[0]
    shown = sarv("show", trace_id, "--locals", cwd=tmp_path, db_path=tmp_path / "t.db").stdout
    lines = shown.splitlines()
    fail_line = next(line for line in lines if "__main__.fail " in line)
    assert fail_line.endswith("raised ValueError('boom 1')")
    numbers_line = next(line for line in lines if "__main__.numbers " in line)
    assert numbers_line.endswith("(4 parts)") and sum("__main__.numbers " in line for line in lines) == 1
    # The thread's count of calls is of its rows: a generator resumed is one call, in parts.
    rows = sum(1 for line in lines if re.match(r" *[\d.]+ (µs|ms|s)  ", line))
    assert re.search(r"thread MainThread \(native id \d+\): %d calls" % rows, shown), shown
    for text in (
        "raised: ValueError('boom 1')",
        "yielded: 0",
        "yielded: 20",
        "returned: None",
        "awaited: None",
        "returned: 31",
    ):
        assert text in shown
    assert "__name__" not in shown  # module dunders only with --all-names

    events = json.loads(sarv("export", trace_id, cwd=tmp_path, db_path=tmp_path / "t.db").stdout)["traceEvents"]
    by_name = collections.defaultdict(list)
    for e in events:
        by_name[e["name"]].append(e)
    [fail] = by_name["__main__.fail"]
    assert fail["args"]["end"] == "raised" and "return_value" not in fail["args"]
    [note] = by_name["exception"]
    assert note["args"]["frame_id"] == fail["args"]["frame_id"]
    assert note["args"]["exception"] == {"type": "ValueError", "message": "boom 1", "args": ["'boom 1'"]}
    parts = by_name["__main__.numbers"]
    assert [p["args"].get("end") for p in parts] == ["yielded"] * 3 + [None]
    assert {p["args"].get("resumes") for p in parts[1:]} == {parts[0]["args"]["frame_id"]}


RAISES_LATE = textwrap.dedent(
    """
    import sys


    def work(i):
        return i * 2


    def fail(value):
        raise ValueError(value)


    def main(mode):
        for i in range(500):
            work(i)
        for value in (None, (1, 2)):
            try:
                fail(value)
            except ValueError:
                print("handled")  # a handler that calls only a builtin
        if mode == "exit":
            sys.exit(0)
        raise ValueError(42)


    main(sys.argv[1])
    """
)


def _page_calls(db_path, trace_id) -> dict:
    """{function name: [(flags, its "x" value), ...]} of the page's data."""
    import base64
    import zlib

    from sarv.viewer.data import stored_page_data

    with db.open_trace(db_path, trace_id) as stored:
        structure, chunks = stored_page_data(stored)
    values = []
    for text in chunks:
        reader = msgpack.Unpacker(raw=False, strict_map_key=False)
        reader.feed(zlib.decompress(base64.b64decode(text)))
        values.extend(reader)
    calls = collections.defaultdict(list)
    for thread in structure["threads"]:
        for fn, flags, value in zip(thread["fn"], thread["flags"], thread["values"]):
            name = structure["texts"][structure["functions"][fn][0]]
            calls[name].append((flags, values[value].get("x")))
    return calls


@pytest.mark.parametrize("mode", ["raise", "exit"])
def test_every_view_says_how_calls_ended_below_and_past_the_line_limit(tmp_path, mode):
    from sarv.viewer.data import FLAG_RAISED

    (tmp_path / "late.py").write_text(RAISES_LATE)
    path = tmp_path / "t.db"
    result = sarv("run", "late.py", mode, cwd=tmp_path, db_path=path)
    assert result.returncode == (1 if mode == "raise" else 0), result.stderr
    trace_id = saved_trace(result)[0]
    end = "raised ValueError(42)" if mode == "raise" else "exited (SystemExit(0))"

    def tree(*options):
        out = sarv("show", trace_id, *options, cwd=tmp_path, db_path=path).stdout
        return [line for line in out.splitlines() if line.startswith(" ") and "." in line and ".py:" in line]

    whole = tree("--max-lines", "0")
    module, main = whole[0], whole[1]
    assert module.endswith("<module>  late.py:0  " + end) and main.endswith("__main__.main  late.py:13  " + end)
    fails = [line for line in whole if "__main__.fail " in line]
    assert [line.split("  ")[-1] for line in fails] == ["raised ValueError(None)", "raised ValueError((1, 2))"]
    # Past the line limit every line on screen says what it says in the whole tree.
    for limit in ("400", "30"):
        cut = tree("--max-lines", limit)
        assert 20 < len(cut) < len(whole) and cut == whole[: len(cut)], limit
    with_locals = sarv("show", trace_id, "--locals", "--max-lines", "30", cwd=tmp_path, db_path=path).stdout
    assert ("raised: ValueError(42)" if mode == "raise" else "exited: SystemExit(0)") in with_locals
    assert "__name__" not in with_locals  # the module's dunders, hidden past the limit too

    events = json.loads(sarv("export", trace_id, cwd=tmp_path, db_path=path).stdout)["traceEvents"]
    ends = {e["name"]: e["args"] for e in events if e["ph"] == "X" and e["name"] != "__main__.fail"}
    kind, text = ("raised", "ValueError(42)") if mode == "raise" else ("exited", "SystemExit(0)")
    for name in ("__main__.<module>", "__main__.main"):
        assert (ends[name]["end"], ends[name]["exception_text"]) == (kind, text)
    shown_fails = [e["args"]["exception_text"] for e in events if e["name"] == "__main__.fail"]
    assert shown_fails == ["ValueError(None)", "ValueError((1, 2))"]

    hot = sarv("show", trace_id, "--hot", "--limit", "0", cwd=tmp_path, db_path=path).stdout
    [main_row] = [line for line in hot.splitlines() if "__main__.main  late.py:13" in line]
    assert main_row.endswith("(1 raised)") == (mode == "raise")
    assert "__main__.fail  late.py:9  (2 raised)" in hot

    page = _page_calls(path, trace_id)
    for name in ("__main__.<module>", "__main__.main"):
        [(flags, shown)] = page[name]
        assert (bool(flags & FLAG_RAISED), shown) == (mode == "raise", text)  # an exit is not a failure
    assert [(bool(f & FLAG_RAISED), x) for f, x in page["__main__.fail"]] == [
        (True, "ValueError(None)"),
        (True, "ValueError((1, 2))"),
    ]


HOT = textwrap.dedent(
    """
    from pkg.mod import helper


    def work(i):
        return helper(i)


    def fib(n):
        return n if n < 2 else fib(n - 1) + fib(n - 2)


    def numbers(n):
        for i in range(n):
            yield i


    def main():
        for i in range(300):
            work(i)
        fib(10)
        return sum(numbers(50))


    main()
    """
)


def test_show_hot_lists_functions_by_time_with_calls_and_what_the_budget_left_out(tmp_path):
    # An installed package: its files are shown from the package's name.
    installed = tmp_path / "venv" / "lib" / "python3.99" / "site-packages"
    (installed / "pkg").mkdir(parents=True)
    (installed / "pkg" / "__init__.py").write_text("")
    (installed / "pkg" / "mod.py").write_text("def helper(i):\n    return i + 1\n")
    (tmp_path / "hot.py").write_text(HOT)
    path = tmp_path / "t.db"
    env = {"PYTHONPATH": str(installed)}
    result = sarv(
        "run", "--call-budget", "100", "--include", "site-packages/pkg", "hot.py", cwd=tmp_path, db_path=path, env=env
    )
    assert result.returncode == 0, result.stderr
    trace_id = saved_trace(result)[0]
    out = sarv("show", trace_id, "--hot", "calls", "--limit", "0", cwd=tmp_path, db_path=path).stdout
    lines = out.splitlines()
    header = lines.index(next(line for line in lines if line.lstrip().startswith("OWN")))
    assert lines[header].split() == ["OWN", "TOTAL", "CALLS", "LEFT", "OUT", "FUNCTION"]
    assert "277 calls of 2 functions left out past the call budget (100 each)" in out
    unit = r"(?:[\d.]+ (?:µs|ms|s))"
    rows = {}
    for line in lines[header + 1 :]:
        match = re.match(r" *(%s) +(%s) +([\d,]+)(?: +([\d,]+) \((%s)\))? +(\S+)  (\S+)$" % (unit, unit, unit), line)
        assert match, line
        own, total, calls, left_out, _, name, where = match.groups()
        rows[name] = (calls, left_out, where, own, total)
    # By calls: work's 300, 100 recorded and 200 left out (with the helper calls they made);
    # fib's 177, 100 and 77; the helper's 100 recorded; the generator is one call in 51 parts.
    assert [(name, rows[name][:2]) for name in list(rows)[:3]] == [
        ("__main__.work", ("100", "200")),
        ("__main__.fib", ("100", "77")),
        ("pkg.mod.helper", ("100", None)),
    ]
    assert rows["__main__.numbers"][:2] == ("1", None) and rows["__main__.main"][:2] == ("1", None)
    assert rows["pkg.mod.helper"][2] == "pkg/mod.py:1"  # not the site-packages folder
    assert rows["__main__.main"][2] == "hot.py:18"

    def seconds(text):
        value, unit = text.split()
        return float(value) * {"µs": 1e-6, "ms": 1e-3, "s": 1.0}[unit]

    # Own time is part of the total; main's total holds everything it called.
    for name, (_, _, _, own, total) in rows.items():
        assert seconds(own) <= seconds(total) * 1.001 + 1e-7, name
    assert all(
        seconds(rows[n][4]) <= seconds(rows["__main__.main"][4]) * 1.001 for n in ("__main__.fib", "__main__.numbers")
    )
    by_own = sarv("show", trace_id, "--hot", cwd=tmp_path, db_path=path).stdout
    owns = [seconds(m.group(1)) for m in re.finditer(r"^ *(%s) +%s" % (unit, unit), by_own, re.M)]
    assert owns == sorted(owns, reverse=True) and owns
    tree = sarv("show", trace_id, cwd=tmp_path, db_path=path).stdout
    assert "pkg.mod.helper  pkg/mod.py:1" in tree and str(installed) not in tree
    refused = sarv("show", trace_id, "--hot", "--locals", cwd=tmp_path, db_path=path)
    assert refused.returncode == 2 and "--hot shows a table of functions" in refused.stderr
    version = sarv("--version", cwd=tmp_path)
    assert version.returncode == 0 and re.fullmatch(r"sarv \d+\.\d+\S*\n", version.stdout)


def _run_configured(tmp_path, config: str, name: str, source: str):
    """`sarv run` of the program `name` under a [tool.sarv] table of `config`: (result, db)."""
    (tmp_path / "pyproject.toml").write_text("[tool.sarv]\n" + config)
    (tmp_path / name).write_text(source)
    path = tmp_path / "t.db"
    result = sarv("run", name, cwd=tmp_path, db_path=path)
    assert result.returncode == 0, result.stderr
    return result, path


def test_run_and_show_say_what_the_call_budget_left_out(tmp_path):
    result, path = _run_configured(
        tmp_path,
        "call_budget = 5\n",
        "budget.py",
        "def fail(i):\n    raise ValueError(i)\n\n\n"
        "def step(i):\n    try:\n        fail(i)\n    except ValueError:\n        pass\n    return i\n\n\n"
        "for i in range(50):\n    step(i)\n",
    )
    trace_id = saved_trace(result)[0]
    line = "sarv: 90 calls of 2 functions left out past the call budget (5 each); see 'python -m sarv show %s'"
    assert line % trace_id in result.stderr.splitlines()
    shown = sarv("show", trace_id, cwd=tmp_path, db_path=path).stdout
    lines = shown.splitlines()
    at = lines.index("  90 calls of 2 functions left out past the call budget (5 each):")
    assert [row.split() for row in lines[at + 1 : at + 4]] == [
        ["RECORDED", "LEFT", "OUT", "TIME", "LEFT", "OUT", "LONGEST", "RAISED", "FUNCTION"],
        ["5", "45"] + lines[at + 2].split()[2:6] + ["__main__.step", "budget.py:5"],
        ["5", "45"] + lines[at + 3].split()[2:6] + ["45", "__main__.fail", "budget.py:1"],
    ]
    assert lines[at + 4] == "" and [name for _, name, _, _ in tree_lines(shown)].count("__main__.step") == 5
    # Without a budget nothing is left out, and neither says a word of it.
    (tmp_path / "pyproject.toml").write_text("[tool.sarv]\ncall_budget = 0\n")
    result = sarv("run", "budget.py", cwd=tmp_path, db_path=path)
    assert result.returncode == 0 and "left out" not in result.stderr
    shown = sarv("show", saved_trace(result)[0], "--max-lines", "0", cwd=tmp_path, db_path=path).stdout
    assert "left out" not in shown and [name for _, name, _, _ in tree_lines(shown)].count("__main__.step") == 50


def test_show_says_which_times_past_a_stop_cap_are_not_known(tmp_path):
    """Past a "stop" cap sys.monitoring no longer reports a generator's resumptions: its
    calls are counted, its time shown as not known; a plain function's time stays."""
    result, path = _run_configured(
        tmp_path,
        "max_records = 50\n",
        "capped.py",
        "def gen(n):\n    yield from range(n)\n\n\n"
        "def plain(i):\n    return i\n\n\n"
        "for i in range(40):\n    sum(gen(100))\n    plain(i)\n",
    )
    lines = sarv("show", saved_trace(result)[0], cwd=tmp_path, db_path=path).stdout.splitlines()
    rows = {line.split()[-2]: line.split() for line in lines if line.endswith(("capped.py:1", "capped.py:5"))}
    assert int(rows["__main__.gen"][0]) + int(rows["__main__.gen"][1]) == 40
    assert int(rows["__main__.plain"][0]) + int(rows["__main__.plain"][1]) == 40
    assert rows["__main__.plain"][2] != "?"
    footnote = "    ? time not known: past the cap, a generator's resumptions are not followed"
    assert (rows["__main__.gen"][2:4] == ["?", "?"]) == MONITORING == (footnote in lines)
