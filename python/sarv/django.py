"""Django middleware recording one trace per request:
`MIDDLEWARE = ["sarv.django.SarvMiddleware", ...]`, keywords in the setting
`SARV` (see sarv.middleware, where it lives)."""

from sarv.middleware import TRACE_HEADER, DjangoMiddleware as SarvMiddleware

__all__ = ["SarvMiddleware", "TRACE_HEADER"]
