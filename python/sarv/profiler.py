"""The profiler object handed to the compiled core, and ways to use it.

    with Profiler() as profiler:        # or: with profiling(threading=True) as profiler:
        work()
    profiler.trace_id, profiler.record_count

    @profile(db_path="traces.sqlite3")
    def work(): ...

Entering registers the object with `sarv._sarv` (imported only then), which
installs the profile hook on the calling thread; leaving removes the hooks
and saves the trace through the core, into `db_path`.
"""

from __future__ import annotations

import functools
import logging
import os
import threading
from typing import Any

from sarv import db as _db
from sarv.config import load_config
from sarv.utils import new_trace_id

__all__ = ["Profiler", "profile", "profiling"]

_logger = logging.getLogger("sarv")
_active = threading.local()  # the decorator's profiler running on this thread


def _native():
    try:
        from sarv import _sarv
    except ImportError as exc:
        raise ImportError(
            "sarv's compiled core (sarv._sarv) is not available: install sarv from a wheel "
            "or build it with `pip install .` (%s)" % exc
        ) from exc
    return _sarv


class Profiler:
    """What `sarv._sarv.register_profiler` receives.

    The core reads `config`, `db_path`, `one_trace_per_test`, `trace_id` and
    `source` once, when profiling starts, and stores its own object in
    `rust_profiler`. The object must be callable; calling it does nothing.
    """

    def __init__(
        self,
        config: dict | None = None,
        *,
        db_path=None,
        source: str = "api",
        one_trace_per_test: bool = False,
        trace_id: str | None = None,
    ) -> None:
        self.config = dict(config) if config is not None else load_config()
        if db_path is None:
            db_path = self.config.get("db_path") or _db.default_db_path()
        self.db_path = os.fspath(db_path)
        self.source = source
        self.one_trace_per_test = bool(one_trace_per_test)
        self.trace_id = trace_id if trace_id is not None else new_trace_id()
        self.rust_profiler = None
        self.record_count: int | None = None

    def __call__(self, frame, event, arg):
        return None

    def __repr__(self) -> str:
        return "<sarv.Profiler %s source=%s db_path=%r>" % (self.trace_id, self.source, self.db_path)

    def start(self) -> "Profiler":
        _native().register_profiler(self)
        return self

    def stop(self) -> None:
        """Remove the hooks and save the trace; sets `record_count`."""
        native = _native()
        native.register_noop_profiler()
        if self.config.get("threading") is True:
            threading.setprofile(None)
        if self.rust_profiler is None:
            raise RuntimeError("this profiler was never started")
        self.rust_profiler.save_request_in_db()
        self.record_count = self._stored_record_count()

    def _stored_record_count(self) -> int | None:
        # The core saves without reporting what it wrote; the row it just
        # added knows. In one-trace-per-test mode the last trace may carry
        # another id, and then there is nothing to report.
        try:
            summary = _db.find_trace(self.db_path, self.trace_id)
        except _db.SarvDatabaseError:
            return None
        return summary.record_count if summary is not None else None

    def __enter__(self) -> "Profiler":
        return self.start()

    def __exit__(self, exc_type, exc, tb) -> None:
        try:
            self.stop()
        except Exception:
            if exc_type is None:
                raise
            # Do not hide the program's own exception behind ours.
            _logger.warning("sarv could not save trace %s", self.trace_id, exc_info=True)


def profiling(
    *,
    source: str = "api",
    one_trace_per_test: bool = False,
    start_dir=None,
    **config: Any,
) -> Profiler:
    """A `Profiler` for `with profiling(**config) as profiler:`; keyword
    arguments other than `source`, `one_trace_per_test` and `start_dir`
    override configuration keys (see sarv.config)."""
    return Profiler(
        load_config(config, start_dir=start_dir),
        source=source,
        one_trace_per_test=one_trace_per_test,
    )


def profile(func=None, **config: Any):
    """Decorator recording each call of `func` as one trace: `@profile` or
    `@profile(threading=True, ...)`. The wrapper's `last_profiler` attribute
    is the Profiler of its latest call."""

    def decorate(f):
        @functools.wraps(f)
        def wrapper(*args, **kwargs):
            if getattr(_active, "profiler", None) is not None:
                # A recursive or nested call is already in the outer trace;
                # a second registration would end the outer one.
                return f(*args, **kwargs)
            profiler = profiling(**config)
            wrapper.last_profiler = profiler
            _active.profiler = profiler
            try:
                with profiler:
                    return f(*args, **kwargs)
            finally:
                _active.profiler = None

        wrapper.last_profiler = None
        return wrapper

    if func is not None:
        return decorate(func)
    return decorate
