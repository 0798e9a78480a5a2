#include "utils/frame_access.hpp"

#include "utils/code_cache.hpp"

#include "utils/cpython_frames.hpp"

namespace sarv {
namespace {

bool enabled = true;  // GIL-guarded


#ifdef SARV_FRAME_INTERNALS

constexpr int MAX_SLOTS = 64;

// Once per code object: whether its events can be read directly, and where its body
// starts. PyFrame_GetLocals takes a cell variable's content only once its MAKE_CELL has
// run; the compiler puts every MAKE_CELL in the prologue, before the RESUME that starts
// the body, and events come from the body. Code built some other way is left to it.
void analyse(PyCodeObject* co, CodeInfo& code) {
    code.direct_locals = 0;
    constexpr int SUSPENDING = CO_GENERATOR | CO_COROUTINE | CO_ASYNC_GENERATOR | CO_ITERABLE_COROUTINE;
    if ((co->co_flags & CO_OPTIMIZED) == 0 || (co->co_flags & SUSPENDING) != 0) {
        return;
    }
    int n = co->co_nlocalsplus;
    if (n > MAX_SLOTS || !PyTuple_CheckExact(co->co_localsplusnames) || PyTuple_GET_SIZE(co->co_localsplusnames) != n ||
        !PyBytes_CheckExact(co->co_localspluskinds) || PyBytes_GET_SIZE(co->co_localspluskinds) != n) {
        return;
    }
    uint64_t cells = 0;
    for (int i = 0; i < n; ++i) {
        PyObject* name = PyTuple_GET_ITEM(co->co_localsplusnames, i);
        // Records leave "__builtins__" out of locals: such code keeps the general path.
        if (!PyUnicode_CheckExact(name) || PyUnicode_CompareWithASCIIString(name, "__builtins__") == 0) {
            return;
        }
        _PyLocals_Kind kind = _PyLocals_GetKind(co->co_localspluskinds, i);
        if ((kind & CO_FAST_CELL) != 0 && (kind & CO_FAST_FREE) == 0) {
            cells |= uint64_t{1} << i;
        }
    }
    const _Py_CODEUNIT* units = _PyCode_CODE(co);
    Py_ssize_t size = Py_SIZE(co);
    uint64_t made = 0;
    for (Py_ssize_t i = 0; i < size; ++i) {
        int op = _Py_OPCODE(units[i]);
        int arg = _Py_OPARG(units[i]);
        if (op == MAKE_CELL && arg < n) {
            made |= uint64_t{1} << arg;
        } else if (op == RESUME || op == RESUME_QUICK) {
            if ((cells & ~made) == 0) {
                code.body_start = static_cast<int>(i);
                code.direct_locals = 1;
            }
            return;
        } else if (op != COPY_FREE_VARS && op != NOP) {
            return;
        }
    }
}

#endif

}  // namespace

CodeInfo* peek_frame_code_info(PyFrameObject* frame) {
#ifdef SARV_FRAME_INTERNALS
    return peek_code_info(frame->f_frame->f_code);
#else
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    return peek_code_info(reinterpret_cast<PyCodeObject*>(code.get()));
#endif
}

PyCodeObject* caller_code(PyFrameObject* frame, int up) {
#ifdef SARV_FRAME_INTERNALS
    _PyInterpreterFrame* at = frame->f_frame;
    for (int i = 0; i < up && at != nullptr; ++i) {
        at = at->previous;
        while (at != nullptr && _PyFrame_IsIncomplete(at)) {  // skipped by PyFrame_GetBack too
            at = at->previous;
        }
    }
    return at != nullptr ? at->f_code : nullptr;
#else
    Ref at = Ref::borrow(reinterpret_cast<PyObject*>(frame));
    for (int i = 0; i < up && at; ++i) {
        at = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(reinterpret_cast<PyFrameObject*>(at.get()))));
    }
    if (!at) {
        return nullptr;
    }
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(at.get()))));
    return reinterpret_cast<PyCodeObject*>(code.get());  // still held by the frame, on the stack
#endif
}

bool direct_locals_supported() {
#ifdef SARV_FRAME_INTERNALS
    return true;
#else
    return false;
#endif
}

void set_direct_locals_enabled(bool on) { enabled = on; }

bool read_direct_locals(PyFrameObject* frame, CodeInfo& code, uint64_t listed, DirectLocals& out) {
    out.clear();
#ifdef SARV_FRAME_INTERNALS
    if (!enabled) {
        return false;
    }
    _PyInterpreterFrame* f = frame->f_frame;
    if (f == nullptr || f->f_locals != nullptr) {
        return false;
    }
    PyCodeObject* co = f->f_code;
    if (code.direct_locals < 0) {
        analyse(co, code);
    }
    int n = co->co_nlocalsplus;
    if (code.direct_locals == 0 || _PyInterpreterFrame_LASTI(f) < code.body_start || (n > 0 && f->stacktop == 0)) {
        return false;
    }
    // As PyFrame_GetLocals reads them: a cell variable or free variable by its content.
    PyObject* values[MAX_SLOTS];
    uint64_t bound = 0;
    for (int i = 0; i < n; ++i) {
        _PyLocals_Kind kind = _PyLocals_GetKind(co->co_localspluskinds, i);
        PyObject* value = f->localsplus[i];
        if ((kind & (CO_FAST_CELL | CO_FAST_FREE)) != 0 && value != nullptr) {
            if (!PyCell_Check(value)) {
                return false;
            }
            value = PyCell_GET(value);
        } else if ((kind & CO_FAST_FREE) != 0) {
            return false;
        }
        values[i] = value;
        if (value != nullptr) {
            bound |= uint64_t{1} << i;
        }
    }
    out.bound = bound;
    auto take = [&](uint64_t slots) {
        for (; slots != 0; slots &= slots - 1) {
            int i = __builtin_ctzll(slots);
            out.names.push_back(PyTuple_GET_ITEM(co->co_localsplusnames, i));
            out.values.push_back(Ref::borrow(values[i]));
        }
    };
    take(bound & listed);
    take(bound & ~listed);
    return true;
#else
    (void)frame;
    (void)code;
    (void)listed;
    return false;
#endif
}

}  // namespace sarv
