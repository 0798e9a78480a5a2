"""What the commands share: the one-line failure, the database they read, and
the command line that shows a trace."""

from __future__ import annotations

import os
import shlex
import sys

from sarv import db as _db
from sarv.config import ConfigError, load_config
from sarv.exceptions import CommandError

EXIT_ERROR = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

DB_HELP = (
    "trace database (default: $SARV_DB, else db_path of [tool.sarv], else .sarv/traces.sqlite3 in the nearest"
    " folder upwards with a .sarv folder or a pyproject.toml with [tool.sarv], else in the current folder)"
)
COMPACT_HELP = (
    "rewrite the database file to give the space back to the file system now (a SQLite file is otherwise "
    "compacted once a quarter of it is free; until then later traces reuse the space)"
)
TRACE_HELP = "a trace id, its first or last characters, or 'last'"


def prog() -> str:
    name = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    return "sarv" if name in ("sarv", "sarv.exe") else "python -m sarv"


def flush_stdout() -> None:
    try:
        sys.stdout.flush()
    except Exception:
        pass  # a closed or broken stdout is the program's business


def db_path(options, reading: bool = True) -> str:
    """The database a command uses: --db, else the configuration's. A configuration that
    cannot be read (a misspelt key) does not stop a command that only reads traces
    (`reading`): it is said on standard error, and the database is found as if no db_path
    were configured. A command that removes traces stops there."""
    if options.db:
        return options.db
    try:
        configured = load_config().get("db_path")
    except ConfigError as exc:
        if not reading:
            raise CommandError("configuration error: %s (or give --db)" % exc, EXIT_USAGE) from None
        found = found_db_path()
        print("sarv: configuration error: %s (reading %s)" % (exc, _db.shown_location(found)), file=sys.stderr)
        return found
    return configured or _db.default_db_path()


def existing_db(options, reading: bool = True) -> str:
    path = db_path(options, reading)
    if _db.is_url(path):
        return path  # a PostgreSQL store: whether it holds traces, the command finds out
    recover_spools(path)
    if not os.path.exists(path):
        raise CommandError("no trace database at %s (record one with '%s run', or give --db)" % (path, prog()))
    if os.path.isdir(path):
        raise CommandError("%s is a folder, not a trace database" % path)
    return path


def recover_spools(path: str) -> None:
    """Store the traces that processes killed before their save left in spools
    beside the database (see sarv.store.spool), so that the command finds them."""
    from sarv.store.spool import recover

    if os.path.isdir(path):
        return
    for trace_id in recover(path):
        print("sarv: trace %s recovered: its process ended without saving it" % trace_id, file=sys.stderr)


def decoded(write, out, trace_id: str, path: str) -> None:
    """write(out), with a document that cannot be decoded reported as such."""
    import msgpack

    try:
        write(out)
    except (ValueError, TypeError, msgpack.UnpackException) as exc:
        reason = "%s: %s" % (type(exc).__name__, exc) if str(exc) else type(exc).__name__
        raise CommandError(
            "trace %s in %s cannot be decoded: %s" % (trace_id, _db.shown_location(path), reason)
        ) from None


_AGE_UNITS = {"s": 1, "m": 60, "h": 3600, "d": 86400, "w": 7 * 86400}


def is_age(text: str) -> bool:
    return bool(text) and text[-1:].lower() in _AGE_UNITS and text[:-1].replace(".", "", 1).isdigit()


def age(text: str, option: str) -> float:
    """Seconds of an age such as 90s, 30m, 12h, 7d or 2w."""
    value, unit = text[:-1], text[-1:].lower()
    try:
        seconds = float(value) * _AGE_UNITS[unit]
    except (KeyError, ValueError):
        raise CommandError(
            "%s: expected an age such as 90s, 30m, 12h, 7d or 2w, not %r" % (option, text), EXIT_USAGE
        ) from None
    if seconds < 0:
        raise CommandError("%s must not be negative" % option, EXIT_USAGE)
    return seconds


def found_db_path() -> str:
    """The database a command finds with no --db and no db_path configured."""
    from sarv.config import project_db_path

    return os.environ.get("SARV_DB") or project_db_path()


def view_command(trace_id: str, db_path: str) -> str:
    """The command line that shows a saved trace in a browser."""
    command = "%s view %s --open" % (prog(), trace_id)
    if _db.location(db_path) != _db.location(found_db_path()):
        command += " --db %s" % shlex.quote(_db.shown_location(db_path))
    return command
