"""The profiler object handed to the compiled core, and ways to use it.

    with profiling(threading=True) as profiler:     # or: with Profiler() as profiler:
        work()
    profiler.trace_id, profiler.record_count, profiler.load_trace()

    @profile(db_path="traces.sqlite3")
    def work(): ...
    work(); work.last_profiler.trace_id

Entering registers the object with `sarv._sarv` (imported only then), which
installs the profile hook on the calling thread; leaving removes the hooks
and saves the trace through the core, into `db_path`.

Configuration problems (sarv.config, sarv.plugins) raise `ConfigError`
before the hook is installed, so nothing of the program has run under a
half-made profiler.
"""

from __future__ import annotations

import _thread
import atexit
import functools
import inspect
import logging
import os
import sys
import threading
import time
import weakref
from typing import Any

from sarv import db as _db
from sarv import destinations as _destinations
from sarv import plugins as _plugins
from sarv import process_ends as _ends
from sarv import serialize as _serialize
from sarv.config import ConfigError, check_config, load_config, redact_entries
from sarv.store import routes as _routes
from sarv.store import spool as _spool
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


def threading_profile():
    """The profile function threads started from now on get (threading.getprofile())."""
    getter = getattr(threading, "getprofile", None)  # 3.10+
    return getter() if getter is not None else getattr(threading, "_profile_hook", None)


def _is_ours(hook, core) -> bool:
    return hook is not None and getattr(hook, "__self__", None) is core


_live = weakref.WeakSet()  # started and not stopped, in this process


def _after_fork_in_child() -> None:
    global _stop_lock, _spool_lock, _flushing
    _stop_lock = threading.Lock()  # (another thread may have held it at the fork)
    # The parent's flushing thread is not in the child: the child's profilers start their own.
    _spool_lock = _thread.allocate_lock()
    _flushing = False
    _spooled.clear()
    _left_for_saves.clear()  # (the parent's, whose saves are the parent's)
    try:
        for profiler in list(_live):
            profiler._continue_in_child()
    finally:
        _ends.forked()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


def _import_companions() -> None:
    # The core imports these on first use; imported from inside the hook, they would be
    # charged to the first recorded call (tens of milliseconds for sarv.serialize).
    import sarv.git  # noqa: F401
    import sarv.serialize  # noqa: F401
    import sarv.version  # noqa: F401


_recording: list = []  # (profiler, its redaction entries), in the order they started
_outside_redaction: tuple | None = None  # the serialisers' own, while any records
_redaction_lock = threading.Lock()


def _redaction_in_force(profiler, recording: bool) -> None:
    global _outside_redaction
    with _redaction_lock:
        if recording:
            entries = redact_entries(profiler.config)
            _serialize.redaction_rules(entries)  # checked before anything is changed
            if not _recording:
                _outside_redaction = _serialize.redaction()
            _recording.append((profiler, entries))
        else:
            found = [i for i, (p, _) in enumerate(_recording) if p is profiler]
            if not found:
                return
            del _recording[found[0]]
        _serialize.set_redaction(_recording[-1][1] if _recording else _outside_redaction)


_stop_lock = threading.Lock()

# The spool: a thread of sarv's copies the records of every running profiler to a file
# beside its database every FLUSH_EVERY seconds (the hook waits for the disk only when
# these flushes fall behind it by 32 MB of records: it then writes them itself), so
# that a process killed before it saves leaves its trace there for the next sarv command
# (sarv.store.spool.recover). A trace shorter than that never gets a file. A thread of
# _thread's: threading's profile function never reaches it, and it takes no lock of the
# program's.
FLUSH_EVERY = 0.25
_spooled: dict = {}  # id(profiler) -> profiler, while it records
_monotonic = time.monotonic  # (sarv's clock, whatever the program does to time's)
_spool_lock = _thread.allocate_lock()
_flushing = False  # the thread runs
_exiting = False


def _spool_begin(profiler) -> None:
    global _flushing
    if not profiler.spool:
        return
    spool_to = getattr(profiler.rust_profiler, "spool_to", None)  # (a stand-in core may have none)
    if spool_to is None or _spool.folder_of(profiler.db_path) is None:
        return  # (a PostgreSQL store): saved at the end only, its records kept in memory
    folder = _spool.prepare(profiler.db_path)
    if folder is None:
        profiler.spool_error = OSError("no spool folder could be made at %s" % _spool.folder_of(profiler.db_path))
        return
    spool_to(folder)
    with _spool_lock:
        _spooled[id(profiler)] = profiler
        if not _flushing and not _exiting:
            _thread.start_new_thread(_flush_spools, ())
            _flushing = True


def _spool_end(profiler, remove: bool) -> None:
    with _spool_lock:
        _spooled.pop(id(profiler), None)
    core = profiler.rust_profiler
    if getattr(core, "spool_close", None) is not None:
        # Files kept for saves that may still be on their way (the current one too when
        # it holds a trace saved since the last flush: a suite's last test).
        if remove and profiler.spool_error is None:
            # The last flush: what it would do to the file is what closing does, and a write
            # that failed in a flush of the recording thread's own (past 32 MB behind) is
            # raised by it if no flush of sarv's thread has said so yet.
            try:
                core.spool_flush()
            except Exception as exc:  # (as in the flushing thread: the stop goes on)
                profiler.spool_error = exc
        left = core.spool_close(remove)
        if left and remove and _db.wait_for_saves(profiler.db_path, 0):
            _unlink_all(left)
            left = []
        if left:
            _remove_at_exit(profiler.db_path, left)
    error = profiler.spool_error
    if error is not None and not getattr(profiler, "_spool_error_said", False):
        # Said here, once the trace is saved or dropped: never from the hook.
        profiler._spool_error_said = True
        _logger.warning(
            "sarv: the spool of trace %s stopped (%s): its records were kept in memory from then on, "
            "and a process killed before its end would have lost them",
            profiler.trace_id,
            error,
        )


_left_for_saves: list = []  # (database, spool files kept until its saves are on disk)


def _remove_at_exit(db_path, paths) -> None:
    with _spool_lock:
        if not _left_for_saves:
            atexit.register(_remove_left_spools)  # (runs before storage's own wait at exit)
        _left_for_saves.append((db_path, list(paths)))


def _remove_left_spools() -> None:
    # Files of saved traces, kept while their saves were on their way (a test suite's are
    # batched): removed once storage has them on disk, so that no later command finds them
    # (in a database made anew meanwhile, they would be stored again). Left for that
    # command when the saves failed: they may hold the only copy.
    with _spool_lock:
        left = list(_left_for_saves)
        _left_for_saves.clear()
    for db_path, paths in left:
        try:
            if not _db.wait_for_saves(db_path):
                continue
        except Exception:
            continue
        _unlink_all(paths)


def _unlink_all(paths) -> None:
    for path in paths:
        try:
            os.unlink(path)
        except OSError:
            pass


def _flush_spools() -> None:
    global _flushing
    pause = _thread.allocate_lock()
    pause.acquire()
    started = _monotonic()
    while True:
        # A flush every FLUSH_EVERY seconds from the start of the last, or at once after one
        # that took longer (a slow disk): the records in memory only are that young.
        wait = FLUSH_EVERY - (_monotonic() - started)
        if wait > 0:
            pause.acquire(True, wait)  # (never released: a pause the program cannot change)
        started = _monotonic()
        with _spool_lock:
            profilers = list(_spooled.values())
            if not profilers or _exiting:
                _flushing = False
                return
        for profiler in profilers:
            try:
                # A saved trace's file is kept until storage has the save on disk (a test
                # suite's saves are batched).
                if profiler.rust_profiler.spool_flush() and _db.wait_for_saves(profiler.db_path, 0):
                    profiler.rust_profiler.spool_release()
            except Exception as exc:  # (a full disk): the end saves it all the same
                profiler.spool_error = exc
                with _spool_lock:
                    _spooled.pop(id(profiler), None)


@atexit.register
def _stop_flushing() -> None:
    global _exiting
    _exiting = True


class _RecursionRoom:
    """Room on the stack for a save, whatever recursion limit the program left
    (sys.setrecursionlimit(25) at its end would fail the save)."""

    __slots__ = ("limit",)

    def __enter__(self) -> None:
        self.limit = None
        limit = sys.getrecursionlimit()
        depth = 0
        frame = sys._getframe()
        while frame is not None:
            depth += 1
            frame = frame.f_back
        needed = depth + 1000
        if limit < needed:
            try:
                sys.setrecursionlimit(needed)
                self.limit = limit
            except (RecursionError, ValueError):
                pass

    def __exit__(self, *exc) -> None:
        if self.limit is not None:
            try:
                sys.setrecursionlimit(self.limit)
            except (RecursionError, ValueError):
                pass  # (deeper now than the program's limit allows: kept as set)


class Profiler:
    """What `sarv._sarv.register_profiler` receives.

    The core reads `config`, `db_path`, `one_trace_per_test`, `trace_id` and
    `source` once, when profiling starts, and stores its own object in
    `rust_profiler`. The object must be callable; calling it does nothing.

    `config` is a complete configuration (checked against sarv.config's
    rules and completed with its defaults); without it the configuration is
    `load_config()`: defaults, pyproject.toml, SARV_DB.

    With `one_trace_per_test` the core starts a new trace at every
    "start_test" plugin record and saves it at the matching "end_test"
    (see sarv.pytest_plugin); `trace_id` is then only the id of whatever is
    recorded before the first test.

    `destination` (sarv.destinations) says where and how every trace
    of this profiler is saved: by default `SaveNow(db_path)`, stored before
    stop() returns; a test suite's is `SaveBatched`. Given a destination,
    `db_path` is its database.
    """

    def __init__(
        self,
        config: dict | None = None,
        *,
        db_path=None,
        source: str = "api",
        one_trace_per_test: bool = False,
        trace_id: str | None = None,
        destination: _destinations.Destination | None = None,
    ) -> None:
        self.config = check_config(config) if config is not None else load_config()
        if destination is not None:
            if db_path is not None and _db.location(db_path) != destination.db_path:
                raise ValueError(
                    "db_path %r is not the destination's database %r: give one of them" % (db_path, destination.db_path)
                )
            db_path = destination.db_path
        if db_path is None:
            db_path = self.config.get("db_path") or _db.default_db_path()
        # Absolute, so that a program that changes its working directory
        # still saves where it was asked to.
        self.db_path = _db.location(db_path)
        self.destination = destination if destination is not None else _destinations.SaveNow(self.db_path)
        self.source = source
        self.one_trace_per_test = bool(one_trace_per_test)
        self._own_trace_id = trace_id is None
        self.trace_id = trace_id if trace_id is not None else new_trace_id()
        self._running = False
        self.parent_trace_id: str | None = None  # in a forked child: the trace it forked from
        self.rust_profiler = None
        self.record_count: int | None = None
        self.dropped_records = 0  # records the saved trace lost to max_records
        self.record_children = True  # a forked child records a trace of its own
        self._unsaved = False  # the last save failed: stop() tries again
        # Whether the records are copied to a spool while recording (see FLUSH_EVERY),
        # and why that stopped, if it did.
        self.spool = self.destination.spool
        self.spool_error: Exception | None = None

    def __call__(self, frame, event, arg):
        return None

    def __repr__(self) -> str:
        return "<sarv.Profiler %s source=%s db_path=%r>" % (self.trace_id, self.source, self.db_path)

    def start(self) -> "Profiler":
        """Install the profile hook on the calling thread (and, with
        "threading", on threads started from now on)."""
        if self._running:
            raise RuntimeError("this profiler is already running")
        if self.rust_profiler is not None:
            # A second run must not save a second row under the first run's id, which
            # would make the first unreachable.
            if not self._own_trace_id:
                raise RuntimeError(
                    "this profiler already saved trace %s, the id it was given; "
                    "make a new Profiler for another run" % self.trace_id
                )
            self.trace_id = new_trace_id()
            self.rust_profiler = None
            self.record_count = None
            self.dropped_records = 0
            self._unsaved = False
        native = _native()
        # The core reports a failing plugin loader only as an internal
        # fault; loading the declared plugins here first turns a bad
        # declaration (an import path that does not import, ...) into an
        # error that names it. (Only when there are some: these frames are
        # recorded if another profiler is active on this thread.)
        if self.config.get("plugins"):
            try:
                _plugins.load_plugin_data(self.config)
            except ValueError as exc:
                raise ConfigError(str(exc)) from None
        _import_companions()
        if self.spool:
            self._recover_spools()
        # The serialisers are the process's: while it records, their redaction is this
        # profiler's (the latest started one's, when several record).
        _redaction_in_force(self, True)
        # Before the hook: the core may save at the first test's end.
        self._attach()
        try:
            native.register_profiler(self)
        except BaseException:
            self._detach()
            _redaction_in_force(self, False)
            raise
        self._running = True
        _live.add(self)
        _spool_begin(self)
        # A worker that ends with os._exit (multiprocessing's, or the `if os.fork() == 0:
        # ...; os._exit(0)` idiom), or a program that execs, runs no exit handler.
        _ends.watch_exits()
        return self

    def _continue_in_child(self) -> None:
        # A forked child holds a copy of the parent's buffered records, which the parent
        # saves; saved again here they would be a second row under the parent's id. The
        # child records on as a trace of its own, which names the parent's.
        _spool_end(self, remove=False)  # the parent's spool is the parent's
        hooked = self.rust_profiler.hooks_this_thread()  # only the forking thread survives
        if hooked and not self.record_children:
            self.rust_profiler.unhook_threads()
            _native().register_noop_profiler()
            sys.setprofile(None)
            hooked = False
        thread = threading.current_thread()
        if getattr(thread, "_set_native_id", None) is not None and thread.native_id != threading.get_native_id():
            thread._set_native_id()  # os.fork leaves the parent's there; records carry it
        self.parent_trace_id = self.trace_id
        self.trace_id = new_trace_id()
        self._own_trace_id = True
        _db.note_parent(self.trace_id, self.parent_trace_id)
        self._detach()
        if hooked:
            self._attach()
            _native().register_profiler(self)  # a new core object: the old one and its copy go
            _spool_begin(self)
            _ends.now_parent(self.trace_id)
        else:
            self._running = False
            _live.discard(self)

    def stop(self, save: bool | None = None) -> None:
        """Remove the hooks and, if `save` (default: unless
        `one_trace_per_test`), save the trace; sets `record_count`.

        In one-trace-per-test mode every test's trace is saved at its end;
        what is left over (records after the last test) belongs to no test
        and is dropped unless `save` is true.

        A save that fails raises, and its records stay with the profiler:
        calling stop() again tries the save again.
        """
        if self.rust_profiler is None:
            raise RuntimeError("this profiler was never started")
        if save is None:
            save = not self.one_trace_per_test
        with _stop_lock:  # (the end of a process may stop it from a thread of sarv's)
            running, self._running = self._running, False
            retry = not running and self._unsaved and save
            self._unsaved = False
        if not running:
            if retry:
                with _ends.saving(), _RecursionRoom():
                    self._save()
            return  # stopped already (or hooked on a thread a fork left behind): nothing to save
        _live.discard(self)
        with _ends.saving(), _RecursionRoom():
            self._unhook()
            if save:
                self._save()
            else:
                try:
                    self.rust_profiler.build_trace()  # empties the buffers
                except Exception:
                    pass  # the records are dropped with the core object anyway
                _spool_end(self, remove=True)
                self._detach()

    def _unhook(self) -> None:
        core = self.rust_profiler
        # Only this profiler's own hooks come off: another profiler started since (on this
        # thread, or for new threads) keeps recording.
        if core.hooks_this_thread():
            _native().register_noop_profiler()
            sys.setprofile(None)  # not even the no-op hook: nothing left to pay per call
        if self.config.get("threading") is True and _is_ours(threading_profile(), core):
            threading.setprofile(None)
            remove_all = getattr(threading, "setprofile_all_threads", None)
            if remove_all is not None:
                remove_all(None)
        # Then off every other thread that records for it (after threading's hook, which
        # would hook threads started meanwhile): daemons still running would go on recording
        # while the trace is saved and until the interpreter exits (through sys.monitoring,
        # or, before 3.12, the profile hook, which only the core can reach there).
        core.unhook_threads()
        _redaction_in_force(self, False)

    def _save(self) -> None:
        try:
            self.rust_profiler.save_request_in_db()
        except BaseException:
            # The core put the records back: a later stop() saves them (and until then
            # the spool keeps them, should the process end first).
            self._unsaved = True
            raise
        self._detach()
        _spool_end(self, remove=True)
        self.record_count = self._stored_record_count()

    def _attach(self) -> None:
        # The core saves through sarv.db.save_trace_in_sqlite, which finds this profiler's
        # destination from the database and the trace id the core hands it.
        _routes.attach(self, self.destination)

    def _detach(self) -> None:
        _routes.detach(self)

    def _recover_spools(self) -> None:
        # Traces of this database's processes killed before they saved, stored before
        # this one starts (see sarv.store.spool).
        try:
            _spool.recover(self.db_path, timeout=self.config.get("sqlite_busy_timeout", 60))
        except Exception:
            _logger.warning("sarv could not recover the spools of %s", self.db_path, exc_info=True)

    def load_trace(self) -> dict:
        """The saved trace, decoded (see sarv.db.load_trace_document)."""
        return _db.load_trace_document(self.db_path, self.trace_id)

    def _stored_record_count(self) -> int | None:
        # The core saves without reporting what it wrote; the row it just
        # added knows. In one-trace-per-test mode the last trace may carry
        # another id, and then there is nothing to report.
        recent = _db.saved_in_this_process(self.db_path, self.trace_id)
        if recent is not None:
            self.dropped_records = recent[2]
            return recent[1]
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
    destination: _destinations.Destination | None = None,
    **config: Any,
) -> Profiler:
    """A `Profiler` for `with profiling(**config) as profiler:`; keyword
    arguments other than `source`, `one_trace_per_test`, `start_dir` and
    `destination` (how the trace is saved, see Profiler) override
    configuration keys (see sarv.config)."""
    return Profiler(
        load_config(config, start_dir=start_dir),
        source=source,
        one_trace_per_test=one_trace_per_test,
        destination=destination,
    )


def _coroutine_wrapper(f, begin):
    @functools.wraps(f)
    async def wrapper(*args, **kwargs):
        profiler = begin(wrapper)
        if profiler is None:
            return await f(*args, **kwargs)
        try:
            with profiler:
                return await f(*args, **kwargs)
        finally:
            _active.profiler = None

    return wrapper


def _generator_wrapper(f, begin):
    # Calling a generator function runs none of its code: the trace spans the
    # generator's life, from its first resumption to its end (or close()).
    @functools.wraps(f)
    def wrapper(*args, **kwargs):
        profiler = begin(wrapper)
        if profiler is None:
            return (yield from f(*args, **kwargs))
        try:
            with profiler:
                return (yield from f(*args, **kwargs))
        finally:
            _active.profiler = None

    return wrapper


def _async_generator_wrapper(f, begin):
    @functools.wraps(f)
    async def wrapper(*args, **kwargs):
        profiler = begin(wrapper)
        if profiler is None:
            async for item in f(*args, **kwargs):
                yield item
            return
        try:
            with profiler:
                async for item in f(*args, **kwargs):
                    yield item
        finally:
            _active.profiler = None

    return wrapper


def _function_wrapper(f, begin):
    @functools.wraps(f)
    def wrapper(*args, **kwargs):
        profiler = begin(wrapper)
        if profiler is None:
            return f(*args, **kwargs)
        try:
            with profiler:
                return f(*args, **kwargs)
        finally:
            _active.profiler = None

    return wrapper


def profile(func=None, **config: Any):
    """Decorator recording each call of `func` as one trace: `@profile` or
    `@profile(threading=True, ...)`. The wrapper's `last_profiler` attribute
    is the Profiler of its latest call (its `trace_id` names the trace).

    The configuration is read and checked when the decorator is applied. A
    coroutine function is profiled while it is awaited, a generator (or async
    generator) function from its first resumption to its end; everything else
    this thread runs meanwhile (the event loop's other tasks, the generator's
    consumer) is recorded too.
    """
    # A bad key fails when the decorator is applied, not at the first call.
    options = ("source", "one_trace_per_test", "start_dir", "destination")
    load_config({k: v for k, v in config.items() if k not in options}, start_dir=config.get("start_dir"))

    def begin(wrapper):
        if getattr(_active, "profiler", None) is not None:
            # A recursive or nested call is already in the outer trace;
            # a second registration would end the outer one.
            return None
        profiler = profiling(**config)
        wrapper.last_profiler = profiler
        _active.profiler = profiler
        return profiler

    def decorate(f):
        if inspect.iscoroutinefunction(f):
            wrapper = _coroutine_wrapper(f, begin)
        elif inspect.isgeneratorfunction(f):
            wrapper = _generator_wrapper(f, begin)
        elif inspect.isasyncgenfunction(f):
            wrapper = _async_generator_wrapper(f, begin)
        else:
            wrapper = _function_wrapper(f, begin)
        wrapper.last_profiler = None
        return wrapper

    if func is not None:
        return decorate(func)
    return decorate
