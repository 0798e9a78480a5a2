"""Cost of the value encoder per value, for the values ordinary programs hold.

    python bench/values_bench.py
    python bench/values_bench.py --baseline-python OTHER_VENV/bin/python   # another sarv beside it
    python bench/values_bench.py --repeats 7

For each value: sarv.serialize.dump_msgpack (the native encoder), the Python walker it
keeps as the format's reference (_dump_general), and msgpack.packb of the same content
written as plain data (what the encoding decodes to), in ns per value; the ratio of the
first to the last is the encoder's target. Large values are timed per call in us: their
cost must not grow with their size. With --baseline-python, the same values are timed with
the dump_msgpack of another installation, in alternation with this one.

Each figure is the minimum over the repeats of (thread CPU time of N calls) / N.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import time


class Plain:
    pass


def obj(**attrs):
    o = Plain()
    o.__dict__.update(attrs)
    return o


def cases():
    memo = {(i, i + 1): i * 3 for i in range(33)}
    holder = obj(items=[1, 2, 3, 4, 5], count=7, memo={(i, 2 * i): i for i in range(10)})
    rich = obj(items=["a", "b", "c"], index={"a": 0, "b": 1, "c": 2}, size=3)
    return [
        ("object, two scalar attributes", obj(a=1, b="x")),
        ("object holding a 3-int list", obj(v=[1, 2, 3])),
        ("dict with 33 int keys", {i: i for i in range(33)}),
        ("set of 5 ints", {1, 2, 3, 4, 5}),
        ("dict with 33 tuple keys", memo),
        ("locals: self (list, int, tuple-keyed memo)", {"self": holder, "k": 3}),
        ("locals: object (list, dict), tuple, memo", {"self": rich, "pair": (1, "x"), "memo": memo, "n": 4}),
        ("list of 20 dataclass-like objects", [obj(id=i, name="n%d" % i, tags=["a"]) for i in range(20)]),
        ("nested record", {"id": 1, "user": {"name": "ann", "roles": ["a", "b"]}, "scores": [1.5, None, 3]}),
    ]


def large_cases():
    big_list = list(range(10_000_000))
    big_dict = dict.fromkeys(range(1_000_000), 0)
    big_bytes = b"b" * 100_000_000
    big_str = "s" * 50_000_000
    return [
        ("argument: list of 10M ints", big_list),
        ("local: dict of 1M entries", {"d": big_dict, "n": 1}),
        ("local: 100 MB of bytes", {"b": big_bytes}),
        ("self attribute: 50M-char str", {"self": obj(text=big_str)}),
        ("self attribute: list of 10M", {"self": obj(items=big_list)}),
    ]


def per_call_ns(fn, value, calls):
    clock = time.thread_time_ns
    start = clock()
    for _ in range(calls):
        fn(value)
    return (clock() - start) / calls


def measure(names_values, fn, calls):
    return {name: per_call_ns(fn, value, calls) for name, value in names_values}


def emit(calls, large_calls):
    """One pass with this interpreter's sarv, as JSON (used by --baseline-python)."""
    from sarv import serialize

    out = measure(cases(), serialize.dump_msgpack, calls)
    out.update(measure(large_cases(), serialize.dump_msgpack, large_calls))
    print(json.dumps(out))


def baseline_figures(args):
    """The same measures made by another installation's python, side by side."""
    done = subprocess.run(
        [
            args.baseline_python,
            __file__,
            "--emit",
            "--calls",
            str(args.calls),
            "--large-calls",
            str(max(args.large_calls // 25, 1)),
        ],
        check=True,
        capture_output=True,
        text=True,
    )
    return json.loads(done.stdout.splitlines()[-1])


def print_tables(best, ordinary, large, base):
    head = "| value | native ns | walker ns | packb of plain twin ns | native / packb |"
    print(head + (" baseline ns | baseline / native |" if base else ""))
    print("|---" * (head.count("|") - 1 + (2 if base else 0)) + "|")
    for name, _ in ordinary:
        n, w, p = best[("native", name)], best[("walker", name)], best[("packb", name)]
        row = f"| {name} | {n:,.0f} | {w:,.0f} | {p:,.0f} | {n / p:.2f} |"
        if base:
            b = best[("baseline", name)]
            row += f" {b:,.0f} | {b / n:.1f} |"
        print(row)
    print()
    print("| large value | native us per call |" + (" baseline us per call |" if base else ""))
    print("|---|---|" + ("---|" if base else ""))
    for name, _ in large:
        row = f"| {name} | {best[('native', name)] / 1000:,.1f} |"
        if base:
            row += f" {best[('baseline', name)] / 1000:,.1f} |"
        print(row)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--large-calls", type=int, default=50)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--baseline-python", help="the python of another installation of sarv")
    parser.add_argument("--emit", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.emit:
        emit(args.calls, args.large_calls)
        return
    import msgpack

    from sarv import serialize

    ordinary = cases()
    large = large_cases()
    twins = [(name, msgpack.unpackb(serialize.dump_msgpack(v), strict_map_key=False)) for name, v in ordinary]
    for name, value in ordinary:
        assert serialize.dump_msgpack(value) == serialize._dump_general(value), name
    best = {}

    def keep(key, figures):
        for name, ns in figures.items():
            best[(key, name)] = min(best.get((key, name), float("inf")), ns)

    for _ in range(args.repeats):
        keep("native", measure(ordinary, serialize.dump_msgpack, args.calls))
        keep("walker", measure(ordinary, serialize._dump_general, max(args.calls // 20, 50)))
        keep("packb", measure(twins, msgpack.packb, args.calls))
        keep("native", measure(large, serialize.dump_msgpack, args.large_calls))
        if args.baseline_python:
            keep("baseline", baseline_figures(args))

    print_tables(best, ordinary, large, base=args.baseline_python is not None)


if __name__ == "__main__":
    sys.exit(main())
