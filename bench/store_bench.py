"""The store's saves, this tree's beside an older commit's sarv.db, in one run.

    python bench/store_bench.py                   # against the last single-module sarv.db
    python bench/store_bench.py --before 8033973^ --rounds 21

Three figures, each the ratio this tree / the older one: the wall time of a
save made at once (its own transaction and commit: a run's save, a request's
without the writer thread), the processor time of saves run as save_later
runs them (64 to a transaction, as a test suite's), and the instructions of
those (callgrind: a process saving 1,280 less one saving none, per save;
--no-callgrind leaves it out). The older sarv.db is read from git and loaded
beside this tree's sarv.store; only its own functions are used (it needs
nothing of the store package).
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import statistics
import subprocess
import sys
import tempfile
import time

import msgpack

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _older(revision: str, folder: str):
    source = subprocess.run(
        ["git", "-C", ROOT, "show", "%s:python/sarv/db.py" % revision], capture_output=True, check=True
    ).stdout
    path = os.path.join(folder, "older_db.py")
    with open(path, "wb") as file:
        file.write(source)
    spec = importlib.util.spec_from_file_location("older_db", path)
    module = importlib.util.module_from_spec(spec)
    sys.modules["older_db"] = module  # (its dataclasses look their module up)
    spec.loader.exec_module(module)
    return module


def _document() -> bytes:
    records = [{"type": "frame", "event": "call", "co_name": "f", "i": i} for i in range(50)]
    return msgpack.packb(
        {
            "command_line_args": ["pytest"],
            "frames": {},
            "frames_of_interest": records,
            "meta": {"source": "pytest", "version": "0"},
            "timestamp": 1.0,
            "trace_id": "trc_x",
        }
    )


def _at_once(save, path: str, document: bytes, count: int) -> float:
    started = time.perf_counter()
    for i in range(count):
        save(path, "trc_%d" % i, msgpack=document)
    return (time.perf_counter() - started) / count * 1e6


def _batched(make_job, run_jobs, path: str, document: bytes, batches: int) -> float:
    started = time.process_time()
    for b in range(batches):
        run_jobs([make_job(path, "trc_%d_%d" % (b, i), document, 60, None) for i in range(64)])
    return (time.process_time() - started) / max(batches * 64, 1) * 1e6


def _child(which: str, revision: str, batches: int) -> None:
    """The process callgrind counts: `batches` batches of 64 saves by one of the two."""
    from sarv.store import batching

    folder = tempfile.mkdtemp(prefix="sarv-store-bench-")
    older = _older(revision, folder)
    make, run = (older._SaveJob, older._run_jobs) if which == "before" else (batching.SaveJob, batching.run_jobs)
    run([make(os.path.join(folder, "t"), "trc_warm", _document(), 60, None)])  # (imports, the schema)
    _batched(make, run, os.path.join(folder, "t"), _document(), batches)


def _instructions(revision: str) -> list:
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from callgrind_count import total_instructions

    per_save = []
    for which in ("before", "now"):
        counts = [
            total_instructions(
                [sys.executable, os.path.abspath(__file__), "--child", which, "--before", revision, "--batches", n],
                timeout=600,
            )
            for n in ("0", "20")
        ]
        per_save.append((counts[1] - counts[0]) / (20 * 64))
    return per_save


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--before", default="8033973^", help="the commit whose sarv.db to compare with")
    parser.add_argument("--rounds", type=int, default=11)
    parser.add_argument("--no-callgrind", action="store_true")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--batches", type=int, default=0, help=argparse.SUPPRESS)
    args = parser.parse_args()
    sys.path.insert(0, os.path.join(ROOT, "python"))
    if args.child:
        _child(args.child, args.before, args.batches)
        return
    from sarv import db
    from sarv.store import batching

    folder = tempfile.mkdtemp(prefix="sarv-store-bench-")
    older = _older(args.before, folder)
    document = _document()
    figures = {"at once": ([], []), "batched": ([], [])}
    for r in range(args.rounds):  # (alternated: the machine's load falls on both alike)
        figures["at once"][0].append(
            _at_once(older.save_trace_in_sqlite, os.path.join(folder, "o%d" % r), document, 300)
        )
        figures["at once"][1].append(_at_once(db.save_trace_in_sqlite, os.path.join(folder, "n%d" % r), document, 300))
        figures["batched"][0].append(
            _batched(older._SaveJob, older._run_jobs, os.path.join(folder, "bo%d" % r), document, 20)
        )
        figures["batched"][1].append(
            _batched(batching.SaveJob, batching.run_jobs, os.path.join(folder, "bn%d" % r), document, 20)
        )
    print("%-36s %12s %12s %8s" % ("save of a 50-record trace", args.before, "this tree", "ratio"))
    for name, unit in (("at once", "us wall"), ("batched", "us cpu")):
        before, now = (statistics.median(values) for values in figures[name])
        print(
            "%-36s %9.1f us %9.1f us %8.3f"
            % ("%s (median of %d, %s)" % (name, args.rounds, unit), before, now, now / before)
        )
    if not args.no_callgrind:
        before, now = _instructions(args.before)
        print("%-36s %12.0f %12.0f %8.3f" % ("batched (instructions per save)", before, now, now / before))


if __name__ == "__main__":
    main()
