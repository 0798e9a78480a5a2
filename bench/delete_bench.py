"""Deleting one trace from a large database: compacting the whole file each time (as before,
`vacuum="always"`, what `delete --compact` does) against reusing the freed space and
compacting only once a quarter of the file is free (the default), side by side in one run.

    python bench/delete_bench.py [--size MIB] [--rounds N] [--folder DIR]

Fills a database with traces of 4 MiB that do not compress (SIZE MiB in all, default 1024),
then deletes one trace at a time, the two ways in turn, and prints the medians and their
ratio.
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import tempfile
import time

import msgpack

from sarv import db

TRACE_BYTES = 4 << 20


def fill(path: str, size_mib: int) -> list:
    noise = random.Random(7)
    ids = []
    for i in range(max(size_mib * (1 << 20) // TRACE_BYTES, 8)):
        trace_id = "trc_%026d" % i
        document = {
            "command_line_args": ["bench"],
            "frames": {},
            "frames_of_interest": [{"type": "note", "data": noise.randbytes(TRACE_BYTES)}],
            "meta": {"source": "api"},
            "trace_id": trace_id,
        }
        db.save_trace_in_sqlite(path, trace_id, msgpack=msgpack.packb(document))
        ids.append(trace_id)
    return ids


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=1024, metavar="MIB")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--folder", default=None, help="where the database goes (default: a temporary folder)")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=options.folder) as folder:
        path = os.path.join(folder, "traces.sqlite3")
        started = time.perf_counter()
        ids = fill(path, options.size)
        print(
            "database: %d traces, %.0f MiB, filled in %.1f s"
            % (len(ids), os.path.getsize(path) / 2**20, time.perf_counter() - started)
        )
        times: dict = {"compact each time": [], "reuse, compact at a quarter free": []}
        for _ in range(options.rounds):
            for name, vacuum in (("compact each time", "always"), ("reuse, compact at a quarter free", True)):
                trace_id = ids.pop()
                began = time.perf_counter()
                db.delete_traces(path, [trace_id], vacuum=vacuum)
                times[name].append(time.perf_counter() - began)
        base = statistics.median(times["compact each time"])
        print("%-34s %10s %8s" % ("delete of one trace", "median", "ratio"))
        for name, values in times.items():
            median = statistics.median(values)
            print("%-34s %8.3f s %7.3fx" % (name, median, median / base))
        print("file at the end: %.0f MiB" % (os.path.getsize(path) / 2**20))


if __name__ == "__main__":
    main()
