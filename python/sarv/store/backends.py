"""The one place a location picks its backend."""

from __future__ import annotations

import os

from sarv.store import postgres, sqlite
from sarv.store.base import Store
from sarv.store.locations import is_url
from sarv.store.postgres import PostgresStore
from sarv.store.sqlite import SqliteStore


def open_store(db_path) -> Store:
    """The trace store at `db_path`: a PostgreSQL URL's, else a SQLite file's.
    Opening it connects to nothing; its methods do, each as it needs."""
    db_path = os.fspath(db_path)
    return PostgresStore(db_path) if is_url(db_path) else SqliteStore(db_path)


def close_connections() -> None:
    """Closes the connections kept for saving (done at exit as well); the
    last connection to a SQLite database removes its -wal and -shm files."""
    sqlite.close_connections()
    postgres.close_connections()
