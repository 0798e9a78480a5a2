"""Two traces in one self-contained page: the call trees aligned side by side, the
differences marked, the first one opened.

The page holds the aligned calls that lead to each difference described (their
callers, and the calls beside them, folded where a long run of them went the
same way), not every call of two long traces. Its sources are plain files in
static/; the value formatting is the trace viewer's own (sarv/viewer/static/
format.js). Values reach the page only as text nodes.
"""

from __future__ import annotations

import html
import json
import os

from sarv.diff import compare

__all__ = ["diff_page", "write_diff_page"]

_STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
_VIEWER_STATIC = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "viewer", "static")
_ROWS = 20_000  # rows of the aligned trees at most
_FOLD = 12  # a run of longer than this many calls that went the same way is one row
_VALUE_CHARS = 20_000  # a value whose JSON is longer is shown as its short text


def _source(folder: str, name: str) -> str:
    with open(os.path.join(folder, name), encoding="utf-8") as stream:
        return stream.read()


def _value(value):
    from sarv.views.export import jsonable
    from sarv.views.text import format_value

    plain = jsonable(value)
    if len(json.dumps(plain)) > _VALUE_CHARS:
        return format_value(value, 400)
    return plain


def _record(record) -> dict | None:
    if not isinstance(record, dict):
        return None
    keep = ("path", "arg", "locals", "end", "exception", "type", "node_id", "outcome")
    return {k: _value(record[k]) for k in keep if k in record}


class _Builder:
    def __init__(self, result) -> None:
        self.pairs, self.keys, self.side_a, self.side_b = result.aligned
        self.rows = 0
        self.cut = False
        # Pairs on the way to a difference: (pair number, a, b) -> difference numbers
        self.marks: dict = {}
        self.wanted: set = set()
        for number, difference in enumerate(result.differences):
            thread_pair, a, b = difference.nodes
            if thread_pair is None:
                continue
            self.marks.setdefault((thread_pair, a, b), []).append(number)
            for ca, cb in difference.event.chain():
                self.wanted.add((thread_pair, ca, cb))

    _DEPTH = 150  # levels of calls opened on the way to a difference, at most

    def thread(self, number: int, pair) -> dict:
        tree = {
            "name": pair.name,
            "only": None if pair.a is not None and pair.b is not None else "a" if pair.b is None else "b",
        }
        if tree["only"]:
            thread = pair.a if pair.a is not None else pair.b
            tree["rows"] = [self._single(number, thread, node, tree["only"]) for node in thread.kids(-1)[:_FOLD]]
            return tree
        tree["rows"] = self._children(number, pair, -1, -1, 0)
        return tree

    def _name(self, thread, node) -> str:
        return self.keys.describe(thread.fn[node])["name"]

    def _single(self, number, thread, node, side) -> dict:
        self.rows += 1
        return {
            "name": self._name(thread, node),
            "where": self.keys.describe(thread.fn[node])["path"],
            "state": "only-" + side,
            "time": [None, None] if thread is None else self._times(side, thread, node),
            "below": _below(thread, node),
            "marks": self.marks.get((number, node if side == "a" else None, node if side == "b" else None), []),
        }

    def _times(self, side, thread, node):
        spent = max(thread.end[node] - thread.start[node], 0.0)
        return [spent, None] if side == "a" else [None, spent]

    def _children(self, number, pair, parent_a, parent_b, depth) -> list:
        ta, tb = pair.a, pair.b
        out: list = []
        run: list = []  # calls that went the same way, not yet shown

        def flush() -> None:
            if len(run) > _FOLD:
                out.extend(self._row(number, pair, a, b, depth) for a, b in run[:2])
                self.rows += 1
                out.append({"fold": len(run) - 4})
                out.extend(self._row(number, pair, a, b, depth) for a, b in run[-2:])
            else:
                out.extend(self._row(number, pair, a, b, depth) for a, b in run)
            run.clear()

        for a, b in compare.align_children(ta, tb, parent_a, parent_b):
            if self.rows >= _ROWS:
                self.cut = True
                break
            if a is None or b is None:
                flush()
                if a is None:
                    out.append(self._single(number, tb, b, "b"))
                else:
                    out.append(self._single(number, ta, a, "a"))
                continue
            interesting = (number, a, b) in self.marks or (number, a, b) in self.wanted
            if not interesting and ta.subtree[a] == tb.subtree[b] and ta.subtree[a] != 0:
                run.append((a, b))
                continue
            flush()
            out.append(self._row(number, pair, a, b, depth))
        flush()
        return out

    def _row(self, number, pair, a, b, depth) -> dict:
        ta, tb = pair.a, pair.b
        self.rows += 1
        same = ta.subtree[a] == tb.subtree[b] and ta.subtree[a] != 0
        own = ta.call_hash[a] == tb.call_hash[b] and ta.ret_hash[a] == tb.ret_hash[b]
        row = {
            "name": self._name(ta, a),
            "where": self.keys.describe(ta.fn[a])["path"],
            "state": "same" if same else ("inner" if own else "changed"),
            "time": [max(ta.end[a] - ta.start[a], 0.0), max(tb.end[b] - tb.start[b], 0.0)],
            "below": _below(ta, a),
            "marks": self.marks.get((number, a, b), []),
        }
        if (number, a, b) in self.wanted and depth < self._DEPTH:
            row["open"] = True
            row["kids"] = self._children(number, pair, a, b, depth + 1)
        elif not same and (ta.kids(a) or tb.kids(b)):
            row["later"] = True  # calls inside it differ, past the differences described
        return row


def _below(thread, node) -> int:
    total, stack = 0, list(thread.kids(node))
    while stack and total < 1_000_000:
        n = stack.pop()
        total += 1
        stack.extend(thread.kids(n))
    return total


def _side(side) -> dict:
    return {
        "trace_id": side.trace_id,
        "test": side.test,
        "outcome": side.outcome,
        "command": side.command,
        "records": side.records,
    }


def page_data(result) -> dict:
    """What the page shows, as JSON data."""
    if result.aligned is None:
        raise ValueError("the result was made without keep_aligned=True")
    builder = _Builder(result)
    threads = [builder.thread(number, pair) for number, pair in enumerate(builder.pairs)]
    differences = []
    for difference in result.differences:
        differences.append(
            {
                "kind": difference.kind,
                "text": difference.text,
                "function": difference.function,
                "where": difference.where,
                "thread": difference.thread,
                "callers": difference.callers,
                "changes": [
                    {"path": c.path, "a": _change_value(c.a), "b": _change_value(c.b)} for c in difference.changes
                ],
                "a": [_record(r) for r in difference.a] if difference.a else None,
                "b": [_record(r) for r in difference.b] if difference.b else None,
            }
        )
    return {
        "a": _side(result.a),
        "b": _side(result.b),
        "same": result.same,
        "count": result.count,
        "added": result.added,
        "removed": result.removed,
        "changed": result.changed,
        "notes": result.notes,
        "more": result.more,
        "cut": builder.cut,
        "threads": threads,
        "differences": differences,
        "functions": [
            {
                "name": f.name,
                "calls": [f.calls_a, f.calls_b],
                "seconds": [f.seconds_a, f.seconds_b],
                "added": f.added,
                "removed": f.removed,
                "changed": f.changed,
            }
            for f in result.functions[:200]
        ],
    }


def _change_value(value):
    from sarv.diff.values import ABSENT

    return {"absent": True} if value is ABSENT else {"value": _value(value)}


def _script(text: str) -> str:
    # In JSON a "<" is only ever inside a text, where \u003c means the same; the script
    # element then holds no "</script" nor "<!--", whatever the values say.
    return text.replace("<", "\\u003c")


def diff_page(result) -> str:
    """The whole page, as text."""
    data = json.dumps(page_data(result), ensure_ascii=False, separators=(",", ":"), allow_nan=False)
    script = "\n".join([_source(_VIEWER_STATIC, "format.js"), _source(_STATIC, "diff.js")])
    if "</script" in script.lower():
        raise ValueError("a page script contains '</script'")
    page = _source(_STATIC, "diff.html")
    title = "sarv diff %s %s" % (result.a.trace_id or "A", result.b.trace_id or "B")
    return (
        page.replace("{{title}}", html.escape(title))
        .replace("{{style}}", _source(_STATIC, "diff.css"))
        .replace("{{script}}", script)
        .replace("{{data}}", _script(data))
    )


def write_diff_page(result, path: str) -> None:
    """Writes the page to `path`, through a temporary file; a new file is its owner's
    only (the page holds the program's values)."""
    from sarv.viewer.page import write_private_text

    write_private_text(path, [diff_page(result)])
