"""Which running profiler a save arriving at `sarv.db.save_trace_in_sqlite`
belongs to, and so where it goes (its destination, sarv.destinations).

The profiler's core calls that function with the database and the trace id
only: a save is a running profiler's when its core records that trace now
(in one-trace-per-test mode the core makes a new id at every test's start,
so the core is asked). Any other save (of a spool recovered, of a program
calling the function itself) is made at once.
"""

from __future__ import annotations

import threading
import weakref

from sarv.store.locations import _locations, location

__all__ = ["attach", "destination_of", "detach"]

# Entries hold their profiler weakly: one dropped without being stopped (a test replaced
# its hook) routes nothing any more.
_lock = threading.Lock()
_routes: dict = {}  # location -> [(weakref to the profiler, destination)], latest last


def attach(profiler, destination) -> None:
    """Routes the saves of `profiler`'s core (a sarv.profiler.Profiler, or an
    object with its `rust_profiler` and `trace_id`) to `destination` (whose
    `db_path` is a location and `save(trace_id, document, timeout)` saves)."""
    owner = weakref.ref(profiler)
    with _lock:
        routes = [entry for entry in _routes.get(destination.db_path, ()) if entry[0]() not in (None, profiler)]
        routes.append((owner, destination))
        _routes[destination.db_path] = routes


def detach(profiler) -> None:
    """Ends the routes of `profiler` (nothing if it has none)."""
    with _lock:
        for key, entries in list(_routes.items()):
            routes = [entry for entry in entries if entry[0]() not in (None, profiler)]
            if len(routes) == len(entries):
                continue
            if routes:
                _routes[key] = routes
            else:
                del _routes[key]


def destination_of(db_path, trace_id: str):
    """The destination of a running profiler's save of `trace_id` into
    `db_path` (as its core gives them); None when it is no such save."""
    if not _routes:
        return None
    # (the usual path's location looked up inline: a test suite saves once a test)
    key = _locations.get(db_path) if type(db_path) is str else None
    if key is None:
        try:
            key = location(db_path)
        except TypeError:
            return None  # (not a path: the save itself says so)
    for owner, destination in reversed(_routes.get(key, ())):
        profiler = owner()
        core = None if profiler is None else profiler.rust_profiler
        if core is None:
            continue
        current = getattr(core, "current_trace_id", None)  # (a stand-in core may have none)
        if (current() if current is not None else profiler.trace_id) == trace_id:
            return destination
    return None
