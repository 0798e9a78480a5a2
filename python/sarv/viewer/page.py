"""Builds the HTML page of a trace from the sources in static/."""

from __future__ import annotations

import html
import os
import stat

from sarv.utils import open_private
from sarv.viewer.data import packed_text, page_data, stored_page_data

__all__ = ["SCRIPTS", "build_page", "page_parts", "stored_page_data", "write_page"]

_STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")

# In this order: each script uses only what the ones before it define.
SCRIPTS = ("format.js", "codec.js", "model.js", "timeline.js", "calltree.js", "hotlist.js", "detail.js", "app.js")


def _source(name: str) -> str:
    with open(os.path.join(_STATIC, name), encoding="utf-8") as stream:
        return stream.read()


def _script_text(text: str) -> str:
    # Our own sources never hold this, but a script element would end there.
    if "</script" in text.lower():
        raise ValueError("a viewer script contains '</script'")
    return text


def page_parts(structure: dict, values: list):
    """The page as pieces of text, in order: the structure compressed, then
    the values' chunks (base64 of zlib streams) one line each, so that a
    large page is written without being joined first."""
    scripts = "\n".join("// ---- %s\n%s" % (name, _script_text(_source(name))) for name in SCRIPTS)
    fill = {
        "title": lambda: [html.escape("sarv %s" % structure["header"]["trace_id"])],
        "style": lambda: [_source("style.css")],
        "trace": lambda: [packed_text(structure)],
        "values": lambda: (line + "\n" if i + 1 < len(values) else line for i, line in enumerate(values)),
        "script": lambda: [scripts],
    }
    parts = _source("page.html").split("{{")
    yield parts[0]
    for part in parts[1:]:
        key, _, rest = part.partition("}}")
        yield from fill[key]()
        yield rest


def build_page(document: dict) -> str:
    """The whole page of a decoded trace document, as text."""
    return "".join(page_parts(*page_data(document)))


def write_page(structure: dict, values: list, path: str) -> None:
    """Writes the page to `path` (see `write_private_text`)."""
    write_private_text(path, page_parts(structure, values))


def write_private_text(path: str, parts) -> None:
    """Writes the texts `parts` to `path` through a temporary file, so that a page open
    in a browser is never seen half written. A page holds the program's values: a new
    file is its owner's only (0600), a file written again keeps the mode of the one it
    replaces."""
    temporary = "%s.%d.tmp" % (path, os.getpid())
    try:
        try:
            os.unlink(temporary)  # left by an earlier run: made anew, with our mode
        except FileNotFoundError:
            pass
        with open_private(temporary, "w", encoding="utf-8", newline="\n") as stream:
            stream.writelines(parts)
        try:
            os.chmod(temporary, stat.S_IMODE(os.stat(path).st_mode))
        except FileNotFoundError:
            pass
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
