"""A TraceDiff as text for a terminal: the first difference, where it happened and
the values on both sides, then the rest in short, then time per function."""

from __future__ import annotations

from sarv.diff.values import value_text

__all__ = ["chain_text", "render"]

_FUNCTIONS_SHOWN = 12
_CHANGES_SHOWN = 8


def _duration(seconds: float) -> str:
    if seconds < 1e-3:
        return "%.1f µs" % (seconds * 1e6)
    if seconds < 1:
        return "%.2f ms" % (seconds * 1e3)
    return "%.3f s" % seconds


def _side(name: str, side) -> str:
    parts = [side.trace_id or "(document)"]
    if side.test:
        parts.append(side.test)
    elif side.command:
        parts.append(side.command)
    if side.outcome:
        parts.append(side.outcome)
    parts.append("{:,} records".format(side.records))
    return "run %s: %s" % (name, " · ".join(parts))


def render(result, out, show_functions: int = _FUNCTIONS_SHOWN) -> None:
    write = out.write
    write(_side("A", result.a) + "\n")
    write(_side("B", result.b) + "\n")
    for note in result.notes:
        write("note: %s\n" % note)
    if result.a.outcome != result.b.outcome:
        write("outcome: %s -> %s\n" % (result.a.outcome or "(none)", result.b.outcome or "(none)"))
    write("\n")
    if result.same:
        write("The runs went the same way: no difference.\n")
    else:
        _first(result.first, write)
        _rest(result, write, show_functions)
    _times(result, out, show_functions)


def _first(first, write) -> None:
    write("First difference: %s\n" % first.text)
    if first.callers or first.where:
        chain = chain_text(first.callers + [first.function])
        write("  where:  %s%s\n" % (chain, "  (%s)" % first.where if first.where else ""))
    if first.thread and first.thread != "MainThread":
        write("  thread: %s\n" % first.thread)
    for change in first.changes[:_CHANGES_SHOWN]:
        write("  %s\n" % _change_line(change))
    if len(first.changes) > _CHANGES_SHOWN:
        write("  … and %d more values\n" % (len(first.changes) - _CHANGES_SHOWN))
    write("\n")


def _rest(result, write, show_functions: int) -> None:
    """The counts, the next differences, and the functions whose calls differ."""
    write(
        "In all: %s difference%s; calls added %s, removed %s, changed %s.\n"
        % (
            "{:,}".format(result.count),
            "" if result.count == 1 else "s",
            "{:,}".format(result.added),
            "{:,}".format(result.removed),
            "{:,}".format(result.changed),
        )
    )
    following = [d for d in result.differences[1:6]]
    if following:
        write("Next:\n")
        for difference in following:
            write("  - %s\n" % difference.text)
        if result.count > 1 + len(following):
            write("  - … %s more\n" % "{:,}".format(result.count - 1 - len(following)))
    changed = [f for f in result.functions if f.added or f.removed or f.changed]
    if changed:
        write("\nBy function (calls added / removed / changed):\n")
        width = min(max(len(f.name) for f in changed[:show_functions]), 60)
        for f in changed[:show_functions]:
            write("  %-*s  +%s  -%s  ~%s\n" % (width, f.name[:60], f.added, f.removed, f.changed))
        if len(changed) > show_functions:
            write("  … %d more functions\n" % (len(changed) - show_functions))


def chain_text(names: list) -> str:
    """Callers, the outermost first: "main > walk ×400 > visit" (a recursion's run of
    one name said once)."""
    out: list = []
    for name in names:
        if out and out[-1][0] == name:
            out[-1][1] += 1
        else:
            out.append([name, 1])
    return " > ".join(name if count == 1 else "%s ×%d" % (name, count) for name, count in out)


def _change_line(change) -> str:
    return "%s:  %s  ->  %s" % (change.path or "value", value_text(change.a, 70), value_text(change.b, 70))


def _times(result, out, show_functions: int) -> None:
    functions = sorted(result.functions, key=lambda f: -max(f.seconds_a, f.seconds_b))[:show_functions]
    if not functions:
        return
    width = min(max(len(f.name) for f in functions), 60)
    out.write("\nTime per function (calls included):\n")
    out.write("  %-*s  %12s  %12s  %8s  %8s\n" % (width, "function", "A", "B", "calls A", "calls B"))
    for f in functions:
        out.write(
            "  %-*s  %12s  %12s  %8s  %8s\n"
            % (
                width,
                f.name[:60],
                _duration(f.seconds_a),
                _duration(f.seconds_b),
                "{:,}".format(f.calls_a),
                "{:,}".format(f.calls_b),
            )
        )
