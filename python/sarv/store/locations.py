"""Where traces are stored: a SQLite file's path or a PostgreSQL URL."""

from __future__ import annotations

import os
import re

DB_ENV_VAR = "SARV_DB"
_URL_PREFIXES = ("postgresql://", "postgres://")


def is_url(db_path) -> bool:
    """Whether a trace database location is a PostgreSQL URL (else a file)."""
    return isinstance(db_path, str) and db_path.startswith(_URL_PREFIXES)


_locations: dict = {}  # absolute path -> its location, asked at every save


def location(db_path) -> str:
    """A location that means the same from any working directory: a file's
    absolute path, or the URL as it is."""
    db_path = os.fspath(db_path)
    known = _locations.get(db_path)
    if known is not None:
        return known
    if is_url(db_path):
        return db_path
    absolute = os.path.abspath(db_path)
    if os.path.isabs(db_path) and len(_locations) < 64:
        _locations[db_path] = absolute  # (a relative path's depends on the working directory)
    return absolute


def default_db_path() -> str:
    """$SARV_DB if set and not empty, else the database found as git finds its folder
    (sarv.config.project_db_path): .sarv/traces.sqlite3 of the nearest folder upwards with a
    .sarv folder or a pyproject.toml with [tool.sarv], else of the cwd."""
    configured = os.environ.get(DB_ENV_VAR)
    if configured:
        return configured
    from sarv.config import project_db_path

    return project_db_path()


def shown_url(url: str) -> str:
    """The URL without its password, for messages."""
    return re.sub(r"^([a-z]+://[^:/@]*):[^@/]*@", r"\1:***@", url)


def shown_location(db_path) -> str:
    """A trace database's location as messages give it: a PostgreSQL URL without its
    password."""
    db_path = os.fspath(db_path)
    return shown_url(db_path) if is_url(db_path) else db_path
