"""Hostile input, generated: configurations, profiler objects and plugin descriptions of
random shapes and types, serialiser results of every kind, frames whose locals fight back,
and broken build metadata.

Whatever comes in either registers cleanly or is refused at registration with an ordinary
error (or PanicException for a broken installation); while profiling, nothing reaches the
profiled program but warnings on the logger "sarv", and every trace document that comes out
decodes as exactly one MessagePack object. Run with --hypothesis-show-statistics to see
how many inputs were tried and how they ended.
"""

import collections.abc
import contextlib
import logging
import sys
import textwrap
import threading
import types

import msgpack
import pytest
from hypothesis import HealthCheck, event, example, given, settings
from hypothesis import strategies as st

import sarv._sarv

try:  # the companion package's own serialiser, before any test replaces it
    from sarv.serialize import dump_msgpack as companion_dump
except ImportError:  # the companion package is not installed here
    companion_dump = None

TRACE_ID = "trc_01J9ZQ4XG7K2M3N4P5Q6R7S8T9"
VIEWS = "/home/u/project/app/views.py"
EXAMPLES = settings(
    max_examples=200,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow, HealthCheck.data_too_large],
)

# What a refused registration may raise: the conversion and lookup errors of the
# configuration and descriptions, or the hostile objects' own exceptions passed on.
REFUSALS = (TypeError, KeyError, ValueError, AttributeError, OverflowError)
PANICS = {
    'config.get("filters" should not raise.',
    'config.get("sqlite_busy_timeout" should not raise.',
    'config.get("threading" should not raise.',
    'config.get("lightweight_repr" should not raise.',
    "load_plugin_data should return a list",
    "a string is always a valid dict key",
}


# --- Objects that fight back -------------------------------------------------------------


class HostileError(Exception):
    pass


def _raise(*args, **kwargs):
    raise HostileError("hostile")


# The objects fight back only while armed (while the core handles them); otherwise they
# behave, so that generating, comparing and printing examples works.
ARMED = [False]


@contextlib.contextmanager
def armed():
    ARMED[0] = True
    try:
        yield
    finally:
        ARMED[0] = False


def fights(fallback):
    def method(self, *args, **kwargs):
        if ARMED[0]:
            raise HostileError(f"hostile {type(self).__name__}")
        return fallback(self, *args, **kwargs)

    return method


class RaisingRepr:
    __repr__ = __str__ = fights(object.__repr__)


class RaisingEq:
    __eq__ = __ne__ = fights(lambda self, other: NotImplemented)
    __hash__ = object.__hash__


class RaisingHash:
    __hash__ = fights(object.__hash__)


class RaisingBool:
    __bool__ = fights(lambda self: True)
    __index__ = __int__ = fights(lambda self: 0)


class RaisingLen:
    """A sequence whose length raises."""

    __len__ = fights(lambda self: 2)

    def __getitem__(self, i):
        if i < 2:
            return 0xC0
        raise IndexError(i)


class RaisingIter:
    __iter__ = fights(lambda self: iter([0xC0]))

    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i < 1:
            return 0xC0
        raise IndexError(i)


class RaisingItem:
    def __len__(self):
        return 3

    __getitem__ = fights(lambda self, i: (0xC0, 0xC0, 0xC0)[i])


class LyingLen:
    """Claims an enormous length; its items are a few nil bytes or texts."""

    def __init__(self, item=0xC0):
        self.item = item

    def __len__(self):
        return 1 << 40

    def __getitem__(self, i):
        if i < 3:
            return self.item
        raise IndexError(i)

    def __repr__(self):
        return f"LyingLen({self.item!r})"


class RaisingGetattr:
    __getattribute__ = fights(object.__getattribute__)


class RaisingClass:
    @property
    def __class__(self):
        if ARMED[0]:
            raise HostileError("__class__")
        return type(self)


class RaisingDict(dict):
    __getitem__ = fights(dict.__getitem__)
    __iter__ = fights(dict.__iter__)
    __len__ = fights(dict.__len__)
    keys = fights(dict.keys)
    items = fights(dict.items)
    values = fights(dict.values)
    get = fights(dict.get)


class RaisingMapping(collections.abc.Mapping):
    __getitem__ = fights(lambda self, key: {}[key])
    __iter__ = fights(lambda self: iter(()))
    __len__ = fights(lambda self: 0)


class HashCollider:
    """Equal in hash to a key the core looks up, and raising when compared."""

    def __init__(self, key):
        self.key = key

    def __hash__(self):
        return hash(self.key)

    __eq__ = fights(lambda self, other: NotImplemented)

    def __repr__(self):
        return f"HashCollider({self.key!r})"


class HostileStr(str):
    __str__ = fights(str.__str__)
    __repr__ = fights(str.__repr__)
    __eq__ = fights(str.__eq__)
    __ne__ = fights(str.__ne__)
    __hash__ = fights(str.__hash__)
    __len__ = fights(str.__len__)
    __iter__ = fights(str.__iter__)
    __getitem__ = fights(str.__getitem__)


class HostileInt(int):
    __index__ = fights(int.__index__)
    __int__ = fights(int.__int__)
    __repr__ = fights(int.__repr__)
    __eq__ = fights(int.__eq__)
    __hash__ = fights(int.__hash__)


class HugeText(str):
    """A megabyte of text that prints short."""

    def __repr__(self):
        return f"<text of {len(self)} characters>"


KEYS = [
    "filters",
    "include_frames",
    "ignore_frames",
    "threading",
    "lightweight_repr",
    "sqlite_busy_timeout",
    "co_names",
    "path_fragment",
    "call_type",
    "return_type",
    "subtype",
    "call",
    "process",
    "events",
    "build_context",
    "type",
    "__builtins__",
    "self",
    "cls",
]
SURROGATES = ["\ud800", "a\udcff", "\udfff\ud800x"]

hostile = st.one_of(
    st.builds(RaisingRepr),
    st.builds(RaisingEq),
    st.builds(RaisingHash),
    st.builds(RaisingBool),
    st.builds(RaisingLen),
    st.builds(RaisingIter),
    st.builds(RaisingItem),
    st.builds(LyingLen),
    st.builds(LyingLen, st.just("x")),
    st.builds(RaisingGetattr),
    st.builds(RaisingClass),
    st.builds(RaisingMapping),
    st.builds(RaisingDict, st.dictionaries(st.sampled_from(KEYS), st.text(max_size=3))),
    st.builds(HashCollider, st.sampled_from(KEYS)),
    st.builds(HostileStr, st.text(max_size=5)),
    st.builds(HostileInt, st.integers()),
)
scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.integers(min_value=2**63),
    st.integers(max_value=-(2**63)),
    st.floats(),
    st.text(max_size=12),
    st.binary(max_size=12),
    st.sampled_from(SURROGATES),
    st.builds(lambda: HugeText("h" * (1 << 20))),
)
keys = st.one_of(
    st.sampled_from(KEYS), st.text(max_size=6), st.integers(), st.builds(HashCollider, st.sampled_from(KEYS))
)
values = st.recursive(
    st.one_of(scalars, hostile),
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.tuples(inner, inner),
        st.frozensets(scalars, max_size=3),
        st.dictionaries(keys, inner, max_size=4),
        st.builds(RaisingDict, st.dictionaries(keys, inner, max_size=3)),
    ),
    max_leaves=8,
)


# --- Harness -----------------------------------------------------------------------------


def is_panic(error):
    kind = type(error)
    return (kind.__module__, kind.__qualname__) == ("pyo3_runtime", "PanicException")


def decode_one(document):
    """The document's one object; fails unless it decodes as exactly one."""
    unpacker = msgpack.Unpacker(strict_map_key=False)
    unpacker.feed(document)
    objects = list(unpacker)
    # Iteration stops quietly before an incomplete value: every byte must be used.
    assert len(objects) == 1 and unpacker.tell() == len(document), f"{len(objects)} objects in a document"
    return objects[0]


class Watch:
    """What reaches the outside while the hook runs: warnings on "sarv" (counted, not
    kept) and unraisable exceptions."""

    def __init__(self):
        self.warnings = 0
        self.unraisable = []


@contextlib.contextmanager
def watching():
    watch = Watch()

    class Counter(logging.Handler):
        def emit(self, record):
            assert record.msg.startswith("Unexpected exception in Rust.\n") and record.exc_info is not None
            watch.warnings += 1

    logger = logging.getLogger("sarv")
    handler = Counter(level=logging.WARNING)
    saved = logger.propagate, logger.level, sys.unraisablehook
    logger.addHandler(handler)
    logger.propagate = False
    logger.setLevel(logging.WARNING)
    sys.unraisablehook = lambda unraisable: watch.unraisable.append(unraisable.exc_value)
    try:
        with armed():
            yield watch
    finally:
        logger.removeHandler(handler)
        logger.propagate, logger.level, sys.unraisablehook = saved
        sarv._sarv.register_noop_profiler()
        threading.setprofile(None)
    # An internal fault of the core is the one thing that must never happen.
    faults = [e for e in watch.unraisable if "sarv: " in str(e) and "internal fault" in str(e)]
    assert not faults, faults


@contextlib.contextmanager
def patched(module, **attrs):
    missing = object()
    saved = {name: getattr(module, name, missing) for name in attrs}
    for name, value in attrs.items():
        setattr(module, name, value)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is missing:
                delattr(module, name)
            else:
                setattr(module, name, value)


def register(profiler):
    """True when registration went through; a refusal must be one of the expected ones."""
    try:
        sarv._sarv.register_profiler(profiler)
    except BaseException as error:  # PanicException derives from BaseException
        if is_panic(error):
            assert str(error) in PANICS
            event(f"refused: PanicException {error}")
        else:
            assert isinstance(error, REFUSALS + (HostileError,)), repr(error)
            event(f"refused: {type(error).__name__}")
        assert sys.getprofile() is None and not hasattr(profiler, "rust_profiler")
        return False
    event("registered")
    return True


PROGRAM = textwrap.dedent("""\
    def leaf(n):
        return n + 1

    def branch(n):
        return leaf(n) + leaf(n + 1)

    def test_case(n):
        return branch(n) * 2

    def get(n):
        return [test_case(i) for i in range(n)]

    def run():
        return sum(get(3)) + leaf(0)
""")
RESULT = 2 * sum(2 * i + 3 for i in range(3)) + 1


def program():
    namespace = {"__name__": "app.views"}
    exec(compile(PROGRAM, VIEWS, "exec"), namespace)
    return namespace


class Profiler:
    def __call__(self, *args):
        return None


# The test's own frames (the return from `register`, the hook's helpers) are left out where
# a test counts records and warnings.
NOT_HERE = {"filters": {"ignore_frames": [__file__]}}


def profiler_object(**attrs):
    obj = Profiler()
    values = {
        "config": NOT_HERE,
        "db_path": "/tmp/sarv-hostile.db",
        "one_trace_per_test": False,
        "trace_id": TRACE_ID,
        "source": "hostile",
    }
    values.update(attrs)
    for key, value in values.items():
        if value is not OMIT:
            setattr(obj, key, value)
    return obj


OMIT = object()


def run_and_check(profiler, ns, saved=()):
    """Runs the program (made before registering) under a registered profiler: nothing may
    reach it, and every document (built now, or saved at test boundaries) decodes."""
    try:
        result = ns["run"]()
    finally:
        sarv._sarv.register_noop_profiler()
        threading.setprofile(None)
    assert result == RESULT
    document = decode_one(profiler.rust_profiler.build_trace())
    for saved_document in saved:
        decode_one(saved_document)
    return document


# --- Configurations and profiler objects -------------------------------------------------


def configs():
    filters = st.dictionaries(
        st.one_of(st.sampled_from(["include_frames", "ignore_frames"]), keys),
        st.one_of(
            st.lists(
                st.one_of(
                    st.sampled_from(["app", "views", "", "lib/python"]),
                    st.text(max_size=6),
                    st.sampled_from(SURROGATES),
                    values,
                ),
                max_size=3,
            ),
            values,
        ),
        max_size=3,
    )
    entries = st.dictionaries(st.one_of(st.sampled_from(KEYS), keys), values, max_size=5)
    plain = st.builds(
        lambda e, f: dict(e, **({"filters": f} if f is not None else {})),
        entries,
        st.one_of(st.none(), filters, values),
    )
    return st.one_of(plain, plain, plain, st.builds(RaisingDict, plain), values)


def attribute(valid):
    return st.one_of(st.just(valid), st.just(valid), st.just(valid), st.just(OMIT), values)


@EXAMPLES
@given(
    config=configs(),
    db_path=attribute("/tmp/sarv-hostile.db"),
    one_trace_per_test=attribute(False),
    trace_id=attribute(TRACE_ID),
    source=attribute("hostile"),
)
def test_hostile_configurations_and_profiler_objects(recording, config, db_path, one_trace_per_test, trace_id, source):
    profiler = profiler_object(
        config=config, db_path=db_path, one_trace_per_test=one_trace_per_test, trace_id=trace_id, source=source
    )
    ns = program()
    with watching() as watch:
        if register(profiler):
            doc = run_and_check(profiler, ns)
            event(f"recorded {'some' if doc['frames_of_interest'] else 'no'} frames")
    # The hostile objects' own methods that the core calls once its hook is in place are
    # profiled too, and encoding their locals may fail: reported, never raised.
    event(f"warnings: {'some' if watch.warnings else 'none'}")


# --- Plugin descriptions -----------------------------------------------------------------


def callables():
    """Plugin callables that return anything, or raise."""
    mappings = st.one_of(
        st.dictionaries(st.one_of(st.sampled_from(["type", "subtype", "frame_id", "extra"]), keys), values, max_size=3),
        st.fixed_dictionaries({"type": st.one_of(st.sampled_from(["start_test", "end_test", "frame"]), values)}),
        st.builds(RaisingMapping),
        st.builds(RaisingDict, st.dictionaries(keys, values, max_size=2)),
    )
    results = st.one_of(st.booleans(), st.booleans(), mappings, mappings, values)
    return st.one_of(
        st.builds(lambda r: lambda frame, event, arg, context: r, results),
        st.just(_raise),
        st.none(),
        values,
    )


def descriptions():
    """Lists of plugin descriptions: sound ones whose callables misbehave while profiling,
    broken ones of any shape, and things that are no list at all."""
    names = st.one_of(st.sampled_from(["leaf", "branch", "test_case", "get", "run"]), st.text(max_size=4))
    broken = st.fixed_dictionaries(
        {},
        optional={
            "co_names": st.one_of(st.lists(names, max_size=3), names, values),
            "path_fragment": st.one_of(st.sampled_from(["", "app", "views.py", "nowhere"]), values),
            "call_type": st.one_of(st.sampled_from(["start_test", "end_test", "plugin_call"]), values),
            "return_type": st.one_of(st.sampled_from(["end_test", "start_test", "plugin_return"]), values),
            "subtype": st.one_of(st.text(max_size=4), values),
            "call": callables(),
            "process": callables(),
            "events": st.one_of(st.lists(st.sampled_from(["call", "return", "x"]), max_size=2), values),
            "build_context": st.one_of(st.none(), st.just(_raise), st.builds(lambda r: lambda config: r, values)),
        },
    )
    sound = st.fixed_dictionaries(
        {
            "co_names": st.lists(names, min_size=1, max_size=3),
            "path_fragment": st.sampled_from(["", "app", "views.py", "nowhere"]),
            "call_type": st.sampled_from(["start_test", "plugin_call", "end_test"]),
            "return_type": st.sampled_from(["end_test", "plugin_return", "start_test"]),
        },
        optional={
            "subtype": st.text(max_size=4),
            "call": callables(),
            "process": callables(),
            "events": st.lists(st.sampled_from(["call", "return", "x"]), max_size=2),
            "build_context": st.one_of(
                st.none(),
                st.builds(lambda d: lambda config: d, st.dictionaries(st.text(max_size=3), values, max_size=2)),
            ),
        },
    )
    mixed = st.one_of(sound, sound, broken, st.builds(RaisingDict, broken), values)
    return st.one_of(st.lists(sound, max_size=4), st.lists(sound, max_size=4), st.lists(mixed, max_size=4), values)


@EXAMPLES
@given(
    plugin_data=descriptions(), one_trace_per_test=st.booleans(), failing_save=st.booleans(), lightweight=st.booleans()
)
def test_hostile_plugin_descriptions(recording, plugin_data, one_trace_per_test, failing_save, lightweight):
    saved = []

    def save(db_path, trace_id, *, timeout, msgpack):
        saved.append(msgpack)
        if failing_save:
            raise HostileError("save")

    profiler = profiler_object(
        config={**NOT_HERE, "lightweight_repr": lightweight}, one_trace_per_test=one_trace_per_test
    )
    ns = program()
    with (
        watching() as watch,
        patched(recording.companion.plugins, load_plugin_data=lambda config: plugin_data),
        patched(recording.companion.db, save_trace_in_sqlite=save),
    ):
        if register(profiler):
            doc = run_and_check(profiler, ns, saved)
            kinds = {r["type"] for r in doc["frames_of_interest"]} - {"frame"}
            event("plugin records: " + ("yes" if kinds else "no") + (", saved" if saved else ""))
    event(f"warnings: {'some' if watch.warnings else 'none'}")


# --- Serialiser results ------------------------------------------------------------------


def msgpack_bytes():
    """Bytes that are one value, several, part of one, or noise."""
    packed = st.recursive(
        st.one_of(
            st.none(),
            st.booleans(),
            st.integers(-(2**63), 2**64 - 1),
            st.floats(),
            st.text(max_size=8),
            st.binary(max_size=8),
        ),
        lambda inner: st.one_of(st.lists(inner, max_size=3), st.dictionaries(st.text(max_size=4), inner, max_size=3)),
        max_leaves=6,
    ).map(lambda v: msgpack.packb(v, use_bin_type=True))
    tricky = st.sampled_from(
        [
            b"",
            b"\xc1",
            b"\x91",
            b"\x92\x01",
            b"\x01\x02",
            b"\xa2\xff\xfe",
            b"\xa3\xed\xa0\x80",  # bad UTF-8
            b"\x81\x91\x01\x02",
            b"\x81\x80\x01",  # container as map key
            b"\xd6\xff\x00\x00\x00\x01",
            b"\xd7\xff" + b"\xff" * 8,
            b"\xc7\x03\xff\x00\x00\x00",  # timestamps
            b"\xd4\x05\x00",
            b"\xdd\xff\xff\xff\xff",
            b"\xdb\xff\xff\xff\xff",
            b"\x91" * 1200 + b"\xc0",
            b"\x91" * 500 + b"\xc0",
            b"\xca\x00\x00\x00\x00",
            b"\xcf" + b"\x00" * 7,
        ]
    )
    return st.one_of(
        packed,
        packed,
        tricky,
        st.builds(lambda a, b: a + b, packed, packed),
        st.builds(lambda a, n: a[:n], packed, st.integers(0, 8)),
        st.binary(max_size=16),
    )


def results():
    return st.one_of(
        msgpack_bytes(),
        msgpack_bytes().map(bytearray),
        msgpack_bytes().map(lambda b: memoryview(b)),
        msgpack_bytes().map(list),
        msgpack_bytes().map(tuple),
        st.lists(st.one_of(st.integers(-300, 300), st.booleans()), max_size=6),
        st.lists(st.one_of(st.integers(0, 255), st.floats(), st.text(max_size=1), st.none(), hostile), max_size=3),
        msgpack_bytes().map(lambda b: b.decode("latin-1")),  # a str: refused
        values,
    )


def accepted_bytes(result):
    """The bytes the core should splice into a record, or None when the result must be
    refused (and the event reported)."""
    # (by type(), as the core: isinstance would ask a hostile object its __class__)
    kind = type(result)
    if issubclass(kind, str):
        return None
    if issubclass(kind, (bytes, bytearray)):
        data = bytes(result)
    else:
        if issubclass(kind, dict) or not hasattr(kind, "__getitem__"):
            return None
        try:
            items = list(iter(result))
        except Exception:
            return None
        # Ints by their value: no method of a subclass runs (type(), not __class__; int.__index__ is int's).
        if not all(issubclass(type(i), int) and 0 <= int.__index__(i) <= 255 for i in items):
            return None
        data = bytes(int.__index__(i) for i in items)
    try:
        msgpack.unpackb(data, strict_map_key=False)  # exactly one value, nothing left over
    except Exception:
        return None
    return data if _nesting(data) <= 1000 else None


def _nesting(data):
    """Deepest container nesting of a MessagePack value (only for the long runs of 0x91
    used as input here; other inputs are shallow)."""
    depth = 0
    while depth < len(data) and data[depth] == 0x91:
        depth += 1
    return depth


@EXAMPLES
@given(result=results(), lightweight=st.booleans())
@example(result=[0xD6, 0x80, 0, 0, 0, 0], lightweight=False)  # an extension of a reserved type
@example(result=[HostileInt(0)], lightweight=False)  # an int subclass is read by its value
@example(result=[RaisingClass()], lightweight=False)  # refused without asking it its class
@example(result=RaisingClass(), lightweight=False)
@example(result=RaisingGetattr(), lightweight=False)
def test_hostile_serialiser_results(recording, result, lightweight):
    calls = []

    def serialiser(obj):
        calls.append(obj)
        return result

    with armed():
        accepted = accepted_bytes(result)
    event("accepted" if accepted is not None else "refused")
    name = "dump_msgpack_lightweight_repr" if lightweight else "dump_msgpack"
    profiler = profiler_object(config={**NOT_HERE, "lightweight_repr": lightweight})
    ns = program()
    with watching() as watch, patched(recording.companion.serialize, **{name: serialiser}):
        assert register(profiler)
        try:
            value = ns["leaf"](41)
        finally:
            sarv._sarv.register_noop_profiler()
        assert value == 42
        doc = decode_one(profiler.rust_profiler.build_trace())
    records = doc["frames_of_interest"]
    if accepted is None:
        # Refused at the argument, the first value encoded: once per event, reported once.
        assert len(calls) == 2 and records == [] and watch.warnings == 2
    else:
        expected = msgpack.unpackb(accepted, strict_map_key=False)
        assert len(calls) == 4  # argument and locals of the call and of the return
        # Compared encoded: a NaN read back is not equal to itself.
        assert msgpack.packb([(r["event"], r["arg"], r["locals"]) for r in records]) == msgpack.packb(
            [("call", expected, expected), ("return", expected, expected)]
        )
        assert watch.warnings == 0


# --- Locals that fight back --------------------------------------------------------------

LOCALS = textwrap.dedent("""\
    def holds(things):
        first = things[0] if things else None
        return len(things)

    def returns(thing):
        return thing

    class Prepared(type):
        @classmethod
        def __prepare__(mcs, name, bases):
            return NAMESPACE()

        def __new__(mcs, name, bases, namespace):
            # A plain dict of the names, read without the namespace's own methods.
            names = namespace.data if hasattr(namespace, "data") else dict(dict.items(namespace))
            return super().__new__(mcs, name, bases, names)

    def make_class():
        class Body(metaclass=Prepared):
            x = 1
        return Body
""")


class QuietNamespace(dict):
    """A class-body namespace whose Python-level reading methods raise; the interpreter
    reads and writes it through the dict's own slots."""

    keys = fights(dict.keys)
    items = fights(dict.items)
    values = fights(dict.values)
    get = fights(dict.get)
    __iter__ = fights(dict.__iter__)
    __len__ = fights(dict.__len__)
    __repr__ = fights(dict.__repr__)


class MappingNamespace(collections.abc.MutableMapping):
    """A class-body namespace that is no dict: names can be stored and read, but it cannot
    be listed."""

    def __init__(self):
        self.data = {}

    def __getitem__(self, key):
        return self.data[key]

    def __setitem__(self, key, value):
        self.data[key] = value

    def __delitem__(self, key):
        del self.data[key]

    __iter__ = fights(lambda self: iter(self.data))
    __len__ = fights(lambda self: len(self.data))
    keys = fights(lambda self: self.data.keys())
    items = fights(lambda self: self.data.items())


NAMESPACES = {"dict": dict, "quiet dict": QuietNamespace, "mapping": MappingNamespace}
EVENTS = [
    ("holds", "call"),
    ("holds", "return"),
    ("returns", "call"),
    ("returns", "return"),
    ("make_class", "call"),
    ("__prepare__", "call"),
    ("__prepare__", "return"),
    ("Body", "call"),
    ("Body", "return"),
    ("__new__", "call"),
    ("__new__", "return"),
    ("make_class", "return"),
    ("<module>", "call"),
    ("returns", "call"),
    ("returns", "return"),
    ("<module>", "return"),
]


@pytest.mark.parametrize("serializer", ["companion", "repr"])
@EXAMPLES
@given(things=st.lists(st.one_of(hostile, values), max_size=4), namespace=st.sampled_from(sorted(NAMESPACES)))
def test_hostile_locals(recording, serializer, things, namespace):
    def by_repr(obj):
        return msgpack.packb(obj, default=repr)

    if serializer == "companion" and companion_dump is None:
        pytest.skip("sarv.serialize is not available")
    dump = companion_dump if serializer == "companion" else by_repr
    ns = {"__name__": "app.models", "NAMESPACE": NAMESPACES[namespace]}
    exec(compile(LOCALS, "/home/u/project/app/models.py", "exec"), ns)
    # Module-level code whose globals hold, ahead of "__name__", a key that raises when
    # compared with it: looking the module's name up there fails.
    module_code = compile("returns(1)\n", "/home/u/project/app/script.py", "exec")
    module_globals = {HashCollider("__name__"): 1}
    module_globals.update(ns)
    # Run as a function made here, unarmed: exec itself reads the globals' "__name__" since
    # 3.13 (for the function it makes), which would fail in the program before any event.
    # Called, module code runs with its globals as locals, as under exec.
    run_module = types.FunctionType(module_code, module_globals)
    profiler = profiler_object()
    with watching() as watch, patched(recording.companion.serialize, dump_msgpack=dump):
        assert register(profiler)
        try:
            outcome = ns["holds"](things), ns["returns"](things), ns["make_class"]().x
            run_module()
        finally:
            sarv._sarv.register_noop_profiler()
        assert outcome[0] == len(things) and outcome[1] is things and outcome[2] == 1
        doc = decode_one(profiler.rust_profiler.build_trace())
    recorded = [(r["co_name"], r["event"]) for r in doc["frames_of_interest"]]
    # Each event is recorded, or reported once.
    assert len(recorded) + watch.warnings == len(EVENTS)
    assert all(e in EVENTS for e in recorded)
    if serializer == "companion":
        # The companion's serialiser runs none of the objects' code: only the module frame,
        # whose name cannot be looked up, and a class body that cannot be listed are lost.
        lost = {"<module>"} | ({"Body"} if namespace == "mapping" else set())
        assert recorded == [e for e in EVENTS if e[0] not in lost]
    event(f"{serializer}: {len(recorded)} of {len(EVENTS)} events recorded")


# --- Build metadata ----------------------------------------------------------------------


@settings(max_examples=100, deadline=None, database=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    argv=st.one_of(
        st.lists(st.text(max_size=8), max_size=3),
        st.lists(st.text(max_size=8), max_size=3),
        st.lists(st.one_of(st.text(max_size=8), st.sampled_from(SURROGATES), values), max_size=3),
        values,
    ),
    version=st.one_of(
        st.just("1.0"), st.just("1.0"), st.just("1.0"), st.builds(HostileStr, st.text(max_size=3)), values
    ),
    sha=st.one_of(st.none(), st.just("abc"), st.none(), st.just("abc"), values),
)
def test_hostile_build_metadata(recording, argv, version, sha):
    """A build that cannot read its metadata fails with an ordinary error and keeps every
    record for the next build."""
    profiler = profiler_object()
    ns = program()
    with watching():
        assert register(profiler)
        try:
            ns["leaf"](1)
        finally:
            sarv._sarv.register_noop_profiler()
    native = profiler.rust_profiler
    with (
        patched(sys, argv=argv),
        patched(recording.companion.version, __version__=version),
        patched(recording.companion.git, COMMIT_SHA=sha),
    ):
        try:
            with armed():
                document = native.build_trace()
        except (TypeError, ValueError, HostileError) as error:
            event(f"refused: {type(error).__name__}")
            document = None
        else:
            event("built")
            doc = decode_one(document)
            if type(argv) is list and all(type(a) is str for a in argv):
                assert doc["command_line_args"] == argv
            if sha is None or type(sha) is str:
                assert doc["current_commit_sha"] == sha
    again = decode_one(native.build_trace())
    assert len(again["frames_of_interest"]) == (2 if document is None else 0)
