"""Moved to sarv.views.export; this name is kept for imports written before."""

import sys

from sarv.views import export as _moved

sys.modules[__name__] = _moved
