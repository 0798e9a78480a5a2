"""What the spool costs: the same recorded run with and without its records copied to a
spool beside the database, side by side in one run.

    python bench/spool_bench.py               # wall time, median of 5 alternating runs
    python bench/spool_bench.py --callgrind   # instructions, all threads, by callgrind
    python bench/spool_bench.py --kills 20    # SIGKILL at random moments: what is recovered

Each run is a fresh process that records an ordinary workload (bench/workloads.py) with
every call recorded (call_budget 0, the most records a run can make) and saves the trace.
The spool's cost is the flushing thread's copy and write of every record, plus the
interpreter lock it takes a few times a second; the hook itself does no more work.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from callgrind_count import total_instructions  # noqa: E402

WORKLOADS = ["objects with lists and dicts", "nested records", "method calls"]


def child(mode: str, wname: str, reps: int, db_path: str) -> None:
    import workloads
    from sarv.config import load_config
    from sarv.profiler import Profiler

    work = workloads.WORKLOADS[wname]
    profiler = Profiler(load_config({"call_budget": 0}), db_path=db_path)
    profiler.spool = mode == "spool"
    profiler.start()
    started = time.perf_counter()
    for _ in range(reps):
        work()
    elapsed = time.perf_counter() - started
    profiler.stop()
    print(profiler.record_count, elapsed)


def run(mode: str, wname: str, reps: int, callgrind: bool):
    folder = tempfile.mkdtemp()
    try:
        db_path = os.path.join(folder, "t.db")
        command = [sys.executable, __file__, "--child", mode, wname, str(reps), db_path]
        if callgrind:
            from sarv import db

            instructions = total_instructions(command, timeout=3600)
            return db.list_traces(db_path)[0].record_count, instructions
        out = subprocess.run(command, check=True, capture_output=True, text=True).stdout.split()
        return int(out[0]), float(out[1])
    finally:
        shutil.rmtree(folder)


# Ticks for ever, every call recorded; says the time of every 100th tick.
TICKING = """
import sys
import time


def tick(n):
    return n


n = 0
while True:
    tick(n)
    if n % 100 == 0:
        print(n, time.time(), flush=True)
    n += 1
"""


def kills(count: int) -> None:
    """`sarv run` killed by SIGKILL at `count` random moments: each time, whether every tick
    older than half a second at the kill is in the trace the next command recovers."""
    import random
    import signal

    from sarv import db

    print("SIGKILL at a random moment of a `sarv run`; the trace recovered by the next command")
    print(f"{'run for':>8} {'last tick':>10} {'recovered':>10} {'lost':>6} {'age of the oldest lost':>23}")
    worst = 0.0
    for _ in range(count):
        folder = tempfile.mkdtemp()
        try:
            with open(os.path.join(folder, "prog.py"), "w") as f:
                f.write(TICKING)
            path = os.path.join(folder, "t.db")
            env = dict(os.environ, SARV_DB=path)
            command = [sys.executable, "-m", "sarv", "run", "--call-budget", "0", "prog.py"]
            process = subprocess.Popen(command, cwd=folder, env=env, stdout=subprocess.PIPE, text=True)
            said = []
            lifetime = random.uniform(1.0, 6.0)  # from the first tick
            for line in process.stdout:
                n, at = line.split()
                said.append((int(n), float(at)))
                if time.time() - said[0][1] >= lifetime:
                    break
            process.send_signal(signal.SIGKILL)
            killed = time.time()
            process.communicate()
            subprocess.run([sys.executable, "-m", "sarv", "traces", "--db", path], capture_output=True, check=True)
            (summary,) = db.list_traces(path)
            document = db.load_trace_document(path, summary.trace_id)
            ticks = {r["locals"]["n"] for r in document["frames_of_interest"] if r.get("co_name") == "tick"}
            last = max(ticks)
            lost = [(n, at) for n, at in said if n not in ticks]
            oldest = max((killed - at for n, at in lost), default=0.0)
            worst = max(worst, oldest)
            print(f"{lifetime:>7.1f}s {said[-1][0]:>10,} {last:>10,} {len(lost):>6} {oldest:>22.2f}s")
        finally:
            shutil.rmtree(folder)
    print(f"oldest tick lost, of all runs: {worst:.2f} s before the kill")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--callgrind", action="store_true", help="count instructions instead of timing")
    parser.add_argument("--reps", type=int, default=None, help="repetitions of each workload in a run")
    parser.add_argument("--kills", type=int, default=0, help="SIGKILL a recorded run this many times")
    parser.add_argument("--child", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.kills:
        kills(args.kills)
        return
    if args.child:
        mode, wname, reps, db_path = args.child
        child(mode, wname, int(reps), db_path)
        return
    reps = args.reps or (20 if args.callgrind else 200)
    if args.callgrind:
        print(f"instructions of a whole run ({reps} repetitions, recorded and saved), all threads")
        print(f"{'workload':32} {'records':>9} {'no spool':>14} {'spool':>14} {'ratio':>7} {'extra/record':>13}")
        for wname in WORKLOADS:
            n, off = run("off", wname, reps, True)
            _, on = run("spool", wname, reps, True)
            print(f"{wname:32} {n:>9,} {off:>14,} {on:>14,} {on / off:>7.3f} {(on - off) / n:>13.1f}")
        return
    print(f"seconds recording ({reps} repetitions), median of 5 runs alternating")
    print(f"{'workload':32} {'records':>9} {'no spool':>10} {'spool':>10} {'ratio':>7}")
    for wname in WORKLOADS:
        times = {"off": [], "spool": []}
        records = 0
        for _ in range(5):
            for mode in ("off", "spool"):
                records, elapsed = run(mode, wname, reps, False)
                times[mode].append(elapsed)
        off, on = statistics.median(times["off"]), statistics.median(times["spool"])
        print(f"{wname:32} {records:>9,} {off:>10.3f} {on:>10.3f} {on / off:>7.3f}")


if __name__ == "__main__":
    main()
