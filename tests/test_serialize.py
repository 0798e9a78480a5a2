"""sarv.serialize: one valid MessagePack value for anything, without running user code."""

import datetime
import decimal
import enum
import math
import pathlib
import sys
import threading
import uuid

import msgpack
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from sarv import serialize
from sarv.serialize import encoders
from sarv.serialize.classes import _class_name
from sarv.serialize import dump_msgpack, dump_msgpack_lightweight_repr


def decode_one(data):
    """The single value in `data`; fails on trailing bytes or a cut value."""
    assert type(data) is bytes
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False)
    unpacker.feed(data)
    values = list(unpacker)
    assert len(values) == 1, values
    assert unpacker.tell() == len(data)
    return values[0]


def enc(value):
    return decode_one(dump_msgpack(value))


# ----------------------------------------------------------------- builtins


@pytest.mark.parametrize(
    "value",
    [
        None,
        True,
        False,
        0,
        -1,
        127,
        -33,
        2**64 - 1,
        -(2**63),
        1.5,
        -0.0,
        math.inf,
        "",
        "héllo ✓",
        b"",
        b"\x00\xff",
        [],
        [1, [2, [3]]],
        {},
        {"a": {"b": [1, 2.5, None]}},
        {1: "int key", 2.5: "float key", None: "nil key", b"k": "bin key", True: "bool key"},  # noqa: F601
    ],
)
def test_builtin_values_round_trip(value):
    assert enc(value) == value


def test_other_builtin_containers_become_arrays_and_bin():
    assert enc((1, "a", (2,))) == [1, "a", [2]]
    assert sorted(enc({3, 1, 2})) == [1, 2, 3]
    assert sorted(enc(frozenset({"x", "y"}))) == ["x", "y"]
    assert enc(bytearray(b"ab")) == b"ab"
    assert enc(memoryview(b"cd")) == b"cd"
    assert math.isnan(enc(math.nan))


def test_ints_beyond_64_bits_are_decimal_text():
    assert enc(2**64) == "18446744073709551616"
    assert enc(-(2**63) - 1) == "-9223372036854775809"
    assert enc({"n": 2**100}) == {"n": str(2**100)}
    assert enc(2**5000) == "<int 5001 bits>"


def test_standard_value_types_are_text():
    utc = datetime.timezone.utc
    values = {
        "dt": datetime.datetime(2024, 5, 6, 7, 8, 9, 10),
        "aware": datetime.datetime(2024, 5, 6, 7, 8, tzinfo=utc),
        "date": datetime.date(2024, 5, 6),
        "time": datetime.time(7, 8, 9),
        "delta": datetime.timedelta(days=1, hours=2),
        "dec": decimal.Decimal("3.14"),
        "uuid": uuid.UUID(int=255),
        "path": pathlib.PurePosixPath("/a/b"),
        "cplx": 1 + 2j,
        "range": range(3),
    }
    assert enc(values) == {
        "dt": "2024-05-06T07:08:09.000010",
        "aware": "2024-05-06T07:08:00+00:00",
        "date": "2024-05-06",
        "time": "07:08:09",
        "delta": "1 day, 2:00:00",
        "dec": "3.14",
        "uuid": "00000000-0000-0000-0000-0000000000ff",
        "path": "/a/b",
        "cplx": "(1+2j)",
        "range": "range(0, 3)",
    }


class Color(enum.Enum):
    RED = 1


class Level(enum.IntEnum):
    HIGH = 3


class Perm(enum.IntFlag):
    R = 4
    W = 2


def test_enum_members_are_text_even_when_int_or_str_subclasses():
    assert enc([Color.RED, Level.HIGH]) == ["Color.RED", "Level.HIGH"]
    assert enc({Level.HIGH: 1}) == {"Level.HIGH": 1}
    assert enc(Perm.R | Perm.W) in ("Perm.R|W", "Perm(6)")
    if sys.version_info >= (3, 11):
        Mode = enum.StrEnum("Mode", {"FAST": "fast"})
        assert enc(Mode.FAST) == "Mode.FAST"


def test_custom_tzinfo_is_not_asked_for_its_offset():
    calls = []

    class Zone(datetime.tzinfo):
        def utcoffset(self, dt):
            calls.append("utcoffset")
            return datetime.timedelta(hours=1)

        def tzname(self, dt):
            calls.append("tzname")
            return "Z1"

    text = enc(datetime.datetime(2024, 1, 2, 3, 4, 5, tzinfo=Zone()))
    assert text == "2024-01-02T03:04:05[tz: %s]" % _class_name(Zone)
    assert enc(datetime.time(1, 2, tzinfo=Zone())).startswith("01:02:00[tz: ")
    assert calls == []


def test_functions_classes_modules_are_short_texts():
    assert enc([len, decode_one, Color, math]) == [
        "<built-in function len>",
        "<function test_serialize.decode_one>",
        "<class test_serialize.Color>",
        "<module math>",
    ]
    assert enc(Zoo().feed) == "<bound method test_serialize.Zoo.feed>"


class Zoo:
    def __init__(self):
        self.animals = ["cat"]
        self.keeper = None

    def feed(self):
        pass


def test_objects_are_class_and_attributes():
    assert enc(Zoo()) == {"__class__": "test_serialize.Zoo", "animals": ["cat"], "keeper": None}
    err = enc(KeyError("k", 2))
    assert err == {"__class__": "builtins.KeyError", "args": ["k", 2]}
    assert enc(object()) == {"__class__": "builtins.object"}


# ---------------------------------------------------------- no user code runs


CALLS = []


class Hostile:
    """Every method the encoder must not call records itself and raises."""

    def _trap(name):
        def method(self, *args, **kwargs):
            CALLS.append(name)
            raise RuntimeError("called " + name)

        method.__name__ = name
        return method

    for _name in (
        "__iter__",
        "__len__",
        "__repr__",
        "__str__",
        "__eq__",
        "__hash__",
        "__getattr__",
        "__getitem__",
        "keys",
        "items",
        "values",
        "__reversed__",
        "__contains__",
        "__int__",
        "__float__",
        "__index__",
        "__bytes__",
        "__format__",
        "__reduce_ex__",
        "__getstate__",
        "__fspath__",
    ):
        locals()[_name] = _trap(_name)
    del _name, _trap

    def __getattribute__(self, name):
        CALLS.append("__getattribute__ " + name)
        raise RuntimeError("attribute read")


class HDict(Hostile, dict):
    pass


class HList(Hostile, list):
    pass


class HTuple(Hostile, tuple):
    pass


class HSet(Hostile, set):
    pass


class HStr(Hostile, str):
    pass


class HInt(Hostile, int):
    pass


class HFloat(Hostile, float):
    pass


class HBytes(Hostile, bytes):
    pass


class HObject(Hostile):
    def __init__(self):
        object.__setattr__(self, "x", 1)


@pytest.fixture
def calls():
    CALLS.clear()
    yield CALLS
    CALLS.clear()


@pytest.mark.parametrize("force_capped", [False, True], ids=["exact", "capped"])
def test_builtin_subclasses_are_read_as_their_base_without_their_methods(calls, force_capped):
    value = {
        "dict": HDict(a=1),
        "list": HList([1, 2]),
        "tuple": HTuple((3, 4)),
        "set": HSet({5}),
        "str": HStr("text"),
        "int": HInt(7),
        "big": HInt(2**70),
        "float": HFloat(0.5),
        "bytes": HBytes(b"raw"),
        "object": HObject(),
    }
    if force_capped:  # a long string sends the whole value through the capped walker
        value["long"] = "x" * (serialize.EXACT_MAX_BYTES + 1)
    calls.clear()
    out = enc(value)
    assert calls == []
    out.pop("long", None)
    assert out == {
        "dict": {"a": 1},
        "list": [1, 2],
        "tuple": [3, 4],
        "set": [5],
        "str": "text",
        "int": 7,
        "big": str(2**70),
        "float": 0.5,
        "bytes": b"raw",
        "object": {"__class__": "test_serialize.HObject", "x": 1},
    }


class RecStr(str):
    """A key that may be hashed while the dict is built, and records it."""

    def __hash__(self):
        CALLS.append("hash")
        return str.__hash__(self)

    def __eq__(self, other):
        CALLS.append("eq")
        return False

    def __str__(self):
        CALLS.append("str")
        return "wrong"


class RecInt(int):
    def __hash__(self):
        CALLS.append("hash")
        return int.__hash__(self)

    def __eq__(self, other):
        CALLS.append("eq")
        return False


def test_hostile_keys_are_neither_hashed_nor_compared(calls):
    class Key:
        def __hash__(self):
            CALLS.append("hash")
            return 1

        def __eq__(self, other):
            CALLS.append("eq")
            return False

    a, b = Key(), Key()
    value = {a: 1, b: 2, (1, "t"): 3, RecStr("s"): 4, RecInt(5): 5}
    calls.clear()
    out = enc(value)
    assert calls == []
    assert list(out.values()) == [1, 2, 3, 4, 5]
    keys = list(out)
    assert keys[0] == "<%s object at %#x>" % (_class_name(Key), id(a))
    assert keys[1] == "<%s object at %#x>" % (_class_name(Key), id(b))
    assert keys[2:] == ["(1, 't')", "s", 5]


def test_a_hidden_instance_dict_is_not_read(calls):
    side_effects = []

    class Sneaky:
        @property
        def __dict__(self):
            side_effects.append("read")
            raise RuntimeError("no")

        def __init__(self):
            self.secret = 1

    class Masquerade:
        @property
        def __class__(self):
            side_effects.append("class")
            return dict

    assert enc(Sneaky()) == {"__class__": _class_name(Sneaky)}
    assert enc(Masquerade())["__class__"].endswith("Masquerade")
    assert side_effects == []


def test_slots_are_read_without_descriptors():
    class Point:
        __slots__ = ("x", "y", "__weakref__")

        def __init__(self):
            self.x = 1  # y stays unset

    class Point3(Point):
        __slots__ = ("z",)

        def __init__(self):
            super().__init__()
            self.z = [3]

    class WithDict(Point):
        def __init__(self):
            super().__init__()
            self.label = "p"

    name = _class_name
    assert enc(Point()) == {"__class__": name(Point), "x": 1}
    assert enc(Point3()) == {"__class__": name(Point3), "z": [3], "x": 1}
    assert enc(WithDict()) == {"__class__": name(WithDict), "label": "p", "x": 1}


def test_encoding_keeps_no_class_alive():
    import gc
    import weakref

    def make():
        class Temporary:
            def __init__(self):
                self.a = 1

        return Temporary

    cls = make()
    assert enc(cls())["a"] == 1
    ref = weakref.ref(cls)
    del cls
    gc.collect()
    assert ref() is None


# ------------------------------------------------------------ caps, cycles


def test_cycles_are_cut():
    items = [1]
    items.append(items)
    table = {"k": 1}
    table["self"] = table
    node = Zoo()
    node.keeper = node
    assert enc(items) == [1, "<cycle builtins.list>"]
    assert enc(table) == {"k": 1, "self": "<cycle builtins.dict>"}
    assert enc(node)["keeper"] == "<cycle test_serialize.Zoo>"
    both = enc({"items": items, "again": items})  # shared, not cyclic: written twice
    assert both["items"] == both["again"]


def test_long_strings_bytes_and_containers_are_cut_with_markers():
    n, big = serialize.MAX_STR_CHARS, serialize.EXACT_MAX_BYTES + 5
    assert enc("a" * big) == "a" * n + "…(+%d chars)" % (big - n)
    m = serialize.MAX_BYTES
    assert enc([b"b" * big]) == [b"b" * m + ("…(+%d bytes)" % (big - m)).encode()]
    items = enc(list(range(20000)))
    assert items[: serialize.MAX_ITEMS] == list(range(serialize.MAX_ITEMS))
    assert items[serialize.MAX_ITEMS :] == ["…(+%d items)" % (20000 - serialize.MAX_ITEMS)]
    table = enc({"k%d" % i: i for i in range(20000)})
    assert len(table) == serialize.MAX_ITEMS + 1
    assert table["…"] == "+%d entries" % (20000 - serialize.MAX_ITEMS)


def test_small_builtin_values_are_never_cut():
    value = {"s": "x" * (serialize.MAX_STR_CHARS * 2), "l": list(range(serialize.MAX_ITEMS * 5))}
    assert enc(value) == value


def test_nesting_is_cut_at_the_depth_limits():
    deep = []
    for _ in range(100):
        deep = [deep]
    # Whole, as long as the value is small; capped once anything makes it big.
    assert enc(deep) == deep
    out, depth = enc({"deep": deep, "big": "x" * serialize.EXACT_MAX_BYTES})["deep"], 1
    while isinstance(out, list):
        out, depth = out[0], depth + 1
    assert out == "<builtins.list …>"
    assert depth == serialize.MAX_DEPTH

    class Node:
        def __init__(self, child):
            self.child = child

    chain = None
    for _ in range(10):
        chain = Node(chain)
    out, depth = enc({"head": chain}), 0
    out = out["head"]
    while isinstance(out, dict):
        out, depth = out["child"], depth + 1
    assert out == "<%s …>" % _class_name(Node)
    assert depth == serialize.OBJECT_DEPTH


def test_total_size_is_bounded():
    value = [["y" * 900 for _ in range(90)] for _ in range(90)]
    data = dump_msgpack(value)
    decode_one(data)
    assert len(data) < serialize.MAX_TOTAL_BYTES + 8 * 1024
    assert decode_one(data)[-1].startswith("…(+")


def test_text_that_is_not_valid_unicode_is_escaped():
    assert enc("a\udc80b") == "a\\udc80b"
    assert enc({"k\ud800": 1}) == {"k\\ud800": 1}


# -------------------------------------------------- keys, failures, threads


def test_every_key_decodes_with_the_stock_reader():
    value = {(1, "a"): 1, frozenset({2}): 2, Zoo: 3, (Color.RED, (None, b"x")): 4, 2**80: 5}
    out = enc(value)
    assert out == {
        "(1, 'a')": 1,
        "frozenset({2})": 2,
        "<class test_serialize.Zoo>": 3,
        "(Color.RED, (None, b'x'))": 4,
        str(2**80): 5,
    }


def test_keys_that_collide_after_conversion_are_kept_apart():
    out = enc({1: "int", RecInt(1): "subclass", "1": "text"})
    assert out == {1: "int", "1": "subclass", "1~2": "text"}


def test_encoder_failure_gives_a_marker_not_an_exception(monkeypatch):
    def broken(*args):
        raise MemoryError

    # The Python walker, which writes what the native encoder leaves to it.
    general = serialize._dump_general
    monkeypatch.setattr(encoders, "_walk", broken)
    monkeypatch.setattr(encoders, "_pack_tree", broken)
    assert decode_one(general(Zoo())) == "<unserializable>"
    monkeypatch.undo()

    monkeypatch.setattr(encoders, "_walk", broken)
    assert decode_one(general(Zoo())) == "<unserializable test_serialize.Zoo: builtins.MemoryError>"


def test_interrupts_are_not_swallowed(monkeypatch):
    def interrupted(*args):
        raise KeyboardInterrupt

    monkeypatch.setattr(encoders, "_walk", interrupted)
    with pytest.raises(KeyboardInterrupt):
        serialize._dump_general(Zoo())


def test_a_container_changed_during_encoding_still_gives_one_valid_value(monkeypatch):
    # Python code (the walker) runs inside the C encoder; if another thread
    # grows a list meanwhile, that raw output would hold more items than its
    # header announces. Simulate the thread switch inside the walker.
    shared = [Zoo(), 1, 2]
    real_walk = encoders._walk

    def walk_and_grow(o, depth, st):
        if len(shared) < 6:
            shared.extend([7, 8, 9])
        return real_walk(o, depth, st)

    monkeypatch.setattr(encoders, "_walk", walk_and_grow)
    out = decode_one(serialize._dump_general(shared))
    assert out[0]["__class__"] == "test_serialize.Zoo"
    assert out[1:] == [1, 2, 7, 8, 9]


def test_concurrent_threads_get_their_own_results():
    errors = []

    def work(n):
        value = {"n": n, "obj": Zoo(), "t": (n, str(n))}
        for _ in range(300):
            out = enc(value)
            if out["n"] != n or out["t"] != [n, str(n)]:
                errors.append((n, out))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


@pytest.mark.parametrize(
    "value",
    [
        sys._getframe(),
        (x for x in ()),
        Ellipsis,
        NotImplemented,
        type,
        print,
        threading.Lock(),
        msgpack.ExtType(5, b"e"),
        memoryview(b"abcdef")[::2],
        iter([1]),
        property(),
        {1, (2, 3)},
    ],
)
def test_odd_objects_give_exactly_one_value(value):
    decode_one(dump_msgpack(value))
    decode_one(dump_msgpack_lightweight_repr(value))


# -------------------------------------------------------------- lightweight


def test_lightweight_dict_maps_names_to_short_texts():
    value = {
        "n": 3,
        "f": 1.5,
        "b": True,
        "none": None,
        "s": "hi",
        "long": "z" * 150,
        "big": 2**70,
        "items": [1, 2],
        "obj": Zoo(),
        "sub": HStr("no"),
        "color": Color.RED,
        (1, 2): "tuple key",
    }
    out = decode_one(dump_msgpack_lightweight_repr(value))
    assert out == {
        "n": 3,
        "f": 1.5,
        "b": True,
        "none": None,
        "s": "hi",
        "long": "z" * serialize.LIGHT_MAX_STR_CHARS + "…(+50 chars)",
        "big": str(2**70),
        "items": "<builtins.list>",
        "obj": "<test_serialize.Zoo>",
        "sub": "<test_serialize.HStr>",
        "color": "<test_serialize.Color>",
        "(1, 2)": "tuple key",
    }


def test_lightweight_top_level_values_and_limits(calls):
    light = lambda v: decode_one(dump_msgpack_lightweight_repr(v))  # noqa: E731
    assert light(5) == 5
    assert light([1, 2]) == "<builtins.list>"
    assert light(HDict(a=Zoo())) == {"a": "<test_serialize.Zoo>"}
    assert calls == []
    many = light({"k%d" % i: i for i in range(serialize.MAX_ITEMS + 3)})
    assert many["…"] == "+3 entries" and len(many) == serialize.MAX_ITEMS + 1


# ---------------------------------------------------------------- fast path
#
# dump_msgpack first tries a fast path (values turned into a tree the C
# encoder writes natively, before it runs) and leaves what it is not sure of
# to the general path, _dump_general. Both must give the same bytes for every
# value; and where the documented format says exact and capped encoding
# agree (nothing cut, no cycle through builtin containers), the capped
# walker gives them too.

SELF = sys.intern("self")  # the very key a frame's locals dict has
FAST_SETTINGS = settings(
    max_examples=300,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


class Plain:
    pass


class PlainChild(Plain):  # instance __dict__ descriptor found on a base
    pass


class Meta(type):
    pass


class WithMeta(metaclass=Meta):
    pass


class Slotted:
    __slots__ = ("a", "b")


class SlottedWithDict:
    __slots__ = ("a", "__dict__")


class HiddenDict:
    @property
    def __dict__(self):
        CALLS.append("__dict__ property")
        return {"leaked": 1}


class OwnTrap:
    """Own instance __dict__, and hooks a careless reader would call: they
    record the call (and then work, for the test tools' sake)."""

    def __getattribute__(self, name):
        CALLS.append("__getattribute__ " + name)
        return object.__getattribute__(self, name)

    def __eq__(self, other):
        CALLS.append("__eq__")
        return self is other

    def __hash__(self):
        CALLS.append("__hash__")
        return 1

    def __repr__(self):
        CALLS.append("__repr__")
        return "trap"


class OwnTrapChild(OwnTrap):
    pass


OBJECT_CLASSES = [
    Plain,
    PlainChild,
    WithMeta,
    Slotted,
    SlottedWithDict,
    HiddenDict,
    OwnTrap,
    OwnTrapChild,
]
DICT_CLASSES = [Plain, PlainChild, WithMeta, OwnTrap, OwnTrapChild]


def new_object(cls, attrs):
    o = object.__new__(cls)
    for name, value in attrs:
        if cls in DICT_CLASSES:
            object.__getattribute__(o, "__dict__")[name] = value
        elif name != "__class__":
            try:
                object.__setattr__(o, name, value)
            except AttributeError:  # no such slot
                pass
    return o


LIMIT_STR = serialize.MAX_STR_CHARS


def text_of(sizes, char="x"):
    return st.sampled_from(sizes).map(lambda n: char * n)


plain_scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-(2**63), 2**64 - 1),
    st.floats(),
    st.text(max_size=8),
    text_of([LIMIT_STR]),
    text_of([300], "é"),
)
scalars = st.one_of(
    plain_scalars,
    st.integers(-(2**80), 2**80),
    st.floats(allow_nan=True),
    st.binary(max_size=6),
    text_of([LIMIT_STR + 1]),
    text_of([serialize.MAX_BYTES + 1]).map(str.encode),
    st.sampled_from(
        [
            "a\udc80b",
            2**64,
            -(2**63) - 1,
            Color.RED,
            Level.HIGH,
            RecStr("s"),
            RecInt(3),
            RecInt(2**70),
            msgpack.ExtType(3, b"e"),
            msgpack.Timestamp(1, 2),
            KeyError("k"),
            Zoo,
            len,
        ]
    ),
)
keys = st.one_of(
    st.text(max_size=6),
    st.integers(-3, 3),
    st.none(),
    st.booleans(),
    st.binary(max_size=3),
    st.tuples(st.integers(0, 2)),
    st.sampled_from([RecStr("k"), RecInt(1), Color.RED, "__class__"]),
)
LONG_NAME = "n" * (LIMIT_STR + 1)
ATTR_NAMES = ["a", "b", "c", "__class__", LONG_NAME]


@st.composite
def objects(draw, children, classes=OBJECT_CLASSES, names=ATTR_NAMES):
    cls = draw(st.sampled_from(classes))
    names = draw(st.lists(st.sampled_from(names), unique=True, max_size=4))
    o = new_object(cls, [(name, draw(children)) for name in names])
    if cls in DICT_CLASSES and draw(st.integers(0, 12)) == 0:
        # Rare shapes: a key that is not a str, more attributes than MAX_ITEMS.
        attrs = object.__getattribute__(o, "__dict__")
        if draw(st.booleans()):
            attrs[draw(st.sampled_from([1, None, RecStr("q")]))] = 2
        else:
            attrs.update(("m%d" % i, i) for i in range(serialize.MAX_ITEMS + 1))
    return o


def containers(children):
    return st.one_of(
        st.lists(children, max_size=4),
        st.tuples(children, children),
        st.dictionaries(keys, children, max_size=4),
        st.frozensets(st.integers(0, 3), max_size=3),
        objects(children),
    )


values = st.recursive(scalars, containers, max_leaves=12)


def objects_in(value):
    """The objects of DICT_CLASSES reachable from `value` (cycles cut)."""
    found, stack, seen_ids = [], [(value, 0)], set()
    while stack:
        v, d = stack.pop()
        if id(v) in seen_ids or d > 8:
            continue
        seen_ids.add(id(v))
        if type(v) in DICT_CLASSES:
            found.append(v)
            stack.extend((x, d + 1) for x in object.__getattribute__(v, "__dict__").values())
        elif type(v) in (list, tuple):
            stack.extend((x, d + 1) for x in v)
        elif type(v) is dict:
            stack.extend((x, d + 1) for x in v.values())
    return found


@st.composite
def linked(draw, base):
    """`base` values where some objects' attributes point back into them."""
    value = draw(base)
    found = objects_in(value)
    for _ in range(draw(st.integers(0, 2)) if found else 0):
        source, target = draw(st.sampled_from(found)), draw(st.sampled_from(found + [value]))
        object.__getattribute__(source, "__dict__")[draw(st.sampled_from(["a", "z"]))] = target
    return value


@st.composite
def method_locals(draw, self_values, others):
    table = {SELF: draw(self_values)}
    names = st.lists(st.sampled_from(["k", "item", "n", "rest"]), unique=True, max_size=3)
    for name in draw(names):
        table[name] = draw(others)
    return table


# The values the fast path is for: objects whose attributes are scalars,
# short strings or such objects, as a method's "self".
simple_objects = st.deferred(
    lambda: objects(
        st.one_of(plain_scalars, plain_scalars, simple_objects),
        classes=[Plain, PlainChild, WithMeta, OwnTrap, OwnTrapChild],
        names=["a", "b", "c", "d"],
    )
)


@FAST_SETTINGS
@given(
    value=st.one_of(
        method_locals(linked(simple_objects), plain_scalars),
        method_locals(linked(values), values),
        linked(values),
        st.lists(linked(simple_objects), max_size=3),
    )
)
def test_fast_path_gives_the_bytes_of_the_general_path(value):
    CALLS.clear()
    assert dump_msgpack(value) == serialize._dump_general(value)
    assert dump_msgpack_lightweight_repr(value) == serialize._light_general(value)
    decode_one(dump_msgpack(value))
    assert CALLS == []


# Within the documented limits (no text or container to cut, shallow, no
# cycle through a builtin container) the capped walker agrees.
small_scalars = st.one_of(
    plain_scalars,
    st.integers(-(2**80), 2**80),
    st.binary(max_size=4),
    st.sampled_from([Color.RED, RecStr("s"), RecInt(3), 2**64]),
)
small_simple_objects = st.deferred(
    lambda: objects(
        st.one_of(small_scalars, small_simple_objects),
        classes=[Plain, PlainChild, WithMeta, OwnTrap],
        names=["a", "b", "c", "d"],
    )
)
small_values = st.recursive(
    st.one_of(small_scalars, small_simple_objects),
    lambda children: st.one_of(
        st.lists(children, max_size=3),
        st.tuples(children),
        st.dictionaries(st.one_of(st.text(max_size=4), st.integers(-3, 3), st.none()), children, max_size=3),
        objects(children, classes=[Plain, PlainChild, Slotted], names=["a", "b", "c"]),
    ),
    max_leaves=8,
)


@st.composite
def objects_linked(draw, base):
    """`base` values where some objects point at objects (a cycle, if any,
    runs through objects only)."""
    value = draw(base)
    found = objects_in(value)
    for _ in range(draw(st.integers(0, 2)) if found else 0):
        source, target = draw(st.sampled_from(found)), draw(st.sampled_from(found))
        object.__getattribute__(source, "__dict__")[draw(st.sampled_from(["a", "z"]))] = target
    return value


@FAST_SETTINGS
@given(
    value=st.one_of(
        method_locals(objects_linked(small_simple_objects), small_values),
        objects_linked(small_values),
    )
)
def test_fast_path_agrees_with_the_capped_walker_within_the_limits(value):
    CALLS.clear()
    assert dump_msgpack(value) == encoders._encode_capped(value)
    assert CALLS == []


def leaf_and_holder():
    leaf = Plain()
    leaf.name, leaf.size = "leaf", 3
    holder = PlainChild()
    holder.leaf, holder.count, holder.me = leaf, 7, None
    return leaf, holder


@pytest.fixture
def general_path_spy(monkeypatch):
    """Counts the calls of the general path and of the walker."""
    used = []
    for name in ("_dump_general", "_light_general", "_walk"):
        real = getattr(encoders, name)

        def spy(*args, real=real, name=name):
            used.append(name)
            return real(*args)

        monkeypatch.setattr(encoders, name, spy)
    return used


def test_ordinary_values_take_the_fast_path(general_path_spy):
    leaf, holder = leaf_and_holder()
    holder.me = holder  # a cycle
    deep = Plain()
    deep.child = Plain()
    deep.child.child = Plain()
    deep.child.child.child = Plain()  # beyond OBJECT_DEPTH
    leaf_map = {"__class__": "test_serialize.Plain", "name": "leaf", "size": 3}
    cases = [
        (
            {SELF: leaf, "k": 2, "s": "hi", "f": 1.5, "l": [1, "a"], "d": {"x": None}},
            {"self": leaf_map, "k": 2, "s": "hi", "f": 1.5, "l": [1, "a"], "d": {"x": None}},
        ),
        (
            {SELF: holder},
            {
                "self": {
                    "__class__": "test_serialize.PlainChild",
                    "leaf": leaf_map,
                    "count": 7,
                    "me": "<cycle test_serialize.PlainChild>",
                }
            },
        ),
        (
            {SELF: deep},
            {
                "self": {
                    "__class__": "test_serialize.Plain",
                    "child": {
                        "__class__": "test_serialize.Plain",
                        "child": {"__class__": "test_serialize.Plain", "child": "<test_serialize.Plain …>"},
                    },
                }
            },
        ),
        (
            {"n": 3, "t": (1, leaf), "objs": [leaf, holder.leaf]},
            {"n": 3, "t": [1, leaf_map], "objs": [leaf_map, leaf_map]},
        ),
        (leaf, leaf_map),
        ([leaf, (2,)], [leaf_map, [2]]),
        ({"n": 3}, {"n": 3}),
        # Builtin data is written whole (not cut as the walker would).
        ({SELF: ("y" * 2000, 5)}, {"self": ["y" * 2000, 5]}),
        (None, None),
        (42, 42),
        ("text", "text"),
    ]
    for value, expected in cases:
        assert enc(value) == expected
    CALLS.clear()
    hidden = {"self": {"__class__": "test_serialize.HiddenDict"}, "k": 1}
    assert enc({SELF: HiddenDict(), "k": 1}) == hidden
    assert CALLS == []
    out = decode_one(dump_msgpack_lightweight_repr({SELF: holder, "n": 2**70, "s": "z" * 200}))
    assert out == {
        "self": "<test_serialize.PlainChild>",
        "n": str(2**70),
        "s": "z" * 100 + "…(+100 chars)",
    }
    assert general_path_spy == []


def test_values_the_walker_cuts_are_written_natively_too(general_path_spy):
    leaf, _ = leaf_and_holder()
    big = Plain()
    big.text = "x" * 2000  # cut by the walker
    zoo_map = {"__class__": "test_serialize.Zoo", "animals": ["cat"], "keeper": None}
    spoof, int_name = Plain(), Plain()
    spoof.__dict__.update({"__class__": "spoof", "b": 2})
    int_name.__dict__.update({7: "int name", "b": 2})
    cases = [
        ({SELF: spoof}, {"self": {"__class__": "test_serialize.Plain", "b": 2}}),
        ({SELF: int_name}, {"self": {"__class__": "test_serialize.Plain", 7: "int name", "b": 2}}),
        ({SELF: Zoo()}, {"self": zoo_map}),
        ({SELF: big}, {"self": {"__class__": "test_serialize.Plain", "text": "x" * LIMIT_STR + "…(+1000 chars)"}}),
        ({SELF: leaf, "t": ("a\udc80",)}, {"self": enc(leaf), "t": ["a\\udc80"]}),
        ({SELF: 2**70}, {"self": str(2**70)}),
    ]
    for value, expected in cases:
        assert enc(value) == expected
    assert general_path_spy == []


def test_fast_path_beside_values_the_encoder_writes_itself():
    leaf, _ = leaf_and_holder()
    natives = [msgpack.Timestamp(1, 2), msgpack.ExtType(4, b"e"), bytearray(b"ba"), memoryview(b"m")]
    natives.append(None)
    mixed = [natives + [leaf], tuple(natives) + (leaf,)]
    mixed += [{SELF: leaf, "n": natives}, {"t": (leaf, natives)}]
    for value in mixed:
        assert dump_msgpack(value) == serialize._dump_general(value)
    assert decode_one(dump_msgpack((leaf, msgpack.Timestamp(1, 2))))[1] == msgpack.Timestamp(1, 2)
    # Written whole unless the encoding outgrows EXACT_MAX_BYTES, counted in
    # bytes, not characters.
    wide = "é" * (serialize.EXACT_MAX_BYTES // 2 + 1)
    assert enc(wide) == "é" * LIMIT_STR + "…(+%d chars)" % (len(wide) - LIMIT_STR)
    assert enc({SELF: leaf, "w": wide})["w"] == enc(wide)
    assert (
        enc(b"b" * serialize.EXACT_MAX_BYTES)
        == b"b" * serialize.MAX_BYTES + ("…(+%d bytes)" % (serialize.EXACT_MAX_BYTES - serialize.MAX_BYTES)).encode()
    )


def test_fast_path_follows_changes_to_classes():  # noqa: C901, PLR0915 - one class changed step by step
    import gc
    import weakref

    def both(value):
        out = dump_msgpack(value)
        assert out == serialize._dump_general(value)
        return decode_one(out)

    class Renamed:
        def __init__(self):
            self.x = 1

    o = Renamed()
    both({SELF: o})
    Renamed.__qualname__ = "Other"
    assert both({SELF: o})["self"]["__class__"] == "test_serialize.Other"
    Renamed.__module__ = "elsewhere"
    assert both([o])[0]["__class__"] == "elsewhere.Other"
    Renamed.__module__ = None
    assert both({SELF: o, "k": 1})["self"]["__class__"] == "Other"
    assert decode_one(dump_msgpack_lightweight_repr({SELF: o})) == {"self": "<Other>"}

    # A base that hides the instance __dict__ put in the MRO afterwards: read
    # as the walker reads it, and its property is never called.
    class WithDict:
        pass

    class Hides:
        @property
        def __dict__(self):
            CALLS.append("hidden __dict__ read")
            return {"leaked": 1}

    class Middle(WithDict):
        pass

    class Leaf(Middle):
        pass

    leaf = Leaf()
    leaf.a = 1
    assert both({SELF: leaf})["self"]["a"] == 1
    CALLS.clear()
    Middle.__bases__ = (Hides,)
    assert both({SELF: leaf})["self"] == {"__class__": _class_name(Leaf)}
    assert both([leaf]) == [{"__class__": _class_name(Leaf)}]
    assert CALLS == []

    # A metaclass swapped for one whose classes' attributes are traps.
    class M1(type):
        pass

    class M2(type):
        def __getattribute__(cls, name):
            CALLS.append("metaclass __getattribute__ " + name)
            return type.__getattribute__(cls, name)

    class Swapped(metaclass=M1):
        pass

    s = Swapped()
    s.v = 2
    both({SELF: s})
    Swapped.__class__ = M2
    assert both({SELF: s})["self"]["__class__"].endswith("Swapped")
    assert CALLS == []

    # Classes that come and go (their ids get reused), even under the very
    # same name objects, are never mistaken for one another; none is kept
    # alive.
    def make(hidden):
        class Same:
            if hidden:

                @property
                def __dict__(self):
                    CALLS.append("hidden __dict__ read")
                    return {}

            def __init__(self):
                object.__setattr__(self, "x", 1)

        return Same

    refs, ids, reused = [], set(), 0
    CALLS.clear()
    for i in range(400):
        cls = make(hidden=i % 2 == 1)
        out = both({SELF: cls(), "n": i})["self"]
        assert out == ({"__class__": _class_name(cls)} if i % 2 else {"__class__": _class_name(cls), "x": 1})
        reused += id(cls) in ids
        ids.add(id(cls))
        refs.append(weakref.ref(cls))
        del cls
        gc.collect()
        if reused >= 5:
            break
    assert [ref for ref in refs if ref() is not None] == []
    assert CALLS == []


def test_a_failed_fast_encoding_leaves_nothing_behind():
    leaf, _ = leaf_and_holder()
    # Invalid text, in the locals or in the object's map written in the
    # middle of them (where the encoder keeps what it wrote so far unless
    # reset); the tuple key sends the value on to the general path, and the
    # next call goes to the same encoder.
    bad_leaf = Plain()
    bad_leaf.t = "a\udc80"
    cases = [
        ({SELF: leaf, "t": "a\udc80", (1, 2): 3}, {"self": enc(leaf), "t": "a\\udc80", "(1, 2)": 3}),
        ({SELF: bad_leaf, (1, 2): 3}, {"self": {"__class__": "test_serialize.Plain", "t": "a\\udc80"}, "(1, 2)": 3}),
    ]
    for value, expected in cases:
        assert enc(value) == expected
        assert enc({"n": 1}) == {"n": 1}
    assert enc({SELF: leaf}) == {"self": enc(leaf)}


def test_fast_path_in_concurrent_threads():
    errors = []

    def work(n):
        obj = Plain()
        obj.n, obj.name = n, "t%d" % n
        value = {SELF: obj, "n": n, "pair": (n, obj)}
        want = serialize._dump_general(value)
        for _ in range(500):
            if dump_msgpack(value) != want:
                errors.append(n)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
