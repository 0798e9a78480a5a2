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
capped walker (`walker`), each on its own. Any other value (too big, nested beyond
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

# The package by role: `limits` (the caps, checked against the native encoder's),
# `redaction`, `classes` (facts read from type objects), `texts` (values written as
# one text), `walker` (the capped walker: containers, objects, map keys) and
# `encoders` (the Python bodies of the two entry points).
from sarv.serialize.encoders import _dump_general, _light_general
from sarv.serialize.limits import (
    EXACT_MAX_BYTES,
    LIGHT_MAX_STR_CHARS,
    MAX_BYTES,
    MAX_DEPTH,
    MAX_INT_BITS,
    MAX_ITEMS,
    MAX_STR_CHARS,
    MAX_TOTAL_BYTES,
    OBJECT_DEPTH,
    _speedups,
)
from sarv.serialize.redaction import (
    DEFAULT_REDACT,
    REDACTED,
    name_matches,
    redaction,
    redaction_rules,
    set_redaction,
)

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

# The entry points: the native encoder of sarv._speedups, which writes the very bytes
# of `_dump_general` and `_light_general` and leaves to them only the rare value it does
# not write itself. Those functions stay the reference of the format.
if _speedups is None:  # pragma: no cover - a build without the extension
    dump_msgpack = _dump_general
    dump_msgpack_lightweight_repr = _light_general
else:
    _speedups.set_fallbacks(_dump_general, _light_general)
    dump_msgpack = _speedups.dump_msgpack
    dump_msgpack_lightweight_repr = _speedups.dump_msgpack_lightweight_repr
set_redaction(DEFAULT_REDACT)
