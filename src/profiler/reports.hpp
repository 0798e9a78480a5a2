// Warnings of the core, said outside the profile hook.
//
// A warning said where it arises (a cap reached, an event that could not be recorded)
// would run the program's logging handlers inside the hook, in the middle of a recorded
// call: a handler that takes a lock the program holds around that call never returns.
// They wait here and are said on the logger "sarv" by the next entry point that Python
// code calls outside the hook (register_noop_profiler, save_request_in_db, build_trace).
#pragma once

#include "common.hpp"

namespace sarv {

// A message said as logging.getLogger("sarv").warning(message).
void queue_warning(std::string message);

// logging.getLogger("sarv").warning(format, *args, exc_info=exc_info): the objects are
// held until then (a frame's locals, the exception that could not be recorded).
void queue_warning(Ref format, Ref args, Ref exc_info);

// Says the waiting warnings, in their order; leaves the caller's exception in flight
// as it was. A warning that cannot be said goes to the unraisable hook.
void say_warnings();

}  // namespace sarv
