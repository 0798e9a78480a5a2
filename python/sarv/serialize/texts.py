"""The walker's handlers for values written as one scalar or one text (ints and
floats of subclasses, str and bytes cut at their caps, dates and times,
decimals, paths, classes, functions, modules, ...), and the marker texts of
cuts, cycles and failures. None of them looks inside another value."""

from __future__ import annotations

import datetime as _dt
import decimal as _decimal
import pathlib as _pathlib
import types as _types
import uuid as _uuid

from sarv.serialize.classes import (
    _builtin_name,
    _class_name,
    _dict_get,
    _function_module,
    _function_qualname,
    _method_func,
    _module_dict,
    _MEMBER,
)
from sarv.serialize.limits import _INT_MAX, _INT_MIN, MAX_BYTES, MAX_INT_BITS, MAX_STR_CHARS

_date_fields = tuple(_dt.date.__dict__[n].__get__ for n in ("year", "month", "day"))
_time_fields = tuple(_dt.time.__dict__[n].__get__ for n in ("hour", "minute", "second", "microsecond"))
_datetime_fields = tuple(_dt.datetime.__dict__[n].__get__ for n in ("hour", "minute", "second", "microsecond"))
_datetime_tzinfo = _dt.datetime.__dict__["tzinfo"].__get__
_time_tzinfo = _dt.time.__dict__["tzinfo"].__get__

_uuid_int_descr = _uuid.UUID.__dict__.get("int")
_uuid_int = _uuid_int_descr.__get__ if type(_uuid_int_descr) is _MEMBER else None

# Time zones whose offset methods are implemented by the standard library.
_SAFE_TZ_IDS = {id(type(None)), id(_dt.timezone)}
try:
    import zoneinfo as _zoneinfo

    _SAFE_TZ_IDS.add(id(_zoneinfo.ZoneInfo))
except ImportError:  # pragma: no cover - Python < 3.9
    pass


def _cut_text(s: str, cap: int) -> str:
    n = len(s)
    if n <= cap:
        return s
    return s[:cap] + "…(+%d chars)" % (n - cap)


def _int_text(v: int) -> str:
    bits = int.bit_length(v)
    if bits > MAX_INT_BITS:
        return "<int %d bits>" % bits
    try:
        return int.__repr__(v)
    except ValueError:  # the program lowered sys.set_int_max_str_digits
        return "<int %d bits>" % bits


def _depth_marker(tp) -> str:
    return "<%s …>" % _class_name(tp)


def _cycle_marker(tp) -> str:
    return "<cycle %s>" % _class_name(tp)


def _failed_marker(tp, exc) -> str:
    return "<unserializable %s: %s>" % (_class_name(tp), _class_name(type(exc)))


def _scalar(o, tp, depth, st):
    # int/float subclasses: their value, through the base implementation.
    st.budget -= 9
    if issubclass(tp, int):
        v = int.__int__(o)
        return v if _INT_MIN <= v <= _INT_MAX else _int_text(v)
    return float.__float__(o)


def _h_str(o, tp, depth, st):
    s = str.__str__(o)  # exact copy for a subclass, its __str__ is not called
    if len(s) > MAX_STR_CHARS:
        s = _cut_text(s, MAX_STR_CHARS)
    st.budget -= len(s) + 1
    return s


def _h_bytes_like(base):
    length = base.__len__
    getitem = base.__getitem__

    def handler(o, tp, depth, st):
        n = length(o)
        data = bytes(getitem(o, slice(0, MAX_BYTES)))
        if n > MAX_BYTES:
            data += ("…(+%d bytes)" % (n - MAX_BYTES)).encode()
        st.budget -= len(data) + 1
        return data

    return handler


def _h_memoryview(o, tp, depth, st):
    if not o.c_contiguous:  # only a full copy could read it; the C encoder refuses it too
        st.budget -= 8
        return _depth_marker(tp)
    n = o.nbytes
    flat = o if (o.ndim == 1 and o.format == "B") else o.cast("B")
    data = flat[:MAX_BYTES].tobytes()
    if n > MAX_BYTES:
        data += ("…(+%d bytes)" % (n - MAX_BYTES)).encode()
    st.budget -= len(data) + 1
    return data


def _naive_iso(o, time_fields, with_date: bool) -> str:
    clock = [f(o) for f in time_fields]
    if with_date:
        return _dt.datetime(*[f(o) for f in _date_fields], *clock).isoformat()
    return _dt.time(*clock).isoformat()


def _h_datetime(o, tp, depth, st):
    st.budget -= 33
    tz = _datetime_tzinfo(o)
    if id(type(tz)) in _SAFE_TZ_IDS:
        return _dt.datetime.isoformat(o)
    return "%s[tz: %s]" % (_naive_iso(o, _datetime_fields, True), _class_name(type(tz)))


def _h_date(o, tp, depth, st):
    st.budget -= 11
    return _dt.date.isoformat(o)


def _h_time(o, tp, depth, st):
    st.budget -= 22
    tz = _time_tzinfo(o)
    if id(type(tz)) in _SAFE_TZ_IDS:
        return _dt.time.isoformat(o)
    return "%s[tz: %s]" % (_naive_iso(o, _time_fields, False), _class_name(type(tz)))


def _h_timedelta(o, tp, depth, st):
    st.budget -= 20
    return _dt.timedelta.__str__(o)


def _h_decimal(o, tp, depth, st):
    text = _cut_text(_decimal.Decimal.__str__(o), MAX_STR_CHARS)
    st.budget -= len(text) + 1
    return text


def _h_path(o, tp, depth, st):
    # Only the exact standard path classes get here: their methods are the
    # standard library's own.
    text = _cut_text(_pathlib.PurePath.__str__(o), MAX_STR_CHARS)
    st.budget -= len(text) + 1
    return text


def _h_repr(base):
    text_of = base.__repr__

    def handler(o, tp, depth, st):
        text = text_of(o)
        st.budget -= len(text) + 1
        return text

    return handler


def _h_class(o, tp, depth, st):
    st.budget -= 32
    return "<class %s>" % _class_name(o)


def _function_name(f) -> str:
    qual = _function_qualname(f)
    mod = _function_module(f)
    if type(mod) is str and mod:
        return mod + "." + qual
    return qual


def _h_function(o, tp, depth, st):
    st.budget -= 32
    return "<function %s>" % _function_name(o)


def _h_method(o, tp, depth, st):
    st.budget -= 32
    func = _method_func(o)
    if type(func) is _types.FunctionType:
        return "<bound method %s>" % _function_name(func)
    return "<bound method of %s>" % _class_name(type(func))


def _h_builtin(o, tp, depth, st):
    st.budget -= 32
    name = _builtin_name(o)
    return "<built-in function %s>" % (name if type(name) is str else "?")


def _h_module(o, tp, depth, st):
    st.budget -= 32
    md = _module_dict(o)
    name = _dict_get(md, "__name__") if type(md) is dict else None
    return "<module %s>" % name if type(name) is str else "<module>"


def _h_ext(o, tp, depth, st):
    st.budget -= len(o.data) + 3
    return o


_h_bytes = _h_bytes_like(bytes)
_h_bytearray = _h_bytes_like(bytearray)
_h_complex = _h_repr(complex)
_h_range = _h_repr(range)
