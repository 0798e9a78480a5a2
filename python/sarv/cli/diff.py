"""`diff`: where two runs went differently. Exit status as diff's: 0 when they went the
same way, 1 when they differ, 2 on trouble."""

from __future__ import annotations

import os
import sys

from sarv.cli.common import DB_HELP, CommandError, existing_db, flush_stdout

EXIT_SAME, EXIT_DIFFERENT, EXIT_TROUBLE = 0, 1, 2
_PARALLEL_FROM = 200_000  # records of each trace


def add_parser(commands, prog: str) -> None:
    diff = commands.add_parser(
        "diff",
        help="compare two traces: the first point where the runs went differently",
        description="Compare two traces: the first point where the runs went differently, the rest in short, and "
        "time per function side by side. Exit status 0 when the runs went the same way, 1 when they differ, 2 on "
        "trouble.",
    )
    diff.add_argument(
        "traces",
        metavar="TRACE",
        nargs="+",
        help="two trace ids (their first or last characters, or 'last'); or a test's node id: its newest failing "
        "trace against its newest passing one",
    )
    diff.add_argument("--db", metavar="PATH", help=DB_HELP)
    diff.add_argument("-o", "--output", metavar="FILE", help="also write the two traces side by side as a page")


def command(options) -> int:
    # Trouble is status 2 here (1 says the runs differ), whatever went wrong.
    from sarv import db as _db
    from sarv.diff import DiffError, diff_traces, pick_traces
    from sarv.diff.text import render

    try:
        if len(options.traces) > 2:
            raise CommandError("diff compares two traces (or one test)", EXIT_TROUBLE)
        path = existing_db(options)
        first, second = pick_traces(path, options.traces)
        # Long traces are read side by side, one in a process of its own.
        records = [getattr(_db.find_trace(path, t), "record_count", 0) or 0 for t in (first, second)]
        processes = 2 if min(records) >= _PARALLEL_FROM and (os.cpu_count() or 1) > 1 else 1
        result = diff_traces(path, first, second, keep_aligned=bool(options.output), processes=processes)
        render(result, sys.stdout)
        if options.output:
            from sarv.diff.page import write_diff_page

            write_diff_page(result, options.output)
            print("\npage: %s" % options.output)
    except CommandError as exc:
        raise CommandError(str(exc), EXIT_TROUBLE) from None
    except (DiffError, _db.SarvDatabaseError) as exc:
        raise CommandError(str(exc), EXIT_TROUBLE) from None
    except (BrokenPipeError, KeyboardInterrupt):
        raise
    except Exception as exc:  # a fault of sarv: still trouble, not "they differ"
        raise CommandError("internal error: %s: %s" % (type(exc).__name__, exc), EXIT_TROUBLE) from None
    flush_stdout()
    return EXIT_SAME if result.same else EXIT_DIFFERENT
