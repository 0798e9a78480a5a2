"""The middleware's keywords (RequestSettings), the per-request profiler object the
core registers, and the thread's hooks: what every kind of middleware shares."""

from __future__ import annotations

import hmac
import itertools
import logging
import sys
import time
from typing import Any
from urllib.parse import parse_qsl

from sarv import db as _db
from sarv.config import ConfigError, load_config, redact_entries
from sarv.web.markers import plugin_declarations

TRACE_HEADER = "X-Sarv-Trace"
SOURCE = "request"
_KEEP_MODES = ("every", "sample", "trigger", "slow")
_logger = logging.getLogger("sarv")


def _checked_choice(keep, one_in, slower_than, secret) -> tuple:
    """(keep, one_in) as the keywords choose them, or ConfigError."""
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
    return keep, one_in


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
        keep, one_in = _checked_choice(keep, one_in, slower_than, secret)
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
        from sarv.web.saving import request_destination  # (which imports this module)

        self.destination = request_destination(self.db_path, cfg.get("sqlite_busy_timeout", 60))
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

    __slots__ = ("config", "db_path", "destination", "trace_id", "rust_profiler")
    one_trace_per_test = False
    source = SOURCE

    def __init__(self, settings: RequestSettings) -> None:
        self.config = settings.config
        self.db_path = settings.db_path
        self.destination = settings.destination  # how its trace is saved at the request's end
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


_requests_module = None


def _hooks():
    # (kept: a `from package import module` each time runs importlib's fromlist handling)
    global _requests_module
    if _requests_module is None:
        _native()  # the profilers these work on are made there
        from sarv import _requests

        _requests_module = _requests
    return _requests_module


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


def _status_code(status) -> int | None:
    try:
        return int(str(status).split(None, 1)[0])
    except (ValueError, IndexError):
        return None


def _restore(previous) -> None:
    if previous is None:
        # No hook at all (rather than the core's no-op one): requests that are not
        # recorded cost nothing.
        _native().register_noop_profiler()  # off sys.monitoring too, where it records through it
        sys.setprofile(None)
    else:
        previous.register_threading_profiler(None, None, None)
