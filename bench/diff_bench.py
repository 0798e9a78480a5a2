"""`sarv diff` on two long traces: two runs of one program, of about N records each,
that differ in one value deep in their loop; the diff's wall time and peak memory.

    python bench/diff_bench.py                 # N = 1,000,000
    python bench/diff_bench.py --records 200000 --same   # two runs that do not differ

Both runs record every call (call budget 0) with the default value encoding, so the
records hold the arguments and locals a real trace holds. The diff runs in a fresh
process as `sarv diff` does, which reads trace A in a second process beside it: the
figures are both processes' CPU time and peak resident memory (the interpreter
included), and the wall time with the machine's load average beside it (on a busy
machine the wall time says more of the others than of the diff; the CPU times do not).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
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
    print(usage.ru_utime + usage.ru_stime)
    """
)


def record(program: str, records: int, db_path: str, bad: int) -> str:
    out = subprocess.run(
        [sys.executable, program, str(records), db_path, str(bad)], check=True, capture_output=True, text=True
    ).stdout
    return json.loads(out.strip().splitlines()[-1])["trace_id"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--records", type=int, default=1_000_000, help="records of each trace (default 1,000,000)")
    parser.add_argument("--same", action="store_true", help="two runs that go the same way")
    parser.add_argument("--keep", metavar="FOLDER", help="keep the database in FOLDER")
    options = parser.parse_args()
    folder = options.keep or tempfile.mkdtemp(prefix="sarv-diff-bench-")
    os.makedirs(folder, exist_ok=True)
    program = os.path.join(folder, "program.py")
    with open(program, "w") as stream:
        stream.write(PROGRAM)
    db_path = os.path.join(folder, "traces.sqlite3")
    loops = options.records // 8
    bad = -1 if options.same else loops * 7 // 10  # seven tenths in
    started = time.perf_counter()
    first = record(program, options.records, db_path, -1)
    second = record(program, options.records, db_path, bad)
    recorded = time.perf_counter() - started

    from sarv import db

    sizes = [db.find_trace(db_path, t) for t in (first, second)]
    started = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", RUNNER, first, second, db_path], capture_output=True, text=True)
    wall = time.perf_counter() - started
    usage = json.loads(done.stderr.strip().splitlines()[-1])
    print(
        "machine: %s, %s, %d cores, Python %s"
        % (platform.machine(), platform.processor() or "?", os.cpu_count(), platform.python_version())
    )
    for name, summary in zip(("A", "B"), sizes):
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
    # For scale, in the same run: every record of both traces decoded (msgpack's own
    # streaming reader), which any tool that reads the values pays.
    decoded = subprocess.run([sys.executable, "-c", DECODER, first, second, db_path], capture_output=True, text=True)
    decode_cpu = float(decoded.stdout.strip().splitlines()[-1])
    load = os.getloadavg()[0]
    print(
        "sarv diff: exit status %d, %.2f s wall (load average %.1f on %d cores), CPU %.2f s its own + %.2f s the "
        "process that read trace A beside it; peak resident %.0f MiB (%.0f MiB its own, %.0f MiB that process's)"
        % (
            done.returncode,
            wall,
            load,
            os.cpu_count(),
            usage["own_cpu"],
            usage["worker_cpu"],
            (usage["own_kib"] + usage["worker_kib"]) / 1024,
            usage["own_kib"] / 1024,
            usage["worker_kib"] / 1024,
        )
    )
    diff_cpu = usage["own_cpu"] + usage["worker_cpu"]
    print(
        "for scale: both traces decoded record by record with msgpack.Unpacker: %.2f s CPU; the diff's CPU is %.2fx that"
        % (decode_cpu, diff_cpu / decode_cpu if decode_cpu else float("nan"))
    )
    print("first lines of its output:")
    for line in done.stdout.splitlines()[:14]:
        print("  " + line)
    for line in done.stderr.strip().splitlines()[:-1]:
        print(line)


if __name__ == "__main__":
    main()
