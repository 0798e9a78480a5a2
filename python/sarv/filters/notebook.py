"""Moved to sarv.notebook; this name is kept for imports written before."""

import sys

from sarv import notebook as _moved

sys.modules[__name__] = _moved
