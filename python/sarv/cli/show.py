"""`show`: the call tree of a trace, or with --hot the functions where its time went."""

from __future__ import annotations

import sys

from sarv import db as _db
from sarv.cli.common import DB_HELP, EXIT_USAGE, TRACE_HELP, CommandError, decoded, existing_db


def add_parser(commands, prog: str) -> None:
    from sarv.views.text import DEFAULT_MAX_DEPTH, DEFAULT_MAX_LINES

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
        "--hot",
        nargs="?",
        const="own",
        choices=("own", "total", "calls"),
        metavar="SORT",
        help="instead of the tree, the functions where the time went: own time (default), total time and calls, "
        "and the calls the call budget left out; SORT: own, total or calls",
    )
    show.add_argument(
        "--limit",
        type=int,
        default=None,
        metavar="N",
        help="with --hot, the first N functions (default 25, 0 for all)",
    )
    show.add_argument(
        "--max-lines",
        type=int,
        default=None,
        metavar="N",
        help="stop after N lines (default %d, 0 for no limit)" % DEFAULT_MAX_LINES,
    )


def command(options) -> int:
    for name in ("max_depth", "max_lines", "limit"):
        value = getattr(options, name)
        if value is not None and value < 0:
            raise CommandError("--%s must be 0 or more" % name.replace("_", "-"), EXIT_USAGE)
    if options.hot is None and options.limit is not None:
        raise CommandError("--limit goes with --hot", EXIT_USAGE)
    if options.hot is not None and (options.locals or options.max_depth is not None or options.max_lines is not None):
        raise CommandError(
            "--hot shows a table of functions: --locals, --max-depth and --max-lines are the tree's", EXIT_USAGE
        )
    path = existing_db(options)
    trace_id = _db.resolve_trace_id(path, options.trace)
    if options.hot is not None:
        from sarv.cli.view import Progress
        from sarv.views.hot import render_hot

        limit = 25 if options.limit is None else options.limit
        decoded(
            lambda out: render_hot(path, trace_id, out, sort=options.hot, limit=limit, progress=Progress()),
            sys.stdout,
            trace_id,
            path,
        )
        return 0
    decoded(lambda out: _render(path, trace_id, options, out), sys.stdout, trace_id, path)
    return 0


def _render(path, trace_id, options, out) -> None:
    from sarv.views.text import DEFAULT_MAX_DEPTH, DEFAULT_MAX_LINES, render_stored_trace

    render_stored_trace(
        path,
        trace_id,
        out,
        show_locals=("all" if options.all_names else True) if options.locals else False,
        max_depth=DEFAULT_MAX_DEPTH if options.max_depth is None else options.max_depth,
        max_lines=DEFAULT_MAX_LINES if options.max_lines is None else options.max_lines,
    )
