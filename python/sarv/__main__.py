"""Command line: ``python -m sarv COMMAND`` (or the ``sarv`` script).

    run [options] script.py [args...]    record a program, like python -m cProfile
    run [options] -m module [args...]
    traces (or ls) [--source S] [--test TEXT] [--since WHEN]
                                         the stored traces, newest first
    prune --older-than AGE | --keep-last N [--source S]
    delete TRACE_ID...                   remove traces and compact the file
    show TRACE_ID|last                   the call tree of a trace
    export TRACE_ID|last --format chrome|json|html [-o FILE]
    view TRACE_ID|last [-o FILE] [--open]  the trace as a page for a browser

`run` runs the program as ``__main__`` with its own ``sys.argv``, keeps
its exit status (130 after Ctrl-C), saves the trace however it ends, and
reports "trace <id>: <N> records saved to <db_path>" on standard error, so
that the program's own output stays as it is.

The trace database is --db, else SARV_DB, else db_path of [tool.sarv] in
the nearest pyproject.toml, else .sarv/traces.sqlite3 in the current folder.

Every failure of sarv itself is one line "sarv: ..." on standard error and
a non-zero exit status (2 for a wrong command line or configuration, 1 for
the rest); only the program's own errors print a traceback, as Python
would.

While a program runs, only this module, profiler.py and the other modules
that the core leaves out of traces are on the stack; the commands that read
traces import sarv.filters, which the core leaves out as well.
"""

from __future__ import annotations

import argparse
import os
import runpy
import shlex
import signal
import sys
import traceback

from sarv import db as _db
from sarv.config import ConfigError, load_config

__all__ = ["main"]

EXIT_ERROR = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


class CommandError(Exception):
    """A failure reported as one line, with an exit status."""

    def __init__(self, message: str, status: int = EXIT_ERROR) -> None:
        super().__init__(message)
        self.status = status


class _Parser(argparse.ArgumentParser):
    # argparse prints the usage and then the error; one line is easier to
    # read among a program's output and to match in scripts.
    def error(self, message):
        raise CommandError("%s (see %s --help)" % (message, self.prog), EXIT_USAGE)


def _prog() -> str:
    name = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    return "sarv" if name in ("sarv", "sarv.exe") else "python -m sarv"


def _parser() -> argparse.ArgumentParser:
    from sarv.filters.view import DEFAULT_MAX_DEPTH, DEFAULT_MAX_LINES

    prog = _prog()
    parser = _Parser(
        prog=prog,
        description="sarv: a tracing profiler that records your own code's calls, arguments, "
        "locals and return values.",
        epilog="Run '%s COMMAND --help' for the options of a command." % prog,
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    db_help = "trace database (default: $SARV_DB, else db_path of [tool.sarv], else .sarv/traces.sqlite3)"

    run = commands.add_parser(
        "run",
        help="run a Python script or module and record a trace of it",
        usage="%s run [options] (script.py | -m module) [args ...]" % prog,
        description="Run a program as __main__ under the profiler, like python -m cProfile. "
        "The trace is saved however the program ends; the exit status is the program's.",
    )
    run.add_argument("--db", metavar="PATH", help=db_help)
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
        help="keep at most N records in memory (default: no limit, or [tool.sarv] max_records); past it, the "
        "oldest are dropped (see --max-records-mode)",
    )
    run.add_argument(
        "--max-records-mode",
        choices=("ring", "stop"),
        help="past --max-records: ring keeps the most recent records (default), stop keeps the first",
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
        "-m",
        dest="module",
        nargs=argparse.REMAINDER,
        metavar="module [args]",
        help="run a module as python -m does (the rest of the line is for the module)",
    )
    run.add_argument("script", nargs="?", help="the Python file to run")
    run.add_argument("args", nargs=argparse.REMAINDER, help="arguments passed to the program")

    traces = commands.add_parser("traces", aliases=["ls"], help="list the stored traces, newest first")
    traces.add_argument("--db", metavar="PATH", help=db_help)
    traces.add_argument(
        "--limit", type=int, default=50, metavar="N", help="show the N newest (default 50, 0 for all)"
    )
    traces.add_argument("--source", metavar="SOURCE", help="only traces of this source (cli, pytest, api, ...)")
    traces.add_argument("--test", metavar="TEXT", help="only traces of tests whose node id contains TEXT")
    traces.add_argument(
        "--since", metavar="WHEN", help="only traces saved since WHEN: an age (90s, 30m, 12h, 7d, 2w) or a date "
        "(2026-12-08, 2026-12-08T14:30)"
    )

    prune = commands.add_parser(
        "prune",
        help="remove old traces (and give their space back)",
        description="Remove the traces saved before --older-than, or all but the --keep-last newest (of "
        "--source only, when given), then compact the database file.",
    )
    prune.add_argument("--db", metavar="PATH", help=db_help)
    prune.add_argument("--older-than", metavar="AGE", help="an age: 90s, 30m, 12h, 7d, 2w")
    prune.add_argument("--keep-last", type=int, metavar="N", help="keep the N newest traces")
    prune.add_argument("--source", metavar="SOURCE", help="only remove traces of this source")

    delete = commands.add_parser("delete", help="remove traces by id (and give their space back)")
    delete.add_argument("traces", nargs="+", metavar="TRACE_ID", help="trace ids, their first or last characters, or 'last'")
    delete.add_argument("--db", metavar="PATH", help=db_help)

    show = commands.add_parser("show", help="print the call tree of a trace")
    show.add_argument("trace", metavar="TRACE_ID", help="a trace id, its first or last characters, or 'last'")
    show.add_argument("--db", metavar="PATH", help=db_help)
    show.add_argument("--locals", action="store_true", help="add the arguments, locals and return values")
    show.add_argument(
        "--max-depth",
        type=int,
        default=None,
        metavar="N",
        help="show N levels of calls (default %d, 0 for no limit)" % DEFAULT_MAX_DEPTH,
    )
    show.add_argument(
        "--max-lines",
        type=int,
        default=None,
        metavar="N",
        help="stop after N lines (default %d, 0 for no limit)" % DEFAULT_MAX_LINES,
    )

    export = commands.add_parser(
        "export",
        help="write a trace as Chrome trace events (Perfetto, chrome://tracing) or JSON",
        description="chrome: one complete event per call, per thread, for Perfetto and "
        "chrome://tracing. json: the whole trace document; bytes are written as "
        '{"__bytes__": "<base64>"}.',
    )
    export.add_argument("trace", metavar="TRACE_ID", help="a trace id, its first or last characters, or 'last'")
    export.add_argument("--db", metavar="PATH", help=db_help)
    export.add_argument("--format", choices=("chrome", "json", "html"), default="chrome", help="default: chrome")
    export.add_argument("-o", "--output", metavar="FILE", default="-", help="output file (default: standard output)")

    view = commands.add_parser(
        "view",
        help="write a trace as one HTML page (timeline, call tree, values) and optionally open it",
        description="One self-contained HTML file: it needs no network and no server. "
        "By default it is written next to the trace database as TRACE_ID.html.",
    )
    view.add_argument("trace", metavar="TRACE_ID", help="a trace id, its first or last characters, or 'last'")
    view.add_argument("--db", metavar="PATH", help=db_help)
    view.add_argument("-o", "--output", metavar="FILE", help="the page's file (default: TRACE_ID.html beside the database)")
    view.add_argument("--open", action="store_true", help="open the page in the default browser")
    return parser


# ------------------------------------------------------------------ run


def _exit_status(exc: SystemExit) -> int:
    # Mirrors the interpreter: None is success, an int is the status, and
    # anything else is printed to standard error and means failure.
    code = exc.code
    if code is None:
        return 0
    if isinstance(code, int):
        return code & 0xFF  # what the operating system keeps of it
    print(code, file=sys.stderr)
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
    traceback.print_exception(type(exc), exc, first)


def _run_config(options) -> dict:
    overrides: dict = {}
    if options.db:
        overrides["db_path"] = options.db
    if options.threading is not None:
        overrides["threading"] = options.threading
    if options.lightweight_repr is not None:
        overrides["lightweight_repr"] = options.lightweight_repr
    if options.max_records is not None:
        overrides["max_records"] = options.max_records
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


def _run(options) -> int:
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
        sys.argv = [argv0] + args
        try:
            profiler.start()
        except ConfigError as exc:
            raise CommandError("configuration error: %s" % exc, EXIT_USAGE) from None
        except Exception as exc:
            raise CommandError("cannot start profiling: %s" % exc) from None
        status = _run_program(profiler, module, program, module_file)
    finally:
        sys.argv, sys.path[:] = saved_argv, saved_path
    return status


def _run_program(profiler, module, program, module_file) -> int:
    failure = None
    try:
        if module is not None:
            runpy.run_module(module, run_name="__main__", alter_sys=True)
        else:
            runpy.run_path(program, run_name="__main__")
    except BaseException as exc:  # SystemExit and KeyboardInterrupt included
        failure = exc
    # From here on a (second) Ctrl-C must not cost the trace.
    with _DeferredInterrupt() as interrupt:
        status = 0
        if isinstance(failure, SystemExit):
            status = _exit_status(failure)
        elif failure is not None:
            _print_program_error(failure, module_file if module is not None else program)
            status = EXIT_INTERRUPTED if isinstance(failure, KeyboardInterrupt) else 1
        failure = None  # the traceback holds the program's frames
        try:
            # The trace's command line is sys.argv as the program left it.
            profiler.stop()
        except Exception as exc:
            _flush_stdout()
            print("sarv: could not save trace %s: %s" % (profiler.trace_id, exc), file=sys.stderr)
            return status or EXIT_ERROR
        _flush_stdout()
        count = "?" if profiler.record_count is None else profiler.record_count
        print("trace %s: %s records saved to %s" % (profiler.trace_id, count, profiler.db_path), file=sys.stderr)
        if profiler.dropped_records:
            print(
                "sarv: %d records were dropped past max_records (%d, %s)"
                % (profiler.dropped_records, profiler.config["max_records"], profiler.config["max_records_mode"]),
                file=sys.stderr,
            )
        print("see it in a browser: %s" % view_command(profiler.trace_id, profiler.db_path), file=sys.stderr)
    if interrupt.seen and status == 0:
        status = EXIT_INTERRUPTED
    return status


def _flush_stdout() -> None:
    try:
        sys.stdout.flush()
    except Exception:
        pass  # a closed or broken stdout is the program's business


# ------------------------------------------------------------ read side


def _db_path(options) -> str:
    if options.db:
        return options.db
    try:
        configured = load_config().get("db_path")
    except ConfigError as exc:
        raise CommandError("configuration error: %s (or give --db)" % exc, EXIT_USAGE) from None
    return configured or _db.default_db_path()


def _existing_db(options) -> str:
    path = _db_path(options)
    if not os.path.exists(path):
        raise CommandError("no trace database at %s (record one with '%s run', or give --db)" % (path, _prog()))
    if os.path.isdir(path):
        raise CommandError("%s is a folder, not a trace database" % path)
    return path


def _prune(options) -> int:
    if options.older_than is None and options.keep_last is None:
        raise CommandError("prune needs --older-than AGE or --keep-last N (or both)", EXIT_USAGE)
    if options.keep_last is not None and options.keep_last < 0:
        raise CommandError("--keep-last must be 0 or more", EXIT_USAGE)
    older = _age(options.older_than, "--older-than") if options.older_than is not None else None
    path = _existing_db(options)
    removed = _db.prune_traces(path, older_than=older, keep_last=options.keep_last, source=options.source)
    print("removed %d %s from %s" % (removed, "trace" if removed == 1 else "traces", path))
    return 0


def _delete(options) -> int:
    path = _existing_db(options)
    ids = [_db.resolve_trace_id(path, text) for text in options.traces]
    removed = _db.delete_traces(path, ids)
    print("removed %d %s from %s" % (removed, "trace" if removed == 1 else "traces", path))
    return 0


def _page_data(options):
    """(database path, trace id, the page's structure and values), read as
    a stream."""
    from sarv.viewer import stored_page_data

    path = _existing_db(options)
    trace_id = _db.resolve_trace_id(path, options.trace)
    found: list = []

    def read(_) -> None:
        with _db.open_trace(path, trace_id) as stored:
            found.extend(stored_page_data(stored))

    _decoded(read, None, trace_id, path)
    return path, trace_id, found[0], found[1]


_AGE_UNITS = {"s": 1, "m": 60, "h": 3600, "d": 86400, "w": 7 * 86400}


def _age(text: str, option: str) -> float:
    """Seconds of an age such as 90s, 30m, 12h, 7d or 2w."""
    value, unit = text[:-1], text[-1:].lower()
    try:
        seconds = float(value) * _AGE_UNITS[unit]
    except (KeyError, ValueError):
        raise CommandError("%s: expected an age such as 90s, 30m, 12h, 7d or 2w, not %r" % (option, text), EXIT_USAGE) from None
    if seconds < 0:
        raise CommandError("%s must not be negative" % option, EXIT_USAGE)
    return seconds


def _since(text: str) -> float:
    import datetime
    import time

    if text and text[-1:].lower() in _AGE_UNITS and text[:-1].replace(".", "", 1).isdigit():
        return time.time() - _age(text, "--since")
    try:
        return datetime.datetime.fromisoformat(text).timestamp()
    except ValueError:
        raise CommandError(
            "--since: expected an age (90s, 30m, 12h, 7d, 2w) or a date (2026-12-08, 2026-12-08T14:30), not %r" % text,
            EXIT_USAGE,
        ) from None


def _traces(options) -> int:
    from sarv.filters.view import render_traces

    path = _existing_db(options)
    limit = options.limit if options.limit and options.limit > 0 else None
    since = _since(options.since) if options.since else None
    summaries = _db.list_traces(
        path, limit=limit + 1 if limit else None, source=options.source, test=options.test, since=since
    )
    if not summaries:
        filtered = options.source or options.test or options.since
        print("no traces%s in %s" % (" that match" if filtered else "", path))
        return 0
    cut = limit is not None and len(summaries) > limit
    render_traces(summaries[:limit] if cut else summaries, limit_note=limit if cut else None)
    return 0


def _show(options) -> int:
    for name in ("max_depth", "max_lines"):
        value = getattr(options, name)
        if value is not None and value < 0:
            raise CommandError("--%s must be 0 or more" % name.replace("_", "-"), EXIT_USAGE)
    path = _existing_db(options)
    trace_id = _db.resolve_trace_id(path, options.trace)
    _decoded(lambda out: _render(path, trace_id, options, out), sys.stdout, trace_id, path)
    return 0


def _render(path, trace_id, options, out) -> None:
    from sarv.filters.view import DEFAULT_MAX_DEPTH, DEFAULT_MAX_LINES, render_stored_trace

    render_stored_trace(
        path,
        trace_id,
        out,
        show_locals=options.locals,
        max_depth=DEFAULT_MAX_DEPTH if options.max_depth is None else options.max_depth,
        max_lines=DEFAULT_MAX_LINES if options.max_lines is None else options.max_lines,
    )


def _export(options) -> int:
    import gzip

    from sarv.filters.export import write_chrome_trace, write_json_document

    path = _existing_db(options)
    trace_id = _db.resolve_trace_id(path, options.trace)

    def open_stream():
        return _db.open_trace(path, trace_id)

    def write(out) -> None:
        if options.format == "chrome":
            write_chrome_trace(open_stream, out)
        else:
            with open_stream() as stored:
                write_json_document(stored, out)

    if options.format == "html":
        _, trace_id, structure, values = _page_data(options)
        if options.output == "-":
            from sarv.viewer import page_parts

            sys.stdout.writelines(page_parts(structure, values))
            return 0
        _write_page(structure, values, options.output)
        print("wrote %s (html) of trace %s" % (options.output, trace_id), file=sys.stderr)
        return 0
    if options.output == "-":
        _decoded(write, sys.stdout, trace_id, path)
        return 0
    try:
        if options.output.endswith(".gz"):
            # Level 1: a trace of a gigabyte of JSON still compresses several times over,
            # and in seconds rather than minutes.
            stream = gzip.open(options.output, "wt", encoding="utf-8", compresslevel=1)
        else:
            stream = open(options.output, "w", encoding="utf-8")
        with stream:
            try:
                _decoded(write, stream, trace_id, path)
            except BaseException:
                stream.close()
                try:
                    os.unlink(options.output)  # no half-written file left behind
                except OSError:
                    pass
                raise
    except OSError as exc:
        raise CommandError("cannot write %s: %s" % (options.output, exc.strerror or exc)) from None
    print("wrote %s (%s) of trace %s" % (options.output, options.format, trace_id), file=sys.stderr)
    return 0


def _decoded(write, out, trace_id: str, path: str) -> None:
    """write(out), with a document that cannot be decoded reported as such."""
    import msgpack

    try:
        write(out)
    except (ValueError, TypeError, msgpack.UnpackException) as exc:
        reason = "%s: %s" % (type(exc).__name__, exc) if str(exc) else type(exc).__name__
        raise CommandError("trace %s in %s cannot be decoded: %s" % (trace_id, path, reason)) from None


def _write_page(structure, values, path: str) -> None:
    from sarv.viewer import write_page

    try:
        write_page(structure, values, path)
    except OSError as exc:
        raise CommandError("cannot write %s: %s" % (path, exc.strerror or exc)) from None


def view_command(trace_id: str, db_path: str) -> str:
    """The command line that shows a saved trace in a browser."""
    command = "%s view %s --open" % (_prog(), trace_id)
    if os.path.abspath(db_path) != os.path.abspath(_db.default_db_path()):
        command += " --db %s" % shlex.quote(db_path)
    return command


def _view(options) -> int:
    path, trace_id, structure, values = _page_data(options)
    output = options.output or os.path.join(os.path.dirname(os.path.abspath(path)), trace_id + ".html")
    _write_page(structure, values, output)
    print("wrote %s" % output, file=sys.stderr)
    if options.open:
        import pathlib
        import webbrowser

        if not webbrowser.open(pathlib.Path(os.path.abspath(output)).as_uri()):
            raise CommandError("no browser could be started: open %s yourself" % output)
    return 0


_COMMANDS = {
    "run": _run,
    "traces": _traces,
    "ls": _traces,
    "show": _show,
    "export": _export,
    "view": _view,
    "prune": _prune,
    "delete": _delete,
}


def main(argv=None) -> int:
    try:
        parser = _parser()
        options = parser.parse_args(argv)
        if options.command is None:
            raise CommandError(
                "a command is needed: run, traces, show, export, view, prune or delete (see %s --help)" % parser.prog, EXIT_USAGE
            )
        return _COMMANDS[options.command](options)
    except CommandError as exc:
        return _fail(str(exc), exc.status)
    except _db.TraceNotFound as exc:
        return _fail(str(exc))
    except _db.SarvDatabaseError as exc:
        return _fail(str(exc))
    except BrokenPipeError:
        # The reader (head, less) went away: stop quietly, as cat does.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return EXIT_ERROR
    except KeyboardInterrupt:
        return _fail("interrupted", EXIT_INTERRUPTED)
    except Exception as exc:  # a fault of sarv: still one line, with what happened
        return _fail("internal error: %s: %s" % (type(exc).__name__, exc))


def _fail(message: str, status: int = EXIT_ERROR) -> int:
    _flush_stdout()
    message = " ".join(message.split("\n"))
    print("sarv: %s" % message, file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
