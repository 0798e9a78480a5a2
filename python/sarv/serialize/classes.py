"""Facts about classes and functions read straight from the type objects, through
the interpreter's own C-level accessors: nothing a class, a metaclass or a
subclass defines ever runs."""

from __future__ import annotations

import types as _types

_MISSING = object()

# C-level accessors, bound once. Called directly they bypass anything a
# subclass or metaclass defines.
_type_qualname = type.__dict__["__qualname__"].__get__
_type_module = type.__dict__["__module__"].__get__
_type_mro = type.__dict__["__mro__"].__get__
_type_dict = type.__dict__["__dict__"].__get__
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
