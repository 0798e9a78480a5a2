"""`delete`: remove traces by id; the database file is compacted once a quarter of it is free
(or with --compact)."""

from __future__ import annotations

from sarv import db as _db
from sarv.cli.common import COMPACT_HELP, DB_HELP, existing_db


def add_parser(commands, prog: str) -> None:
    delete = commands.add_parser("delete", help="remove traces by id")
    delete.add_argument(
        "traces", nargs="+", metavar="TRACE_ID", help="trace ids, their first or last characters, or 'last'"
    )
    delete.add_argument("--db", metavar="PATH", help=DB_HELP)
    delete.add_argument("--compact", action="store_true", help=COMPACT_HELP)


def command(options) -> int:
    path = existing_db(options, reading=False)
    ids = [_db.resolve_trace_id(path, text) for text in options.traces]
    removed = _db.delete_traces(path, ids, vacuum="always" if options.compact else True)
    print("removed %d %s from %s" % (removed, "trace" if removed == 1 else "traces", _db.shown_location(path)))
    return 0
