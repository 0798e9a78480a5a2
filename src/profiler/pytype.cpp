// The Python face of the profiler: class SarvProfiler with its methods.
#include "profiler/monitoring.hpp"
#include "profiler/profiler.hpp"
#include "profiler/reports.hpp"
#include "profiler/spool.hpp"
#include "boundary.hpp"
#include "args.hpp"
#include "compat.hpp"

namespace sarv {
namespace {

PyObject* profiler_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

// The profiler holds frames (whose locals may hold the companion package's object, which
// holds the profiler) and plugin callables: cycles that only the collector can free.
int profiler_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    SarvProfiler* state = reinterpret_cast<PyProfiler*>(self)->state;
    return state != nullptr ? state->traverse(visit, arg) : 0;
}

void profiler_dealloc(PyObject* self) {
    auto* obj = reinterpret_cast<PyProfiler*>(self);
    PyObject_GC_UnTrack(self);
    forget_monitored(obj->state);
    delete obj->state;  // releases buffered records, processors and per-thread state
    obj->state = nullptr;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // heap types are owned by their instances
}

PyObject* save_request_in_db(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        SarvProfiler* p = profiler_of(self);
        bool saved = p != nullptr && p->save_in_db();
        say_warnings();  // (called from outside the hook: see reports.hpp)
        if (!saved) {
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyObject* build_trace(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        SarvProfiler* p = profiler_of(self);
        Ref document = p ? p->build_trace() : Ref();
        say_warnings();
        return document.release();
    });
}

PyObject* register_threading_profiler(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 3> bound{};
        if (!bind_args<3>("register_threading_profiler", {"_frame", "_event", "_arg"}, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        SarvProfiler* profiler = profiler_of(self);
        if (profiler == nullptr) {
            return nullptr;
        }
        // The switch waits for the thread's first Python-level event (its run's call, not
        // recorded): since 3.12 the thread's start can first report C calls ("c_call",
        // "c_return") of its own bootstrap, while another thread's hook is active.
        PyObject* event = bound[1];
        if (PyUnicode_Check(event) && PyUnicode_GET_LENGTH(event) > 2 && PyUnicode_READ_CHAR(event, 0) == 'c' &&
            PyUnicode_READ_CHAR(event, 1) == '_') {
            Py_RETURN_NONE;
        }
        if (monitoring_in_use()) {
            if (!monitor_thread(self, bound[0])) {
                return nullptr;
            }
        } else {
            unmonitor_thread();
            PyEval_SetProfile(profile_callback, self);
        }
        profiler->forget_left_out();
        Py_RETURN_NONE;
    });
}

// Whether this thread's events go to this profiler (its profile hook, or sys.monitoring).
PyObject* hooks_this_thread(PyObject* self, PyObject*) {
    PyThreadState* tstate = PyThreadState_Get();
    bool hooked = monitored_profiler() == self || (monitored_profiler() == nullptr && tstate->c_profileobj == self);
    return PyBool_FromLong(hooked);
}

// Takes this profiler off every thread that records for it: through sys.monitoring each
// thread at its next event; before 3.12 the profile hook of every thread that has it, here
// (from 3.12 on Profiler.stop() does that through threading.setprofile_all_threads). Threads
// still running after the profiler stopped (daemons, while its trace is saved and until the
// interpreter exits) would go on recording into it. Other profilers' hooks stay.
PyObject* unhook_threads(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        SarvProfiler* p = profiler_of(self);
        if (p == nullptr) {
            return nullptr;
        }
        retire_monitored(p);
#if SARV_SET_OTHER_THREADS_PROFILE
        PyInterpreterState* interp = PyThreadState_GetInterpreter(PyThreadState_Get());
        for (PyThreadState* ts = PyInterpreterState_ThreadHead(interp); ts != nullptr; ts = PyThreadState_Next(ts)) {
            PyObject* hook = ts->c_profileobj;
            // Its own hook, or the switch threading's hook installs until a new thread's
            // first event (a method of this profiler).
            bool ours =
                hook == self || (hook != nullptr && PyCFunction_Check(hook) && PyCFunction_GET_SELF(hook) == self);
            if (ours && _PyEval_SetProfile(ts, nullptr, nullptr) < 0) {
                return nullptr;
            }
        }
#endif
        Py_RETURN_NONE;
    });
}

// The id of the trace recorded now: in one-trace-per-test mode the core makes a new one at
// every test's start. Storage tells this profiler's saves from others' by it.
PyObject* current_trace_id(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        SarvProfiler* p = profiler_of(self);
        if (p == nullptr) {
            return nullptr;
        }
        std::string id;
        {
            std::lock_guard<std::mutex> guard(p->buffers.trace_id_mutex);
            id = p->buffers.trace_id;
        }
        return PyUnicode_FromStringAndSize(id.data(), static_cast<Py_ssize_t>(id.size()));
    });
}

PyMethodDef profiler_methods[] = {
    {"save_request_in_db", save_request_in_db, METH_NOARGS, "save_request_in_db($self)\n--\n\n"},
    {"build_trace", build_trace, METH_NOARGS, "build_trace($self)\n--\n\n"},
    {"register_threading_profiler",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(register_threading_profiler)),
     METH_FASTCALL | METH_KEYWORDS, "register_threading_profiler($self, _frame, _event, _arg)\n--\n\n"},
    {"hooks_this_thread", hooks_this_thread, METH_NOARGS, "hooks_this_thread($self)\n--\n\n"},
    {"unhook_threads", unhook_threads, METH_NOARGS, "unhook_threads($self)\n--\n\n"},
    {"current_trace_id", current_trace_id, METH_NOARGS,
     "current_trace_id($self)\n--\n\nThe id of the trace being recorded now."},
    {"spool_to", py_spool_to, METH_O,
     "spool_to($self, folder, /)\n--\n\nCopy the trace's records to a file in `folder`."},
    {"spool_flush", py_spool_flush, METH_NOARGS,
     "spool_flush($self)\n--\n\nCopy what was recorded since the last flush; the number of files kept for saves."},
    {"spool_release", py_spool_release, METH_NOARGS,
     "spool_release($self)\n--\n\nRemove the files kept for saves now on disk."},
    {"spool_close", py_spool_close, METH_O,
     "spool_close($self, remove, /)\n--\n\nNo more copying; the file is removed if `remove`. The paths of the " "files left for saves not yet on disk."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot profiler_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(profiler_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(profiler_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(profiler_traverse)},
    {Py_tp_methods, profiler_methods},
    {0, nullptr},
};

PyType_Spec profiler_spec = {
    "sarv._sarv.SarvProfiler", sizeof(PyProfiler), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, profiler_slots,
};

}  // namespace

PyTypeObject* profiler_type() {
    PyTypeObject*& created_type = detail::created_profiler_type;
    if (created_type == nullptr) {
        PyObject* type = PyType_FromSpec(&profiler_spec);
        if (type == nullptr) {
            PyErr_Print();
            throw InternalFault("failed to create type object for SarvProfiler");
        }
        created_type = reinterpret_cast<PyTypeObject*>(type);  // kept for the life of the process
    }
    return created_type;
}

SarvProfiler* profiler_of(PyObject* obj) {
    PyTypeObject* created_type = detail::created_profiler_type;
    if (created_type == nullptr || !PyObject_TypeCheck(obj, created_type) ||
        reinterpret_cast<PyProfiler*>(obj)->state == nullptr) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'SarvProfiler'", type_name(obj).c_str());
        return nullptr;
    }
    return reinterpret_cast<PyProfiler*>(obj)->state;
}

Ref wrap_profiler(std::unique_ptr<SarvProfiler> profiler) {
    PyTypeObject* type = profiler_type();
    Ref obj = Ref::steal(type->tp_alloc(type, 0));
    if (!obj) {
        PyErr_Clear();
        throw InternalFault("failed to allocate a SarvProfiler object");
    }
    reinterpret_cast<PyProfiler*>(obj.get())->state = profiler.release();
    return obj;
}

}  // namespace sarv
