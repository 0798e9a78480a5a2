// The module sarv._requests: what one trace per web request needs of the core beyond
// registration (sarv.middleware uses it).
#include "boundary.hpp"
#include "lib/modules.hpp"
#include "lib/request_hooks.hpp"
#include "record/ulid.hpp"

namespace {

// Made natively: a request needs one before its profiler runs, and Python's ids
// (os.urandom per id) cost about 3 us.
PyObject* new_trace_id(PyObject*, PyObject*) {
    return sarv::guarded([]() -> PyObject* {
        sarv::PrefixedId id = sarv::new_trace_id();
        return PyUnicode_FromStringAndSize(id.text.data(), static_cast<Py_ssize_t>(id.text.size()));
    });
}

PyMethodDef methods[] = {
    {"register_context_profiler",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sarv::register_context_profiler)),
     METH_FASTCALL | METH_KEYWORDS,
     "register_context_profiler(var, fallback)\n--\n\nA profile hook for the calling thread that hands each event to " "the profiler the context variable holds in the running context (else to fallback, a profiler or None)."},
    {"restart_trace", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sarv::restart_trace)),
     METH_FASTCALL | METH_KEYWORDS,
     "restart_trace(profiler, trace_id)\n--\n\nThe profiler (a SarvProfiler) starts a new trace of this id, its " "buffers emptied."},
    {"buffered_size", sarv::buffered_size, METH_O,
     "buffered_size(profiler)\n--\n\nThe bytes of the records the profiler (a SarvProfiler) holds."},
    {"described_trace", sarv::described_trace, METH_O,
     "described_trace(profiler)\n--\n\nThe profiler's trace as build_trace() makes it, and what describes it " "without reading its records: (document, record_count, tail_offset, edge_records)."},
    {"new_trace_id", new_trace_id, METH_NOARGS,
     "new_trace_id()\n--\n\nA new trace id: \"trc_\" and a ULID, as sarv.utils.new_trace_id() makes."},
    {"arm_thread", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sarv::arm_thread)),
     METH_FASTCALL | METH_KEYWORDS,
     "arm_thread(thread_id, hook)\n--\n\nInstalls a profiler's hook (or a context variable's, as " "register_context_profiler(var, None)) on the thread of this ident, which has none; whether it did (never from " "3.12 on)."},
    {"monitored_profiler", sarv::thread_monitored_profiler, METH_NOARGS,
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

PyObject* sarv::make_requests_module() noexcept {
    return guarded([]() -> PyObject* { return PyModule_Create(&module_def); });
}
