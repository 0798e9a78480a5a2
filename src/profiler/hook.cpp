// The profile function the interpreter calls for every event of a hooked thread. Most
// events are of frames already known to be left out: those cost a few loads here.
#include "profiler/profiler.hpp"
#include "interp/code_cache.hpp"
#include "interp/frames.hpp"

namespace sarv {
namespace {

// The entry made for the frame's code object, or null: never allocates, never fails.
CodeInfo* peek_frame_code_info(PyFrameObject* frame) {
#ifdef SARV_FRAME_INTERNALS
    return peek_code_info(frame_code(frame->f_frame));  // no call, no reference
#else
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    return peek_code_info(reinterpret_cast<PyCodeObject*>(code.get()));
#endif
}

}  // namespace

int profile_callback(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) {
    if (what != PyTrace_CALL && what != PyTrace_RETURN) {
        if (what == PyTrace_C_CALL && detail::words.raises_pending) [[unlikely]] {
            // A handler that calls only builtins (print, log.append) gives no other event
            // while its exception can be read.
            return handle_c_call(obj);
        }
        return 0;
    }
    CodeInfo* info = nullptr;
    if (SarvProfiler* fast = exact_profiler_of(obj); fast != nullptr && frame != nullptr) {
        info = peek_frame_code_info(frame);
        if (fast->is_quickly_excluded(info) && !detail::words.raises_pending) {
            return 0;
        }
        bool call = what == PyTrace_CALL;
        bool resuming = call && info != nullptr && info->suspends != Suspends::Never && frame_past_start(frame);
        if (fast->leaves_out_quickly(info, activation_of(frame), call, !call && arg == nullptr, resuming)) {
            return 0;  // a call left out of the trace, or one it makes
        }
    }
    return handle_event(obj, frame, what, arg, info);
}

}  // namespace sarv
