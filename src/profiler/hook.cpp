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

// A call or return event of code not simply left out, with the hook's own arguments (the
// quick path below then hands them on unmoved).
[[gnu::noinline]] int any_event(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) {
    SarvProfiler* fast = exact_profiler_of(obj);
    CodeInfo* info = fast != nullptr && frame != nullptr ? peek_frame_code_info(frame) : nullptr;
    return profile_event(fast, obj, frame, what, arg, info);
}

// Whether the event is of code `obj`'s profiler leaves out whole, in as few instructions
// as can be (most events of a test suite are of the libraries the tests call). Not
// checked: what is never null here (the profiler object the hook was set with, the frame
// of a call or return event, the state of a live profiler).
[[gnu::always_inline]] inline bool of_code_left_out(PyObject* obj, PyFrameObject* frame) {
    if (Py_TYPE(obj) != detail::created_profiler_type) [[unlikely]] {
        return false;
    }
    CodeInfo* info = peek_frame_code_info(frame);
    return info != nullptr && info->left_out_by == reinterpret_cast<PyProfiler*>(obj)->state->serial &&
           !detail::any_raises_pending();
}

}  // namespace

int profile_callback(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) {
    if (what != PyTrace_CALL && what != PyTrace_RETURN) {
        return detail::any_raises_pending() ? other_event(obj, what) : 0;
    }
    if (of_code_left_out(obj, frame)) {
        return 0;
    }
    return any_event(obj, frame, what, arg);
}

}  // namespace sarv
