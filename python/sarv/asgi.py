"""ASGI middleware recording one trace per HTTP request, for Starlette,
FastAPI and any ASGI app: `app.add_middleware(SarvMiddleware, **keywords)` or
`SarvMiddleware(app, **keywords)` (see sarv.middleware, where it lives, for
the keywords)."""

from sarv.middleware import TRACE_HEADER, AsgiMiddleware as SarvMiddleware, RequestSettings

__all__ = ["SarvMiddleware", "RequestSettings", "TRACE_HEADER"]
