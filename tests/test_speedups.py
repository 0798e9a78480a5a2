"""The native encoder of sarv._speedups: the bytes of the Python walker, faster.

sarv.serialize.dump_msgpack is the C function of sarv._speedups, which writes every value
itself but the rare one it leaves to the Python walker (_dump_general, the reference of
the format). The profiler's hook uses the same encoder directly when it finds that
function in sarv.serialize."""

import threading

import msgpack
import pytest
from hypothesis import given, settings, HealthCheck, strategies as st

import sarv._sarv
import sarv._speedups
from sarv import serialize

import test_serialize as ts

SETTINGS = settings(
    max_examples=300,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


@pytest.fixture
def fallbacks():
    """Counts the values the native encoder hands to the Python implementation."""
    handed = []

    def general(obj):
        handed.append(obj)
        return serialize._dump_general(obj)

    def light(obj):
        handed.append(obj)
        return serialize._light_general(obj)

    sarv._speedups.set_fallbacks(general, light)
    try:
        yield handed
    finally:
        sarv._speedups.set_fallbacks(serialize._dump_general, serialize._light_general)


def test_the_companion_serialisers_are_the_native_ones():
    assert serialize.dump_msgpack is sarv._speedups.dump_msgpack
    assert serialize.dump_msgpack_lightweight_repr is sarv._speedups.dump_msgpack_lightweight_repr


def both_ways(value):
    """Native and Python encodings of `value`, twice (the first call caches the classes'
    facts)."""
    for _ in range(2):
        assert serialize.dump_msgpack(value) == serialize._dump_general(value)
        assert serialize.dump_msgpack_lightweight_repr(value) == serialize._light_general(value)
    return msgpack.unpackb(serialize.dump_msgpack(value), strict_map_key=False)


@SETTINGS
@given(
    value=st.one_of(
        ts.values,
        ts.linked(ts.values),
        ts.method_locals(ts.linked(ts.simple_objects), ts.plain_scalars),
        ts.method_locals(ts.objects_linked(ts.small_values), ts.small_values),
        st.lists(ts.linked(ts.simple_objects), max_size=3),
    )
)
def test_native_bytes_equal_the_python_serialiser(value):
    ts.CALLS.clear()
    both_ways(value)
    assert ts.CALLS == []  # no method of the program's objects was run


DIGIT = 2**30  # ints of one internal digit take a shorter way than longer ones


@pytest.mark.parametrize(
    "value",
    [
        0,
        1,
        -1,
        127,
        128,
        -32,
        -33,
        255,
        256,
        DIGIT - 1,
        DIGIT,
        DIGIT + 1,
        -(DIGIT - 1),
        -DIGIT,
        -DIGIT - 1,
        2**32,
        2**63 - 1,
        -(2**63),
        2**64 - 1,
        2**64,
        -(2**63) - 1,
        "",
        "ascii",
        "é",
        "\u20ac",
        "\U0001f600",
        "mixed é text",
        "x" * 40,
    ],
)
def test_edges_of_the_short_ways_for_ints_and_texts(value):
    assert both_ways(value) == (value if not isinstance(value, int) or -(2**63) <= value < 2**64 else str(value))


def gen():
    yield 1


class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y

    def norm(self):
        return self.x


class Node:
    def __init__(self, child=None):
        self.child = child


EVERYDAY = {
    "int above 64 bits": lambda: 2**64,
    "int below 64 bits": lambda: -(2**63) - 1,
    "lone surrogate": lambda: "a\udc80b",
    "long text": lambda: "x" * (serialize.EXACT_MAX_BYTES + 1),
    "tuple key": lambda: {(1, 2): 3},
    "enum": lambda: {"e": ts.Color.RED},
    "slots": lambda: {"s": ts.Slotted()},
    "metaclass": lambda: {"w": ts.WithMeta()},
    "list attribute": lambda: {"self": Point([1], 2)},
    "long attribute": lambda: {"self": Point("x" * 2000, 1)},
    "dict subclass": lambda: ts.HDict(a=1),
    "module": lambda: sarv,
    "class": lambda: Point,
    "big list": lambda: list(range(40)) * 500,
    "msgpack's own types": lambda: [msgpack.ExtType(3, b"e"), msgpack.Timestamp(1, 2)],
}


def test_common_locals_need_no_python(fallbacks):
    ts.CALLS.clear()
    point, ring = Point(1, "a"), Node()
    ring.child = ring
    samples = [
        None,
        True,
        -5,
        2**64 - 1,
        1.5,
        "short",
        "é" * 300,
        b"raw",
        [1, (2, 3)],
        {1: None, "k": [b""]},
        {"self": point, "n": 3},
        {"g": gen()},
        {"f": gen, "m": point.norm, "b": len, "a": [].append},
        {"self": Node(Node(Node(Node())))},
        {"self": ring},
        {"h": ts.HiddenDict()},  # its __dict__ is a property: the class name alone, nothing run
    ]
    samples += [make() for make in EVERYDAY.values()]
    for sample in samples:
        both_ways(sample)
    fallbacks.clear()
    out = [msgpack.unpackb(serialize.dump_msgpack(s), strict_map_key=False) for s in samples]
    assert fallbacks == []
    assert out[10] == {"self": {"__class__": "test_speedups.Point", "x": 1, "y": "a"}, "n": 3}
    assert out[11] == {"g": {"__class__": "builtins.generator"}}
    assert out[12] == {
        "f": "<function test_speedups.gen>",
        "m": "<bound method test_speedups.Point.norm>",
        "b": "<built-in function len>",
        "a": "<built-in function append>",
    }
    node = "test_speedups.Node"
    assert out[13] == {
        "self": {"__class__": node, "child": {"__class__": node, "child": {"__class__": node, "child": f"<{node} …>"}}}
    }
    assert out[14] == {"self": {"__class__": node, "child": f"<cycle {node}>"}}
    assert out[15] == {"h": {"__class__": "test_serialize.HiddenDict"}}
    assert msgpack.unpackb(serialize.dump_msgpack_lightweight_repr({"self": point, "n": 3})) == {
        "self": "<test_speedups.Point>",
        "n": 3,
    }
    assert fallbacks == [] and ts.CALLS == []


def test_names_that_are_not_valid_unicode_are_left_to_python(fallbacks):
    class odd:
        pass

    odd.__qualname__ = "Odd\udc80"
    value = {"self": odd(), "k": 1}
    both_ways(value)
    assert fallbacks and fallbacks[-1] is value


def test_a_changed_class_is_written_as_it_is_now(fallbacks):
    class Box:
        def __init__(self):
            self.v = 1

    box = Box()
    assert both_ways({"b": box})["b"]["__class__"].endswith("Box")
    Box.__qualname__ = "Crate"
    assert both_ways({"b": box}) == {"b": {"__class__": "test_speedups.Crate", "v": 1}}
    Box.__module__ = "elsewhere"
    assert both_ways({"b": box}) == {"b": {"__class__": "elsewhere.Crate", "v": 1}}
    Box.__slots__ = ()  # any change of the class: its facts are read again
    both_ways({"b": box})
    box.__class__ = Point
    assert both_ways({"b": box}) == {"b": {"__class__": "test_speedups.Point", "v": 1}}
    assert fallbacks == []
    with pytest.raises(TypeError):
        sarv._speedups.set_fallbacks(len)


def raw_values(record, names=("arg", "locals")):
    """The encoded bytes of some entries of one record."""
    from conftest import record_parts

    parts = record_parts(record)
    return tuple(parts[n] for n in names)


class Account:
    def __init__(self, owner, balance):
        self.owner, self.balance = owner, balance

    def deposit(self, amount):
        self.balance += amount
        return self.balance


def numbers(n):
    yield from range(n)


def make_adder(step):
    def add(x):
        return x + step

    return add


def program():
    account = Account("ann", 10)
    total = sum(account.deposit(i) for i in numbers(3))
    return make_adder(total)(1), [account, {"k": (1, 2)}, 2**70]


def test_the_hook_writes_what_the_python_serialiser_writes(companion, make_profiler, monkeypatch, fallbacks):
    monkeypatch.setattr(companion.plugins, "load_plugin_data", lambda config: [])

    def run():
        profiler = make_profiler(config={})
        sarv._sarv.register_profiler(profiler)
        try:
            program()
        finally:
            sarv._sarv.register_noop_profiler()
            threading.setprofile(None)
        document = profiler.rust_profiler.build_trace()
        from conftest import Trace

        return [raw_values(r) for r in Trace(document).raw]

    native = run()
    native_again = run()
    assert fallbacks == []
    called = []

    def python_dump(obj):
        called.append(obj)
        return serialize._dump_general(obj)

    monkeypatch.setattr(companion.serialize, "dump_msgpack", python_dump)
    python = run()
    assert len(called) == 2 * len(python) > 20
    assert native == python == native_again
