"""Moved to sarv.views.hot; this name is kept for imports written before."""

import sys

from sarv.views import hot as _moved

sys.modules[__name__] = _moved
