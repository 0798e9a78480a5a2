#include "profiler/frame_decision.hpp"

#include "interp/code_cache.hpp"
#include "interp/frame_access.hpp"

namespace sarv {

bool attrs_caller_filter(PyFrameObject* frame) {
    PyCodeObject* code = caller_code(frame, 1);
    if (code == nullptr) {
        return false;
    }
    const CodeInfo* caller = peek_code_info(code);
    if (caller == nullptr) {
        caller = &code_info(code);
    }
    if (!caller->filename.empty()) {
        return caller->attrs_make;
    }
    PyCodeObject* code2 = caller_code(frame, 2);
    return code2 != nullptr && code_info(code2).attrs_make;
}

}  // namespace sarv
