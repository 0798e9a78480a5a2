"""Plugin descriptions for the profiler core (see sarv.filters.plugin_data).

The core imports this module by name and calls `load_plugin_data(config)`. The
implementation lives in a module whose frames the profiler never records, so
that starting a profiler inside a profiled program does not record sarv itself.
"""

from sarv.filters.plugin_data import (  # noqa: F401
    __all__,
    builtin_descriptions,
    load_plugin_data,
    register_builtin,
    unregister_builtin,
    validate_declaration,
)
