"""A request's trace handed to the store without waiting for it: dropped and
counted (on the logger, beside a SQLite file) when the store cannot take it,
and waited for at a server's shutdown. How it is handed over is the requests'
destination (`request_destination`, a sarv.destinations.SaveSoon)."""

from __future__ import annotations

import atexit
import os
import threading
import time

from sarv import db as _db
from sarv.destinations import SaveSoon
from sarv.web.settings import _hooks, _logger, _RequestProfiler


def request_destination(db_path, timeout) -> SaveSoon:
    """Where and how the traces of requests are saved: on sarv's writer thread,
    never waited for by the request; dropped and counted (see _Dropped) when the
    saves already waiting fill the backlog (the store cannot keep up, or another
    process holds its write lock); a failure said on the logger."""
    return SaveSoon(db_path, timeout, wait=False, dropped=_dropped.add, failed=_save_failed)


def _save_failed(trace_id: str, error: BaseException) -> None:
    # A request must not fail because its trace could not be stored.
    _logger.warning(
        "sarv could not save the trace of a request (%s)",
        trace_id,
        exc_info=(type(error), error, error.__traceback__),
    )


def _save(profiler: _RequestProfiler, request: tuple) -> str | None:
    """Hands the request's trace to its destination (`request_destination`),
    so that the response does not wait for the disk; its id, or None if it
    could not be saved. `request`: what the end marker was called with
    (method, path, status, duration), for the row's columns."""
    trace_id = profiler.trace_id
    try:
        # The document is written now: the profiler goes on with the thread's next request.
        # (Described by the core: the writer thread then fills the row without walking the
        # records.) A large trace is copied too: stored from the profiler's buffers, by the
        # request's thread, it would hold the request for as long as the store is locked.
        document = _db.DescribedDocument(*_hooks().described_trace(profiler.rust_profiler), request)
    except Exception:
        _logger.warning("sarv could not save the trace of a request (%s)", trace_id, exc_info=True)
        return None
    return trace_id if profiler.destination.save(trace_id, document) else None


# Traces of requests dropped because the store could not take them: said on the logger
# "sarv" (at most every _DROPS_SAID_EVERY seconds, with the count since) and appended to a
# file beside a SQLite database (DROPPED_SUFFIX: "time pid count" lines), which
# `sarv traces` reads.
DROPPED_SUFFIX = ".dropped"
_DROPS_SAID_EVERY = 10.0


class _Dropped:
    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.total = 0
        self.unsaid = {}  # db path -> traces dropped since last said
        self.said_at = {}  # db path -> time.monotonic() when last said

    def add(self, db_path) -> None:
        now = time.monotonic()
        with self.lock:
            self.total += 1
            count = self.unsaid[db_path] = self.unsaid.get(db_path, 0) + 1
            if now - self.said_at.get(db_path, -_DROPS_SAID_EVERY) < _DROPS_SAID_EVERY:
                return
            self.said_at[db_path] = now
            self.unsaid[db_path] = 0
            total = self.total
        self.say(db_path, count, total)

    def say_all(self) -> None:
        """What is still unsaid (at exit, at a server's shutdown)."""
        with self.lock:
            unsaid, self.unsaid = self.unsaid, {}
            total = self.total
        for db_path, count in unsaid.items():
            if count:
                self.say(db_path, count, total)

    @staticmethod
    def say(db_path, count: int, total: int) -> None:
        _logger.warning(
            "sarv: %d traces of requests were dropped (%d in all in this process): the trace store %s "
            "did not keep up (or another process held it locked), and requests do not wait for it",
            count,
            total,
            _db.shown_location(db_path),
        )
        if _db.is_url(db_path):
            return
        try:
            fd = os.open(os.fspath(db_path) + DROPPED_SUFFIX, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o600)
            try:
                os.write(fd, b"%.3f %d %d\n" % (time.time(), os.getpid(), count))
            finally:
                os.close(fd)
        except OSError:
            pass


_dropped = _Dropped()
atexit.register(_dropped.say_all)


def dropped_traces(db_path, since: float | None = None) -> int:
    """The traces of requests dropped into a SQLite database (by every process,
    since `since`, seconds since the epoch), as `_Dropped` wrote them down."""
    try:
        with open(os.fspath(db_path) + DROPPED_SUFFIX, "rb") as f:
            lines = f.read().splitlines()
    except OSError:
        return 0
    total = 0
    for line in lines:
        parts = line.split()
        try:
            if len(parts) == 3 and (since is None or float(parts[0]) >= since):
                total += int(parts[2])
        except ValueError:
            continue
    return total


# How long a server's shutdown waits for the traces of its last requests to be stored.
_SHUTDOWN_SAVE_WAIT = 60.0


def _saving_before_shutdown(send):
    """The lifespan's send: the app's shutdown is reported done once the traces its
    requests handed over are stored. (uvicorn, stopped by SIGTERM or SIGINT, raises the
    signal again after its shutdown: the process then ends at once, its exit handlers
    skipped where the signal has no handler.)"""

    async def send_after_saves(message):
        if message.get("type") in ("lifespan.shutdown.complete", "lifespan.shutdown.failed"):
            await _saves_stored()
        await send(message)

    return send_after_saves


async def _saves_stored() -> None:
    import asyncio

    try:
        loop = asyncio.get_running_loop()
    except RuntimeError:  # another event loop (trio): no request runs any more
        _wait_for_saves()
        return
    await loop.run_in_executor(None, _wait_for_saves)


def _wait_for_saves() -> None:
    _dropped.say_all()
    try:
        if not _db.wait_for_saves(None, _SHUTDOWN_SAVE_WAIT):
            _logger.warning("sarv: traces of requests still waiting to be stored at shutdown may be lost")
    except Exception:
        _logger.warning("sarv could not wait for the traces of requests at shutdown", exc_info=True)
