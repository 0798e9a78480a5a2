"""Moved to sarv.views.stream; this name is kept for imports written before."""

import sys

from sarv.views import stream as _moved

sys.modules[__name__] = _moved
