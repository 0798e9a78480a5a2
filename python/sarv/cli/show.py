"""`show`: the call tree of a trace."""

from __future__ import annotations

import sys

from sarv import db as _db
from sarv.cli.common import DB_HELP, EXIT_USAGE, TRACE_HELP, CommandError, decoded, existing_db


def add_parser(commands, prog: str) -> None:
    from sarv.filters.view import DEFAULT_MAX_DEPTH, DEFAULT_MAX_LINES

    show = commands.add_parser("show", help="print the call tree of a trace")
    show.add_argument("trace", metavar="TRACE_ID", help=TRACE_HELP)
    show.add_argument("--db", metavar="PATH", help=DB_HELP)
    show.add_argument(
        "--locals", action="store_true", help="add the arguments, locals and how each call ended (its value)"
    )
    show.add_argument(
        "--all-names",
        action="store_true",
        help="with --locals, also module dunders (__name__, ...) and names the interpreter makes (.0)",
    )
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


def command(options) -> int:
    for name in ("max_depth", "max_lines"):
        value = getattr(options, name)
        if value is not None and value < 0:
            raise CommandError("--%s must be 0 or more" % name.replace("_", "-"), EXIT_USAGE)
    path = existing_db(options)
    trace_id = _db.resolve_trace_id(path, options.trace)
    decoded(lambda out: _render(path, trace_id, options, out), sys.stdout, trace_id, path)
    return 0


def _render(path, trace_id, options, out) -> None:
    from sarv.filters.view import DEFAULT_MAX_DEPTH, DEFAULT_MAX_LINES, render_stored_trace

    render_stored_trace(
        path,
        trace_id,
        out,
        show_locals=("all" if options.all_names else True) if options.locals else False,
        max_depth=DEFAULT_MAX_DEPTH if options.max_depth is None else options.max_depth,
        max_lines=DEFAULT_MAX_LINES if options.max_lines is None else options.max_lines,
    )
