// Each thread's stack of recorded activations that have not returned yet, and what it
// tells a record: the call site, the nearest recorded caller.
#pragma once

#include "common.hpp"
#include "record/ulid.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace sarv {

struct CallSite {
    PrefixedId call_frame_id;
    long line_number = 0;
};

// One recorded activation that has not returned yet.
struct CallFrame {
    Ref frame;
    PrefixedId frame_id;
    // Variables read straight from the frame at the call event (no f_locals dict made):
    // the slots bound then, which a dict made then would list first at the return.
    bool direct_locals = false;
    uint64_t listed = 0;
    // The call's call site. While the entry is the top of the stack, the entries below it
    // are those its call saw; if its frame then returns to the caller's frame, that caller
    // has waited at the same line, and the return's call site is this one.
    Maybe<CallSite> call_site;
};
using CallStack = std::vector<CallFrame>;

// Where a recorded activation of `frame` is on its thread's stack (nearly always the top);
// the stack's size when it is not there.
inline size_t activation_index(const CallStack& stack, PyFrameObject* frame) {
    auto* obj = reinterpret_cast<PyObject*>(frame);
    for (size_t i = stack.size(); i > 0; --i) {
        if (stack[i - 1].frame.get() == obj) {
            return i - 1;
        }
    }
    return stack.size();
}

// Ends a recorded activation on its thread's stack: removes the frame's entry (found at
// `at` before, when the caller searched already) and whatever a failed return left above
// it. A frame that is not on the stack (its call was not recorded, or failed) leaves the
// entries of its callers in place for their own returns.
inline void end_activation(CallStack& stack, PyFrameObject* frame, size_t at = SIZE_MAX) {
    if (at >= stack.size() || stack[at].frame.get() != reinterpret_cast<PyObject*>(frame)) {
        at = activation_index(stack, frame);
    }
    if (at < stack.size()) {
        stack.erase(stack.begin() + static_cast<ptrdiff_t>(at), stack.end());
    }
}

// The nearest recorded caller of the activation `frame_id`, given the stack as it was
// before the current event changed it. Returns false with a Python error set on failure.
// (For std::optional and for Maybe.)
template <class MaybeId, class MaybeSite>
bool user_code_call_site(const CallStack& stack, const MaybeId& frame_id, MaybeSite& out);

}  // namespace sarv
