"""The ASGI middleware: many requests interleaved on one event loop's thread,
each recorded through the profiler its context holds; their own time for
"slow"; the trace header on error responses; work handed to worker threads."""

from __future__ import annotations

import asyncio
import collections.abc
import contextvars
import math
import operator
import sys
import threading
import time
import weakref
from typing import Any

from sarv.web import late
from sarv.web.markers import _asgi_headers, _sarv_request_end, _sarv_request_start, _shown_query
from sarv.web.saving import _save, _saving_before_shutdown
from sarv.web.settings import (
    TRACE_HEADER,
    RequestSettings,
    _hooks,
    _is_sarv_hook,
    _native,
    _RequestProfiler,
    _restore,
    _thread_hook,
    _warn_once,
)

# [the profiler] (the core's object) of the request whose context runs; the hook of
# register_context_profiler reads it at every event. [None] once the request is over (a task
# it started may outlive it, and its profiler goes on to another request) and, for a
# request recorded late (slow only), until it is armed.
# (No default: where it is unset, the hook falls back on the profiler that was there before.)
_current_request: contextvars.ContextVar = contextvars.ContextVar("sarv_request")
# The _AsgiRequest whose context runs, for the work it hands to worker threads.
_request_running: contextvars.ContextVar = contextvars.ContextVar("sarv_request_running")


class _LoopThread:
    """The requests in flight on one thread (an event loop's) whose calls are
    recorded, and the hook that was there before the first of them. (Changed
    under late.lock: the watchdog arms requests recorded late.) And the profilers
    of requests that are over, for the next ones: a new profiler reads the
    configuration's plugins and decides afresh about every code object it meets."""

    __slots__ = ("active", "previous", "free")

    def __init__(self) -> None:
        self.active = 0
        self.previous = None
        self.free = {}  # RequestSettings -> [_RequestProfiler, ...]


_FREE_PROFILERS = 16  # kept per loop thread and middleware; more are made for a burst


class _Busy(threading.local):
    """The seconds this thread spent running timed requests' code (_OwnTime), in a
    cell of its own that other threads read (a thread-local's attributes read from
    another thread are that thread's own)."""

    def __init__(self) -> None:
        self.cell = [0.0]
        _busy_cells.append(self.cell)


_busy_cells: list = []  # one per thread that ran timed code (each written by its thread alone)
_busy = _Busy()


def _busy_total() -> float:
    return math.fsum(map(_first, _busy_cells))  # (a thread appending a cell meanwhile: seen or not)


_first = operator.itemgetter(0)


class _OwnTime:
    """A request's own time under an event loop, for "slow": the time since it
    began less the time the process spent meanwhile running the other timed
    requests' code (their steps on any event loop, their work in worker
    threads): one runs at a time under the interpreter lock, and waiting for
    the loop or the lock behind them is not the request's own. Waiting for
    I/O or a sleep with the process otherwise idle is. Its own steps are
    timed by `run`, its work in worker threads by _in_request_thread."""

    __slots__ = ("begun", "busy_at_begin", "own")

    def __init__(self) -> None:
        self.own = 0.0
        self.busy_at_begin = _busy_total()
        self.begun = time.perf_counter()

    def elapsed(self) -> float:
        others = _busy_total() - self.busy_at_begin - self.own
        return max(time.perf_counter() - self.begun - others, self.own)

    def count(self, seconds: float) -> None:
        self.own += seconds
        _busy.cell[0] += seconds


# Before 3.12 a request recorded under an event loop that finds no hook on the loop's thread
# has the hook there only while its own steps run, and those of the tasks it starts: left on
# from its start to its end, every other request the loop interleaved meanwhile paid it at
# each call (on 3.11 a frame object and the hook's call), and with 64 connections one in
# 100 kept the hook on for a third of the unsampled requests. From 3.12 a profile function
# set or taken off has every thread's code instrumented anew: the hook stays on there.
_STEP_HOOKS = sys.version_info < (3, 12)


def _hook_on() -> bool:
    """The context hook on this thread for a step of a request recorded step by step;
    whether it was put on (a hook there already stays: another request's, which hands
    the events by context too, or another profiler's)."""
    if sys.getprofile() is not None:
        return False
    try:
        _hooks().register_context_profiler(_current_request, None)
    except Exception:  # (the step runs unrecorded rather than fail the request)
        _warn_once("step", "sarv could not record a step of a request", exc_info=True)
        return False
    return True


class _Steps:
    """A request's coroutine, each step timed for its own time (`count`), run under the
    context hook (`hooked`: recorded step by step), or both."""

    __slots__ = ("coroutine", "count", "hooked")

    def __init__(self, coroutine, count, hooked: bool) -> None:
        self.coroutine = coroutine
        self.count = count
        self.hooked = hooked

    def __await__(self):
        coroutine, count, hooked = self.coroutine, self.count, self.hooked
        clock_now = time.perf_counter
        value = error = None
        while True:
            start = clock_now()
            on = hooked and _hook_on()
            try:
                yielded = coroutine.send(value) if error is None else coroutine.throw(error)
            except StopIteration as done:
                return done.value
            finally:
                if on:
                    _restore(None)
                if count is not None:
                    count(clock_now() - start)
            value = error = None
            try:
                value = yield yielded
            except GeneratorExit:
                coroutine.close()
                raise
            except BaseException as exc:
                error = exc


class _HookedCoroutine(collections.abc.Coroutine):
    """The coroutine of a task started from the context of a request recorded step by
    step (it is in the request's trace): each of its steps runs under the context hook,
    as the request's own do. Other attributes are the coroutine's."""

    __slots__ = ("_coroutine", "_holder")

    def __init__(self, coroutine, holder: list) -> None:
        self._coroutine = coroutine
        self._holder = holder  # (emptied at the request's end: a task outliving it runs unhooked)

    def send(self, value):
        on = self._holder[0] is not None and _hook_on()
        try:
            return self._coroutine.send(value)
        finally:
            if on:
                _restore(None)

    def throw(self, typ, val=None, tb=None):
        on = self._holder[0] is not None and _hook_on()
        try:
            return self._coroutine.throw(typ) if val is None and tb is None else self._coroutine.throw(typ, val, tb)
        finally:
            if on:
                _restore(None)

    def close(self) -> None:
        self._coroutine.close()

    def __await__(self):
        return self._coroutine.__await__()

    def __getattr__(self, name):
        return getattr(self._coroutine, name)


_stepping_loops: weakref.WeakSet = weakref.WeakSet()


def _steps_on() -> bool:
    """Whether the running loop's tasks started from a recorded request's context run
    step by step under the hook (the loop's task factory, put around any it had)."""
    try:
        loop = asyncio.get_running_loop()
    except RuntimeError:  # another event loop (trio)
        return False
    if loop in _stepping_loops:
        return True
    inner = loop.get_task_factory()

    def task_factory(loop, coro, **keywords):
        context = keywords.get("context")
        holder = context.get(_current_request) if context is not None else _current_request.get(None)
        if holder is not None and holder[0] is not None:
            coro = _HookedCoroutine(coro, holder)
        if inner is not None:
            return inner(loop, coro, **keywords)
        return asyncio.Task(coro, loop=loop, **keywords)

    try:
        _stepping_loops.add(loop)  # (first: a loop that cannot be named weakly gets no factory)
    except TypeError:
        return False
    try:
        loop.set_task_factory(task_factory)
    except Exception:
        _stepping_loops.discard(loop)
        return False
    return True


_loop_threads = threading.local()


def _loop_thread() -> _LoopThread:
    state = getattr(_loop_threads, "state", None)
    if state is None:
        state = _loop_threads.state = _LoopThread()
    return state


def _is_context_hook(hook) -> bool:
    return type(hook) is tuple and len(hook) == 2 and hook[0] is _current_request


class AsgiMiddleware:
    """`AsgiMiddleware(app, **keywords)`: records each HTTP request of an
    ASGI app (keywords: see the module doc); other scopes (websocket,
    lifespan) pass through unrecorded."""

    def __init__(self, app, **keywords: Any) -> None:
        self.app = app
        self.settings = RequestSettings(**keywords)
        self._placed = False
        _wrap_thread_pools()

    async def __call__(self, scope, receive, send):
        settings = self.settings
        if not self._placed:
            self._placed = True
            _name_traces_of_errors(self, scope)
        if scope.get("type") == "lifespan":
            return await self.app(scope, receive, _saving_before_shutdown(send))
        if scope.get("type") != "http":
            return await self.app(scope, receive, send)
        triggered = settings.triggered_asgi(scope)
        if not settings.records(triggered):
            return await self.app(scope, receive, send)
        request = _AsgiRequest(settings, triggered, scope)
        if not request.begin(scope):
            return await self.app(scope, receive, send)
        await request.run(self.app, scope, receive, send)


class _AsgiRequest:
    """One recorded HTTP request under AsgiMiddleware, from its start record to its
    trace handed over."""

    __slots__ = ("settings", "triggered", "method", "path", "profiler", "token", "holder", "state", "lateness",
                 "status", "begun", "clock", "workers", "stepping")  # fmt: skip

    def __init__(self, settings: RequestSettings, triggered: bool, scope) -> None:
        self.settings = settings
        self.triggered = triggered
        self.method = scope.get("method", "")
        self.path = (scope.get("root_path") or "") + (scope.get("path") or "")
        self.lateness = _LateRequest.wanted(settings, triggered)
        self.status = None
        self.workers = set()  # idents of the worker threads running its work now
        self.begun = time.perf_counter()
        # "slow" decides by the request's own time, not its time waiting for the loop.
        self.clock = _OwnTime() if settings.slower_than is not None and not triggered else None

    def begin(self, scope) -> bool:
        """Starts recording (its start record written); False if it is not recorded."""
        # What the start record holds, read before the hook comes: every call under it costs.
        query = _shown_query(self.settings, scope.get("query_string"))
        headers = _asgi_headers(scope)
        started = _begin_in_context(self.settings, self.lateness)
        if started is None:
            return False
        self.profiler, self.token, self.holder, self.state, self.stepping = started
        if self.stepping:
            on = _hook_on()
            _sarv_request_start(self.method, self.path, query, headers)
            if on:
                _restore(None)
        else:
            _sarv_request_start(self.method, self.path, query, headers)
        if self.lateness is not None:
            self.lateness.watch(self.begun, self.settings.slower_than, self.clock)
        return True

    def elapsed(self) -> float:
        return self.clock.elapsed() if self.clock is not None else time.perf_counter() - self.begun

    def sending(self, send):
        async def send_wrapper(message):
            if message.get("type") == "http.response.start":
                self.status = message.get("status")
                if self.settings.header_after(self.triggered, self.elapsed()):
                    headers = list(message.get("headers") or ())
                    headers.append((_TRACE_HEADER_NAME, self.profiler.trace_id.encode("ascii")))
                    message = dict(message, headers=headers)
            await send(message)

        return send_wrapper

    async def run(self, app, scope, receive, send) -> None:
        clock = self.clock
        token = _request_running.set(self)
        try:
            if clock is None and not self.stepping:
                await app(scope, receive, self.sending(send))
            else:
                count = clock.count if clock is not None else None
                await _Steps(app(scope, receive, self.sending(send)), count, self.stepping)
        except BaseException:
            self.failed(scope)
            raise
        finally:
            _request_running.reset(token)
            self.end()

    def failed(self, scope) -> None:
        if self.status is None:
            self.status = 500
            named = scope.get(_ERROR_RESPONSE_KEY)
            if named is not None and self.settings.header_after(self.triggered, self.elapsed()):
                named.append(self.profiler.trace_id)  # for the error response sent outside this middleware

    def end(self) -> None:
        duration = time.perf_counter() - self.begun
        # (read after the duration: clamped, so a request is never its own time longer than its time)
        own = min(self.clock.elapsed(), duration) if self.clock is not None else None
        request = (self.method, self.path, self.status, duration)
        keep = self.settings.keeps(self.triggered, duration if own is None else own)
        lateness = self.lateness
        if self.stepping:
            on = _hook_on()
            _sarv_request_end(*request, own)
            if on:
                _restore(None)
        elif lateness is None:
            _sarv_request_end(*request, own)
        else:
            lateness.end(keep, duration)
            _sarv_request_end(*request, own, lateness.recorded_from, lateness.stack_then)
        self.holder[0] = None  # (what the request started and outlives it is not recorded)
        _end_in_context(self.token, not self.stepping and (lateness is None or lateness.counted))
        if keep:
            _save(self.profiler, request)
        if not self.workers and (lateness is None or not lateness.workers):
            _release_profiler(self.state, self.settings, self.profiler)


# Starlette's app.add_middleware puts a middleware inside ServerErrorMiddleware, which
# answers an exception with its 500 response after the exception has left the middleware,
# through the server's send: the middleware then leaves the trace's id in the request's
# scope, under this key, for a layer placed outside ServerErrorMiddleware.
_ERROR_RESPONSE_KEY = "sarv.error_trace"
_TRACE_HEADER_NAME = TRACE_HEADER.lower().encode("latin-1")


class _ErrorResponseHeader:
    """Wraps a Starlette app's middleware stack: a response that starts without
    the trace header, after a SarvMiddleware inside saw the request fail,
    names that request's trace."""

    def __init__(self, app) -> None:
        self.app = app

    async def __call__(self, scope, receive, send):
        if scope.get("type") != "http":
            return await self.app(scope, receive, send)
        named = scope[_ERROR_RESPONSE_KEY] = []

        async def send_named(message):
            if named and message.get("type") == "http.response.start":
                headers = list(message.get("headers") or ())
                if not any(bytes(key).lower() == _TRACE_HEADER_NAME for key, _ in headers):
                    headers.append((_TRACE_HEADER_NAME, named[-1].encode("ascii")))
                    message = dict(message, headers=headers)
            await send(message)

        await self.app(scope, receive, send_named)


def _name_traces_of_errors(middleware, scope) -> None:
    """At the first scope a middleware sees (the lifespan's, under a server that runs
    it): where the middleware sits inside a Starlette app's stack (add_middleware),
    the stack is wrapped in _ErrorResponseHeader."""
    app = scope.get("app")
    stack = getattr(app, "middleware_stack", None)
    if stack is None or isinstance(stack, _ErrorResponseHeader):
        return
    inner = stack
    for _ in range(64):
        if inner is middleware:
            if inner is not stack:
                try:
                    app.middleware_stack = _ErrorResponseHeader(stack)
                except Exception:
                    pass
            return
        inner = getattr(inner, "app", None)
        if inner is None:
            return


def _in_request_thread(request: _AsgiRequest, func):
    """`func`, made to record the calls of the request whose context runs it on the
    worker thread that runs it; the thread's hook is taken back when it returns."""

    clock, lateness, workers = request.clock, request.lateness, request.workers

    def run(*args, **kwargs):
        begun = time.perf_counter()
        ident = threading.get_ident()
        workers.add(ident)  # (its profiler is not handed to another request meanwhile)
        if lateness is not None:
            lateness.worker_begins()
        else:
            hooked = _thread_hook() is None  # (else another profiler's thread, or already recording)
            if hooked:
                _hooks().register_context_profiler(_current_request, None)
        try:
            return func(*args, **kwargs)
        finally:
            if lateness is not None:
                hooked = lateness.worker_ends()
            if hooked:
                _restore(None)
            workers.discard(ident)
            if clock is not None:
                clock.count(time.perf_counter() - begun)

    return run


_pools_wrapped = False


def _wrap_thread_pools() -> None:
    """Starlette and FastAPI run plain `def` endpoints, dependencies and file reads in
    worker threads (anyio.to_thread.run_sync), in a copy of the request's context;
    asyncio.to_thread does the same. Work handed over from a recorded request's context
    carries the hook to its worker thread for its own time only, so a thread that runs
    no recorded request never has a hook (one a hook started with, through
    threading.setprofile, would slow every unrecorded request's calls there)."""
    global _pools_wrapped
    if _pools_wrapped:
        return
    _pools_wrapped = True
    import asyncio
    import functools

    def wrapped(original):
        @functools.wraps(original)
        async def handing_over(func, /, *args, **kwargs):
            request = _request_running.get(None)
            if request is not None:
                func = _in_request_thread(request, func)
            return await original(func, *args, **kwargs)

        handing_over.__sarv_wrapped__ = original
        return handing_over

    try:
        import anyio.to_thread
    except ImportError:
        pass
    else:
        anyio.to_thread.run_sync = wrapped(anyio.to_thread.run_sync)
    original = asyncio.to_thread
    asyncio.to_thread = asyncio.threads.to_thread = wrapped(original)


def _begin_in_context(settings: RequestSettings, lateness):
    """Starts the request's profiler and makes it the running context's (for a
    _LateRequest, until its start record is written); (profiler, token, holder,
    loop thread's state, whether it is recorded step by step), or None when the
    request is not recorded."""
    state = _loop_thread()
    hook = _thread_hook()
    # (the context hook with no request counted on the thread: a step's, of a request
    # recorded step by step that runs this one inside it, a middleware inside another)
    free = hook is None or (state.active == 0 and _is_context_hook(hook))
    if _STEP_HOOKS and lateness is None and free and _steps_on():
        try:
            profiler = _free_profiler(state, settings)
            if hook is not None:  # (a new profiler's registration took the step's hook off)
                _hooks().register_context_profiler(_current_request, None)
        except Exception:
            _warn_once("register", "sarv could not start profiling a request", exc_info=True)
            return None
        holder = [profiler.rust_profiler]
        return profiler, _current_request.set(holder), holder, state, True
    with late.lock:
        if state.active == 0 or not _is_context_hook(hook):
            if _is_context_hook(hook):
                previous = hook[1]
            elif hook is None or _is_sarv_hook(hook):
                previous = hook
            else:
                _warn_once(
                    "foreign", "sarv: requests are not recorded on threads that run another profile hook (%r)", hook
                )
                return None
            state.previous = previous
        state.active += 1  # (counted before the watchdog may look)
    try:
        profiler = _free_profiler(state, settings)
    except Exception:
        _warn_once("register", "sarv could not start profiling a request", exc_info=True)
        _end_in_context(None, True)
        return None
    holder = [profiler.rust_profiler]
    if lateness is not None and state.previous is None:
        lateness.begin(profiler, state, holder)
    elif lateness is not None:
        lateness.give_up()  # (under another sarv profiler: recorded from its start)
    token = _current_request.set(holder)
    _hooks().register_context_profiler(_current_request, state.previous)
    return profiler, token, holder, state, False


def _free_profiler(state: _LoopThread, settings: RequestSettings) -> _RequestProfiler:
    """A profiler for a new request on this loop thread, starting its trace: one of
    an earlier request's, else a new one (its own hook installed on the thread by the
    core: the caller replaces it)."""
    free = state.free.get(settings)
    if free:
        profiler = free.pop()
        profiler.trace_id = _hooks().new_trace_id()
        _hooks().restart_trace(profiler.rust_profiler, profiler.trace_id)  # (its start time too)
        return profiler
    profiler = _RequestProfiler(settings)
    _native().register_profiler(profiler)
    # Its events come through the context hook alone: the hook it was registered with goes
    # (and on 3.12+ it leaves sys.monitoring, whose events stay off while no profiler uses them).
    profiler.rust_profiler.unhook_threads()
    return profiler


def _release_profiler(state: _LoopThread, settings: RequestSettings, profiler: _RequestProfiler) -> None:
    """The profiler of a request that is over (its trace handed over or dropped),
    its buffers emptied, for the loop thread's next request."""
    free = state.free.setdefault(settings, [])
    if len(free) < _FREE_PROFILERS:
        try:
            _hooks().restart_trace(profiler.rust_profiler, profiler.trace_id)
        except Exception:
            return
        free.append(profiler)


def _end_in_context(token, counted: bool) -> None:
    if token is not None:
        _current_request.reset(token)
    if not counted:
        return
    state = _loop_thread()
    with late.lock:
        state.active -= 1
        if state.active == 0:
            previous, state.previous = state.previous, None
            _restore(previous)


class _LateRequest:
    """A request on an event loop recorded once it is known to be slow (see
    sarv.web.late): the context variable holds `holder`, [None] until the
    watchdog arms it, then [its profiler]; the loop's thread and the worker
    threads running its work then get the context hook (where they have none)."""

    __slots__ = ("holder", "profiler", "state", "loop", "workers", "armed", "done", "counted", "begun",
                 "slower_than", "clock", "recorded_from", "stack_then")  # fmt: skip

    @classmethod
    def wanted(cls, settings: RequestSettings, triggered: bool):
        return cls() if settings.slower_than and not triggered and late.POSSIBLE else None

    def __init__(self) -> None:
        self.holder = None
        self.workers = {}  # ident of a worker thread running its work -> whether hooked for it
        self.armed = self.done = False
        self.counted = True  # counted in the loop thread's active requests
        self.recorded_from = self.stack_then = None

    def begin(self, profiler, state: _LoopThread, holder: list) -> None:
        self.profiler = profiler.rust_profiler
        self.holder = holder  # [its profiler]: for the start record
        self.state = state
        self.loop = threading.get_ident()

    def give_up(self) -> None:
        self.armed = self.done = True

    def watch(self, begun: float, slower_than: float, clock: _OwnTime) -> None:
        """After the start record: the hook goes until the watchdog comes."""
        if self.done:
            return
        self.begun = begun
        self.slower_than = slower_than
        self.clock = clock
        with late.lock:
            self.holder[0] = None
            self.counted = False
            state = self.state
            state.active -= 1
            if state.active == 0:
                state.previous = None
                _restore(None)
        late.watch(self, begun + slower_than, slower_than)

    def arm_late(self) -> None:
        """On the watchdog's thread: the request is slow; its calls are recorded from now on.
        Slow by its own time, as it is judged at its end: a request that waited for the loop
        behind others is watched again for as long as it may yet take (armed by its time
        alone, under load nearly every request was, and its hook slowed the others)."""
        left = self.slower_than - self.clock.elapsed()
        if left > 0 and not self.done:
            late.watch(self, time.perf_counter() + left, self.slower_than)
            return
        if not self._armed_now() and _STEP_HOOKS and not self.done:
            # Another hook on the loop's thread: a step of a request recorded step by step
            # holds it for a moment (another profiler's stays: tried until the request ends).
            late.watch(self, time.perf_counter(), late.TICK)

    def _armed_now(self) -> bool:
        """Arms the request unless another hook holds the loop's thread; False then."""
        with late.lock:
            if self.done or self.armed:
                return True
            state = self.state
            if state.active == 0 and not _hooks().arm_thread(self.loop, _current_request):
                return False
            state.active += 1
            self.counted = self.armed = True
            self.holder[0] = self.profiler
            self.recorded_from = time.perf_counter() - self.begun
            # Where its work runs in a worker thread, what runs there now (on the loop, a
            # request's coroutine is not on the thread's stack while it waits).
            self.stack_then = late.stack_of(next(iter(self.workers))) if self.workers else None
            for ident in self.workers:
                self.workers[ident] = _hooks().arm_thread(ident, _current_request)
            return True

    def worker_begins(self) -> None:
        """On a worker thread about to run the request's work."""
        with late.lock:
            hooked = False
            if self.armed and not self.done and _thread_hook() is None:
                _hooks().register_context_profiler(_current_request, None)
                hooked = True
            self.workers[threading.get_ident()] = hooked

    def worker_ends(self) -> bool:
        """Whether the worker thread, its work done, carries the hook (to be taken off)."""
        with late.lock:
            return self.workers.pop(threading.get_ident(), False)

    def end(self, keep: bool, duration: float) -> None:
        """On the loop's thread, before the end record: slow but not armed yet, the
        hook comes for the end record."""
        with late.lock:
            if self.done:
                return
            self.done = True
            if self.armed or not keep:
                return
            state = self.state
            if state.active == 0:
                _hooks().register_context_profiler(_current_request, None)
            state.active += 1
            self.counted = True
            self.holder[0] = self.profiler
            self.recorded_from = duration
