"""The caps of recorded values (the format's reference in `sarv.serialize` says
where each applies). The native encoder is built with the same caps: they are
compared both ways at import, so the two can never write different cuts."""

from __future__ import annotations

MAX_DEPTH = 16
OBJECT_DEPTH = 3
MAX_ITEMS = 100
MAX_STR_CHARS = 1000
MAX_BYTES = 1000
# Stays below the interpreter's default limit on int-to-text conversion
# (4300 digits) and keeps the text within MAX_STR_CHARS.
MAX_INT_BITS = 3300
MAX_TOTAL_BYTES = 32 * 1024
EXACT_MAX_BYTES = 16 * 1024
LIGHT_MAX_STR_CHARS = 100

_INT_MIN = -(1 << 63)
_INT_MAX = (1 << 64) - 1

_LIMITS = (
    "MAX_DEPTH",
    "OBJECT_DEPTH",
    "MAX_ITEMS",
    "MAX_STR_CHARS",
    "MAX_BYTES",
    "MAX_INT_BITS",
    "MAX_TOTAL_BYTES",
    "EXACT_MAX_BYTES",
    "LIGHT_MAX_STR_CHARS",
)


def _check_limits(native: dict) -> None:
    # Both ways: a limit missing on either side is a mismatch too.
    ours = {name: globals()[name] for name in _LIMITS}
    if ours != native:
        raise ImportError("sarv._speedups was built with other limits: %r, not %r" % (native, ours))


try:
    from sarv import _speedups
except ImportError:  # pragma: no cover - a build without the extension
    _speedups = None
else:
    _check_limits(_speedups.limits())
