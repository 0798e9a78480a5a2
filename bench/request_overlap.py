"""One in 100 under an event loop with many requests in flight: the middleware around a
small ASGI app (three suspensions a request, objects made at each step), called directly on
one loop, N requests in flight at once. Each setting in a process of its own, side by side
in one run; CPU time a request and its ratio to the app without the middleware.

    python bench/request_overlap.py                 # 32 in flight, 6000 requests
    python bench/request_overlap.py --in-flight 1

Settings: bare (no middleware); never (one_in so large that no request after the first is
recorded); steps (one in 100, the hook only during the recorded request's steps: before
3.12); whole (one in 100, the hook on the loop's thread from the recorded request's start to
its end, as from 3.12)."""

from __future__ import annotations

import argparse
import os
import subprocess
import sys

CHILD = r"""
import asyncio, os, sys, tempfile, time
setting, count, in_flight = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
import sarv.web.asgi
from sarv.asgi import SarvMiddleware

if setting == "whole":
    sarv.web.asgi._STEP_HOOKS = False


class Item:
    def __init__(self, number):
        self.number = number

    def price(self):
        return self.number * 2


def work():
    return sum(Item(i).price() for i in range(40))


async def app(scope, receive, send):
    for _ in range(3):
        await asyncio.sleep(0)
        work()
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": b"ok"})


db = os.path.join(tempfile.mkdtemp(), "t.sqlite3")
one_in = {"never": 10**9}.get(setting, 100)
handler = app if setting == "bare" else SarvMiddleware(app, db_path=db, one_in=one_in)


async def receive():
    return {"type": "http.request", "body": b"", "more_body": False}


async def send(message):
    pass


async def client(requests):
    for _ in range(requests):
        scope = {"type": "http", "method": "GET", "path": "/work", "query_string": b"", "headers": []}
        await handler(scope, receive, send)


async def main():
    await asyncio.gather(*(client(20) for _ in range(in_flight)))  # (warm-up)
    began = time.process_time()
    await asyncio.gather(*(client(count // in_flight) for _ in range(in_flight)))
    return (time.process_time() - began) / (count // in_flight * in_flight)


print(asyncio.run(main()))
"""

SETTINGS = ("bare", "never", "steps", "whole")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--requests", type=int, default=6000)
    parser.add_argument("--in-flight", type=int, default=32)
    parser.add_argument("--rounds", type=int, default=3, help="the median of this many processes per setting")
    args = parser.parse_args()
    print(
        "%d requests, %d in flight, CPU a request (median of %d); load average %s"
        % (args.requests, args.in_flight, args.rounds, " ".join("%.1f" % x for x in os.getloadavg()))
    )
    figures = {s: [] for s in SETTINGS}
    for _ in range(args.rounds):
        for setting in SETTINGS:  # (side by side: the machine's drift falls on each alike)
            out = subprocess.run(
                [sys.executable, "-c", CHILD, setting, str(args.requests), str(args.in_flight)],
                capture_output=True, text=True, check=True,
            ).stdout  # fmt: skip
            figures[setting].append(float(out.split()[-1]))
    bare = sorted(figures["bare"])[args.rounds // 2]
    for setting in SETTINGS:
        value = sorted(figures[setting])[args.rounds // 2]
        print("%-6s %8.1f us %6.2fx" % (setting, value * 1e6, value / bare))
    return 0


if __name__ == "__main__":
    sys.exit(main())
