"""One trace per web request: WSGI and ASGI middleware, a Django middleware
and a Flask extension (re-exported by sarv.wsgi, sarv.asgi, sarv.django and
sarv.flask).

    app = sarv.wsgi.SarvMiddleware(app, keep="sample", one_in=100)
    app = sarv.asgi.SarvMiddleware(app, slower_than=0.5, trace_header=True)

Keywords are those of `sarv.profiling()` (configuration keys: db_path,
filters, max_records, ...) and these, which choose the requests whose traces
are kept:

    keep          "every" request, a "sample" (one in `one_in`), only
                  requests carrying the "trigger", or "slow" ones (slower
                  than `slower_than` seconds: every request is recorded and
                  its trace dropped at the end if it was faster; under an
                  event loop by its own time, see _OwnTime, not counting
                  the time it waited for the loop behind other requests,
                  and its end record says that time). Default:
                  "slow" with slower_than, else "sample" with one_in, else
                  "trigger" with secret, else "every".
    one_in        for "sample": one request in this many (default 100)
    slower_than   for "slow": seconds
    secret        a request whose header `X-Sarv` (trigger_header) or query
                  parameter `sarv` (trigger_param) holds this text is always
                  recorded and kept, whatever `keep` says
    trace_header  answer with the header X-Sarv-Trace naming the trace
                  (in "slow" mode only when the request was slow by the time
                  its response started)

Each kept request is one trace of source "request", whose stored row carries
the request's method, path (without the query), status and duration: the
middleware calls two marker functions of this module around the request,
which plugin descriptions turn into "start_request" and "end_request"
records (the way sarv.pytest_plugin marks tests); the start record also
holds the query and the headers, secrets redacted (`sarv traces --header`,
`--request-id`). The response does not wait for the disk: the trace's
document is written when the request ends and stored by sarv's writer thread
a few milliseconds later (traces waiting together share one commit); readers
in the same process, and its exit, wait for what was handed over, and so
does an ASGI server's lifespan shutdown. Nor does a request wait for a store
that cannot keep up or is locked: past the saves that may wait, its trace is
dropped and counted (_Dropped). A server killed by a signal it does not
handle (SIGTERM, for one that has no handler, outside an ASGI lifespan)
loses what is still waiting.

Threads: a request is recorded on the thread that handles it (a threaded
WSGI server runs each on its own). An ASGI server interleaves many requests
on one event loop: the loop's thread then carries one profile hook that
hands each event to the profiler of the request whose context is running
(a context variable), so each trace holds only its own request's calls,
including those of tasks the request starts. Work a recorded request hands
to a worker thread through anyio.to_thread.run_sync (how Starlette and
FastAPI run plain `def` endpoints) or asyncio.to_thread carries that hook
to the thread for as long as it runs, so it is recorded with its request;
threads that run no recorded request's work never have a hook. (Other
threads are not recorded.)

A request that meets a profile hook sarv did not install (cProfile, a
debugger) is not recorded. One under another sarv profiler (pytest --sarv,
sarv.profiling()) is recorded on its own; the outer profiler resumes after
it and its trace does not hold the request.

Values under secret names are recorded as "[redacted]" (see sarv.serialize):
the Authorization, Cookie and Set-Cookie headers wherever a request object
holds them by name (a headers dict, WSGI's environ, Django's META, ASGI's
(name, value) pairs) and query parameters parsed into a dict or pairs. The
raw query string is kept as it is. The redact and redact_extra keywords hold
for the whole process from the moment the middleware is made.

This module runs while requests are profiled; the profiler leaves it out of
the traces.
"""

from __future__ import annotations

import atexit
import contextvars
import hmac
import itertools
import logging
import os
import sys
import threading
import time
from typing import Any
from urllib.parse import parse_qsl

from sarv import db as _db
from sarv.config import ConfigError, load_config, redact_entries

__all__ = [
    "DjangoMiddleware",
    "FlaskSarv",
    "RequestSettings",
    "TRACE_HEADER",
    "AsgiMiddleware",
    "WsgiMiddleware",
    "plugin_declarations",
]

TRACE_HEADER = "X-Sarv-Trace"
SOURCE = "request"
_PATH_FRAGMENT = "/sarv/middleware.py"
_KEEP_MODES = ("every", "sample", "trigger", "slow")
_logger = logging.getLogger("sarv")


# ---------------------------------------------------------------- markers


def _sarv_request_start(method, path, query=None, headers=None):
    """Marks the start of a request in its trace (see the module doc)."""
    return None


def _sarv_request_end(method, path, status, duration, own_duration=None):
    """Marks the end of a request in its trace (see the module doc)."""
    return None


def _start_record(frame, event, arg, context):
    values = frame.f_locals
    record = {"method": values.get("method"), "path": values.get("path")}
    query, headers = values.get("query"), values.get("headers")
    if query:
        record["query"] = query
    if headers:
        record["headers"] = headers
    return record


# What the start of a request's trace keeps of its headers: `sarv traces --header` and
# `--request-id` find a request by them. Secret names (Authorization, Cookie, ...) are kept
# as "[redacted]", long values cut.
_HEADER_VALUE_CHARS = 512
_HEADERS_KEPT = 64
_REDACTED = "[redacted]"


def _kept_headers(pairs) -> dict:
    """{lower-case name: value} of (name, value) text pairs, secrets redacted."""
    from sarv.serialize.redaction import _secret_name

    kept = {}
    for name, value in pairs:
        if len(kept) >= _HEADERS_KEPT:
            break
        name = name.lower()
        if name in kept:
            continue
        kept[name] = _REDACTED if _secret_name(name) else value[:_HEADER_VALUE_CHARS]
    return kept


def _wsgi_headers(environ) -> dict:
    pairs = [
        (key[5:].replace("_", "-"), value)
        for key, value in environ.items()
        if key.startswith("HTTP_") and isinstance(value, str)
    ]
    for key in ("CONTENT_TYPE", "CONTENT_LENGTH"):
        value = environ.get(key)
        if isinstance(value, str) and value:
            pairs.append((key.replace("_", "-"), value))
    return _kept_headers(pairs)


def _asgi_headers(scope) -> dict:
    return _kept_headers(
        (bytes(name).decode("latin-1"), bytes(value).decode("latin-1")) for name, value in scope.get("headers") or ()
    )


def _shown_query(settings, query) -> str:
    """The query as the trace shows it: the trigger parameter's value and those under
    secret names redacted (the rest as sent)."""
    if isinstance(query, bytes):
        query = query.decode("latin-1")
    if not query:
        return ""
    from sarv.serialize.redaction import _secret_name

    parts = []
    for part in query.split("&"):
        name, sep, value = part.partition("=")
        if sep and (name == settings.trigger_param or _secret_name(name)):
            part = name + "=" + _REDACTED
        parts.append(part)
    return "&".join(parts)


def _end_record(frame, event, arg, context):
    values = frame.f_locals
    record = {
        "method": values.get("method"),
        "path": values.get("path"),
        "status": values.get("status"),
        "duration": values.get("duration"),
    }
    own = values.get("own_duration")
    if own is not None:
        record["own_duration"] = own  # what "slow" decided by, under an event loop
    return record


def plugin_declarations() -> list:
    """The plugin entries (sarv.config "plugins") that mark requests."""
    return [
        {
            "co_names": [_sarv_request_start.__name__],
            "path_fragment": _PATH_FRAGMENT,
            "call_type": "start_request",
            "return_type": "start_request",
            "events": ["call"],
            "process": _start_record,
        },
        {
            "co_names": [_sarv_request_end.__name__],
            "path_fragment": _PATH_FRAGMENT,
            "call_type": "end_request",
            "return_type": "end_request",
            "events": ["return"],
            "process": _end_record,
        },
    ]


# --------------------------------------------------------------- settings


class RequestSettings:
    """The middleware's keywords, checked once: which requests to record and
    keep, and the profilers' configuration."""

    def __init__(
        self,
        keep: str | None = None,
        one_in: int | None = None,
        slower_than: float | None = None,
        secret: str | None = None,
        trace_header: bool = False,
        trigger_header: str = "X-Sarv",
        trigger_param: str = "sarv",
        start_dir=None,
        **config: Any,
    ) -> None:
        if keep is None:
            keep = (
                "slow"
                if slower_than is not None
                else "sample"
                if one_in is not None
                else ("trigger" if secret is not None else "every")
            )
        if keep not in _KEEP_MODES:
            raise ConfigError("keep: expected one of %s, got %r" % (", ".join(_KEEP_MODES), keep))
        if one_in is None:
            one_in = 100
        if isinstance(one_in, bool) or not isinstance(one_in, int) or one_in < 1:
            raise ConfigError("one_in: expected a whole number >= 1, got %r" % (one_in,))
        if keep == "slow":
            if isinstance(slower_than, bool) or not isinstance(slower_than, (int, float)) or not slower_than >= 0:
                raise ConfigError("slower_than: expected a number of seconds >= 0, got %r" % (slower_than,))
        if secret is not None and (not isinstance(secret, str) or not secret):
            raise ConfigError("secret: expected a non-empty string, got %r" % (secret,))
        if keep == "trigger" and secret is None:
            raise ConfigError('keep: "trigger" needs a secret')
        for name, value in (("trigger_header", trigger_header), ("trigger_param", trigger_param)):
            if not isinstance(value, str) or not value:
                raise ConfigError("%s: expected a non-empty string, got %r" % (name, value))
        self.keep = keep
        self.one_in = one_in
        self.slower_than = float(slower_than) if keep == "slow" else None
        self.secret = secret.encode("utf-8") if secret is not None else None
        self.trace_header = bool(trace_header)
        self.trigger_header = trigger_header
        self.trigger_param = trigger_param
        # What WSGI calls the header, and ASGI (lower case, bytes).
        self.environ_key = "HTTP_" + trigger_header.upper().replace("-", "_")
        self.header_key = trigger_header.lower().encode("latin-1")
        self.param_prefix = trigger_param + "="
        cfg = load_config(config, start_dir=start_dir, use="request")
        if cfg.get("threading"):
            # threading.setprofile is one for the process; requests come and go on many threads.
            raise ConfigError("threading: not available per request (each request is recorded on its own thread)")
        cfg["plugins"] = list(cfg["plugins"]) + plugin_declarations()
        self.config = cfg
        # Redaction is the process's serialisers': a middleware's redact/redact_extra hold
        # from the moment it is made.
        import sarv.serialize

        entries = tuple(redact_entries(cfg))
        if entries != sarv.serialize.redaction():
            sarv.serialize.set_redaction(entries)
        db_path = cfg.get("db_path") or _db.default_db_path()
        self.db_path = _db.location(db_path)
        self._counter = itertools.count()
        # What the core imports while it records and saves, imported here, before the
        # first requests race to import it from several threads.
        _native()
        import sarv.git, sarv.plugins, sarv.serialize, sarv.version  # noqa: E401,F401

    def records(self, triggered: bool) -> bool:
        """Whether to record a request, before it runs."""
        if triggered:
            return True
        if self.keep == "sample":
            return next(self._counter) % self.one_in == 0
        return self.keep != "trigger"

    def keeps(self, triggered: bool, duration: float) -> bool:
        """Whether to keep a recorded request's trace, once it is done."""
        return triggered or self.slower_than is None or duration >= self.slower_than

    def header_now(self, triggered: bool, started: float) -> bool:
        """Whether a response starting now gets the trace header."""
        return self.header_after(triggered, time.perf_counter() - started)

    def header_after(self, triggered: bool, elapsed: float) -> bool:
        """Whether a response starting after `elapsed` seconds of the request gets the
        trace header."""
        return self.trace_header and (triggered or self.slower_than is None or elapsed >= self.slower_than)

    def _matches(self, value, encoding: str = "latin-1") -> bool:
        # Header values arrive as their bytes (or, from WSGI, as those bytes decoded as
        # latin-1); query values percent-decoded as UTF-8.
        if isinstance(value, str):
            value = value.encode(encoding, "replace")
        return hmac.compare_digest(value, self.secret)

    def triggered_by_query(self, query) -> bool:
        if isinstance(query, bytes):
            query = query.decode("latin-1")
        if self.param_prefix not in query:
            return False
        if isinstance(query, str):
            query = query.encode("latin-1", "replace").decode("utf-8", "replace")  # WSGI's bytes-as-latin-1
        return any(
            k == self.trigger_param and self._matches(v, "utf-8") for k, v in parse_qsl(query, keep_blank_values=True)
        )

    def triggered_wsgi(self, environ) -> bool:
        if self.secret is None:
            return False
        header = environ.get(self.environ_key)
        if header is not None and self._matches(header):
            return True
        return self.triggered_by_query(environ.get("QUERY_STRING") or "")

    def triggered_asgi(self, scope) -> bool:
        if self.secret is None:
            return False
        for key, value in scope.get("headers") or ():
            if key.lower() == self.header_key and self._matches(value):
                return True
        return self.triggered_by_query(scope.get("query_string") or b"")


class _RequestProfiler:
    """What `sarv._sarv.register_profiler` reads, for one request (made per
    request, so without sarv.profiler.Profiler's checks of the configuration,
    done once by RequestSettings)."""

    __slots__ = ("config", "db_path", "trace_id", "rust_profiler")
    one_trace_per_test = False
    source = SOURCE

    def __init__(self, settings: RequestSettings) -> None:
        self.config = settings.config
        self.db_path = settings.db_path
        self.trace_id = _hooks().new_trace_id()
        self.rust_profiler = None

    def __call__(self, frame, event, arg):
        return None


_native_module = None
_warned = set()


def _native():
    global _native_module
    if _native_module is None:
        from sarv.profiler import _native as load

        _native_module = load()
    return _native_module


def _hooks():
    _native()  # the profilers these work on are made there
    from sarv import _requests

    return _requests


def _warn_once(key: str, message: str, *args, exc_info: bool = False) -> None:
    if key not in _warned:
        _warned.add(key)
        _logger.warning(message, *args, exc_info=exc_info)


def _thread_hook():
    """The thread's profile hook, or else the sarv profiler it records for through
    sys.monitoring (which sys.getprofile does not show)."""
    hook = sys.getprofile()
    if hook is None:
        hook = _hooks().monitored_profiler()  # however it was registered
    return hook


def _is_sarv_hook(hook) -> bool:
    return type(hook).__name__ == "SarvProfiler" and type(hook).__module__ == "sarv._sarv"


def _save(profiler: _RequestProfiler, request: tuple) -> str | None:
    """Hands the request's trace to sarv's writer thread, so that the response
    does not wait for the disk; its id, or None if it could not be saved.
    `request`: what the end marker was called with (method, path, status,
    duration), for the row's columns. A request never waits for the store:
    when the saves already waiting fill the backlog (the store cannot keep
    up, or another process holds its write lock), the trace is dropped and
    counted (see _Dropped)."""
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

    def done(error):
        if error is not None:
            # A request must not fail because its trace could not be stored.
            _logger.warning(
                "sarv could not save the trace of a request (%s)",
                trace_id,
                exc_info=(type(error), error, error.__traceback__),
            )

    timeout = profiler.config.get("sqlite_busy_timeout", 60)
    if _db.save_soon(profiler.db_path, trace_id, document, timeout, done, wait=False) is False:
        _dropped.add(profiler.db_path)
        return None
    return trace_id


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


def _status_code(status) -> int | None:
    try:
        return int(str(status).split(None, 1)[0])
    except (ValueError, IndexError):
        return None


# ---------------------------------------------------------- one thread


_threads = threading.local()  # .recording: the request being recorded on this thread


class _Recording:
    """One request recorded on the calling thread: its profiler holds the
    thread's hook from `begin` to `finish`, except while the server, not the
    app, runs between the parts of a WSGI response body (`pause`)."""

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
        return recording

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
            self.paused = True
            _restore(self.previous)

    def resume(self) -> None:
        if self.paused and threading.get_ident() == self.thread:
            self.paused = False
            self.profiler.rust_profiler.register_threading_profiler(None, None, None)

    def finish(self) -> str | None:
        """Ends the recording; the trace id if the trace was kept."""
        if self.done:
            return None
        self.resume()  # for the end marker
        self.done = True
        duration = time.perf_counter() - self.started
        request = (self.method, self.path, self.status, duration)
        _sarv_request_end(*request)
        if threading.get_ident() == self.thread:
            _restore(self.previous)
        if not self.settings.keeps(self.triggered, duration):
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


def _restore(previous) -> None:
    if previous is None:
        # No hook at all (rather than the core's no-op one): requests that are not
        # recorded cost nothing.
        _native().register_noop_profiler()  # off sys.monitoring too, where it records through it
        sys.setprofile(None)
    else:
        previous.register_threading_profiler(None, None, None)


# -------------------------------------------------------------------- WSGI


class WsgiMiddleware:
    """`WsgiMiddleware(app, **keywords)`: records each request of a WSGI app
    (keywords: see the module doc). The recording lasts until the server
    has read the response body to its end or closed it (or, for a body left
    unread, until the thread's next request); between the body's parts,
    while the server sends them, the hook is off."""

    def __init__(self, app, **keywords: Any) -> None:
        self.app = app
        self.settings = RequestSettings(**keywords)

    def __call__(self, environ, start_response):
        settings = self.settings
        triggered = settings.triggered_wsgi(environ)
        if not settings.records(triggered):
            _Recording.end_unfinished()
            return self.app(environ, start_response)
        recording = _Recording.begin(
            settings,
            triggered,
            environ.get("REQUEST_METHOD", ""),
            _wsgi_path(environ),
            _shown_query(settings, environ.get("QUERY_STRING")),
            _wsgi_headers(environ),
        )
        if recording is None:
            return self.app(environ, start_response)

        def start(status, headers, exc_info=None):
            recording.status = _status_code(status)
            if recording.header_now():
                headers = list(headers) + [(TRACE_HEADER, recording.profiler.trace_id)]
            return (
                start_response(status, headers, exc_info) if exc_info is not None else start_response(status, headers)
            )

        recording.in_app = True
        try:
            body = self.app(environ, start)
        except BaseException:
            if recording.status is None:
                recording.status = 500
            recording.finish()
            raise
        finally:
            recording.in_app = False
        recording.pause()
        return _ClosingBody(body, recording)


def _wsgi_path(environ) -> str:
    path = (environ.get("SCRIPT_NAME") or "") + (environ.get("PATH_INFO") or "")
    # WSGI hands the path as latin-1 text of the raw bytes.
    try:
        return path.encode("latin-1").decode("utf-8")
    except UnicodeError:
        return path


class _ClosingBody:
    """The app's response body; the recording ends when it has been read to
    its end, when reading it fails, or when the server closes it, whichever
    comes first (not when it is garbage, which may happen on another
    thread)."""

    __slots__ = ("body", "recording", "iterator")

    def __init__(self, body, recording: _Recording) -> None:
        self.body = body
        self.recording = recording
        self.iterator = None

    def __iter__(self):
        self.iterator = iter(self.body)
        return self

    def __next__(self):
        recording = self.recording
        recording.resume()
        recording.in_app = True  # the app's code runs: a request made by it is part of this one
        try:
            part = next(self.iterator)
        except BaseException:  # StopIteration included
            recording.in_app = False
            recording.finish()
            raise
        recording.in_app = False
        recording.pause()
        return part

    def close(self) -> None:
        recording = self.recording
        try:
            close = getattr(self.body, "close", None)
            if close is not None:
                recording.resume()
                recording.in_app = True
                close()
        finally:
            recording.in_app = False
            recording.finish()


# ------------------------------------------------------------------- Flask


class FlaskSarv:
    """Flask extension: `FlaskSarv(app, **keywords)` or `ext = FlaskSarv(**keywords)`
    then `ext.init_app(app)`. Wraps `app.wsgi_app`, so before/after-request
    hooks and other WSGI middleware inside it are in the trace. Keywords
    override the app's `SARV` config dict."""

    def __init__(self, app=None, **keywords: Any) -> None:
        self.keywords = keywords
        if app is not None:
            self.init_app(app)

    def init_app(self, app) -> None:
        keywords = dict(app.config.get("SARV") or {})
        keywords.update(self.keywords)
        keywords.setdefault("start_dir", app.root_path)
        app.wsgi_app = WsgiMiddleware(app.wsgi_app, **keywords)
        app.extensions["sarv"] = self


# ------------------------------------------------------------------ Django


class DjangoMiddleware:
    """Django middleware, configured by the setting SARV (a dict of the
    keywords in the module doc):

        MIDDLEWARE = ["sarv.django.SarvMiddleware", ...]   # first, to see the others
        SARV = {"keep": "slow", "slower_than": 0.5}
    """

    sync_capable = True
    async_capable = False

    def __init__(self, get_response) -> None:
        from django.conf import settings

        self.get_response = get_response
        keywords = dict(getattr(settings, "SARV", None) or {})
        base = getattr(settings, "BASE_DIR", None)
        if base is not None:
            keywords.setdefault("start_dir", os.fspath(base))
        self.settings = RequestSettings(**keywords)

    def __call__(self, request):
        settings = self.settings
        triggered = settings.triggered_wsgi(request.META)
        if not settings.records(triggered):
            return self.get_response(request)
        recording = _Recording.begin(
            settings,
            triggered,
            request.method,
            request.path,
            _shown_query(settings, request.META.get("QUERY_STRING")),
            _wsgi_headers(request.META),
        )
        if recording is None:
            return self.get_response(request)
        recording.in_app = True
        try:
            response = self.get_response(request)
            recording.in_app = False
            recording.status = getattr(response, "status_code", None)
            if recording.header_now():
                response[TRACE_HEADER] = recording.profiler.trace_id
        except BaseException:
            recording.status = 500
            recording.finish()
            raise
        recording.finish()
        return response


# -------------------------------------------------------------------- ASGI

# The profiler (the core's object) of the request whose context runs; the hook of
# register_context_profiler reads it at every event.
# (No default: where it is unset, the hook falls back on the profiler that was there before.)
_current_request: contextvars.ContextVar = contextvars.ContextVar("sarv_request")


class _LoopThread:
    """The requests in flight on one thread (an event loop's), and the hook
    that was there before the first of them."""

    __slots__ = ("active", "previous")

    def __init__(self) -> None:
        self.active = 0
        self.previous = None


class _Busy(threading.local):
    """The seconds this thread spent running timed requests' code (_OwnTime)."""

    def __init__(self) -> None:
        self.seconds = 0.0
        _busy_counters.append(self)


_busy_counters: list = []  # one per thread that ran timed code (a thread's own: no lock)
_busy = _Busy()


def _busy_total() -> float:
    return sum(counter.seconds for counter in tuple(_busy_counters))


# The request (its _OwnTime) whose context runs, for work it hands to worker threads.
_request_clock: contextvars.ContextVar = contextvars.ContextVar("sarv_request_clock")


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
        _busy.seconds += seconds

    def run(self, coroutine):
        return _TimedSteps(coroutine, self)


class _TimedSteps:
    __slots__ = ("coroutine", "count")

    def __init__(self, coroutine, clock: _OwnTime) -> None:
        self.coroutine = coroutine
        self.count = clock.count

    def __await__(self):
        coroutine = self.coroutine
        clock_now = time.perf_counter
        value = error = None
        while True:
            start = clock_now()
            try:
                yielded = coroutine.send(value) if error is None else coroutine.throw(error)
            except StopIteration as done:
                self.count(clock_now() - start)
                return done.value
            except BaseException:
                self.count(clock_now() - start)
                raise
            self.count(clock_now() - start)
            value = error = None
            try:
                value = yield yielded
            except GeneratorExit:
                coroutine.close()
                raise
            except BaseException as exc:
                error = exc


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
        method = scope.get("method", "")
        path = (scope.get("root_path") or "") + (scope.get("path") or "")
        started = _begin_in_context(settings)
        if started is None:
            return await self.app(scope, receive, send)
        profiler, token = started
        state = {"status": None}
        begun = time.perf_counter()
        # "slow" decides by the request's own time, not its time waiting for the loop.
        clock = _OwnTime() if settings.slower_than is not None and not triggered else None
        clock_token = _request_clock.set(clock) if clock is not None else None

        def elapsed() -> float:
            return clock.elapsed() if clock is not None else time.perf_counter() - begun

        async def send_wrapper(message):
            if message.get("type") == "http.response.start":
                state["status"] = message.get("status")
                if settings.header_after(triggered, elapsed()):
                    headers = list(message.get("headers") or ())
                    headers.append((TRACE_HEADER.lower().encode("latin-1"), profiler.trace_id.encode("ascii")))
                    message = dict(message, headers=headers)
            await send(message)

        _sarv_request_start(method, path, _shown_query(settings, scope.get("query_string")), _asgi_headers(scope))
        try:
            if clock is None:
                await self.app(scope, receive, send_wrapper)
            else:
                await clock.run(self.app(scope, receive, send_wrapper))
        except BaseException:
            if state["status"] is None:
                state["status"] = 500
                named = scope.get(_ERROR_RESPONSE_KEY)
                if named is not None and settings.header_after(triggered, elapsed()):
                    named.append(profiler.trace_id)  # for the error response sent outside this middleware
            raise
        finally:
            duration = time.perf_counter() - begun
            own = clock.elapsed() if clock is not None else None
            request = (method, path, state["status"], duration)
            _sarv_request_end(*request, own)
            if clock_token is not None:
                _request_clock.reset(clock_token)
            _end_in_context(token)
            if settings.keeps(triggered, duration if own is None else own):
                _save(profiler, request)


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


def _in_request_thread(func):
    """`func`, made to record the calls of the request whose context runs it on the
    worker thread that runs it; the thread's hook is taken back when it returns."""

    clock = _request_clock.get(None)

    def run(*args, **kwargs):
        begun = time.perf_counter()
        hooked = _thread_hook() is None  # (else another profiler's thread, or already recording)
        if hooked:
            _hooks().register_context_profiler(_current_request, None)
        try:
            return func(*args, **kwargs)
        finally:
            if hooked:
                _restore(None)
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
            if _current_request.get(None) is not None:
                func = _in_request_thread(func)
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


def _begin_in_context(settings: RequestSettings):
    """Starts the request's profiler and makes it the running context's;
    (profiler, token), or None when the request is not recorded."""
    state = _loop_thread()
    hook = _thread_hook()
    if state.active == 0 or not _is_context_hook(hook):
        if _is_context_hook(hook):
            previous = hook[1]
        elif hook is None or _is_sarv_hook(hook):
            previous = hook
        else:
            _warn_once("foreign", "sarv: requests are not recorded on threads that run another profile hook (%r)", hook)
            return None
        state.previous = previous
    native = _native()
    profiler = _RequestProfiler(settings)
    try:
        native.register_profiler(profiler)  # installs its own hook on this thread: replaced below
    except Exception:
        _warn_once("register", "sarv could not start profiling a request", exc_info=True)
        if state.active == 0:
            _restore(state.previous)
        return None
    token = _current_request.set(profiler.rust_profiler)
    _hooks().register_context_profiler(_current_request, state.previous)
    state.active += 1
    return profiler, token


def _end_in_context(token) -> None:
    _current_request.reset(token)
    state = _loop_thread()
    state.active -= 1
    if state.active == 0:
        previous, state.previous = state.previous, None
        _restore(previous)
