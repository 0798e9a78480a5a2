"""Where two recorded values differ, as paths into them: `order.lines[2].qty`.

Values are compared as the trace holds them (see sarv.serialize): an object is a
map with "__class__" and its attributes (shown `.name`), a dict's entries are
shown `['key']`, list items `[i]`. Texts are compared with object addresses
left out (" at 0x7f..." differs from run to run)."""

from __future__ import annotations

import dataclasses

from sarv.diff.read import masked

__all__ = ["ABSENT", "ValueChange", "value_changes", "value_text"]


class _Absent:
    def __repr__(self) -> str:
        return "(absent)"


ABSENT = _Absent()  # a name, key or item that one side does not have


@dataclasses.dataclass
class ValueChange:
    """One place where the two values differ: `path` into them, and both sides there
    (ABSENT where one side has nothing)."""

    path: str
    a: object
    b: object

    def text(self, width: int = 60) -> str:
        return "%s: %s -> %s" % (self.path, value_text(self.a, width), value_text(self.b, width))


def value_text(value, width: int = 60) -> str:
    if value is ABSENT:
        return "(absent)"
    from sarv.views.text import format_value

    return format_value(value, width)


# Attributes of thread objects that differ from run to run, whatever the program does.
_THREAD_IDS = frozenset(("_ident", "_native_id", "ident", "native_id"))


def _ignored(a: dict, key) -> bool:
    cls = a.get("__class__")
    return key in _THREAD_IDS and type(cls) is str and "Thread" in cls


def _same(a, b) -> bool:
    if type(a) is str and type(b) is str:
        return a == b or masked(a) == masked(b)
    if type(a) is not type(b):
        # 1 and 1.0 read back as different types only when they were different values
        return False
    if type(a) is dict:
        if len(a) != len(b):
            return False
        if not all(k in b for k in a):
            # Keys that are objects' texts pair in order.
            return _same_keys_masked(a, b) and all(_same(x, y) for x, y in zip(a.values(), b.values()))
        return all(_same(v, b[k]) or _ignored(a, k) for k, v in a.items())
    if type(a) is list:
        return len(a) == len(b) and all(_same(x, y) for x, y in zip(a, b))
    return a == b or (a != a and b != b)  # NaN is NaN again


def _same_keys_masked(a: dict, b: dict) -> bool:
    """Whether the two maps' keys are the same in order once addresses are left out of
    text keys ("<app.Thing object at 0x7f..>"): their entries then pair in order."""
    if len(a) != len(b):
        return False
    return all(ka == kb or (type(ka) is str and type(kb) is str and masked(ka) == masked(kb)) for ka, kb in zip(a, b))


def _is_object(value) -> bool:
    return type(value) is dict and type(value.get("__class__")) is str


def _step(path: str, key, is_object: bool) -> str:
    if is_object and type(key) is str and key.isidentifier():
        return "%s.%s" % (path, key) if path else key
    return "%s[%r]" % (path, key)


def value_changes(a, b, path: str = "", limit: int = 20, names: bool = False) -> list:
    """The places where `a` and `b` differ, outermost first along each branch, in the
    order of `a`'s entries (then `b`'s own); at most `limit`. With `names`, `a` and
    `b` are maps of names (arguments, locals), whose keys begin the paths."""
    out: list = []
    if names and type(a) is dict and type(b) is dict:
        for key, value in a.items():
            _changes(value, b.get(key, ABSENT), str(key), out, limit)
        for key, value in b.items():
            if key not in a and len(out) < limit:
                out.append(ValueChange(str(key), ABSENT, value))
        return out[:limit]
    _changes(a, b, path, out, limit)
    return out


def _changes(a, b, path: str, out: list, limit: int) -> None:
    if len(out) >= limit or _same(a, b):
        return
    if type(a) is dict and type(b) is dict and a.get("__class__") == b.get("__class__"):
        _map_changes(a, b, path, out, limit)
    elif type(a) is list and type(b) is list:
        _list_changes(a, b, path, out, limit)
    else:
        out.append(ValueChange(path, a, b))


def _map_changes(a: dict, b: dict, path: str, out: list, limit: int) -> None:
    is_object = _is_object(a)
    if not all(k in b for k in a) and _same_keys_masked(a, b):
        # Keys that are objects' texts: the entries pair in order.
        pairs = [(masked(key) if type(key) is str else key, x, y) for (key, x), y in zip(a.items(), b.values())]
    else:
        pairs = [(key, value, b.get(key, ABSENT)) for key, value in a.items() if not _ignored(a, key)]
        pairs += [(key, ABSENT, value) for key, value in b.items() if key not in a]
    for key, x, y in pairs:
        if len(out) >= limit:
            return
        if key == "__class__":
            continue
        if x is ABSENT:
            out.append(ValueChange(_step(path, key, is_object), ABSENT, y))
        else:
            _changes(x, y, _step(path, key, is_object), out, limit)


def _list_changes(a: list, b: list, path: str, out: list, limit: int) -> None:
    for i, (x, y) in enumerate(zip(a, b)):
        if len(out) >= limit:
            return
        _changes(x, y, "%s[%d]" % (path, i), out, limit)
    for i in range(min(len(a), len(b)), max(len(a), len(b))):
        if len(out) >= limit:
            return
        out.append(ValueChange("%s[%d]" % (path, i), a[i] if i < len(a) else ABSENT, b[i] if i < len(b) else ABSENT))
