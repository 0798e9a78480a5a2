"""`prune`: remove old traces; the database file is compacted once a quarter of it is free
(or with --compact)."""

from __future__ import annotations

from sarv import db as _db
from sarv.cli.common import COMPACT_HELP, DB_HELP, EXIT_USAGE, CommandError, age, existing_db


def add_parser(commands, prog: str) -> None:
    prune = commands.add_parser(
        "prune",
        help="remove old traces (and give their space back)",
        description="Remove the traces saved before --older-than, or all but the --keep-last newest (of "
        "--source only, when given). Their space is reused by later traces; the file is compacted (rewritten) "
        "once a quarter of it is free, or with --compact.",
    )
    prune.add_argument("--db", metavar="PATH", help=DB_HELP)
    prune.add_argument("--older-than", metavar="AGE", help="an age: 90s, 30m, 12h, 7d, 2w")
    prune.add_argument("--keep-last", type=int, metavar="N", help="keep the N newest traces")
    prune.add_argument("--source", metavar="SOURCE", help="only remove traces of this source")
    prune.add_argument("--compact", action="store_true", help=COMPACT_HELP)


def command(options) -> int:
    if options.older_than is None and options.keep_last is None:
        raise CommandError("prune needs --older-than AGE or --keep-last N (or both)", EXIT_USAGE)
    if options.keep_last is not None and options.keep_last < 0:
        raise CommandError("--keep-last must be 0 or more", EXIT_USAGE)
    older = age(options.older_than, "--older-than") if options.older_than is not None else None
    path = existing_db(options, reading=False)
    removed = _db.prune_traces(
        path,
        older_than=older,
        keep_last=options.keep_last,
        source=options.source,
        vacuum="always" if options.compact else True,
    )
    print("removed %d %s from %s" % (removed, "trace" if removed == 1 else "traces", _db.shown_location(path)))
    return 0
