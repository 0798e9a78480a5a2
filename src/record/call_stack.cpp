#include "record/call_stack.hpp"

#include "interp/frame_access.hpp"

namespace sarv {

template <class MaybeId, class MaybeSite>
bool user_code_call_site(const CallStack& stack, const MaybeId& frame_id, MaybeSite& out) {
    out.reset();
    if (!frame_id || stack.empty()) {
        return true;
    }
    const CallFrame* candidate = &stack.back();
    if (candidate->frame_id == *frame_id) {
        if (stack.size() == 1) {
            return true;
        }
        candidate = &stack[stack.size() - 2];
        if (candidate->frame_id == *frame_id) {
            return true;
        }
    }
    PyObject* frame = candidate->frame.get();
    if (!PyFrame_Check(frame)) {
        raise_conversion_error(frame, "PyFrame");
        return false;
    }
    int line = frame_line_number(reinterpret_cast<PyFrameObject*>(frame));
    if (line < 0) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object cannot be interpreted as an integer");
        return false;
    }
    out = CallSite{candidate->frame_id, line};
    return true;
}

template bool user_code_call_site(const CallStack&, const std::optional<PrefixedId>&, std::optional<CallSite>&);
template bool user_code_call_site(const CallStack&, const Maybe<PrefixedId>&, Maybe<CallSite>&);

}  // namespace sarv
