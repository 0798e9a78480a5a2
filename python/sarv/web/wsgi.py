"""The WSGI middleware, the Flask extension and the Django middleware: each request
recorded on its own thread (sarv.web.threads)."""

from __future__ import annotations

import os
from typing import Any

from sarv.web.markers import _shown_query, _wsgi_headers
from sarv.web.settings import TRACE_HEADER, RequestSettings, _status_code
from sarv.web.threads import _Recording


class WsgiMiddleware:
    """`WsgiMiddleware(app, **keywords)`: records each request of a WSGI app
    (keywords: see the module doc). The recording lasts until the server
    has read the response body to its end or closed it (or, for a body left
    unread, until the thread's next request); between the body's parts,
    while the server sends them, the hook is off."""

    def __init__(self, app, **keywords: Any) -> None:
        self.app = app
        self.settings = RequestSettings(**keywords)

    def __call__(self, environ, start_response):
        settings = self.settings
        triggered = settings.triggered_wsgi(environ)
        if not settings.records(triggered):
            _Recording.end_unfinished()
            return self.app(environ, start_response)
        recording = _Recording.begin(
            settings,
            triggered,
            environ.get("REQUEST_METHOD", ""),
            _wsgi_path(environ),
            _shown_query(settings, environ.get("QUERY_STRING")),
            _wsgi_headers(environ),
        )
        if recording is None:
            return self.app(environ, start_response)

        def start(status, headers, exc_info=None):
            recording.status = _status_code(status)
            if recording.header_now():
                headers = list(headers) + [(TRACE_HEADER, recording.profiler.trace_id)]
            return (
                start_response(status, headers, exc_info) if exc_info is not None else start_response(status, headers)
            )

        recording.in_app = True
        try:
            body = self.app(environ, start)
        except BaseException:
            if recording.status is None:
                recording.status = 500
            recording.finish()
            raise
        finally:
            recording.in_app = False
        recording.pause()
        return _ClosingBody(body, recording)


def _wsgi_path(environ) -> str:
    path = (environ.get("SCRIPT_NAME") or "") + (environ.get("PATH_INFO") or "")
    # WSGI hands the path as latin-1 text of the raw bytes.
    try:
        return path.encode("latin-1").decode("utf-8")
    except UnicodeError:
        return path


class _ClosingBody:
    """The app's response body; the recording ends when it has been read to
    its end, when reading it fails, or when the server closes it, whichever
    comes first (not when it is garbage, which may happen on another
    thread)."""

    __slots__ = ("body", "recording", "iterator")

    def __init__(self, body, recording: _Recording) -> None:
        self.body = body
        self.recording = recording
        self.iterator = None

    def __iter__(self):
        self.iterator = iter(self.body)
        return self

    def __next__(self):
        recording = self.recording
        recording.resume()
        recording.in_app = True  # the app's code runs: a request made by it is part of this one
        try:
            part = next(self.iterator)
        except BaseException:  # StopIteration included
            recording.in_app = False
            recording.finish()
            raise
        recording.in_app = False
        recording.pause()
        return part

    def close(self) -> None:
        recording = self.recording
        try:
            close = getattr(self.body, "close", None)
            if close is not None:
                recording.resume()
                recording.in_app = True
                close()
        finally:
            recording.in_app = False
            recording.finish()


# ------------------------------------------------------------------- Flask


class FlaskSarv:
    """Flask extension: `FlaskSarv(app, **keywords)` or `ext = FlaskSarv(**keywords)`
    then `ext.init_app(app)`. Wraps `app.wsgi_app`, so before/after-request
    hooks and other WSGI middleware inside it are in the trace. Keywords
    override the app's `SARV` config dict."""

    def __init__(self, app=None, **keywords: Any) -> None:
        self.keywords = keywords
        if app is not None:
            self.init_app(app)

    def init_app(self, app) -> None:
        keywords = dict(app.config.get("SARV") or {})
        keywords.update(self.keywords)
        keywords.setdefault("start_dir", app.root_path)
        app.wsgi_app = WsgiMiddleware(app.wsgi_app, **keywords)
        app.extensions["sarv"] = self


# ------------------------------------------------------------------ Django


class DjangoMiddleware:
    """Django middleware, configured by the setting SARV (a dict of the
    keywords in the module doc):

        MIDDLEWARE = ["sarv.django.SarvMiddleware", ...]   # first, to see the others
        SARV = {"keep": "slow", "slower_than": 0.5}
    """

    sync_capable = True
    async_capable = False

    def __init__(self, get_response) -> None:
        from django.conf import settings

        self.get_response = get_response
        keywords = dict(getattr(settings, "SARV", None) or {})
        base = getattr(settings, "BASE_DIR", None)
        if base is not None:
            keywords.setdefault("start_dir", os.fspath(base))
        self.settings = RequestSettings(**keywords)

    def __call__(self, request):
        settings = self.settings
        triggered = settings.triggered_wsgi(request.META)
        if not settings.records(triggered):
            return self.get_response(request)
        recording = _Recording.begin(
            settings,
            triggered,
            request.method,
            request.path,
            _shown_query(settings, request.META.get("QUERY_STRING")),
            _wsgi_headers(request.META),
        )
        if recording is None:
            return self.get_response(request)
        recording.in_app = True
        try:
            response = self.get_response(request)
            recording.in_app = False
            recording.status = getattr(response, "status_code", None)
            if recording.header_now():
                response[TRACE_HEADER] = recording.profiler.trace_id
        except BaseException:
            recording.status = 500
            recording.finish()
            raise
        recording.finish()
        return response
