"""sarv: a tracing profiler for Python.

    from sarv import profiling

    with profiling() as profiler:
        run_my_code()
    print(profiler.trace_id)

The compiled core, `sarv._sarv`, is imported only when profiling starts, so
the pure-Python parts (serialisation, storage, configuration) work without it.
"""

from sarv.version import __version__

__all__ = ["Profiler", "profile", "profiling", "__version__"]

_LAZY = {"Profiler", "profile", "profiling"}


def __getattr__(name):
    if name in _LAZY:
        from sarv import profiler

        value = getattr(profiler, name)
        globals()[name] = value
        return value
    raise AttributeError("module 'sarv' has no attribute %r" % (name,))


def __dir__():
    return sorted(set(globals()) | _LAZY)
