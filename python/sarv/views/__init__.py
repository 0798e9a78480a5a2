"""Views of stored traces: the call tree (`tree`), its text form and the trace
listing (`text`), where the time went (`hot`), the exports (`export`), and the
streaming reader of a stored document (`stream`).

Nothing here runs while a program is profiled but the notebook's magic, which
prints the tree; the package is among the files the core never records, so
using it from a profiled program does not clutter that program's trace either.
"""
