// The module sarv._sarv: two functions, nothing else.
#include "boundary.hpp"
#include "lib/modules.hpp"
#include "lib/register.hpp"

#include <atomic>

namespace {

PyMethodDef module_methods[] = {
    {"register_profiler", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sarv::register_profiler)),
     METH_FASTCALL | METH_KEYWORDS, "register_profiler(profiler)\n--\n\n"},
    {"register_noop_profiler", sarv::register_noop_profiler, METH_NOARGS, "register_noop_profiler()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_sarv", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<int64_t> owner_interpreter{-1};
PyObject* module_object = nullptr;

PyObject* create_module() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1) {
        sarv::ensure_error_set();
        return nullptr;
    }
    int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(
            PyExc_ImportError,
            "sarv._sarv does not support sub-interpreters: it was already initialised in another " "interpreter of this process");
        return nullptr;
    }
    if (module_object != nullptr) {
        Py_INCREF(module_object);
        return module_object;
    }
    sarv::Ref module = sarv::Ref::steal(PyModule_Create2(&module_def, 1013));
    if (!module) {
        return nullptr;
    }
    if (PyModule_AddFunctions(module.get(), module_methods) < 0) {
        return nullptr;
    }
    module_object = sarv::Ref(module).release();  // cached for later imports in this process
    return module.release();
}

}  // namespace

PyObject* sarv::make_sarv_module() noexcept { return guarded(create_module); }
