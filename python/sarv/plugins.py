"""Plugin descriptions for the profiler core.

A plugin turns calls and returns of chosen functions into records of their
own (for example the start and the end of a test). The core asks
`load_plugin_data(config)` once, when profiling starts, for a list of
descriptions, each a dict with:

    "co_names"       list of function names (code object names) to watch
    "path_fragment"  text the function's file name must contain ("" = any)
    "call_type"      record type written for a call
    "return_type"    record type written for a return
    "subtype"        optional text written as the record's "subtype"
    "events"         ["call"], ["return"], both, or None for both
    "call"           None or callable(frame, event, arg, context) -> bool:
                     an extra condition for producing a record
    "process"        None or callable(frame, event, arg, context) -> mapping
                     of extra record entries
    "build_context"  None or callable(config) -> dict, the `context` above

The list holds, in this order:

1. the built-in descriptions registered with `register_builtin` (for the
   package's own integrations), unless the configuration sets
   "builtin_plugins" to false;
2. one description per entry of the configuration's "plugins" list. An entry
   is a table with the keys above, except that the names may be given as
   "functions" instead of "co_names", and "call", "process" and
   "build_context" are import paths "package.module:function" (callables are
   accepted too when the configuration is built in Python).

A configuration without plugins (and without built-ins) gives an empty list.
Problems raise ValueError naming the entry and key, e.g.
"plugins[0].call_type: ...".

The core imports this module by name and calls `load_plugin_data` while a profiler
may already be running on the thread: the module is in the core's table of sarv's own
files, whose frames are never recorded. It imports nothing of sarv, so that the
configuration can check plugin entries with it.
"""

from __future__ import annotations

import importlib
from typing import Any, Callable, Mapping

__all__ = [
    "builtin_descriptions",
    "load_plugin_data",
    "register_builtin",
    "unregister_builtin",
    "validate_declaration",
]

_EVENTS = ("call", "return")
_CALLABLE_KEYS = ("call", "process", "build_context")
_DECLARATION_KEYS = frozenset(
    ("functions", "co_names", "path_fragment", "call_type", "return_type", "subtype", "events") + _CALLABLE_KEYS
)
_DESCRIPTION_KEYS = _DECLARATION_KEYS - {"functions"}

_BUILTINS: list = []


def _fail(where: str, message: str) -> ValueError:
    return ValueError("%s: %s" % (where, message))


def _check_names(value, where: str) -> list:
    if isinstance(value, str) or not isinstance(value, (list, tuple)):
        raise _fail(where, "expected a list of function names, got %s" % type(value).__name__)
    for name in value:
        if not isinstance(name, str) or not name:
            raise _fail(where, "function names must be non-empty strings, got %r" % (name,))
    return [str(name) for name in value]


def _check_text(value, where: str, allow_empty: bool = False) -> str:
    if not isinstance(value, str) or (not value and not allow_empty):
        raise _fail(where, "expected a %sstring, got %r" % ("" if allow_empty else "non-empty ", value))
    return str(value)


def _check_events(value, where: str):
    if value is None:
        return None
    if isinstance(value, str) or not isinstance(value, (list, tuple)):
        raise _fail(where, 'expected a list of "call"/"return", got %s' % type(value).__name__)
    for event in value:
        if event not in _EVENTS:
            raise _fail(where, 'events must be "call" or "return", got %r' % (event,))
    return [str(event) for event in value]


def _check_import_path(value, where: str) -> None:
    if callable(value) or value is None:
        return
    if not isinstance(value, str):
        raise _fail(where, "expected an import path 'module:function', got %s" % type(value).__name__)
    module, sep, attribute = value.partition(":")
    if not sep or not module.strip() or not attribute.strip():
        raise _fail(where, "expected an import path 'module:function', got %r" % (value,))


def validate_declaration(declaration, where: str = "plugins[0]") -> None:
    """Check one configured plugin entry without importing anything."""
    if not isinstance(declaration, Mapping):
        raise _fail(where, "expected a table, got %s" % type(declaration).__name__)
    for key in declaration:
        if key not in _DECLARATION_KEYS:
            raise _fail("%s.%s" % (where, key), "unknown key")
    has_functions = "functions" in declaration
    has_co_names = "co_names" in declaration
    if has_functions == has_co_names:
        raise _fail(where, 'give the function names in exactly one of "functions" and "co_names"')
    names_key = "functions" if has_functions else "co_names"
    _check_names(declaration[names_key], "%s.%s" % (where, names_key))
    for key in ("path_fragment", "call_type", "return_type"):
        if key not in declaration:
            raise _fail("%s.%s" % (where, key), "missing")
        _check_text(declaration[key], "%s.%s" % (where, key), allow_empty=(key == "path_fragment"))
    if "subtype" in declaration:
        _check_text(declaration["subtype"], where + ".subtype")
    _check_events(declaration.get("events"), where + ".events")
    for key in _CALLABLE_KEYS:
        _check_import_path(declaration.get(key), "%s.%s" % (where, key))


def _import_callable(value, where: str) -> Callable | None:
    if value is None or callable(value):
        return value
    module_name, _, attribute = value.partition(":")
    try:
        target: Any = importlib.import_module(module_name.strip())
        for part in attribute.strip().split("."):
            target = getattr(target, part)
    except Exception as exc:
        raise _fail(where, "cannot import %r: %s: %s" % (value, type(exc).__name__, exc)) from exc
    if not callable(target):
        raise _fail(where, "%r is not callable" % (value,))
    return target


def _description(declaration: Mapping, where: str) -> dict:
    validate_declaration(declaration, where)
    names_key = "functions" if "functions" in declaration else "co_names"
    description = {
        "co_names": _check_names(declaration[names_key], where),
        "path_fragment": str(declaration["path_fragment"]),
        "call_type": str(declaration["call_type"]),
        "return_type": str(declaration["return_type"]),
        "events": _check_events(declaration.get("events"), where + ".events"),
    }
    # The core refuses a None subtype: the key is present only with a value.
    if "subtype" in declaration:
        description["subtype"] = str(declaration["subtype"])
    for key in _CALLABLE_KEYS:
        description[key] = _import_callable(declaration.get(key), "%s.%s" % (where, key))
    return description


def register_builtin(description: Mapping) -> dict:
    """Add a description that every later profiler receives (unless its
    configuration sets "builtin_plugins" to false). Uses the description
    format above, with callables; returns the stored dict, which
    `unregister_builtin` takes back."""
    where = "builtin plugin"
    if not isinstance(description, Mapping):
        raise _fail(where, "expected a dict, got %s" % type(description).__name__)
    for key in description:
        if key not in _DESCRIPTION_KEYS:
            raise _fail("%s.%s" % (where, key), "unknown key")
    for key in _CALLABLE_KEYS:
        value = description.get(key)
        if value is not None and not callable(value):
            raise _fail("%s.%s" % (where, key), "expected a callable or None")
    stored = _description(description, where)
    _BUILTINS.append(stored)
    return stored


def unregister_builtin(description: dict) -> None:
    """Remove a description returned by `register_builtin`."""
    for index, stored in enumerate(_BUILTINS):
        if stored is description:
            del _BUILTINS[index]
            return
    raise ValueError("this plugin description is not registered")


def builtin_descriptions() -> list:
    """Copies of the registered built-in descriptions."""
    return [{key: list(value) if isinstance(value, list) else value for key, value in d.items()} for d in _BUILTINS]


def load_plugin_data(config) -> list:
    """The plugin descriptions for a profiler with this configuration."""
    if not isinstance(config, Mapping):
        raise ValueError("the configuration must be a mapping, got %s" % type(config).__name__)
    builtin = config.get("builtin_plugins", True)
    if not isinstance(builtin, bool):
        raise _fail("builtin_plugins", "expected true or false, got %r" % (builtin,))
    declarations = config.get("plugins")
    if declarations is None:
        declarations = []
    if isinstance(declarations, (str, bytes)) or not isinstance(declarations, (list, tuple)):
        raise _fail("plugins", "expected a list of tables, got %s" % type(declarations).__name__)
    descriptions = builtin_descriptions() if builtin else []
    for index, declaration in enumerate(declarations):
        descriptions.append(_description(declaration, "plugins[%d]" % index))
    return descriptions
