// What one trace per web request needs of the core beyond registration.
//
// A profile hook shared by the requests that one thread interleaves (an asyncio event loop
// serving many at once). The thread's hook is one, but each request runs in its own context
// (asyncio runs every task step in the task's context): the hook hands each event to the
// profiler that a context variable names there, so each request's trace holds only its own
// calls, and calls of tasks the request starts (they copy its context).
#include "lib/request_hooks.hpp"

#include "args.hpp"
#include "boundary.hpp"
#include "compat.hpp"
#include "profiler/monitoring.hpp"
#include "profiler/profiler.hpp"
#include "record/clock.hpp"

namespace sarv {
namespace {

// `obj`: the pair (context variable, profiler for events outside every request, or None),
// kept alive by the thread's profile slot.
int context_profile_callback(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) {
    if (what != PyTrace_CALL && what != PyTrace_RETURN) {
        return 0;
    }
    PyObject* found = nullptr;
    if (PyContextVar_Get(PyTuple_GET_ITEM(obj, 0), nullptr, &found) < 0) {
        PyErr_Clear();  // only a failed allocation: the event goes unrecorded
        return 0;
    }
    Ref current = Ref::steal(found);
    PyObject* target = current ? current.get() : PyTuple_GET_ITEM(obj, 1);
    if (PyList_CheckExact(target)) {
        // A request recorded once it is known to be slow: [its profiler], [None] until then.
        target = PyList_GET_SIZE(target) == 1 ? PyList_GET_ITEM(target, 0) : Py_None;
    }
    if (exact_profiler_of(target) == nullptr) {
        return 0;  // a request that is not recorded, or nothing to fall back on
    }
    return profile_callback(target, frame, what, arg);
}

PyObject* register_context_profiler_impl(PyObject* var, PyObject* fallback) {
    if (!PyContextVar_CheckExact(var)) {
        PyErr_Format(PyExc_TypeError, "register_context_profiler() expects a contextvars.ContextVar, not %.200s",
                     Py_TYPE(var)->tp_name);
        return nullptr;
    }
    if (fallback != Py_None && exact_profiler_of(fallback) == nullptr) {
        PyErr_Format(PyExc_TypeError,
                     "register_context_profiler() expects a SarvProfiler or None as fallback, not %.200s",
                     Py_TYPE(fallback)->tp_name);
        return nullptr;
    }
    Ref pair = Ref::steal(PyTuple_Pack(2, var, fallback));
    if (!pair) {
        return nullptr;
    }
    unmonitor_thread();  // one hook per thread: this one replaces a profiler's
    PyEval_SetProfile(context_profile_callback, pair.get());  // the slot keeps its own reference
    Py_RETURN_NONE;
}

PyObject* restart_trace_impl(PyObject* obj, PyObject* trace_id) {
    SarvProfiler* p = profiler_of(obj);
    if (p == nullptr) {
        return nullptr;
    }
    if (!PyUnicode_Check(trace_id)) {
        PyErr_Format(PyExc_TypeError, "restart_trace() expects a str trace id, not %.200s", Py_TYPE(trace_id)->tp_name);
        return nullptr;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(trace_id, &size);
    if (text == nullptr) {
        return nullptr;
    }
    p->buffers.restart(std::string_view(text, static_cast<size_t>(size)), timestamp());
    trace_taken();
    Py_RETURN_NONE;
}

PyObject* arm_thread_impl(PyObject* ident, PyObject* hook) {
    Ref obj;
    Py_tracefunc callback = profile_callback;
    if (PyContextVar_CheckExact(hook)) {
        obj = Ref::steal(PyTuple_Pack(2, hook, Py_None));  // as register_context_profiler(var, None)
        callback = context_profile_callback;
    } else if (profiler_of(hook) != nullptr) {
        obj = Ref::borrow(hook);
    }
    if (!obj) {
        return nullptr;
    }
    unsigned long wanted = PyLong_AsUnsignedLong(ident);
    if (wanted == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
        return nullptr;
    }
#if SARV_SET_OTHER_THREADS_PROFILE
    PyInterpreterState* interp = PyThreadState_GetInterpreter(PyThreadState_Get());
    for (PyThreadState* ts = PyInterpreterState_ThreadHead(interp); ts != nullptr; ts = PyThreadState_Next(ts)) {
        if (ts->thread_id != wanted) {
            continue;
        }
        // A thread with a hook (another profiler, or its own already) keeps it.
        if (ts->c_profilefunc != nullptr || ts->c_tracefunc != nullptr) {
            Py_RETURN_FALSE;
        }
        if (_PyEval_SetProfile(ts, callback, obj.get()) < 0) {  // the slot keeps its own reference
            return nullptr;
        }
        Py_RETURN_TRUE;
    }
#else
    (void)callback;
#endif
    Py_RETURN_FALSE;
}

}  // namespace

PyObject* arm_thread(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 2> bound{};
        if (!bind_args<2>("arm_thread", {"thread_id", "profiler"}, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        return arm_thread_impl(bound[0], bound[1]);
    });
}

PyObject* restart_trace(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 2> bound{};
        if (!bind_args<2>("restart_trace", {"profiler", "trace_id"}, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        return restart_trace_impl(bound[0], bound[1]);
    });
}

PyObject* buffered_size(PyObject*, PyObject* profiler) {
    return guarded([&]() -> PyObject* {
        SarvProfiler* p = profiler_of(profiler);
        if (p == nullptr) {
            return nullptr;
        }
        size_t bytes = 0;
        {
            std::lock_guard<std::mutex> a(p->buffers.frames_of_interest_mutex);
            bytes += p->buffers.frames_of_interest.bytes();
        }
        {
            std::lock_guard<std::mutex> b(p->buffers.frames_mutex);
            for (const auto& [thread, records] : p->buffers.frames) {
                bytes += records.bytes();
            }
        }
        return PyLong_FromSize_t(bytes);
    });
}

PyObject* described_trace(PyObject*, PyObject* profiler) {
    return guarded([&]() -> PyObject* {
        SarvProfiler* p = profiler_of(profiler);
        return p != nullptr ? p->build_described_trace().release() : nullptr;
    });
}

PyObject* thread_monitored_profiler(PyObject*, PyObject*) {
    PyObject* found = monitored_profiler();
    return Py_NewRef(found != nullptr ? found : Py_None);
}

PyObject* register_context_profiler(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 2> bound{};
        if (!bind_args<2>("register_context_profiler", {"var", "fallback"}, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        return register_context_profiler_impl(bound[0], bound[1]);
    });
}

}  // namespace sarv
