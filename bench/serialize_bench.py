"""Cost of sarv's serialiser per call, for the values a profiled program typically has.

    python bench/serialize_bench.py                  # sarv.serialize as installed
    python bench/serialize_bench.py --module FILE    # another copy of serialize.py, to compare
    python bench/serialize_bench.py --calls 100000 --repeats 7

Each figure is the minimum over the repeats of (time of N calls) / N, in ns per call.
The profiler calls dump_msgpack twice per recorded event: once for the return value
(None on calls) and once for the frame's locals dict.
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


def cases():
    point_locals = Point().method(2)  # {"self": Point, "k": 2}
    holder_locals = {"self": Holder()}
    return [
        ("dump_msgpack", '{"n": 3}', {"n": 3}),
        ("dump_msgpack", '{"a","b","s","l"}', {"a": 1, "b": 2.5, "s": "hello", "l": [1, 2, 3]}),
        ("dump_msgpack", '{"self": 3 ints, "k": 2}', point_locals),
        ("dump_msgpack", '{"self": obj(obj, int)}', holder_locals),
        ("dump_msgpack", "None", None),
        ("dump_msgpack", "42", 42),
        ("dump_msgpack_lightweight_repr", '{"self": 3 ints, "k": 2}', point_locals),
        ("dump_msgpack_lightweight_repr", '{"self": obj(obj, int)}', holder_locals),
    ]


def load(path):
    if path is None:
        from sarv import serialize

        return serialize
    spec = importlib.util.spec_from_file_location("serialize_under_test", path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


def per_call_ns(fn, value, calls: int, repeats: int) -> float:
    loops = range(calls)
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in loops:
            fn(value)
        best = min(best, time.perf_counter() - start)
    return best / calls * 1e9


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--module", help="path of a serialize.py to measure instead of sarv's")
    parser.add_argument("--calls", type=int, default=100_000)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args(argv)

    module = load(args.module)
    # The empty loop, so that the figures are the functions' own cost.
    empty = per_call_ns(lambda v: None, None, args.calls, args.repeats)
    print("serialiser: %s" % module.__file__)
    print("%-30s %-28s %10s" % ("function", "value", "ns/call"))
    for fname, label, value in cases():
        fn = getattr(module, fname)
        fn(value)  # warm caches
        ns = per_call_ns(fn, value, args.calls, args.repeats) - empty
        print("%-30s %-28s %10.0f" % (fname, label, ns))
    print("(loop and call overhead of %.0f ns subtracted)" % empty)


if __name__ == "__main__":
    main()
