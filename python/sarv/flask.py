"""Flask extension recording one trace per request: `Sarv(app, **keywords)` or
`Sarv(**keywords).init_app(app)`; keywords also from `app.config["SARV"]`
(see sarv.middleware, where it lives)."""

from sarv.middleware import TRACE_HEADER, FlaskSarv as Sarv

__all__ = ["Sarv", "TRACE_HEADER"]
