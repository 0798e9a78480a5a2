# The profiler core. Its two functions are the module's whole surface; the class of the
# object register_profiler leaves in the profiler's "rust_profiler" attribute is not an
# attribute of the module (named here for the type checker only).
from types import FrameType
from typing import Any, Protocol, final

class _CompanionProfiler(Protocol):
    # What register_profiler reads from the object it is given (and "rust_profiler", which
    # it sets); the object must be callable.
    config: dict[str, Any]
    db_path: str | None
    one_trace_per_test: bool
    trace_id: str
    source: str
    rust_profiler: SarvProfiler | None
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...

@final
class SarvProfiler:
    def save_request_in_db(self) -> None: ...
    def build_trace(self) -> bytes: ...
    def register_threading_profiler(self, _frame: FrameType, _event: str, _arg: Any) -> None: ...
    def hooks_this_thread(self) -> bool: ...
    def unhook_threads(self) -> None: ...

def register_profiler(profiler: _CompanionProfiler) -> None: ...
def register_noop_profiler() -> None: ...
