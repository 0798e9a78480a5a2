"""What any profile hook costs a test suite, beside what sarv costs it: the lower bound of
`pytest --sarv` on interpreters where recording means a profile hook (CPython 3.11).

Three runs of one suite under callgrind (instructions, whatever the machine's load):
bare; with a profile hook written in C that does nothing, set for each test's call phase
only (the least any recorder of the test functions must hook); and `pytest --sarv`. The
no-op hook is compiled here from a few lines of C.

    python bench/hook_floor.py                    packaging's tests/test_markers.py
    python bench/hook_floor.py --tree DIR --tests tests/test_x.py
    python bench/hook_floor.py --wall 3 --tests "tests/test_specifiers.py tests/test_markers.py
        tests/test_requirements.py"       seconds instead, the three kinds alternated, 3 rounds

The default tree is packaging 26.4's sdist as bench/suites.py fetches it, run against the
packaging installed in this interpreter (`pip install packaging==26.4 pretend`), so that
only the test functions are the user's code. A run takes several minutes.

    --sarv-from DIR     run sarv from DIR/sarv (a copy of the package with its built core
                        beside it) instead of the editable install: builds made by others
                        meanwhile change nothing, and two states of the code can be compared
    --keep DIR          keep callgrind's output files in DIR (callgrind_annotate them for
                        where the instructions went)
    --count N           the tests run: sarv's instructions over the no-op hook's, per test
"""

from __future__ import annotations

import argparse
import glob
import os
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time

from callgrind_count import total_instructions

# The editable install's import finder steps aside for a build folder named here, so that a
# package put first on the path is the one imported.
EDITABLE_SKIP = "SKBUILD_EDITABLE_SKIP"

HERE = os.path.dirname(os.path.abspath(__file__))

HOOK_SOURCE = r"""
#include <Python.h>
#include <frameobject.h>
static int nothing(PyObject *obj, PyFrameObject *frame, int what, PyObject *arg) { return 0; }
static PyObject *on(PyObject *m, PyObject *a) { PyEval_SetProfile(nothing, NULL); Py_RETURN_NONE; }
static PyObject *off(PyObject *m, PyObject *a) { PyEval_SetProfile(NULL, NULL); Py_RETURN_NONE; }
static PyMethodDef methods[] = {{"on", on, METH_NOARGS, ""}, {"off", off, METH_NOARGS, ""}, {0}};
static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "noop_hook", NULL, -1, methods};
PyMODINIT_FUNC PyInit_noop_hook(void) { return PyModule_Create(&module); }
"""

PLUGIN_SOURCE = """
import pytest
import noop_hook

@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_call(item):
    noop_hook.on()
    try:
        yield
    finally:
        noop_hook.off()
"""


def build_hook(folder: str) -> None:
    """The no-op hook's extension module and the pytest plugin that sets it, in `folder`."""
    with open(os.path.join(folder, "noop_hook.c"), "w") as f:
        f.write(HOOK_SOURCE)
    with open(os.path.join(folder, "noop_hook_plugin.py"), "w") as f:
        f.write(PLUGIN_SOURCE)
    target = os.path.join(folder, "noop_hook" + sysconfig.get_config_var("EXT_SUFFIX"))
    include = sysconfig.get_paths()["include"]
    subprocess.run(
        ["cc", "-O2", "-shared", "-fPIC", "-I", include, "noop_hook.c", "-o", target], cwd=folder, check=True
    )


def print_seconds(runs: dict, rounds: int, env: dict, work: str) -> int:
    """Each run `rounds` times, the kinds alternated (a fresh database for each --sarv run);
    the median seconds of each and its ratio to bare's."""
    seconds = {name: [] for name in runs}
    for _ in range(rounds):
        for name, command in runs.items():
            for path in glob.glob(os.path.join(work, "traces.db*")):  # the database, its -wal, its spool
                shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
            start = time.perf_counter()
            subprocess.run(command, env=env, check=True, capture_output=True)
            seconds[name].append(time.perf_counter() - start)
    bare = statistics.median(seconds["bare"])
    print("| run | median s | over bare | rounds |")
    print("| --- | ---: | ---: | --- |")
    for name, taken in seconds.items():
        median = statistics.median(taken)
        print("| %s | %.2f | %.2fx | %s |" % (name, median, median / bare, ", ".join("%.2f" % t for t in taken)))
    return 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tree", default=os.path.join(HERE, ".suites-cache", "packaging-26.4"))
    parser.add_argument("--tests", default="tests/test_markers.py")
    parser.add_argument("--timeout", type=float, default=3600)
    parser.add_argument("--wall", type=int, default=0, metavar="ROUNDS", help="time ROUNDS runs of each instead")
    parser.add_argument("--sarv-from", metavar="DIR", help="sarv imported from DIR/sarv (see above)")
    parser.add_argument("--keep", metavar="DIR", help="callgrind's output files kept in DIR")
    parser.add_argument("--count", type=int, default=0, metavar="N", help="the tests run, for a figure per test")
    options = parser.parse_args(argv)
    if not os.path.isdir(options.tree):
        sys.exit(
            "no tree at %s: run `python bench/suites.py --suite packaging-installed --rounds 1` once" % options.tree
        )

    with tempfile.TemporaryDirectory() as work:
        build_hook(work)
        env = dict(os.environ, PYTHONPATH=work)
        env.pop("SARV_DB", None)
        if options.sarv_from:
            env["PYTHONPATH"] = os.pathsep.join((work, os.path.abspath(options.sarv_from)))
            # (scikit-build-core's finder of an editable install names its build folder `path`)
            finders = [
                getattr(f, "path", None) for f in sys.meta_path if type(f).__name__.endswith("RedirectingFinder")
            ]
            env[EDITABLE_SKIP] = os.pathsep.join(path for path in finders if isinstance(path, str))
        if not options.wall:
            # The saves go to sarv's writer process, as on a machine with a core to spare
            # (callgrind slows the tests too much for its own rule to start it).
            env["SARV_SAVE_PROCESS"] = "1"
        pytest = [sys.executable, "-m", "pytest", *options.tests.split(), "-q", "-p", "no:cacheprovider"]
        pytest += ["-W", "ignore::pytest.PytestAssertRewriteWarning"]
        cwd = os.getcwd()
        os.chdir(options.tree)
        try:
            subprocess.run(pytest, env=env, check=True, capture_output=True)  # byte code cached first
            runs = {
                "bare": pytest,
                "no-op profile hook, each test's call phase": pytest + ["-p", "noop_hook_plugin"],
                "pytest --sarv": pytest + ["--sarv", "--sarv-db", os.path.join(work, "traces.db")],
            }
            if options.wall:
                return print_seconds(runs, options.wall, env, work)
            counts = {}
            for n, (name, command) in enumerate(runs.items()):
                kept = os.path.join(os.path.abspath(options.keep), "callgrind.%d.out" % n) if options.keep else None
                counts[name] = counted(command, options.timeout, env, kept)
        finally:
            os.chdir(cwd)
    bare = counts["bare"]
    print("| run | instructions | over bare |")
    print("| --- | ---: | ---: |")
    for name, count in counts.items():
        print("| %s | %s | %.3fx |" % (name, format(count, ","), count / bare))
    if options.count:
        over = counts["pytest --sarv"] - counts["no-op profile hook, each test's call phase"]
        print(
            "sarv over the no-op hook: %s instructions, %s a test"
            % (format(over, ","), format(over // options.count, ","))
        )
    return 0


def counted(command, timeout, env, kept):
    """The instructions of `command` under callgrind; its output file kept at `kept` if given."""
    if kept is None:
        return total_instructions(command, timeout, env)
    os.makedirs(os.path.dirname(kept), exist_ok=True)
    subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + kept, *command],
        check=True,
        capture_output=True,
        timeout=timeout,
        env=dict(env, PYTHONHASHSEED="0"),
    )
    with open(kept) as counts:
        for line in counts:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise RuntimeError("callgrind wrote no total")


if __name__ == "__main__":
    sys.exit(main())
