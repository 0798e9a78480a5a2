"""`run`: a Python script or module run as ``__main__`` under the profiler.

This module's functions are on the stack while the program runs; the core
leaves sarv/cli/ out of traces, as it does the rest of the package.
"""

from __future__ import annotations

import argparse
import builtins
import importlib.machinery
import io
import os
import pkgutil
import runpy
import shlex
import signal
import sys
import threading
import traceback
import types
import zipfile

from sarv import db as _db
from sarv import process_ends as _ends
from sarv.cli.common import (
    DB_HELP,
    EXIT_ERROR,
    EXIT_INTERRUPTED,
    EXIT_USAGE,
    CommandError,
    flush_stdout,
    prog,
    view_command,
)
from sarv.config import ConfigError, load_config
from sarv.profiler import _RecursionRoom, threading_profile


def add_parser(commands, prog: str) -> None:
    run = commands.add_parser(
        "run",
        help="run a Python script or module and record a trace of it",
        usage="%s run [options] (script.py | -m module) [args ...]" % prog,
        description="Run a program as __main__ under the profiler, like python -m cProfile. "
        "The trace is saved however the program ends; the exit status is the program's.",
    )
    run.add_argument("--db", metavar="PATH", help=DB_HELP)
    run.add_argument(
        "--threading",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="also record threads the program starts (default: off, or [tool.sarv] threading)",
    )
    run.add_argument(
        "--lightweight-repr",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="keep numbers and short strings, record every other value as its type name (faster, smaller)",
    )
    run.add_argument(
        "--max-records",
        type=int,
        metavar="N",
        help="keep at most N records in memory (default: no limit, or [tool.sarv] max_records); past it, "
        "see --max-records-mode",
    )
    run.add_argument(
        "--max-bytes",
        metavar="SIZE",
        help="keep at most SIZE bytes of records in memory, such as 512M or 2G (default: a quarter of the "
        "machine's memory, or [tool.sarv] max_bytes; 0 for no limit); past it, as past --max-records",
    )
    run.add_argument(
        "--max-records-mode",
        choices=("ring", "stop"),
        help="past --max-records or --max-bytes: stop keeps the first records and leaves the rest of the run "
        "out at little cost (default), ring keeps recording every call and keeps the most recent records",
    )
    run.add_argument(
        "--call-budget",
        type=int,
        metavar="N",
        help="record each function's first N calls in full; later calls are left out with what they call, "
        "and only counted and timed (default: 1000, or [tool.sarv] call_budget; 0 records every call)",
    )
    run.add_argument(
        "--include",
        metavar="FRAGMENT",
        action="append",
        default=[],
        help="record files whose path contains FRAGMENT even if they are libraries (repeatable; "
        "added to filters.include_frames)",
    )
    run.add_argument(
        "--ignore",
        metavar="FRAGMENT",
        action="append",
        default=[],
        help="never record files whose path contains FRAGMENT (repeatable; added to filters.ignore_frames)",
    )
    run.add_argument(
        "--no-children",
        dest="children",
        action="store_false",
        help="record this process alone: no traces of the processes it forks or of the Python programs it "
        "starts (multiprocessing workers, subprocesses), which are otherwise traces of their own linked to its",
    )
    run.add_argument(
        "-m",
        dest="module",
        nargs=argparse.REMAINDER,
        metavar="module [args]",
        help="run a module as python -m does (the rest of the line is for the module)",
    )
    run.add_argument("script", nargs="?", help="the Python file to run")
    run.add_argument("args", nargs=argparse.REMAINDER, help="arguments passed to the program")


def _exit_status(exc: SystemExit) -> int:
    # Mirrors the interpreter: None is success, an int is the status, and
    # anything else is printed to standard error and means failure.
    code = exc.code
    if code is None:
        return 0
    if isinstance(code, int):
        return code & 0xFF  # what the operating system keeps of it
    _ends.say(str(code))
    return 1


def _print_program_error(exc: BaseException, first_file: str | None) -> None:
    # Start the traceback at the program, as `python script.py` would,
    # leaving out sarv's and runpy's frames. An error before the program's
    # first line (a SyntaxError, ...) is shown without a traceback.
    first = exc.__traceback__
    if first_file is not None:
        target = os.path.abspath(first_file)
        while first is not None and os.path.abspath(first.tb_frame.f_code.co_filename) != target:
            first = first.tb_next
    else:
        while first is not None and (
            first.tb_frame.f_code.co_filename == __file__ or first.tb_frame.f_globals.get("__name__") == "runpy"
        ):
            first = first.tb_next
    try:
        traceback.print_exception(type(exc), exc, first)
    except Exception:
        pass  # standard error closed by the program: the interpreter would say nothing either


def _run_config(options) -> dict:
    overrides: dict = {}
    if options.db:
        overrides["db_path"] = options.db
    if options.threading is not None:
        overrides["threading"] = options.threading
    if options.lightweight_repr is not None:
        overrides["lightweight_repr"] = options.lightweight_repr
    if options.call_budget is not None:
        overrides["call_budget"] = options.call_budget
    if options.max_records is not None:
        overrides["max_records"] = options.max_records
    if options.max_bytes is not None:
        overrides["max_bytes"] = options.max_bytes
    if options.max_records_mode is not None:
        overrides["max_records_mode"] = options.max_records_mode
    try:
        config = load_config(overrides)
    except ConfigError as exc:
        raise CommandError("configuration error: %s" % exc, EXIT_USAGE) from None
    # Fragments from the command line add to those of pyproject.toml.
    config["filters"]["include_frames"].extend(options.include)
    config["filters"]["ignore_frames"].extend(options.ignore)
    return config


def _check_module(name: str):
    """The module's file name, or CommandError if `python -m` could not run it.

    Looking the module up imports its parent packages, as running it would.
    """
    if not name or name.startswith("."):
        raise CommandError("cannot run module %r: a module name is needed" % name, EXIT_USAGE)
    details = getattr(runpy, "_get_module_details", None)
    try:
        if details is not None:
            _, spec, _ = details(name)
            return spec.origin
        import importlib.util

        spec = importlib.util.find_spec(name)
    except Exception as exc:  # ImportError, or an error raised by a parent package
        message = str(exc) or type(exc).__name__
        raise CommandError("cannot run module %s: %s" % (name, message), EXIT_USAGE) from None
    if spec is None:
        raise CommandError("cannot run module %s: No module named %s" % (name, name), EXIT_USAGE)
    return spec.origin


def _check_script(path: str) -> None:
    if not os.path.exists(path):
        raise CommandError("cannot run %s: no such file" % path, EXIT_USAGE)
    if os.path.isdir(path):
        if not any(os.path.isfile(os.path.join(path, "__main__" + ext)) for ext in (".py", ".pyc")):
            raise CommandError("cannot run %s: a folder without __main__.py" % path, EXIT_USAGE)
    elif not os.access(path, os.R_OK):
        raise CommandError("cannot run %s: not readable" % path, EXIT_USAGE)


class _DeferredInterrupt:
    """Ctrl-C while the trace is being saved: noted, acted on afterwards."""

    def __init__(self) -> None:
        self.seen = False
        self.previous = None

    def __enter__(self):
        try:
            self.previous = signal.signal(signal.SIGINT, self._note)
        except ValueError:  # not the main thread
            self.previous = None
        return self

    def _note(self, signum, frame):
        self.seen = True

    def __exit__(self, *exc):
        if self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)
        return False


def command(options) -> int:
    from sarv.profiler import Profiler

    if options.module is not None:
        if not options.module:
            raise CommandError("argument -m: expected a module name", EXIT_USAGE)
        if options.script is not None:
            # argparse gives -m everything after it; a script before -m is a mistake.
            raise CommandError("give either a script or -m module, not both", EXIT_USAGE)
        module, args = options.module[0], list(options.module[1:])
        program = module
    elif options.script is None:
        raise CommandError("a script or -m module is needed", EXIT_USAGE)
    else:
        module, args, program = None, list(options.args), options.script

    config = _run_config(options)
    saved_argv, saved_path = sys.argv, list(sys.path)
    try:
        if module is not None:
            sys.path.insert(0, os.getcwd())  # as python -m does
            module_file = _check_module(module)
            argv0 = module_file or module
        else:
            _check_script(program)
            # As `python script.py` does: the script's folder comes first.
            sys.path.insert(0, os.path.dirname(os.path.abspath(program)))
            module_file = None
            argv0 = program
        profiler = Profiler(config, source="cli")
        # A bad path found at the save would cost the whole run.
        _check_db_path(profiler.db_path)
        sys.argv = [argv0] + args
        try:
            profiler.start()
        except ConfigError as exc:
            raise CommandError("configuration error: %s" % exc, EXIT_USAGE) from None
        except Exception as exc:
            raise CommandError("cannot start profiling: %s" % exc) from None
        with _Ends(profiler, getattr(options, "children", True)):
            status = _run_program(profiler, module, module_file if module is not None else os.path.abspath(program))
    finally:
        sys.argv, sys.path[:] = saved_argv, saved_path
    return status


class _Ends:
    """The ends of the program that run no code of run's own (SIGTERM, SIGHUP,
    os._exit, exec) save its trace and say so; its Python children record
    traces of their own (see sarv.process_ends)."""

    def __init__(self, profiler, children: bool) -> None:
        self.profiler = profiler
        self.children = children

    def _save(self) -> None:
        profiler = self.profiler
        if not profiler._running:
            return  # saved (or being saved) by the program's own end
        profiler.stop()
        _say_saved(profiler)

    def __enter__(self):
        _ends.arm_signals()
        _ends.add_saver(self._save)
        if self.children:
            if not _ends.trace_children(self.profiler):
                _ends.say(
                    "sarv: the program's Python subprocesses are not traced: its configuration has values "
                    "that cannot be passed on"
                )
        else:
            self.profiler.record_children = False
        return self

    def __exit__(self, *exc):
        _ends.remove_saver(self._save)
        _ends.disarm_signals()
        if self.children:
            _ends.untrace_children()
        return False


def _say_saved(profiler) -> None:
    count = "?" if profiler.record_count is None else profiler.record_count
    _ends.say("trace %s: %s records saved to %s" % (profiler.trace_id, count, _db.shown_location(profiler.db_path)))


def _check_db_path(path: str) -> None:
    # The checks a save makes (another program's file, a newer layout, damage, a file or
    # folder that cannot be written): found at the save they would cost the whole run.
    try:
        _db.check_store(path)
    except _db.SarvDatabaseError as exc:
        message = str(exc)
        shown = _db.shown_location(path)
        if shown not in message:
            message = "%s: %s" % (shown, message)
        raise CommandError("cannot save traces: %s" % message, EXIT_USAGE) from None


class _UnrecordedThreads:
    """Names the threads started while the hook stays off new threads (no --threading)."""

    def __init__(self, watch: bool) -> None:
        self.watch = watch
        self.names: list[str] = []
        self.previous = None

    def _seen(self, frame, event, arg):
        # The first event of a new thread; then out of its way.
        self.names.append(threading.current_thread().name)
        sys.setprofile(None)

    def __enter__(self):
        if self.watch:
            self.previous = threading_profile()
            if self.previous is None:
                threading.setprofile(self._seen)
            else:
                self.watch = False  # the program's own hook for threads stays
        return self

    def __exit__(self, *exc):
        if self.watch and threading_profile() == self._seen:
            threading.setprofile(None)
        return False


def _caps(config) -> str:
    """The caps in force, as the warning about dropped records names them."""
    caps = ["%s (%d)" % (key, config[key]) for key in ("max_records", "max_bytes") if config.get(key)]
    return "%s, %s" % (" or ".join(caps) or "the caps", config["max_records_mode"])


def _left_out(profiler):
    """What the saved trace says it left out (its record of the calls left out), or None."""
    if profiler.record_count is None:
        return None  # not saved under this id: nothing of it to read
    from sarv.views.stream import stored_left_out

    try:
        return stored_left_out(profiler.db_path, profiler.trace_id)
    except Exception as exc:  # the save was made: this only cost the note
        _ends.say("sarv: could not read what trace %s left out: %s" % (profiler.trace_id, exc))
        return None


def _show_command(profiler) -> str:
    command = "%s show %s" % (prog(), profiler.trace_id)
    if _db.location(profiler.db_path) != _db.location(_db.default_db_path()):
        command += " --db %s" % shlex.quote(_db.shown_location(profiler.db_path))
    return command


def _nothing_recorded_reason(config, main_file: str) -> str:
    shown = os.path.abspath(main_file)
    folder = os.path.dirname(shown)
    included = config["filters"]["include_frames"]
    if not any(fragment in shown for fragment in included):
        for fragment in ("lib/python", "/site-packages/"):
            if fragment in shown:
                return (
                    "%s is under a path containing %r, which sarv leaves out as library code; "
                    "record it with --include %s" % (main_file, fragment, folder)
                )
    for fragment in config["filters"]["ignore_frames"]:
        if fragment in shown:
            return "%s matches the ignored fragment %r (--ignore or [tool.sarv] filters)" % (main_file, fragment)
    return "the program ran none of its own functions, or sarv left its files out (see --include)"


def _run_script(path: str) -> None:
    """Runs a script as `python path` does: as __main__, __file__ absolute (a program that
    changes directory and builds paths from __file__ still finds them), sys.argv as it is
    (runpy.run_path would put the absolute path in sys.argv[0] as well)."""
    if os.path.isdir(path) or zipfile.is_zipfile(path):
        runpy.run_path(path, run_name="__main__")  # its __main__.py
        return
    with io.open_code(path) as file:
        code = pkgutil.read_code(file)  # a compiled .pyc, else None
    loader = importlib.machinery.SourcelessFileLoader if code is not None else importlib.machinery.SourceFileLoader
    if code is None:
        with io.open_code(path) as file:
            code = compile(file.read(), path, "exec", dont_inherit=True)
    main = types.ModuleType("__main__")
    # The globals `python path` gives a script: a loader of its file, the builtins module.
    main.__dict__.update(
        __file__=path,
        __loader__=loader("__main__", path),
        __package__=None,
        __spec__=None,
        __builtins__=builtins,
    )
    if sys.version_info < (3, 15):
        main.__cached__ = None  # (3.15 no longer gives a script __cached__)
    saved = sys.modules.get("__main__")
    if saved is not None and "__annotations__" in vars(saved):
        main.__annotations__ = {}  # as the interpreter's own __main__ starts (where it does)
    sys.modules["__main__"] = main
    try:
        exec(code, main.__dict__)
    finally:
        if saved is not None:
            sys.modules["__main__"] = saved
        else:
            sys.modules.pop("__main__", None)


def _say_what_was_missed(profiler, main_file, unrecorded_names) -> None:
    """What the trace does not hold: records dropped past a cap, calls the
    budget left out, nothing recorded at all, threads that ran unrecorded."""
    if profiler.dropped_records:
        _ends.say("sarv: %d records were dropped past %s" % (profiler.dropped_records, _caps(profiler.config)))
    left_out = _left_out(profiler)
    if left_out:
        _ends.say("sarv: %s; see '%s'" % (left_out.text(), _show_command(profiler)))
    if profiler.record_count == 0 and main_file is not None:
        _ends.say("sarv: no frame was recorded: %s" % _nothing_recorded_reason(profiler.config, main_file))
    if unrecorded_names:
        names = ", ".join(unrecorded_names[:3]) + (", ..." if len(unrecorded_names) > 3 else "")
        _ends.say(
            "sarv: %d thread%s ran unrecorded (%s); record %s with --threading"
            % (
                len(unrecorded_names),
                "" if len(unrecorded_names) == 1 else "s",
                names,
                "it" if len(unrecorded_names) == 1 else "them",
            )
        )


def _run_program(profiler, module, main_file) -> int:
    failure = None
    watch_threads = profiler.config.get("threading") is not True
    try:
        with _UnrecordedThreads(watch_threads) as unrecorded:
            if module is not None:
                runpy.run_module(module, run_name="__main__", alter_sys=True)
            else:
                _run_script(main_file)
    except BaseException as exc:  # SystemExit and KeyboardInterrupt included
        failure = exc
    # From here on a (second) Ctrl-C must not cost the trace (nor a SIGTERM: see
    # sarv.process_ends), nor the recursion limit the program left.
    with _DeferredInterrupt() as interrupt, _RecursionRoom():
        status = 0
        if isinstance(failure, SystemExit):
            status = _exit_status(failure)
        elif failure is not None:
            _print_program_error(failure, main_file)
            status = EXIT_INTERRUPTED if isinstance(failure, KeyboardInterrupt) else 1
        failure = None  # the traceback holds the program's frames
        try:
            # The trace's command line is sys.argv as the program left it.
            profiler.stop()
        except Exception as exc:
            _ends.settle()
            flush_stdout()
            _ends.say("sarv: could not save trace %s: %s" % (profiler.trace_id, exc))
            return status or EXIT_ERROR
        _ends.settle()  # a signal came: it ends the process now that the trace is saved
        flush_stdout()
        _say_saved(profiler)
        _say_what_was_missed(profiler, main_file, unrecorded.names)
        _ends.say("see it in a browser: %s" % view_command(profiler.trace_id, profiler.db_path))
    if interrupt.seen and status == 0:
        status = EXIT_INTERRUPTED
    return status
