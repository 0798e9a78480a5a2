"""Variables read straight from function frames: the records are byte for byte what reading
each frame's f_locals at every recorded event gives, and the frames keep no dict of them."""

import random
import re
import sys
import textwrap

import msgpack
import pytest

import sarv.serialize
from sarv import _sarv_testing

from conftest import record_parts

REAL_DUMP = sarv.serialize.dump_msgpack
REAL_DUMP_LIGHT = sarv.serialize.dump_msgpack_lightweight_repr
SUPPORTED = _sarv_testing.set_direct_locals(True)

SHAPES = textwrap.dedent("""\
    import sys

    def plain(x, y=2):
        z = x + y
        w = "text"
        return z

    def late_args_first(a, *rest, key=None, **extra):
        b = a
        return len(rest) + len(extra)

    def make_counter(step):
        count = 0
        def bump(times):
            nonlocal count
            for _ in range(times):
                count += step
            return count
        return bump

    def uses_counter():
        return make_counter(3)(2)

    def unbinds(flag):
        if flag:
            early = 1
        later = 2
        del later
        again = 3
        return again

    def reads_own_locals(n):
        before = n
        seen = dict(locals())
        after = len(seen)
        return after

    def writes_own_f_locals(n):
        sys._getframe().f_locals["planted"] = 1
        m = n
        return m

    def fails(n):
        half = n // 2
        raise ValueError(half)

    def catches():
        try:
            fails(5)
        except ValueError as error:
            caught = error.args
        return caught

    def gen(n):
        for i in range(n):
            j = i * i
            yield j

    def uses_gen():
        return sum(gen(4))

    def comprehension(items):
        squares = [v * v for v in items]
        return squares

    def shadow(__builtins__=None):
        value = 1
        return value

    def objects():
        things = {1, 2}
        other = object
        return len(things)

    def many(a):
        {many_locals}
        return a

    def rec(n):
        if n:
            deeper = rec(n - 1)
            return deeper
        return 0

    def gen_changing(flag):
        if flag:
            early = 1
        yield 1
        late = 2
        del flag
        yield 2
        flag = 3
        yield late

    def gen_reads_own_locals(n):
        x = n
        yield dict(locals())
        y = x
        yield y

    def gen_closure(k):
        def inner():
            return k
        m = inner()
        yield m
        k = 5
        yield k

    def gen_peeks():
        x = 1
        yield x
        x = 2
        yield sys._getframe().f_locals["x"]

    def gen_abandoned():
        a = 1
        yield a
        b = 2
        yield b

    def gen_thrown():
        try:
            yield 1
        except ValueError:
            caught = 1
        yield caught

    class Ready:
        def __await__(self):
            yield 1

    async def coro(n):
        a = n
        await Ready()
        b = a + 1
        return b

    def drive(coroutine):
        try:
            while True:
                coroutine.send(None)
        except StopIteration as stop:
            return stop.value

    def generators():
        out = [list(gen_changing(True)), list(gen_changing(False)), list(gen_reads_own_locals(1))]
        out.append(list(zip(gen_changing(True), gen_changing(False), gen_changing(True))))  # taking turns
        out += [list(gen_closure(1)), list(gen_peeks()), drive(coro(2))]
        g = gen_abandoned()
        next(g)
        g.close()
        g = gen_thrown()
        next(g)
        out.append(g.throw(ValueError))
        return out

    def scalars(password, n=-33):
        a_name_of_exactly_thirty_two_ch = "x" * 31
        b = "y" * 32
        c, d = "z" * 100, "z" * 101
        e, f, g = "\u00e9t\u00e9", 2 ** 40, -(2 ** 31)
        h, i, api_token = 1.5, True, None
        return n

    def main():
        generators()
        scalars("hunter2")
        class Body:
            attribute = plain(1)
        exec(compile("q = plain(2)", "/home/u/project/app/views.py", "exec"), {"plain": plain, "__name__": "app.script"})
        plain(1)
        late_args_first(1, 2, 3, key=4, more=5)
        uses_counter()
        unbinds(True)
        unbinds(False)
        reads_own_locals(3)
        writes_own_f_locals(4)
        catches()
        uses_gen()
        comprehension([1, 2])
        shadow()
        objects()
        many(1)
        rec(3)
        return Body
""").replace("{many_locals}", "; ".join(f"v{i} = {i}" for i in range(70)))


def recorded(recording, target, *args, direct, config=None):
    """(co_name, event, arg bytes, locals bytes) of every record of target(*args)."""
    _sarv_testing.set_direct_locals(direct)
    try:
        _, trace, _ = recording.run(target, *args, config=config, native=_sarv_testing)
    finally:
        _sarv_testing.set_direct_locals(True)
    out = []
    for raw in trace.raw:
        e = record_parts(raw)
        if msgpack.unpackb(e["type"]) != "frame":
            continue  # the exception records of the sys.monitoring backend
        out.append(
            (
                msgpack.unpackb(e["co_name"]),
                msgpack.unpackb(e["event"]),
                unaddressed(e["arg"]),
                unaddressed(e["locals"]),
            )
        )
    return out


def unaddressed(data):
    """Reprs of objects show addresses, which differ from run to run: masked."""
    return re.sub(rb"0x[0-9a-f]{6,}", lambda m: b"0x" + b"_" * (len(m.group()) - 2), data)


SERIALISERS = {
    "native": (REAL_DUMP, REAL_DUMP, None),
    "python": (None, None, None),  # the recording fixture's msgpack-based serialiser
    "lightweight": (REAL_DUMP, REAL_DUMP_LIGHT, {"lightweight_repr": True}),
}


@pytest.mark.parametrize("serialiser", list(SERIALISERS))
def test_same_bytes_as_reading_f_locals(recording, companion, monkeypatch, serialiser):
    dump, light, config = SERIALISERS[serialiser]
    if dump is not None:
        monkeypatch.setattr(companion.serialize, "dump_msgpack", dump)
        monkeypatch.setattr(companion.serialize, "dump_msgpack_lightweight_repr", light)
    ns = recording.module(SHAPES)
    direct = recorded(recording, ns["main"], direct=True, config=config)
    through_dict = recorded(recording, ns["main"], direct=False, config=config)
    assert [r[:2] for r in direct] == [r[:2] for r in through_dict]
    assert direct == through_dict
    names = {r[0] for r in direct}
    assert {
        "bump",
        "make_counter",
        "unbinds",
        "reads_own_locals",
        "gen",
        "many",
        "Body",
        "<module>",
        "gen_changing",
        "gen_peeks",
        "coro",
        "__await__",
        "gen_abandoned",
        "gen_thrown",
        "scalars",
    } <= names
    # The orders that differ from a fresh listing are there: a closure's free variables
    # come before a later local, and locals() data planted by the code itself is kept.
    # From 3.13 on, f_locals is a view made afresh at each reading: the code's slot order.
    bump_return = [r for r in direct if r[:2] == ("bump", "return")][0]
    assert [list(p) for p in msgpack.unpackb(bump_return[3], object_pairs_hook=list)] == (
        [["times", 2], ["_", 1], ["count", 6], ["step", 3]]
        if sys.version_info >= (3, 13)
        else [["times", 2], ["count", 6], ["step", 3], ["_", 1]]
    )
    planted = [r for r in direct if r[:2] == ("writes_own_f_locals", "return")][0]
    assert b"planted" in planted[3]


def random_function(rng, index):
    """Source of a function f<index>, made by make_f<index>(), that binds, deletes and
    captures its own variables and its maker's in a random order."""
    names = [f"v{i}" for i in range(rng.randint(1, 8))]
    outer = [f"o{i}" for i in range(rng.randint(0, 3))]
    args = rng.sample(names, rng.randint(0, len(names)))
    captured = rng.sample(names, rng.randint(0, min(3, len(names))))
    shared = rng.sample(outer, rng.randint(0, len(outer)))  # rebound or deleted, not only read
    body = [f"nonlocal {', '.join(shared)}"] if shared else []
    body += [f"_ = ({', '.join(outer)},)"] if outer else []
    bound = set(args)
    for _ in range(rng.randint(1, 10)):
        name = rng.choice(names + shared)
        roll = rng.random()
        if roll < 0.5:
            body.append(f"{name} = {rng.randint(0, 9)}")
            bound.add(name)
        elif roll < 0.7 and name in bound:
            body.append(f"del {name}")
            bound.discard(name)
        elif roll < 0.85:
            body.append(f"if flag: {name} = 'x'")
        else:
            body.append("helper()")
    if captured:
        body.append(f"inner = lambda: ({', '.join(captured)},)")
    if rng.random() < 0.4:  # a generator: suspended between some of the statements
        for at in sorted(rng.sample(range(len(body) + 1), rng.randint(1, 3)), reverse=True):
            body.insert(at, "yield")
    body.append("return flag")
    lines = [f"def make_f{index}():"] + [f"    {name} = {i}" for i, name in enumerate(outer)]
    lines.append(f"    def f{index}(flag, {', '.join(args)}):")
    lines += ["        " + line for line in body]
    lines.append(f"    return f{index}")
    return "\n".join(lines), len(args)


def test_random_functions_same_bytes(recording, companion, monkeypatch):
    monkeypatch.setattr(companion.serialize, "dump_msgpack", REAL_DUMP)
    rng = random.Random(1234)
    sources, calls = ["def helper():\n    return 0"], []
    for index in range(80):
        source, arity = random_function(rng, index)
        sources.append(source)
        call = f"make_f{index}()({rng.random() < 0.5}, {', '.join(['1'] * arity)})"
        if "yield" in source:
            call = f"list({call})"
        calls.append(f"    try:\n        {call}\n    except NameError:\n        pass")
    program = "\n\n".join(sources) + "\n\ndef main():\n" + "\n".join(calls) + "\n"
    ns = recording.module(program)
    direct = recorded(recording, ns["main"], direct=True)
    through_dict = recorded(recording, ns["main"], direct=False)
    assert len(direct) > 200
    assert direct == through_dict


@pytest.mark.skipif(not SUPPORTED, reason="variables are always read through f_locals here")
def test_recording_keeps_no_old_values_alive(recording):
    """A dict of the variables made at the call would keep the first argument alive after
    the function dropped it; read straight from the frame, it goes when the code lets go."""
    ns = recording.module(
        textwrap.dedent("""\
        import gc, weakref

        class Thing:
            pass

        def drops(thing):
            ref = weakref.ref(thing)
            thing = None
            gc.collect()
            return ref() is None

        def main():
            return drops(Thing())
    """)
    )
    assert ns["main"]() is True  # unprofiled
    _sarv_testing.set_direct_locals(True)
    result, trace, _ = recording.run(ns["main"], native=_sarv_testing)
    assert result is True
    assert [r["event"] for r in trace.named(trace.records, "drops")] == ["call", "return"]
    _sarv_testing.set_direct_locals(False)
    try:
        result, _, _ = recording.run(ns["main"], native=_sarv_testing)
    finally:
        _sarv_testing.set_direct_locals(True)
    # The old way on 3.11: the dict made at the call stays on the frame and holds it. (From
    # 3.13 on, f_locals is a view: what it gives is dropped with the record.)
    assert result is (sys.version_info >= (3, 13))


def test_generators_run_as_without_the_profiler(recording):
    """The names-only dict kept on a suspended frame never shows: reading f_locals, inside
    or from outside, gives the values."""
    ns = recording.module(SHAPES)
    expected = ns["generators"]()
    result, trace, _ = recording.run(ns["generators"], native=_sarv_testing)
    assert result == expected
    assert [5, 2] in result or [1, 5] in result  # the closure generator ran
    assert [1, 2] in result  # gen_peeks read x = 2 through its own f_locals

    ns = recording.module(
        textwrap.dedent("""\
        def walk(n):
            total = 0
            for i in range(n):
                total += i
                yield i

        def start():
            g = walk(3)
            next(g)
            next(g)
            return g
    """)
    )
    g, trace, _ = recording.run(ns["start"], native=_sarv_testing)
    assert [r["locals"] for r in trace.named(trace.records, "walk")][-1] == {"n": 3, "total": 1, "i": 1}
    assert g.gi_frame.f_locals == {"n": 3, "total": 1, "i": 1}
    assert list(g) == [2]
