"""Views of stored traces: the call tree (`tree`), its text form and the
trace listing (`view`), and the exports (`export`).

Nothing here runs while a program is profiled; the subpackage lives where
the profiler never records (its folder is among the package's own files
that the core leaves out), so using it from a profiled program does not
clutter that program's trace either.
"""
