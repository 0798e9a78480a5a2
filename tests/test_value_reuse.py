"""Encoded values kept and reused: a program recorded with reuse on gives the records it gives
with reuse off, byte for byte, while it changes its values between and during events in
every way that could leave kept bytes stale."""

import sys
import textwrap
import threading

import msgpack

import sarv.serialize
from sarv import _sarv_testing

from conftest import record_parts

REAL_DUMP = sarv.serialize.dump_msgpack  # (the recording fixture puts another in its place)

PROGRAM = textwrap.dedent("""\
    class Store:
        def __init__(self):
            self.items = []
            self.by_name = {}
            self.count = 0

        def add(self, name, qty):
            item = {"name": name, "qty": qty, "tags": ["t", name], "more": {"q": [qty]}}
            self.items.append(item)
            self.by_name[name] = item
            self.count += 1
            return item

        def look(self, name):
            return self.by_name.get(name)

    class Point:
        def __init__(self, x, y):
            self.x = x
            self.y = y

    class Other:
        pass

    def observe(value, extra=None):
        return value

    def during(value):  # another thread changes `value` while this call is recorded
        return value

    def between_events(s):
        for i in range(40):
            s.add("n%d" % (i % 7), i)  # new keys, values replaced under old keys
            s.look("n%d" % (i % 5))  # nothing changed since the last event
            observe(s.items)
        items = s.items
        items[3] = dict(items[3])  # an equal dict in its place
        observe(s)
        items[3]["qty"] = -1
        observe(s)
        items[3]["tags"].append("late")  # under a depth marker, then not
        observe(s)
        observe({"deep": items[3]})
        items[4] = "text"  # a list item replaced in place
        observe(s)
        items.sort(key=str)  # the same items in another order
        observe(s)
        del items[10:]
        observe(s.items)
        items[5]["tags"][0] = 7  # a nested list changed in place
        observe(s.items)

    def freed_and_made_again():
        # Each round's values die before the next round's are made: the same addresses
        # come back for other values.
        for i in range(60):
            p = Point(i, [i, str(i)])
            observe(p)
            observe([p, (p, i)])
            del p
            d = {"k": i % 3, "l": [i % 2], "s": "x" * (i % 4)}
            observe(Point(d, None))
            del d
            seq = [i % 5, "y", (i % 2, [i % 3])]
            observe(Point(seq, seq))
            del seq
        # Items replaced in place, each by a new value made after the old one died.
        texts = ["start", 10**6, 0.5, b"b"]
        holder = Point(texts, (texts,))
        for i in range(60):
            observe(holder)
            texts[0] = None
            texts[0] = "text%d" % (i % 3)
            texts[1] = None
            texts[1] = 10**6 + i % 3
            texts[2] = None
            texts[2] = 0.5 + i % 3
            texts[3] = None
            texts[3] = b"b%d" % (i % 3)

    def attributes():
        q = Point(1, [2])  # attributes kept inline in the object until its dict is asked for
        observe(q)
        for i in range(60):
            q.x = i  # specialised stores, after the dict was made
            if i % 7 == 0:
                observe(q)
        q.z = "new"
        observe(q)
        del q.z
        observe(q)
        q.__dict__["w"] = [1]
        observe(q)
        q.__class__ = Other
        observe(q)
        r = Point([0], 1)
        observe(r)
        Point.__qualname__ = "Renamed"
        observe(r)
        Point.__module__ = "elsewhere"
        observe(r)
        Point.__qualname__ = "Point"
        Point.__module__ = __name__

    def keyed_by_tuples():
        memo = {}
        for r in range(1, 9):
            for c in range(1, 9):
                memo[(r, c)] = r * c
                observe(memo)
                observe(memo)
        memo[(1, 1)] = -1
        observe(memo)
        memo[(2, ("a", 1.5, None, b"z"))] = 0
        observe(memo)
        observe(memo)

    def sets():
        tags = {"a", "b", 3, (1, "t"), 2.5, b"z", None}
        frozen = frozenset({"f", 1})
        holder = Point(tags, [frozen, (frozen, 1)])
        for i in range(40):
            observe(holder)
            observe(holder)  # nothing changed since the last event
            observe({frozen: tags})
            if i % 4 == 0:
                tags.add("n%d" % i)
            elif i % 4 == 1:
                tags.discard("n%d" % (i - 1))  # a freed slot left where it was
            elif i % 4 == 2:
                tags.discard("a")
                tags.add("a")  # the same items, maybe in other slots
            else:
                tags.discard(i - 4 if i > 4 else 3)
                tags.add(i)  # another item, the same size
                tags.add(str(i) + "x")  # a new text made after the last one died
                tags.discard(str(i) + "x")
        big_set = set(range(300))  # more slots than are kept
        observe(Point(big_set, 0))
        observe(Point(big_set, 0))
        for i in range(30):
            s = {i % 3, "k", (i % 2, "p")}  # each round's set dies before the next is made
            observe(Point(s, s))
            del s
        grown = set()
        for i in range(12):  # the table resized as it grows
            grown.add("g%d" % i)
            observe(Point(grown, None))

    def grown_lists():
        log = [{"i": i} for i in range(97)]
        holder = Point(log, "h")
        for i in range(40):
            log.append({"i": i})  # past the items written, only the count of the others changes
            observe(holder)
            observe(holder)
            if i % 5 == 0:
                log[i] = {"i": -i}  # one of the items written, replaced
            if i % 7 == 0:
                log.pop()
            if i % 9 == 0:
                log.insert(0, "first")  # all the items written move
            if i == 30:
                del log[100:]  # back to the cap: no count of others
        del log[60:]
        observe(holder)

    def many_dicts():
        # More dicts alive and written than stamps are kept for (3.12+: all are dropped at
        # once): those written before, changed after, are written again.
        first = [{"k": i, "l": [i, "x"]} for i in range(8)]
        holder = Point(first, "m")
        observe(holder)
        alive = []
        for r in range(700):
            alive.append(Point([{"r": r, "i": i} for i in range(100)], r))
            observe(alive[-1])
            if r % 100 == 99:
                first[r // 100]["k"] = -r
                observe(holder)
        alive[0].x[5]["r"] = "changed"
        observe(alive[0])
        observe(holder)

    def rows_with_short_lists():
        # The rows' checks are copied into the list's proof when the list is written again
        # around rows kept before: a short list inside a row, changed in place, must fail it.
        # (past the exact form's bound, as big() below)
        rows = [{"id": i, "name": "row number %d" % i, "tags": ["a", i]} for i in range(500)]
        observe(rows)
        for i in range(6):
            rows.append({"id": -i, "tags": []})
            observe(rows)
            rows[i]["tags"][1] = -i
            observe(rows)
            rows[i]["tags"].append(i)
            observe(Point(rows, rows[i]))

    def big():
        # Past the exact form's bound: written by the capped walk, with its budget.
        rows = [{"id": i, "name": "row%d" % i, "vals": [i, i + 1]} for i in range(400)]
        holder = Point(rows, {"n": len(rows)})
        for i in range(12):
            observe(rows)
            observe(holder)
            rows[i * 7]["name"] = "changed%d" % i
            rows[i * 5] = {"id": -i}
        rows.append("tail")
        observe(holder)
        # A value kept with the whole budget, met again where less of it is left.
        small = Point(list(range(150)), {"k": "v" * 900})
        for n in range(28, 33):
            observe(small)
            observe(["f" * 1000] * n, small)

    def main():
        s = Store()
        between_events(s)
        freed_and_made_again()
        attributes()
        keyed_by_tuples()
        sets()
        grown_lists()
        many_dicts()
        rows_with_short_lists()
        big()
        shared = {"a": [1, 2], "b": Point(1, {"c": [3]})}
        for i in range(30):
            CHANGER.step = i  # (a global: its thread's name and id differ from run to run)
            during(shared)
            during([shared, shared["b"]])
            observe(shared)
        return s.count
""")


class Changer:
    """Another thread that changes the shared values during the event: the plugin called at
    each call of during() hands it the step and waits until it is done."""

    def __init__(self):
        self.step = 0
        self.shared = None
        self.go = threading.Semaphore(0)
        self.done = threading.Semaphore(0)
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.stop = False

    def run(self):
        while True:
            self.go.acquire()
            if self.stop:
                return
            shared, i = self.shared, self.step
            if i % 3 == 0:
                shared["a"].append(i)
            elif i % 3 == 1:
                shared["b"].y["c"] = [i]  # a new list in the old one's place
                shared["b"].x = i
            else:
                shared["a"] = [i, i]  # a new list, maybe at the freed one's address
            self.done.release()

    def plugin_call(self, frame, event, arg, context):
        if event != "call":
            return False
        self.shared = frame.f_locals["value"]
        if isinstance(self.shared, list):
            self.shared = self.shared[0]
        self.go.release()
        self.done.acquire()
        return True


def recorded(recording, monkeypatch, reuse):
    program = recording.module(PROGRAM)
    changer = Changer()
    changer.thread.start()
    program["CHANGER"] = changer
    description = {
        "co_names": ["during"],
        "path_fragment": "app/",
        "call_type": "changed",
        "return_type": "returned",
        "call": changer.plugin_call,
        "events": ["call"],
    }
    monkeypatch.setattr(recording.companion.plugins, "load_plugin_data", lambda config: [description])
    monkeypatch.setattr(recording.companion.serialize, "dump_msgpack", REAL_DUMP)
    _sarv_testing.set_value_reuse(reuse)
    try:
        _, trace, _ = recording.run(program["main"], native=_sarv_testing)
    finally:
        _sarv_testing.set_value_reuse(True)
        changer.stop = True
        changer.go.release()
        changer.thread.join()
    out = []
    for raw in trace.raw:
        parts = record_parts(raw)
        if msgpack.unpackb(parts["type"]) == "frame":
            out.append(
                (msgpack.unpackb(parts["co_name"]), msgpack.unpackb(parts["event"]), parts["arg"], parts["locals"])
            )
    return out


def test_values_reused_give_the_bytes_written_without_reuse(recording, monkeypatch):
    if not _sarv_testing.set_value_reuse(True):
        assert hasattr(sys, "_is_gil_enabled") and not sys._is_gil_enabled()  # (no reuse without the GIL)
        return
    kept0, reused0 = _sarv_testing.value_reuse_counts()
    with_reuse = recorded(recording, monkeypatch, True)
    kept1, reused1 = _sarv_testing.value_reuse_counts()
    without = recorded(recording, monkeypatch, False)
    assert _sarv_testing.value_reuse_counts() == (kept1, reused1)  # (off is off)
    assert kept1 - kept0 > 200 and reused1 - reused0 > 500
    assert len(with_reuse) == len(without) > 1500
    for on, off in zip(with_reuse, without):
        assert on == off
    # The values the other thread changed during the event are recorded as changed.
    seen = [msgpack.unpackb(r[3], strict_map_key=False)["value"] for r in with_reuse if r[:2] == ("during", "call")]
    assert seen[0]["a"] == [1, 2, 0] and seen[1][0]["a"] == [1, 2, 0, 0]
