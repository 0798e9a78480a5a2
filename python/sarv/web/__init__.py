"""The parts of sarv's web middleware (sarv.middleware is their face, and the
user's guide to them): markers (a request's start and end records), settings
(the keywords, the per-request profiler, the thread's hooks), saving (the
hand-over to the store, drops, the shutdown's wait), threads (one request on
its own thread), wsgi (WSGI, Flask, Django), asgi (requests on an event loop),
late (slow only: a request recorded once it is slow).

These modules run while requests are profiled; the profiler leaves them out of
the traces."""
