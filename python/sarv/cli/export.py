"""`export`: a trace as Chrome trace events, the JSON document or an HTML page."""

from __future__ import annotations

import os
import sys

from sarv import db as _db
from sarv.cli.common import DB_HELP, TRACE_HELP, CommandError, decoded, existing_db
from sarv.cli.view import Progress, page_data, write_page
from sarv.utils import open_private


def add_parser(commands, prog: str) -> None:
    export = commands.add_parser(
        "export",
        help="write a trace as Chrome trace events (Perfetto, chrome://tracing) or JSON",
        description="chrome: one complete event per call, per thread, for Perfetto and "
        "chrome://tracing. json: the whole trace document; bytes are written as "
        '{"__bytes__": "<base64>"}.',
    )
    export.add_argument("trace", metavar="TRACE_ID", help=TRACE_HELP)
    export.add_argument("--db", metavar="PATH", help=DB_HELP)
    export.add_argument("--format", choices=("chrome", "json", "html"), default="chrome", help="default: chrome")
    export.add_argument("-o", "--output", metavar="FILE", default="-", help="output file (default: standard output)")


def command(options) -> int:
    from sarv.views.export import write_chrome_trace, write_json_document

    path = existing_db(options)
    trace_id = _db.resolve_trace_id(path, options.trace)

    def open_stream():
        return _db.open_trace(path, trace_id)

    def write(out) -> None:
        progress = Progress()  # on a terminal's standard error, for a long export
        try:
            with open_stream() as stored:
                progress.total = getattr(stored.summary, "record_count", None)
            if options.format == "chrome":
                write_chrome_trace(open_stream, out, progress.records)
            else:
                with open_stream() as stored:
                    write_json_document(stored, out, progress.records)
        finally:
            progress.done()

    if options.format == "html":
        _, trace_id, structure, values = page_data(options)
        if options.output == "-":
            from sarv.viewer import page_parts

            sys.stdout.writelines(page_parts(structure, values))
            return 0
        write_page(structure, values, options.output)
        print("wrote %s (html) of trace %s" % (options.output, trace_id), file=sys.stderr)
        return 0
    if options.output == "-":
        decoded(write, sys.stdout, trace_id, path)
        return 0
    _write_file(options.output, write, trace_id, path)
    print("wrote %s (%s) of trace %s" % (options.output, options.format, trace_id), file=sys.stderr)
    return 0


def _write_file(output: str, write, trace_id: str, path) -> None:
    """`write(stream)` into the file `output`, gzip-compressed for a name ending in .gz;
    nothing is left behind when it fails."""
    import gzip

    try:
        # The file holds the program's values: private when made here (see open_private).
        if output.endswith(".gz"):
            raw = open_private(output, "wb")
            # Level 1: a trace of a gigabyte of JSON still compresses several times over,
            # and in seconds rather than minutes.
            stream = gzip.open(raw, "wt", encoding="utf-8", compresslevel=1)
        else:
            raw = stream = open_private(output, "w", encoding="utf-8")
        with raw, stream:
            try:
                decoded(write, stream, trace_id, path)
            except BaseException:
                stream.close()
                try:
                    os.unlink(output)  # no half-written file left behind
                except OSError:
                    pass
                raise
    except OSError as exc:
        raise CommandError("cannot write %s: %s" % (output, exc.strerror or exc)) from None
