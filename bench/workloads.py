"""Workloads the benchmark runs: user code of several shapes, stdlib-heavy code, threads."""

from __future__ import annotations

import ast
import dataclasses
import difflib
import fractions
import json
import textwrap
import threading


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def recursive_fib():
    return fib(18)


class Vector:
    def __init__(self, x, y):
        self.x = x
        self.y = y

    def add(self, other):
        return Vector(self.x + other.x, self.y + other.y)

    def scaled(self, k):
        return Vector(self.x * k, self.y * k)

    def norm2(self):
        return self.x * self.x + self.y * self.y


def method_calls():
    total = Vector(0, 0)
    for i in range(1500):
        total = total.add(Vector(i, -i).scaled(2))
    return total.norm2()


def numbers(n):
    for i in range(n):
        yield i


def squares(items):
    for i in items:
        yield i * i


def evens(items):
    for i in items:
        if i % 2 == 0:
            yield i


def generator_pipeline():
    return sum(evens(squares(numbers(3000))))


def make_counter(step):
    count = 0

    def bump(times):
        nonlocal count
        for _ in range(times):
            count += step
        return count

    return bump


def closures():
    total = 0
    for step in range(1, 1500):
        total += make_counter(step)(2)
    return total


TEXT = "sarv records the calls of your own code and leaves the libraries out. " * 20
SOURCE = textwrap.dedent(
    """
    def area(w, h):
        return w * h

    class Box:
        def __init__(self, w, h):
            self.w, self.h = w, h
    """
)


def stdlib_heavy():
    out = []
    for i in range(10):
        doc = {"id": i, "tags": ["a", "b", str(i)], "ratio": i / 7}
        out.append(json.loads(json.dumps(doc)))
        out.append(textwrap.fill(TEXT, width=60 + i))
        out.append(sum(fractions.Fraction(k, i + 1) for k in range(10)))
        out.append(ast.dump(ast.parse(SOURCE)))
    out.append(difflib.SequenceMatcher(None, TEXT[:400], TEXT[5:405]).ratio())
    return out


def mixed_user():
    fib(14)
    method_calls()
    generator_pipeline()


def four_threads():
    threads = [threading.Thread(target=mixed_user) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def same_work_one_thread():
    for _ in range(4):
        mixed_user()


# Ordinary code: methods on objects that hold lists, dicts and sets; a memo dict keyed by
# tuples; dataclass instances in lists; nested records. Every recorded event carries such
# values in its locals (self, arguments, results).


class Inventory:
    def __init__(self):
        self.items = []
        self.by_name = {}
        self.tags = set()
        self.count = 0

    def add(self, name, qty, tags):
        item = {"name": name, "qty": qty, "tags": list(tags)}
        self.items.append(item)
        self.by_name[name] = item
        self.tags.update(tags)
        self.count += 1
        return item

    def find(self, name):
        return self.by_name.get(name)

    def total(self):
        return sum(item["qty"] for item in self.items)


def objects_with_containers():
    inv = Inventory()
    for i in range(300):
        inv.add("item%d" % (i % 60), i, ("t%d" % (i % 5), "all"))
        inv.find("item%d" % (i % 7))
    return inv.total()


def grid_paths(r, c, memo):
    if r == 0 or c == 0:
        return 1
    key = (r, c)
    if key in memo:
        return memo[key]
    found = grid_paths(r - 1, c, memo) + grid_paths(r, c - 1, memo)
    memo[key] = found
    return found


def memo_by_tuples():
    total = 0
    for n in range(2, 14):
        total += grid_paths(n, n, {})
    return total


@dataclasses.dataclass
class Order:
    id: int
    customer: str
    lines: list
    paid: bool = False


def order_total(order):
    return sum(qty * price for qty, price in order.lines)


def pay(orders, limit):
    paid = []
    for order in orders:
        if order_total(order) <= limit:
            order.paid = True
            paid.append(order.id)
    return paid


def dataclasses_in_lists():
    orders = [Order(i, "c%d" % (i % 9), [(k + 1, 2.5) for k in range(i % 4)]) for i in range(200)]
    paid = []
    for limit in range(0, 40, 8):
        paid.extend(pay(orders, limit))
    return len(paid)


def normalise(record):
    out = {"id": record["id"], "name": record["name"].strip().lower()}
    out["address"] = dict(record["address"])
    out["scores"] = [s for s in record["scores"] if s is not None]
    return out


def summarise(records):
    by_city = {}
    for r in records:
        by_city.setdefault(r["address"]["city"], []).append(r["id"])
    return by_city


def nested_records():
    raw = [
        {
            "id": i,
            "name": " Name%d " % i,
            "address": {"city": "c%d" % (i % 6), "zip": "%05d" % i},
            "scores": [i, None, i * 2],
        }
        for i in range(300)
    ]
    cleaned = [normalise(r) for r in raw]
    return summarise(cleaned)


ORDINARY = {
    "objects with lists and dicts": objects_with_containers,
    "memo dict keyed by tuples": memo_by_tuples,
    "dataclasses in lists": dataclasses_in_lists,
    "nested records": nested_records,
}


WORKLOADS = {
    "recursive fib": recursive_fib,
    "method calls": method_calls,
    "generator pipeline": generator_pipeline,
    "closures": closures,
    "stdlib-heavy": stdlib_heavy,
    "4 threads": four_threads,
    "same work, 1 thread": same_work_one_thread,
    **ORDINARY,
}
