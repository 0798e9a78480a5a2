"""WSGI middleware recording one trace per request: `SarvMiddleware(app, **keywords)`
(see sarv.middleware, where it lives, for the keywords)."""

from sarv.middleware import TRACE_HEADER, RequestSettings, WsgiMiddleware as SarvMiddleware

__all__ = ["SarvMiddleware", "RequestSettings", "TRACE_HEADER"]
