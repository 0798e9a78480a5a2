"""Builds the HTML page of a trace from the sources in static/."""

from __future__ import annotations

import html
import os

from sarv.viewer.data import dumps, page_data

__all__ = ["SCRIPTS", "build_page", "write_page"]

_STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")

# In this order: each script uses only what the ones before it define.
SCRIPTS = ("format.js", "model.js", "timeline.js", "calltree.js", "hotlist.js", "detail.js", "app.js")


def _source(name: str) -> str:
    with open(os.path.join(_STATIC, name), encoding="utf-8") as stream:
        return stream.read()


def _script_text(text: str) -> str:
    # Our own sources never hold this, but a script element would end there.
    if "</script" in text.lower():
        raise ValueError("a viewer script contains '</script'")
    return text


def build_page(document: dict) -> str:
    """The whole page of a decoded trace document, as text."""
    structure, values = page_data(document)
    scripts = "\n".join("// ---- %s\n%s" % (name, _script_text(_source(name))) for name in SCRIPTS)
    title = "sarv %s" % structure["header"]["trace_id"]
    parts = _source("page.html").split("{{")
    out = [parts[0]]
    fill = {
        "title": lambda: html.escape(title),
        "style": lambda: _source("style.css"),
        "trace": lambda: dumps(structure),
        "values": lambda: "\n".join(values),
        "script": lambda: scripts,
    }
    for part in parts[1:]:
        key, _, rest = part.partition("}}")
        out.append(fill[key]())
        out.append(rest)
    return "".join(out)


def write_page(document: dict, path: str) -> None:
    """Writes the page to `path` (through a temporary file, so that a page
    open in a browser is never seen half written)."""
    text = build_page(document)
    temporary = "%s.%d.tmp" % (path, os.getpid())
    try:
        with open(temporary, "w", encoding="utf-8", newline="\n") as stream:
            stream.write(text)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
