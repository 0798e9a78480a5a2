"""Moved to sarv.views.text; this name is kept for imports written before."""

import sys

from sarv.views import text as _moved

sys.modules[__name__] = _moved
