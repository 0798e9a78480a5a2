"""Command line: ``python -m sarv run script.py [args...]``.

Runs the script as ``__main__`` with ``sys.argv`` set to the script and its
arguments, records it, saves the trace even when the script raises or calls
``sys.exit``, and exits with the script's exit status. The summary line,
"trace <id>: <N> records saved to <db_path>", goes to standard error so that
the script's own output stays as it is.
"""

from __future__ import annotations

import argparse
import os
import runpy
import sys
import traceback

from sarv.config import ConfigError, load_config
from sarv.profiler import Profiler

__all__ = ["main"]


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m sarv", description="sarv: a tracing profiler")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    run = commands.add_parser("run", help="run a Python script and record a trace of it")
    run.add_argument("--db", metavar="PATH", help="trace database (default: config, $SARV_DB or .sarv/traces.sqlite3)")
    run.add_argument("script", help="the Python file to run")
    run.add_argument("args", nargs=argparse.REMAINDER, help="arguments passed to the script")
    return parser


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


def _print_script_error(script: str) -> None:
    # Start the traceback at the script, as `python script.py` would show it.
    exc_type, exc, tb = sys.exc_info()
    script = os.path.abspath(script)
    first = tb
    while first is not None and os.path.abspath(first.tb_frame.f_code.co_filename) != script:
        first = first.tb_next
    traceback.print_exception(exc_type, exc, first if first is not None else tb)


def _run(script: str, args: list, db: str | None) -> int:
    if not os.path.isfile(script):
        print("sarv: cannot run %s: no such file" % script, file=sys.stderr)
        return 2
    try:
        config = load_config({"db_path": db} if db else None)
    except ConfigError as exc:
        print("sarv: configuration error: %s" % exc, file=sys.stderr)
        return 2

    saved_argv, saved_path = sys.argv, list(sys.path)
    sys.argv = [script] + list(args)
    # As `python script.py` does: the script's folder comes first on the path.
    sys.path.insert(0, os.path.dirname(os.path.abspath(script)))
    try:
        return _run_profiled(script, config)
    finally:
        sys.argv, sys.path[:] = saved_argv, saved_path


def _run_profiled(script: str, config: dict) -> int:
    profiler = Profiler(config, source="cli")
    status = 0
    try:
        profiler.start()
    except Exception as exc:
        print("sarv: cannot start profiling: %s" % exc, file=sys.stderr)
        return 2
    try:
        runpy.run_path(script, run_name="__main__")
    except SystemExit as exc:
        status = _exit_status(exc)
    except KeyboardInterrupt:
        _print_script_error(script)
        status = 130
    except BaseException:
        _print_script_error(script)
        status = 1
    try:
        # The trace's command line is sys.argv as the script left it.
        profiler.stop()
    except Exception as exc:
        print("sarv: could not save trace %s: %s" % (profiler.trace_id, exc), file=sys.stderr)
        return status or 1
    count = "?" if profiler.record_count is None else profiler.record_count
    print("trace %s: %s records saved to %s" % (profiler.trace_id, count, profiler.db_path), file=sys.stderr)
    return status


def main(argv=None) -> int:
    options = _parser().parse_args(argv)
    if options.command == "run":
        return _run(options.script, options.args, options.db)
    return 2  # pragma: no cover - argparse rejects other commands


if __name__ == "__main__":
    sys.exit(main())
