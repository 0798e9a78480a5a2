"""The writer process that stores a test suite's traces: see sarv.store.shipping
(this process's end) and sarv.store.writer_process (the process)."""

from sarv.store.shipping import SWITCH, Shipper, can_start, start, wanted  # noqa: F401
from sarv.store.writer_process import serve  # noqa: F401
