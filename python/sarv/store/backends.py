"""The one place a location picks its backend."""

from __future__ import annotations

import os

from sarv.store import postgres, sqlite
from sarv.store.base import Store
from sarv.store.locations import is_url
from sarv.store.postgres import PostgresStore
from sarv.store.sqlite import SqliteStore


_opened: dict = {}  # location as given -> its Store (they hold nothing else: one per save cost a test's save)


def open_store(db_path) -> Store:
    """The trace store at `db_path`: a PostgreSQL URL's, else a SQLite file's.
    Opening it connects to nothing; its methods do, each as it needs."""
    store = _opened.get(db_path)
    if store is None:
        db_path = os.fspath(db_path)
        store = PostgresStore(db_path) if is_url(db_path) else SqliteStore(db_path)
        if type(db_path) is str and len(_opened) < 64:
            _opened[db_path] = store
    return store


def close_connections() -> None:
    """Closes the connections kept for saving (done at exit as well); the
    last connection to a SQLite database removes its -wal and -shm files."""
    sqlite.close_connections()
    postgres.close_connections()


def check_store(db_path, timeout: float = 60) -> None:
    """Makes the checks a save into `db_path` makes, storing nothing: raises
    SarvDatabaseError saying why a save would fail for the store itself
    (NotASarvDatabase for another program's database, SchemaVersionError
    for a newer layout, a damaged file, one that cannot be written or
    created); returns None when saves can go ahead. A folder missing above a
    file is made, as the save would make it (mode 700)."""
    open_store(db_path).check(timeout)
