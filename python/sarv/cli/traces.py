"""`traces` (or `ls`): the stored traces, newest first."""

from __future__ import annotations

import re

from sarv import db as _db
from sarv.cli.common import DB_HELP, EXIT_USAGE, CommandError, age, existing_db, is_age

# The headers `--request-id` looks in (besides the trace id itself).
REQUEST_ID_HEADERS = ("x-request-id", "x-correlation-id", "request-id", "x-amzn-trace-id", "traceparent")


def add_parser(commands, prog: str) -> None:
    traces = commands.add_parser(
        "traces",
        aliases=["ls"],
        help="list the stored traces, newest first",
        description="List the stored traces, newest first. The request filters (--status, --method, --path, "
        "--slower-than, --faster-than, --request-id, --header) keep traces of web requests only; "
        "filters given together must all match.",
    )
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
    traces.add_argument(
        "--status",
        metavar="CODES",
        help="only requests answered with one of these statuses: codes, classes and ranges, "
        "comma-separated (500, 5xx, 400-403, 4xx,5xx)",
    )
    traces.add_argument("--method", metavar="METHODS", help="only requests of these methods (GET, POST,PUT)")
    traces.add_argument(
        "--path", metavar="PATTERN", help="only requests whose path contains PATTERN (with *: the whole path matches)"
    )
    traces.add_argument(
        "--slower-than", metavar="TIME", help="only requests that took at least TIME (0.5, 0.5s, 250ms)"
    )
    traces.add_argument("--faster-than", metavar="TIME", help="only requests that took less than TIME")
    traces.add_argument(
        "--request-id",
        metavar="ID",
        help="the request whose trace id, or header X-Request-ID, X-Correlation-ID, Request-ID, "
        "X-Amzn-Trace-Id or traceparent, is ID",
    )
    traces.add_argument(
        "--header",
        metavar="NAME=VALUE",
        action="append",
        help="only requests that carried header NAME with VALUE (NAME alone: carried it); repeatable",
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


def _statuses(text: str):
    """A test of a status from "500,5xx,400-403"."""
    ranges = []
    for part in text.split(","):
        part = part.strip().lower()
        found = re.fullmatch(r"([1-5])xx|(\d{3})(?:-(\d{3}))?", part)
        if not found:
            raise CommandError(
                "--status: expected codes, classes or ranges such as 500, 5xx, 400-403, not %r" % part, EXIT_USAGE
            )
        if found.group(1):
            low = int(found.group(1)) * 100
            ranges.append((low, low + 99))
        else:
            low = int(found.group(2))
            ranges.append((low, int(found.group(3) or low)))
    return lambda status: status is not None and any(low <= status <= high for low, high in ranges)


def _seconds(text: str, option: str) -> float:
    found = re.fullmatch(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*(ms|s)?\s*", text)
    if not found:
        raise CommandError("%s: expected a time such as 0.5, 0.5s or 250ms, not %r" % (option, text), EXIT_USAGE)
    value = float(found.group(1))
    return value / 1000 if found.group(2) == "ms" else value


def _path_test(pattern: str):
    if "*" in pattern:
        import fnmatch

        return lambda path: path is not None and fnmatch.fnmatchcase(path, pattern)
    return lambda path: path is not None and pattern in path


def _header_wanted(texts) -> list:
    wanted = []
    for text in texts:
        name, sep, value = text.partition("=")
        name = name.strip().lower()
        if not name:
            raise CommandError("--header: expected NAME=VALUE or NAME, not %r" % text, EXIT_USAGE)
        wanted.append((name, value if sep else None))
    return wanted


def _row_tests(options) -> list:
    """Tests of a listed row (its request columns)."""
    tests = []
    if options.status:
        matches = _statuses(options.status)
        tests.append(lambda s: matches(s.status))
    if options.method:
        methods = {m.strip().upper() for m in options.method.split(",") if m.strip()}
        tests.append(lambda s: s.method is not None and s.method.upper() in methods)
    if options.path:
        matches_path = _path_test(options.path)
        tests.append(lambda s: matches_path(s.path))
    if options.slower_than:
        low = _seconds(options.slower_than, "--slower-than")
        tests.append(lambda s: s.duration is not None and s.duration >= low)
    if options.faster_than:
        high = _seconds(options.faster_than, "--faster-than")
        tests.append(lambda s: s.duration is not None and s.duration < high)
    if tests or options.request_id or options.header:
        tests.insert(0, lambda s: s.method is not None)  # a web request's trace
    return tests


def request_start(db_path, trace_id: str):
    """The start record of a stored request trace (its method, path, query and
    headers), or None. Reads the document only as far as that record."""
    import msgpack

    try:
        stream = _db.open_trace(db_path, trace_id)
    except _db.SarvDatabaseError:
        return None
    with stream:
        unpacker = msgpack.Unpacker(stream, raw=False, strict_map_key=False)
        try:
            for _ in range(unpacker.read_map_header()):
                key = unpacker.unpack()
                if key != "frames_of_interest":
                    unpacker.skip()
                    continue
                for _ in range(unpacker.read_array_header()):
                    record = unpacker.unpack()
                    if isinstance(record, dict) and record.get("type") == "start_request":
                        return record
                return None
        except (ValueError, msgpack.UnpackException, msgpack.OutOfData):
            return None
    return None


def _header_test(options, db_path):
    """A test of a row by the headers its trace's start record holds, or None."""
    wanted = _header_wanted(options.header or ())
    request_id = options.request_id

    # A trace id is matched by the row alone (no document read for the others).
    by_trace_id = request_id is not None and request_id.startswith("trc_")

    def matches(summary) -> bool:
        if by_trace_id and summary.trace_id != request_id:
            return False
        if request_id is not None and summary.trace_id == request_id and not wanted:
            return True
        start = request_start(db_path, summary.trace_id)
        headers = start.get("headers") if start else None
        if not isinstance(headers, dict):
            headers = {}
        if request_id is not None and summary.trace_id != request_id:
            if not any(headers.get(name) == request_id for name in REQUEST_ID_HEADERS):
                return False
        for name, value in wanted:
            if name not in headers or (value is not None and headers[name] != value):
                return False
        return True

    return matches if (wanted or request_id is not None) else None


def command(options) -> int:
    from sarv.views.text import render_traces

    if options.limit < 0:
        raise CommandError("--limit must be 0 or more", EXIT_USAGE)
    path = existing_db(options)
    limit = options.limit if options.limit and options.limit > 0 else None
    since = _since(options.since) if options.since else None
    tests = _row_tests(options)
    by_headers = _header_test(options, path)
    if tests:
        # The request columns are matched here, on every row the other filters keep.
        summaries = []
        for summary in _db.list_traces(path, source=options.source, test=options.test, since=since):
            if all(test(summary) for test in tests) and (by_headers is None or by_headers(summary)):
                summaries.append(summary)
                if limit is not None and len(summaries) > limit:
                    break
    else:
        summaries = _db.list_traces(
            path, limit=limit + 1 if limit else None, source=options.source, test=options.test, since=since
        )
    if not summaries:
        filtered = options.source or options.test or options.since or tests
        print("no traces%s in %s" % (" that match" if filtered else "", _db.shown_location(path)))
    else:
        cut = limit is not None and len(summaries) > limit
        render_traces(summaries[:limit] if cut else summaries, limit_note=limit if cut else None, db_path=path)
    if not _db.is_url(path):
        from sarv.middleware import dropped_traces

        dropped = dropped_traces(path, since)
        if dropped:
            print(
                "(%d traces of requests were dropped%s, not stored: the store did not keep up with the "
                "servers, or was locked; their logs say when)" % (dropped, " since then" if since else "")
            )
    return 0
