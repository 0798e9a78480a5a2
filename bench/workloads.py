"""Workloads the benchmark runs: user code of several shapes, stdlib-heavy code, threads."""

from __future__ import annotations

import ast
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


WORKLOADS = {
    "recursive fib": recursive_fib,
    "method calls": method_calls,
    "generator pipeline": generator_pipeline,
    "closures": closures,
    "stdlib-heavy": stdlib_heavy,
    "4 threads": four_threads,
    "same work, 1 thread": same_work_one_thread,
}
