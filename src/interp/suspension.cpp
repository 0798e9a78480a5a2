#include "interp/suspension.hpp"

#include "interp/frames.hpp"

#include <cstring>

namespace sarv {
namespace {

// What an async generator's yield hands the interpreter: the value in a small box, told
// apart from an await (which hands on what the awaited object yields).
struct AsyncGenWrappedValue {
    PyObject_HEAD
    PyObject* value;
};

bool is_async_gen_wrapped_value(PyObject* value) {
    static PyTypeObject* known = nullptr;  // the type, once seen (static: never freed)
    PyTypeObject* type = Py_TYPE(value);
    if (known != nullptr) {
        return type == known;
    }
    if (std::strcmp(type->tp_name, "async_generator_wrapped_value") != 0) {
        return false;
    }
    known = type;
    return true;
}

// 1: suspended, 0: not, -1: error set.
int generator_suspended(PyFrameObject* frame, Suspends kind) {
#if PY_VERSION_HEX >= 0x030B0000
    Ref generator = Ref::steal(PyFrame_GetGenerator(frame));
    if (!generator) {
        return 0;  // a frame of such code that no generator owns (never the case in practice)
    }
#if defined(SARV_FRAME_INTERNALS) && PY_VERSION_HEX < 0x030C0000
    // 3.11: generators, coroutines and async generators share the head that holds the
    // frame's state (and async generators have no ag_suspended yet).
    (void)kind;
    return reinterpret_cast<PyGenObject*>(generator.get())->gi_frame_state == FRAME_SUSPENDED ? 1 : 0;
#else
    static PyObject* attributes[3] = {
        PyUnicode_InternFromString("gi_suspended"),
        PyUnicode_InternFromString("cr_suspended"),
        PyUnicode_InternFromString("ag_suspended"),
    };
    PyObject* name = attributes[static_cast<int>(kind) - 1];
    if (name == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    // A getter of the interpreter's own types, which cannot be subclassed: no program code.
    Ref state = Ref::steal(PyObject_GetAttr(generator.get(), name));
    if (!state) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();  // an interpreter without the attribute: an async generator's await
        return -2;      // is then told only by what it hands on
    }
    return state.get() == Py_True ? 1 : 0;
#endif
#else
    (void)frame;
    (void)kind;
    return -2;
#endif
}

}  // namespace

Suspends suspends_of(PyCodeObject* code) {
    int flags = code->co_flags;
    if (flags & CO_ASYNC_GENERATOR) {
        return Suspends::AsyncGenerator;
    }
    if (flags & (CO_COROUTINE | CO_ITERABLE_COROUTINE)) {
        return Suspends::Coroutine;
    }
    if (flags & CO_GENERATOR) {
        return Suspends::Generator;
    }
    return Suspends::Never;
}

bool frame_exit(PyFrameObject* frame, Suspends kind, PyObject*& value, Exit& out) {
    out = Exit::Returned;
    if (kind == Suspends::Never) {
        return true;
    }
    int suspended = generator_suspended(frame, kind);
    if (suspended == -1) {
        return false;
    }
    bool wrapped = kind == Suspends::AsyncGenerator && is_async_gen_wrapped_value(value);
    if (suspended == -2) {
        // Without the state: a generator's or coroutine's end is taken for a return; an
        // async generator yields only boxed values and its end returns None.
        suspended = wrapped || (kind == Suspends::AsyncGenerator && value != Py_None) ? 1 : 0;
    }
    if (suspended == 0) {
        return true;
    }
    if (wrapped) {
        value = reinterpret_cast<AsyncGenWrappedValue*>(value)->value;
        out = Exit::Yielded;
    } else {
        out = kind == Suspends::Generator ? Exit::Yielded : Exit::Awaited;
    }
    return true;
}

}  // namespace sarv
