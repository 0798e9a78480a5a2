// The frame decision: the file-name part (filters/filters.hpp), remembered per code
// object, plus the caller rule of attrs, which reads the frames above the event's.
#pragma once

#include "common.hpp"
#include "filters/filters.hpp"

namespace sarv {

// The caller rule of attrs: the caller, or for a caller without a file name the caller's
// caller, lives in attrs' class-building module.
bool attrs_caller_filter(PyFrameObject* frame);

// Combines the predicates: included, or excluded by none of them. (Inline: it runs for
// every event of code not left out.)
inline bool frame_is_recorded(const StaticDecision& decision, PyFrameObject* frame) {
    if (decision.included) {
        return true;
    }
    if (decision.excluded || decision.attrs_generated) {
        return false;
    }
    return !attrs_caller_filter(frame);
}

}  // namespace sarv
