"""The capped walker, the reference of the wire format: turns any value into a
tree of exact builtin values (None, bool, int, float, str, bytes, list, dict
with scalar keys) that msgpack's C packer then writes, applying every cap and
writing every marker that `sarv.serialize` describes. Containers, objects and
map keys are here; values written as one text are in `texts`."""

from __future__ import annotations

import datetime as _dt
import decimal as _decimal
import enum as _enum
import itertools as _itertools
import pathlib as _pathlib
import types as _types
import uuid as _uuid
import weakref as _weakref

import msgpack as _msgpack

from sarv.serialize.classes import (
    _MISSING,
    _descriptor,
    _dict_descriptor_index,
    _dict_get,
    _dict_items,
    _dict_len,
    _exception_args,
    _same_mro,
    _slot_locations,
    _type_mro,
    _type_qualname,
    _class_name,
)
from sarv.serialize.limits import (
    _INT_MAX,
    _INT_MIN,
    MAX_BYTES,
    MAX_INT_BITS,
    MAX_ITEMS,
    MAX_STR_CHARS,
    MAX_TOTAL_BYTES,
    OBJECT_DEPTH,
)
from sarv.serialize.redaction import REDACTED, _secret_name, _secret_pair
from sarv.serialize.texts import (
    _cut_text,
    _cycle_marker,
    _depth_marker,
    _failed_marker,
    _h_builtin,
    _h_bytearray,
    _h_bytes,
    _h_class,
    _h_complex,
    _h_date,
    _h_datetime,
    _h_decimal,
    _h_ext,
    _h_function,
    _h_memoryview,
    _h_method,
    _h_module,
    _h_path,
    _h_range,
    _h_str,
    _h_time,
    _h_timedelta,
    _int_text,
    _scalar,
    _uuid_int,
)

_TYPE_INFO: dict = {}
_TYPE_INFO_MAX = 1024


class _State:
    """Bookkeeping of one capped walk: content budget and the containers on
    the current path (by id, for cycle detection)."""

    __slots__ = ("budget", "active")

    def __init__(self) -> None:
        self.budget = MAX_TOTAL_BYTES
        self.active: set = set()


def _walk(o, depth: int, st: _State):
    tp = type(o)
    if tp is str:
        if len(o) > MAX_STR_CHARS:
            o = _cut_text(o, MAX_STR_CHARS)
        st.budget -= len(o) + 1
        return o
    if tp is int:
        st.budget -= 9
        if _INT_MIN <= o <= _INT_MAX:
            return o
        return _int_text(o)
    if tp is float or tp is bool or o is None:
        st.budget -= 9
        return o
    handler = _EXACT.get(id(tp))
    if handler is None:
        handler = _handler_for(tp)
    return handler(o, tp, depth, st)


def _handler_for(tp):
    return _type_info(tp)[1]


def _type_info(tp):
    """(weak reference to tp, handler, where the instance __dict__ descriptor
    is, where the slot descriptors are, the MRO they were found in) for a
    class not in _EXACT, cached by id: walking the MRO for every object would
    dominate the cost of encoding it. Descriptors are located by MRO index and
    name, not held, so that the cache keeps no class alive; a class whose MRO
    changed (its bases were assigned) is looked at again."""
    info = _TYPE_INFO.get(id(tp))
    if info is not None and info[0]() is tp and _same_mro(info[4], _type_mro(tp)):
        return info
    # Enum first: IntEnum and StrEnum list int/str before Enum in their MRO.
    if issubclass(tp, _enum.Enum):
        handler = _h_enum
    else:
        handler = _h_object
        for base in _type_mro(tp):
            found = _BASES.get(id(base))
            if found is not None:
                handler = found
                break
    info = (
        _weakref.ref(tp),
        handler,
        _dict_descriptor_index(tp),
        _slot_locations(tp),
        tuple(_weakref.ref(c) for c in _type_mro(tp)),
    )
    if len(_TYPE_INFO) >= _TYPE_INFO_MAX:
        _TYPE_INFO.clear()
    _TYPE_INFO[id(tp)] = info
    return info


def _h_sequence(base):
    length = base.__len__
    iterate = base.__iter__

    def handler(o, tp, depth, st):
        if depth <= 0:
            st.budget -= 8
            return _depth_marker(tp)
        key = id(o)
        active = st.active
        if key in active:
            st.budget -= 8
            return _cycle_marker(tp)
        active.add(key)
        try:
            items = iterate(o)
            if base is tuple and _secret_pair(o):
                items = iter((tuple.__getitem__(o, 0), REDACTED))
            return _walk_items(items, length(o), depth - 1, st)
        finally:
            active.discard(key)

    return handler


def _walk_items(items, n: int, child: int, st: _State) -> list:
    st.budget -= 1
    out = []
    append = out.append
    taken = 0
    try:
        for item in items:
            if taken >= MAX_ITEMS or st.budget <= 0:
                append("…(+%d items)" % max(n - taken, 1))
                return out
            try:
                append(_walk(item, child, st))
            except Exception as exc:
                append(_failed_marker(type(item), exc))
            taken += 1
    except RuntimeError:  # resized by another thread while we read it
        append("…(changed during serialization)")
    return out


def _h_dict(o, tp, depth, st):
    if depth <= 0:
        st.budget -= 8
        return _depth_marker(tp)
    key = id(o)
    active = st.active
    if key in active:
        st.budget -= 8
        return _cycle_marker(tp)
    active.add(key)
    try:
        out: dict = {}
        _walk_pairs(out, _dict_items(o), _dict_len(o), depth - 1, st)
        return out
    finally:
        active.discard(key)


def _walk_pairs(out: dict, pairs, n: int, child: int, st: _State, keep_written=False) -> None:
    st.budget -= 1
    taken = 0
    try:
        for k, v in pairs:
            if taken >= MAX_ITEMS or st.budget <= 0:
                out[_unique("…", out)] = "+%d entries" % max(n - taken, 1)
                return
            if keep_written and type(k) is str and k in out:
                # An attribute named like an entry already written
                # ("__class__", "args") does not overwrite it.
                taken += 1
                continue
            name = k
            try:
                k = _key(k, st)
            except Exception as exc:
                k = _failed_marker(type(k), exc)
            if k in out:
                k = _unique(k, out)
            if issubclass(type(name), str) and _secret_name(name):
                st.budget -= len(REDACTED) + 1
                out[k] = REDACTED
                taken += 1
                continue
            try:
                out[k] = _walk(v, child, st)
            except Exception as exc:
                out[k] = _failed_marker(type(v), exc)
            taken += 1
    except RuntimeError:  # changed by another thread while we read it
        out[_unique("…", out)] = "(changed during serialization)"


def _unique(k, out: dict):
    base = k if type(k) is str else _scalar_repr(k)
    if base not in out:
        return base
    i = 2
    while "%s~%d" % (base, i) in out:
        i += 1
    return "%s~%d" % (base, i)


def _key(k, st: _State):
    """A map key: builtin scalars stay themselves, anything else a text."""
    tp = type(k)
    if tp is str:
        if len(k) > MAX_STR_CHARS:
            k = _cut_text(k, MAX_STR_CHARS)
        st.budget -= len(k) + 1
        return k
    if tp is int:
        st.budget -= 9
        return k if _INT_MIN <= k <= _INT_MAX else _int_text(k)
    if tp is float or tp is bool or k is None:
        st.budget -= 9
        return k
    handler = _EXACT.get(id(tp)) or _handler_for(tp)
    if handler in _SCALAR_KEY_HANDLERS:
        # The same scalar the value would be encoded as (str/int/float/bytes
        # subclasses, enums, dates, ...), so both encodings agree.
        value = handler(k, tp, 0, st)
        if id(type(value)) in _REPR_SCALAR_IDS:
            return value
    text = _key_text(k, tp, 3)
    st.budget -= len(text) + 1
    return text


def _scalar_repr(v) -> str:
    tp = type(v)
    if tp is str:
        return str.__repr__(v)
    if tp is int:
        return int.__repr__(v) if int.bit_length(v) <= MAX_INT_BITS else _int_text(v)
    if tp is float:
        return float.__repr__(v)
    if tp is bytes:
        return bytes.__repr__(v[:MAX_BYTES])
    if v is None or tp is bool:
        return "None" if v is None else ("True" if v else "False")
    return _key_text(v, tp, 1)


def _key_text(k, tp, depth: int) -> str:
    """Readable text of a key that is not a scalar, such as "(1, 'a')"."""
    if tp is bytearray:
        return _cut_text(bytes.__repr__(bytes(k[:MAX_BYTES])), MAX_STR_CHARS)
    if issubclass(tp, (tuple, frozenset)) and not issubclass(tp, _enum.Enum):
        if depth <= 0:
            return _depth_marker(tp)
        base = tuple if issubclass(tp, tuple) else frozenset
        parts = [
            _scalar_repr(e) if id(type(e)) in _REPR_SCALAR_IDS else _key_text(e, type(e), depth - 1)
            for e in _itertools.islice(base.__iter__(k), MAX_ITEMS)
        ]
        if base.__len__(k) > MAX_ITEMS:
            parts.append("…")
        if base is tuple:
            text = "(" + ", ".join(parts) + ("," if len(parts) == 1 else "") + ")"
        else:
            text = "frozenset({" + ", ".join(parts) + "})"
        return _cut_text(text, MAX_STR_CHARS)
    handler = _EXACT.get(id(tp)) or _handler_for(tp)
    if handler in _TEXT_HANDLERS or handler is _scalar or handler is _h_str:
        value = handler(k, tp, 0, _State())
        return value if type(value) is str else _scalar_repr(value)
    return "<%s object at %#x>" % (_class_name(tp), id(k))


_REPR_SCALAR_IDS = {id(t) for t in (str, int, float, bool, type(None), bytes)}


def _h_enum(o, tp, depth, st):
    st.budget -= 16
    cls = _type_qualname(tp)
    if type(cls) is not str:
        cls = "?"
    attrs = _instance_dict(o, tp)
    if attrs is not None:
        name = _dict_get(attrs, "_name_")
        if type(name) is str:
            return cls + "." + name
        value = _dict_get(attrs, "_value_", _MISSING)
        if value is not _MISSING and id(type(value)) in _REPR_SCALAR_IDS:
            return "%s(%s)" % (cls, _scalar_repr(value))
    return "<%s>" % cls


def _h_uuid(o, tp, depth, st):
    value = _uuid_int(o) if _uuid_int is not None else None
    if type(value) is not int or not 0 <= value < (1 << 128):
        return _h_object(o, tp, depth, st)
    st.budget -= 37
    h = "%032x" % value
    return "%s-%s-%s-%s-%s" % (h[:8], h[8:12], h[12:16], h[16:20], h[20:])


def _instance_dict(o, tp, info=None):
    index = (info or _type_info(tp))[2]
    if index is None:
        return None
    descr = _descriptor(tp, index, "__dict__")
    if descr is None:
        return None
    attrs = descr.__get__(o, tp)
    if type(attrs) is dict or (attrs is not None and issubclass(type(attrs), dict)):
        return attrs
    return None


def _slot_values(o, tp, info=None) -> list:
    found = []
    for index, name in (info or _type_info(tp))[3]:
        descr = _descriptor(tp, index, name)
        if descr is None:
            continue
        try:
            found.append((name, descr.__get__(o, tp)))
        except AttributeError:  # slot never assigned
            pass
    return found


def _h_object(o, tp, depth, st, extra=None):
    if depth <= 0:
        st.budget -= 8
        return _depth_marker(tp)
    if depth > OBJECT_DEPTH:
        depth = OBJECT_DEPTH
    key = id(o)
    active = st.active
    if key in active:
        st.budget -= 8
        return _cycle_marker(tp)
    active.add(key)
    try:
        name = _class_name(tp)
        out: dict = {"__class__": name}
        st.budget -= len(name) + 12
        if extra is not None:
            for k, v in extra:
                out[k] = _walk(v, depth - 1, st)
        info = _type_info(tp)
        attrs = _instance_dict(o, tp, info)
        slots = _slot_values(o, tp, info) if info[3] else ()
        n = (_dict_len(attrs) if attrs is not None else 0) + len(slots)
        if n:
            pairs = _dict_items(attrs) if attrs is not None else ()
            if slots:
                pairs = _itertools.chain(pairs, slots)
            _walk_pairs(out, pairs, n, depth - 1, st, keep_written=True)
        return out
    finally:
        active.discard(key)


def _h_exception(o, tp, depth, st):
    return _h_object(o, tp, depth, st, (("args", _exception_args(o)),))


_h_list = _h_sequence(list)
_h_tuple = _h_sequence(tuple)
_h_set = _h_sequence(set)
_h_frozenset = _h_sequence(frozenset)

# Handlers for exact types, keyed by id(type): hashing a class could run a
# metaclass __hash__, its id cannot.
_EXACT = {
    id(dict): _h_dict,
    id(list): _h_list,
    id(tuple): _h_tuple,
    id(set): _h_set,
    id(frozenset): _h_frozenset,
    id(bytes): _h_bytes,
    id(bytearray): _h_bytearray,
    id(memoryview): _h_memoryview,
    id(_types.FunctionType): _h_function,
    id(_types.BuiltinFunctionType): _h_builtin,
    id(_types.MethodType): _h_method,
    id(_msgpack.ExtType): _h_ext,
    id(range): _h_range,
}
for _path_class in (
    _pathlib.PurePath,
    _pathlib.PurePosixPath,
    _pathlib.PureWindowsPath,
    _pathlib.Path,
    _pathlib.PosixPath,
    _pathlib.WindowsPath,
):
    _EXACT[id(_path_class)] = _h_path

# Handlers found through the MRO of classes not listed above (subclasses,
# standard value types). datetime precedes date in a datetime's MRO.
_BASES = {
    id(dict): _h_dict,
    id(list): _h_list,
    id(tuple): _h_tuple,
    id(set): _h_set,
    id(frozenset): _h_frozenset,
    id(str): _h_str,
    id(int): _scalar,
    id(float): _scalar,
    id(bytes): _h_bytes,
    id(bytearray): _h_bytearray,
    id(complex): _h_complex,
    id(_dt.datetime): _h_datetime,
    id(_dt.date): _h_date,
    id(_dt.time): _h_time,
    id(_dt.timedelta): _h_timedelta,
    id(_decimal.Decimal): _h_decimal,
    id(_uuid.UUID): _h_uuid,
    id(type): _h_class,
    id(_types.ModuleType): _h_module,
    id(BaseException): _h_exception,
}

_TEXT_HANDLERS = (
    _h_enum,
    _h_datetime,
    _h_date,
    _h_time,
    _h_timedelta,
    _h_decimal,
    _h_uuid,
    _h_path,
    _h_complex,
    _h_range,
    _h_class,
    _h_function,
    _h_method,
    _h_builtin,
    _h_module,
)
_SCALAR_KEY_HANDLERS = _TEXT_HANDLERS + (_scalar, _h_str, _h_bytes)
