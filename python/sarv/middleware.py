"""One trace per web request: WSGI and ASGI middleware, a Django middleware
and a Flask extension (re-exported by sarv.wsgi, sarv.asgi, sarv.django and
sarv.flask).

    app = sarv.wsgi.SarvMiddleware(app, keep="sample", one_in=100)
    app = sarv.asgi.SarvMiddleware(app, slower_than=0.5, trace_header=True)

Keywords are those of `sarv.profiling()` (configuration keys: db_path,
filters, max_records, ...) and these, which choose the requests whose traces
are kept:

    keep          "every" request, a "sample" (one in `one_in`), only
                  requests carrying the "trigger", or "slow" ones (slower
                  than `slower_than` seconds; under an event loop by its
                  own time, see sarv.web.asgi, not counting the time it
                  waited for the loop behind other requests, and its end
                  record says that time; a request is recorded from the
                  moment it has taken `slower_than`, see sarv.web.late,
                  and its trace dropped at the end if it was faster).
                  Default:
                  "slow" with slower_than, else "sample" with one_in, else
                  "trigger" with secret, else "every".
    one_in        for "sample": one request in this many (default 100)
    slower_than   for "slow": seconds
    secret        a request whose header `X-Sarv` (trigger_header) or query
                  parameter `sarv` (trigger_param) holds this text is always
                  recorded and kept, whatever `keep` says
    trace_header  answer with the header X-Sarv-Trace naming the trace
                  (in "slow" mode only when the request was slow by the time
                  its response started)

Each kept request is one trace of source "request", whose stored row carries
the request's method, path (without the query), status and duration: the
middleware calls two marker functions of this module around the request,
which plugin descriptions turn into "start_request" and "end_request"
records (the way sarv.pytest_plugin marks tests); the start record also
holds the query and the headers, secrets redacted (`sarv traces --header`,
`--request-id`). The response does not wait for the disk: the trace's
document is written when the request ends and stored by sarv's writer thread
a few milliseconds later (traces waiting together share one commit); readers
in the same process, and its exit, wait for what was handed over, and so
does an ASGI server's lifespan shutdown. Nor does a request wait for a store
that cannot keep up or is locked: past the saves that may wait, its trace is
dropped and counted (sarv.web.saving). A server killed by a signal it does not
handle (SIGTERM, for one that has no handler, outside an ASGI lifespan)
loses what is still waiting.

Threads: a request is recorded on the thread that handles it (a threaded
WSGI server runs each on its own). An ASGI server interleaves many requests
on one event loop: the loop's thread then carries one profile hook that
hands each event to the profiler of the request whose context is running
(a context variable), so each trace holds only its own request's calls,
including those of tasks the request starts. Work a recorded request hands
to a worker thread through anyio.to_thread.run_sync (how Starlette and
FastAPI run plain `def` endpoints) or asyncio.to_thread carries that hook
to the thread for as long as it runs, so it is recorded with its request;
threads that run no recorded request's work never have a hook. (Other
threads are not recorded.)

A request that meets a profile hook sarv did not install (cProfile, a
debugger) is not recorded. One under another sarv profiler (pytest --sarv,
sarv.profiling()) is recorded on its own; the outer profiler resumes after
it and its trace does not hold the request.

Values under secret names are recorded as "[redacted]" (see sarv.serialize):
the Authorization, Cookie and Set-Cookie headers wherever a request object
holds them by name (a headers dict, WSGI's environ, Django's META, ASGI's
(name, value) pairs) and query parameters parsed into a dict or pairs. The
raw query string is kept as it is. The redact and redact_extra keywords hold
for the whole process from the moment the middleware is made.

This module and its parts (the package sarv.web) run while requests are
profiled; the profiler leaves them out of the traces.
"""

from __future__ import annotations

from sarv.web.asgi import AsgiMiddleware
from sarv.web.markers import plugin_declarations
from sarv.web.saving import DROPPED_SUFFIX, dropped_traces
from sarv.web.saving import _dropped as _dropped  # (the process's count of drops)
from sarv.web.settings import SOURCE, TRACE_HEADER, RequestSettings
from sarv.web.wsgi import DjangoMiddleware, FlaskSarv, WsgiMiddleware

__all__ = [
    "DjangoMiddleware",
    "FlaskSarv",
    "RequestSettings",
    "TRACE_HEADER",
    "AsgiMiddleware",
    "WsgiMiddleware",
    "plugin_declarations",
    "dropped_traces",
    "DROPPED_SUFFIX",
    "SOURCE",
]
