// The module sarv._requests: what one trace per web request needs of the core beyond
// registration (sarv.middleware uses it). Its functions are sarv._sarv's, reached through
// that module's state: the profilers they work on are made there.
#include "boundary.hpp"
#include "lib/request_hooks.hpp"
#include "record/ulid.hpp"

#include <cstring>

namespace {

const sarv::RequestHooksApi* core_api() {
    static const sarv::RequestHooksApi* api = nullptr;  // under the interpreter lock
    if (api != nullptr) {
        return api;
    }
    sarv::Ref core = sarv::Ref::steal(PyImport_ImportModule("sarv._sarv"));
    if (!core) {
        return nullptr;
    }
    PyModuleDef* def = PyModule_GetDef(core.get());
    void* state = def != nullptr ? PyModule_GetState(core.get()) : nullptr;
    const sarv::RequestHooksApi* found = nullptr;
    if (state != nullptr && std::strcmp(def->m_name, "_sarv") == 0 &&
        def->m_size == static_cast<Py_ssize_t>(sizeof(const sarv::RequestHooksApi*))) {
        found = *static_cast<const sarv::RequestHooksApi**>(state);
    }
    if (found == nullptr || found->version != sarv::REQUEST_HOOKS_API_VERSION) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError, "sarv._requests does not match sarv._sarv: reinstall sarv");
        return nullptr;
    }
    api = found;
    return api;
}

PyObject* register_context_profiler(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const sarv::RequestHooksApi* api = core_api();
    return api != nullptr ? api->register_context_profiler(self, args, nargs, kwnames) : nullptr;
}

PyObject* restart_trace(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const sarv::RequestHooksApi* api = core_api();
    return api != nullptr ? api->restart_trace(self, args, nargs, kwnames) : nullptr;
}

PyObject* monitored_profiler(PyObject* self, PyObject* unused) {
    const sarv::RequestHooksApi* api = core_api();
    return api != nullptr ? api->monitored_profiler(self, unused) : nullptr;
}

PyObject* buffered_size(PyObject* self, PyObject* profiler) {
    const sarv::RequestHooksApi* api = core_api();
    return api != nullptr ? api->buffered_size(self, profiler) : nullptr;
}

PyObject* described_trace(PyObject* self, PyObject* profiler) {
    const sarv::RequestHooksApi* api = core_api();
    return api != nullptr ? api->described_trace(self, profiler) : nullptr;
}

// Made here, not through sarv._sarv: a request needs one before its profiler runs, and
// Python's ids (os.urandom per id) cost about 3 us.
PyObject* new_trace_id(PyObject*, PyObject*) {
    return sarv::guarded([]() -> PyObject* {
        sarv::PrefixedId id = sarv::new_trace_id();
        return PyUnicode_FromStringAndSize(id.text.data(), static_cast<Py_ssize_t>(id.text.size()));
    });
}

PyMethodDef methods[] = {
    {"register_context_profiler",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(register_context_profiler)),
     METH_FASTCALL | METH_KEYWORDS,
     "register_context_profiler(var, fallback)\n--\n\nA profile hook for the calling thread that hands each event to " "the profiler the context variable holds in the running context (else to fallback, a profiler or None)."},
    {"restart_trace", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(restart_trace)),
     METH_FASTCALL | METH_KEYWORDS,
     "restart_trace(profiler, trace_id)\n--\n\nThe profiler (a SarvProfiler) starts a new trace of this id, its " "buffers emptied."},
    {"buffered_size", buffered_size, METH_O,
     "buffered_size(profiler)\n--\n\nThe bytes of the records the profiler (a SarvProfiler) holds."},
    {"described_trace", described_trace, METH_O,
     "described_trace(profiler)\n--\n\nThe profiler's trace as build_trace() makes it, and what describes it " "without reading its records: (document, record_count, tail_offset, edge_records)."},
    {"new_trace_id", new_trace_id, METH_NOARGS,
     "new_trace_id()\n--\n\nA new trace id: \"trc_\" and a ULID, as sarv.utils.new_trace_id() makes."},
    {"monitored_profiler", monitored_profiler, METH_NOARGS,
     "monitored_profiler()\n--\n\nThe SarvProfiler the calling thread records for through sys.monitoring, or None."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "sarv._requests",
    "The core's hooks for one trace per web request (see sarv.middleware).",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__requests(void) {
    return sarv::guarded([]() -> PyObject* { return PyModule_Create(&module_def); });
}
