"""`sarv diff` on two long traces: two runs of one program, of about N records each,
that differ in one value deep in their loop; the diff's wall time, CPU time and peak
memory, side by side with a plain msgpack decode of both traces in the same run.

    python bench/diff_bench.py                 # N = 1,000,000
    python bench/diff_bench.py --records 200000 --same   # two runs that do not differ
    python bench/diff_bench.py --callgrind     # instructions a record (N = 100,000)

Both runs record every call (call budget 0) with the default value encoding, so the
records hold the arguments and locals a real trace holds. The diff runs in a fresh
process as `sarv diff` does, which reads trace A in a second process beside it: the
figures are both processes' CPU time and peak resident memory (the interpreter
included), and the wall time with the machine's load average beside it (on a busy
machine the wall time says more of the others than of the diff; the CPU times and the
ratios to the decode measured in the same run do not). With --callgrind, the diff (in one
process), its reading alone and the decode each run under callgrind; the start-up (the
interpreter and the same imports) is counted apart and taken off.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import re
import subprocess
import sys
import tempfile
import textwrap
import time

PROGRAM = textwrap.dedent(
    """
    import json, sys

    from sarv.config import load_config
    from sarv.profiler import Profiler


    class Item:
        def __init__(self, sku, qty):
            self.sku = sku
            self.qty = qty


    def price(item, rate):
        return item.qty * rate


    def line_total(item, rate):
        cost = price(item, rate)
        return {"sku": item.sku, "cost": cost}


    def quantity(i):
        # The one value the second run gets otherwise (read from a global, so that no
        # argument of the calls around it says so).
        return 0 if i == BAD else i % 7 + 1


    def run(calls):
        totals = 0
        for i in range(calls):
            item = Item("sku-%d" % (i % 97), quantity(i))
            totals += line_total(item, 3)["cost"]
        return totals


    records, db_path, BAD = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
    config = load_config({"db_path": db_path, "call_budget": 0, "max_bytes": 0, "max_records": 0})
    profiler = Profiler(config, source="bench")
    with profiler:
        run(records // 8)  # each loop turn is 8 records: four calls and their returns
    print(json.dumps({"trace_id": profiler.trace_id}))
    """
)


# `sarv diff` as its command line runs it, then its peak memory and that of the process it
# forks to read one trace (its only child), and the CPU time of both.
RUNNER = textwrap.dedent(
    """
    import json, resource, sys

    from sarv.cli import main

    status = main(["diff", sys.argv[1], sys.argv[2], "--db", sys.argv[3]])
    own, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    sys.stdout.flush()
    print(json.dumps({
        "own_kib": own.ru_maxrss, "worker_kib": children.ru_maxrss,
        "own_cpu": own.ru_utime + own.ru_stime, "worker_cpu": children.ru_utime + children.ru_stime,
    }), file=sys.stderr)
    sys.exit(status)
    """
)


DECODER = textwrap.dedent(
    """
    import resource, sys

    import msgpack

    from sarv import db

    for trace_id in sys.argv[1:3]:
        with db.open_trace(sys.argv[3], trace_id) as stream:
            unpacker = msgpack.Unpacker(stream, raw=False, strict_map_key=False, max_buffer_size=2**31 - 1)
            for _ in range(unpacker.read_map_header()):
                key = unpacker.unpack()
                if key == "frames_of_interest":
                    for _ in range(unpacker.read_array_header()):
                        unpacker.unpack()
                else:
                    unpacker.skip()
    usage = resource.getrusage(resource.RUSAGE_SELF)
    print(usage.ru_utime + usage.ru_stime, usage.ru_maxrss)
    """
)


# Under callgrind: the start-up alone, the diff in one process, its reading alone.
STARTUP = "import sys, msgpack; from sarv import db; from sarv.diff import diff_traces, read"
ONE_PROCESS = STARTUP + "; diff_traces(sys.argv[3], sys.argv[1], sys.argv[2])"
READING = (
    STARTUP
    + "\nkeys = read.FunctionKeys()\nfor t in sys.argv[1:3]:\n    with db.open_trace(sys.argv[3], t) as p:\n"
    + "        read.read_trace(p, keys)"
)


def record(program: str, records: int, db_path: str, bad: int) -> str:
    out = subprocess.run(
        [sys.executable, program, str(records), db_path, str(bad)], check=True, capture_output=True, text=True
    ).stdout
    return json.loads(out.strip().splitlines()[-1])["trace_id"]


def timed(code: str, args: list) -> tuple:
    """(the finished process, its wall time) of `python -c code args`."""
    started = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True)
    return done, time.perf_counter() - started


def instructions(code: str, args: list) -> int:
    """Instructions of `python -c code args` under callgrind."""
    with tempfile.TemporaryDirectory() as folder:
        done = subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=%s/out" % folder, sys.executable, "-c", code, *args],
            capture_output=True,
            text=True,
        )
    found = re.search(r"Collected : (\d+)", done.stderr)
    if done.returncode != 0 or not found:
        raise SystemExit("callgrind failed: %s" % done.stderr[-2000:])
    return int(found.group(1))


def callgrind_report(args: list, records: int) -> None:
    startup = instructions(STARTUP, args)
    figures = [
        ("sarv diff, one process", instructions(ONE_PROCESS, args)),
        ("  of which reading both traces", instructions(READING, args)),
        ("both traces decoded with msgpack", instructions(DECODER, args)),
    ]
    print("callgrind: start-up (interpreter and imports) %s instructions, taken off below" % "{:,}".format(startup))
    decode = figures[-1][1] - startup
    for name, counted in figures:
        own = counted - startup
        print(
            "  %-34s %15s instructions, %7s a record, %.2fx the decode"
            % (name, "{:,}".format(own), "{:,.0f}".format(own / records), own / decode)
        )


def timing_report(args: list, records: int) -> None:
    load_before = os.getloadavg()[0]
    done, wall = timed(RUNNER, args)
    usage = json.loads(done.stderr.strip().splitlines()[-1])
    # For scale, in the same run: every record of both traces decoded (msgpack's own
    # streaming reader), which any tool that reads the values pays.
    decoded, decode_wall = timed(DECODER, args)
    decode_cpu, decode_kib = map(float, decoded.stdout.split())
    load_after = os.getloadavg()[0]
    diff_cpu = usage["own_cpu"] + usage["worker_cpu"]
    peak = (usage["own_kib"] + usage["worker_kib"]) / 1024
    print("load average %.1f before, %.1f after, on %d cores" % (load_before, load_after, os.cpu_count()))
    print("%-40s %9s %9s %10s" % ("", "wall", "CPU", "peak"))
    print("%-40s %7.2f s %7.2f s %6.0f MiB" % ("sarv diff (exit status %d)" % done.returncode, wall, diff_cpu, peak))
    print(
        "%-40s %9s %7.2f s %6.0f MiB"
        % ("  the process that read trace A beside it", "", usage["worker_cpu"], usage["worker_kib"] / 1024)
    )
    print(
        "%-40s %7.2f s %7.2f s %6.0f MiB"
        % ("both traces decoded with msgpack", decode_wall, decode_cpu, decode_kib / 1024)
    )
    print(
        "%-40s %8.2fx %8.2fx %9.2fx"
        % ("ratio, diff to decode", wall / decode_wall, diff_cpu / decode_cpu, peak * 1024 / decode_kib)
    )
    print("CPU a record: %.1f µs the diff, %.1f µs the decode" % (diff_cpu / records * 1e6, decode_cpu / records * 1e6))
    print("first lines of its output:")
    for line in done.stdout.splitlines()[:8]:
        print("  " + line)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument(
        "--records", type=int, help="records of each trace (default 1,000,000; 100,000 with --callgrind)"
    )
    parser.add_argument("--same", action="store_true", help="two runs that go the same way")
    parser.add_argument("--callgrind", action="store_true", help="instructions a record under callgrind")
    parser.add_argument("--keep", metavar="FOLDER", help="keep the database in FOLDER")
    options = parser.parse_args()
    records = options.records or (100_000 if options.callgrind else 1_000_000)
    folder = options.keep or tempfile.mkdtemp(prefix="sarv-diff-bench-")
    os.makedirs(folder, exist_ok=True)
    program = os.path.join(folder, "program.py")
    with open(program, "w") as stream:
        stream.write(PROGRAM)
    db_path = os.path.join(folder, "traces.sqlite3")
    loops = records // 8
    bad = -1 if options.same else loops * 7 // 10  # seven tenths in
    started = time.perf_counter()
    first = record(program, records, db_path, -1)
    second = record(program, records, db_path, bad)
    recorded = time.perf_counter() - started

    from sarv import db

    summaries = [db.find_trace(db_path, t) for t in (first, second)]
    print(
        "machine: %s, %s, %d cores, Python %s"
        % (platform.machine(), platform.processor() or "?", os.cpu_count(), platform.python_version())
    )
    for name, summary in zip(("A", "B"), summaries):
        print(
            "trace %s: %s, %s records, document %.1f MiB (stored %.1f MiB)"
            % (
                name,
                summary.trace_id,
                "{:,}".format(summary.record_count or 0),
                summary.size / 2**20,
                (summary.stored_size or 0) / 2**20,
            )
        )
    print("recording both: %.1f s" % recorded)
    total = sum(summary.record_count or 0 for summary in summaries)
    if options.callgrind:
        callgrind_report([first, second, db_path], total)
    else:
        timing_report([first, second, db_path], total)


if __name__ == "__main__":
    main()
