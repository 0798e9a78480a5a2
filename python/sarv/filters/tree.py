"""Moved to sarv.views.tree; this name is kept for imports written before."""

import sys

from sarv.views import tree as _moved

sys.modules[__name__] = _moved
