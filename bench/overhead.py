"""Side-by-side overhead of sarv's hook on two workloads.

Runs every configuration in alternation for several rounds in one process and prints the
median time per workload run, the overhead per profile event in nanoseconds, and ratios
against the interpreter's own cost of a profile hook that does nothing.

    python bench/overhead.py [--rounds N]

Timings move with the machine's load; only the ratios of one run mean anything.
"""

from __future__ import annotations

import argparse
import difflib
import fractions
import json
import statistics
import sys
import textwrap
import time

import msgpack

from sarv import _sarv
import sarv.serialize


# ---------------------------------------------------------------- workloads
class Point:
    def __init__(self, x, y):
        self.x = x
        self.y = y

    def norm2(self):
        return self.x * self.x + self.y * self.y


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def user_code():
    total = fib(17)
    for i in range(300):
        total += Point(i, i + 1).norm2()
    return total


TEXT = "sarv records the calls of your own code and leaves the libraries out. " * 20


def library_heavy():
    out = []
    for i in range(12):
        doc = {"id": i, "tags": ["a", "b", str(i)], "ratio": i / 7}
        out.append(json.loads(json.dumps(doc)))
        out.append(textwrap.fill(TEXT, width=60 + i))
        out.append(sum(fractions.Fraction(k, i + 1) for k in range(10)))
    out.append(difflib.SequenceMatcher(None, TEXT[:400], TEXT[5:405]).ratio())
    return out


WORKLOADS = {"user code": user_code, "library-heavy": library_heavy}


# ---------------------------------------------------------------- configurations
class BenchProfiler:
    def __init__(self, config):
        self.config = config
        self.db_path = "/tmp/sarv-bench.sqlite3"
        self.one_trace_per_test = False
        self.trace_id = "trc_01ARZ3NDEKTSV4RRFFQ69G5FAV"
        self.source = "bench"
        self.rust_profiler = None

    def __call__(self, frame, event, arg):
        pass


CONSTANT = msgpack.packb(None)


def run_bare(fn):
    start = time.perf_counter_ns()
    fn()
    return time.perf_counter_ns() - start


def run_noop(fn):
    _sarv.register_noop_profiler()
    start = time.perf_counter_ns()
    fn()
    elapsed = time.perf_counter_ns() - start
    sys.setprofile(None)
    return elapsed


def sarv_runner(config, constant_serialiser=False):
    def run(fn):
        saved = sarv.serialize.dump_msgpack
        if constant_serialiser:
            sarv.serialize.dump_msgpack = lambda obj: CONSTANT
        profiler = BenchProfiler(config)
        try:
            _sarv.register_profiler(profiler)
            start = time.perf_counter_ns()
            fn()
            elapsed = time.perf_counter_ns() - start
            _sarv.register_noop_profiler()
            sys.setprofile(None)
        finally:
            sarv.serialize.dump_msgpack = saved
        profiler.rust_profiler.build_trace()  # drop what was recorded
        return elapsed

    return run


CONFIGS = {
    "bare": run_bare,
    "no-op hook": run_noop,
    "sarv, all excluded": sarv_runner({"filters": {"ignore_frames": [""]}}),
    "sarv, recording": sarv_runner({}),
    "sarv, recording, constant serialiser": sarv_runner({}, constant_serialiser=True),
}


def count_events(fn):
    """Python-level call and return events of one run of fn."""
    count = 0

    def counter(frame, event, arg):
        nonlocal count
        if event in ("call", "return"):
            count += 1

    sys.setprofile(counter)
    fn()
    sys.setprofile(None)
    return count


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--repeat", type=int, default=3, help="workload runs per measurement")
    args = parser.parse_args(argv)

    print(f"Python {sys.version.split()[0]}, {args.rounds} rounds, median per run")
    for wname, fn in WORKLOADS.items():
        events = count_events(fn)
        samples = {name: [] for name in CONFIGS}
        for _ in range(args.rounds):
            for name, runner in CONFIGS.items():
                samples[name].append(min(runner(fn) for _ in range(args.repeat)))
        med = {name: statistics.median(v) for name, v in samples.items()}
        bare = med["bare"]
        noop_cost = (med["no-op hook"] - bare) / events
        print(f"\n{wname}: {events} call/return events per run")
        print(f"  {'configuration':40s} {'ms/run':>9s} {'ns/event':>9s} {'vs no-op':>9s}")
        for name, value in med.items():
            per_event = (value - bare) / events
            ratio = f"{per_event / noop_cost:9.2f}" if name != "bare" and noop_cost > 0 else f"{'':9s}"
            print(f"  {name:40s} {value / 1e6:9.2f} {per_event:9.1f} {ratio}")


if __name__ == "__main__":
    main()
