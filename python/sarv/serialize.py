"""MessagePack encoding of arbitrary Python values for trace records.

The profiler calls `dump_msgpack` (or `dump_msgpack_lightweight_repr`) for the
argument and the locals of every recorded call and return. Both return
`bytes` holding exactly one MessagePack value, whatever they are given, and
run no code that the profiled program defines: no `__repr__`, `__str__`,
`__iter__`, `__len__`, `__getattr__`, `__getattribute__`, properties or other
descriptors, no `__eq__`/`__hash__` of keys, no `__class__` lookups (so no
`isinstance` on foreign objects either).

Wire format of `dump_msgpack` (what readers of traces see)
---------------------------------------------------------
Decode with ``msgpack.unpackb(data, strict_map_key=False)``: maps may have
int, float, bool, nil and bin keys besides str. Every map key written is one
of those scalars, so every value decodes with the stock reader.

* None, bool, float -> nil, bool, float 64.
* int -> int when -2**63 <= v < 2**64; otherwise its decimal text (a str),
  or "<int N bits>" when it has more than MAX_INT_BITS bits.
* str -> str; bytes, bytearray, memoryview -> bin.
* list, tuple, set, frozenset -> array (sets in iteration order).
* dict -> map. A key that is not a str/int/float/bool/None/bytes becomes a
  text: tuples and frozensets read like their repr ("(1, 'a')"), other objects
  "<module.Qual object at 0x...>". A key equal to an earlier key of the map
  once converted (an int subclass key beside the same int, ...) is written
  as text instead, with a "~N" suffix if that text is taken too.
* Subclasses of the builtin types above -> the builtin form, read through the
  base type's C implementation (overrides are not called).
* Text forms: datetime/date/time -> isoformat (for a tzinfo that is not None,
  datetime.timezone or zoneinfo.ZoneInfo: the naive isoformat followed by
  "[tz: module.Qual]"), timedelta -> str(), Decimal -> str(), UUID -> canonical
  hex text, exact pathlib path classes -> str(), complex and range -> repr(),
  Enum members (IntEnum/StrEnum included) -> "Class.MEMBER" (or
  "Class(value)" when the member has no name).
* Classes -> "<class module.Qual>"; functions -> "<function module.qual>";
  bound methods -> "<bound method module.qual>"; built-in functions ->
  "<built-in function name>"; modules -> "<module name>".
* Any other object -> map {"__class__": "module.QualName", attr: value, ...}
  holding the entries of its instance __dict__ and then its set __slots__
  values; exceptions also get "args". The instance __dict__ is only read
  through the genuine C descriptor: when a class hides it behind anything
  else (a property named __dict__, ...) the map has "__class__" alone.
  (Reading it can make CPython create the object's attribute dictionary,
  which costs memory but changes no behaviour.)

Exact versus capped encoding: a value that is plain builtin data (None, bool,
64-bit ints, floats, valid str, bytes, bytearray, memoryview, and lists, dicts,
tuples and sets of them) and encodes to at most EXACT_MAX_BYTES is written
whole: nothing in it is cut. Values within it that are not plain data
(subclasses, text forms, objects, ints beyond 64 bits) are written by the
capped walker below, each on its own. Any other value (too big, nested beyond
msgpack's packer limit, a str that is not valid Unicode, a map whose keys would
read back as one, ...) is written whole by the capped walker, which applies
these limits and marks every cut. No value is read past its limits: a huge
container or text anywhere costs about what its first items or characters cost.

* str longer than MAX_STR_CHARS -> first MAX_STR_CHARS chars + "…(+K chars)".
* bytes longer than MAX_BYTES -> first MAX_BYTES bytes + "…(+K bytes)" (UTF-8).
* containers and objects keep at most MAX_ITEMS entries; arrays then end with
  the element "…(+K items)", maps with the entry "…": "+K entries".
* the whole value is cut the same way once MAX_TOTAL_BYTES of content has
  been written.
* nesting: at most MAX_DEPTH levels below the value, and at most
  OBJECT_DEPTH levels below any non-builtin object; a container or object
  beyond that is the text "<module.Qual …>".
* a container or object met again inside itself -> "<cycle module.Qual>".
* an element whose encoding failed -> "<unserializable module.Qual: ExcType>";
  a container changed by another thread while read ends with
  "…(changed during serialization)".
Text in the walker that is not valid Unicode (lone surrogates) is written
with backslash escapes. If everything fails, the result is the single str
"<unserializable module.Qual: ExcType>" (or "<unserializable>" if even that
cannot be built).

Wire format of `dump_msgpack_lightweight_repr`
----------------------------------------------
* exact None, bool, float and int -> themselves (big ints as above);
* exact str -> str, cut at LIGHT_MAX_STR_CHARS with the "…(+K chars)" suffix;
* anything else (containers, subclasses, enums, bytes, objects) -> the text
  "<module.Qual>" of its class;
* a dict (or subclass) given at the top level, such as a locals dict, -> a map
  of its keys (keys as above) to those short values, at most MAX_ITEMS
  entries plus the "…" entry.

Redaction (both forms)
----------------------
The value under a name that holds a secret is written as the text
"[redacted]" (the name itself is kept): entries of a dict whose key is a str
(or a str subclass), which includes a locals dict (local and argument names),
and the attributes and slots of an object, at any depth; and the second
item of a (name, value) pair, a tuple of two whose first item is such a name
as a str or bytes (headers as ASGI servers give them). A container under
such a name is replaced whole. Values reached without a name (an element of
a list, a return value, a dict key) are not judged. Bytes names are read on
their first MAX_BYTES bytes, lower-cased by bytes.lower. A name is compared on its first
MAX_STR_CHARS characters, lower-cased by str.lower, with "-" and "_"
removed, against the rules of `set_redaction` (DEFAULT_REDACT unless set):
"word" matches a name equal to word, "*word*" one that contains it, "word*"
one that starts and "*word" one that ends with it. In the exact form, plain
data that holds a dict with such a key is written by the capped walker
(or such a pair) is written by the capped walker instead (its caps apply), so
that only the walker ever redacts.

Exceptions: every `Exception` (MemoryError and RecursionError included) is
caught. Exceptions that are not `Exception` subclasses (KeyboardInterrupt,
SystemExit, exceptions injected into a thread to stop it) are requests
aimed at the program from outside, delivered wherever it happens to be;
swallowing them here would change what the program does, so they propagate.
"""

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

__all__ = [
    "dump_msgpack",
    "dump_msgpack_lightweight_repr",
    "EXACT_MAX_BYTES",
    "LIGHT_MAX_STR_CHARS",
    "MAX_BYTES",
    "MAX_DEPTH",
    "MAX_INT_BITS",
    "MAX_ITEMS",
    "MAX_STR_CHARS",
    "MAX_TOTAL_BYTES",
    "OBJECT_DEPTH",
    "DEFAULT_REDACT",
    "REDACTED",
    "name_matches",
    "redaction",
    "redaction_rules",
    "set_redaction",
]

MAX_DEPTH = 16
OBJECT_DEPTH = 3
MAX_ITEMS = 100
MAX_STR_CHARS = 1000
MAX_BYTES = 1000
# Stays below the interpreter's default limit on int-to-text conversion
# (4300 digits) and keeps the text within MAX_STR_CHARS.
MAX_INT_BITS = 3300
MAX_TOTAL_BYTES = 32 * 1024
EXACT_MAX_BYTES = 16 * 1024
LIGHT_MAX_STR_CHARS = 100

_INT_MIN = -(1 << 63)
_INT_MAX = (1 << 64) - 1
_POOL_MAX = 32
_TYPE_INFO: dict = {}
_TYPE_INFO_MAX = 1024
_MISSING = object()
_PACK_NEST_LIMIT = 1024  # msgpack's packer: deeper plain data is not written exactly


# ---------------------------------------------------------------------------
# Redaction by name. The native encoder keeps the same rules (set_redaction
# sets both) and, like this, one verdict per name object.

REDACTED = "[redacted]"
DEFAULT_REDACT = (
    "*password*",
    "*passwd*",
    "*secret*",
    "*token*",
    "*apikey*",
    "*privatekey*",
    "*credential*",
    "auth",
    "authorization",
    "cookie",
    "setcookie",
    "sessionid",
    "csrf",
    "csrftoken",
    "signature",
    # the same headers as WSGI environ and Django's META name them, and parsed cookies
    "http_authorization",
    "http_cookie",
    "proxy_authorization",
    "http_proxy_authorization",
    "cookies",
)
_EQUALS, _CONTAINS, _PREFIX, _SUFFIX = range(4)
_redact_entries: tuple = ()
_RULES: list = []  # (kind, normalised text)
_BYTES_RULES: list = []  # the same, as UTF-8
_VERDICTS: dict = {}  # exact str name -> bool
_BYTES_VERDICTS: dict = {}  # bytes name -> bool (apart: a str never meets a bytes)
_VERDICTS_MAX = 4096
_str_lower = str.lower
_str_len = str.__len__
_str_slice = str.__getitem__


def _normalised(name) -> str:
    if _str_len(name) > MAX_STR_CHARS:
        name = _str_slice(name, slice(0, MAX_STR_CHARS))
    return _str_lower(name).replace("-", "").replace("_", "")


def redaction_rules(entries) -> list:
    """[(kind, text)] of redaction entries ("word", "*word*", "word*",
    "*word"); ValueError naming the entry that is not one of these."""
    if isinstance(entries, (str, bytes)):
        raise ValueError("expected a list of names, got %s" % type(entries).__name__)
    rules = []
    for entry in entries:
        if type(entry) is not str:
            raise ValueError("expected a list of names, found %r" % (entry,))
        head, tail = entry.startswith("*"), entry.endswith("*") and len(entry) > 1
        core = entry[1 if head else 0 : len(entry) - 1 if tail else len(entry)]
        text = _normalised(core) if _str_len(core) <= MAX_STR_CHARS else ""
        if "*" in core or not text:
            raise ValueError(
                "%r is not a name to redact: use word, *word*, word* or *word "
                "(a word that is not only '-' and '_')" % (entry,)
            )
        kind = _CONTAINS if head and tail else _SUFFIX if head else _PREFIX if tail else _EQUALS
        rules.append((kind, text))
    return rules


def redaction() -> tuple:
    """The redaction entries in force (an empty tuple: redaction is off)."""
    return _redact_entries


def set_redaction(entries=DEFAULT_REDACT) -> tuple:
    """Makes `entries` (see `redaction_rules`; empty turns redaction off)
    the names whose values both forms write as "[redacted]"; returns the
    entries in force before."""
    global _redact_entries, _RULES, _BYTES_RULES
    entries = tuple(entries)
    rules = redaction_rules(entries)
    if _speedups is not None:
        _speedups.set_redaction(rules)
    previous = _redact_entries
    _redact_entries, _RULES = entries, rules
    _BYTES_RULES = [(kind, text.encode("utf-8", "surrogatepass")) for kind, text in rules]
    _VERDICTS.clear()
    _BYTES_VERDICTS.clear()
    return previous


def name_matches(rules, name: str) -> bool:
    """Whether `name` matches one of `rules` (from `redaction_rules`)."""
    return _matches(rules, _normalised(name))


def _matches(rules, text) -> bool:
    for kind, rule in rules:
        if (
            (kind == _CONTAINS and rule in text)
            or (kind == _EQUALS and text == rule)
            or (kind == _PREFIX and text.startswith(rule))
            or (kind == _SUFFIX and text.endswith(rule))
        ):
            return True
    return False


def _judge(name) -> bool:
    try:
        return name_matches(_RULES, name)
    except Exception:  # a name that cannot be read keeps its value out
        return True


def _secret_name(name) -> bool:
    """Whether the value under `name` (a str or a str subclass) is redacted."""
    if not _RULES:
        return False
    if type(name) is not str:
        return _judge(name)  # a subclass may hash and compare as it likes: not kept
    verdict = _VERDICTS.get(name)
    if verdict is None:
        verdict = _judge(name)
        if len(_VERDICTS) >= _VERDICTS_MAX:
            _VERDICTS.clear()
        _VERDICTS[name] = verdict
    return verdict


def _secret_bytes_name(name: bytes) -> bool:
    verdict = _BYTES_VERDICTS.get(name)
    if verdict is None:
        text = bytes.lower(name[:MAX_BYTES]).replace(b"-", b"").replace(b"_", b"")
        verdict = _matches(_BYTES_RULES, text)
        if len(_BYTES_VERDICTS) >= _VERDICTS_MAX:
            _BYTES_VERDICTS.clear()
        _BYTES_VERDICTS[name] = verdict
    return verdict


def _secret_pair(pair) -> bool:
    """Whether a tuple is (name, value) with a secret name, a str or bytes."""
    if not _RULES or tuple.__len__(pair) != 2:
        return False
    name = tuple.__getitem__(pair, 0)
    if type(name) is bytes:
        return _secret_bytes_name(name)
    return issubclass(type(name), str) and _secret_name(name)


def _holds_secret_name(root) -> bool:
    """Whether plain data that msgpack's packer writes itself (dicts, lists,
    tuples and sets within one another) holds a dict with a secret str key or
    a secret (name, value) pair. Looks no further than the packer goes (its
    nesting limit, EXACT_MAX_BYTES elements, each of which takes a byte at
    least): past that the exact form does not stand anyway."""
    left = EXACT_MAX_BYTES
    stack = [(root, 0)]
    while stack:
        node, nest = stack.pop()
        tp = type(node)
        if tp is dict:
            pairs = list(_dict_items(node))
            left -= len(pairs)
            if left < 0:
                return False
            for k, v in pairs:
                if issubclass(type(k), str) and _secret_name(k):
                    return True
                if _plain_container(type(v)) and nest < _PACK_NEST_LIMIT:
                    stack.append((v, nest + 1))
        else:
            if tp is tuple and _secret_pair(node):
                return True
            items = list(node)
            left -= len(items)
            if left < 0:
                return False
            for v in items:
                if _plain_container(type(v)) and nest < _PACK_NEST_LIMIT:
                    stack.append((v, nest + 1))
    return False


def _plain_container(tp) -> bool:
    # (by identity: hashing a class could run its metaclass's __hash__)
    return tp is dict or tp is list or tp is tuple or tp is set or tp is frozenset


# C-level accessors, bound once. Called directly they bypass anything a
# subclass or metaclass defines.
_type_qualname = type.__dict__["__qualname__"].__get__
_type_module = type.__dict__["__module__"].__get__
_type_mro = type.__dict__["__mro__"].__get__
_type_dict = type.__dict__["__dict__"].__get__
_type_flags = type.__dict__["__flags__"].__get__
_IMMUTABLE_TYPE = 1 << 8  # Py_TPFLAGS_IMMUTABLETYPE
_GETSET = _types.GetSetDescriptorType
_MEMBER = _types.MemberDescriptorType
_module_dict = _types.ModuleType.__dict__["__dict__"].__get__
_function_qualname = _types.FunctionType.__dict__["__qualname__"].__get__
_function_module = _types.FunctionType.__dict__["__module__"].__get__
_method_func = _types.MethodType.__dict__["__func__"].__get__
_builtin_name = _types.BuiltinFunctionType.__dict__["__name__"].__get__
_exception_args = BaseException.__dict__["args"].__get__
_dict_get = dict.get
_dict_items = dict.items
_dict_len = dict.__len__

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


def _class_name(tp) -> str:
    """'module.QualName' of a class, read from the type object itself."""
    try:
        if type(tp) is type:
            # Plain metaclass: these attribute reads are the getters below.
            qual = tp.__qualname__
            mod = tp.__module__
        else:
            qual = _type_qualname(tp)
            try:
                mod = _type_module(tp)
            except AttributeError:
                mod = None
    except Exception:
        return "?"
    if type(qual) is not str:
        qual = "?"
    if type(mod) is str and mod:
        return mod + "." + qual
    return qual


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


class _State:
    """Bookkeeping of one capped walk: content budget and the containers on
    the current path (by id, for cycle detection)."""

    __slots__ = ("budget", "active")

    def __init__(self) -> None:
        self.budget = MAX_TOTAL_BYTES
        self.active: set = set()


# ---------------------------------------------------------------------------
# The capped walker: turns any value into a tree of exact builtin values
# (None, bool, int, float, str, bytes, list, dict with scalar keys) that the
# C encoder then writes.


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


def _same_mro(refs: tuple, mro: tuple) -> bool:
    if len(refs) != len(mro):
        return False
    for ref, cls in zip(refs, mro):
        if ref() is not cls:
            return False
    return True


def _descriptor(tp, index: int, name: str):
    # Re-read and re-checked at each use: a class attribute may have been
    # replaced since the class was first seen.
    descr = _type_dict(_type_mro(tp)[index]).get(name)
    kind = type(descr)
    return descr if kind is _GETSET or kind is _MEMBER else None


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


def _h_uuid(o, tp, depth, st):
    value = _uuid_int(o) if _uuid_int is not None else None
    if type(value) is not int or not 0 <= value < (1 << 128):
        return _h_object(o, tp, depth, st)
    st.budget -= 37
    h = "%032x" % value
    return "%s-%s-%s-%s-%s" % (h[:8], h[8:12], h[12:16], h[16:20], h[20:])


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


def _dict_descriptor_index(tp):
    """MRO index of the class holding the C descriptor that the interpreter
    made for the instance __dict__; None if the class hides it behind
    anything else (a property named __dict__, ...) or has none."""
    for index, cls in enumerate(_type_mro(tp)):
        descr = _type_dict(cls).get("__dict__", _MISSING)
        if descr is _MISSING:
            continue
        kind = type(descr)
        return index if kind is _GETSET or kind is _MEMBER else None
    return None


def _slot_locations(tp) -> tuple:
    found = []
    for index, cls in enumerate(_type_mro(tp)):
        cd = _type_dict(cls)
        if "__slots__" not in cd:
            continue
        for name, descr in cd.items():
            if type(descr) is not _MEMBER or type(name) is not str:
                continue
            if name != "__weakref__" and name != "__dict__":
                found.append((index, name))
    return tuple(found)


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
_h_bytes = _h_bytes_like(bytes)
_h_bytearray = _h_bytes_like(bytearray)
_h_complex = _h_repr(complex)
_h_range = _h_repr(range)

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


# ---------------------------------------------------------------------------
# Encoders. msgpack.Packer instances keep a buffer and are neither
# thread-safe nor re-entrant, so each call takes one from a pool (list
# pop/append are atomic) and returns it afterwards.


class _FastEncoder:
    __slots__ = ("packer", "used_default")

    def __init__(self) -> None:
        self.used_default = False
        self.packer = _msgpack.Packer(
            default=self._default,
            use_bin_type=True,
            strict_types=True,
            autoreset=True,
        )

    def _default(self, o):
        # Python code now runs in the middle of the C encoder: another thread
        # may change a container it is writing, so the result gets checked.
        self.used_default = True
        tp = type(o)
        if tp is tuple or tp is set or tp is frozenset:
            return list(o)
        return _walk(o, MAX_DEPTH, _State())


def _new_safe_packer():
    return _msgpack.Packer(
        use_bin_type=True,
        strict_types=True,
        autoreset=True,
        unicode_errors="backslashreplace",
    )


_FAST_POOL: list = []
_SAFE_POOL: list = []
_unpackb = _msgpack.unpackb
_FAILURE_BYTES = _new_safe_packer().pack("<unserializable>")


def _pack_tree(tree) -> bytes:
    try:
        packer = _SAFE_POOL.pop()
    except IndexError:
        packer = _new_safe_packer()
    try:
        return packer.pack(tree)
    finally:
        if len(_SAFE_POOL) < _POOL_MAX:
            _SAFE_POOL.append(packer)


def _failure(obj, exc) -> bytes:
    try:
        return _pack_tree(_failed_marker(type(obj), exc))
    except Exception:
        return _FAILURE_BYTES


def _encode_capped(obj) -> bytes:
    st = _State()
    try:
        tree = _walk(obj, MAX_DEPTH, st)
    except Exception as exc:
        tree = _failed_marker(type(obj), exc)
    return _pack_tree(tree)


def _no_duplicate_keys(pairs):
    table = dict(pairs)
    if len(table) != len(pairs):
        raise ValueError("duplicate map key")
    return table


def _decodes(data: bytes) -> bool:
    """Whether `data` reads back as one value whose maps have distinct,
    hashable keys (a subclass key such as an int subclass can encode like
    another key of the same map)."""
    try:
        _unpackb(data, strict_map_key=False, object_pairs_hook=_no_duplicate_keys)
    except Exception:
        return False
    return True


def _dump_general(obj) -> bytes:
    """`dump_msgpack` for any value: the C encoder with the walker as its
    fallback for what is not plain builtin data, its output checked, and the
    capped walker when that fails. The fast path below gives the same bytes
    for the values it takes and leaves every other value to this."""
    try:
        tp = type(obj)
        # Values certain to encode to more than EXACT_MAX_BYTES (at least a
        # byte per element) skip the exact attempt.
        if tp is dict or tp is list or tp is str or tp is bytes:
            if len(obj) > EXACT_MAX_BYTES:
                return _encode_capped(obj)
        if _RULES and _plain_container(tp) and _holds_secret_name(obj):
            return _encode_capped(obj)
        try:
            enc = _FAST_POOL.pop()
        except IndexError:
            enc = _FastEncoder()
        try:
            data = enc.packer.pack(obj)
        except Exception:
            data = None
        finally:
            used_default = enc.used_default
            enc.used_default = False
            if len(_FAST_POOL) < _POOL_MAX:
                _FAST_POOL.append(enc)
        if data is not None and len(data) <= EXACT_MAX_BYTES:
            # Without default no Python code ran during encoding and every
            # key was an exact builtin, so the result is sound; otherwise
            # check that it reads back cleanly.
            if not used_default or _decodes(data):
                return data
        return _encode_capped(obj)
    except Exception as exc:
        return _failure(obj, exc)


def _light(v):
    tp = type(v)
    if tp is int:
        if _INT_MIN <= v <= _INT_MAX:
            return v
        return _cut_text(_int_text(v), LIGHT_MAX_STR_CHARS)
    if tp is str:
        return v if len(v) <= LIGHT_MAX_STR_CHARS else _cut_text(v, LIGHT_MAX_STR_CHARS)
    if tp is float or tp is bool or v is None:
        return v
    return "<%s>" % _class_name(tp)


def _light_general(obj) -> bytes:
    """`dump_msgpack_lightweight_repr` for any value (see the fast path below)."""
    try:
        tp = type(obj)
        if tp is not dict and not (issubclass(tp, dict) and not issubclass(tp, _enum.Enum)):
            return _pack_tree(_light(obj))
        out: dict = {}
        st = None
        taken = 0
        n = _dict_len(obj)
        try:
            for k, v in _dict_items(obj):
                if taken >= MAX_ITEMS:
                    out[_unique("…", out)] = "+%d entries" % max(n - taken, 1)
                    break
                name = k
                if type(k) is not str or len(k) > MAX_STR_CHARS:
                    try:
                        k = _key(k, st or _State())
                    except Exception as exc:
                        k = _failed_marker(type(k), exc)
                if k in out:
                    k = _unique(k, out)
                out[k] = REDACTED if issubclass(type(name), str) and _secret_name(name) else _light(v)
                taken += 1
        except RuntimeError:  # changed by another thread while we read it
            out[_unique("…", out)] = "(changed during serialization)"
        return _pack_tree(out)
    except Exception as exc:
        return _failure(obj, exc)


# The entry points: the native encoder of sarv._speedups, which writes the very bytes
# of `_dump_general` and `_light_general` and leaves to them only the rare value it does
# not write itself. The functions above stay the reference of the format.
_LIMITS = (
    "MAX_DEPTH",
    "OBJECT_DEPTH",
    "MAX_ITEMS",
    "MAX_STR_CHARS",
    "MAX_BYTES",
    "MAX_INT_BITS",
    "MAX_TOTAL_BYTES",
    "EXACT_MAX_BYTES",
    "LIGHT_MAX_STR_CHARS",
)


def _check_limits(native: dict) -> None:
    # Both ways: a limit missing on either side is a mismatch too.
    ours = {name: globals()[name] for name in _LIMITS}
    if ours != native:
        raise ImportError("sarv._speedups was built with other limits: %r, not %r" % (native, ours))


try:
    from sarv import _speedups
except ImportError:  # pragma: no cover - a build without the extension
    _speedups = None
    dump_msgpack = _dump_general
    dump_msgpack_lightweight_repr = _light_general
else:
    _check_limits(_speedups.limits())
    _speedups.set_fallbacks(_dump_general, _light_general)
    dump_msgpack = _speedups.dump_msgpack
    dump_msgpack_lightweight_repr = _speedups.dump_msgpack_lightweight_repr
set_redaction(DEFAULT_REDACT)
