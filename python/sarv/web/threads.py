"""One request recorded on the thread that serves it (WSGI servers, Django, Flask)."""

from __future__ import annotations

import threading
import time

from sarv.web import late
from sarv.web.markers import _sarv_request_end, _sarv_request_start
from sarv.web.saving import _save
from sarv.web.settings import (
    RequestSettings,
    _hooks,
    _is_sarv_hook,
    _native,
    _RequestProfiler,
    _restore,
    _thread_hook,
    _warn_once,
)

_threads = threading.local()  # .recording: the request being recorded on this thread


class _Recording:
    """One request recorded on the calling thread: its profiler holds the
    thread's hook from `begin` to `finish`, except while the server, not the
    app, runs between the parts of a WSGI response body (`pause`). In "slow"
    mode the hook is off until the request has taken `slower_than` seconds
    (sarv.web.late): `armed` says whether it is on (but for pauses)."""

    __slots__ = (
        "settings",
        "profiler",
        "previous",
        "triggered",
        "method",
        "path",
        "started",
        "status",
        "in_app",
        "paused",
        "done",
        "thread",
        "armed",
        "recorded_from",
        "stack_then",
    )

    def __init__(self, settings, profiler, previous, triggered, method, path) -> None:
        self.settings = settings
        self.profiler = profiler
        self.previous = previous
        self.triggered = triggered
        self.method = method
        self.path = path
        self.status = None
        self.in_app = False  # the app is being called: a request inside it is part of this one
        self.paused = False
        self.done = False
        self.thread = threading.get_ident()  # whose hook this recording holds
        self.armed = True
        self.recorded_from = None  # recorded late: seconds into the request when the hook came
        self.stack_then = None  # and the frames running then
        self.started = time.perf_counter()

    @classmethod
    def begin(cls, settings: RequestSettings, triggered: bool, method, path, query="", headers=None):
        """The recording, or None when the request is not recorded."""
        active = getattr(_threads, "recording", None)
        if active is not None and not active.done and active.in_app:
            return None  # a middleware inside another: the outer trace has it all
        cls.end_unfinished()
        previous = _thread_hook()
        if previous is not None and not _is_sarv_hook(previous):
            _warn_once(
                "foreign", "sarv: requests are not recorded on threads that run another profile hook (%r)", previous
            )
            return None
        try:
            profiler = _thread_profiler(settings)
        except Exception:
            _restore(previous)
            _warn_once("register", "sarv could not start profiling a request", exc_info=True)
            return None
        recording = cls(settings, profiler, previous, triggered, method, path)
        _threads.recording = recording
        _sarv_request_start(method, path, query, headers)
        slower_than = settings.slower_than
        if slower_than and not triggered and previous is None and late.POSSIBLE:
            # Quick requests are dropped: no hook until this one is known to be slow.
            recording.armed = False
            _restore(None)
            late.watch(recording, recording.started + slower_than, slower_than)
        return recording

    def arm_late(self) -> None:
        """On the watchdog's thread: the request has taken `slower_than` seconds; its
        calls are recorded from now on (its own thread's hook installed from here)."""
        with late.lock:
            if self.done or self.armed:
                return
            self.recorded_from = time.perf_counter() - self.started
            self.stack_then = late.stack_of(self.thread)
            # (while paused the server runs: the hook comes with the next part of the body)
            self.armed = self.paused or _hooks().arm_thread(self.thread, self.profiler.rust_profiler)
            if not self.armed:  # (another hook came on that thread meanwhile)
                self.recorded_from = self.stack_then = None

    @staticmethod
    def end_unfinished() -> None:
        """Before the thread's next request, recorded or not: if the body of its
        last recorded response was never closed nor read to its end (a test
        client's unread response), the thread has moved on and the recording
        ends now, so that its trace does not take in the requests after it."""
        active = getattr(_threads, "recording", None)
        if active is not None and not active.done and not active.in_app:
            active.finish()

    def header_now(self) -> bool:
        return self.settings.header_now(self.triggered, self.started)

    # Between the app's return and each part of its body the server runs: sending
    # headers, writing to the socket, or a test client building its response. None of
    # that is the request's, and on 3.11 a profile hook makes every line of it dearer.

    # A server that reads or closes the body on another thread (none of the usual ones
    # does) leaves the hooks of that thread alone: its parts are then not recorded.

    def pause(self) -> None:
        if not self.paused and not self.done and threading.get_ident() == self.thread:
            with late.lock:
                self.paused = True
                if self.armed:
                    _restore(self.previous)

    def resume(self) -> None:
        if self.paused and threading.get_ident() == self.thread:
            with late.lock:
                self.paused = False
                if self.armed:
                    self.profiler.rust_profiler.register_threading_profiler(None, None, None)

    def finish(self) -> str | None:
        """Ends the recording; the trace id if the trace was kept."""
        if self.done:
            return None
        own_thread = threading.get_ident() == self.thread
        with late.lock:
            self.done = True  # (the watchdog arms it no more)
            hooked = self.armed and not self.paused
        duration = time.perf_counter() - self.started
        keep = self.settings.keeps(self.triggered, duration)
        if keep and not self.armed:
            self.recorded_from = duration  # slow, but it ended before the watchdog came
        if own_thread and not hooked and (self.armed or keep):
            hooked = True  # for the end marker
            self.profiler.rust_profiler.register_threading_profiler(None, None, None)
        self.paused = False
        request = (self.method, self.path, self.status, duration)
        _sarv_request_end(*request, None, self.recorded_from, self.stack_then)
        if hooked and own_thread:
            _restore(self.previous)
        if not keep:
            # Dropped: the buffers are emptied now rather than held until the next request.
            _hooks().restart_trace(self.profiler.rust_profiler, self.profiler.trace_id)
            return None
        return _save(self.profiler, request)


def _thread_profiler(settings: RequestSettings) -> _RequestProfiler:
    """The calling thread's profiler for these settings, its hook installed on the thread,
    starting a new trace. Kept from one request to the next: a new profiler would have
    to decide afresh about every code object the request runs."""
    native = _native()
    kept = _threads.__dict__.setdefault("profilers", {})
    profiler = kept.get(settings)
    if profiler is None:
        profiler = _RequestProfiler(settings)
        native.register_profiler(profiler)  # installs its hook on this thread
        kept[settings] = profiler
        return profiler
    profiler.trace_id = _hooks().new_trace_id()
    _hooks().restart_trace(profiler.rust_profiler, profiler.trace_id)
    profiler.rust_profiler.register_threading_profiler(None, None, None)  # installs its hook
    return profiler
