"""Moved to sarv.plugins; this name is kept for imports written before."""

import sys

from sarv import plugins as _moved

sys.modules[__name__] = _moved
