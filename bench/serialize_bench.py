"""Cost of sarv's serialiser per call, for the values a profiled program typically has.

    python bench/serialize_bench.py                       # sarv.serialize as installed
    python bench/serialize_bench.py --baseline OLD.py     # and another serialize.py beside it
    python bench/serialize_bench.py --calls 100000 --repeats 7

The profiler calls dump_msgpack twice per recorded event: once for the return value
(None on calls) and once for the frame's locals dict; method locals hold `self`.

Each figure is the minimum over the repeats of (time of N calls) / N - (the same for an
empty function), in ns per call. Time is the thread's CPU time, so that other processes of
a busy machine disturb the figures less; the two serialisers are measured in alternation.
Every case is checked to give the same bytes with both before it is timed.
"""

from __future__ import annotations

import argparse
import importlib.util
import sys
import time


class Point:
    def __init__(self):
        self.x = 1
        self.y = 2
        self.z = 3

    def method(self, k):
        return locals()


class Leaf:
    def __init__(self):
        self.name = "leaf"
        self.size = 3


class Holder:
    def __init__(self):
        self.leaf = Leaf()
        self.count = 7

    def method(self):
        return locals()


def cases():
    point_locals = Point().method(2)  # {"self": Point, "k": 2}
    holder_locals = Holder().method()  # {"self": Holder}
    return [
        ("dump_msgpack", '{"n": 3}', {"n": 3}),
        ("dump_msgpack", '{"a","b","s","l"}', {"a": 1, "b": 2.5, "s": "hello", "l": [1, 2, 3]}),
        ("dump_msgpack", '{"self": 3 ints, "k": 2}', point_locals),
        ("dump_msgpack", '{"self": (obj, int)}', holder_locals),
        ("dump_msgpack", "None", None),
        ("dump_msgpack", "42", 42),
        ("dump_msgpack_lightweight_repr", '{"self": 3 ints, "k": 2}', point_locals),
        ("dump_msgpack_lightweight_repr", '{"self": (obj, int)}', holder_locals),
    ]


def load(path, name):
    if path is None:
        from sarv import serialize

        return serialize
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


def run_ns(fn, value, calls: int) -> float:
    loops = range(calls)
    clock = time.thread_time_ns
    start = clock()
    for _ in loops:
        fn(value)
    return (clock() - start) / calls


def empty(value):
    return None


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", help="path of another serialize.py to measure beside sarv's")
    parser.add_argument("--calls", type=int, default=100_000, help="calls per repeat")
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args(argv)

    modules = [("current", load(None, None))]
    if args.baseline:
        modules.insert(0, ("baseline", load(args.baseline, "serialize_baseline")))
    for label, module in modules:
        print("%-8s %s" % (label, module.__file__))

    # Warm up: caches, the interpreter's specialisations, the CPU's clock.
    for fname, _, value in cases():
        for _, module in modules:
            run_ns(getattr(module, fname), value, max(args.calls // 5, 1))

    table = []
    for fname, label, value in cases():
        fns = [getattr(module, fname) for _, module in modules]
        outputs = {fn(value) for fn in fns}
        if len(outputs) != 1:
            raise SystemExit("%s(%s): the serialisers disagree: %r" % (fname, label, outputs))
        best = [float("inf")] * len(fns)
        best_empty = float("inf")
        for _ in range(args.repeats):
            best_empty = min(best_empty, run_ns(empty, value, args.calls))
            for i, fn in enumerate(fns):
                best[i] = min(best[i], run_ns(fn, value, args.calls))
        table.append((fname, label, [b - best_empty for b in best]))

    heads = [label for label, _ in modules]
    print()
    print("%-30s %-26s" % ("function", "value") + "".join("%12s" % h for h in heads)
          + ("%10s" % "speedup" if len(heads) == 2 else ""))
    for fname, label, figures in table:
        line = "%-30s %-26s" % (fname, label) + "".join("%9.0f ns" % f for f in figures)
        if len(figures) == 2:
            line += "%9.1fx" % (figures[0] / figures[1]) if figures[1] > 0 else ""
        print(line)
    print("(ns per call: min over %d repeats of %d calls, thread CPU time, empty call subtracted)"
          % (args.repeats, args.calls))


if __name__ == "__main__":
    main()
