"""pytest plugin: one sarv trace per test, with ``pytest --sarv``.

Registered through the ``pytest11`` entry point, so installing sarv makes
the options available; nothing is recorded unless ``--sarv`` is given.

    pytest --sarv                      traces into the configured database
    pytest --sarv --sarv-db PATH       ... into PATH
    python -m sarv traces              the tests' traces, with their node ids

How the traces are cut: around each test (setup, call and teardown) the
plugin calls two marker functions of this module, `_sarv_test_start` and
`_sarv_test_end`. Plugin descriptions given to the profiler turn the call of
the first into a "start_test" record and the return of the second into an
"end_test" record, both carrying the test's "node_id", the end also its
"outcome" (passed, failed, error, skipped, xfailed, xpassed, or interrupted
for a test stopped by Ctrl-C or pytest.exit; a failed subtest fails its
test). The
profiler runs in one-trace-per-test mode: a "start_test" record begins a new
trace and an "end_test" record hands it to the session's destination, which
saves it with the next tests' (sarv.destinations.SaveBatched). The profile hook is on
only while a test's setup, call or teardown runs: collection, pytest's
reports and whatever runs between tests are not recorded (nor slowed by
the hook).

A test that installs a profile hook of its own (sarv's API, cProfile)
takes over the thread's hook: its trace is saved as far as it was recorded
before that, without the "end_test" record, and the next test is recorded
by a new profiler.

The configuration is the project's ([tool.sarv] in pyproject.toml, found
from pytest's rootdir, and SARV_DB); --sarv-db overrides its db_path.
This module runs while tests are profiled; the profiler leaves it out of
the traces.
"""

from __future__ import annotations

import functools
import shlex
import sys
import threading

import pytest

__all__ = ["pytest_addoption", "pytest_configure"]

_PATH_FRAGMENT = "/sarv/pytest_plugin.py"
_SOURCE = "pytest"
_VIEW_LINES = 5  # commands printed for failed tests, at most


def _sarv_test_start(nodeid):
    """Marks the start of a test in the trace (see the module doc)."""
    return None


def _sarv_test_end(nodeid, outcome):
    """Marks the end of a test in the trace (see the module doc)."""
    return None


def _start_record(frame, event, arg, context):
    return {"node_id": frame.f_locals.get("nodeid")}


def _end_record(frame, event, arg, context):
    values = frame.f_locals
    return {"node_id": values.get("nodeid"), "outcome": values.get("outcome")}


def plugin_declarations() -> list:
    """The plugin entries (sarv.config "plugins") that mark test boundaries."""
    return [
        {
            "co_names": [_sarv_test_start.__name__],
            "path_fragment": _PATH_FRAGMENT,
            "call_type": "start_test",
            "return_type": "start_test",
            "events": ["call"],
            "process": _start_record,
        },
        {
            "co_names": [_sarv_test_end.__name__],
            "path_fragment": _PATH_FRAGMENT,
            "call_type": "end_test",
            "return_type": "end_test",
            "events": ["return"],
            "process": _end_record,
        },
    ]


def pytest_addoption(parser):
    group = parser.getgroup("sarv", "sarv tracing profiler")
    group.addoption(
        "--sarv",
        action="store_true",
        default=False,
        help="record one sarv trace per test (setup, call and teardown); list them with 'python -m sarv traces'",
    )
    group.addoption(
        "--sarv-db",
        metavar="PATH",
        default=None,
        help="trace database for --sarv (default: $SARV_DB, else db_path of [tool.sarv], else .sarv/traces.sqlite3)",
    )


def pytest_configure(config):
    if not config.getoption("sarv"):
        if config.getoption("sarv_db"):
            raise pytest.UsageError("--sarv-db is only used together with --sarv")
        return
    from sarv.config import ConfigError, load_config

    overrides = {"db_path": config.getoption("sarv_db")}
    try:
        sarv_config = load_config(overrides, start_dir=str(config.rootpath), use="test")
    except ConfigError as exc:
        raise pytest.UsageError("sarv configuration error: %s" % exc) from None
    sarv_config["plugins"] = list(sarv_config["plugins"]) + plugin_declarations()
    config.pluginmanager.register(_SarvSession(sarv_config), "sarv-session")


_PHASES = ("setup", "call", "teardown")
_NO_ATTRIBUTES: dict = {}


def _outcome(reports: dict) -> str:
    """One word for a test from the reports of its phases."""
    # (a report's `outcome` rather than its properties, and its attributes rather than
    # hasattr, which for the reports of a plain test makes and drops an AttributeError)
    for when in _PHASES:
        report = reports.get(when)
        if report is not None and report.outcome == "failed":
            return "failed" if when == "call" else "error"
    for when in _PHASES:
        report = reports.get(when)
        if report is None:
            continue
        if "wasxfail" in getattr(report, "__dict__", _NO_ATTRIBUTES):  # noted by pytest's skipping
            return "xfailed" if report.outcome == "skipped" else "xpassed"
        if report.outcome == "skipped":
            return "skipped"
    return "passed" if "call" in reports else "not run"


class _Hooked:
    __slots__ = ("session",)

    def __init__(self, session: "_SarvSession") -> None:
        self.session = session

    # (the session's depth counted here, not through its methods: with the hook on, every
    # Python call costs an event)
    def __enter__(self) -> None:
        session = self.session
        session.depth += 1
        if session.depth == 1:
            session._resume()

    def __exit__(self, *exc) -> None:
        session = self.session
        session.depth -= 1
        if not session.depth:
            session._pause()


class _NotHooked:
    __slots__ = ()

    def __enter__(self) -> None:
        pass

    def __exit__(self, *exc) -> None:
        pass


_NOT_HOOKED = _NotHooked()
# As the profiler's own filter: code under these is a library's, left out of the traces.
_LIBRARY_FRAGMENTS = ("lib/python", "/site-packages/")


def _recorded_file(filename: str, filters: dict) -> bool:
    """Whether the profiler records code of `filename` (a conservative
    mirror of its filter: code it might record counts as recorded)."""
    if any(fragment in filename for fragment in filters.get("include_frames", ())):
        return True
    if _PATH_FRAGMENT in filename:
        return False
    return not any(fragment in filename for fragment in _LIBRARY_FRAGMENTS + tuple(filters.get("ignore_frames", ())))


_PHASE_HOOKS = {"pytest_runtest_setup": "setup", "pytest_runtest_call": "call", "pytest_runtest_teardown": "teardown"}
# Hooks that pytest calls inside a test's phases, and the phases they run in: a plain
# implementation of the user's is made to run with the profile hook on itself (see
# `_SarvSession._hook_user_impls`), so that the phase around it can go without it.
_IN_PHASES = {
    **{name: (phase,) for name, phase in _PHASE_HOOKS.items()},
    "pytest_fixture_setup": _PHASES,
    "pytest_fixture_post_finalizer": _PHASES,
}


def _user_hooks(pluginmanager, sarv_config: dict) -> tuple:
    """The hook implementations of the user's (a conftest.py, a plugin of the
    project): the phases of a test ("setup", "call", "teardown") in which some
    of them may run with no way to put the profile hook on for them alone, and
    the plain implementations of the hooks of `_IN_PHASES`, which can be."""
    filters = sarv_config.get("filters") or {}
    phases = set()
    plain = []
    for plugin in pluginmanager.get_plugins():
        for caller in pluginmanager.get_hookcallers(plugin) or ():
            for impl in caller.get_hookimpls():
                if impl.plugin is not plugin:
                    continue
                code = getattr(impl.function, "__code__", None)
                if code is not None and not _recorded_file(code.co_filename, filters):
                    continue
                spec = caller.spec
                if caller.name in _IN_PHASES:
                    if getattr(impl, "wrapper", False) or getattr(impl, "hookwrapper", False):
                        # (a wrapper's code runs around the others', in steps not reached)
                        phases.update(_IN_PHASES[caller.name])
                    else:
                        plain.append((impl, _IN_PHASES[caller.name]))
                elif spec is None or getattr(spec.namespace, "__name__", "") != "_pytest.hookspec":
                    # Another plugin's hook: that plugin may call it in any phase.
                    phases.update(_PHASES)
    return phases, plain


def _pytest_attribute(module: str, name: str):
    try:
        return getattr(__import__(module, fromlist=[name]), name, None)
    except ImportError:
        return None


# The fixture function pytest gives each argument of a direct parametrization: it
# returns the parameter, and nothing ends it but pytest's own finalizer.
_DIRECT_PARAM = _pytest_attribute("_pytest.python", "get_direct_param_fixture_func") or _pytest_attribute(
    "_pytest.fixtures", "get_direct_param_fixture_func"
)


# Parameters compared without running code of the user's (an __eq__ of theirs would run
# unrecorded in a narrowed setup).
_PLAIN_PARAMS = (str, int, float, bool, bytes, type(None))


def _nothing_ended_first(item, callspec) -> bool:
    """Whether the setup of the parametrized test ends no fixture before it
    sets up its own: each of its parameters goes to fixtures not set up now
    (a function-scoped one was ended in the teardown of the test before) or
    set up already with this very parameter (the same object, of a plain
    type). Read from pytest's internals: what is not as expected answers no."""
    try:
        fixturedefs = item._fixtureinfo.name2fixturedefs
        for name, param in callspec.params.items():
            for fixturedef in fixturedefs.get(name, ()):
                cached = fixturedef.cached_result
                if cached is None:
                    continue
                # (pytest compares the keys with `is` or, from pytest 8, with ==)
                key = cached[1]
                if type(param) not in _PLAIN_PARAMS or key is not param or not key == param:
                    return False
    except Exception:  # (pytest's internals of another shape)
        return False
    return True


def _ends_pytest_alone(item) -> bool:
    """Whether the finalizers the item holds (run in its teardown) are pytest's
    alone: the item's own teardown and the ends of the fixtures of direct
    parameters. A fixture of the user's, a finalizer the test, a fixture or a
    hook added, or any shape not known here answers no."""
    try:
        finalizers, _ = item.session._setupstate.stack[item]
        own = item.teardown
    except (AttributeError, KeyError, TypeError, ValueError):
        return False
    for finalizer in finalizers:
        if finalizer == own:
            continue
        owner = getattr(finalizer.func, "__self__", None) if type(finalizer) is functools.partial else None
        if _DIRECT_PARAM is None or getattr(owner, "func", None) is not _DIRECT_PARAM:
            return False
    return True


def _run_hooked(session, function):
    """`function`, a hook implementation, run with the profile hook on during a test."""

    def hooked(*args, **kwargs):
        __tracebackhide__ = True  # (pytest leaves this frame out of the tracebacks it shows)
        with session._hooked():
            return function(*args, **kwargs)

    return hooked


def _wrapper(function):
    """`function` as a hook wrapper: new-style where pluggy has them (1.1 and later), which
    costs each call of the hook a generator and a result object less; else old-style. The
    body serves both: it returns what its `yield` gives (the hook's result, or for old-style
    the outcome, whose return pluggy ignores)."""
    try:
        return pytest.hookimpl(wrapper=True)(function)
    except TypeError:  # pluggy before 1.1
        return pytest.hookimpl(hookwrapper=True)(function)


class _SarvSession:
    """Profiles the test loop of one session."""

    def __init__(self, sarv_config: dict) -> None:
        self.sarv_config = sarv_config
        self.profiler = None
        self.running = False
        self.db_path = None
        self.reports: dict = {}
        self.tests = 0
        self.first_row = None
        self.current = None  # node id of the test running now
        self.db = None  # sarv.db, once the test loop runs
        self.destination = None  # where and how the tests' traces are saved, once the loop runs
        self.native = None  # sarv._sarv, once a profiler has started
        self.unsaved: list = []  # (node id, reason) of tests whose trace was not saved
        self.last_failure = None  # the error of the latest of them
        self.cut: list = []  # (node id, records dropped) of tests whose trace the caps cut
        self.lost = False  # the test replaced the profile hook with one of its own
        self.depth = 0  # nested regions with the hook on (a phase, a fixture's setup, the test function)
        self.starting = False  # the current test's start marker is still to come
        self.hooked = _Hooked(self)  # (its state is the depth: one serves every region)
        # The phases ("setup", ...) in which the plugins' user code may run without the
        # hook put on for it alone (all of them for one implementing a hook of another
        # plugin's); None: not known yet.
        self.user_hooks = None
        self.hooked_impls: list = []  # (hook implementation, its own function) made to run hooked
        self.previous = self.kept_for = None  # the latest test torn down, and the next test it kept parents for
        self.end_lock = None  # held while a test ends (a threading.Lock, once the loop runs)
        # The profiler's hook on and off this thread, and whether it is the thread's (bound
        # methods, once a profiler has started).
        self.hook_on = self.hook_off = self.hooks_here = None

    def _save_failed(self, db_path, trace_id, error, test_name=None) -> None:
        # Called by sarv.db for a save that fails (a test's is done with the next tests'
        # saves, in this thread or sarv's writer thread).
        reason = " ".join(str(error).split()) or type(error).__name__
        self.unsaved.append((test_name or self.current or trace_id, reason))
        self.last_failure = error

    def _trace_cut(self, db_path, trace_id, test_name, dropped) -> None:
        # Called by sarv.db (on its writer thread) for a stored trace the caps cut.
        self.cut.append((test_name or trace_id, dropped))

    def _start_profiler(self):
        from sarv.profiler import Profiler, _native

        self.native = _native()  # (imported once: a test pauses the hook several times)
        if self.destination is None:
            from sarv import db
            from sarv.destinations import SaveBatched

            # A test's trace is stored with the next tests' saves, in one transaction (or
            # by the writer process): its own commit would cost a small test as much again.
            self.destination = SaveBatched(self.sarv_config.get("db_path") or db.default_db_path())
        profiler = Profiler(self.sarv_config, source=_SOURCE, one_trace_per_test=True, destination=self.destination)
        profiler.start()
        # (bound once a profiler: they are called several times a test)
        core = profiler.rust_profiler
        self.hook_on, self.hooks_here = core.register_threading_profiler, core.hooks_this_thread
        self.hook_off = self.native.register_noop_profiler
        self.profiler = profiler
        self.db_path = profiler.db_path

    # The hook is on only while a test's setup, call or teardown runs (and for its
    # markers): pytest's own work around them (reports, the terminal) is never recorded,
    # and a profile hook costs every Python call it sees, recorded or not. Where no code
    # of the user's can run in a setup or call but through a fixture or the test
    # function, nor in a teardown at all (see `_narrow`), it is on only around those:
    # pytest's machinery of the phase (capture, logging, reports) runs without it.

    def _hooked(self):
        """A context for a phase, or for a fixture's setup or the test function
        inside a narrowed phase: the hook on for its length."""
        return self.hooked if self.current is not None else _NOT_HOOKED

    def _narrow(self, item, phase: str, nextitem=None) -> bool:
        """Whether the `phase` ("setup", "call", "teardown") of `item` runs
        user code only through fixtures' setups (setup), the test function
        (call), the user's plain hook implementations (see `_hook_user_impls`),
        and else not at all (teardown)."""
        if type(item) is not pytest.Function or self.user_hooks is None or phase in self.user_hooks:
            # (an item of another kind runs code of its own; a plugin of the user's
            # may run anywhere)
            return False
        if phase == "setup":
            # The item's parents were set up for the test before it, whose teardown
            # kept them for this one: only the item's own fixtures are set up now. A
            # parametrized test's fixture of a wider scope set up before with another
            # parameter would be ended first, outside any fixture's setup: not then.
            previous = self.previous
            if previous is None or self.kept_for is not item or previous.parent is not item.parent:
                return False
            callspec = item.__dict__.get("callspec")  # (hasattr would make and drop an AttributeError)
            return callspec is None or _nothing_ended_first(item, callspec)
        if phase == "teardown":
            # No parent to tear down before the next test, and nothing of the
            # user's among what ends with the item.
            return nextitem is not None and nextitem.parent is item.parent and _ends_pytest_alone(item)
        return True

    def _hook_user_impls(self, plain: list) -> None:
        """Makes the user's plain implementations of the hooks pytest calls
        inside a test's phases run with the profile hook on, as they did when
        the whole phase ran with it: the phase itself can then go without."""
        for impl, phases in plain:
            function = impl.function
            try:
                impl.function = _run_hooked(self, function)
            except (AttributeError, TypeError):  # (a pluggy whose implementations are frozen)
                self.user_hooks.update(phases)
            else:
                self.hooked_impls.append((impl, function))

    def _unhook_user_impls(self) -> None:
        hooked, self.hooked_impls = self.hooked_impls, []
        for impl, function in hooked:
            impl.function = function

    def _resume(self) -> None:
        if self.profiler is not None and not self.lost:
            self.hook_on(None, None, None)
            if self.starting:
                # The test's start marker opens the first stretch of it with the hook on
                # (or its end): one hooked stretch less per test.
                self.starting = False
                _sarv_test_start(self.current)

    def _pause(self) -> None:
        profiler = self.profiler
        if profiler is None or self.lost:
            return
        if not self.hooks_here():
            # Code under test that installs a profile hook of its own (sarv's API,
            # cProfile) replaces this one on the thread, and removes it when it is done.
            self.lost = True
            return
        self.hook_off()  # off sys.monitoring too, where it records through it
        sys.setprofile(None)

    @_wrapper
    def pytest_runtest_setup(self, item):
        if self._narrow(item, "setup"):
            return (yield)
        with self._hooked():
            return (yield)

    @_wrapper
    def pytest_fixture_setup(self, fixturedef, request):
        if _DIRECT_PARAM is not None and fixturedef.func is _DIRECT_PARAM:
            # pytest's own fixture of a direct parameter: no user code runs in its
            # setup (the user's implementations of this hook put the hook on themselves).
            return (yield)
        with self._hooked():
            return (yield)

    @_wrapper
    def pytest_runtest_call(self, item):
        if self._narrow(item, "call"):
            return (yield)
        with self._hooked():
            return (yield)

    @_wrapper
    def pytest_pyfunc_call(self, pyfuncitem):
        # (what _hooked() does, inline: the hook is on for the test function of every test,
        # and each Python call made with it on costs events)
        if self.current is None:
            return (yield)
        self.depth += 1
        if self.depth == 1:
            self._resume()
        try:
            return (yield)
        finally:
            self.depth -= 1
            if not self.depth:
                self._pause()

    @_wrapper
    def pytest_runtest_teardown(self, item, nextitem):
        try:
            if self._narrow(item, "teardown", nextitem):
                return (yield)
            with self._hooked():
                return (yield)
        finally:
            self.previous, self.kept_for = item, nextitem

    @_wrapper
    def pytest_runtestloop(self, session):
        from sarv import db
        from sarv.config import ConfigError

        if session.config.option.collectonly:
            return (yield)
        try:
            self._start_profiler()
        except ConfigError as exc:
            raise pytest.UsageError("sarv configuration error: %s" % exc) from None
        self._pause()  # (what follows is sarv's own: not seen by the hook)
        try:
            known = db.list_traces(self.db_path, limit=1)
        except db.SarvDatabaseError as exc:
            self.profiler.stop(save=False)
            raise pytest.UsageError("sarv: %s" % exc) from None
        self.first_row = known[0].row_id if known else 0
        self.db = db
        self.user_hooks, plain = _user_hooks(session.config.pluginmanager, self.sarv_config)
        self._hook_user_impls(plain)
        self.running = True
        db.add_save_failure_listener(self._save_failed)
        db.add_cut_trace_listener(self._trace_cut)
        from sarv import process_ends

        self.end_lock = threading.Lock()
        process_ends.add_saver(self._save_at_end)
        process_ends.arm_signals()
        try:
            return (yield)
        finally:
            process_ends.disarm_signals()
            process_ends.remove_saver(self._save_at_end)
            self.running = False
            self._unhook_user_impls()
            profiler, self.profiler = self.profiler, None
            if profiler is not None:
                # Records after the last test belong to no test: dropped.
                profiler.stop(save=False)

    @_wrapper
    def pytest_runtest_protocol(self, item, nextitem):
        if not self.running:  # --collect-only, or another plugin runs the tests
            return (yield)
        if self.lost or self.profiler is None:
            self.lost = False
            self._start_profiler()
            self._pause()
        nodeid = item.nodeid
        self.current = nodeid
        self.reports[nodeid] = {}
        self.starting = True  # (marked when the hook is first on for the test)
        interrupted = False
        try:
            result = yield
            # An old-style wrapper is handed the outcome; a new-style one gets the raise.
            interrupted = getattr(result, "excinfo", None) is not None
            return result
        except BaseException:  # KeyboardInterrupt, pytest.exit: the test did not finish
            interrupted = True
            raise
        finally:
            reports = self.reports.pop(nodeid, {})
            outcome = "interrupted" if interrupted else _outcome(reports)
            self.tests += 1
            with self.end_lock:
                self._end_test(nodeid, outcome)
                self.current = None

    def _save_at_end(self) -> None:
        # SIGTERM or SIGHUP (see sarv.process_ends, on a thread of its own): the running
        # test's trace as far as it was recorded, without its end.
        with self.end_lock:
            if self.current is not None and not self.starting and not self.lost and self.profiler is not None:
                unsaved = len(self.unsaved)
                self.profiler.rust_profiler.save_request_in_db()
                # Batched as every test's: waited for, so that a failure is said before the
                # process ends (the summary that names it will not be printed).
                self.destination.wait()
                if len(self.unsaved) > unsaved and self.last_failure is not None:
                    raise self.last_failure

    def _end_test(self, nodeid, outcome) -> None:
        # (with the hook on, each Python call here costs two events: the hook is known
        # to be ours once resumed, and nothing but the markers runs before it goes off)
        self._resume()
        if self.lost:
            # The end marker would go unseen: save what was recorded
            # up to the moment the hook was replaced, without an end.
            lost, self.profiler = self.profiler, None
            unsaved = len(self.unsaved)
            try:
                lost.rust_profiler.save_request_in_db()
            except Exception as exc:
                if len(self.unsaved) == unsaved:  # not a failure sarv.db reported
                    self.unsaved.append((nodeid, "%s: %s" % (type(exc).__name__, exc)))
        else:
            _sarv_test_end(nodeid, outcome)
            self.hook_off()
            sys.setprofile(None)

    def pytest_runtest_logreport(self, report):
        reports = self.reports.get(report.nodeid)
        if reports is not None:
            known = reports.get(report.when)
            # A failed subtest (unittest's subTest, pytest's subtests) is reported before
            # the test's own report of the same phase, which may say it passed.
            if known is None or known.outcome != "failed":
                reports[report.when] = report

    def _stop_listening(self) -> None:
        from sarv import db

        # The last saves may still be on the writer thread: their outcome is heard first.
        db.wait_for_saves(self.db_path)
        db.remove_save_failure_listener(self._save_failed)
        db.remove_cut_trace_listener(self._trace_cut)

    def pytest_unconfigure(self, config):
        if self.db_path is not None:
            self._stop_listening()

    def pytest_terminal_summary(self, terminalreporter):
        if self.db_path is None or not self.tests:
            return
        from sarv import db

        self._stop_listening()

        # Only this session's rows are read (the database keeps earlier sessions' too).
        session = {"source": _SOURCE, "after_row": self.first_row or 0}
        try:
            saved = db.count_traces(self.db_path, **session)
            shown = self._shown(terminalreporter, db, session) if saved else []
        except db.SarvDatabaseError as exc:
            terminalreporter.write_line("sarv: cannot read the traces back: %s" % exc, red=True)
            return
        line = "sarv: %d of %d tests traced into %s (python -m sarv traces --db %s)" % (
            saved,
            self.tests,
            self.db_path,
            self.db_path,
        )
        terminalreporter.write_line(line, yellow=saved < self.tests and not self.unsaved)
        if self.unsaved:
            terminalreporter.write_line(
                "sarv: %d %s not saved:"
                % (len(self.unsaved), "trace was" if len(self.unsaved) == 1 else "traces were"),
                red=True,
            )
            for nodeid, reason in self.unsaved:
                terminalreporter.write_line("  %s: %s" % (nodeid, reason), red=True)
        if self.cut:
            config = self.sarv_config
            caps = " or ".join("%s %d" % (key, config[key]) for key in ("max_records", "max_bytes") if config.get(key))
            one = len(self.cut) == 1
            kept = "newest" if config.get("max_records_mode", "ring") == "ring" else "first"
            terminalreporter.write_line(
                "sarv: %d %s only %s %s records (%s):"
                % (len(self.cut), "trace keeps" if one else "traces keep", "its" if one else "their", kept, caps),
                yellow=True,
            )
            for nodeid, dropped in self.cut[:_VIEW_LINES]:
                terminalreporter.write_line("  %s: %d records dropped" % (nodeid, dropped), yellow=True)
            if len(self.cut) > _VIEW_LINES:
                terminalreporter.write_line("  and %d more" % (len(self.cut) - _VIEW_LINES), yellow=True)
        if shown:
            self._view_lines(terminalreporter, shown)

    def _shown(self, terminalreporter, db, session) -> list:
        """The traces the summary offers to open: the latest failed tests', else the last."""
        failed = [getattr(r, "nodeid", None) for r in terminalreporter.stats.get("failed", ())]
        shown = []
        for nodeid in reversed(list(dict.fromkeys(n for n in failed if n))[-10 * _VIEW_LINES :]):
            found = [s for s in db.list_traces(self.db_path, test=nodeid, **session) if s.test_name == nodeid]
            shown.extend(found[:1])
            if len(shown) == _VIEW_LINES:
                break
        return shown or db.list_traces(self.db_path, limit=1, **session)

    def _last_passed(self, nodeid):
        """The newest trace of the test that passed, from this session or an earlier one."""
        from sarv import db

        try:
            for summary in db.list_traces(self.db_path, test=nodeid, limit=200):
                if summary.test_name == nodeid and summary.outcome == "passed":
                    return summary
        except db.SarvDatabaseError:
            pass
        return None

    def _view_lines(self, terminalreporter, shown) -> None:
        db = shlex.quote(self.db_path)
        failed = {getattr(r, "nodeid", None) for r in terminalreporter.stats.get("failed", ())}
        if shown[0].test_name in failed:
            for summary in shown:
                terminalreporter.write_line(
                    "sarv: %s failed: python -m sarv view %s --open --db %s" % (summary.test_name, summary.trace_id, db)
                )
                passed = self._last_passed(summary.test_name)
                if passed is not None:
                    terminalreporter.write_line(
                        "  compare it with its last passing run: python -m sarv diff %s %s --db %s"
                        % (passed.trace_id, summary.trace_id, db)
                    )
        else:
            terminalreporter.write_line(
                "sarv: see a test's trace in a browser: python -m sarv view %s --open --db %s (%s)"
                % (shown[0].trace_id, db, shown[0].test_name or "the last test")
            )
