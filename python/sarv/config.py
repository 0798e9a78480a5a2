"""Profiler configuration: defaults, pyproject.toml and explicit overrides.

`load_config` starts from `DEFAULTS`, applies the `[tool.sarv]` table of the
nearest pyproject.toml that has one (searching the start folder, then its
parents), then the overrides given in Python. Keys:

    filters.include_frames  list of path fragments always recorded
    filters.ignore_frames   list of path fragments never recorded
    threading               also profile threads started later (bool)
    lightweight_repr        record short texts instead of values (bool)
    sqlite_busy_timeout     seconds to wait for a locked database (int >= 0)
    max_records             the most records a trace keeps (int >= 0,
                            0 for no limit); past it, see max_records_mode
    max_bytes               the most bytes of records a trace keeps (in memory
                            or, once they have left it, in its spool)
                            (int >= 0, or a text such as "512M" or "2 GiB",
                            powers of 1024; 0 for no limit); default
                            DEFAULT_MAX_BYTES, a quarter of the memory of the
                            machine (or of its container, if less); for a
                            test's or a request's trace TRACE_MAX_BYTES
    max_records_mode        "stop" (the default): keep the first records; past
                            the cap the rest of the trace is left out at the
                            cost of code not recorded (its calls counted as
                            for call_budget). "ring": keep recording, dropping
                            the oldest records (the trace keeps the most recent
                            max_records, or max_bytes): every event is still
                            recorded in full, then thrown away. Either way the
                            trace says how many with a record of type
                            "records_dropped" (after the test's or request's
                            start marker, which is always kept, like its end
                            marker), and a warning on the logger "sarv" says so
                            once
    call_budget             the calls of each function a trace records in full
                            (int >= 0, 0 for all); later calls of it are left
                            out whole, with everything they call, and only
                            counted and timed: the trace's record of type
                            "calls_left_out" says, per function, how many calls
                            were left out, how many raised, and their total and
                            longest duration. A left-out call that raises into
                            recorded code is recorded all the same. Default
                            DEFAULT_CALL_BUDGET
    redact                  names whose values are recorded as "[redacted]":
                            entries "word" (the name equals it), "*word*"
                            (contains), "word*" (starts with), "*word" (ends
                            with), compared lower-cased without "-" and "_"
                            (see sarv.serialize); default DEFAULT_REDACT,
                            [] turns redaction off
    redact_extra            entries added to redact
    plugins                 plugin declarations (see sarv.plugins)
    builtin_plugins         include the package's built-in plugins (bool)
    db_path                 trace database. Unset, `load_config` finds it as
                            git finds its folder (`project_db_path`): the
                            nearest .sarv/ folder from the current folder
                            upwards, or the root of the project (the folder
                            of the nearest pyproject.toml with [tool.sarv]);
                            else .sarv/traces.sqlite3 in the current folder.
                            (A configuration given in Python without it:
                            sarv.db.default_db_path().) A relative path in
                            pyproject.toml is relative to that file's folder.

The environment variable SARV_DB, when set and not empty, names the trace
database above pyproject.toml and below explicit overrides: a shell can
redirect one run without editing the project.

Later layers replace values key by key; the two "filters" lists are
separate keys, and lists are replaced, not extended. An override whose
value is None is ignored. Unknown keys and values of the wrong kind raise
`ConfigError`, whose message starts with the key.

`check_config` validates a complete dictionary given in Python (as
`Profiler(config)` receives it) against the same rules, without reading
pyproject.toml.
"""

from __future__ import annotations

import copy
import difflib
import functools
import os
from typing import Any, Mapping

from sarv import plugins as _plugins
from sarv.exceptions import ConfigError
from sarv.serialize import DEFAULT_REDACT, name_matches, redaction_rules

__all__ = [
    "ConfigError",
    "DEFAULTS",
    "DEFAULT_CALL_BUDGET",
    "DEFAULT_MAX_BYTES",
    "TRACE_MAX_BYTES",
    "check_config",
    "find_pyproject",
    "load_config",
    "parse_size",
    "redact_entries",
]


def _memory_size():
    """Bytes of memory this process can have: the machine's, or its container's limit
    when lower; None when neither can be read."""
    try:
        total = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (AttributeError, ValueError, OSError):
        total = None
    for path in ("/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"):
        try:
            with open(path) as f:
                text = f.read().strip()
        except OSError:
            continue
        if text.isdigit() and (total is None or 0 < int(text) < total):
            total = int(text)
        break
    return total


# A trace's records never take more than a quarter of the memory: a long run, or values
# that grow call after call, cannot exhaust the machine (the trace keeps its newest
# records and says how many it dropped).
_memory = _memory_size()
DEFAULT_MAX_BYTES = max(_memory // 4, 64 << 20) if _memory else 1 << 30
del _memory

# A test's or a request's trace: one of many, each far below the machine's memory.
TRACE_MAX_BYTES = 64 << 20

# Each function's first calls in a trace are recorded in full, the rest counted: a long run
# or a big test suite costs about what code not recorded costs.
DEFAULT_CALL_BUDGET = 1000

_SIZE_UNITS = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30, "t": 1 << 40}


def parse_size(value) -> int:
    """Bytes from an int or a text such as "512M", "2 GiB", "1.5g", "100k" (powers of 1024).

    Raises ValueError for anything else, negative sizes included."""
    if isinstance(value, bool):
        raise ValueError("expected a size, got %r" % (value,))
    if isinstance(value, int):
        if value < 0:
            raise ValueError("expected a size of 0 or more, got %r" % (value,))
        return value
    if not isinstance(value, str):
        raise ValueError("expected a size, got %s" % type(value).__name__)
    text = value.strip().lower()
    for suffix in ("ib", "b"):
        if text.endswith(suffix):
            text = text[: -len(suffix)]
            break
    text = text.rstrip()
    unit = text[-1:] if text[-1:] in _SIZE_UNITS else ""
    number = text[: len(text) - len(unit)].strip()
    try:
        amount = float(number) if "." in number else int(number)
    except ValueError:
        raise ValueError("expected a size such as 512M or 2GiB, got %r" % (value,)) from None
    if not 0 <= amount < 1 << 63 or amount != amount:
        raise ValueError("expected a size of 0 or more, got %r" % (value,))
    return int(amount * _SIZE_UNITS[unit])


DEFAULTS: dict = {
    "filters": {"include_frames": [], "ignore_frames": []},
    "threading": False,
    "lightweight_repr": False,
    "sqlite_busy_timeout": 60,
    "max_records": 0,
    "max_bytes": DEFAULT_MAX_BYTES,
    "max_records_mode": "stop",
    "call_budget": DEFAULT_CALL_BUDGET,
    "redact": list(DEFAULT_REDACT),
    "redact_extra": [],
    "plugins": [],
    "builtin_plugins": True,
    "db_path": None,
}

_FILTER_KEYS = ("include_frames", "ignore_frames")
_BOOL_KEYS = ("threading", "lightweight_repr", "builtin_plugins")
_MAX_TIMEOUT = (1 << 63) - 1
# Plugin records (test boundaries included) are encoded whole, their own fields beside
# what plugins add: redacting one of these would break the trace's readers.
_RECORD_FIELDS = (
    "frame_id",
    "timestamp",
    "thread",
    "thread_native_id",
    "user_code_call_site",
    "call_frame_id",
    "line_number",
    "type",
    "subtype",
    "node_id",
    "outcome",
    "method",
    "path",
    "status",
    "duration",
)


# Every Profiler validates its configuration again: the verdict on an entry is kept.
@functools.lru_cache(maxsize=256)
def _hidden_field(entry: str):
    """The first field of sarv's own records that `entry` would redact, or None."""
    rules = redaction_rules([entry])
    return next((name for name in _RECORD_FIELDS if name_matches(rules, name)), None)


_DB_ENV_VAR = "SARV_DB"  # the same name as sarv.db.DB_ENV_VAR


def _load_toml(path: str) -> dict:
    try:
        import tomllib as toml
    except ImportError:  # Python < 3.11
        try:
            import tomli as toml  # type: ignore[no-redef]
        except ImportError:
            raise ConfigError("%s: reading pyproject.toml needs Python 3.11 or the tomli package" % path) from None
    try:
        with open(path, "rb") as f:
            return toml.load(f)
    except OSError as exc:
        raise ConfigError("%s: cannot read: %s" % (path, exc)) from exc
    except ValueError as exc:  # TOMLDecodeError
        raise ConfigError("%s: invalid TOML: %s" % (path, exc)) from exc


def _sarv_table(path: str):
    tool = _load_toml(path).get("tool")
    if not isinstance(tool, dict) or "sarv" not in tool:
        return None
    table = tool["sarv"]
    if not isinstance(table, dict):
        raise ConfigError("tool.sarv: expected a table (in %s)" % path)
    return table


def find_pyproject(start_dir=None):
    """(path, [tool.sarv] table) of the nearest pyproject.toml that has the
    table, from `start_dir` (default: the current folder) upwards, or None."""
    current = os.path.abspath(os.fspath(start_dir) if start_dir is not None else os.getcwd())
    while True:
        candidate = os.path.join(current, "pyproject.toml")
        if os.path.isfile(candidate):
            table = _sarv_table(candidate)
            if table is not None:
                return candidate, table
        parent = os.path.dirname(current)
        if parent == current:
            return None
        current = parent


DB_FOLDER = ".sarv"
DB_FILE = "traces.sqlite3"


def project_db_path(start_dir=None) -> str:
    """The trace database when nothing names one, found as git finds its folder:
    .sarv/traces.sqlite3 in the nearest folder, from `start_dir` (default: the current
    folder) upwards, that holds a .sarv folder or a pyproject.toml with a [tool.sarv]
    table (the project's root); else in `start_dir` itself, where the first trace of a
    project without either is saved."""
    start = os.path.abspath(os.fspath(start_dir) if start_dir is not None else os.getcwd())
    current = start
    while True:
        if os.path.isdir(os.path.join(current, DB_FOLDER)):
            return os.path.join(current, DB_FOLDER, DB_FILE)
        candidate = os.path.join(current, "pyproject.toml")
        if os.path.isfile(candidate):
            try:
                project = _sarv_table(candidate) is not None
            except ConfigError:
                project = True  # a broken [tool.sarv] is still the project's: load_config says what is wrong
            if project:
                return os.path.join(current, DB_FOLDER, DB_FILE)
        parent = os.path.dirname(current)
        if parent == current:
            return os.path.join(start, DB_FOLDER, DB_FILE)
        current = parent


def _unknown(key, known, prefix: str = "") -> str:
    """'unknown key', with the closest known one when there is one (a misspelling)."""
    close = difflib.get_close_matches(str(key).replace("-", "_").lower(), list(known), n=1, cutoff=0.6)
    return "unknown key (did you mean %s%s?)" % (prefix, close[0]) if close else "unknown key"


def _bad(key: str, message: str, origin: str) -> ConfigError:
    return ConfigError("%s: %s (%s)" % (key, message, origin))


def _string_list(value, key: str, origin: str) -> list:
    if isinstance(value, str) or not isinstance(value, (list, tuple)):
        raise _bad(key, "expected a list of strings, got %s" % type(value).__name__, origin)
    for item in value:
        if not isinstance(item, str):
            raise _bad(key, "expected a list of strings, found %r" % (item,), origin)
    return [str(item) for item in value]


def _filters(value, key: str, origin: str, base_dir: str | None) -> dict:
    """The filter lists the table sets (merged into the ones in force)."""
    if not isinstance(value, Mapping):
        raise _bad(key, "expected a table with include_frames/ignore_frames", origin)
    lists = {}
    for sub_key, sub_value in value.items():
        name = "filters.%s" % sub_key
        if sub_key not in _FILTER_KEYS:
            raise _bad(name, _unknown(sub_key, _FILTER_KEYS, "filters."), origin)
        if sub_value is None and base_dir is None:
            continue
        lists[sub_key] = _string_list(sub_value, name, origin)
    return lists


def _flag(value, key: str, origin: str, base_dir: str | None) -> bool:
    if not isinstance(value, bool):
        raise _bad(key, "expected true or false, got %r" % (value,), origin)
    return value


def _busy_timeout(value, key: str, origin: str, base_dir: str | None) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= _MAX_TIMEOUT:
        raise _bad(key, "expected a non-negative whole number of seconds, got %r" % (value,), origin)
    return int(value)


def _count_limit(value, key: str, origin: str, base_dir: str | None) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= _MAX_TIMEOUT:
        what = "records" if key == "max_records" else "calls"
        raise _bad(key, "expected a whole number of %s, 0 for no limit, got %r" % (what, value), origin)
    return int(value)


def _size_limit(value, key: str, origin: str, base_dir: str | None) -> int:
    try:
        size = parse_size(value)
    except ValueError:
        size = -1
    if not 0 <= size <= _MAX_TIMEOUT:
        raise _bad(key, "expected a size such as 512M or 2GiB (0 for no limit), got %r" % (value,), origin)
    return size


def _records_mode(value, key: str, origin: str, base_dir: str | None) -> str:
    if value not in ("ring", "stop"):
        raise _bad(key, 'expected "ring" or "stop", got %r' % (value,), origin)
    return value


def _redaction(value, key: str, origin: str, base_dir: str | None) -> list:
    entries = _string_list(value, key, origin)
    try:
        redaction_rules(entries)
    except ValueError as exc:
        raise _bad(key, str(exc), origin) from None
    for entry in entries:
        hidden = _hidden_field(entry)
        if hidden is not None:
            raise _bad(key, "%r would hide %r, a field of sarv's own records" % (entry, hidden), origin)
    return entries


def _plugin_entries(value, key: str, origin: str, base_dir: str | None) -> list:
    if isinstance(value, (str, bytes)) or not isinstance(value, (list, tuple)):
        raise _bad(key, "expected a list of tables, got %s" % type(value).__name__, origin)
    for index, declaration in enumerate(value):
        try:
            _plugins.validate_declaration(declaration, "plugins[%d]" % index)
        except ValueError as exc:
            raise ConfigError("%s (%s)" % (exc, origin)) from None
    return list(value)


def _db_path(value, key: str, origin: str, base_dir: str | None) -> str:
    if not isinstance(value, (str, os.PathLike)):
        raise _bad(key, "expected a path, got %s" % type(value).__name__, origin)
    path = os.fspath(value)
    if not isinstance(path, str) or not path:
        raise _bad(key, "expected a non-empty path, got %r" % (value,), origin)
    if base_dir is not None and not path.startswith(("postgresql://", "postgres://")):
        path = os.path.join(base_dir, os.path.expanduser(path))
    return path


# What checks each key's value and gives the value kept ("filters" is merged, not replaced).
_CHECKS = {
    "filters": _filters,
    **{key: _flag for key in _BOOL_KEYS},
    "sqlite_busy_timeout": _busy_timeout,
    "max_records": _count_limit,
    "call_budget": _count_limit,
    "max_bytes": _size_limit,
    "max_records_mode": _records_mode,
    "redact": _redaction,
    "redact_extra": _redaction,
    "plugins": _plugin_entries,
    "db_path": _db_path,
}


def _apply(config: dict, layer: Mapping, origin: str, base_dir: str | None) -> None:
    for key, value in layer.items():
        if value is None and base_dir is None:
            continue  # an override left unset
        check = _CHECKS.get(key) if isinstance(key, str) else None
        if check is None:
            raise _bad(str(key), _unknown(key, DEFAULTS), origin)
        if key == "filters":
            config["filters"].update(check(value, key, origin, base_dir))
        else:
            config[key] = check(value, key, origin, base_dir)


def redact_entries(config: Mapping[str, Any]) -> list:
    """The redaction entries a complete configuration puts in force."""
    return list(config.get("redact", DEFAULT_REDACT)) + list(config.get("redact_extra", ()))


# The defaults that differ by what a trace covers: "run" and the API a whole program's,
# "test" and "request" one of many.
_USE_DEFAULTS = {
    "run": {},
    "test": {"max_bytes": TRACE_MAX_BYTES},
    "request": {"max_bytes": TRACE_MAX_BYTES},
}


def _defaults(use: str) -> dict:
    if use not in _USE_DEFAULTS:
        raise ValueError("unknown use %r" % (use,))
    config = copy.deepcopy(DEFAULTS)
    config.update(_USE_DEFAULTS[use])
    return config


def load_config(overrides: Mapping[str, Any] | None = None, start_dir=None, use: str = "run") -> dict:
    """The effective configuration (a new dict) for profiling. `use`: what one
    trace covers ("run", "test" or "request"), which sets some defaults."""
    config = _defaults(use)
    found = find_pyproject(start_dir)
    if found is not None:
        path, table = found
        _apply(config, table, "in %s [tool.sarv]" % path, os.path.dirname(path))
    from_env = os.environ.get(_DB_ENV_VAR)
    if from_env:
        config["db_path"] = from_env
    if overrides:
        if not isinstance(overrides, Mapping):
            raise ConfigError("configuration overrides must be a mapping, got %s" % type(overrides).__name__)
        _apply(config, overrides, "in the overrides", None)
    if config["db_path"] is None:
        # Upwards from the current folder, as git looks (not from `start_dir`, where a
        # web app's package may be: its traces go where `sarv traces`, run there, looks).
        config["db_path"] = project_db_path()
    return config


def check_config(config: Mapping[str, Any], use: str = "run") -> dict:
    """A complete configuration given in Python, checked and completed with
    the defaults (a new dict); pyproject.toml and SARV_DB are not read."""
    if not isinstance(config, Mapping):
        raise ConfigError("the configuration must be a mapping, got %s" % type(config).__name__)
    checked = _defaults(use)
    _apply(checked, config, "in the configuration", None)
    return checked
