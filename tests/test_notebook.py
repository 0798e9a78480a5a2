"""%load_ext sarv and %%sarv in a real IPython shell (in a subprocess: the shell is a
process-wide singleton)."""

import os
import subprocess
import sys
import textwrap

import pytest

from sarv import db

SESSION = """
    import sys
    from IPython.testing.globalipapp import start_ipython

    ip = start_ipython()
    ip.run_line_magic("load_ext", "sarv")
    ip.run_cell('''
    def price(n):
        return n * 3
    ''')
    ip.run_cell_magic("sarv", "--db " + sys.argv[1] + " --locals", "total = price(14)\\nprint('total', total)\\n")
    print("namespace", ip.user_ns["total"])
    ip.run_cell_magic("sarv", "--db " + sys.argv[1], "price(1)\\nraise ValueError('in the cell')\\n")
    ip.run_cell_magic("sarv", "--no-such-option", "price(2)")
    import IPython.display  # a terminal shows no HTML: what the notebook would get is printed
    IPython.display.display = lambda obj: print("shown", type(obj).__name__, "<iframe srcdoc=" in obj.data, len(obj.data))
    ip.run_cell_magic("sarv", "--html --db " + sys.argv[1], "price(3)")
"""


def test_cell_magic(tmp_path):
    try:
        import IPython  # noqa: F401
    except ImportError:
        if os.environ.get("CI"):
            raise
        pytest.skip("IPython is not installed")
    path = str(tmp_path / "t.sqlite3")
    script = tmp_path / "session.py"
    script.write_text(textwrap.dedent(SESSION))
    done = subprocess.run(
        [sys.executable, str(script), path], cwd=str(tmp_path), capture_output=True, text=True, timeout=180
    )
    out = done.stdout
    assert done.returncode == 0, out + done.stderr
    assert "total 42" in out and "namespace 42" in out
    first, second, third = db.list_traces(path)[::-1]
    assert (first.source, second.source) == ("notebook", "notebook")
    # The call tree is printed below the cell, with its locals when asked.
    assert "price" in out and "n=14" in out
    assert "trace %s saved" % first.trace_id in out
    assert "the cell raised" in out and "ValueError" in out + done.stderr
    document = db.load_trace_document(path, second.trace_id)
    names = [r.get("co_name") for r in document["frames_of_interest"]]
    assert "price" in names
    assert "usage: %%sarv" in out
    # The viewer's page, inline (in an iframe of its own).
    shown = [line.split() for line in out.splitlines() if line.startswith("shown")]
    assert shown and shown[0][1:3] == ["HTML", "True"] and int(shown[0][3]) > 10000
    assert "Warning" not in done.stderr, done.stderr  # IPython's about HTML that is an iframe
    # The cell of two statements (IPython runs each as a module) is one; its locals are the
    # names it set, not the notebook's (In, Out, _ih, exit, ...), and it has no arguments.
    first_tree = out.split("trace %s saved" % first.trace_id)[0]
    assert first_tree.count("<module>") == 1 and "2 calls" in first_tree, first_tree
    assert "locals at return: total=42" in first_tree
    assert "_ih" not in first_tree and "exit" not in first_tree and "arguments: n=14" in first_tree
    # The page shows the cell as one call too.
    from sarv.viewer.data import stored_page_data

    with db.open_trace(path, first.trace_id) as stored:
        structure, _ = stored_page_data(stored)
    [thread] = structure["threads"]
    names = [structure["texts"][structure["functions"][fn][0]] for fn in thread["fn"]]
    assert names == ["__main__.<module>", "__main__.price"] and thread["depth"] == [0, 1]
