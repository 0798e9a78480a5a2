"""Command line: ``python -m sarv COMMAND`` (or the ``sarv`` script).

    run [options] script.py [args...]    record a program, like python -m cProfile
    run [options] -m module [args...]
    traces (or ls) [--source S] [--test TEXT] [--since WHEN]
                                         the stored traces, newest first
    prune --older-than AGE | --keep-last N [--source S]
    delete TRACE_ID...                   remove traces and compact the file
    show TRACE_ID|last [--hot]           the call tree of a trace, or where its time went
    export TRACE_ID|last --format chrome|json|html [-o FILE]
    view TRACE_ID|last [-o FILE] [--open]  the trace as a page for a browser
    diff A B | TEST_NODE_ID              where two runs went differently

One module per command, each with `add_parser` (its options) and `command`
(what it does, given the parsed options, returning the exit status).

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

While a program runs, only this package, profiler.py and the other modules
that the core leaves out of traces are on the stack; the commands that read
traces import sarv.views, which the core leaves out as well.
"""

from __future__ import annotations

import argparse
import os
import sys

from sarv import db as _db
from sarv.cli import delete, diff, export, prune, run, show, traces, view
from sarv.cli.common import EXIT_ERROR, EXIT_INTERRUPTED, EXIT_USAGE, CommandError, flush_stdout, prog

__all__ = ["main"]

# In the order of --help.
_COMMANDS = {
    "run": run,
    "traces": traces,
    "prune": prune,
    "delete": delete,
    "show": show,
    "export": export,
    "view": view,
    "diff": diff,
}
_ALIASES = {"ls": "traces"}


class _Parser(argparse.ArgumentParser):
    # argparse prints the usage and then the error; one line is easier to
    # read among a program's output and to match in scripts.
    def error(self, message):
        raise CommandError("%s (see %s --help)" % (message, self.prog), EXIT_USAGE)


def _parser() -> argparse.ArgumentParser:
    name = prog()
    parser = _Parser(
        prog=name,
        description="sarv: a tracing profiler that records your own code's calls, arguments, locals and return values.",
        epilog="Run '%s COMMAND --help' for the options of a command." % name,
    )
    from sarv.version import __version__

    parser.add_argument("--version", action="version", version="sarv %s" % __version__)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    for module in _COMMANDS.values():
        module.add_parser(commands, name)
    return parser


def main(argv=None) -> int:
    try:
        parser = _parser()
        options = parser.parse_args(argv)
        if options.command is None:
            raise CommandError(
                "a command is needed: run, traces, show, export, view, prune or delete (see %s --help)" % parser.prog,
                EXIT_USAGE,
            )
        return _COMMANDS[_ALIASES.get(options.command, options.command)].command(options)
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
    flush_stdout()
    message = " ".join(message.split("\n"))
    print("sarv: %s" % message, file=sys.stderr)
    return status
