"""Two traces' call trees aligned thread by thread, and where they differ.

Threads are paired by name, in the order they first appear (native ids differ
from run to run). Within a thread, the calls each activation made are aligned
by function and arguments, as a text diff aligns lines: the calls of both runs
in the same order are paired, calls made in one run only are left unpaired,
and where one run made other calls than the other at the same place, those of
the same function are paired in order (their arguments differ). Paired calls'
own calls are aligned in turn.

Walking the aligned trees in the order things happened gives the differences
in that order: a call made in one run only, a call whose arguments differ, a
call that returned, raised or left other locals, a plugin record (a test's end
and its outcome) that differs.
"""

from __future__ import annotations

import collections
import dataclasses
import difflib
import itertools
import operator

__all__ = ["Event", "ThreadPair", "align_children", "pair_threads", "walk_pair"]

# Past this many pairs a middle stretch of calls is aligned in order rather than by a
# longest common subsequence (which costs their product).
_MATCH_LIMIT = 4_000_000

ONLY_A, ONLY_B, CALL, RETURN, RECORD = "only_a", "only_b", "call", "return", "record"


@dataclasses.dataclass
class ThreadPair:
    name: str
    a: object  # ThreadCalls, or None when only the other run has the thread
    b: object


@dataclasses.dataclass
class Event:
    """One difference of an aligned walk: `kind` (ONLY_A, ONLY_B, CALL, RETURN or
    RECORD), the nodes on each side (None for the side without it), and the paired
    callers (`chain()`: pairs of nodes, the outermost first)."""

    kind: str
    a: int | None
    b: int | None
    callers: tuple | None  # (innermost pair, its callers) or None

    def chain(self) -> list:
        out, link = [], self.callers
        while link is not None:
            out.append(link[0])
            link = link[1]
        out.reverse()
        return out


def pair_threads(a_threads: list, b_threads: list) -> list:
    """ThreadPair items: threads of the same name paired in their order; those of
    one run only are paired with None."""
    queues: dict = collections.defaultdict(collections.deque)
    for thread in b_threads:
        queues[thread.name].append(thread)
    pairs = []
    for thread in a_threads:
        queue = queues.get(thread.name)
        other = queue.popleft() if queue else None
        pairs.append(ThreadPair(thread.name, thread, other))
    for thread in b_threads:
        queue = queues.get(thread.name)
        if queue and thread in queue:
            queue.remove(thread)
            pairs.append(ThreadPair(thread.name, None, thread))
    return pairs


def align_children(ta, tb, a: int, b: int, same: bool = True) -> list:
    """(a node or None, b node or None) in the order of the runs: the calls that node a
    of ta and node b of tb made (-1: the threads' top), aligned. Without `same`, pairs
    of calls that went the same way throughout (their subtrees' hashes match) are left
    out where the runs agree."""
    # (a loop of a million turns makes as many calls: what is done for each is done on
    # arrays, by slices, map and zip, not by a Python loop)
    kids_a, fns_a, hashes_a, subs_a = ta.kid_columns(a)
    kids_b, fns_b, hashes_b, subs_b = tb.kid_columns(b)
    keys_a, keys_b = (fns_a, hashes_a), (fns_b, hashes_b)
    start = _common_prefix(keys_a, keys_b)
    la, lb = len(kids_a), len(kids_b)
    tail = _common_prefix([k[start:][::-1] for k in keys_a], [k[start:][::-1] for k in keys_b])
    end_a, end_b = la - tail, lb - tail
    out = _paired(kids_a[:start], kids_b[:start], subs_a[:start], subs_b[:start], same)
    mid_a, mid_b = kids_a[start:end_a], kids_b[start:end_b]
    if len(mid_a) * len(mid_b) <= _MATCH_LIMIT:
        pairs_a = list(zip(fns_a[start:end_a], hashes_a[start:end_a]))
        pairs_b = list(zip(fns_b[start:end_b], hashes_b[start:end_b]))
        matcher = difflib.SequenceMatcher(None, pairs_a, pairs_b, autojunk=False)
        for tag, i1, i2, j1, j2 in matcher.get_opcodes():
            if tag == "equal":
                out.extend(zip(mid_a[i1:i2], mid_b[j1:j2]))
            else:
                out.extend(_by_function(ta, tb, mid_a[i1:i2], mid_b[j1:j2]))
    else:
        out.extend(_by_function(ta, tb, mid_a, mid_b))
    out.extend(_paired(kids_a[end_a:], kids_b[end_b:], subs_a[end_a:], subs_b[end_b:], same))
    return out


def _common_prefix(x, y) -> int:
    """How many items the sequences of x and of y begin with alike (x[0] with y[0],
    x[1] with y[1], ...), compared a block at a time."""
    limit, start = min(len(x[0]), len(y[0])), 0
    while start < limit:
        end = min(start + 4096, limit)
        if any(a[start:end] != b[start:end] for a, b in zip(x, y)):
            while all(a[start] == b[start] for a, b in zip(x, y)):
                start += 1
            return start
        start = end
    return limit


def _paired(nodes_a, nodes_b, subs_a, subs_b, same: bool) -> list:
    """The nodes paired in order; without `same`, those whose subtrees' hashes match
    (and are known) left out, a block of them at a time where they all do."""
    if same:
        return list(zip(nodes_a, nodes_b))
    out: list = []
    for start in range(0, len(nodes_a), 4096):
        block_a, block_b = subs_a[start : start + 4096], subs_b[start : start + 4096]
        if block_a == block_b and 0 not in block_a:
            continue
        differ = map(operator.or_, map(operator.ne, block_a, block_b), map(operator.not_, block_a))
        out.extend(itertools.compress(zip(nodes_a[start : start + 4096], nodes_b[start : start + 4096]), differ))
    return out


def _by_function(ta, tb, nodes_a, nodes_b) -> list:
    """Calls that differ in their arguments: those of the same function paired in
    order, the rest of one run only."""
    fa, fb = ta.fn, tb.fn
    keys_a = [fa[n] for n in nodes_a]
    keys_b = [fb[n] for n in nodes_b]
    out = []
    if len(keys_a) * len(keys_b) <= _MATCH_LIMIT:
        opcodes = difflib.SequenceMatcher(None, keys_a, keys_b, autojunk=False).get_opcodes()
    else:
        same = 0
        while same < min(len(keys_a), len(keys_b)) and keys_a[same] == keys_b[same]:
            same += 1
        opcodes = [("equal", 0, same, 0, same), ("replace", same, len(keys_a), same, len(keys_b))]
    for tag, i1, i2, j1, j2 in opcodes:
        if tag == "equal":
            out.extend(zip(nodes_a[i1:i2], nodes_b[j1:j2]))
        else:
            out.extend((n, None) for n in nodes_a[i1:i2])
            out.extend((None, n) for n in nodes_b[j1:j2])
    return out


def walk_pair(pair: ThreadPair, on_event) -> None:
    """Walks the aligned trees of a thread pair in the order of the runs, calling
    `on_event(Event)` at each difference. Paired calls that went the same way
    throughout (their subtrees' hashes match) are not walked into."""
    ta, tb = pair.a, pair.b
    if ta is None or tb is None:
        thread = ta if ta is not None else tb
        for node in thread.kids(-1):
            on_event(Event(ONLY_A, node, None, None) if tb is None else Event(ONLY_B, None, node, None))
        return
    # Each entry: the pairs left to visit under one pair of callers, and those callers.
    stack = [(iter(align_children(ta, tb, -1, -1, same=False)), None, None)]
    while stack:
        pending, callers, returning = stack[-1]
        step = next(pending, None)
        if step is not None:
            inner = _visit(ta, tb, step, callers, on_event)
            if inner is not None:
                stack.append(inner)
            continue
        stack.pop()
        if returning is not None and ta.ret_hash[returning[0]] != tb.ret_hash[returning[1]]:
            on_event(Event(RETURN, returning[0], returning[1], callers[1]))


def _visit(ta, tb, step: tuple, callers, on_event):
    """One aligned pair of the walk: its events, and the entry of the walk's stack for the
    calls it made, when it is walked into."""
    a, b = step
    if b is None or a is None:
        on_event(Event(ONLY_A, a, None, callers) if b is None else Event(ONLY_B, None, b, callers))
        return None
    if ta.subtree[a] == tb.subtree[b] and ta.subtree[a] != 0:
        return None
    if a in ta.plugins:
        if ta.call_hash[a] != tb.call_hash[b]:
            on_event(Event(RECORD, a, b, callers))
        return None
    if ta.call_hash[a] != tb.call_hash[b]:
        on_event(Event(CALL, a, b, callers))
    if len(ta.kids(a)) or len(tb.kids(b)):
        return iter(align_children(ta, tb, a, b, same=False)), ((a, b), callers), (a, b)
    if ta.ret_hash[a] != tb.ret_hash[b]:
        on_event(Event(RETURN, a, b, callers))
    return None
