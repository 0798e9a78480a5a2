"""The marks of a request in its trace: two marker functions the middleware calls
around a request, which plugin declarations turn into its "start_request" and
"end_request" records, and what those records hold of the request (method, path,
query and headers, secrets redacted; status and durations)."""

from __future__ import annotations

# The markers' file, as the plugin declarations find their calls.
_PATH_FRAGMENT = "/sarv/web/markers.py"


def _sarv_request_start(method, path, query=None, headers=None):
    """Marks the start of a request in its trace (see the module doc)."""
    return None


def _sarv_request_end(method, path, status, duration, own_duration=None, recorded_from=None, stack_then=None):
    """Marks the end of a request in its trace (see the module doc)."""
    return None


def _start_record(frame, event, arg, context):
    values = frame.f_locals
    record = {"method": values.get("method"), "path": values.get("path")}
    query, headers = values.get("query"), values.get("headers")
    if query:
        record["query"] = query
    if headers:
        record["headers"] = headers
    return record


# What the start of a request's trace keeps of its headers: `sarv traces --header` and
# `--request-id` find a request by them. Secret names (Authorization, Cookie, ...) are kept
# as "[redacted]", long values cut.
_HEADER_VALUE_CHARS = 512
_HEADERS_KEPT = 64
_REDACTED = "[redacted]"


def _kept_headers(pairs) -> dict:
    """{lower-case name: value} of (name, value) text pairs, secrets redacted."""
    from sarv.serialize.redaction import _secret_name

    kept = {}
    for name, value in pairs:
        if len(kept) >= _HEADERS_KEPT:
            break
        name = name.lower()
        if name in kept:
            continue
        kept[name] = _REDACTED if _secret_name(name) else value[:_HEADER_VALUE_CHARS]
    return kept


def _wsgi_headers(environ) -> dict:
    pairs = [
        (key[5:].replace("_", "-"), value)
        for key, value in environ.items()
        if key.startswith("HTTP_") and isinstance(value, str)
    ]
    for key in ("CONTENT_TYPE", "CONTENT_LENGTH"):
        value = environ.get(key)
        if isinstance(value, str) and value:
            pairs.append((key.replace("_", "-"), value))
    return _kept_headers(pairs)


def _asgi_headers(scope) -> dict:
    return _kept_headers(
        (bytes(name).decode("latin-1"), bytes(value).decode("latin-1")) for name, value in scope.get("headers") or ()
    )


def _shown_query(settings, query) -> str:
    """The query as the trace shows it: the trigger parameter's value and those under
    secret names redacted (the rest as sent)."""
    if isinstance(query, bytes):
        query = query.decode("latin-1")
    if not query:
        return ""
    from sarv.serialize.redaction import _secret_name

    parts = []
    for part in query.split("&"):
        name, sep, value = part.partition("=")
        if sep and (name == settings.trigger_param or _secret_name(name)):
            part = name + "=" + _REDACTED
        parts.append(part)
    return "&".join(parts)


def _end_record(frame, event, arg, context):
    values = frame.f_locals
    record = {
        "method": values.get("method"),
        "path": values.get("path"),
        "status": values.get("status"),
        "duration": values.get("duration"),
    }
    for key in ("own_duration", "recorded_from", "stack_then"):
        # own_duration: what "slow" decided by, under an event loop; recorded_from and
        # stack_then: the request was recorded late (sarv.web.late)
        value = values.get(key)
        if value is not None:
            record[key] = value
    return record


def plugin_declarations() -> list:
    """The plugin entries (sarv.config "plugins") that mark requests."""
    return [
        {
            "co_names": [_sarv_request_start.__name__],
            "path_fragment": _PATH_FRAGMENT,
            "call_type": "start_request",
            "return_type": "start_request",
            "events": ["call"],
            "process": _start_record,
        },
        {
            "co_names": [_sarv_request_end.__name__],
            "path_fragment": _PATH_FRAGMENT,
            "call_type": "end_request",
            "return_type": "end_request",
            "events": ["return"],
            "process": _end_record,
        },
    ]
