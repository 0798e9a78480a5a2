"""Put in front of PYTHONPATH by `sarv run` (see sarv.process_ends), so that the
Python processes the recorded program starts record traces of their own.

The folder holds this module alone. It runs the `sitecustomize` it hides, if
any, then starts sarv; it never stops the interpreter from starting.
"""


def _run_hidden(folder):
    # The sitecustomize this one stands in front of (a distribution's, a venv's).
    import importlib.machinery
    import importlib.util
    import sys

    path = [p for p in sys.path if p and p != folder]
    spec = importlib.machinery.PathFinder.find_spec("sitecustomize", path)
    if spec is None or spec.loader is None:
        return
    module = importlib.util.module_from_spec(spec)
    sys.modules["sitecustomize"] = module
    spec.loader.exec_module(module)


def _main():
    import os
    import sys

    folder = os.path.dirname(os.path.abspath(__file__))
    # The program sees the search path it would have (PYTHONPATH keeps the folder for
    # the processes it starts).
    sys.path[:] = [p for p in sys.path if p != folder]
    if sys.version_info < (3, 4):
        return  # (an old interpreter that reads the same PYTHONPATH: left alone)
    try:
        _run_hidden(folder)
    except Exception:
        import traceback

        traceback.print_exc()  # as the interpreter reports a failing sitecustomize
    try:
        from sarv import process_ends
    except Exception:
        return  # another interpreter, or sarv not installed for it: the child runs untraced
    try:
        process_ends.start_in_child()
    except Exception as exc:
        process_ends.say("sarv: this process is not traced: %s: %s" % (type(exc).__name__, exc))


_main()
