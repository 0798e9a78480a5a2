"""Requests under load: real servers on loopback, driven by wrk, bare and with
sarv's middleware in each keep-mode, this tree's middleware beside an older
one's in the same run.

    python bench/load_bench.py                        # every setup and mode, 5 s each
    python bench/load_bench.py --before ce44300       # and the middleware of that commit
    python bench/load_bench.py --setups uvicorn --modes bare,sample --seconds 8 --rounds 2
    python bench/load_bench.py --stops 10 --before ce44300  # uvicorn stopped mid-load
    python bench/load_bench.py --callgrind --modes bare,sample --before adbb49b
    python bench/load_bench.py --server-callgrind --modes bare,sample,slow   # one worker, real server

Setups: a Flask app on gunicorn (gthread, 2 workers x 4 threads) and the same
logic as FastAPI on uvicorn (2 workers). The app's paths, cycled by wrk's
script: /fast (a few calls), /work (about 240 calls of its own code on
objects; a plain `def` endpoint under FastAPI, run in its thread pool),
/fail (an exception: 500), one in 20 of the requests. Modes:

    bare      no middleware
    every     keep="every"
    sample    keep="sample", one_in=100 (--one-in)
    slow      keep="slow", slower_than=--slow (default 0.1 s: none of these
              requests is that slow by its own time, so a trace kept is one
              the server's queueing made "slow")

Each run: the server started afresh with its own SQLite file, 1 s of warm-up
load, then --seconds of load by `wrk -t1 -c64 --latency` (64 connections);
the server's processes' CPU time over the run and the peak of its workers'
resident memory are read with psutil; then the server is stopped (SIGTERM)
and the traces stored are counted against the responses wrk received, and
the traces the log says were dropped.

Runs of a round go in a new order each round; the table gives medians over
the rounds. Columns: req/s and its ratio to bare's of the same round; p50, p99 and worst
latency as wrk reports them; CPU: milliseconds of the server's CPU per
request; RSS: the workers' peak resident memory (MiB, summed); stored: the
traces stored / the responses (warm-up included, so "every" should read 1.00);
dropped: traces the middleware said it dropped.

The machine: say how many cores and who else uses them beside the table;
wrk and the server share them. Needs wrk (Debian: apt-get install wrk) and
gunicorn, uvicorn, flask, fastapi, psutil (pip install them: the script
names what is missing).
"""

from __future__ import annotations

import argparse
import os
import re
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import textwrap
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

APP = '''
import os, sys

_web = os.environ.get("BENCH_WEB")
if _web:
    # The package sarv.web of an older commit (the middleware's parts), before its face.
    import importlib.util
    spec = importlib.util.spec_from_file_location("sarv.web", _web, submodule_search_locations=[os.path.dirname(_web)])
    module = importlib.util.module_from_spec(spec)
    sys.modules["sarv.web"] = module
    import sarv
    sarv.web = module
    spec.loader.exec_module(module)
_before = os.environ.get("BENCH_MIDDLEWARE")
if _before:
    # An older middleware in place of this tree's (its file under a path ending in
    # /sarv/middleware.py, or its package's __init__.py under /sarv/middleware/, which the
    # profiler leaves out as it does the real one's).
    import importlib.util
    package = [os.path.dirname(_before)] if _before.endswith("__init__.py") else None
    spec = importlib.util.spec_from_file_location("sarv.middleware", _before, submodule_search_locations=package)
    module = importlib.util.module_from_spec(spec)
    sys.modules["sarv.middleware"] = module
    import sarv
    sarv.middleware = module
    spec.loader.exec_module(module)

MODE = os.environ["BENCH_MODE"]
DB = os.environ["BENCH_DB"]
SLOW = float(os.environ.get("BENCH_SLOW", "0.1"))
KEYWORDS = {
    "every": dict(keep="every"),
    "sample": dict(keep="sample", one_in=int(os.environ.get("BENCH_ONE_IN", "100"))),
    "slow": dict(keep="slow", slower_than=SLOW),
}.get(MODE)


class Item:
    def __init__(self, number):
        self.number = number
        self.tags = [number % 3, number % 5]

    def price(self):
        return self.number * 2 + len(self.tags)


def total(items):
    result = 0
    for item in items:
        result += item.price()
    return result


def work():
    items = [Item(n) for n in range(80)]
    return total(items)


def fast():
    return Item(1).price()


def fail():
    raise RuntimeError("failing on purpose")


if os.environ["BENCH_SERVER"] == "gunicorn":
    from flask import Flask

    app = Flask(__name__)

    @app.route("/fast")
    def fast_view():
        return str(fast())

    @app.route("/work")
    def work_view():
        return str(work())

    @app.route("/fail")
    def fail_view():
        return str(fail())

    if KEYWORDS is not None:
        import sarv.wsgi
        app.wsgi_app = sarv.wsgi.SarvMiddleware(app.wsgi_app, db_path=DB, trace_header=True, **KEYWORDS)
else:
    from fastapi import FastAPI

    app = FastAPI()

    @app.get("/fast")
    async def fast_view():
        return fast()

    @app.get("/work")
    def work_view():  # in FastAPI's thread pool
        return work()

    @app.get("/fail")
    async def fail_view():
        return fail()

    if KEYWORDS is not None:
        import sarv.asgi
        app.add_middleware(sarv.asgi.SarvMiddleware, db_path=DB, trace_header=True, **KEYWORDS)
'''

# Under callgrind: the app in this process, N requests to /work through the framework's
# test client (Starlette's runs the app on its own loop thread, def endpoints in anyio's
# worker threads, as uvicorn does).
DRIVER = """
import sys, warnings
warnings.simplefilter("ignore")
import webapp

count = int(sys.argv[1])
if webapp.os.environ["BENCH_SERVER"] == "gunicorn":
    client = webapp.app.test_client()
    for _ in range(count):
        client.get("/work")
else:
    from starlette.testclient import TestClient
    with TestClient(webapp.app) as client:
        for _ in range(count):
            client.get("/work")
"""


def use_middleware(env: dict, middleware_file: str | None) -> None:
    """The app's environment: this tree's middleware, or an older one (its face, and its
    package sarv.web where it had one, written beside it by older_middleware)."""
    env.pop("BENCH_MIDDLEWARE", None)
    env.pop("BENCH_WEB", None)
    if middleware_file:
        env["BENCH_MIDDLEWARE"] = middleware_file
        web = os.path.join(os.path.dirname(middleware_file), "web", "__init__.py")
        if os.path.exists(web):
            env["BENCH_WEB"] = web


def send_requests(port: int, count: int, clients: int) -> None:
    """`count` requests of wrk's path mix, sent by `clients` keep-alive connections at once."""
    import http.client

    paths = [("/fail" if i == 20 else "/fast" if i % 4 == 0 else "/work") for i in range(1, 21)]
    numbers = iter(range(count))
    lock = threading.Lock()
    failures = []

    def client() -> None:
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=600)
        try:
            while True:
                with lock:
                    n = next(numbers, None)
                if n is None:
                    return
                try:
                    conn.request("GET", paths[n % 20])
                    conn.getresponse().read()
                except (ConnectionError, http.client.HTTPException):
                    # (uvicorn closes the connection of a request that raised: its 500 is
                    # sent, or the connection reset before it is read)
                    conn.close()
                    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=600)
        except Exception as exc:
            failures.append(exc)
        finally:
            conn.close()

    threads = [threading.Thread(target=client) for _ in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if failures:
        raise RuntimeError("requests failed: %r" % failures[:3])


def callgrind_env(setup: str, mode: str, middleware_file: str | None, work: str, slow: float, prefix: str) -> dict:
    """The environment of a server or app run under callgrind: the app's mode, a fresh database."""
    env = dict(
        os.environ,
        BENCH_SLOW=str(slow),
        PYTHONPATH=os.pathsep.join(p for p in (work, os.environ.get("PYTHONPATH")) if p),
        BENCH_MODE=mode,
        BENCH_DB=os.path.join(work, "%s-%d.sqlite3" % (prefix, time.monotonic_ns())),
        BENCH_SERVER=setup,
    )
    use_middleware(env, middleware_file)
    return env


def server_instructions(
    setup: str, mode: str, middleware_file: str | None, work: str, count: int, slow: float, clients: int
) -> int:
    """Instructions of the server's worker process (one worker; gunicorn gthread with 4
    threads) over its life, serving `count` requests of wrk's path mix sent by `clients`
    keep-alive connections at once."""
    env = callgrind_env(setup, mode, middleware_file, work, slow, "scg")
    port = free_port()
    if setup == "gunicorn":
        command = [sys.executable, "-m", "gunicorn", "-k", "gthread", "-w", "1", "--threads", "4",
                   "-b", "127.0.0.1:%d" % port, "--log-level", "warning", "webapp:app"]  # fmt: skip
    else:
        command = [sys.executable, "-m", "uvicorn", "--host", "127.0.0.1", "--port", str(port),
                   "--log-level", "warning", "--no-access-log", "webapp:app"]  # fmt: skip
    folder = tempfile.mkdtemp(prefix="scg-", dir=work)
    with open(os.path.join(folder, "log"), "w") as log:
        proc = subprocess.Popen(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + os.path.join(folder, "out.%p")] + command,
            cwd=work, env=env, stdout=log, stderr=subprocess.STDOUT,
        )  # fmt: skip
    try:
        wait_listening(port, proc, timeout=600)
        send_requests(port, count, clients)
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=300)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    totals = []
    for name in os.listdir(folder):
        if name.startswith("out."):
            with open(os.path.join(folder, name)) as f:
                found = re.search(r"^(?:summary|totals): (\d+)", f.read(), re.M)
            if found:
                totals.append(int(found.group(1)))
    if not totals:
        raise RuntimeError("callgrind wrote no counts (see %s)" % folder)
    return max(totals)  # the worker's (gunicorn's arbiter does little)


def callgrind_instructions(
    setup: str, mode: str, middleware_file: str | None, work: str, count: int, slow: float
) -> int:
    env = callgrind_env(setup, mode, middleware_file, work, slow, "cg")
    out = os.path.join(work, "callgrind.out")
    done = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, sys.executable,
         os.path.join(work, "driver.py"), str(count)],
        cwd=work, env=env, capture_output=True, text=True,
    )  # fmt: skip
    found = re.search(r"Collected : (\d+)", done.stderr)
    if not found or done.returncode != 0:
        raise RuntimeError("callgrind failed:\n" + done.stderr[-2000:])
    return int(found.group(1))


# One in 20 fails; the rest mostly do the work.
LUA = """
local paths = {}
for i = 1, 20 do paths[i] = (i == 20) and "/fail" or ((i % 4 == 0) and "/fast" or "/work") end
local n = 0
request = function()
  n = n + 1
  return wrk.format("GET", paths[(n % 20) + 1])
end
"""

MODES = ("bare", "every", "sample", "slow")
SETUPS = ("gunicorn", "uvicorn")


def missing_tools() -> list:
    missing = []
    for module in ("gunicorn", "uvicorn", "flask", "fastapi", "psutil"):
        try:
            __import__(module)
        except ImportError:
            missing.append("pip install " + module)
    if subprocess.run(["sh", "-c", "command -v wrk"], capture_output=True).returncode != 0:
        missing.append("apt-get install wrk")
    return missing


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def server_command(setup: str, port: int) -> list:
    if setup == "gunicorn":
        return [
            sys.executable, "-m", "gunicorn", "-k", "gthread", "-w", "2", "--threads", "4",
            "-b", "127.0.0.1:%d" % port, "--log-level", "warning", "--backlog", "256", "webapp:app",
        ]  # fmt: skip
    return [
        sys.executable, "-m", "uvicorn", "--workers", "2", "--host", "127.0.0.1", "--port", str(port),
        "--log-level", "warning", "--no-access-log", "webapp:app",
    ]  # fmt: skip


def wait_listening(port: int, proc, timeout: float = 60) -> None:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError("the server exited: %s" % proc.returncode)
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.2)
    raise RuntimeError("the server did not listen")


def parse_wrk(text: str) -> dict:
    def seconds(value: str, unit: str) -> float:
        return float(value) * {"us": 1e-6, "ms": 1e-3, "s": 1.0, "m": 60.0}[unit]

    out = {}
    found = re.search(r"Requests/sec:\s+([\d.]+)", text)
    out["rps"] = float(found.group(1)) if found else 0.0
    found = re.search(r"(\d+) requests in", text)
    out["requests"] = int(found.group(1)) if found else 0
    for pct in ("50", "99"):
        found = re.search(r"^\s+%s(?:\.000)?%%\s+([\d.]+)(us|ms|s|m)\b" % pct, text, re.M)
        out["p" + pct] = seconds(*found.groups()) if found else float("nan")
    found = re.search(r"Latency\s+\S+\s+\S+\s+([\d.]+)(us|ms|s|m)\b", text)
    out["worst"] = seconds(*found.groups()) if found else float("nan")
    found = re.search(r"Socket errors: (.*)", text)
    out["errors"] = found.group(1).strip() if found else ""
    found = re.search(r"Non-2xx or 3xx responses: (\d+)", text)
    out["non2xx"] = int(found.group(1)) if found else 0
    return out


def wrk(port: int, seconds: float, script: str) -> str:
    done = subprocess.run(
        ["wrk", "-t1", "-c64", "-d%gs" % seconds, "--timeout", "30s", "--latency", "-s", script,
         "http://127.0.0.1:%d" % port],
        capture_output=True, text=True,
    )  # fmt: skip
    return done.stdout + done.stderr


class Sampler:
    """The peak of the workers' summed resident memory, read every 0.2 s."""

    def __init__(self, proc) -> None:
        import psutil

        self.root = psutil.Process(proc.pid)
        self.peak = 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def processes(self):
        try:
            return [self.root] + self.root.children(recursive=True)
        except Exception:
            return [self.root]

    def cpu(self) -> float:
        total = 0.0
        for p in self.processes():
            try:
                t = p.cpu_times()
                total += t.user + t.system
            except Exception:
                pass
        return total

    def run(self) -> None:
        while not self.stop.wait(0.2):
            rss = 0
            for p in self.processes()[1:]:
                try:
                    rss += p.memory_info().rss
                except Exception:
                    pass
            self.peak = max(self.peak, rss)

    def close(self) -> None:
        self.stop.set()
        self.thread.join()


def stored(db_path: str) -> int:
    if not os.path.exists(db_path):
        return 0
    conn = sqlite3.connect(db_path, timeout=60)
    try:
        return conn.execute("SELECT count(*) FROM traces").fetchone()[0]
    except sqlite3.Error:
        return 0
    finally:
        conn.close()


def dropped_in(log: str) -> int:
    """Traces the middleware's log lines say it dropped (sarv: N traces ... dropped)."""
    return sum(int(n) for n in re.findall(r"sarv: (\d+) traces? of requests? (?:were |was )?dropped", log))


def run_one(setup: str, mode: str, version: str, middleware_file: str | None, args, work: str) -> dict:
    db_path = os.path.join(work, "%s-%s-%s-%d.sqlite3" % (setup, mode, version, time.monotonic_ns()))
    port = free_port()
    env = dict(
        os.environ,
        PYTHONPATH=os.pathsep.join(p for p in (work, os.environ.get("PYTHONPATH")) if p),
        BENCH_MODE=mode,
        BENCH_DB=db_path,
        BENCH_SERVER=setup,
        BENCH_SLOW=str(args.slow),
    )
    use_middleware(env, middleware_file)
    log_path = db_path + ".log"
    with open(log_path, "w") as log:
        proc = subprocess.Popen(server_command(setup, port), cwd=work, env=env, stdout=log, stderr=subprocess.STDOUT)
    try:
        wait_listening(port, proc)
        script = os.path.join(work, "paths.lua")
        warm = parse_wrk(wrk(port, 1, script))
        sampler = Sampler(proc)
        cpu0 = sampler.cpu()
        text = wrk(port, args.seconds, script)
        cpu = sampler.cpu() - cpu0
        sampler.close()
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=120)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    result = parse_wrk(text)
    with open(log_path) as f:
        log_text = f.read()
    responses = result["requests"] + warm["requests"]
    result.update(
        setup=setup,
        mode=mode,
        version=version,
        cpu_ms=1000 * cpu / max(result["requests"], 1),
        rss=sampler.peak / (1 << 20),
        stored=stored(db_path),
        responses=responses,
        dropped=dropped_in(log_text),
        log=log_text,
    )
    return result


def stop_try(signum: int, middleware_file: str | None, work: str, clients: int = 16) -> tuple:
    """uvicorn (2 workers, every request kept) under load from `clients` threads,
    stopped by `signum` mid-load: (answered requests naming a trace, those
    traces stored)."""
    import urllib.error
    import urllib.request

    db_path = os.path.join(work, "stop-%d.sqlite3" % time.monotonic_ns())
    port = free_port()
    env = dict(
        os.environ,
        PYTHONPATH=os.pathsep.join(p for p in (work, os.environ.get("PYTHONPATH")) if p),
        BENCH_MODE="every",
        BENCH_DB=db_path,
        BENCH_SERVER="uvicorn",
    )
    use_middleware(env, middleware_file)
    with open(db_path + ".log", "w") as log:
        proc = subprocess.Popen(
            server_command("uvicorn", port), cwd=work, env=env, stdout=log, stderr=subprocess.STDOUT
        )
    named = []
    stop = threading.Event()

    def client() -> None:
        while not stop.is_set():
            try:
                with urllib.request.urlopen("http://127.0.0.1:%d/work" % port, timeout=30) as response:
                    response.read()
                    trace = response.headers.get("x-sarv-trace")
            except (OSError, urllib.error.URLError):
                if proc.poll() is not None:
                    return
                continue
            if trace:
                named.append(trace)

    try:
        wait_listening(port, proc)
        threads = [threading.Thread(target=client, daemon=True) for _ in range(clients)]
        for t in threads:
            t.start()
        time.sleep(1.5)
        proc.send_signal(signum)
        proc.wait(timeout=120)
        stop.set()
        for t in threads:
            t.join(60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    return len(named), len(set(named) & stored_ids(db_path))


def stored_ids(db_path: str) -> set:
    if not os.path.exists(db_path):
        return set()
    conn = sqlite3.connect(db_path, timeout=60)
    try:
        return {row[0] for row in conn.execute("SELECT trace_id FROM traces")}
    finally:
        conn.close()


# Writers of several processes into one SQLite file: each process takes one real request's
# trace (the Flask app's /work, keep="every"), then hands copies of it to its writer thread
# as fast as a request would (save_soon, wait=False) for a while, at the same moment as
# the others; then waits until they are stored.
WRITER = """
import os, sys, time, warnings
warnings.simplefilter("ignore")
import webapp
from sarv import db
from sarv.store import batching
from sarv._requests import new_trace_id

if os.environ["BENCH_TURNS"] == "0":
    batching.fcntl = None  # SQLite's own lock alone
longest = [0.0]  # the longest batch of the writer thread, its wait for the lock included
timed = batching.run_jobs


def run_jobs(jobs):
    began = time.perf_counter()
    try:
        return timed(jobs)
    finally:
        longest[0] = max(longest[0], time.perf_counter() - began)


batching.run_jobs = run_jobs
captured = []
original = db.save_soon
db.save_soon = lambda db_path, trace_id, document, *rest, **kw: captured.append((db_path, document)) or True
client = webapp.app.test_client()
client.get("/work")
client.get("/fast")  # (the first one's recording ends at the thread's next request)
db.save_soon = original
db_path, document = captured[0]
document = b"".join(document)
seconds, go = float(sys.argv[1]), float(sys.argv[2])
time.sleep(max(0.0, go - time.time()))
handed = dropped = 0
began = time.perf_counter()
while time.perf_counter() - began < seconds:
    if db.save_soon(db_path, new_trace_id(), document, 60, None, wait=False):
        handed += 1
    else:
        dropped += 1
    time.sleep(0.0002)  # (a request's own work, roughly: the writer thread gets the lock)
db.wait_for_saves(None, 300)
print(handed, dropped, time.perf_counter() - began, longest[0])
"""


def writers_try(processes: int, turns: bool, seconds: float, work: str) -> dict:
    db_path = os.path.join(work, "writers-%d.sqlite3" % time.monotonic_ns())
    env = dict(
        os.environ,
        PYTHONPATH=os.pathsep.join(p for p in (work, os.environ.get("PYTHONPATH")) if p),
        BENCH_MODE="every",
        BENCH_DB=db_path,
        BENCH_SERVER="gunicorn",
        BENCH_TURNS="1" if turns else "0",
    )
    env.pop("BENCH_MIDDLEWARE", None)
    go = time.time() + 3
    procs = [
        subprocess.Popen([sys.executable, os.path.join(work, "writer.py"), str(seconds), str(go)],
                         cwd=work, env=env, stdout=subprocess.PIPE, text=True)
        for _ in range(processes)
    ]  # fmt: skip
    outs = [p.communicate(timeout=600)[0].split() for p in procs]
    handed = sum(int(o[0]) for o in outs)
    dropped = sum(int(o[1]) for o in outs)
    took = max(float(o[2]) for o in outs)
    longest = max(float(o[3]) for o in outs)
    return {"handed": handed, "dropped": dropped, "took": took, "stored": stored(db_path), "longest": longest}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--setups", default=",".join(SETUPS))
    parser.add_argument("--modes", default=",".join(MODES))
    parser.add_argument("--seconds", type=float, default=5)
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--slow", type=float, default=0.1, help="slower_than of the slow mode (seconds)")
    parser.add_argument("--one-in", type=int, default=100, help="one_in of the sample mode")
    parser.add_argument("--before", metavar="REV", help="also run the middleware of this commit (git rev)")
    parser.add_argument("--show-logs", action="store_true")
    parser.add_argument(
        "--callgrind",
        action="store_true",
        help="instead of the load runs: instructions per /work request of each setup and mode, the app in "
        "one process through its test client, counted by callgrind (300 requests less 100, over 200)",
    )
    parser.add_argument(
        "--server-callgrind",
        action="store_true",
        help="instead of the load runs: instructions per request of each setup and mode in the real server "
        "with one worker, under callgrind, wrk's path mix sent by --clients connections (400 requests less 100, "
        "over 300)",
    )
    parser.add_argument("--clients", type=int, default=8, help="connections of --server-callgrind")
    parser.add_argument(
        "--writers",
        type=int,
        default=0,
        metavar="N",
        help="instead of the load runs: N rounds of 1 and 2 processes handing traces to their writer threads as "
        "fast as they are taken, into one SQLite file, the processes' writers taking turns through the lock file "
        "and through SQLite's lock alone",
    )
    parser.add_argument(
        "--stops",
        type=int,
        default=0,
        metavar="N",
        help="instead of the load runs: stop uvicorn (2 workers, every request) mid-load N times by SIGTERM "
        "and N times by SIGINT; how many answered requests' traces were stored",
    )
    args = parser.parse_args()
    os.environ["BENCH_ONE_IN"] = str(args.one_in)  # (the servers' environments are copies)
    missing = missing_tools()
    if missing:
        print("missing: " + "; ".join(missing), file=sys.stderr)
        return 2
    setups = [s for s in args.setups.split(",") if s]
    modes = [m for m in args.modes.split(",") if m]
    work = tempfile.mkdtemp(prefix="sarv-load-")
    with open(os.path.join(work, "webapp.py"), "w") as f:
        f.write(textwrap.dedent(APP))
    with open(os.path.join(work, "paths.lua"), "w") as f:
        f.write(LUA)
    versions = [("now", None)]
    if args.before:
        versions.insert(0, ("before", older_middleware(args.before, work)))
    with open(os.path.join(work, "driver.py"), "w") as f:
        f.write(DRIVER)
    if args.callgrind:
        return run_callgrind(setups, modes, versions, work, args.slow)
    if args.server_callgrind:
        return run_server_callgrind(setups, modes, versions, work, args)
    if args.writers:
        return run_writers(args, work)
    if args.stops:
        return run_stops(args, versions, work)
    return run_load(args, setups, modes, versions, work)


def older_middleware(rev: str, work: str) -> str:
    """The middleware of commit `rev` written under `work` (a module, or a package as it
    became): the file to load as sarv.middleware."""
    folder = os.path.join(work, "before", "sarv")
    os.makedirs(folder)
    listed = subprocess.run(
        ["git", "ls-tree", "--name-only", rev, "python/sarv/middleware/", "python/sarv/web/"],
        cwd=ROOT, capture_output=True, text=True, check=True,
    ).stdout.split()  # fmt: skip
    web = [n for n in listed if n.startswith("python/sarv/web/") and n.endswith(".py")]
    names = [n for n in listed if n.endswith(".py") and n not in web] or ["python/sarv/middleware.py"]
    for name in web:
        source = subprocess.run(
            ["git", "show", "%s:%s" % (rev, name)], cwd=ROOT, capture_output=True, text=True, check=True
        ).stdout
        target = os.path.join(folder, os.path.relpath(name, "python/sarv"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "w") as f:
            f.write(source)
    for name in names:
        source = subprocess.run(
            ["git", "show", "%s:%s" % (rev, name)], cwd=ROOT, capture_output=True, text=True, check=True
        ).stdout
        target = os.path.join(folder, os.path.relpath(name, "python/sarv"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "w") as f:
            f.write(source)
    if len(names) > 1 or names[0].endswith("__init__.py"):
        return os.path.join(folder, "middleware", "__init__.py")
    return os.path.join(folder, "middleware.py")


def run_callgrind(setups, modes, versions, work: str, slow: float) -> int:
    # (under callgrind a request takes some 50 times longer: --slow must stay above that for
    # "slow" to measure requests that turn out quick)
    print(
        "callgrind: instructions per /work request, every thread counted (300 requests less 100, / 200);"
        " slow: slower_than %g s" % slow
    )
    for setup in setups:
        bare = None
        for mode in modes:
            for version, file in versions if mode != "bare" else [("-", None)]:
                low = callgrind_instructions(setup, mode, file, work, 100, slow)
                high = callgrind_instructions(setup, mode, file, work, 300, slow)
                per = (high - low) / 200
                if mode == "bare":
                    bare = per
                print(
                    "%-9s %-7s %-7s %12.0f %7s" % (setup, mode, version, per, "%.3fx" % (per / bare) if bare else ""),
                    flush=True,
                )
    return 0


def run_server_callgrind(setups, modes, versions, work: str, args) -> int:
    print(
        "callgrind: instructions per request of the server's one worker (wrk's path mix, %d connections;"
        " 400 requests less 100, / 300); slow: slower_than %g s" % (args.clients, args.slow)
    )
    for setup in setups:
        bare = None
        for mode in modes:
            for version, file in versions if mode != "bare" else [("-", None)]:
                low = server_instructions(setup, mode, file, work, 100, args.slow, args.clients)
                high = server_instructions(setup, mode, file, work, 400, args.slow, args.clients)
                per = (high - low) / 300
                if mode == "bare":
                    bare = per
                print(
                    "%-9s %-7s %-7s %12.0f %7s" % (setup, mode, version, per, "%.3fx" % (per / bare) if bare else ""),
                    flush=True,
                )
    return 0


def run_writers(args, work: str) -> int:
    with open(os.path.join(work, "writer.py"), "w") as f:
        f.write(WRITER)
    print("processes handing traces to their writer threads for %.0f s, into one SQLite file" % args.seconds)
    print("%-9s %-10s %9s %9s %9s %8s %9s %10s" % ("processes", "turns", "handed", "dropped", "stored",
                                                   "took s", "stored/s", "longest s"))  # fmt: skip
    for _ in range(args.writers):
        for processes, turns in ((1, True), (2, False), (2, True)):
            r = writers_try(processes, turns, args.seconds, work)
            print(
                "%-9d %-10s %9d %9d %9d %8.2f %9.0f %10.2f"
                % (processes, "lock file" if turns else "sqlite", r["handed"], r["dropped"], r["stored"],
                   r["took"], r["stored"] / r["took"], r["longest"]),
                flush=True,
            )  # fmt: skip
    return 0


def run_stops(args, versions, work: str) -> int:
    print("uvicorn --workers 2, keep=every, 16 client threads, stopped 1.5 s into the load")
    for version, file in versions:
        for signum in (signal.SIGTERM, signal.SIGINT):
            tries = [stop_try(signum, file, work) for _ in range(args.stops)]
            lost = [answered - kept for answered, kept in tries]
            print(
                "%-7s %-8s tries %d: answered %d, stored %d, lost %d (tries losing some: %d)"
                % (version, signal.Signals(signum).name, len(tries), sum(a for a, _ in tries),
                   sum(k for _, k in tries), sum(lost), sum(1 for n in lost if n)),
                flush=True,
            )  # fmt: skip
    return 0


def run_load(args, setups, modes, versions, work: str) -> int:
    print(
        "machine: %d cores (shared), %s; %gs of load per run, 64 connections (wrk -t1); load average %s"
        % (os.cpu_count(), sys.version.split()[0], args.seconds, " ".join("%.1f" % x for x in os.getloadavg()))
    )
    results = []
    import random

    plan = [
        (setup, mode, version, file)
        for setup in setups
        for mode in modes
        for version, file in (versions if mode != "bare" else [("-", None)])
    ]
    for round_ in range(args.rounds):
        # A new order each round: the machine's drift falls on every setup alike.
        order = plan[:] if round_ == 0 else random.sample(plan, len(plan))
        for setup, mode, version, file in order:
            r = run_one(setup, mode, version, file, args, work)
            r["round"] = round_
            results.append(r)
            print(
                "  %s %s %s: %.0f req/s, stored %d/%d, dropped %d"
                % (setup, mode, version, r["rps"], r["stored"], r["responses"], r["dropped"]),
                flush=True,
            )
            if args.show_logs and r["log"].strip():
                print(textwrap.indent(r["log"][-2000:], "    | "))
    print("load average after the runs: %s" % " ".join("%.1f" % x for x in os.getloadavg()))
    results.sort(key=lambda r: plan.index(next(p for p in plan if p[:3] == (r["setup"], r["mode"], r["version"]))))
    print_table(results, args.rounds)
    return 0


def median(values):
    values = sorted(values)
    return values[len(values) // 2] if values else float("nan")


def print_table(results, rounds: int) -> None:
    print()
    print(
        "medians over %d round(s) (worst: the worst of the rounds; stored, responses and dropped: summed);"
        " x bare: the median of each round's ratio to bare's" % rounds
    )
    header = "%-9s %-7s %-7s %9s %6s %8s %8s %8s %7s %7s %14s %7s" % (
        "setup", "mode", "version", "req/s", "x bare", "p50", "p99", "worst", "CPU ms", "RSS MB",
        "stored/resp", "dropped",
    )  # fmt: skip
    print(header)
    print("-" * len(header))
    seen = []
    for r in results:
        key = (r["setup"], r["mode"], r["version"])
        if key in seen:
            continue
        seen.append(key)
        runs = [x for x in results if (x["setup"], x["mode"], x["version"]) == key]
        ratios = []
        for x in runs:
            bare = [b for b in results if b["setup"] == x["setup"] and b["mode"] == "bare" and b["round"] == x["round"]]
            if bare and bare[0]["rps"]:
                ratios.append(x["rps"] / bare[0]["rps"])
        print(
            "%-9s %-7s %-7s %9.0f %6.2f %7.1fms %7.1fms %7.2fs %7.2f %7.0f %14s %7d"
            % (
                key[0], key[1], key[2], median([x["rps"] for x in runs]), median(ratios),
                median([x["p50"] for x in runs]) * 1000, median([x["p99"] for x in runs]) * 1000,
                max(x["worst"] for x in runs), median([x["cpu_ms"] for x in runs]),
                median([x["rss"] for x in runs]),
                "%d/%d" % (sum(x["stored"] for x in runs), sum(x["responses"] for x in runs)),
                sum(x["dropped"] for x in runs),
            )
        )  # fmt: skip


if __name__ == "__main__":
    sys.exit(main())
