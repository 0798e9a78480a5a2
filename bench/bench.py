"""sarv's benchmark: its cost next to a do-nothing hook, cProfile, VizTracer and yappi.

    pip install ".[bench]"        # VizTracer and yappi, the comparators
    python bench/bench.py         # --rounds N, --quick

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
import os
import statistics
import subprocess
import sys
import threading
import time

import msgpack

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import workloads  # noqa: E402

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


def sarv_config(config, constant=False):
    config = dict(config, threading=True)

    def run(fn):
        saved = sarv.serialize.dump_msgpack
        if constant:
            sarv.serialize.dump_msgpack = lambda obj: CONSTANT
        profiler = BenchProfiler(config)
        try:
            _sarv.register_profiler(profiler)
            elapsed = timed(fn)
            _sarv.register_noop_profiler()
        finally:
            clear_hooks()
            sarv.serialize.dump_msgpack = saved
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
        "sarv, recording, constant serialiser": sarv_config({}, constant=True),
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
        per_event[wname] = cost
        ref = {
            "no-op": cost["no-op hook"],
            "cProfile": cost["cProfile"],
            "VizTracer+args": cost.get("VizTracer, args + retval"),
        }
        print(f"\n{wname}: {events[wname]} call/return events per run, bare {med['bare'] / 1e6:.2f} ms")
        print(f"  {'configuration':38s} {'ms/run':>8s} {'ns/event':>9s} {'x no-op':>8s} {'x cProf':>8s} {'x VizT+a':>8s}")
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
    _fields_ = [(n, ctypes.c_size_t) for n in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                 "fordblks", "keepcost")]


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
    print(f"  resident memory held while buffered: {resident / records:.0f} bytes per record = "
          f"{resident / encoded:.3f} x the encoded bytes (of which malloc's heap: {heap / encoded:.3f} x)")
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
    print(f"\nbuild_trace of {len(pieces)} records ({len(document) / 1e6:.0f} MB): {b / 1e6:.1f} ms; "
          f"b''.join of the same records: {j / 1e6:.1f} ms; ratio {b / j:.2f}")
    return b / j


# ----------------------------------------------------------------- 4. peak memory
def peak_memory(wname):
    print(f"\npeak memory (VmHWM of a fresh process running '{wname}' once under each configuration):")
    for name in configurations():
        out = subprocess.run(
            [sys.executable, __file__, "--child-peak", name, wname],
            capture_output=True, text=True, timeout=600,
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


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--quick", action="store_true", help="fewer rounds, no peak memory section")
    parser.add_argument("--only", nargs="+", metavar="WORKLOAD", choices=list(workloads.WORKLOADS),
                        help="per-event overhead of these workloads only, and nothing else")
    parser.add_argument("--child-peak", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("--child-memory", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child_peak:
        child_peak(*args.child_peak)
        return
    if args.child_memory:
        child_memory()
        return
    rounds = 3 if args.quick else args.rounds
    print(f"Python {sys.version.split()[0]} on {os.uname().machine}, {os.cpu_count()} CPUs; "
          f"{rounds} rounds, medians; comparators: "
          f"VizTracer {'yes' if VizTracer else 'missing'}, yappi {'yes' if yappi else 'missing'}")
    if args.only:
        overhead(rounds, args.only)
        return
    per_event = overhead(rounds, list(workloads.WORKLOADS))
    threaded = per_event["4 threads"]["sarv, recording"]
    single = per_event["same work, 1 thread"]["sarv, recording"]
    print(f"\n4 threads recording: {threaded:.0f} ns/event against {single:.0f} single-threaded "
          f"({threaded / single:.2f} x)")
    memory_per_record()
    build_vs_join(rounds=2 if args.quick else 3)
    if not args.quick:
        peak_memory("method calls")


if __name__ == "__main__":
    main()
