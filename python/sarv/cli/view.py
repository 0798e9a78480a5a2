"""`view`: a trace as one self-contained HTML page, optionally opened."""

from __future__ import annotations

import os
import sys
import time

from sarv import db as _db
from sarv.cli.common import DB_HELP, TRACE_HELP, CommandError, decoded, existing_db


def add_parser(commands, prog: str) -> None:
    view = commands.add_parser(
        "view",
        help="write a trace as one HTML page (timeline, call tree, values) and optionally open it",
        description="One self-contained HTML file: it needs no network and no server. "
        "By default it is written next to the trace database as TRACE_ID.html.",
    )
    view.add_argument("trace", metavar="TRACE_ID", help=TRACE_HELP)
    view.add_argument("--db", metavar="PATH", help=DB_HELP)
    view.add_argument(
        "-o", "--output", metavar="FILE", help="the page's file (default: TRACE_ID.html beside the database)"
    )
    view.add_argument("--open", action="store_true", help="open the page in the default browser")


class Progress:
    """How far the reading of a large trace is, on one line of a terminal's
    standard error (nothing when it is not a terminal, nor for a trace read
    in under a second)."""

    def __init__(self, stream=None) -> None:
        self.stream = stream if stream is not None else sys.stderr
        try:
            self.shown = self.stream.isatty()
        except (AttributeError, ValueError):
            self.shown = False
        self.total = None
        self.began = time.monotonic()
        self.written = False

    def records(self, read: int) -> None:
        if not self.shown or time.monotonic() - self.began < 1.0:
            return
        if self.total:
            text = "sarv: reading the trace: %s of %s records (%d%%)" % (
                "{:,}".format(read),
                "{:,}".format(self.total),
                min(100, read * 100 // self.total),
            )
        else:
            text = "sarv: reading the trace: %s records" % "{:,}".format(read)
        self._line(text)

    def _line(self, text: str) -> None:
        self.stream.write("\r\x1b[K" + text)
        self.stream.flush()
        self.written = True

    def done(self) -> None:
        if self.written:
            self._line("")
            self.written = False


def page_data(options, progress=None):
    """(database path, trace id, the page's structure and values), read as
    a stream."""
    from sarv.viewer import stored_page_data

    path = existing_db(options)
    trace_id = _db.resolve_trace_id(path, options.trace)
    found: list = []
    progress = progress if progress is not None else Progress()

    def read(_) -> None:
        with _db.open_trace(path, trace_id) as stored:
            summary = getattr(stored, "summary", None)
            progress.total = getattr(summary, "record_count", None)
            found.extend(stored_page_data(stored, progress.records))

    try:
        decoded(read, None, trace_id, path)
    finally:
        progress.done()
    return path, trace_id, found[0], found[1]


def write_page(structure, values, path: str) -> None:
    from sarv.viewer import write_page

    try:
        write_page(structure, values, path)
    except OSError as exc:
        raise CommandError("cannot write %s: %s" % (path, exc.strerror or exc)) from None


def command(options) -> int:
    path, trace_id, structure, values = page_data(options)
    # Beside the database file; for a PostgreSQL store, in the current folder.
    folder = os.getcwd() if _db.is_url(path) else os.path.dirname(os.path.abspath(path))
    output = options.output or os.path.join(folder, trace_id + ".html")
    write_page(structure, values, output)
    print("wrote %s" % output, file=sys.stderr)
    if options.open:
        import pathlib
        import webbrowser

        if not webbrowser.open(pathlib.Path(os.path.abspath(output)).as_uri()):
            raise CommandError("no browser could be started: open %s yourself" % output)
    return 0
