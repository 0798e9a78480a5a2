"""What the spool costs: the same recorded run with and without its records copied to a
spool beside the database, side by side in one run.

    python bench/spool_bench.py               # wall time, median of 5 alternating runs
    python bench/spool_bench.py --callgrind   # instructions, all threads, by callgrind
    python bench/spool_bench.py --kills 20    # SIGKILL at random moments: what is recovered
    python bench/spool_bench.py --memory 2048 # peak memory and save time of a run of 2 GB of records
    python bench/spool_bench.py --callgrind --before DIR [--after DIR2]  # two cores' instructions

`--before DIR`: also runs every recorded run with DIR/libsarv_core.so (a build of an
earlier commit) loaded in place of the installed core (or of DIR2's, `--after`), and
prints the instructions of both side by side.

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


def core_env(core_dir: str | None, folder: str) -> dict | None:
    """The environment of a child that loads the core of `core_dir` (None: the installed one)."""
    if core_dir is None:
        return None
    with open(os.path.join(folder, "sitecustomize.py"), "w") as f:
        # Loaded first under the core's own name, the stubs of the modules bind to it.
        f.write(
            "import ctypes, os\n"
            f"ctypes.CDLL({os.path.join(os.path.abspath(core_dir), 'libsarv_core.so')!r}, "
            "mode=os.RTLD_GLOBAL | os.RTLD_NOW)\n"
        )
    return dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [folder, os.environ.get("PYTHONPATH")])))


def run(mode: str, wname: str, reps: int, callgrind: bool, core_dir: str | None = None):
    folder = tempfile.mkdtemp()
    try:
        db_path = os.path.join(folder, "t.db")
        command = [sys.executable, __file__, "--child", mode, wname, str(reps), db_path]
        if callgrind:
            from sarv import db

            instructions = total_instructions(command, timeout=3600, env=core_env(core_dir, folder))
            return db.list_traces(db_path)[0].record_count, instructions
        out = subprocess.run(command, check=True, capture_output=True, text=True).stdout.split()
        return int(out[0]), float(out[1])
    finally:
        shutil.rmtree(folder)


def child_memory(mode: str, wname: str, reps: int, db_path: str) -> None:
    """One run for --memory: the workload `reps` times, bare or recorded (with or without
    the spool) and saved; prints its peak resident memory before and after the save (bytes),
    the bytes of its records, and the seconds recording and saving."""
    import workloads
    from sarv.config import load_config
    from sarv.profiler import Profiler

    work = workloads.WORKLOADS[wname]
    profiler = None
    if mode != "bare":
        profiler = Profiler(load_config({"call_budget": 0, "max_bytes": 0}), db_path=db_path)
        profiler.spool = mode == "spool"
        profiler.start()
    started = time.perf_counter()
    for _ in range(reps):
        work()
    recorded = time.perf_counter()
    peak_before_save = _peak()
    size = 0
    if profiler is not None:
        from sarv import _requests

        size = _requests.buffered_size(profiler.rust_profiler)
        profiler.stop()
    saved = time.perf_counter()
    print(peak_before_save, _peak(), size, recorded - started, saved - recorded)


def _peak() -> int:
    # The process's peak resident memory so far (VmHWM), in bytes.
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def memory(megabytes: int, workload_names, modes) -> None:
    """Peak resident memory of a bare run and of the same run recorded, whose records come to
    about `megabytes`, with and without the spool; and the time of the save at its end."""
    print(f"peak resident memory, runs making about {megabytes:,} MB of records (call_budget 0, max_bytes 0)")
    print(
        f"{'workload':30} {'mode':6} {'records MB':>10} {'peak MB':>8} {'over bare':>9} "
        f"{'peak+save':>9} {'over bare':>9} {'record s':>8} {'save s':>7}"
    )
    for wname in workload_names:
        # Bytes of records a repetition makes, from a short recorded run.
        _, _, size, _, _ = _memory_run("off", wname, 20)
        reps = max(1, int(megabytes * (1 << 20) * 20 / size))
        bare, bare_saved, _, bare_time, _ = _memory_run("bare", wname, reps)
        print(f"{wname:30} {'bare':6} {0:>10} {bare >> 20:>8} {'':>9} {bare_saved >> 20:>9} {'':>9} {bare_time:>8.1f}")
        for mode in modes:
            peak, peak_saved, size, recording, saving = _memory_run(mode, wname, reps)
            print(
                f"{'':30} {mode:6} {size >> 20:>10,} {peak >> 20:>8} {(peak - bare) >> 20:>9} "
                f"{peak_saved >> 20:>9} {(peak_saved - bare_saved) >> 20:>9} {recording:>8.1f} {saving:>7.1f}"
            )


def _memory_run(mode: str, wname: str, reps: int):
    folder = tempfile.mkdtemp()
    try:
        db_path = os.path.join(folder, "t.db")
        command = [sys.executable, __file__, "--child-memory", mode, wname, str(reps), db_path]
        out = subprocess.run(command, check=True, capture_output=True, text=True).stdout.split()
        return int(out[0]), int(out[1]), int(out[2]), float(out[3]), float(out[4])
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


def instructions(names, reps: int, core_before: str | None, core_after: str | None = None) -> None:
    print(f"instructions of a whole run ({reps} repetitions, recorded and saved), all threads")
    if core_before:
        print(f"before: the core of {core_before}; after: {core_after or 'the installed one'}")
        print(
            f"{'workload':32} {'mode':6} {'records':>9} {'before':>14} {'after':>14} {'ratio':>7} "
            f"{'per record, before':>19} {'after':>9}"
        )
        for wname in names:
            for mode in ("off", "spool"):
                n, before = run(mode, wname, reps, True, core_before)
                n_after, after = run(mode, wname, reps, True, core_after)
                print(
                    f"{wname:32} {mode:6} {n:>9,} {before:>14,} {after:>14,} {after / before:>7.3f} "
                    f"{before / n:>19,.0f} {after / n_after:>9,.0f}"
                )
        return
    print(f"{'workload':32} {'records':>9} {'no spool':>14} {'spool':>14} {'ratio':>7} {'extra/record':>13}")
    for wname in names:
        n, off = run("off", wname, reps, True)
        _, on = run("spool", wname, reps, True)
        print(f"{wname:32} {n:>9,} {off:>14,} {on:>14,} {on / off:>7.3f} {(on - off) / n:>13.1f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--callgrind", action="store_true", help="count instructions instead of timing")
    parser.add_argument("--reps", type=int, default=None, help="repetitions of each workload in a run")
    parser.add_argument("--kills", type=int, default=0, help="SIGKILL a recorded run this many times")
    parser.add_argument("--memory", type=int, default=0, help="peak memory of runs of about this many MB of records")
    parser.add_argument("--modes", default="spool,off", help="with --memory: the recorded runs (spool, off)")
    parser.add_argument("--workloads", default=None, help="comma-separated workloads (default: all)")
    parser.add_argument("--before", default=None, help="with --callgrind: a build folder of an earlier core")
    parser.add_argument("--after", default=None, help="with --before: the build folder of the later core")
    parser.add_argument("--child", nargs=4, help=argparse.SUPPRESS)
    parser.add_argument("--child-memory", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    names = args.workloads.split(",") if args.workloads else WORKLOADS
    if args.kills:
        kills(args.kills)
        return
    if args.child:
        mode, wname, reps, db_path = args.child
        child(mode, wname, int(reps), db_path)
        return
    if args.child_memory:
        mode, wname, reps, db_path = args.child_memory
        child_memory(mode, wname, int(reps), db_path)
        return
    if args.memory:
        memory(args.memory, names, args.modes.split(","))
        return
    reps = args.reps or (20 if args.callgrind else 200)
    if args.callgrind:
        instructions(names, reps, args.before, args.after)
        return
    print(f"seconds recording ({reps} repetitions), median of 5 runs alternating")
    print(f"{'workload':32} {'records':>9} {'no spool':>10} {'spool':>10} {'ratio':>7}")
    for wname in names:
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
