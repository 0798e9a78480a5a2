"""Slow only, recorded late: a request runs without a profile hook until it has
taken `slower_than` seconds; then a watchdog thread installs its profiler's hook
on the request's thread, and its calls from then on are recorded.

A profile hook makes every call dearer, whatever the hook does with it (on 3.11
the interpreter builds a frame object for each), and nearly all of a request's
calls are its framework's, which the trace leaves out: recorded in full, a quick
request that is then dropped cost as much as one kept. Late, a quick request
costs its start record and a place in the watchdog's queue.

What the trace of a request recorded late says of it: its start record (taken
at its start, as always); the calls made after the watchdog armed its thread
(the functions running then show only their returns); the end record, with
`recorded_from` (the seconds into the request from which its calls are
recorded) and `stack_then` (the frames that were running at that moment,
outermost first, "file:line function"). Where a thread cannot be armed from
another (3.12 and newer, or a thread with another hook), the request is
recorded from its start as before."""

from __future__ import annotations

import _thread
import heapq
import itertools
import math
import os
import sys
import threading
import time

# Guards the recordings' states that the watchdog and their own threads change
# (armed, paused, done) and the watchdog's queue. (Read as late.lock: made anew in a
# forked child.)
lock = threading.Lock()
_wake = threading.Condition(lock)
_queue: list = []  # (deadline, n, recording): heapq by deadline
_numbers = itertools.count()
_thread_started = False

STACK_FRAMES = 48  # frames kept of the stack at arming, innermost ones

# Whether a thread's hook can be installed from another thread on this interpreter.
POSSIBLE = sys.version_info < (3, 12)


# The watchdog wakes on a grid of ticks (at most TICK apart, finer for low thresholds):
# a deadline is put off to the next tick, so that one wake serves every request due within
# it. Woken at each request's own deadline (a request is nearly always over by then), it
# took the interpreter lock from the requests' threads once per request.
TICK = 0.01


def watch(recording, deadline: float, slower_than: float) -> None:
    """Arms `recording` (its `arm_late()`) once time.perf_counter() passes `deadline`
    (at most TICK or an eighth of `slower_than` later), unless it is done by then."""
    global _thread_started
    tick = min(TICK, slower_than / 8) or TICK
    deadline = math.ceil(deadline / tick) * tick
    with lock:
        heapq.heappush(_queue, (deadline, next(_numbers), recording))
        if not _thread_started:
            # A bare thread: no profile hook that threading gives its threads follows it.
            _thread.start_new_thread(_run, ())
            _thread_started = True
        elif _queue[0][2] is recording:
            _wake.notify()  # (sooner than the watchdog's next wake: rare, deadlines grow)


def _run() -> None:
    while True:
        due = []
        with lock:
            while not due:
                now = time.perf_counter()
                while _queue and (_queue[0][2].done or _queue[0][0] <= now):
                    entry = heapq.heappop(_queue)
                    if not entry[2].done:
                        due.append(entry[2])
                if due:
                    break
                _wake.wait(_queue[0][0] - now if _queue else None)
        for recording in due:
            try:
                recording.arm_late()
            except Exception:
                pass  # (that request stays unrecorded; the next ones are still watched)


def stack_of(thread_id: int) -> list:
    """The frames running on a thread, outermost first, as "file:line function" (the
    innermost STACK_FRAMES)."""
    frame = sys._current_frames().get(thread_id)
    shown = []
    while frame is not None and len(shown) < STACK_FRAMES:
        code = frame.f_code
        shown.append("%s:%d %s" % (code.co_filename, frame.f_lineno or 0, getattr(code, "co_qualname", code.co_name)))
        frame = frame.f_back
    shown.reverse()
    return shown


def _after_fork() -> None:
    # The child has no watchdog thread; its requests start one.
    global _thread_started, lock, _wake, _queue
    lock = threading.Lock()
    _wake = threading.Condition(lock)
    _queue = []
    _thread_started = False


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork)
