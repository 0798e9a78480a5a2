"""What one trace per web request costs: a small Flask view served through
Flask's test client, bare and with sarv's middleware in each keep-mode.

    python bench/requests_bench.py                 # 15 rounds, a process per setup each
    python bench/requests_bench.py --rounds 21 --requests 500
    python bench/requests_bench.py --in-process    # all setups in this process
    python bench/requests_bench.py --callgrind     # instructions per request, by callgrind

Setups measured side by side: the rounds visit the setups in turn (a new
order each round), so that the machine's drift falls on all alike. In each
round a setup runs in a fresh process of its own, as a server runs one
middleware: its warm-up, then --requests requests five times over, the mean
time per request of each, the median of those its figure for the round (the
writer thread's saves of a run count in its time). A setup's figure is the
median over the rounds, and its ratio is that against the bare app's.
With --in-process, the setups share this process instead (one run of
--requests per round each): quicker, but what one setup leaves behind (its
kept profilers, its garbage, the caches it warmed) moves the others' figures
by up to a tenth. On a shared virtual machine the speed of one process
against the next moves by up to a half: differences of a few percent show
only in the callgrind counts.

    bare         the app without middleware
    every        keep="every": every request recorded and saved (SQLite)
    one in 100   keep="sample", one_in=100
    slow only    keep="slow", slower_than=10: every request recorded, none
                 slow enough to keep (the records are dropped)
    no-op hook   no sarv middleware: the core's no-op profile hook installed
                 around each request, what any profile hook costs the
                 interpreter before it does anything (the floor of the modes
                 that record)

Targets: every <= 2x, one in 100 <= 1.05x, slow only <= 1.3x.

With --callgrind, each setup runs in fresh processes under valgrind's
callgrind instead, twice (100 and 300 requests after a warm-up of 100; the
difference over 200 is the figure), so the counts are those of the requests
alone and the same from run to run: instructions, not time (system calls and
the disk, which saving in "every" mode waits for, are not counted).
"""

from __future__ import annotations

import argparse
import gc
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from callgrind_count import total_instructions  # noqa: E402

TARGETS = {"every": 2.0, "one in 100": 1.05, "slow only": 1.3}


def make_app(name, middleware_keywords=None):
    from flask import Flask, jsonify

    app = Flask(name)
    stock = {1: ("tea", 4.5, 10), 2: ("cup", 12.0, 0), 3: ("pot", 30.0, 2)}

    def price_with_tax(price, rate=0.2):
        return round(price * (1 + rate), 2)

    def find_item(item_id):
        name, price, left = stock[item_id]
        return {"id": item_id, "name": name, "price": price_with_tax(price), "in_stock": left > 0}

    @app.route("/items/<int:item_id>")
    def item(item_id):
        return jsonify(find_item(item_id))

    if middleware_keywords is not None:
        import sarv.flask

        sarv.flask.Sarv(app, **middleware_keywords)
    return app.test_client()


class NoopHook:
    """WSGI middleware that installs the core's no-op profile hook for each request."""

    def __init__(self, app):
        self.app = app

    def __call__(self, environ, start_response):
        from sarv import _sarv

        _sarv.register_noop_profiler()
        try:
            return list(self.app(environ, start_response))
        finally:
            sys.setprofile(None)


def noop_hook_app():
    client = make_app("noop")
    client.application.wsgi_app = NoopHook(client.application.wsgi_app)
    return client


def run(client, n):
    from sarv import db

    started = time.perf_counter()
    for i in range(n):
        response = client.get("/items/%d" % (i % 3 + 1))
        response.get_data()  # the body read, as a server does: the request's trace ends there
    # The writer thread's saves of these requests count in their time, and are not left to
    # slow down the setup measured next.
    db.wait_for_saves()
    return (time.perf_counter() - started) / n


def make_setups(folder):
    # A database per setup: one setup's saves never pay for another's (a checkpoint of
    # the write-ahead log falls on whichever save comes at the time).
    paths = {name: os.path.join(folder, "%s.sqlite3" % name) for name in ("every", "sample", "slow")}
    setups = {
        "bare": lambda: make_app("bare"),
        "every": lambda: make_app("every", {"db_path": paths["every"]}),
        "one in 100": lambda: make_app("sample", {"db_path": paths["sample"], "keep": "sample", "one_in": 100}),
        "slow only": lambda: make_app("slow", {"db_path": paths["slow"], "keep": "slow", "slower_than": 10}),
        "no-op hook": noop_hook_app,
    }
    return setups, paths


def child_timed(name, folder, requests):
    client = make_setups(folder)[0][name]()
    run(client, 100)
    times = []
    for _ in range(5):
        gc.collect()
        times.append(run(client, requests))
    print(statistics.median(times))


def visits(names, rounds):
    """(round, setup) in the order measured: each setup once a round, in a new order each
    round, so that the machine's drift falls on all alike."""
    rng = random.Random(17)
    order = list(names)
    for i in range(rounds):
        rng.shuffle(order)
        for name in order:
            yield i, name


def timed_in_processes(names, rounds, requests, folder):
    """{setup: [its figure of each round]}, each a fresh process."""
    times = {name: [] for name in names}
    for i, name in visits(names, rounds):
        child = os.path.join(folder, "round-%d" % i)
        os.makedirs(child, exist_ok=True)
        command = [sys.executable, "-W", "ignore", __file__, "--child-timed", name, child, str(requests)]
        out = subprocess.run(command, capture_output=True, text=True, check=True).stdout
        times[name].append(float(out.split()[-1]))
    return times


def child_callgrind(name, folder, requests):
    client = make_setups(folder)[0][name]()
    run(client, 100)
    run(client, requests)


def instructions(name, folder, requests):
    command = [sys.executable, "-W", "ignore", __file__, "--child-callgrind", name, folder, str(requests)]
    return total_instructions(command, timeout=3600)


def callgrind(folder) -> int:
    if shutil.which("valgrind") is None:
        print("valgrind not found")
        return 1
    names = list(make_setups(folder)[0])
    per = {}
    for name in names:
        per[name] = (instructions(name, folder, 300) - instructions(name, folder, 100)) / 200
    print(
        "callgrind, Python %s: instructions per request (a Flask view through the test client)"
        % platform.python_version()
    )
    print("%-12s %14s %8s %8s" % ("setup", "instructions", "ratio", "target"))
    for name in names:
        ratio = per[name] / per["bare"]
        target = TARGETS.get(name)
        mark = "" if target is None else "<= %.2f" % target
        print("%-12s %14.0f %7.2fx %s" % (name, per[name], ratio, mark))
    return 0


def _version(name: str) -> str:
    from importlib.metadata import version

    return version(name)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--requests", type=int, default=300)
    parser.add_argument("--callgrind", action="store_true", help="count instructions per request instead")
    parser.add_argument("--in-process", action="store_true", help="all setups in this process")
    parser.add_argument("--child-callgrind", nargs=3, help=argparse.SUPPRESS)
    parser.add_argument("--child-timed", nargs=3, help=argparse.SUPPRESS)
    options = parser.parse_args(argv)
    if options.child_callgrind:
        name, folder, requests = options.child_callgrind
        child_callgrind(name, folder, int(requests))
        return 0
    if options.child_timed:
        name, folder, requests = options.child_timed
        child_timed(name, folder, int(requests))
        return 0
    folder = tempfile.mkdtemp(prefix="sarv-requests-bench-")
    if options.callgrind:
        return callgrind(folder)
    makers, paths = make_setups(folder)
    if options.in_process:
        setups = {name: make() for name, make in makers.items()}
        for client in setups.values():
            run(client, 50)  # warm-up: imports, the database's creation, caches
        times = {name: [] for name in setups}
        for _, name in visits(setups, options.rounds):
            gc.collect()  # each setup pays for its own garbage
            times[name].append(run(setups[name], options.requests))
        how = "in this process"
    else:
        times = timed_in_processes(list(makers), options.rounds, options.requests, folder)
        how = "a process per setup and round, 5 x"
    print(
        "Flask %s test client, Python %s, %s; %d rounds, %s %d requests per setup"
        % (_version("flask"), platform.python_version(), platform.machine(), options.rounds, how, options.requests)
    )
    bare = statistics.median(times["bare"])
    print("%-12s %12s %8s %8s" % ("setup", "per request", "ratio", "target"))
    failed = False
    for name in times:
        median = statistics.median(times[name])
        ratio = median / bare
        target = TARGETS.get(name)
        mark = "" if target is None else ("<= %.2f" % target) + ("" if ratio <= target else "  MISSED")
        failed |= target is not None and ratio > target
        print("%-12s %9.1f us %7.2fx %s" % (name, median * 1e6, ratio, mark))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
