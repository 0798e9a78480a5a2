// The interpreter's internal frame layout (CPython 3.11, and 3.13 to 3.15), for the few
// reads the hook makes straight from frames: a few loads instead of API calls with their
// checks and references. Its headers are installed with every build of these versions.
// Include only from .cpp files that need it (it defines Py_BUILD_CORE); SARV_FRAME_INTERNALS
// tells whether it is there. (3.12 is left to the API: no build of it is tested.)
#pragma once

#include "common.hpp"

#if defined(__has_include) && ((PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000) || \
                               (PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x03100000))
#if __has_include(<internal/pycore_frame.h>)
#define Py_BUILD_CORE 1
#include <internal/pycore_code.h>
#include <internal/pycore_frame.h>
#if PY_VERSION_HEX >= 0x030E0000
#include <internal/pycore_interpframe.h>
#include <internal/pycore_stackref.h>
#endif
#include <opcode.h>
#define SARV_FRAME_INTERNALS 1
#if PY_VERSION_HEX < 0x030C0000
#define SARV_LOCALS_KEPT_IN_A_DICT 1  // 3.11: f_locals is a dict kept on the frame
#endif

namespace sarv {

inline PyCodeObject* frame_code(_PyInterpreterFrame* f) {
#if PY_VERSION_HEX < 0x030C0000
    return f->f_code;
#else
    return _PyFrame_GetCode(f);
#endif
}

// Slot i of the frame's variables (cells as they are), borrowed; null when unbound.
inline PyObject* frame_slot(_PyInterpreterFrame* f, int i) {
#if PY_VERSION_HEX >= 0x030E0000
    _PyStackRef ref = f->localsplus[i];
    return PyStackRef_IsNull(ref) || PyStackRef_IsTaggedInt(ref) ? nullptr : PyStackRef_AsPyObjectBorrow(ref);
#else
    return f->localsplus[i];
#endif
}

}  // namespace sarv
#endif
#endif

namespace sarv {

// Whether the frame stands past its code's first traceable instruction: a generator's or
// coroutine's frame resuming does, one starting does not.
inline bool frame_past_start(PyFrameObject* frame) {
#ifdef SARV_FRAME_INTERNALS
    _PyInterpreterFrame* f = frame->f_frame;
    return f != nullptr && _PyInterpreterFrame_LASTI(f) > frame_code(f)->_co_firsttraceable;
#else
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    int first = reinterpret_cast<PyCodeObject*>(code.get())->_co_firsttraceable;
    return PyFrame_GetLasti(frame) / static_cast<int>(sizeof(_Py_CODEUNIT)) > first;
#endif
}

// What tells one running activation from another: the interpreter's own frame where it is
// visible (the same before and after a frame object is made for it), else the frame object.
inline uintptr_t activation_of(PyFrameObject* frame) {
#ifdef SARV_FRAME_INTERNALS
    return reinterpret_cast<uintptr_t>(frame->f_frame);
#else
    return reinterpret_cast<uintptr_t>(frame);
#endif
}

#if defined(SARV_FRAME_INTERNALS) && PY_VERSION_HEX >= 0x030D0000
// The activation running now on the thread (activation_of the frame PyEval_GetFrame would
// give), without making a frame object for it.
#define SARV_CURRENT_ACTIVATION 1
inline uintptr_t current_activation(PyThreadState* tstate) {
    return reinterpret_cast<uintptr_t>(_PyThreadState_GetFrame(tstate));
}
#endif

}  // namespace sarv
