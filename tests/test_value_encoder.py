"""The native value encoder against the Python walker, on generated values of every shape
the format knows: the bytes must be the same, and no code of the program may run."""

import datetime
import decimal
import enum
import pathlib
import threading
import uuid

import msgpack
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from sarv import serialize

import test_serialize as ts

SETTINGS = settings(
    max_examples=400,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
LIMIT = serialize.MAX_STR_CHARS


class Shade(enum.Enum):
    DARK = 1
    LIGHT = "l"


class Flag(enum.IntFlag):
    A = 1
    B = 2


class Zone(datetime.tzinfo):  # a time zone of the program's own: never asked for its offset
    def utcoffset(self, dt):
        ts.CALLS.append("utcoffset")
        return datetime.timedelta(hours=1)


class Both:
    __slots__ = ("s", "__dict__")


class Failing(Exception):
    pass


class Keyed:
    """Hashable by identity; its key text holds its address."""


class ListSub(list):
    pass


class FloatSub(float):
    pass


class BytesSub(bytes):
    pass


class DictSub(dict):
    pass


class PairSub(tuple):
    pass


def odd_memoryviews():
    data = bytes(range(40))
    return [
        memoryview(data),
        memoryview(data)[::2],
        memoryview(bytearray(data)).cast("I"),
        memoryview(data).cast("B", (5, 8)),
    ]


leaf_values = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.integers(-(2**70), 2**70),
    st.floats(),
    st.text(max_size=6),
    st.text(alphabet="aé€\U0001f600\udc80", max_size=6),
    st.sampled_from([LIMIT - 1, LIMIT, LIMIT + 1, 5000]).map(lambda n: "é" * n),
    st.sampled_from([serialize.EXACT_MAX_BYTES - 3, serialize.EXACT_MAX_BYTES + 1]).map(lambda n: "x" * n),
    st.binary(max_size=6),
    st.sampled_from([999, 1000, 1001, 20000]).map(lambda n: b"b" * n),
    st.binary(max_size=4).map(bytearray),
    st.integers(0, 3).map(lambda i: odd_memoryviews()[i]),
    st.sampled_from(
        [
            1 + 2j,
            range(3),
            range(1, 10, 2),
            datetime.date(2024, 5, 17),
            datetime.time(1, 2, 3, 4),
            datetime.datetime(2024, 5, 17, 1, 2, 3),
            datetime.datetime(2024, 5, 17, 1, 2, tzinfo=datetime.timezone.utc),
            datetime.datetime(1, 1, 1, tzinfo=Zone()),
            datetime.time(5, tzinfo=Zone()),
            datetime.timedelta(-1, 5, 7),
            decimal.Decimal("1.50"),
            decimal.Decimal("NaN"),
            uuid.UUID(int=7),
            pathlib.PurePosixPath("/a/b"),
            pathlib.Path("rel"),
            Shade.DARK,
            Shade.LIGHT,
            Flag.A | Flag.B,
            Flag(0),
            ts.Level.HIGH,
            ts.RecStr("s"),
            ts.RecInt(3),
            ts.RecInt(2**70),
            FloatSub(2.5),
            BytesSub(b"hb"),
            msgpack.ExtType(3, b"e"),
            msgpack.Timestamp(1, 2),
            msgpack.Timestamp(-1, 5),
            KeyError("k"),
            Failing(1, [2]),
            ValueError(),
            ts.Zoo,
            Shade,
            len,
            [].append,
            print,
            threading,
            serialize.dump_msgpack,
            ts.Zoo.__init__,
            object(),
            2**64,
            -(2**63) - 1,
            float("nan"),
            -0.0,
        ]
    ),
)

scalar_keys = st.one_of(
    st.text(max_size=4),
    st.integers(-3, 3),
    st.integers(2**63, 2**64 + 5),
    st.floats(allow_nan=False),
    st.none(),
    st.booleans(),
    st.binary(max_size=3),
    st.sampled_from(
        [
            "__class__",
            "args",
            "…",
            "1",
            "None",
            "(1, 2)",
            "x" * (LIMIT + 1),
            "x" * LIMIT + "…(+1 chars)",
            float("nan"),
            Shade.DARK,
            ts.RecStr("k"),
            ts.RecInt(1),
            ts.Level.HIGH,
            2**80,
            b"b" * 1001,
            datetime.date(2024, 1, 1),
            ts.Zoo,
            len,
            uuid.UUID(int=1),
        ]
    ),
    # names that hold secrets under some rules (see test_redaction_rules_...)
    st.sampled_from(
        [
            "password",
            "Api-Key",
            "AUTH",
            "user_token",
            "author",
            "Set-Cookie",
            "tökén",
            "İx",
            "x_key",
            ts.RecStr("secret"),
            "x" * (LIMIT + 1) + "secret",
            "secret" + "x" * LIMIT,
        ]
    ),
)
keys = st.recursive(
    scalar_keys,
    lambda children: st.one_of(
        st.tuples(children),
        st.tuples(children, children),
        st.frozensets(st.integers(0, 3), max_size=3),
        st.builds(Keyed),
        st.just(tuple(range(150))),
    ),
    max_leaves=4,
)


def with_attrs(cls, names_values):
    o = cls()
    for name, value in names_values:
        if cls is Both and name == "s":
            o.s = value
        else:
            object.__getattribute__(o, "__dict__")[name] = value
    return o


def containers(children):
    names = st.sampled_from(["a", "b", "s", "__class__", "x" * (LIMIT + 2), "password", "csrf_token", "user"])
    return st.one_of(
        st.lists(children, max_size=4),
        st.tuples(children, children),
        st.dictionaries(keys, children, max_size=5),
        st.sets(keys.filter(lambda k: type(k) is not Keyed), max_size=4),
        st.frozensets(st.integers(0, 5), max_size=4),
        st.lists(children, max_size=3).map(ListSub),
        st.dictionaries(st.text(max_size=3), children, max_size=3).map(DictSub),
        st.lists(st.tuples(names, children), max_size=4).map(lambda kv: with_attrs(ts.Plain, kv)),
        st.lists(st.tuples(names, children), max_size=4).map(lambda kv: with_attrs(Both, kv)),
        st.builds(ts.new_object, st.sampled_from(ts.OBJECT_CLASSES), st.lists(st.tuples(names, children), max_size=3)),
        st.tuples(children, children).map(lambda args: Failing(*args)),
        # (name, value) pairs, as headers come: the value of a secret name is redacted
        st.tuples(
            st.sampled_from(
                [
                    "token",
                    b"Authorization",
                    b"set-cookie",
                    b"x" * 1001 + b"token",
                    b"tok\xffen",
                    "user",
                    ts.RecStr("secret"),
                    b"user",
                ]
            ),
            children,
        ),
        st.tuples(st.sampled_from(["api_key", b"cookie"]), children).map(PairSub),
        st.sampled_from([120, 300]).map(lambda n: list(range(n))),
        st.integers(0, 20).map(lambda depth: nested(depth)),
    )


def nested(depth):
    value = "bottom"
    for i in range(depth):
        value = [value] if i % 2 else {"d": value}
    return value


values = st.recursive(leaf_values, containers, max_leaves=14)


@st.composite
def with_cycles(draw, base):
    value = draw(base)
    found = []
    stack = [value]
    while stack and len(found) < 20:
        v = stack.pop()
        if type(v) in (list, ListSub, dict, DictSub, ts.Plain):
            found.append(v)
            inner = (
                v.values()
                if type(v) in (dict, DictSub)
                else (object.__getattribute__(v, "__dict__").values() if type(v) is ts.Plain else v)
            )
            stack.extend(inner)
    for _ in range(draw(st.integers(0, 2)) if found else 0):
        source, target = draw(st.sampled_from(found)), draw(st.sampled_from(found))
        if type(source) in (list, ListSub):
            source.append(target)
        elif type(source) in (dict, DictSub):
            source["cycle"] = target
        else:
            object.__getattribute__(source, "__dict__")["cycle"] = target
    return value


def same_bytes(value):
    ts.CALLS.clear()
    native = serialize.dump_msgpack(value)
    assert native == serialize._dump_general(value)
    assert serialize.dump_msgpack(value) == native  # (again: parts kept from the first are reused)
    assert serialize.dump_msgpack_lightweight_repr(value) == serialize._light_general(value)
    assert ts.CALLS == []
    return native


@SETTINGS
@given(value=st.one_of(with_cycles(values), st.dictionaries(st.text(max_size=3), with_cycles(values), max_size=6)))
def test_generated_values_give_the_bytes_of_the_python_walker(value):
    same_bytes(value)


# Redaction off, prefix/suffix/equality rules, non-ASCII rules ("İ" lower-cases to two
# characters), and the defaults with a one-letter rule that meets most attribute names.
RULE_SETS = [(), ("user*", "*key", "x"), ("tökén", "*i̇*", "*-x-*"), serialize.DEFAULT_REDACT + ("s",)]


@settings(SETTINGS, max_examples=200)
@given(
    rules=st.sampled_from(RULE_SETS),
    value=st.one_of(with_cycles(values), st.dictionaries(keys, with_cycles(values), max_size=6)),
)
def test_redaction_rules_give_the_bytes_of_the_python_walker(rules, value):
    previous = serialize.set_redaction(rules)
    try:
        same_bytes(value)
    finally:
        serialize.set_redaction(previous)


def test_a_verdict_belongs_to_its_name_object():
    # Names made and freed one after the other come back at the same addresses, and more
    # of them than the verdicts kept: a verdict taken for an earlier name would show.
    for i in range(20000):
        name = ("to-ken%d" if i % 3 == 0 else "plain%d") % i
        for dump in (serialize.dump_msgpack, serialize.dump_msgpack_lightweight_repr):
            assert msgpack.unpackb(dump({name: i})) == {name: "[redacted]" if i % 3 == 0 else i}


def test_limits_at_their_edges():
    big = list(range(300))
    cases = [
        nested(1030),  # beyond msgpack's nesting limit for the exact form
        nested(1020),
        [[b"x" * 600] * 30],  # the capped walk's total budget, spent at several levels
        {"k%d" % i: "v" * 400 for i in range(120)},
        [Keyed()] * 3 + [{(Keyed(), 1): 2}],
        {1: "int", 1.5: "float", True: "bool", ts.RecInt(1): "int subclass", "1": "text"},  # noqa: F601
        {ts.RecStr("a"): 1, "a~2": 2, Shade.DARK: 3, "Shade.DARK": 4},
        {(1, 2): 3, "(1, 2)": 4, "(1, 2)~2": 5},
        {float("nan"): 1, float("nan"): 2},
        {"x" * (LIMIT + 1) + "a": 1, "x" * (LIMIT + 1) + "b": 2},
        [big, {"a": big}, (big,)],
        {"self": ts.Plain(), "memo": {(i, i + 1): i for i in range(40)}},
        frozenset(range(200)),
        {frozenset({1, 2}): 1, (1, (2, (3, (4, (5,))))): 2},
    ]
    for value in cases:
        same_bytes(value)


def test_the_content_budget_is_counted_as_the_walker_counts_it():
    # Fillers use up most of the budget; what is left runs out after a number of items
    # that moves with every unit the items are charged, so any miscount shows.
    kinds = [
        with_attrs(ts.Plain, [("a", "y" * 7)]),
        Failing(1),
        datetime.date(2024, 1, 2),
        datetime.time(3),
        datetime.datetime(2024, 1, 2, 3),
        datetime.timedelta(5),
        decimal.Decimal("2.5"),
        uuid.UUID(int=3),
        pathlib.PurePosixPath("/x"),
        Shade.DARK,
        1 + 1j,
        range(4),
        ts.Zoo,
        len,
        [].append,
        ts.Zoo.__init__,
        threading,
        "s" * 3,
        b"b" * 3,
        2**70,
        ts.RecInt(5),
        ts.RecStr("r"),
        (1, 2),
        [3],
        {"k": 4},
        memoryview(b"mv"),
        msgpack.ExtType(1, b"e"),
        nested(20),
    ]
    for kind in kinds:
        for extra in range(0, 60, 3):
            same_bytes([["f" * 1000] * 31, "g" * extra, [kind] * 100, {(kind, 1) if kind.__hash__ else 1: kind}])


def test_huge_values_cost_what_is_kept():
    # The exact form gives up at once, the walker reads the first items; a full pass over
    # these would take seconds.
    huge = [
        list(range(10_000_000)),
        dict.fromkeys(range(1_000_000)),
        b"b" * 100_000_000,
        "é" * 50_000_000,
        {"x": list(range(10_000_000))},
        [[0] * 10_000_000],
    ]
    for value in huge:
        out = msgpack.unpackb(serialize.dump_msgpack(value), strict_map_key=False)
        assert out is not None
    assert msgpack.unpackb(serialize.dump_msgpack(huge[0]))[-1] == "…(+9999900 items)"
    assert msgpack.unpackb(serialize.dump_msgpack(huge[3])).endswith("…(+49999000 chars)")


def test_values_changed_by_another_thread_give_one_value():
    shared_list = [pathlib.PurePosixPath("/p")] * 50
    shared_dict = {i: pathlib.PurePosixPath("/q") for i in range(50)}
    stop = threading.Event()

    def mutate():
        i = 0
        while not stop.is_set():
            shared_list.append(i)
            del shared_list[0]
            shared_dict[i % 97 + 100] = i
            shared_dict.pop(i % 89 + 100, None)
            i += 1

    worker = threading.Thread(target=mutate)
    worker.start()
    try:
        for _ in range(300):
            for value in ({"l": shared_list, "d": shared_dict}, [shared_dict, (shared_list,)]):
                data = serialize.dump_msgpack(value)
                unpacker = msgpack.Unpacker(strict_map_key=False, raw=False)
                unpacker.feed(data)
                assert len(list(unpacker)) == 1 and unpacker.tell() == len(data)
    finally:
        stop.set()
        worker.join()
