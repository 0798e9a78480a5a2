#include "interp/suspension.hpp"

#include "interp/frames.hpp"

#if PY_VERSION_HEX >= 0x030C0000
#include <opcode.h>
#endif

#include <cstring>

namespace sarv {
namespace {

// What an async generator's yield hands the interpreter: the value in a small box, told
// apart from an await (which hands on what the awaited object yields).
struct AsyncGenWrappedValue {
    PyObject_HEAD PyObject* value;
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

// 1: suspended, 0: not, -1: error set, -2: not to be told here.
int generator_suspended(PyFrameObject* frame, Suspends kind) {
#if PY_VERSION_HEX >= 0x030C0000
    // The interpreter reports a yield before it marks the generator suspended (3.13, 3.14),
    // so the instruction the frame stands on tells: an await suspends at a YIELD_VALUE too.
    // The code's bytes as compiled (instrumentation left out), kept by the code object.
    (void)kind;
    int lasti = PyFrame_GetLasti(frame);
    if (lasti < 0) {
        return 0;
    }
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    Ref bytes = Ref::steal(PyCode_GetCode(reinterpret_cast<PyCodeObject*>(code.get())));
    if (!bytes) {
        return -1;
    }
    if (!PyBytes_Check(bytes.get()) || lasti >= PyBytes_GET_SIZE(bytes.get())) {
        return 0;
    }
    // The frame stands on the YIELD_VALUE, or (3.13) already on the RESUME that follows it.
    const auto* ops = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(bytes.get()));
    uint8_t op = ops[lasti];
    return op == YIELD_VALUE || (op == RESUME && lasti >= 2 && ops[lasti - 2] == YIELD_VALUE) ? 1 : 0;
#elif defined(SARV_FRAME_INTERNALS)
    // 3.11: generators, coroutines and async generators share the head that holds the
    // frame's state, set to suspended before the hook hears of a yield.
    (void)kind;
    _PyInterpreterFrame* f = frame->f_frame;
    if (f == nullptr || f->owner != FRAME_OWNED_BY_GENERATOR) {
        return 0;  // a frame of such code that no generator owns (never the case in practice)
    }
    // (read where the generator holds the frame: no reference taken and dropped per event)
    return _PyFrame_GetGenerator(f)->gi_frame_state == FRAME_SUSPENDED ? 1 : 0;
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
    if (suspended == -2) {
        bool wrapped = kind == Suspends::AsyncGenerator && is_async_gen_wrapped_value(value);
        // Without the state: a generator's or coroutine's end is taken for a return; an
        // async generator yields only boxed values and its end returns None.
        suspended = wrapped || (kind == Suspends::AsyncGenerator && value != Py_None) ? 1 : 0;
    }
    if (suspended == 0) {
        return true;
    }
    out = suspension_exit(kind, value);
    return true;
}

Exit suspension_exit(Suspends kind, PyObject*& value) {
    if (kind == Suspends::AsyncGenerator && is_async_gen_wrapped_value(value)) {
        value = reinterpret_cast<AsyncGenWrappedValue*>(value)->value;
        return Exit::Yielded;
    }
    return kind == Suspends::Generator ? Exit::Yielded : Exit::Awaited;
}

}  // namespace sarv
