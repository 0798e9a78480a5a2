"""sarv: a tracing profiler for Python.

    import sarv

    with sarv.profiling() as profiler:        # configuration keys as keywords:
        run_my_code()                         # profiling(threading=True, db_path=...)
    profiler.trace_id, profiler.record_count
    document = profiler.load_trace()          # the saved trace, decoded

    @sarv.profile                             # one trace per call
    def handler(request): ...

From a shell: ``python -m sarv run script.py``, ``python -m sarv show last``;
for tests: ``pytest --sarv``; for web requests: sarv.wsgi, sarv.asgi,
sarv.django, sarv.flask; in IPython or Jupyter: ``%load_ext sarv``, ``%%sarv``.

The compiled core, `sarv._sarv`, is imported only when profiling starts, so
the pure-Python parts (serialisation, storage, configuration) work without it.
"""

from sarv.version import __version__

__all__ = ["ConfigError", "Profiler", "SarvError", "profile", "profiling", "__version__"]

_LAZY = {
    "Profiler": "sarv.profiler",
    "profile": "sarv.profiler",
    "profiling": "sarv.profiler",
    "ConfigError": "sarv.exceptions",
    "SarvError": "sarv.exceptions",
}


def load_ipython_extension(shell):
    """``%load_ext sarv`` in IPython or Jupyter: adds the cell magic ``%%sarv``."""
    from sarv.notebook import load_ipython_extension as load

    load(shell)


def __getattr__(name):
    module_name = _LAZY.get(name)
    if module_name is not None:
        import importlib

        value = getattr(importlib.import_module(module_name), name)
        globals()[name] = value
        return value
    raise AttributeError("module 'sarv' has no attribute %r" % (name,))


def __dir__():
    return sorted(set(globals()) | set(_LAZY))
