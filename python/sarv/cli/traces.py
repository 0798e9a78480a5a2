"""`traces` (or `ls`): the stored traces, newest first."""

from __future__ import annotations

from sarv import db as _db
from sarv.cli.common import DB_HELP, EXIT_USAGE, CommandError, age, existing_db, is_age


def add_parser(commands, prog: str) -> None:
    traces = commands.add_parser("traces", aliases=["ls"], help="list the stored traces, newest first")
    traces.add_argument("--db", metavar="PATH", help=DB_HELP)
    traces.add_argument("--limit", type=int, default=50, metavar="N", help="show the N newest (default 50, 0 for all)")
    traces.add_argument(
        "--source", metavar="SOURCE", help="only traces of this source (cli, pytest, api, request, notebook, ...)"
    )
    traces.add_argument("--test", metavar="TEXT", help="only traces of tests whose node id contains TEXT")
    traces.add_argument(
        "--since",
        metavar="WHEN",
        help="only traces saved since WHEN: an age (90s, 30m, 12h, 7d, 2w) or a date (2026-12-08, 2026-12-08T14:30)",
    )


def _since(text: str) -> float:
    import datetime
    import time

    if is_age(text):
        return time.time() - age(text, "--since")
    try:
        return datetime.datetime.fromisoformat(text).timestamp()
    except ValueError:
        raise CommandError(
            "--since: expected an age (90s, 30m, 12h, 7d, 2w) or a date (2026-12-08, 2026-12-08T14:30), not %r" % text,
            EXIT_USAGE,
        ) from None


def command(options) -> int:
    from sarv.filters.view import render_traces

    path = existing_db(options)
    limit = options.limit if options.limit and options.limit > 0 else None
    since = _since(options.since) if options.since else None
    summaries = _db.list_traces(
        path, limit=limit + 1 if limit else None, source=options.source, test=options.test, since=since
    )
    if not summaries:
        filtered = options.source or options.test or options.since
        print("no traces%s in %s" % (" that match" if filtered else "", _db.shown_location(path)))
        return 0
    cut = limit is not None and len(summaries) > limit
    render_traces(summaries[:limit] if cut else summaries, limit_note=limit if cut else None)
    return 0
