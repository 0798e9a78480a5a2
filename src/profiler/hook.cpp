// The profile function the interpreter calls for every event of a hooked thread. Most
// events are of frames already known to be left out: those cost a few loads here, and
// the rest goes to a function of its own, so that their path saves no registers.
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

// A call or return event that is not simply of code left out.
[[gnu::noinline]] int profile_event(SarvProfiler* fast, PyObject* obj, PyFrameObject* frame, int what, PyObject* arg,
                                    CodeInfo* info) {
    detail::ThreadWords* words = nullptr;
    if (fast != nullptr && frame != nullptr && info != nullptr) {
        // (read first: the call reading it then keeps few values live)
        detail::ThreadWords& w = detail::kept_address(detail::words);
        words = &w;
        if (!w.raises_pending) {
            if (info->left_out_by == fast->serial) {
                return 0;  // (raises are pending on another thread)
            }
            bool call = what == PyTrace_CALL;
            bool resuming = call && info->suspends != Suspends::Never && frame_past_start(frame);
            if (fast->leaves_out_quickly(info, activation_of(frame), call, !call && arg == nullptr, resuming, w)) {
                return 0;  // a call left out of the trace, or one it makes
            }
        }
    }
    HookEvent ev;
    ev.kind = what == PyTrace_CALL ? HookEvent::Kind::Call
              : arg == nullptr     ? HookEvent::Kind::Unwind  // the interpreter's sign of an unwinding frame
                                   : HookEvent::Kind::Return;
    ev.frame = frame;
    ev.arg = arg;
    ev.code = info;
    ev.words = words;
    return handle_event(obj, ev);
}

[[gnu::noinline]] int other_event(PyObject* obj, int what) {
    if (what == PyTrace_C_CALL && detail::words.raises_pending) {
        // A handler that calls only builtins (print, log.append) gives no other event
        // while its exception can be read.
        HookEvent ev;
        ev.kind = HookEvent::Kind::CCall;
        return handle_event(obj, ev);
    }
    return 0;
}

}  // namespace

int profile_callback(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) {
    if (what != PyTrace_CALL && what != PyTrace_RETURN) {
        return detail::any_raises_pending() ? other_event(obj, what) : 0;
    }
    SarvProfiler* fast = exact_profiler_of(obj);
    CodeInfo* info = nullptr;
    if (fast != nullptr && frame != nullptr) [[likely]] {
        info = peek_frame_code_info(frame);
        if (info != nullptr && info->left_out_by == fast->serial && !detail::any_raises_pending()) {
            return 0;
        }
    }
    return profile_event(fast, obj, frame, what, arg, info);
}

}  // namespace sarv
