"""Who hears how saves went: the save failure and cut trace listeners, and
the latest saves of this process (`saved_in_this_process`), whichever
process (this one or the writer process) made them."""

from __future__ import annotations

from itertools import islice

from sarv.store.columns import test_name_in
from sarv.store.locations import _locations, location

_failure_listeners: list = []
_cut_listeners: list = []
# (db path, trace id) -> (row id, record count, records dropped) of the latest saves of this process, so that
# whoever asked for a save can learn what was stored without opening the file again.
_recent_saves: dict = {}
_RECENT_SAVES = 64  # kept at least (the writer process looks a batch of 64 up after its commit)


def note_saved(db_path, trace_id: str, row_id: int, derived) -> None:
    """A committed save made in this process (`derived`: its columns.Derived)."""
    remember_save(db_path, trace_id, row_id, derived.record_count, derived.dropped, derived.test_name)


def remember_save(db_path, trace_id: str, row_id: int, record_count, dropped, test_name) -> None:
    """A committed save, made here or by the writer process."""
    # (once a test for a test suite: the usual path's location looked up inline)
    known = _locations.get(db_path) if type(db_path) is str else None
    key = (known if known is not None else location(db_path), trace_id)
    recent = _recent_saves
    recent.pop(key, None)
    recent[key] = (row_id, record_count, dropped)
    if len(recent) >= 2 * _RECENT_SAVES:
        # The oldest half dropped at once: dropped one a save, each next(iter()) walked
        # over the slots the ones before had left empty at the dict's front.
        for old in list(islice(recent, len(recent) - _RECENT_SAVES)):
            recent.pop(old, None)
    if dropped:
        _tell(_cut_listeners, db_path, trace_id, test_name, dropped)


def _tell(listeners: list, *args) -> None:
    for listener in list(listeners):
        try:
            listener(*args)
        except Exception:
            pass  # a listener's fault is not the save's


def _discard(listeners: list, listener) -> None:
    try:
        listeners.remove(listener)
    except ValueError:
        pass


def saved_in_this_process(db_path, trace_id: str):
    """(row id, record count, records dropped for the caps) of the
    latest save of `trace_id` into
    `db_path` by this process, if it is among the last few; else None."""
    return _recent_saves.get((location(db_path), trace_id))


def add_save_failure_listener(listener) -> None:
    """`listener(db_path, trace_id, error, test_name)` is called for every
    save that fails (before the error is raised; `test_name` as the
    document's start marker says, or None); the pytest plugin names the
    tests whose traces were not saved."""
    _failure_listeners.append(listener)


def remove_save_failure_listener(listener) -> None:
    _discard(_failure_listeners, listener)


def add_cut_trace_listener(listener) -> None:
    """`listener(db_path, trace_id, test_name, dropped)` is called for every
    stored trace that the caps (max_records, max_bytes) cut, once it is
    committed; the pytest plugin names those tests."""
    _cut_listeners.append(listener)


def remove_cut_trace_listener(listener) -> None:
    _discard(_cut_listeners, listener)


def tell_failure_listeners(db_path, trace_id, error, document) -> None:
    """A save that failed, told to the failure listeners (with the test the document names)."""
    if _failure_listeners:
        _tell(_failure_listeners, db_path, trace_id, error, test_name_in(document))
