"""sarv's benchmark: its cost next to a do-nothing hook, cProfile, VizTracer and yappi.

    pip install ".[bench]"        # VizTracer and yappi, the comparators
    python bench/bench.py         # --rounds N, --quick
    python bench/bench.py --python /path/to/venv/bin/python --root .ci-forky --quick
    python bench/bench.py --callgrind --root .ci-forky   # instructions per event, by callgrind

With --python or --root the same benchmark runs under each interpreter found (this one
first; in a debootstrap root such as .ci/new_pythons.sh makes, every /opt/sarv-venv-*
through chroot), and a summary table per version closes the output.

Every configuration runs every workload in alternation, round after round, in one process;
each figure is the median over the rounds. The machine's load moves absolute times around;
the ratios of one run are what to compare. Sections:

1. per-event overhead: (time under the profiler - bare time) / Python call+return events,
   in ns and as ratios to the no-op hook, to cProfile and to VizTracer with arguments;
2. memory: resident bytes a buffered record costs against its encoded size (in a fresh process);
3. build_trace on one million records against b"".join of the same records in Python;
4. peak memory (VmHWM) of one run of a workload per configuration, each in a fresh process.
"""

from __future__ import annotations

import argparse
import ctypes
import glob
import json
import os
import shutil
import statistics
import subprocess
import sys
import threading
import time

import msgpack

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import workloads  # noqa: E402
from callgrind_count import total_instructions  # noqa: E402

import sarv.serialize  # noqa: E402
from sarv import _sarv  # noqa: E402

try:
    import cProfile
except ImportError:  # pragma: no cover
    cProfile = None
try:
    from viztracer import VizTracer
except ImportError:
    VizTracer = None
try:
    import yappi
except ImportError:
    yappi = None


class BenchProfiler:
    """The object sarv's core registers; traces are built and dropped, never saved."""

    def __init__(self, config):
        self.config = config
        self.db_path = "/tmp/sarv-bench.sqlite3"
        self.one_trace_per_test = False
        self.trace_id = "trc_01ARZ3NDEKTSV4RRFFQ69G5FAV"
        self.source = "bench"
        self.rust_profiler = None

    def __call__(self, frame, event, arg):
        return None


CONSTANT = msgpack.packb(None)
# Off in callgrind's children: their counts are the hook's, not the trace document's.
BUILD_TRACES = True


def clear_hooks():
    sys.setprofile(None)
    threading.setprofile(None)


def timed(fn):
    start = time.perf_counter_ns()
    fn()
    return time.perf_counter_ns() - start


# ----------------------------------------------------------------- configurations
def bare(fn):
    return timed(fn)


def noop_hook(fn):
    _sarv.register_noop_profiler()
    threading.setprofile(lambda *a: _sarv.register_noop_profiler())
    try:
        return timed(fn)
    finally:
        clear_hooks()


def sarv_config(config, constant=False, redact=None):
    """`redact`: the redaction entries while it records (default: the serialisers' own,
    DEFAULT_REDACT)."""
    config = dict(config, threading=True)

    def run(fn):
        saved = sarv.serialize.dump_msgpack
        if constant:
            sarv.serialize.dump_msgpack = lambda obj: CONSTANT
        outer = sarv.serialize.set_redaction(redact) if redact is not None else None
        profiler = BenchProfiler(config)
        try:
            _sarv.register_profiler(profiler)
            elapsed = timed(fn)
            _sarv.register_noop_profiler()
        finally:
            clear_hooks()
            sarv.serialize.dump_msgpack = saved
            if outer is not None:
                sarv.serialize.set_redaction(outer)
        if BUILD_TRACES:
            profiler.rust_profiler.build_trace()
        return elapsed

    return run


def cprofile(fn):
    profiler = cProfile.Profile()
    profiler.enable()
    try:
        return timed(fn)
    finally:
        profiler.disable()


_tracers = {}


def viztracer(**options):
    def run(fn):
        key = tuple(sorted(options.items()))
        tracer = _tracers.get(key)
        if tracer is None:
            tracer = _tracers[key] = VizTracer(verbose=0, tracer_entries=2_000_000, **options)
        tracer.start()
        try:
            return timed(fn)
        finally:
            tracer.stop()
            tracer.clear()

    return run


def yappi_run(fn):
    yappi.start(builtins=False)
    try:
        return timed(fn)
    finally:
        yappi.stop()
        yappi.clear_stats()


def configurations():
    configs = {
        "bare": bare,
        "no-op hook": noop_hook,
        "sarv, every frame excluded": sarv_config({"filters": {"ignore_frames": [""]}}),
        "sarv, recording": sarv_config({}),
        "sarv, recording, redaction off": sarv_config({}, redact=()),
        "sarv, recording, constant serialiser": sarv_config({}, constant=True),
        "sarv, lightweight": sarv_config({"lightweight_repr": True}),
        "sarv, lightweight, redaction off": sarv_config({"lightweight_repr": True}, redact=()),
        "cProfile": cprofile,
    }
    if VizTracer is not None:
        configs["VizTracer"] = viztracer()
        configs["VizTracer, args + retval"] = viztracer(log_func_args=True, log_func_retval=True)
    if yappi is not None:
        configs["yappi"] = yappi_run
    return configs


def count_events(fn):
    """Python-level call and return events of one run, in every thread."""
    count = 0
    lock = threading.Lock()

    def counter(frame, event, arg):
        nonlocal count
        if event in ("call", "return"):
            with lock:
                count += 1

    sys.setprofile(counter)
    threading.setprofile(counter)
    try:
        fn()
    finally:
        clear_hooks()
    return count


# ----------------------------------------------------------------- 1. overhead
def overhead(rounds, names):
    configs = configurations()
    per_event = {}
    events = {wname: count_events(workloads.WORKLOADS[wname]) for wname in names}
    # Every round runs every workload under every configuration, so that figures compared
    # across workloads (4 threads against 1 thread) are taken side by side too.
    samples = {wname: {name: [] for name in configs} for wname in names}
    for _ in range(rounds):
        for wname in names:
            for name, runner in configs.items():
                samples[wname][name].append(runner(workloads.WORKLOADS[wname]))
    for wname in names:
        med = {name: statistics.median(v) for name, v in samples[wname].items()}
        cost = {name: (med[name] - med["bare"]) / events[wname] for name in configs}
        per_event[wname] = dict(cost, events=events[wname], bare_ms=med["bare"] / 1e6)
        ref = {
            "no-op": cost["no-op hook"],
            "cProfile": cost["cProfile"],
            "VizTracer+args": cost.get("VizTracer, args + retval"),
        }
        print(f"\n{wname}: {events[wname]} call/return events per run, bare {med['bare'] / 1e6:.2f} ms")
        print(
            f"  {'configuration':38s} {'ms/run':>8s} {'ns/event':>9s} {'x no-op':>8s} {'x cProf':>8s} {'x VizT+a':>8s}"
        )
        for name in configs:
            if name == "bare":
                continue
            cells = []
            for r in ref.values():
                cells.append(f"{cost[name] / r:8.2f}" if r and r > 0 else f"{'-':>8s}")
            print(f"  {name:38s} {med[name] / 1e6:8.2f} {cost[name]:9.0f} " + " ".join(cells))
    return per_event


# ----------------------------------------------------------------- 2. memory per record
class MallInfo2(ctypes.Structure):
    _fields_ = [
        (n, ctypes.c_size_t)
        for n in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def malloc_in_use():
    try:
        libc = ctypes.CDLL("libc.so.6")
        libc.mallinfo2.restype = MallInfo2
    except (OSError, AttributeError):
        return None
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def record_offsets(document):
    """Byte ranges of every record in frames_of_interest, found with the msgpack reader."""
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, max_buffer_size=len(document) + 1)
    unpacker.feed(document)
    ranges = []
    for _ in range(unpacker.read_map_header()):
        key = unpacker.unpack()
        if key != "frames_of_interest":
            unpacker.skip()
            continue
        for _ in range(unpacker.read_array_header()):
            start = unpacker.tell()
            unpacker.skip()
            ranges.append((start, unpacker.tell()))
    return ranges


def record_many(calls, constant):
    saved = sarv.serialize.dump_msgpack
    if constant:
        sarv.serialize.dump_msgpack = lambda obj: CONSTANT
    profiler = BenchProfiler({})
    try:
        _sarv.register_profiler(profiler)
        for i in range(calls):
            workloads.Vector(i, 2.5).norm2()
        _sarv.register_noop_profiler()
    finally:
        clear_hooks()
        sarv.serialize.dump_msgpack = saved
    return profiler


def resident_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return None


def memory_per_record():
    # In a fresh process: memory an earlier section freed but kept would hide the growth.
    out = subprocess.run([sys.executable, __file__, "--child-memory"], capture_output=True, text=True, timeout=600)
    if out.returncode != 0 or not out.stdout.strip():
        print("\nmemory: the measuring process failed:", out.stderr.strip().splitlines()[-1:] or "")
        return None
    records, encoded, resident, heap = (float(x) for x in out.stdout.split())
    print(f"\nmemory: {records:.0f} buffered records (real serialiser), {encoded / records:.0f} encoded bytes each")
    print(
        f"  resident memory held while buffered: {resident / records:.0f} bytes per record = "
        f"{resident / encoded:.3f} x the encoded bytes (of which malloc's heap: {heap / encoded:.3f} x)"
    )
    return resident / encoded


def child_memory():
    """Buffers records, then prints: records, encoded bytes, resident growth, heap growth.
    Large record chunks are mapped outside malloc's heap, so the resident growth is the
    figure that counts all of it."""
    resident_before, heap_before = resident_bytes(), malloc_in_use() or 0
    profiler = record_many(100_000, constant=False)
    resident_after, heap_after = resident_bytes(), malloc_in_use() or 0
    document = profiler.rust_profiler.build_trace()
    ranges = record_offsets(document)
    encoded = sum(end - start for start, end in ranges)
    print(len(ranges), encoded, resident_after - resident_before, heap_after - heap_before)


# ----------------------------------------------------------------- 3. build_trace
def build_vs_join(rounds=3, records=1_000_000):
    builds, joins = [], []
    for _ in range(rounds):
        profiler = record_many(records // 4, constant=True)  # __init__ + norm2: 4 events each
        start = time.perf_counter_ns()
        document = profiler.rust_profiler.build_trace()
        builds.append(time.perf_counter_ns() - start)
        pieces = [document[a:b] for a, b in record_offsets(document)]
        start = time.perf_counter_ns()
        b"".join(pieces)
        joins.append(time.perf_counter_ns() - start)
    b, j = statistics.median(builds), statistics.median(joins)
    print(
        f"\nbuild_trace of {len(pieces)} records ({len(document) / 1e6:.0f} MB): {b / 1e6:.1f} ms; "
        f"b''.join of the same records: {j / 1e6:.1f} ms; ratio {b / j:.2f}"
    )
    return b / j


# ----------------------------------------------------------------- 4. peak memory
def peak_memory(wname):
    print(f"\npeak memory (VmHWM of a fresh process running '{wname}' once under each configuration):")
    for name in configurations():
        out = subprocess.run(
            [sys.executable, __file__, "--child-peak", name, wname],
            capture_output=True,
            text=True,
            timeout=600,
        )
        value = out.stdout.strip().splitlines()[-1] if out.returncode == 0 and out.stdout.strip() else "failed"
        print(f"  {name:38s} {value:>10s} MB")


def child_peak(name, wname):
    # VmHWM, not ru_maxrss: Linux carries ru_maxrss across exec, so a child started by a
    # process that once held a lot would report the parent's peak.
    configurations()[name](workloads.WORKLOADS[wname])
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                print(f"{int(line.split()[1]) / 1024:.1f}")
                return
    print("unknown")


# ----------------------------------------------------------------- callgrind
CALLGRIND_CONFIGS = [
    "bare",
    "no-op hook",
    "sarv, every frame excluded",
    "sarv, recording",
    "sarv, recording, redaction off",
    "sarv, lightweight",
    "cProfile",
]
# The comparators the targets name, when installed.
if VizTracer is not None:
    CALLGRIND_CONFIGS += ["VizTracer", "VizTracer, args + retval"]


def child_callgrind(name, wname, reps):
    global BUILD_TRACES
    BUILD_TRACES = False
    runner, fn = configurations()[name], workloads.WORKLOADS[wname]
    for _ in range(reps):
        runner(fn)


def instructions(name, wname, reps):
    """Instructions of a fresh process that runs the workload `reps` times under `name`."""
    return total_instructions([sys.executable, __file__, "--child-callgrind", name, wname, str(reps)], timeout=1800)


def callgrind(wnames, configs=None):
    """Instructions per call/return event: runs of 3 and of 1 repetition, subtracted, so
    that start-up, imports and the first (warming) run drop out. `configs`: these of
    CALLGRIND_CONFIGS only (the bare run always)."""
    if shutil.which("valgrind") is None:
        print("\ncallgrind: valgrind not found")
        return {}
    results = {}
    for wname in wnames:
        events = count_events(workloads.WORKLOADS[wname])
        per = {}
        for name in CALLGRIND_CONFIGS:
            if configs and name != "bare" and name not in configs:
                continue
            per[name] = (instructions(name, wname, 3) - instructions(name, wname, 1)) / (2 * events)
        bare = per["bare"]
        print(f"\ncallgrind, {wname}: {events} call/return events per run; instructions per event")
        print(
            f"  {'configuration':38s} {'instr':>8s} {'- bare':>8s} {'x bare':>8s} {'x no-op':>8s} {'x cProf':>8s}"
            f" {'x VizT':>8s} {'x VizT+a':>8s}"
        )
        refs = [per[name] - bare if name in per else None for name in ("no-op hook", "cProfile")]
        refs += [per[name] - bare if name in per else None for name in ("VizTracer", "VizTracer, args + retval")]
        for name, value in per.items():
            over = value - bare
            cells = " ".join(f"{over / r:8.2f}" if r and r > 0 else f"{'-':>8s}" for r in refs)
            print(f"  {name:38s} {value:8.0f} {over:8.0f} {value / bare:8.2f} {cells}")
        if "sarv, recording" in per and "sarv, recording, redaction off" in per:
            on, off = per["sarv, recording"] - bare, per["sarv, recording, redaction off"] - bare
            print(
                f"  redaction (the default) costs {100 * (on - off) / off:+.1f}% of recording's instructions per event"
            )
        results[wname] = dict({k: v - bare for k, v in per.items()}, events=events, bare_instr=bare)
    return results


# ----------------------------------------------------------------- several interpreters
ROOT_VENVS = "opt/sarv-venv-*/bin/python"


def interpreters(pythons, roots):
    """(label, command prefix, bench.py path, folder for files seen by the child): this
    interpreter, then each --python, then every venv with sarv in each root."""
    here = os.path.dirname(os.path.abspath(__file__))
    found = [(sys.executable, [sys.executable], __file__, None)]
    found += [(exe, [exe], __file__, None) for exe in pythons]
    for root in roots:
        root = os.path.abspath(root)
        inside = "/tmp/sarv-bench"  # the benchmark's files, copied into the root
        shutil.rmtree(root + inside, ignore_errors=True)
        shutil.copytree(here, root + inside, ignore=shutil.ignore_patterns("__pycache__"))
        for exe in sorted(glob.glob(os.path.join(root, ROOT_VENVS))):
            exe_inside = "/" + os.path.relpath(exe, root)
            found.append((f"{exe_inside} in {root}", ["chroot", root, exe_inside], inside + "/bench.py", root))
    return found


def forwarded_args(argv):
    """The arguments for each child run: all but --python and --root."""
    out, skip = [], False
    for arg in argv:
        if skip:
            skip = False
        elif arg in ("--python", "--root"):
            skip = True
        elif not arg.startswith(("--python=", "--root=")):
            out.append(arg)
    return out


def run_everywhere(args, argv):
    summaries = []
    for number, (label, prefix, script, root) in enumerate(interpreters(args.python, args.root)):
        summary = f"/tmp/sarv-bench-summary-{os.getpid()}-{number}.json"
        print(f"\n######## {label}", flush=True)
        done = subprocess.run(prefix + [script, *forwarded_args(argv), "--summary", summary])
        seen = (root or "") + summary
        if done.returncode != 0 or not os.path.exists(seen):
            print(f"######## {label}: failed (exit {done.returncode})")
            continue
        with open(seen) as f:
            summaries.append(json.load(f))
        os.remove(seen)
    print_summaries(summaries)


def print_summaries(summaries):
    """One table per interpreter version: cost per event over the bare run, by workload."""
    for summary in summaries:
        unit = "instructions" if summary["kind"] == "callgrind" else "ns"
        print(
            f"\n== Python {summary['version']} ({summary['executable']}): {unit} per call/return event over "
            f"the bare run; in brackets, the run's total against the bare run"
        )
        rows = summary["results"]
        if not rows:
            continue
        names = [n for n in next(iter(rows.values())) if n not in ("bare", "events", "bare_ms", "bare_instr")]
        print(f"  {'workload':22s} " + " ".join(f"{n[:26]:>26s}" for n in names))
        for wname, cost in rows.items():
            bare = cost.get("bare_instr") or cost["bare_ms"] * 1e6 / cost["events"]
            cells = [f"{cost[n]:10.0f} ({(bare + cost[n]) / bare:5.2f} x)" for n in names]
            print(f"  {wname:22s} " + " ".join(f"{c:>26s}" for c in cells))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--quick", action="store_true", help="fewer rounds, no peak memory section")
    parser.add_argument(
        "--only",
        nargs="+",
        metavar="WORKLOAD",
        choices=list(workloads.WORKLOADS),
        help="per-event overhead of these workloads only, and nothing else",
    )
    parser.add_argument(
        "--python",
        action="append",
        default=[],
        metavar="EXE",
        help="also run under this interpreter (with sarv installed); repeatable",
    )
    parser.add_argument(
        "--root",
        action="append",
        default=[],
        metavar="DIR",
        help="also run under every /opt/sarv-venv-* of this debootstrap root, through chroot",
    )
    parser.add_argument(
        "--callgrind",
        nargs="*",
        metavar="WORKLOAD",
        choices=list(workloads.WORKLOADS),
        help="instead of timing: instructions per event counted by callgrind "
        "(default workloads: method calls, stdlib-heavy)",
    )
    parser.add_argument(
        "--configs",
        nargs="+",
        metavar="CONFIG",
        choices=CALLGRIND_CONFIGS,
        help="with --callgrind: count these configurations only (and the bare run)",
    )
    parser.add_argument("--summary", help=argparse.SUPPRESS)
    parser.add_argument("--child-peak", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("--child-memory", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--child-callgrind", nargs=3, help=argparse.SUPPRESS)
    argv = sys.argv[1:] if argv is None else argv
    args = parser.parse_args(argv)
    if args.python or args.root:
        run_everywhere(args, argv)
        return
    if args.child_callgrind:
        name, wname, reps = args.child_callgrind
        child_callgrind(name, wname, int(reps))
        return
    if args.child_peak:
        child_peak(*args.child_peak)
        return
    if args.child_memory:
        child_memory()
        return
    rounds = 3 if args.quick else args.rounds
    print(
        f"Python {sys.version.split()[0]} on {os.uname().machine}, {os.cpu_count()} CPUs; "
        f"{rounds} rounds, medians; comparators: "
        f"VizTracer {'yes' if VizTracer else 'missing'}, yappi {'yes' if yappi else 'missing'}"
    )

    def summarise(kind, results):
        if args.summary:
            with open(args.summary, "w") as f:
                json.dump(
                    {"version": sys.version.split()[0], "executable": sys.executable, "kind": kind, "results": results},
                    f,
                )

    if args.callgrind is not None:
        summarise("callgrind", callgrind(args.callgrind or ["method calls", "stdlib-heavy"], args.configs))
        return
    if args.only:
        summarise("time", overhead(rounds, args.only))
        return
    per_event = overhead(rounds, list(workloads.WORKLOADS))
    summarise("time", per_event)
    threaded = per_event["4 threads"]["sarv, recording"]
    single = per_event["same work, 1 thread"]["sarv, recording"]
    print(
        f"\n4 threads recording: {threaded:.0f} ns/event against {single:.0f} single-threaded "
        f"({threaded / single:.2f} x)"
    )
    memory_per_record()
    build_vs_join(rounds=2 if args.quick else 3)
    if not args.quick:
        peak_memory("method calls")


if __name__ == "__main__":
    main()
