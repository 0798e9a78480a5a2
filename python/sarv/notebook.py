"""IPython and Jupyter: ``%load_ext sarv``, then a cell starting with

    %%sarv [--locals] [--html] [--db PATH] [--threading]

is run under a profiler: its trace is saved (source "notebook") like any
other, and its call tree is shown below the cell (with --html, the viewer's
page as well, inline). The cell's variables stay in the notebook's namespace.
The tree shows the cell as one module (IPython runs its statements one at a
time), and with --locals the names the cell set, not the notebook's own.

The core's table of its own files names this module, so the profiler never
records it: it is on the stack while the cell runs. It stands beside the
command line, above what it uses (the profiler, the views and the page).
"""

from __future__ import annotations

import argparse
import html
import io
import shlex

from sarv.views.text import NotebookNames

__all__ = ["load_ipython_extension", "sarv_cell"]

SOURCE = "notebook"


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="%%sarv", add_help=False)
    parser.add_argument("--locals", action="store_true", help="show arguments, locals and return values")
    parser.add_argument("--html", action="store_true", help="show the viewer's page too")
    parser.add_argument("--db", metavar="PATH", default=None, help="trace database")
    parser.add_argument("--threading", action="store_true", help="also record threads started by the cell")
    return parser


def sarv_cell(shell, line: str, cell: str):
    """Runs `cell` in `shell` under a profiler; returns the Profiler."""
    from sarv import db
    from sarv.config import ConfigError
    from sarv.views.text import render_trace
    from sarv.profiler import profiling

    try:
        options = _parser().parse_args(shlex.split(line))
    except SystemExit:
        print("usage: %%sarv [--locals] [--html] [--db PATH] [--threading]")
        return None
    try:
        profiler = profiling(source=SOURCE, db_path=options.db, threading=options.threading or None)
    except ConfigError as exc:
        print("sarv configuration error: %s" % exc)
        return None
    with profiler:
        result = shell.run_cell(cell, store_history=False)
    document = db.load_trace_document(profiler.db_path, profiler.trace_id)
    out = io.StringIO()
    render_trace(document, out, show_locals=options.locals, fancy=False, hidden_names=_shell_names(shell), cells=True)
    print(out.getvalue(), end="")
    print("trace %s saved to %s" % (profiler.trace_id, profiler.db_path))
    if options.html:
        _show_page(document)
    if result is not None and not result.success:
        print("(the cell raised: its trace goes up to the error)")
    return profiler


def _shell_names(shell) -> NotebookNames:
    return NotebookNames(getattr(shell, "user_ns_hidden", None) or ())


def _show_page(document) -> None:
    from IPython.display import HTML, display

    from sarv.viewer.page import build_page

    page = build_page(document)
    # In an iframe of its own: the page's script and style do not meet the notebook's. (In a
    # div: IPython warns of HTML that begins with an iframe, asking for its IFrame, which
    # takes a URL, not a page.)
    display(
        HTML(
            '<div><iframe srcdoc="%s" style="width:100%%;height:600px;border:1px solid #ccc"></iframe></div>'
            % html.escape(page)
        )
    )


def load_ipython_extension(shell) -> None:
    def sarv(line, cell):
        sarv_cell(shell, line, cell)

    shell.register_magic_function(sarv, magic_kind="cell", magic_name="sarv")
