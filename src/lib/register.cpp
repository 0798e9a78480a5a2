#include "lib/register.hpp"

#include "profiler/monitoring.hpp"
#include "profiler/profiler.hpp"
#include "profiler/reports.hpp"
#include "boundary.hpp"
#include "args.hpp"

namespace sarv {
namespace {

int noop_profile(PyObject*, PyFrameObject*, int, PyObject*) { return 0; }

PyObject* register_profiler_impl(PyObject* py_profiler) {
    if (!PyCallable_Check(py_profiler)) {
        PyErr_SetString(PyExc_TypeError, "profiler object is not callable");
        return nullptr;
    }
    std::unique_ptr<SarvProfiler> state = SarvProfiler::new_from_python(py_profiler);
    if (!state) {
        return nullptr;
    }
    Ref obj = wrap_profiler(std::move(state));
    if (PyObject_SetAttrString(py_profiler, "rust_profiler", obj.get()) < 0) {
        return nullptr;
    }
    detail::words.skipping = nullptr;  // (another profiler's calls left out, if any: over)
    if (monitoring_in_use()) {
        if (!monitor_thread(obj.get(), nullptr)) {
            return nullptr;
        }
    } else {
        unmonitor_thread();
        PyEval_SetProfile(profile_callback, obj.get());
    }

    Ref config = Ref::steal(PyObject_GetAttrString(py_profiler, "config"));
    if (!config) {
        return nullptr;
    }
    bool threading = false;
    Ref key = Ref::steal(PyUnicode_FromString("threading"));
    Ref value = key ? Ref::steal(PyObject_GetItem(config.get(), key.get())) : Ref();
    if (!value || !is_bool_like(value.get()) || !to_bool_strict(value.get(), threading)) {
        PyErr_Clear();
        threading = false;
    }
    if (threading) {
        Ref setprofile = module_attr(names().mod_threading, "setprofile");
        if (!setprofile) {
            return nullptr;
        }
        Ref method = Ref::steal(PyObject_GetAttrString(obj.get(), "register_threading_profiler"));
        if (!method) {
            return nullptr;
        }
        Ref result = Ref::steal(PyObject_CallOneArg(setprofile.get(), method.get()));
        if (!result) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

}  // namespace

PyObject* register_profiler(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!bind_args<1>("register_profiler", {"profiler"}, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        return register_profiler_impl(bound[0]);
    });
}

PyObject* register_noop_profiler(PyObject*, PyObject*) {
    // A thread taken off sys.monitoring with no profile hook set since (it was taken off when
    // the thread was hooked) gets none: on 3.12+ setting one re-instruments the code of
    // every frame of every thread, and taking it off again does so once more.
    if (!unmonitor_thread() || PyThreadState_Get()->c_profilefunc != nullptr) {
        PyEval_SetProfile(noop_profile, nullptr);
    }
    say_warnings();  // what the hook had to say, now that it is off this thread
    Py_RETURN_NONE;
}

}  // namespace sarv
