"""The Python bodies of `dump_msgpack` and `dump_msgpack_lightweight_repr`: msgpack's
C packer for plain data, the capped walker for the rest, and the checks that keep
the result one valid value. The native encoder writes the very same bytes and
leaves to these only the rare value it does not write itself."""

from __future__ import annotations

import enum as _enum

import msgpack as _msgpack

from sarv.serialize.classes import _class_name, _dict_items, _dict_len
from sarv.serialize.limits import (
    _INT_MAX,
    _INT_MIN,
    EXACT_MAX_BYTES,
    LIGHT_MAX_STR_CHARS,
    MAX_DEPTH,
    MAX_ITEMS,
    MAX_STR_CHARS,
)
from sarv.serialize import redaction as _redaction
from sarv.serialize.redaction import REDACTED, _holds_secret_name, _plain_container, _secret_name
from sarv.serialize.texts import _cut_text, _failed_marker, _int_text
from sarv.serialize.walker import _State, _key, _unique, _walk

_POOL_MAX = 32


# msgpack.Packer instances keep a buffer and are neither
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
    capped walker when that fails. The native encoder gives the same bytes
    for the values it takes and leaves every other value to this."""
    try:
        tp = type(obj)
        # Values certain to encode to more than EXACT_MAX_BYTES (at least a
        # byte per element) skip the exact attempt.
        if tp is dict or tp is list or tp is str or tp is bytes:
            if len(obj) > EXACT_MAX_BYTES:
                return _encode_capped(obj)
        if _redaction._RULES and _plain_container(tp) and _holds_secret_name(obj):
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
    """`dump_msgpack_lightweight_repr` for any value (see `_dump_general`)."""
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
