// What differs between the CPython versions sarv builds for, named once. Code elsewhere
// tests these names, not version numbers. (The private frame layouts the hook reads are
// in interp/frames.hpp; the value encoder keeps its own few tests.)
#pragma once

#include "common.hpp"

#include <cstdint>

// Code objects have co_qualname; PyFrame_GetLocals and PyType_GetQualName exist (3.11).
#define SARV_HAS_CO_QUALNAME (PY_VERSION_HEX >= 0x030B0000)

// Every change of a dict gives it a new version tag, never one used before (until 3.12,
// where the tag became private): an equal tag means the same dict, unchanged.
#define SARV_DICT_VERSION_TAGS (PY_VERSION_HEX < 0x030C0000)

// The pending exception is one object (PyErr_GetRaisedException, 3.12).
#define SARV_RAISED_EXCEPTION (PY_VERSION_HEX >= 0x030C0000)

// Another thread's profile hook can be set through _PyEval_SetProfile(tstate, ...) (until
// 3.12, where it went private and threading.setprofile_all_threads came instead).
#define SARV_SET_OTHER_THREADS_PROFILE (PY_VERSION_HEX < 0x030C0000)

// The block behind a code object's co_extra is laid out as codeobject.c has it from 3.6
// to 3.15, and it is read directly from 3.11 on (below, its call with checks).
#define SARV_CODE_EXTRA_LAYOUT (PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x03100000)

namespace sarv {

#if SARV_DICT_VERSION_TAGS
inline uint64_t dict_version(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }
#endif

// The per-code extra slots (public but unstable from 3.12 on).
#if PY_VERSION_HEX >= 0x030C0000
inline int code_get_extra(PyObject* code, Py_ssize_t index, void** extra) {
    return PyUnstable_Code_GetExtra(code, index, extra);
}
inline int code_set_extra(PyObject* code, Py_ssize_t index, void* extra) {
    return PyUnstable_Code_SetExtra(code, index, extra);
}
inline Py_ssize_t request_code_extra_index(freefunc free) { return PyUnstable_Eval_RequestCodeExtraIndex(free); }
#else
inline int code_get_extra(PyObject* code, Py_ssize_t index, void** extra) {
    return _PyCode_GetExtra(code, index, extra);
}
inline int code_set_extra(PyObject* code, Py_ssize_t index, void* extra) {
    return _PyCode_SetExtra(code, index, extra);
}
inline Py_ssize_t request_code_extra_index(freefunc free) { return _PyEval_RequestCodeExtraIndex(free); }
#endif

// The frame's f_locals mapping, as the attribute gives it.
inline PyObject* frame_locals(PyFrameObject* frame) {
#if SARV_HAS_CO_QUALNAME
    return PyFrame_GetLocals(frame);
#else
    return PyObject_GetAttr(reinterpret_cast<PyObject*>(frame), names().f_locals);
#endif
}

}  // namespace sarv
