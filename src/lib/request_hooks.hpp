#pragma once

#include "common.hpp"

namespace sarv {

// register_context_profiler(var, fallback): a profile hook for the calling thread that
// hands each event to the profiler the context variable holds in the running context.
PyObject* register_context_profiler(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// restart_trace(profiler, trace_id): the profiler starts a new trace of this id, its buffers
// emptied, as a "start_test" boundary does; a thread that serves one request after another
// keeps one profiler (and the code objects' cached decisions made for it).
PyObject* restart_trace(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace sarv
