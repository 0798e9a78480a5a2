// The profile function the interpreter calls for every event of a hooked thread. Most
// events are of frames already known to be left out: those cost a few loads here.
#include "profiler/profiler.hpp"
#include "utils/code_cache.hpp"
#include "utils/cpython_frames.hpp"
#include "utils/frame_access.hpp"

namespace sarv {

int profile_callback(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) {
    if (what != PyTrace_CALL && what != PyTrace_RETURN) {
        return 0;
    }
    CodeInfo* info = nullptr;
    if (SarvProfiler* fast = exact_profiler_of(obj); fast != nullptr && frame != nullptr) {
#ifdef SARV_FRAME_INTERNALS
        info = peek_code_info(frame->f_frame->f_code);
#else
        info = peek_frame_code_info(frame);
#endif
        if (fast->is_quickly_excluded(info)) {
            return 0;
        }
    }
    return handle_event(obj, frame, what, arg, info);
}

}  // namespace sarv
