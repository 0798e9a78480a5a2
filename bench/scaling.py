"""How sarv scales with the length of a trace: record, save, show and export.

    python bench/scaling.py                          # N = 100k, 300k, 1M, 3M records
    python bench/scaling.py --sizes 100000,1000000   # other sizes
    python bench/scaling.py --pytest-tests 5000      # also pytest --sarv against a bare run
    python bench/scaling.py --skip-scaling --pytest-callgrind   # pytest's instructions per test
    python bench/scaling.py --skip-scaling --growing 20000      # values growing call by call, capped
    python bench/scaling.py --python OTHER/bin/python  # the same table for another sarv install

For each N, in fresh processes, one after the other:

1. record: a program of our own making about N records (lightweight values,
   as a long run would use) and saving them: the process's peak resident
   memory against the document's size (the encoded records) both ways, whole
   (the interpreter's own baseline included) and as its growth over the
   resident memory before recording (what recording and saving add);
   recording and saving CPU time; the stored (compressed) size. One run's
   save / record CPU moves by a tenth or more on a busy machine: the program
   runs --save-runs times in all (a fresh database each), and the table gives
   the median ratio with the lowest and highest;
2. `sarv show` of that trace (its first screen, 400 lines) and
   `sarv export --format chrome` to a file: wall time and peak resident memory
   of each command's process;
3. the Chrome nesting check, for traces up to --check-up-to records: the
   exported events rebuilt into a tree by time on each thread, every call's
   parent compared with the caller its records name (0 mismatches expected).

Figures of one run are taken side by side on one machine; compare ratios, not
absolute times, across machines.
"""

from __future__ import annotations

import argparse
import collections
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

PROGRAM = textwrap.dedent(
    """
    import json, resource, sys, time

    from sarv.config import load_config
    from sarv.profiler import Profiler


    def leaf(i, text):
        return i * 2 + len(text)


    def middle(i):
        return leaf(i, "left") + leaf(i + 1, "right")


    def work(calls):
        total = 0
        for i in range(calls):
            total += middle(i)
        return total


    def rss_kib():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0


    records, db_path = int(sys.argv[1]), sys.argv[2]
    # (every call recorded: the table is of traces of N records)
    config = load_config({"db_path": db_path, "lightweight_repr": True, "call_budget": 0})
    profiler = Profiler(config, source="bench")
    before = rss_kib()
    cpu0, wall0 = time.process_time(), time.perf_counter()
    profiler.start()
    work(records // 6)  # each middle() is 6 records: its call and return, two leaves
    cpu1, wall1 = time.process_time(), time.perf_counter()
    profiler.stop()
    cpu2, wall2 = time.process_time(), time.perf_counter()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({
        "trace_id": profiler.trace_id, "before_kib": before, "peak_kib": peak,
        "record_cpu": cpu1 - cpu0, "record_wall": wall1 - wall0,
        "save_cpu": cpu2 - cpu1, "save_wall": wall2 - wall1,
    }))
    """
)


# Values that grow call after call, as a fold over a growing structure makes them (a
# library's test of a chain of 2,000 markers grew past 24 GB before max_bytes): every
# call's record holds the structure so far, so the trace grows as the square of the calls.
GROWING = textwrap.dedent(
    """
    import json, resource, sys, time

    from sarv.config import load_config
    from sarv.profiler import Profiler


    def joined(chain, i):
        return chain + [{"name": "os_name", "op": "==", "value": "v%d " % i * 20, "extras": [i, i + 1]}]


    calls, db_path, cap = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    # (every call recorded, the newest kept: what the cap alone does to a growing trace)
    config = load_config({"db_path": db_path, "max_bytes": cap, "call_budget": 0, "max_records_mode": "ring"})
    profiler = Profiler(config, source="bench")
    started = time.perf_counter()
    with profiler:
        chain = []
        for i in range(calls):
            chain = joined(chain, i)
    print(json.dumps({
        "peak_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, "wall": time.perf_counter() - started,
        "records": profiler.record_count, "dropped": profiler.dropped_records,
    }))
    """
)


def measured(command, stdout=subprocess.DEVNULL, env=None):
    """(wall seconds, peak resident KiB, stdout bytes or None) of one child process."""
    started = time.perf_counter()
    child = subprocess.Popen(command, stdout=stdout, stderr=subprocess.PIPE, env=env)
    out = child.stdout.read() if stdout == subprocess.PIPE else None
    err = child.stderr.read()
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = os.waitstatus_to_exitcode(status)
    wall = time.perf_counter() - started
    if child.returncode != 0:
        raise SystemExit("%s failed (%d): %s" % (" ".join(command[:4]), child.returncode, err.decode()[-2000:]))
    return wall, usage.ru_maxrss, out


def remove_database(db_path: str) -> None:
    """A trace database and its log files, if there."""
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(db_path + suffix):
            os.unlink(db_path + suffix)


def nesting_mismatches(path: str) -> tuple:
    """(complete events, mismatches): each event's parent, rebuilt by time,
    against the call site its arguments name."""
    with open(path, encoding="utf-8") as f:
        events = [e for e in json.load(f)["traceEvents"] if e.get("ph") == "X"]
    by_thread = collections.defaultdict(list)
    for event in events:
        by_thread[event["tid"]].append(event)
    mismatches = 0
    for thread_events in by_thread.values():
        thread_events.sort(key=lambda e: (e["ts"], -e["dur"]))
        stack = []
        for event in thread_events:
            end = event["ts"] + event["dur"]
            while stack and not (stack[-1]["ts"] <= event["ts"] and end <= stack[-1]["ts"] + stack[-1]["dur"]):
                stack.pop()
            parent = stack[-1]["args"].get("frame_id") if stack else None
            site = event["args"].get("call_site")
            caller = site.get("call_frame_id") if isinstance(site, dict) else None
            if caller is not None and caller != parent:
                mismatches += 1
            stack.append(event)
    return len(events), mismatches


def mib(kib_or_bytes, unit=1024):
    return kib_or_bytes * unit / (1 << 20) if unit == 1024 else kib_or_bytes / (1 << 20)


def save_ratios(program, n, runs, folder, python):
    """Save CPU / record CPU of `runs` more runs of the program, each into a
    database of its own."""
    ratios = []
    for i in range(runs):
        db_path = os.path.join(folder, "again-%d-%d.sqlite3" % (n, i))
        _, _, out = measured([python, program, str(n), db_path], stdout=subprocess.PIPE)
        run = json.loads(out)
        ratios.append(run["save_cpu"] / run["record_cpu"])
        remove_database(db_path)
    return ratios


def scaling(sizes, check_up_to, folder, python=sys.executable, save_runs=5):
    from sarv import db

    print(
        "%-9s %9s %9s %7s %9s %8s %7s %7s %8s %8s %11s %7s %9s %7s %9s"
        % (
            "records",
            "trace MB",
            "stored MB",
            "base MB",
            "peak MB",
            "peak/tr",
            "grow/tr",
            "rec s",
            "save s",
            "save/rec",
            "(range)",
            "show s",
            "show MB",
            "exp s",
            "export MB",
        )
    )
    checks = []
    program = os.path.join(folder, "scaled_program.py")  # recorded as user code: a file of its own
    with open(program, "w") as f:
        f.write(PROGRAM)
    for n in sizes:
        db_path = os.path.join(folder, "scaling-%d.sqlite3" % n)
        _, _, out = measured([python, program, str(n), db_path], stdout=subprocess.PIPE)
        run = json.loads(out)
        summary = db.find_trace(db_path, run["trace_id"])
        show_s, show_kib, _ = measured([python, "-m", "sarv", "show", run["trace_id"], "--db", db_path])
        target = os.path.join(folder, "scaling-%d.json" % n)
        export_s, export_kib, _ = measured(
            [python, "-m", "sarv", "export", run["trace_id"], "--db", db_path, "--format", "chrome", "-o", target]
        )
        ratios = sorted([run["save_cpu"] / run["record_cpu"]] + save_ratios(program, n, save_runs - 1, folder, python))
        size = summary.size
        stored = getattr(summary, "stored_size", None) or size
        peak = run["peak_kib"] * 1024
        growth = (run["peak_kib"] - run["before_kib"]) * 1024
        print(
            "%-9d %9.1f %9.1f %7.1f %9.1f %8.2f %7.2f %7.2f %8.2f %8.2f %11s %7.2f %9.1f %7.2f %9.1f"
            % (
                summary.record_count,
                size / 1e6,
                stored / 1e6,
                run["before_kib"] * 1024 / 1e6,
                peak / 1e6,
                peak / size,
                growth / size,
                run["record_cpu"],
                run["save_cpu"],
                statistics.median(ratios),
                "%.2f-%.2f" % (ratios[0], ratios[-1]),
                show_s,
                show_kib / 1024,
                export_s,
                export_kib / 1024,
            ),
            flush=True,
        )
        if summary.record_count <= check_up_to:
            checks.append((summary.record_count, target))
        else:
            os.unlink(target)
    print()
    print("columns: trace MB = document size (the encoded records); base MB = resident memory of the recording")
    print("process before recording (the interpreter, sarv and the program, imported); peak MB = its peak resident")
    print("memory (record + save); peak/tr = peak / trace, the baseline included; grow/tr = (peak - base) / trace,")
    print("what recording and saving add; rec s, save s = CPU seconds; save/rec = the median of save CPU / record")
    print("CPU over %d runs (range: lowest-highest); show, export = wall seconds and peak MB" % save_runs)
    for records, target in checks:
        events, mismatches = nesting_mismatches(target)
        print(
            "chrome nesting check, %d records: %d complete events, %d nested under another caller than"
            " the one recorded" % (records, events, mismatches)
        )
        os.unlink(target)


def fixed_cost(folder, traces=1000):
    """Time of a whole trace of a tiny request (profiler made, started,
    stopped and saved) against the bare request, in this process."""
    from sarv.config import load_config
    from sarv.profiler import Profiler

    config = load_config({"db_path": os.path.join(folder, "fixed.sqlite3")})

    def request(n):
        return sum(i for i in range(n))

    def traced():
        with Profiler(config, source="api"):
            request(10)

    for _ in range(50):
        traced()
    rounds = []
    for _ in range(3):
        started = time.perf_counter()
        for _ in range(traces):
            traced()
        middle = time.perf_counter()
        for _ in range(traces):
            request(10)
        rounds.append(((middle - started) / traces, (time.perf_counter() - middle) / traces))
    with_sarv, bare = min(rounds)
    print(
        "fixed cost of a trace (a request of 10 calls traced and saved, best of 3 x %d): %.3f ms"
        " (the bare request: %.4f ms)" % (traces, (with_sarv - bare) * 1000, bare * 1000)
    )


TRIVIAL_TEST = "def test_{i}():\n    assert {i} + 1 == {j}\n\n"


def trivial_suite(count, folder, python, name="suite"):
    """The command that runs a suite of `count` trivial tests."""
    suite = os.path.join(folder, name)
    os.makedirs(suite, exist_ok=True)
    with open(os.path.join(suite, "test_trivial.py"), "w") as f:
        for i in range(count):
            f.write(TRIVIAL_TEST.format(i=i, j=i + 1))
    return [python, "-m", "pytest", "-q", "-p", "no:cacheprovider", suite]


# As on a developer's machine: pytest's rewritten test modules (and sarv's own modules)
# cached as bytecode (an environment that turns the cache off makes every run compile them,
# a cost of the bare run that would make sarv's share look smaller).
def cached_bytecode_env():
    return {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}


def pytest_overhead(count, folder, python=sys.executable, rounds=3):
    base = trivial_suite(count, folder, python)
    db_path = os.path.join(folder, "pytest.sqlite3")
    env = cached_bytecode_env()
    measured(base, env=env)  # fills the cache
    bare, sarv = [], []
    for _ in range(rounds):  # alternated: each --sarv run beside the bare run before it
        bare.append(measured(base, env=env)[0])
        remove_database(db_path)
        sarv.append(measured(base + ["--sarv", "--sarv-db", db_path], env=env)[0])
    b, s = min(bare), min(sarv)
    print(
        "pytest on %d trivial tests: bare %.2f s, --sarv %.2f s: %.2fx; %.2f ms more per test"
        % (count, b, s, s / b, (s - b) / count * 1000)
    )
    if rounds > 3:
        # On a noisy machine the best runs of each can come from different moments: the
        # ratios of the side-by-side pairs, and their median, say more.
        ratios = sorted(t / u for t, u in zip(sarv, bare))
        print(
            "  median of %d side-by-side ratios %.3fx (from %.3fx to %.3fx); %.3f ms more per test"
            % (
                rounds,
                statistics.median(ratios),
                ratios[0],
                ratios[-1],
                statistics.median((t - u) / count * 1000 for t, u in zip(sarv, bare)),
            )
        )


# Variants of `pytest --sarv` that take a part of its work away, chosen by SARV_BENCH_PART in
# the suite's conftest (present, and idle, in every run of the comparison, the bare one too).
PARTS_CONFTEST = textwrap.dedent(
    """
    import os

    part = os.environ.get("SARV_BENCH_PART", "")
    if part == "no-save":  # each document read, none saved
        import sarv.db

        sarv.db.save_later = lambda db_path, trace_id, document, timeout=60: b"".join(document)
    elif part == "piped":  # each document read and sent to another process, which drops it
        import atexit
        import struct
        import subprocess

        import sarv.db

        _drain = subprocess.Popen(["cat"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
        _waiting = bytearray()
        _count = [0]

        def _ship(db_path, trace_id, document, timeout=60):
            whole = b"".join(document)
            _waiting.extend(struct.pack("<I", len(whole)) + whole)
            _count[0] += 1
            if _count[0] % 16 == 0:  # (a write for each would cost a test twice as much)
                os.write(_drain.stdin.fileno(), _waiting)
                _waiting.clear()

        sarv.db.save_later = _ship
        atexit.register(lambda: os.write(_drain.stdin.fileno(), _waiting))
    elif part == "no-hook":  # the plugin's hook wrappers only: no hook, no markers, no saves
        from sarv import pytest_plugin

        pytest_plugin._Hooked.__enter__ = lambda self: None
        pytest_plugin._Hooked.__exit__ = lambda self, *exc: None
        pytest_plugin._SarvSession._end_test = lambda self, nodeid, outcome: None
    """
)
PARTS = ("full", "no-save", "piped", "no-hook")


def pytest_parts(count, folder, python=sys.executable, rounds=6):
    """What each part of `pytest --sarv` costs a trivial test: the full plugin and variants
    without its saves (documents read, or shipped to another process), or with nothing but
    its hook wrappers, alternated with the bare run."""
    base = trivial_suite(count, folder, python, "parts")
    with open(os.path.join(folder, "parts", "conftest.py"), "w") as f:
        f.write(PARTS_CONFTEST)
    db_path = os.path.join(folder, "parts.sqlite3")
    env = cached_bytecode_env()
    runs = {name: [] for name in ("bare",) + PARTS}

    def run(name):
        remove_database(db_path)
        command = base if name == "bare" else base + ["--sarv", "--sarv-db", db_path]
        return measured(command, env=dict(env, SARV_BENCH_PART=name))[0]

    for name in runs:
        run(name)  # (fills the bytecode caches)
    for _ in range(rounds):
        for name in runs:
            runs[name].append(run(name))
    bare = runs["bare"]
    print(
        "pytest --sarv taken apart, %d trivial tests, %d alternated rounds (median ratio to the bare run beside it):"
        % (count, rounds)
    )
    for name in PARTS:
        ratios = [t / u for t, u in zip(runs[name], bare)]
        extra = statistics.median((t - u) / count * 1e6 for t, u in zip(runs[name], bare))
        print("  %-8s %.3fx  %6.1f us more per test" % (name, statistics.median(ratios), extra))


def pytest_callgrind(folder, python=sys.executable):
    """Instructions per trivial test, bare and with --sarv: the difference
    between suites of 300 and 600 tests, each run under callgrind after a
    run that fills the bytecode caches."""
    from callgrind_count import total_instructions

    env = cached_bytecode_env()
    per_test = {}
    for mode in ("bare", "--sarv"):
        counts = []
        for count in (300, 600):
            command = trivial_suite(count, folder, python, "callgrind-%d" % count)
            if mode == "--sarv":
                db_path = os.path.join(folder, "callgrind-%d.sqlite3" % count)
                command += ["--sarv", "--sarv-db", db_path]
            measured(command, env=env)
            if mode == "--sarv":
                os.unlink(db_path)
            counts.append(total_instructions(command, timeout=3600, env=env))
        per_test[mode] = (counts[1] - counts[0]) / 300
    print(
        "pytest, instructions per trivial test (callgrind): bare %.0f, --sarv %.0f: %.2fx"
        % (per_test["bare"], per_test["--sarv"], per_test["--sarv"] / per_test["bare"])
    )


def growing_values(calls: int, folder: str, python: str) -> None:
    """Peak memory of a run whose values grow call by call, without a cap and under caps."""
    print()
    print("growing values: %d calls, each record holding the structure so far (%s)" % (calls, python))
    print("max_bytes        records    dropped        trace   peak RSS MiB   wall s")
    path = os.path.join(folder, "growing.sqlite3")
    program = os.path.join(folder, "growing.py")  # (code of "<string>" is not recorded)
    with open(program, "w") as f:
        f.write(GROWING)
    for cap in ("0", "256M", "64M"):
        _, _, out = measured([python, program, str(calls), path, cap], stdout=subprocess.PIPE)
        run = json.loads(out)
        trace = subprocess.run(
            [python, "-m", "sarv", "traces", "--db", path, "--limit", "1"], capture_output=True, text=True, check=True
        ).stdout.splitlines()[1]
        size = " ".join(trace.split()[5:7])
        print(
            "%-12s %11d %10d %12s %14.0f %8.1f"
            % (
                cap if cap != "0" else "0 (no cap)",
                run["records"],
                run["dropped"],
                size,
                mib(run["peak_kib"]),
                run["wall"],
            )
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="100000,300000,1000000,3000000")
    parser.add_argument("--check-up-to", type=int, default=1_000_000, help="nesting check for traces up to this size")
    parser.add_argument("--pytest-tests", type=int, default=0, metavar="N")
    parser.add_argument(
        "--pytest-rounds",
        type=int,
        default=3,
        metavar="R",
        help="alternated runs of each; past 3 the median is printed",
    )
    parser.add_argument(
        "--pytest-callgrind", action="store_true", help="also pytest's instructions per test, bare and with --sarv"
    )
    parser.add_argument(
        "--pytest-parts",
        action="store_true",
        help="also pytest --sarv without its saves, with its documents sent to another process 16 at a time,"
        " with its wrappers only",
    )
    parser.add_argument("--skip-scaling", action="store_true")
    parser.add_argument(
        "--growing",
        type=int,
        default=0,
        metavar="CALLS",
        help="also a run whose values grow call by call, capped and not",
    )
    parser.add_argument(
        "--save-runs", type=int, default=5, metavar="K", help="runs of the recording program per size for save/rec"
    )
    parser.add_argument(
        "--python", default=sys.executable, help="the interpreter (with its sarv) that records, shows and exports"
    )
    options = parser.parse_args()
    print("machine: %s, %d cores, Python %s" % (platform.platform(), os.cpu_count(), platform.python_version()))
    with tempfile.TemporaryDirectory(prefix="sarv-scaling-") as folder:
        if not options.skip_scaling:
            scaling(
                [int(n) for n in options.sizes.split(",")],
                options.check_up_to,
                folder,
                options.python,
                max(1, options.save_runs),
            )
        if options.python == sys.executable:
            fixed_cost(folder)
        if options.pytest_tests:
            pytest_overhead(options.pytest_tests, folder, options.python, max(1, options.pytest_rounds))
        if options.pytest_callgrind:
            pytest_callgrind(folder, options.python)
        if options.pytest_parts:
            pytest_parts(options.pytest_tests or 5000, folder, options.python, max(1, options.pytest_rounds))
        if options.growing:
            growing_values(options.growing, folder, options.python)


if __name__ == "__main__":
    main()
